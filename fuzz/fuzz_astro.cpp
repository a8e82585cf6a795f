// Opens arbitrary bytes as an ensemble, reads image 0 in every image type and,
// for astronomical files, writes the samples back through a descriptor taken
// from the file and reads the written file again.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

void writeBack(TImageEnsemble& in) {
  if (in.formatID() != idASTROLUM()) return;
  TAstroLUMFileInfo copy(*static_cast<TAstroLUMFileInfo*>(in.getFileInfo()));
  const size_t pixels = size_t(in.sizeX()) * size_t(in.sizeY());
  std::vector<short> samples(pixels);
  try {
    in.readSShortImage(0, samples.data());
  } catch (const x_qor&) {
    return;
  }
  std::vector<unsigned char> file(TAstroLUMHead::diskSize + 2 * pixels);
  try {
    {
      TImageEnsemble out(manager);
      out.open(new TqorMemoryStream(file.data(), int(file.size())), &copy);
      out.writeSShortImage(0, samples.data());
    }
    TImageEnsemble again(manager);
    again.open(new TqorMemoryStream(file.data(), int(file.size())));
    std::vector<short> back(pixels);
    again.readSShortImage(0, back.data());
    if (again.sizeX() != in.sizeX() || again.sizeY() != in.sizeY() ||
        std::memcmp(back.data(), samples.data(), 2 * pixels) != 0)
      __builtin_trap();
  } catch (const x_qor&) {
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return fuzzcommon::openAndRead(data, size, -1, [](TImageEnsemble& e, int64_t pixels) {
    if (pixels <= (int64_t(1) << 16)) writeBack(e);
  });
}
