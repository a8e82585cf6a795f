// Opens arbitrary bytes as an ensemble, so that every registered driver's
// detection runs, and reads the first images in every image type.
#include <cstdint>
#include <cstring>
#include <vector>

#include "zqorall.h"

namespace {

// The ensemble keeps the address of this variable.
TQORDataManager* manager = getQorDataManager();

void readAllTypes(TImageEnsemble& e, int i) {
  // each type is tried on its own: a coding without a converter raises
  try { e.getUCharImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getSCharImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getSShortImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getDoubleImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getRGBImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getOneBitImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getWinDibImage(i); e.freeImage(i); } catch (const x_qor&) {}
}

}  // namespace

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
        for (int i = 0; i < e.numberOfImages() && i < 3; ++i) readAllTypes(e, i);
    } catch (const x_qor&) {
    }
  }
  return 0;
}
