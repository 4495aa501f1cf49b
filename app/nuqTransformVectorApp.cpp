#include "nuqTransformVectorApp.h"

#include "nuqConsole.h"

int NuqTransformVectorMain(int argc, char **argv) {
  PrintBanner(argc, argv);
  return -1;
}
