// What the fuzz targets share: one manager and a read of an image in every type.
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zqorall.h"

namespace fuzzcommon {

// The ensembles keep the address of this variable.
inline TQORDataManager* manager = getQorDataManager();

// Reads image i in every image type; each type is tried on its own, since a
// coding without a converter raises.
inline void readAllTypes(TImageEnsemble& e, int i) {
  try { e.getUCharImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getSCharImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getSShortImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getDoubleImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getRGBImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getOneBitImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getWinDibImage(i); e.freeImage(i); } catch (const x_qor&) {}
}

// Opens the bytes as an ensemble and, when it is of format (any format for
// -1), reads image 0 in every type if it is small and hands it to more with
// its pixel count. Large claimed geometries are only opened, so the work per
// input stays bounded.
template <class More>
int openAndRead(const uint8_t* data, size_t size, int format, More&& more) {
  if (size > (1u << 22)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  TImageEnsemble e(manager);
  try {
    e.open(new TqorMemoryStream(bytes.data(), int(bytes.size())));
    if (format >= 0 && e.formatID() != format) return 0;
    const int64_t pixels = int64_t(e.sizeX()) * e.sizeY();
    if (pixels <= (int64_t(1) << 18)) readAllTypes(e, 0);
    more(e, pixels);
  } catch (const x_qor&) {
  }
  return 0;
}

}  // namespace fuzzcommon

#endif
