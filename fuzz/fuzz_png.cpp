// Opens arbitrary bytes as an ensemble, reads image 0 in every image type and,
// for PNG files, writes it back, plain and interlaced, through a descriptor
// taken from the file.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void writeBack(TImageEnsemble& in, int interlace) {
  if (in.formatID() != idPNG()) return;
  TPngFileInfo copy(*static_cast<TPngFileInfo*>(in.getFileInfo()));
  copy.interlace = interlace;
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels);
  std::vector<unsigned char> file(4096 + 4 * pixels + 8 * size_t(in.sizeY()));
  try {
    if (in.coding() == 24) in.readRGBImage(0, image.data());
    else in.readUCharImage(0, image.data());
  } catch (const x_qor&) {
    return;
  }
  try {
    TImageEnsemble out(manager);
    out.open(new TqorMemoryStream(file.data(), int(file.size())), &copy);
    if (out.coding() == 24) out.writeRGBImage(0, image.data());
    else out.writeUCharImage(0, image.data());
  } catch (const x_qor&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzcommon::openAndRead(data, size, -1, [](TImageEnsemble& e, int64_t pixels) {
    if (pixels > (int64_t(1) << 16)) return;
    writeBack(e, 0);
    writeBack(e, 1);
  });
}
