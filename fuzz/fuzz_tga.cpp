// Opens arbitrary bytes as an ensemble, reads image 0 in every image type and,
// for Targa files, writes it back through a descriptor taken from the file,
// both raw and run-length encoded, and reads the written file again.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void writeBack(TImageEnsemble& in) {
  if (in.formatID() != idTGA()) return;
  const TTgaFileInfo read(*static_cast<TTgaFileInfo*>(in.getFileInfo()));
  const bool colour = in.coding() != 8;
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<unsigned char> image(3 * pixels);
  try {
    if (colour) in.readRGBImage(0, image.data());
    else in.readUCharImage(0, image.data());
  } catch (const x_qor&) {
    return;
  }
  for (int rle = 0; rle < 2; ++rle) {
    TTgaFileInfo copy(read);
    constexpr int typeRle = 8;  // the image type's run-length bit
    copy.head.imageType = uint8_t(rle ? copy.head.imageType | typeRle : copy.head.imageType & ~typeRle);
    std::vector<unsigned char> file(1024 + 4 * pixels + size_t(in.sizeY()) * 4);
    try {
      {
        TImageEnsemble out(manager);
        out.open(new TqorMemoryStream(file.data(), int(file.size())), &copy);
        if (colour) out.writeRGBImage(0, image.data());
        else out.writeUCharImage(0, image.data());
      }
      TImageEnsemble again(manager);
      again.open(new TqorMemoryStream(file.data(), int(file.size())));
      std::vector<unsigned char> back(image.size());
      if (colour) again.readRGBImage(0, back.data());
      else again.readUCharImage(0, back.data());
      if (std::memcmp(back.data(), image.data(), colour ? back.size() : pixels) != 0) __builtin_trap();
    } catch (const x_qor&) {
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzcommon::openAndRead(data, size, -1, [](TImageEnsemble& e, int64_t pixels) {
    if (pixels <= (int64_t(1) << 16)) writeBack(e);
  });
}
