// Opens arbitrary bytes as an ensemble, reads every image in every image type
// and, for PCX files, writes image 0 back through a descriptor taken from the file.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void writeBack(TImageEnsemble& in) {
  if (in.formatID() != idPCX()) return;
  TPcxFileInfo copy(*static_cast<TPcxFileInfo*>(in.getFileInfo()));
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels);
  std::vector<unsigned char> file(2048 + 8 * pixels);
  const bool colour = in.coding() == 24;
  try {
    if (colour)
      in.readRGBImage(0, image.data());
    else
      in.readUCharImage(0, image.data());
  } catch (const x_qor&) {
    return;
  }
  try {
    TImageEnsemble out(manager);
    out.open(new TqorMemoryStream(file.data(), int(file.size())), &copy);
    if (colour)
      out.writeRGBImage(0, image.data());
    else
      out.writeUCharImage(0, image.data());
  } catch (const x_qor&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 22)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  TImageEnsemble e(manager);
  try {
    e.open(new TqorMemoryStream(bytes.data(), int(bytes.size())));
    const int64_t pixels = int64_t(e.sizeX()) * e.sizeY();
    const int images = e.numberOfImages() < 4 ? e.numberOfImages() : 4;
    for (int i = 0; i < images; ++i) {
      try {
        if (pixels <= (int64_t(1) << 18)) fuzzcommon::readAllTypes(e, i);
      } catch (const x_qor&) {
      }
    }
    if (pixels <= (int64_t(1) << 16)) writeBack(e);
  } catch (const x_qor&) {
  }
  return 0;
}
