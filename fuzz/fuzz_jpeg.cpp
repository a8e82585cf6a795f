// Opens arbitrary bytes as an ensemble and, when they are taken for JPEG,
// reads image 0 in every image type, reads it again chunk by chunk and stops
// half way, and writes the image back through a descriptor taken from the file.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void halfInChunks(TImageEnsemble& e) {
  std::vector<unsigned char> image(3 * size_t(e.sizeX()) * size_t(e.sizeY()));
  try {
    e.setf(qorChunkMode);
    if (e.coding() == 24)
      e.readRGBImage(0, image.data());
    else
      e.readUCharImage(0, image.data());
    for (int n = e.chunksNumber() / 2; n > 0; --n) e.readNextChunk();
    e.freeImage(0);
  } catch (const x_qor&) {
  }
  try {
    e.clearf(qorChunkMode);
  } catch (const x_qor&) {
  }
}

void writeBack(TImageEnsemble& in) {
  TJpegFileInfo copy(*static_cast<TJpegFileInfo*>(in.getFileInfo()));
  copy.quality = 50;
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels);
  std::vector<unsigned char> file(4096 + 4 * pixels);
  try {
    if (in.coding() == 24)
      in.readRGBImage(0, image.data());
    else
      in.readUCharImage(0, image.data());
    in.freeImage(0);
  } catch (const x_qor&) {
    return;
  }
  try {
    TImageEnsemble out(manager);
    out.open(new TqorMemoryStream(file.data(), int(file.size())), &copy);
    if (out.coding() == 24)
      out.writeRGBImage(0, image.data());
    else
      out.writeUCharImage(0, image.data());
  } catch (const x_qor&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // files of other formats are the other targets' work
  return fuzzcommon::openAndRead(data, size, idJPEG(), [](TImageEnsemble& e, int64_t pixels) {
    if (pixels <= (int64_t(1) << 18)) halfInChunks(e);
    if (pixels <= (int64_t(1) << 16)) writeBack(e);
  });
}
