// Body shared by the transform-file targets: the input becomes a file with
// the given extension, loaded through the factory like a -t argument; a
// transform that reads is written back to text, as -savenewAFFS or the
// inverse action would.
#pragma once

#include <string>

#include "nuqFuzzSupport.h"
#include "nuqTransformBase.h"
#include "nuqTransformLoader.h"

namespace nuqfuzz {

inline void LoadTransformFile(const std::string &extension, const std::uint8_t *data,
                              std::size_t size) {
  const std::string name = "in." + extension;
  if (!WriteBytes(name, data, size)) return;
  nuqTransformBase *transform = nullptr;
  if (ReadTransformFile(transform, name)) (void)transform->GetTransformText();
  delete transform;
}

}  // namespace nuqfuzz
