// What every format driver owes: its files are detected as its own, a file cut
// short anywhere fails with a read error instead of crashing or passing, the
// pixels written come back unchanged through a named file, caller memory and a
// window of a larger stream, and a path that cannot be created is refused.
// A driver joins by adding one fixture row.
#include <algorithm>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using namespace qortest;

// Appends v as n little-endian bytes.
void put(Bytes& b, uint32_t v, int n) {
  for (int k = 0; k < n; ++k) b.push_back(uint8_t(v >> (8 * k)));
}

// Bytes (k * 37 + 11) mod 256 for n pixels of type.
Bytes pattern(int type, int n) {
  const int size = type == stSShort ? 2 : type == stRGB ? 3 : 1;
  Bytes px(size_t(size) * size_t(n));
  for (size_t k = 0; k < px.size(); ++k) px[k] = uint8_t((k * 37 + 11) % 256);
  return px;
}

// ---------------------------------------------------------------- fixtures

// Native: 4 x 3 signed 16-bit, one image, written by this library.
Bytes nativeFile() {
  TempDir dir;
  Manager mgr;
  {
    TImageEnsemble e(dir.file("f.kav").c_str(), fiKavFileInfo(stSShort, 4, 3, 1, "x"), mgr.m);
    writePixels(e, stSShort, pattern(stSShort, 12));
  }
  return readFile(dir.file("f.kav"));
}

// Windows bitmap: 5 x 3, 8 bits, grey colour table, bottom-up rows of 8 bytes.
Bytes bmpFile() {
  Bytes b = {'B', 'M'};
  put(b, 54 + 1024 + 24, 4);
  put(b, 0, 4);
  put(b, 54 + 1024, 4);
  put(b, 40, 4);
  put(b, 5, 4);
  put(b, 3, 4);
  put(b, 1, 2);
  put(b, 8, 2);
  for (int k = 0; k < 6; ++k) put(b, 0, 4);
  for (uint32_t i = 0; i < 256; ++i) put(b, i * 0x010101u, 4);
  const Bytes px = pattern(stUChar, 24);
  b.insert(b.end(), px.begin(), px.end());
  return b;
}

// OS/2 bitmap: 3 x 2, 24 bits, bottom-up rows of 12 bytes.
Bytes os2File() {
  Bytes b = {'B', 'M'};
  put(b, 26 + 24, 4);
  put(b, 0, 4);
  put(b, 26, 4);
  put(b, 12, 4);
  put(b, 3, 2);
  put(b, 2, 2);
  put(b, 1, 2);
  put(b, 24, 2);
  const Bytes px = pattern(stUChar, 24);
  b.insert(b.end(), px.begin(), px.end());
  return b;
}

// Targa: 5 x 3, 24 bits, run-length encoded, bottom-up: a run carried from the
// first stored row into the second, a raw packet, a run.
Bytes tgaFile() {
  Bytes b = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  put(b, 5, 2);
  put(b, 3, 2);
  b.insert(b.end(), {24, 0});
  b.insert(b.end(), {0x86, 1, 2, 3, 0x03, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0x83, 16, 17, 18});
  return b;
}

// Astronomical: 3 x 2 signed 16-bit samples under the seven cards, written by this library.
Bytes astroFile() {
  TempDir dir;
  Manager mgr;
  {
    TImageEnsemble e(dir.file("f.fts").c_str(), fiAstroFileInfo(16, 3, 2), mgr.m);
    writePixels(e, stSShort, pattern(stSShort, 6));
  }
  return readFile(dir.file("f.fts"));
}

// The folder of the image lists' member files, for the whole run: a list
// names its members by path.
const TempDir& listFolder() {
  static const TempDir dir;
  return dir;
}

// Image list: one member, the bitmap fixture.
Bytes listFile() {
  const std::string member = listFolder().file("member.bmp");
  if (!fileExists(member)) writeFile(member, bmpFile());
  const std::string text = "QOR IMAGE-LIST ENSEMBLE SIGNATURE\r\n1 - Number of images \r\n" +
                           listFolder().file("member?.bmp") + "\r\n" + member + "\r\n";
  return Bytes(text.begin(), text.end());
}

#if QOR_WITH_JPEG
// JPEG: 7 x 5 grey at quality 100, written by this library.
Bytes jpegFile() {
  TempDir dir;
  Manager mgr;
  {
    TImageEnsemble e(dir.file("f.jpg").c_str(), fiJpegFileInfo(8, 7, 5, 100), mgr.m);
    writePixels(e, stUChar, pattern(stUChar, 35));
  }
  return readFile(dir.file("f.jpg"));
}
#endif

#if QOR_WITH_TIFF
// TIFF: 5 x 3 colour, written by this library.
Bytes tiffFile() {
  TempDir dir;
  Manager mgr;
  {
    TImageEnsemble e(dir.file("f.tif").c_str(), fiTiffFileInfo(24, 5, 3), mgr.m);
    writePixels(e, stRGB, pattern(stRGB, 15));
  }
  return readFile(dir.file("f.tif"));
}
#endif

#if QOR_WITH_PNG
// PNG: 5 x 3 colour, written by this library.
Bytes pngFile() {
  TempDir dir;
  Manager mgr;
  {
    TImageEnsemble e(dir.file("f.png").c_str(), fiPngFileInfo(24, 5, 3, 0), mgr.m);
    writePixels(e, stRGB, pattern(stRGB, 15));
  }
  return readFile(dir.file("f.png"));
}
#endif

// PCX header of a w x h picture in planes of bits each, lines of bpl bytes per plane, run-length encoded.
Bytes pcxHeader(int bits, int planes, int w, int h, int bpl) {
  Bytes b = {10, 5, 1, uint8_t(bits)};
  for (uint32_t v : {0u, 0u, uint32_t(w - 1), uint32_t(h - 1), 480u, 480u}) put(b, v, 2);
  b.resize(65, 0);
  b.push_back(uint8_t(planes));
  put(b, uint32_t(bpl), 2);
  put(b, 1, 2);
  b.resize(128, 0);
  return b;
}

// PCX: 5 x 3, 8 bits, lines of 6 bytes (runs, single bytes, an escaped 0xC7),
// then the 256-colour palette.
Bytes pcxFile() {
  Bytes b = pcxHeader(8, 1, 5, 3, 6);
  b.insert(b.end(), {0xC3, 9, 1, 2, 0xC1, 0xC7, 0xC6, 4, 1, 2, 3, 4, 5, 6, 12});
  for (uint32_t i = 0; i < 256; ++i) put(b, i * 0x030507u, 3);
  return b;
}

// DCX: one page, a PCX of 3 x 2 in three planes of 8 bits, lines of 4 bytes per plane.
Bytes dcxFile() {
  Bytes b;
  for (uint32_t v : {0x3ADE68B1u, 12u, 0u}) put(b, v, 4);
  const Bytes page = pcxHeader(8, 3, 3, 2, 4);
  b.insert(b.end(), page.begin(), page.end());
  b.insert(b.end(), {0xC4, 10, 0xC4, 20, 0xC4, 30, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  return b;
}

// One format: a small valid file of it, a descriptor to write with and the
// image type of the pixels moved. None of these files has a prefix that is
// itself a complete file. Lossy formats name how far a pixel read back may
// be from the one written.
struct Fixture {
  const char* name;
  int (*id)();
  Bytes (*file)();
  TFileInfo* (*descriptor)(int sizeX, int sizeY);
  int type;
  int tolerance = 0;
  // the code of a file the codec library cannot open: the tests of the
  // format's structure sit in the codec
  int openFailure = 3;
};

// Bytes apart by at most tolerance each.
bool near(const Bytes& got, const Bytes& want, int tolerance) {
  if (got.size() != want.size()) return false;
  for (size_t k = 0; k < got.size(); ++k)
    if (std::abs(int(got[k]) - int(want[k])) > tolerance) return false;
  return true;
}

void PrintTo(const Fixture& f, std::ostream* os) { *os << f.name; }

const Fixture kFixtures[] = {
    {"Native", idKAV, nativeFile, [](int x, int y) { return fiKavFileInfo(stSShort, x, y, 1, "x"); }, stSShort},
    {"Bmp", idBMP, bmpFile, [](int x, int y) { return fiBmpFileInfo(8, x, y); }, stUChar},
    {"BmpOS2", idBMPOS2, os2File, [](int x, int y) { return fiBmpOS2FileInfo(24, x, y); }, stRGB},
    {"Pcx", idPCX, pcxFile, [](int x, int y) { return fiPcxFileInfo(8, x, y, 1); }, stUChar},
    {"Dcx", idDCX, dcxFile, [](int x, int y) { return fiDcxFileInfo(24, x, y, 1); }, stRGB},
    {"Tga", idTGA, tgaFile, [](int x, int y) { return fiTgaFileInfo(24, x, y, 1); }, stRGB},
    {"Astro", idASTROLUM, astroFile, [](int x, int y) { return fiAstroFileInfo(16, x, y); }, stSShort},
    {"ImgList", idIMGLIST, listFile,
     [](int x, int y) { return fiImgListFileInfo(listFolder().file("rt?.bmp").c_str(), fiBmpFileInfo(8, x, y), 1); },
     stUChar},
#if QOR_WITH_JPEG
    {"Jpeg", idJPEG, jpegFile, [](int x, int y) { return fiJpegFileInfo(8, x, y, 100); }, stUChar, 1},
#endif
#if QOR_WITH_TIFF
    {"Tiff", idTIFF, tiffFile, [](int x, int y) { return fiTiffFileInfo(24, x, y); }, stRGB, 0, 2},
#endif
#if QOR_WITH_PNG
    {"Png", idPNG, pngFile, [](int x, int y) { return fiPngFileInfo(24, x, y, 0); }, stRGB},
#endif
};

TEST(Contract, EveryRegisteredDriverHasAFixture) {
  Manager mgr;
  for (int i = 0; i < mgr.m->driversNumber(); ++i) {
    const int id = mgr.m->getDriver(i)->getFileInfo()->formatID();
    if (id == idKAVMEM()) continue;  // in-memory ensembles have no file to detect
    EXPECT_TRUE(std::any_of(std::begin(kFixtures), std::end(kFixtures), [&](const Fixture& f) { return f.id() == id; }))
        << "the driver of format " << id << " has no fixture row";
  }
}

// ---------------------------------------------------------------- the contract

class Contract : public testing::TestWithParam<Fixture> {
protected:
  // An ensemble reading bytes held by the caller.
  std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) {
    auto e = std::make_unique<TImageEnsemble>(mgr.m);
    b.reserve(1);
    e->open(new TqorMemoryStream(b.data(), int(b.size())));
    return e;
  }
  Manager mgr;
};

TEST_P(Contract, FixtureIsDetectedAsItsFormatAndReads) {
  Bytes b = GetParam().file();
  auto e = openBytes(b);
  EXPECT_EQ(e->formatID(), GetParam().id());
  int code = 0;
  readPixels(*e, GetParam().type, &code);
  EXPECT_EQ(code, 0);
}

// Every prefix of small files, a spread of lengths of larger ones.
std::vector<size_t> truncations(size_t size) {
  std::vector<size_t> lengths;
  const size_t step = size <= 4096 ? 1 : size / 2048;
  for (size_t n = 0; n < size; n += step) lengths.push_back(n);
  lengths.push_back(size - 1);
  return lengths;
}

TEST_P(Contract, EveryTruncationFailsWithAReadError) {
  const Bytes full = GetParam().file();
  for (size_t n : truncations(full.size())) {
    Bytes part(full.begin(), full.begin() + long(n));
    const int code = raisedCode([&] {
      auto e = openBytes(part);
      readPixels(*e, GetParam().type);
    });
    if (code != 3 && code != GetParam().openFailure) {
      ADD_FAILURE() << "the first " << n << " of " << full.size() << " bytes gave code " << code << ", not 3";
      break;
    }
  }
}

// The same files read chunk by chunk: a chunk that meets the end of the data
// raises, and so does every chunk after it.
TEST_P(Contract, EveryTruncationFailsInChunkModeToo) {
  const Bytes full = GetParam().file();
  for (size_t n : truncations(full.size())) {
    Bytes part(full.begin(), full.begin() + long(n));
    std::unique_ptr<TImageEnsemble> e;
    int later = 0;
    const int code = raisedCode([&] {
      e = openBytes(part);
      e->setf(qorChunkMode);
      switch (GetParam().type) {
        case stSShort: e->getSShortImage(0); break;
        case stRGB: e->getRGBImage(0); break;
        default: e->getUCharImage(0); break;
      }
      for (int k = 0; k < 1000 && e->readNextChunk() == 0; ++k) {
      }
    });
    // an open that got as far as an image: its later chunks fail too
    if (code == 3 && e && e->is_open() && e->numberOfImages() > 0 && e->imageIsLoaded(0))
      later = raisedCode([&] { e->readNextChunk(); });
    if ((code != 3 && code != GetParam().openFailure) || (later != 0 && later != 3)) {
      ADD_FAILURE() << "the first " << n << " of " << full.size() << " bytes gave code " << code << " then " << later;
      break;
    }
  }
}

enum Medium { namedFile, callerMemory, window };

TEST_P(Contract, WrittenPixelsReadBackThroughEveryMedium) {
  const Fixture& f = GetParam();
  const int sx = 7, sy = 5;
  const Bytes px = pattern(f.type, sx * sy);
  TempDir dir;
  const size_t before = 300, windowBytes = 16384, after = 200;
  for (Medium m : {namedFile, callerMemory, window}) try {
    SCOPED_TRACE(m == namedFile ? "file" : m == callerMemory ? "memory" : "window");
    Bytes memory(before + windowBytes + after);
    for (size_t k = 0; k < memory.size(); ++k) memory[k] = uint8_t(k * 13 + 5);
    const Bytes junk = memory;
    TqorMemoryStream outer(memory.data(), int(memory.size()));
    // a stream on the medium, from its start (a window leaves its stream where it is)
    auto stream = [&]() -> TqorStream* {
      if (m == callerMemory) return new TqorMemoryStream(memory.data(), int(memory.size()));
      outer.seek(long(before), SEEK_SET);
      return new TqorRestrictedStream(&outer, int(before), int(windowBytes));
    };
    const std::string path = dir.file(std::string("rt_") + f.name);
    {
      TImageEnsemble out(mgr.m);
      if (m == namedFile)
        out.open(path.c_str(), f.descriptor(sx, sy));
      else
        out.open(stream(), f.descriptor(sx, sy));
      writePixels(out, f.type, px);
    }
    if (m == window) {
      EXPECT_TRUE(std::equal(junk.begin(), junk.begin() + long(before), memory.begin())) << "bytes before the window";
      EXPECT_TRUE(std::equal(junk.end() - long(after), junk.end(), memory.end() - long(after))) << "bytes after it";
    }
    TImageEnsemble in(mgr.m);
    if (m == namedFile)
      in.open(path.c_str());
    else
      in.open(stream());
    EXPECT_EQ(in.formatID(), f.id());
    ASSERT_EQ(in.sizeX(), sx);
    ASSERT_EQ(in.sizeY(), sy);
    if (f.tolerance == 0)
      EXPECT_EQ(readPixels(in, f.type), px);
    else
      EXPECT_TRUE(near(readPixels(in, f.type), px, f.tolerance));
  } catch (const x_qor& x) {
    ADD_FAILURE() << (m == namedFile ? "file: " : m == callerMemory ? "memory: " : "window: ") << x.msg();
  }
}

TEST_P(Contract, PathThatCannotBeCreatedRaisesError2) {
  TempDir dir;
  const std::string path = dir.file("missing/x");
  EXPECT_EQ(raisedCode([&] { TImageEnsemble e(path.c_str(), GetParam().descriptor(4, 3), mgr.m); }), 2);
  EXPECT_FALSE(fileExists(path));
}

INSTANTIATE_TEST_SUITE_P(Formats, Contract, testing::ValuesIn(kFixtures),
                         qortest::caseName());

// ---------------------------------------------------------------- headers each driver refuses

// Bytes of a format with parts replaced (offset, bytes), refused at open
// with error 3: by the unit named with the text given, or, for an empty text,
// with any message. A unit of "" means no driver claims the bytes.
struct HeaderCase {
  const char* name;
  Bytes (*file)();
  std::vector<std::pair<size_t, Bytes>> patches;
  const char* unit;
  const char* text;
};

Bytes emptyFile() { return {}; }
#if QOR_WITH_JPEG
Bytes jpegWithoutImage() { return {0xFF, 0xD8, 0xFF, 0xD9}; }
Bytes jpegHeaderCut() {
  const Bytes b = jpegFile();
  return Bytes(b.begin(), b.begin() + 100);
}
#endif

const HeaderCase kHeaderCases[] = {
    {"PcxZeroBytesPerLine", pcxFile, {{66, {0, 0}}}, "zpcxdrv", ""},
    {"PcxNegativeBytesPerLine", pcxFile, {{66, {0xFE, 0xFF}}}, "zpcxdrv", ""},
    {"PcxLineShorterThanWidth", pcxFile, {{3, {1}}, {65, {4}}, {8, {16, 0}}, {66, {2, 0}}}, "zpcxdrv", ""},
    {"PcxUnknownCombination", pcxFile, {{3, {2}}, {65, {3}}}, "zpcxdrv",
     "Unknown combination in PCX file, planes = 3 bits per plane = 2."},
    {"PcxFourBitsPerPlane", pcxFile, {{3, {4}}}, "zpcxdrv",
     "This PCX file use 4 bits per plane, I'm able to use only 1, 2, 8, 16, 24 and 32 bits\nper plane."},
    {"PcxNoPlanes", pcxFile, {{65, {0}}}, "zpcxdrv", ""},
    {"PcxGeometryBeyondTheLimit", pcxFile, {{65, {3}}, {8, {0xFF, 0x7C}}, {10, {0xFF, 0x7C}}, {66, {0x00, 0x7D}}},
     "zpcxdrv", ""},
    {"PcxWindowThatIsNoPicture", pcxFile, {{8, {0xFF, 0xFF}}}, "", ""},
    {"PcxOtherManufacturer", pcxFile, {{0, {11}}}, "", ""},
    {"DcxOtherMagic", dcxFile, {{0, {0, 0, 0, 0}}}, "", ""},
    {"DcxPageOutsideTheFile", dcxFile, {{4, {0xFF, 0xFF, 0, 0}}}, "zdcxdrv", ""},
    {"TgaUnknownImageType", tgaFile, {{2, {77}}}, "", ""},
    {"Empty", emptyFile, {}, "", ""},
#if QOR_WITH_JPEG
    {"JpegWithoutImage", jpegWithoutImage, {}, "zjpgdrv", "JPEG datastream contains no image"},
    {"JpegHeaderCut", jpegHeaderCut, {}, "zjpgdrv", "Premature end of JPEG file"},
    {"JpegStartMarkerAlone", jpegFile, {{2, {0x00, 0x00}}}, "", ""},
#endif
#if QOR_WITH_PNG
    {"PngSignatureDamaged", pngFile, {{1, {'Q'}}}, "", ""},
#endif
#if QOR_WITH_TIFF
    {"TiffOtherVersion", tiffFile, {{2, {43}}}, "", ""},
#endif
};

class RefusedHeader : public testing::TestWithParam<HeaderCase> {
protected:
  Manager mgr;
};

TEST_P(RefusedHeader, OpenRaisesError3) {
  const HeaderCase& c = GetParam();
  Bytes b = c.file();
  for (const auto& [at, bytes] : c.patches) {
    ASSERT_LE(at + bytes.size(), b.size());
    std::copy(bytes.begin(), bytes.end(), b.begin() + long(at));
  }
  b.reserve(1);
  auto open = [&] {
    TImageEnsemble e(mgr.m);
    e.open(new TqorMemoryStream(b.data(), int(b.size())));
  };
  if (!*c.unit) {
    // unclaimed: the ensemble names the bytes of unknown type
    std::string text;
    try {
      open();
    } catch (const x_qor& x) {
      EXPECT_EQ(x.error(), 3);
      text = x.msg();
    }
    EXPECT_NE(text.find("Unknown type of file"), std::string::npos) << text;
  } else if (*c.text) {
    EXPECT_TRUE(raises(open, 3, c.text, c.unit));
  } else {
    EXPECT_EQ(raisedCode(open), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(Headers, RefusedHeader, testing::ValuesIn(kHeaderCases), qortest::caseName());

}  // namespace
