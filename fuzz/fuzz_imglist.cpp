// Opens arbitrary bytes as an ensemble and reads its first images in every
// image type. The seeds name member files in a folder the target fills when
// it starts: two bitmaps of different sizes and codings, a list of them and
// lists that name themselves (as member 0, and as member 1 behind a bitmap);
// any other name is a missing file.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzzcommon::manager;

const std::string folder = "/tmp/qor_fuzz_imglist/";

// Writes a member through a temporary name, so that a run going on beside
// this one never sees half a file.
template <class Write>
void makeMember(const char* name, Write write) {
  const std::string path = folder + name;
  if (access(path.c_str(), F_OK) == 0) return;
  const std::string partial = path + ".part" + std::to_string(getpid());
  try {
    write(partial);
  } catch (const x_qor&) {
    return;
  }
  std::rename(partial.c_str(), path.c_str());
}

void writeText(const std::string& path, const std::string& text) {
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
  }
}

void makeMembers() {
  static const bool done = [] {
    mkdir(folder.c_str(), 0755);
    std::vector<unsigned char> px(5 * 4 * 3);
    for (size_t k = 0; k < px.size(); ++k) px[k] = static_cast<unsigned char>(k * 29);
    makeMember("a.bmp", [&](const std::string& p) {
      TImageEnsemble a(p.c_str(), fiBmpFileInfo(8, 5, 4), manager);
      a.writeUCharImage(0, px.data());
    });
    makeMember("b.bmp", [&](const std::string& p) {
      TImageEnsemble b(p.c_str(), fiBmpFileInfo(24, 3, 2), manager);
      b.writeRGBImage(0, px.data());
    });
    const std::string head = "QOR IMAGE-LIST ENSEMBLE SIGNATURE\r\n";
    makeMember("n.lst", [&](const std::string& p) {
      writeText(p, head + "2 - Number of images \r\n?\r\n" + folder + "a.bmp\r\n" + folder + "b.bmp\r\n");
    });
    makeMember("self.lst", [&](const std::string& p) {
      writeText(p, head + "1 - Number of images \r\n?\r\n" + folder + "self.lst\r\n");
    });
    // a list that leads back to itself behind a good member
    makeMember("self1.lst", [&](const std::string& p) {
      writeText(p, head + "2 - Number of images \r\n?\r\n" + folder + "a.bmp\r\n" + folder + "self1.lst\r\n");
    });
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  makeMembers();
  if (size > (1u << 16)) return 0;
  std::vector<uint8_t> bytes(data, data + size);
  TImageEnsemble e(manager);
  try {
    e.open(new TqorMemoryStream(bytes.data(), int(bytes.size())));
    // keep the work per input bounded: large claimed geometries are only opened
    // (a list takes the size of the member it opened last)
    for (int i = 0; i < e.numberOfImages() && i < 4; ++i)
      if (int64_t(e.sizeX()) * e.sizeY() <= (int64_t(1) << 18)) fuzzcommon::readAllTypes(e, i);
  } catch (const x_qor&) {
  }
  return 0;
}
