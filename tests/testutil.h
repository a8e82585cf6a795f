// Helpers shared by the ensemble, native-format, manager and file-utility tests:
// temporary directories, whole-file access, raised-error matching and a
// manager variable that outlives the ensembles of a test.
#ifndef QOR_TESTS_TESTUTIL_H
#define QOR_TESTS_TESTUTIL_H

#include <dirent.h>
#include <ftw.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "zqorall.h"

namespace qortest {

using Bytes = std::vector<unsigned char>;

// A fresh directory, removed with its content when the object goes.
class TempDir {
public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qortest.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) ADD_FAILURE() << "mkdtemp failed";
    path_ = name.data();
  }
  ~TempDir() {
    nftw(path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return std::remove(p); }, 16,
         FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
  std::string path_;
};

inline Bytes readFile(const std::string& path) {
  Bytes out;
  if (FILE* f = std::fopen(path.c_str(), "rb")) {
    unsigned char block[4096];
    size_t n;
    while ((n = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
    std::fclose(f);
  }
  return out;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

inline bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Open descriptors of this process.
inline int openDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}

inline unsigned get16(const Bytes& b, size_t at) { return unsigned(b.at(at)) | unsigned(b.at(at + 1)) << 8; }
inline void put16(Bytes& b, size_t at, unsigned v) {
  b.at(at) = uint8_t(v);
  b.at(at + 1) = uint8_t(v >> 8);
}
inline double getDouble(const Bytes& b, size_t at) {
  double d;
  std::memcpy(&d, &b.at(at), sizeof d);
  return d;
}

// f must raise x_qor with this code, message text and source unit.
template <class F>
testing::AssertionResult raises(F&& f, int code, const std::string& text, const std::string& unit) {
  try {
    f();
  } catch (const x_qor& e) {
    static const std::regex shape(R"re(^Error! ([\s\S]*) This error occured in file "([^"]*)" on line [0-9]+\.$)re");
    std::cmatch m;
    if (!std::regex_match(e.msg(), m, shape))
      return testing::AssertionFailure() << "badly shaped message: " << testing::PrintToString(e.msg());
    if (e.error() != code || m[1].str() != text || m[2].str() != unit)
      return testing::AssertionFailure() << "got code " << e.error() << ", " << testing::PrintToString(e.msg())
                                         << "\n  expected code " << code << ", text " << testing::PrintToString(text)
                                         << ", unit " << unit;
    return testing::AssertionSuccess();
  }
  return testing::AssertionFailure() << "nothing was raised, expected " << testing::PrintToString(text);
}

inline std::string unknownConverter(int file, int image) {
  return std::string("Unknown converter srcN = ") + stCodingName(file) + " destN = " + stCodingName(image) + ".";
}

// A manager of the test; the ensembles keep the address of `m`, so it is
// declared before them and destroyed after them.
struct Manager {
  TQORDataManager* m = getQorDataManager();
  Manager() = default;
  ~Manager() { destroyQORDataManager(m); }
  Manager(const Manager&) = delete;
  Manager& operator=(const Manager&) = delete;
};

// The bytes (i * 31 + k * 7 + 3) mod 101, k = 0 .. size - 1: image i of makeNative's files.
inline std::vector<unsigned char> nativePattern(int i, int size) {
  std::vector<unsigned char> v(size_t(size), 0);
  for (size_t k = 0; k < v.size(); ++k) v[k] = static_cast<unsigned char>((i * 31 + k * 7 + 3) % 101);
  return v;
}

// Creates a native file of n images of sizeX x sizeY in coding, holding the
// pattern when the coding takes unsigned-byte images, zeros otherwise.
inline void makeNative(TQORDataManager*& m, const std::string& path, int coding, int sizeX, int sizeY, int n) {
  TImageEnsemble e(path.c_str(), fiKavFileInfo(coding, sizeX, sizeY, n, "test"), m);
  for (int i = 0; i < n && (coding == stUChar || coding == stSChar); ++i)
    e.writeUCharImage(i, nativePattern(i, sizeX * sizeY).data());
}

}  // namespace qortest

#endif
