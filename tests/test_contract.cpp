// What every format driver owes: its files are detected as its own, a file cut
// short anywhere fails with a read error instead of crashing or passing, the
// pixels written come back unchanged through a named file, caller memory and a
// window of a larger stream, and a path that cannot be created is refused.
// A driver joins by adding one fixture row; the bytes each driver claims, and
// the headers it refuses at open, are rows of the detection and header tables.
#include <algorithm>
#include <climits>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filemakers.h"

namespace {

using namespace qortest;

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
  appendLE(b, 54 + 1024 + 24, 4);
  appendLE(b, 0, 4);
  appendLE(b, 54 + 1024, 4);
  appendLE(b, 40, 4);
  appendLE(b, 5, 4);
  appendLE(b, 3, 4);
  appendLE(b, 1, 2);
  appendLE(b, 8, 2);
  for (int k = 0; k < 6; ++k) appendLE(b, 0, 4);
  for (uint32_t i = 0; i < 256; ++i) appendLE(b, i * 0x010101u, 4);
  const Bytes px = pattern(stUChar, 24);
  b.insert(b.end(), px.begin(), px.end());
  return b;
}

// OS/2 bitmap: 3 x 2, 24 bits, bottom-up rows of 12 bytes.
Bytes os2File() {
  Bytes b = {'B', 'M'};
  appendLE(b, 26 + 24, 4);
  appendLE(b, 0, 4);
  appendLE(b, 26, 4);
  appendLE(b, 12, 4);
  appendLE(b, 3, 2);
  appendLE(b, 2, 2);
  appendLE(b, 1, 2);
  appendLE(b, 24, 2);
  const Bytes px = pattern(stUChar, 24);
  b.insert(b.end(), px.begin(), px.end());
  return b;
}

// Targa: 5 x 3, 24 bits, run-length encoded, bottom-up: a run carried from the
// first stored row into the second, a raw packet, a run.
Bytes tgaFile() {
  Bytes b = {0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  appendLE(b, 5, 2);
  appendLE(b, 3, 2);
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
  for (uint32_t v : {0u, 0u, uint32_t(w - 1), uint32_t(h - 1), 480u, 480u}) appendLE(b, v, 2);
  b.resize(65, 0);
  b.push_back(uint8_t(planes));
  appendLE(b, uint32_t(bpl), 2);
  appendLE(b, 1, 2);
  b.resize(128, 0);
  return b;
}

// PCX: 5 x 3, 8 bits, lines of 6 bytes (runs, single bytes, an escaped 0xC7),
// then the 256-colour palette.
Bytes pcxFile() {
  Bytes b = pcxHeader(8, 1, 5, 3, 6);
  b.insert(b.end(), {0xC3, 9, 1, 2, 0xC1, 0xC7, 0xC6, 4, 1, 2, 3, 4, 5, 6, 12});
  for (uint32_t i = 0; i < 256; ++i) appendLE(b, i * 0x030507u, 3);
  return b;
}

// DCX: one page, a PCX of 3 x 2 in three planes of 8 bits, lines of 4 bytes per plane.
Bytes dcxFile() {
  Bytes b;
  for (uint32_t v : {0x3ADE68B1u, 12u, 0u}) appendLE(b, v, 4);
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

// ---------------------------------------------------------------- which driver claims which bytes

namespace mk = qortest::make;

// Bytes and the format of the one driver that claims them; no format when no
// driver does. Every registered driver is asked on its own, so a row also
// says that no other driver claims the bytes. Headers a driver claims only to
// refuse them by name at open are claimed here.
struct DetectRow {
  const char* name;
  Bytes file;
  int (*claimant)() = nullptr;
};

// b with single bytes replaced: (offset, value) pairs.
Bytes patched(Bytes b, std::initializer_list<std::pair<size_t, uint8_t>> bytes) {
  for (const auto& [at, v] : bytes) b.at(at) = v;
  return b;
}

Bytes bmpWithInfoSize(uint32_t size) {
  mk::WinFile f{24, 1, 1, 0, {}, {1, 2, 3, 0}};
  f.infoSize = size;
  return f.bytes();
}

// A grey Targa file of 2 x 1 pixels, from the top.
const mk::Tga kTgaGrey{3, 2, 1, 8, 0x20, {1, 2}};

Bytes tgaMappedOf16Bits() {
  Bytes b = mk::mapped(24, mk::map24(2), 2, {1, 0}).bytes();
  b[16] = 16;
  return b;
}

const DetectRow kDetectRows[] = {
    {"Empty", Bytes{}},
    {"Zeros", Bytes(60, 0)},
    // Windows bitmaps of every info header size the driver reads; OS/2 2.x
    // headers (64 and 16 bytes) are claimed, to be refused by name
    {"BmpInfo40", bmpWithInfoSize(40), idBMP},
    {"BmpInfo52", bmpWithInfoSize(52), idBMP},
    {"BmpInfo56", bmpWithInfoSize(56), idBMP},
    {"BmpInfo108", bmpWithInfoSize(108), idBMP},
    {"BmpInfo124", bmpWithInfoSize(124), idBMP},
    {"BmpInfo64", bmpWithInfoSize(64), idBMP},
    {"BmpInfo16", bmpWithInfoSize(16), idBMP},
    {"BmpInfo99", bmpWithInfoSize(99)},
    {"BmpCore12", mk::os2File(24, 1, 1, {}, {1, 2, 3, 0}), idBMPOS2},
    {"BmpShortStream", Bytes{'B', 'M', 0, 0, 0}},
    // Targa: only consistent headers
    {"TgaGrey", kTgaGrey.bytes(), idTGA},
    {"TgaMapped", mk::mapped(24, mk::map24(2), 2, {1}).bytes(), idTGA},
    {"TgaColourMapType2", patched(kTgaGrey.bytes(), {{1, 2}})},
    {"TgaImageType13", patched(kTgaGrey.bytes(), {{2, 13}})},
    {"TgaImageType0", patched(kTgaGrey.bytes(), {{2, 0}})},
    {"TgaDepth15", mk::Tga{2, 1, 1, 15, 0, {0, 0}}.bytes(), idTGA},
    {"TgaTrueColourOf8Bits", mk::Tga{2, 1, 1, 8, 0, {0}}.bytes()},
    {"TgaGreyOf24Bits", mk::Tga{3, 1, 1, 24, 0, {0, 0, 0}}.bytes()},
    {"TgaGreyAndAlpha", mk::Tga{3, 1, 1, 16, 0x08, {0, 0}}.bytes(), idTGA},
    {"TgaGreyAndAlphaRle", mk::Tga{11, 1, 1, 16, 0x08, {0x00, 0, 0}}.bytes(), idTGA},
    // claimed, to be refused by name at open
    {"TgaMappedOf16Bits", tgaMappedOf16Bits(), idTGA},
    {"TgaMappedWithoutMap", mk::Tga{1, 1, 1, 8, 0, {0}}.bytes()},
    {"TgaMapEntriesOf8Bits", mk::mapped(8, {1, 2}, 2, {1}).bytes()},
    {"TgaEmptyMap", mk::mapped(24, {}, 0, {1}).bytes()},
    {"TgaMapFieldsWithoutMap", patched(kTgaGrey.bytes(), {{3, 1}, {5, 4}, {7, 24}}), idTGA},
    {"TgaInterleaved", patched(kTgaGrey.bytes(), {{17, 0x40}}), idTGA},
    {"TgaZeroWidth", mk::Tga{3, 0, 1, 8, 0, {}}.bytes()},
    {"TgaZeroHeight", mk::Tga{3, 1, 0, 8, 0, {}}.bytes()},
    {"TgaShortStream", Bytes{0, 0, 3, 0, 0}},
#if QOR_WITH_PNG
    // the eight bytes of the signature decide
    {"PngSignature", mk::Png{}.bytes(), idPNG},
    {"PngLastSignatureByteDamaged", patched(mk::Png{}.bytes(), {{7, 0}})},
#endif
};

class Detection : public testing::TestWithParam<DetectRow> {
protected:
  Manager mgr;
};

TEST_P(Detection, OnlyTheDriverOfTheRowClaimsTheBytes) {
  Bytes b = GetParam().file;
  b.reserve(1);
  std::vector<int> claimants;
  for (int i = 0; i < mgr.m->driversNumber(); ++i) {
    std::unique_ptr<TFileFormatDriver> d(mgr.m->getDriver(i)->createInstance());
    TqorMemoryStream s(b.data(), int(b.size()));
    d->init(nullptr, &s);
    const int claimed = d->recognizeFormat();
    EXPECT_TRUE(claimed == 0 || claimed == 1) << "format " << d->getFileInfo()->formatID() << " answers " << claimed;
    if (claimed) claimants.push_back(d->getFileInfo()->formatID());
  }
  EXPECT_EQ(claimants, GetParam().claimant ? std::vector<int>{GetParam().claimant()} : std::vector<int>{});
}

INSTANTIATE_TEST_SUITE_P(AllDrivers, Detection, testing::ValuesIn(kDetectRows), qortest::caseName());

// ---------------------------------------------------------------- headers each driver refuses

// Bytes of a format with parts replaced (offset, bytes), refused at open
// with error code: by the unit named with the text given, or, for an empty
// text, with any message. A unit of "" means no driver claims the bytes.
// The bytes of a row: made by a fixture when the test runs, or given.
struct RowFile {
  RowFile(Bytes (*fixture)()) : fixture(fixture) {}
  RowFile(Bytes bytes) : bytes(std::move(bytes)) {}
  Bytes get() const { return fixture ? fixture() : bytes; }
  Bytes (*fixture)() = nullptr;
  Bytes bytes;
};

struct HeaderCase {
  const char* name;
  RowFile file;
  std::vector<std::pair<size_t, Bytes>> patches;
  const char* unit;
  const char* text;
  int code = 3;
};

Bytes emptyFile() { return {}; }

Bytes bmpHeaderOnly(int bits, int32_t width, int32_t height) {
  return mk::WinFile{bits, width, height, 0, {}, {0, 0, 0, 0}}.bytes();
}
// The first n bytes of b.
Bytes firstBytes(Bytes b, size_t n) {
  b.resize(n);
  return b;
}

Bytes tgaIdentificationCut() {
  mk::Tga t = kTgaGrey;
  t.id = Bytes(9, 'x');
  return firstBytes(t.bytes(), 22);
}
#if QOR_WITH_JPEG
Bytes jpegWithoutImage() { return {0xFF, 0xD8, 0xFF, 0xD9}; }
Bytes jpegHeaderCut() { return firstBytes(jpegFile(), 100); }
#endif
#if QOR_WITH_PNG
Bytes pngHeaderChecksumBroken() {
  Bytes b = mk::Png{}.bytes();
  b[29] ^= 1;
  return b;
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
    // Windows and OS/2 bitmaps
    {"BmpNegativeWidth", bmpHeaderOnly(8, -5, 2), {}, "zsigens2", "BMP header: negative width -5."},
    {"BmpHeightIntMin", bmpHeaderOnly(8, 5, INT_MIN), {}, "zbmpdrv", "BMP header: height -2147483648 is out of range."},
    {"BmpZeroWidth", bmpHeaderOnly(8, 0, 2), {}, "zsigens2", "BMP header: the image size 0 x 2 is empty."},
    {"BmpZeroHeight", bmpHeaderOnly(24, 3, 0), {}, "zsigens2", "BMP header: the image size 3 x 0 is empty."},
    {"BmpRowTooLong",
     bmpHeaderOnly(32, 1 << 30, 1),
     {},
     "zsigens2",
     "BMP header: a row of 1073741824 pixels at 32 bits per pixel takes 4294967296 bytes, more than 32 bits hold."},
    {"BmpRowOfHugeDepth",
     bmpHeaderOnly(65535, 1000000, 1),
     {},
     "zsigens2",
     "BMP header: a row of 1000000 pixels at 65535 bits per pixel takes 8191875000 bytes, more than 32 bits hold."},
    {"BmpTooManyPixels",
     bmpHeaderOnly(1, 70000, -70000),
     {},
     "zsigens2",
     "BMP header: 70000 x 70000 pixels do not fit in one image."},
    {"BmpRowsTooLarge",
     bmpHeaderOnly(32, 40000, 40000),
     {},
     "zsigens2",
     "BMP header: 40000 rows of 160000 bytes do not fit in 32 bits."},
    {"BmpCompressionJpeg",
     mk::WinFile{24, 2, 2, 4, {}, {0xFF, 0xD8, 0xFF, 0xE0}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: compression 4 (JPEG) is not supported."},
    {"BmpCompressionPng",
     mk::WinFile{24, 2, 2, 5, {}, {0x89, 'P', 'N', 'G'}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: compression 5 (PNG) is not supported."},
    {"BmpCompressionUnknown",
     mk::WinFile{8, 2, 2, 11, mk::greyQuads(256), {1, 2, 0, 0, 3, 4, 0, 0}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: compression 11 is not supported."},
    {"BmpCompressionHighBitSet",
     mk::WinFile{8, 2, 2, 0x80000001u, mk::greyQuads(256), {}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: compression 2147483649 is not supported."},
    {"BmpTruncatedHeaders",
     Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 40, 0, 0, 0, 1, 0},
     {},
     "zbmpdrv",
     "BMP header: the file ends after 20 bytes, inside the 54 bytes of the headers."},
    {"BmpMaskNotOneRun",
     mk::WinFile{16, 2, 1, 3, mk::masks(0x7C00, 0x3E0, 0x15), {}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: bit fields of 16-bit pixels: the blue mask 0x15 is not one run of bits."},
    {"BmpMasksShareBits",
     mk::WinFile{32, 1, 1, 3, mk::masks(0xFF0000, 0x1FF00, 0xFF), {}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: bit fields of 32-bit pixels: the red mask 0xFF0000 and the green mask 0x1FF00 share bits."},
    {"BmpZeroMask",
     mk::inHeader(mk::WinFile{32, 1, 1, 3, {}, {}, 0, 0, 108}, {0xFF0000, 0, 0xFF, 0}),
     {},
     "zbmpdrv",
     "BMP header: bit fields of 32-bit pixels: the green mask is 0."},
    {"BmpMaskPastThePixel",
     mk::WinFile{16, 2, 1, 3, mk::masks(0x1F0000, 0x3E0, 0x1F), {}}.bytes(),
     {},
     "zbmpdrv",
     "BMP header: bit fields of 16-bit pixels: the red mask 0x1F0000 reaches past the 16 bits of a pixel."},
    {"BmpSixtyFourBitPixels", bmpHeaderOnly(64, 2, 2), {}, "zbmpdrv", "BMP header: 64-bit pixels are not supported."},
    {"BmpOs2InfoHeader",
     bmpWithInfoSize(64),
     {},
     "zbmpdrv",
     "BMP header: OS/2 2.x info headers (64 bytes) are not supported."},
    {"BmpV5EndsInsideItsHeader",
     firstBytes(bmpWithInfoSize(124), 100),
     {},
     "zbmpdrv",
     "BMP header: the file ends after 100 bytes, inside the 138 bytes of the headers."},
    {"BmpOs2NegativeWidth", mk::os2File(8, -3, 2, {}, {}), {}, "zsigens2", "OS/2 BMP header: negative width -3."},
    {"BmpOs2NegativeHeight", mk::os2File(8, 3, -2, {}, {}), {}, "zsigens2", "OS/2 BMP header: negative height -2."},
    {"BmpOs2ZeroHeight",
     mk::os2File(8, 3, 0, {}, {}),
     {},
     "zsigens2",
     "OS/2 BMP header: the image size 3 x 0 is empty."},
    {"BmpOs2RowsTooLarge",
     mk::os2File(65535, 32767, 100, {}, {}),
     {},
     "zsigens2",
     "OS/2 BMP header: 100 rows of 268423172 bytes do not fit in 32 bits."},
    // Targa
    {"TgaIdentificationCut",
     tgaIdentificationCut(),
     {},
     "ztgadrv",
     "TGA header: the file ends inside its identification field of 9 bytes."},
    {"TgaColourMapCut",
     firstBytes(mk::mapped(24, mk::map24(4), 4, {1}).bytes(), 18 + 8),
     {},
     "ztgadrv",
     "TGA header: the file ends inside its colour map, after 2 of 4 entries."},
    {"TgaLongColourMapCut",
     firstBytes(mk::mapped(16, Bytes(600, 0), 300, {1}).bytes(), 18 + 590),
     {},
     "ztgadrv",
     "TGA header: the file ends inside its colour map, after 295 of 300 entries."},
    {"TgaMappedOf16Bits",
     tgaMappedOf16Bits(),
     {},
     "ztgadrv",
     "TGA header: colour-mapped pixels of 16 bits are not supported."},
    {"TgaInterleaved",
     patched(kTgaGrey.bytes(), {{17, 0x60}}),
     {},
     "ztgadrv",
     "TGA header: interleaved rows (image descriptor 0x60) are not supported."},
    {"TgaTooManyPixels",
     mk::Tga{2, 65535, 65535, 32, 0, {}}.bytes(),
     {},
     "zsigens2",
     "TGA header: 65535 x 65535 pixels do not fit in one image."},
#if QOR_WITH_JPEG
    {"JpegWithoutImage", jpegWithoutImage, {}, "zjpgdrv", "JPEG datastream contains no image"},
    {"JpegHeaderCut", jpegHeaderCut, {}, "zjpgdrv", "Premature end of JPEG file"},
    {"JpegStartMarkerAlone", jpegFile, {{2, {0x00, 0x00}}}, "", ""},
#endif
#if QOR_WITH_PNG
    {"PngSignatureDamaged", pngFile, {{1, {'Q'}}}, "", ""},
    {"PngBrokenHeaderChecksum", pngHeaderChecksumBroken(), {}, "zpngdrv", "Error reading PNG fileIHDR: CRC error"},
    {"PngFileEndsInsideItsHeader",
     firstBytes(mk::Png{}.bytes(), 20),
     {},
     "zpngdrv",
     "Error reading PNG fileRead Error"},
    {"PngSizeNoImageHolds",
     mk::Png{100000, 100000, 8, 0}.compose({}),
     {},
     "zsigens2",
     "PNG header: 100000 x 100000 pixels do not fit in one image."},
#endif
#if QOR_WITH_TIFF
    {"TiffOtherVersion", tiffFile, {{2, {43}}}, "", ""},
    {"TiffTwelveBitGrey", mk::grey(1, 1, 12, 1, Bytes(2)), {}, "ztiffdrv", "TIFF: 12-bit samples are not supported"},
    {"TiffRgbOfTwoSamples",
     mk::pixels(1, 8, 2, 2, Bytes(2)),
     {},
     "ztiffdrv",
     "TIFF: RGB pixels of 2 samples are not supported"},
    {"TiffDoubleSamples",
     mk::grey(1, 1, 64, 1, Bytes(8), {{339, {3}}}),
     {},
     "ztiffdrv",
     "TIFF: 64-bit floating-point samples are not supported"},
    {"TiffSignedSamples",
     mk::grey(1, 1, 8, 1, Bytes(1), {{339, {2}}}),
     {},
     "ztiffdrv",
     "TIFF: signed integer samples are not supported"},
    {"TiffPremultipliedSixteenBits",
     mk::pixels(1, 16, 4, 2, Bytes(8), {{338, {1}}}),
     {},
     "ztiffdrv",
     "TIFF: colours premultiplied by alpha are not supported with 16-bit samples"},
    {"TiffCmykOfThreeSamples",
     mk::pixels(1, 8, 3, 5, Bytes(3)),
     {},
     "ztiffdrv",
     "TIFF: separated pixels of 3 samples in ink set 1 are not supported"},
    {"TiffPhotometricUnknown",
     mk::grey(1, 1, 8, 99, Bytes(1)),
     {},
     "ztiffdrv",
     "TIFF: photometric interpretation 99 is not supported"},
    {"TiffNoPhotometric",
     mk::tiff({{256, {1}}, {257, {1}}, {258, {8}}}, Bytes(1)),
     {},
     "ztiffdrv",
     "The content of given TIFF file is not supported."},
    {"TiffBigTiffWithoutDirectory",
     Bytes{'M', 'M', 0, 43, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 99},
     {},
     "ztiffdrv",
     "Can't open file \n",
     2},
    {"TiffWidthBeyondAnInt",
     mk::grey(1, 1, 8, 1, Bytes(1), {{256, {0x80000000u}, true}}),
     {},
     "zsigens2",
     "TIFF header: a row of 2147483648 pixels at 8 bits per pixel takes 2147483648 bytes, more than 32 bits hold."},
#endif
};

class RefusedHeader : public testing::TestWithParam<HeaderCase> {
protected:
  Manager mgr;
};

TEST_P(RefusedHeader, OpenRaisesError3) {
  const HeaderCase& c = GetParam();
  Bytes b = c.file.get();
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
    EXPECT_TRUE(raises(open, c.code, c.text, c.unit));
  } else {
    EXPECT_EQ(raisedCode(open), c.code);
  }
}

INSTANTIATE_TEST_SUITE_P(Headers, RefusedHeader, testing::ValuesIn(kHeaderCases), qortest::caseName());

}  // namespace
