// Opens arbitrary bytes as an ensemble, so that every registered driver's
// detection runs, and reads the first images in every image type.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

using fuzzcommon::manager;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  {
    TImageEnsemble e(manager);
    try {
      auto* s = new TqorMemoryStream(bytes.data(), int(bytes.size()));
      e.open(s);
      // keep the work per input bounded: large claimed geometries are read only when small
      if (int64_t(e.sizeX()) * e.sizeY() <= (int64_t(1) << 22))
        for (int i = 0; i < e.numberOfImages() && i < 3; ++i) fuzzcommon::readAllTypes(e, i);
    } catch (const x_qor&) {
    }
  }
  return 0;
}
