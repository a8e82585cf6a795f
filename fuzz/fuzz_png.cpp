// Opens arbitrary bytes as an ensemble, reads image 0 in every image type and,
// for PNG files, writes it back, plain and interlaced, through a descriptor
// taken from the file at a compression level taken from the input; the file
// written must read back to the pixels written.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void writeBack(TImageEnsemble& in, int interlace, int level) {
  if (in.formatID() != idPNG()) return;
  TPngFileInfo copy(*static_cast<TPngFileInfo*>(in.getFileInfo()));
  copy.interlace = interlace;
  copy.level = level;
  const bool colour = in.coding() == 24;
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels), back(3 * pixels);
  std::vector<unsigned char> file(4096 + 4 * pixels + 8 * size_t(in.sizeY()));
  try {
    if (colour) in.readRGBImage(0, image.data());
    else in.readUCharImage(0, image.data());
  } catch (const x_qor&) {
    return;
  }
  try {
    TImageEnsemble out(manager);
    out.open(new TqorMemoryStream(file.data(), int(file.size())), &copy);
    if (colour) out.writeRGBImage(0, image.data());
    else out.writeUCharImage(0, image.data());
  } catch (const x_qor&) {
    return;
  }
  TImageEnsemble again(manager);
  again.open(new TqorMemoryStream(file.data(), int(file.size())));
  if (colour) again.readRGBImage(0, back.data());
  else again.readUCharImage(0, back.data());
  if (back != image) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int level = size ? 1 + data[size - 1] % 12 : 6;
  return fuzzcommon::openAndRead(data, size, -1, [level](TImageEnsemble& e, int64_t pixels) {
    if (pixels > (int64_t(1) << 16)) return;
    writeBack(e, 0, level);
    writeBack(e, 1, level);
  });
}
