// Opens arbitrary bytes as a TIFF file, reads image 0 in every image type
// and up to three more pages, and writes image 0 back into a TIFF file of the
// same coding in memory.
#include <cstdint>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void writeBack(TImageEnsemble& in) {
  const int coding = in.coding();
  if (coding != 1 && coding != 4 && coding != 8 && coding != 24) return;
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels);
  std::vector<unsigned char> file(4096 + 4 * pixels + 16 * size_t(in.sizeY()));
  try {
    if (coding == 24) in.readRGBImage(0, image.data());
    else in.readUCharImage(0, image.data());
    TImageEnsemble out(manager);
    out.open(new TqorMemoryStream(file.data(), int(file.size())), fiTiffFileInfo(coding, in.sizeX(), in.sizeY()));
    if (coding == 24) out.writeRGBImage(0, image.data());
    else out.writeUCharImage(0, image.data());
  } catch (const x_qor&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzcommon::openAndRead(data, size, idTIFF(), [](TImageEnsemble& e, int64_t pixels) {
    if (pixels > (int64_t(1) << 16)) return;
    for (int page = 1; page < e.numberOfImages() && page < 4; ++page) fuzzcommon::readAllTypes(e, page);
    writeBack(e);
  });
}
