// Helpers shared by the tests: temporary directories, whole-file access,
// raised-error matching, a manager variable that outlives the ensembles of a
// test, and image 0 of an ensemble moved in any image type.
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
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "casename.h"
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
inline uint32_t get32(const Bytes& b, size_t at) { return get16(b, at) | uint32_t(get16(b, at + 2)) << 16; }
inline void put32(Bytes& b, size_t at, uint32_t v) {
  put16(b, at, v & 0xFFFF);
  put16(b, at + 2, v >> 16);
}
// Appends v as n little-endian bytes.
inline void appendLE(Bytes& b, uint32_t v, int n) {
  for (int k = 0; k < n; ++k) b.push_back(uint8_t(v >> (8 * k)));
}
inline Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
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

// The code of the x_qor that f raises, 0 when nothing is raised.
template <class F>
int raisedCode(F&& f) {
  try {
    f();
  } catch (const x_qor& e) {
    return e.error();
  }
  return 0;
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

// Image 0 of e read as type through a caller buffer that held 0xAA bytes, so
// that anything the reader leaves unwritten shows; bitmaps give their pixel
// bits. With code, an x_qor of the read is caught and its code stored there
// (0 when the read succeeds), and the buffer is returned as the read left it.
inline Bytes readPixels(TImageEnsemble& e, int type, int* code = nullptr) {
  const size_t n = size_t(e.sizeX()) * size_t(e.sizeY());
  Bytes out, header;
  switch (type) {
    case stSShort: out.assign(2 * n, 0xAA); break;
    case stDouble: out.assign(8 * n, 0xAA); break;
    case stRGB: out.assign(3 * n, 0xAA); break;
    case stOneBit: out.assign(size_t(TOneBitImage::getSizeOfRow(e.sizeX())) * size_t(e.sizeY()), 0xAA); break;
    case stBitmap:
      header.assign(size_t(e.winDibInfoSize()), 0);
      out.assign(size_t(e.winDibBitsSize()), 0xAA);
      break;
    default: out.assign(n, 0xAA);
  }
  if (code) *code = 0;
  try {
    switch (type) {
      case stUChar: e.readUCharImage(0, out.data()); break;
      case stSChar: e.readSCharImage(0, reinterpret_cast<signed char*>(out.data())); break;
      case stSShort: e.readSShortImage(0, reinterpret_cast<short*>(out.data())); break;
      case stDouble: e.readDoubleImage(0, reinterpret_cast<double*>(out.data())); break;
      case stRGB: e.readRGBImage(0, out.data()); break;
      case stOneBit: e.readOneBitImage(0, out.data()); break;
      case stBitmap: e.readWinDibImage(0, header.data(), out.data()); break;
      default: ADD_FAILURE() << "no reader for type " << type;
    }
  } catch (const x_qor& x) {
    if (!code) throw;
    *code = x.error();
  }
  return out;
}

// Image 0 of e written from px, which holds the elements of type (not bitmaps).
inline void writePixels(TImageEnsemble& e, int type, Bytes px) {
  switch (type) {
    case stUChar: e.writeUCharImage(0, px.data()); break;
    case stSChar: e.writeSCharImage(0, reinterpret_cast<signed char*>(px.data())); break;
    case stSShort: e.writeSShortImage(0, reinterpret_cast<short*>(px.data())); break;
    case stDouble: e.writeDoubleImage(0, reinterpret_cast<double*>(px.data())); break;
    case stRGB: e.writeRGBImage(0, px.data()); break;
    case stOneBit: e.writeOneBitImage(0, px.data()); break;
    default: ADD_FAILURE() << "no writer for type " << type;
  }
}

// An ensemble of the manager m open on bytes held by the caller.
inline std::unique_ptr<TImageEnsemble> openBytes(TQORDataManager*& m, Bytes& b) {
  auto e = std::make_unique<TImageEnsemble>(m);
  b.reserve(1);
  e->open(new TqorMemoryStream(b.data(), int(b.size())));
  return e;
}

// The bytes of a new file at path of descriptor info, palette pal (256
// entries) when given, and image 0 written from px of type.
inline Bytes writtenFile(TQORDataManager*& m, const std::string& path, TFileInfo* info, int type, const Bytes& px,
                         const TqorPaletteItem* pal = nullptr) {
  {
    TImageEnsemble e(path.c_str(), info, m);
    if (pal) std::memcpy(e.getPalette(), pal, 256 * sizeof(TqorPaletteItem));
    writePixels(e, type, px);
  }
  return readFile(path);
}

}  // namespace qortest

#endif
