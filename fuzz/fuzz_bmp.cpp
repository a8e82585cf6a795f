// Opens arbitrary bytes as an ensemble, reads image 0 in every image type and,
// for bitmap files, writes it back through a descriptor taken from the file.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

// A new file in memory made from a copy of the read file's descriptor.
void writeBack(TImageEnsemble& in) {
  std::unique_ptr<TFileInfo> copy;
  if (in.formatID() == idBMP())
    copy.reset(new TBmpFileInfo(*static_cast<TBmpFileInfo*>(in.getFileInfo())));
  else if (in.formatID() == idBMPOS2())
    copy.reset(new TBmpOS2FileInfo(*static_cast<TBmpOS2FileInfo*>(in.getFileInfo())));
  if (!copy) return;
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels);
  std::vector<unsigned char> file(2048 + 4 * pixels + 4 * size_t(in.sizeY()));
  try {
    if (in.coding() == 24) in.readRGBImage(0, image.data());
    else in.readUCharImage(0, image.data());
  } catch (const x_qor&) {
    return;
  }
  try {
    TImageEnsemble out(manager);
    out.open(new TqorMemoryStream(file.data(), int(file.size())), copy.get());
    if (out.coding() == 24) out.writeRGBImage(0, image.data());
    else out.writeUCharImage(0, image.data());
  } catch (const x_qor&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzcommon::openAndRead(data, size, -1, [](TImageEnsemble& e, int64_t pixels) {
    if (pixels <= (int64_t(1) << 16)) writeBack(e);
  });
}
