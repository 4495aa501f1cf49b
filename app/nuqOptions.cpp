#include "nuqOptions.h"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

int ParseIntValue(const char *text) {
  if (!text) return 0;
  const char *p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  long long value = 0;  // kept within [0, INT_MAX + 1] so it never overflows
  for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) return static_cast<int>(-value);  // -(INT_MAX + 1) is INT_MIN
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

float ParseFloatValue(const char *text) {
  if (!text) return 0.0f;
  const double value = std::strtod(text, nullptr);
  // A double outside the float range must not be converted directly.
  const double limit = std::numeric_limits<float>::max();
  if (value > limit) return std::numeric_limits<float>::infinity();
  if (value < -limit) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}
