// TIFF files (ztiffdrv): files of Pillow and ImageMagick read as Pillow
// decodes them, files written here read in Pillow, min-is-white and colour
// map values, samples beyond the first, and the failures of open, read and
// write with their codes and messages.
#include <gtest/gtest.h>

#include "zqorcfg.h"

#if QOR_WITH_TIFF

#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "filemakers.h"
#include "oracle.h"

namespace {

using namespace qortest::make;
using qortest::Bytes;
using qortest::raises;
using qortest::readFile;
using qortest::readPixels;
using qortest::writePixels;
using qortest::Tool;

TQORDataManager* manager = getQorDataManager();

std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) { return qortest::openBytes(manager, b); }

// ---------------------------------------------------------------- hand-made files

// The bytes of values of type T, as a file or a memory image holds them here.
template <class T>
Bytes raw(std::initializer_list<T> values) {
  Bytes b(values.size() * sizeof(T));
  std::memcpy(b.data(), values.begin(), b.size());
  return b;
}

const std::string kUnit = "ztiffdrv";

// ---------------------------------------------------------------- min-is-white, colour maps, samples

struct ReadCase {
  const char* name;
  Bytes file;
  int type;
  Bytes want;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class HandMade : public testing::TestWithParam<ReadCase> {};

TEST_P(HandMade, ReadsThePixelsOfItsKind) {
  Bytes b = GetParam().file;
  auto e = openBytes(b);
  EXPECT_EQ(e->formatID(), idTIFF());
  EXPECT_EQ(readPixels(*e, GetParam().type), GetParam().want);
}

INSTANTIATE_TEST_SUITE_P(
    Files, HandMade,
    testing::Values(
        // 12 pixels of 1 bit, white is 0 on disk: read as 1
        ReadCase{
            "WhiteIsZeroBitsAsUChar", grey(12, 1, 1, 0, {0x5A, 0xF0}), stUChar, {1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0}},
        ReadCase{"WhiteIsZeroBitsAsSChar", grey(3, 1, 1, 0, {0xA0}), stSChar, {0x80, 0x81, 0x80}},
        // packed rows are complemented, the bits after the last pixel clear
        ReadCase{"WhiteIsZeroBitsAsOneBit", grey(12, 1, 1, 0, {0x5A, 0xF0}), stOneBit, {0xA5, 0x00, 0, 0}},
        ReadCase{"WhiteIsZeroNibbles", grey(3, 1, 4, 0, {0x0F, 0x70}), stUChar, {15, 0, 8}},
        ReadCase{"WhiteIsZeroNibblesAsSChar", grey(2, 1, 4, 0, {0x0F}), stSChar, {0x8F, 0x80}},
        ReadCase{"WhiteIsZeroBytes", grey(3, 1, 8, 0, {0, 200, 255}), stUChar, {255, 55, 0}},
        ReadCase{"WhiteIsZeroBytesAsSChar", grey(2, 1, 8, 0, {0, 255}), stSChar, {0x7F, 0x80}},
        ReadCase{"BlackIsZeroNibbles", grey(3, 1, 4, 1, {0x0F, 0x70}), stUChar, {0, 15, 7}},
        // grey levels spread over 0..255 in colour
        ReadCase{"BlackIsZeroNibblesAsRGB", grey(2, 1, 4, 1, {0x1F}), stRGB, {17, 17, 17, 255, 255, 255}},
        ReadCase{"WhiteIsZeroNibblesAsRGB", grey(2, 1, 4, 0, {0x1F}), stRGB, {238, 238, 238, 0, 0, 0}},
        ReadCase{"WhiteIsZeroBitsAsRGB", grey(2, 1, 1, 0, {0x40}), stRGB, {255, 255, 255, 0, 0, 0}},
        // grey with alpha: the first sample of every pixel
        ReadCase{"GreyWithAlpha",
                 grey(3, 2, 8, 1, {10, 1, 20, 2, 30, 3, 40, 4, 50, 5, 60, 6}, {{277, {2}}, {338, {2}}}),
                 stUChar,
                 {10, 20, 30, 40, 50, 60}},
        ReadCase{
            "NibblesWithAlpha", grey(3, 1, 4, 1, {0x1F, 0x2F, 0x3F}, {{277, {2}}, {338, {2}}}), stUChar, {1, 2, 3}},
        // a strip of the two rows straight into the image, and bottom-up bitmap rows
        ReadCase{
            "RowsStraightIntoTheImage", grey(4, 2, 8, 1, {1, 2, 3, 4, 5, 6, 7, 8}), stUChar, {1, 2, 3, 4, 5, 6, 7, 8}},
        // colour samples past the third dropped, 16 bits by their high byte, planes interleaved
        ReadCase{"RgbWithAlpha", pixels(2, 8, 4, 2, {1, 2, 3, 4, 5, 6, 7, 8}), stRGB, {1, 2, 3, 5, 6, 7}},
        ReadCase{"RgbOfSixteenBits",
                 pixels(1, 16, 3, 2, raw<uint16_t>({0x1234, 0x5678, 0x9ABC})),
                 stRGB,
                 {0x12, 0x56, 0x9A}},
        ReadCase{"RgbInPlanes",
                 pixels(2, 8, 3, 2, {1, 2, 3, 4, 5, 6}, {{284, {2}}, {273, {8, 10, 12}, true}, {279, {2, 2, 2}, true}}),
                 stRGB,
                 {1, 3, 5, 2, 4, 6}},
        ReadCase{"SixteenBitGreyAtValue", grey(2, 1, 16, 1, raw<uint16_t>({0x1234, 0xFFFF})), stDouble,
                 raw<double>({4660, 65535})},
        ReadCase{"SixteenBitGreyByHighByte", grey(2, 1, 16, 1, raw<uint16_t>({0x1234, 0x00FF})), stUChar, {0x12, 0}},
        ReadCase{"SixteenBitWhiteIsZero", grey(1, 1, 16, 0, raw<uint16_t>({0x0100})), stDouble, raw<double>({0xFEFF})},
        ReadCase{"FloatGreyAtValue", grey(3, 1, 32, 1, raw<float>({0.5f, -1.0f, 2.5f}), {{339, {3}}}), stDouble,
                 raw<double>({0.5, -1.0, 2.5})},
        ReadCase{"FloatGreyClampedIntoBytes",
                 grey(4, 1, 32, 1, raw<float>({0.5f, -1.0f, 2.5f, 0.2f}), {{339, {3}}}),
                 stUChar,
                 {128, 0, 255, 51}},
        ReadCase{
            "FloatRgb", pixels(1, 32, 3, 2, raw<float>({1.0f, 0.0f, 0.25f}), {{339, {3, 3, 3}}}), stRGB, {255, 0, 64}},
        // ink amounts rounded as Pillow and ImageMagick turn them into colours; L*a*b* under D65
        ReadCase{"Cmyk", pixels(2, 8, 4, 5, {0, 255, 128, 0, 10, 20, 30, 100}), stRGB, {255, 0, 127, 149, 143, 137}},
        ReadCase{"LabWhiteAndBlack", pixels(2, 8, 3, 8, {255, 0, 0, 0, 0, 0}), stRGB, {255, 255, 255, 0, 0, 0}},
        ReadCase{"RowsPerStripOneAsBitmap",
                 grey(4, 2, 8, 1, {1, 2, 3, 4, 5, 6, 7, 8}, {{278, {1}}, {273, {8, 12}, true}, {279, {4, 4}, true}}),
                 stBitmap,
                 {5, 6, 7, 8, 1, 2, 3, 4}}),
    qortest::caseName());

TEST(TiffColourMap, ValuesBecomeEightBitsAndAMissingMapStaysGrey) {
  std::vector<uint32_t> map(48, 0);
  map[0] = 65535, map[1] = 257, map[2] = 256;  // red of entries 0, 1, 2
  map[16] = 512, map[32] = 65534;              // green and blue of entry 0
  Bytes b = grey(2, 1, 4, 3, {0x12}, {{320, map}});
  auto e = openBytes(b);
  const TqorPaletteItem* p = e->getPalette();
  EXPECT_EQ(p[0].red, 255);
  EXPECT_EQ(p[1].red, 1);
  EXPECT_EQ(p[2].red, 0);
  EXPECT_EQ(p[0].green, 1);
  EXPECT_EQ(p[0].blue, 254);
  EXPECT_EQ(readPixels(*e, stUChar), (Bytes{1, 2}));

  // maps of 8-bit values shifted up, as some writers store them: white stays white
  std::vector<uint32_t> shifted(48, 0);
  shifted[0] = 0xFF00, shifted[1] = 0x1800, shifted[16] = 0x0100;
  Bytes s = grey(2, 1, 4, 3, {0x10}, {{320, shifted}});
  auto f = openBytes(s);
  EXPECT_EQ(f->getPalette()[0].red, 255);
  EXPECT_EQ(f->getPalette()[1].red, 24);
  EXPECT_EQ(f->getPalette()[0].green, 1);

  Bytes noMap = grey(2, 1, 8, 3, {7, 9});
  auto g = openBytes(noMap);
  EXPECT_EQ(g->getPalette()[200].red, 200);
  EXPECT_EQ(g->getPalette()[200].blue, 200);
}

// ---------------------------------------------------------------- failures

struct Failure {
  const char* name;
  Bytes file;
  int code;
  std::string text;
  const char* unit = "ztiffdrv";
};

void PrintTo(const Failure& c, std::ostream* os) { *os << c.name; }

class Refused : public testing::TestWithParam<Failure> {};

TEST_P(Refused, WithItsCodeAndMessage) {
  const Failure& c = GetParam();
  EXPECT_TRUE(raises(
      [&] {
        Bytes b = c.file;
        auto e = openBytes(b);
        readPixels(*e, c.name == std::string("SixteenBitGreyAsSChar") ? stSChar : stUChar);
      },
      c.code, c.text, c.unit));
}

// (the headers refused at open are rows of test_contract)
INSTANTIATE_TEST_SUITE_P(
    Files, Refused,
    testing::Values(
        Failure{"CmykStripBeyondTheFile",
                grey(1, 2, 8, 5, Bytes(8),
                     {{258, {8, 8, 8, 8}}, {277, {4}}, {278, {1}}, {273, {8, 4000}, true}, {279, {4, 4}, true}}),
                3, "The error occured during reading TIFF file."},
        Failure{"StripBeyondTheFile", grey(4, 2, 8, 1, Bytes(8), {{273, {4000}, true}}), 3,
                "The error occured during reading TIFF file."},
        // 16-bit grey reads into bytes, RGB and double images only
        Failure{
            "SixteenBitGreyAsSChar", grey(1, 1, 16, 1, Bytes(2)), 3,
            std::string("Unknown converter srcN = ") + bitsCodingName(16) + " destN = " + stCodingName(stSChar) + ".",
            "zsigens2"}),
    qortest::caseName());

TEST(TiffWrite, RefusesCodingsItCannotStoreAndReportsAFullStream) {
  qortest::TempDir dir;
  EXPECT_TRUE(raises([&] { TImageEnsemble e(dir.file("a.tif").c_str(), fiTiffFileInfo(16, 4, 4), manager); }, 3,
                     "The library is unable to write the given data into TIFF file.", kUnit));
  // the pixels fit, the directory after them does not
  Bytes small(8 + 64 * 64 * 3);
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(manager);
        e.open(new TqorMemoryStream(small.data(), int(small.size())), fiTiffFileInfo(24, 64, 64));
        writePixels(e, stRGB, Bytes(64 * 64 * 3, 9));
      },
      3, "The error occured during writing TIFF file.(Disk full?)", kUnit));
  // not even the header fits
  Bytes tiny(4);
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(manager);
        e.open(new TqorMemoryStream(tiny.data(), int(tiny.size())), fiTiffFileInfo(8, 2, 2));
      },
      2, "Can't open file \n", kUnit));
  // an image is written once
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(dir.file("b.tif").c_str(), fiTiffFileInfo(8, 2, 2), manager);
        writePixels(e, stUChar, Bytes(4, 1));
        writePixels(e, stUChar, Bytes(4, 2));
      },
      3, "No TIFF file waits for this image: a TIFF file is written once, after it is created.", kUnit));
}

// ---------------------------------------------------------------- writing chunk by chunk

struct ChunkCase {
  const char* name;
  int coding, type;
  size_t rowBytes;  // of a 32-pixel image row of the type
};

void PrintTo(const ChunkCase& c, std::ostream* os) { *os << c.name; }

class ChunkWrite : public testing::TestWithParam<ChunkCase> {};

TqorImageBase* emptyImage(TImageEnsemble& e, int type) {
  if (type == stRGB) return e.getEmptyRGBImage(0);
  if (type == stOneBit) return e.getEmptyOneBitImage(0);
  return e.getEmptyUCharImage(0);
}

// The image as the caller leaves it before chunk `chunk`: every row tells the chunk.
void paint(TqorImageBase* image, size_t rowBytes, int chunk) {
  for (int y = 0; y < image->sizeY(); ++y) {
    auto* row = static_cast<unsigned char*>(image->rowPtr(y));
    for (size_t x = 0; x < rowBytes; ++x) row[x] = uint8_t(chunk * 60 + y + x);
  }
}

// A caller driving the chunks changes the image between them; each chunk
// writes the rows of its own call, and the file equals one written whole from
// the rows each chunk saw. 40 rows in one strip, three chunks of 15.
TEST_P(ChunkWrite, EachCallWritesTheRowsOfItsChunk) {
  const ChunkCase& c = GetParam();
  const int w = 32, h = 40;
  qortest::TempDir dir;
  const std::string chunked = dir.file("chunked.tif"), whole = dir.file("whole.tif");
  Bytes want;
  {
    TImageEnsemble e(chunked.c_str(), fiTiffFileInfo(c.coding, w, h), manager);
    ASSERT_EQ(e.rowsPerChunk(), 15);
    e.setf(qorChunkMode);
    TqorImageBase* image = emptyImage(e, c.type);
    paint(image, c.rowBytes, 0);
    e.putImage(0);
    for (int k = 0; k < e.chunksNumber(); ++k) {
      paint(image, c.rowBytes, k);
      for (int y = 15 * k; y < std::min(h, 15 * k + 15); ++y) {
        const auto* row = static_cast<const unsigned char*>(image->rowPtr(y));
        want.insert(want.end(), row, row + c.rowBytes);
      }
      ASSERT_EQ(e.writeNextChunk(), 0);
    }
    EXPECT_EQ(e.writeNextChunk(), 1);
  }
  {
    TImageEnsemble e(whole.c_str(), fiTiffFileInfo(c.coding, w, h), manager);
    writePixels(e, c.type, want);
  }
  TIFF* t = TIFFOpen(chunked.c_str(), "r");
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(TIFFNumberOfStrips(t), 1u);
  TIFFClose(t);
  Bytes file = readFile(chunked);
  auto e = openBytes(file);
  EXPECT_EQ(readPixels(*e, c.type), want);
  EXPECT_EQ(file, readFile(whole));
}

INSTANTIATE_TEST_SUITE_P(Codings, ChunkWrite,
                         testing::Values(ChunkCase{"OneBit", 1, stOneBit, 4}, ChunkCase{"EightBit", 8, stUChar, 32},
                                         ChunkCase{"Colour", 24, stRGB, 96}),
                         qortest::caseName());

// ---------------------------------------------------------------- written here, read by Pillow

struct WrittenCase {
  const char* name;
  int coding, type;
  uint16_t photometric, compression;
};

void PrintTo(const WrittenCase& c, std::ostream* os) { *os << c.name; }

class WrittenHere : public testing::TestWithParam<WrittenCase> {};

TEST_P(WrittenHere, IsTheFileAskedForAndReadsTheSameInPillow) {
  const WrittenCase& c = GetParam();
  const int w = 37, h = 9;
  Bytes idx(size_t(w) * h), rgbPx(3 * idx.size());
  for (size_t i = 0; i < idx.size(); ++i) {
    idx[i] = uint8_t((i * 37 + i / w) % (c.coding >= 8 ? 256 : 1u << c.coding));
    for (int k = 0; k < 3; ++k) rgbPx[3 * i + size_t(k)] = uint8_t(i * (3 + 2 * k) + 40 * k);
  }
  Bytes px = c.type == stRGB ? rgbPx : idx;
  if (c.type == stOneBit) {
    const int row = TOneBitImage::getSizeOfRow(w);
    px.assign(size_t(row) * h, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) px[size_t(y * row + x / 8)] |= uint8_t((idx[size_t(y * w + x)] & 1) << (7 - x % 8));
  }
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i * 3), uint8_t(i ^ 0x55), uint8_t(200 - i)};
  const std::string path = qortest::oracleDir().file(std::string("own_") + c.name + ".tif");
  {
    TImageEnsemble e(path.c_str(), fiTiffFileInfo(c.coding, w, h), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    writePixels(e, c.type, px);
  }
  TIFF* t = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(t, nullptr);
  uint16_t photometric = 0, compression = 0;
  TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  TIFFClose(t);
  EXPECT_EQ(photometric, c.photometric);
  EXPECT_EQ(compression, c.compression);
  Bytes file = readFile(path);
  auto e = openBytes(file);
  EXPECT_EQ(readPixels(*e, c.type), px);

  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  ASSERT_TRUE(qortest::pillowDecode(path));
  const qortest::Decoded d = qortest::pillowResult(path);
  if (c.coding == 24) {
    EXPECT_EQ(d.rgb, rgbPx);
    return;
  }
  EXPECT_EQ(d.idx, idx) << "Pillow decoded " << d.mode;
  if (c.coding == 1) return;
  for (size_t i = 0; i < (size_t(1) << c.coding); ++i) {
    EXPECT_EQ(d.pal[3 * i], pal[i].red) << "entry " << i;
    EXPECT_EQ(d.pal[3 * i + 2], pal[i].blue) << "entry " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Files, WrittenHere,
                         testing::Values(WrittenCase{"OneBit", 1, stOneBit, 1, COMPRESSION_PACKBITS},
                                         WrittenCase{"OneBitFromUChar", 1, stUChar, 1, COMPRESSION_PACKBITS},
                                         WrittenCase{"FourBitPalette", 4, stUChar, 3, COMPRESSION_NONE},
                                         WrittenCase{"EightBitPalette", 8, stUChar, 3, COMPRESSION_NONE},
                                         WrittenCase{"Colour", 24, stRGB, 2, COMPRESSION_NONE}),
                         qortest::caseName());

// (the files of Pillow and ImageMagick of the common kinds are rows of test_world)

const Tool pillow = Tool::pillow;

// ---------------------------------------------------------------- kinds other tools write

// What a file made from an oracle source image is compared with.
enum class Truth { pillow, source, command };

struct OtherKind {
  const char* name;
  const char* source;   // oracle source image, saved by Pillow as $S, an uncompressed TIFF
  const char* command;  // makes $D from $S ("": $D is $S); with Truth::command it also writes $D.rgb
  int coding, type;     // stRGB compares colours, stUChar grey levels
  Truth truth = Truth::pillow;
  int tolerance = 0;
};

void PrintTo(const OtherKind& c, std::ostream* os) { *os << c.name; }

class OtherKinds : public testing::TestWithParam<OtherKind> {};

std::string substituted(std::string text, const std::string& src, const std::string& dest) {
  for (const auto& [key, value] : {std::pair<std::string, std::string>{"$S", src}, {"$D", dest}})
    for (size_t at; (at = text.find(key)) != std::string::npos;) text.replace(at, key.size(), "'" + value + "'");
  return text;
}

TEST_P(OtherKinds, ReadWithThePixelsTheToolsShow) {
  const OtherKind& c = GetParam();
  const std::string command = c.command;
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  for (const char* tool : {"convert", "tiffcp", "vips"})
    if (command.find(tool) != std::string::npos && !qortest::haveTool((std::string("/usr/bin/") + tool).c_str()))
      GTEST_SKIP() << tool << " is missing";
  const std::string src = qortest::toolWrite(pillow, c.source, std::string(c.name) + ".src.tif", "TIFF");
  ASSERT_FALSE(src.empty());
  const std::string dest = command.empty() ? src : qortest::oracleDir().file(c.name);
  ASSERT_EQ(std::system(substituted(command.empty() ? "true" : command, src, dest).c_str()), 0) << command;
  if (c.truth == Truth::pillow && dest != src) {
    ASSERT_TRUE(qortest::pillowDecode(dest));
  }
  const qortest::Decoded d = qortest::pillowResult(c.truth == Truth::source ? src : dest);
  Bytes want = c.truth == Truth::command ? readFile(dest + ".rgb") : d.rgb;
  if (c.type == stUChar) {
    Bytes levels;
    for (size_t i = 0; i < want.size(); i += 3) levels.push_back(want[i]);
    want = d.idx.empty() || c.truth != Truth::pillow ? levels : d.idx;
  }
  Bytes b = readFile(dest);
  auto e = openBytes(b);
  EXPECT_EQ(e->coding(), c.coding);
  const Bytes got = readPixels(*e, c.type);
  ASSERT_EQ(got.size(), want.size());
  int worst = 0;
  double sum = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    worst = std::max(worst, std::abs(got[i] - want[i]));
    sum += std::abs(got[i] - want[i]);
  }
  EXPECT_LE(worst, c.tolerance);
  EXPECT_LE(sum / double(got.size()), 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Files, OtherKinds,
    testing::Values(
        OtherKind{"pil_rgba.tif", "rgba", "", 24, stRGB},
        OtherKind{"rgba_premultiplied.tif", "rgba", "convert $S -define tiff:alpha=associated $D", 24, stRGB},
        OtherKind{"rgba_planes_lzw.tif", "rgba", "tiffcp -p separate -c lzw $S $D", 24, stRGB},
        OtherKind{"rgb_planes_tiles.tif", "rgb", "tiffcp -p separate -t -w 16 -l 16 -c zip $S $D", 24, stRGB},
        OtherKind{"grey_alpha.tif", "grey", "convert $S -alpha set -type GrayscaleAlpha -compress zip $D", 8, stUChar},
        OtherKind{"rgb16.tif", "rgb", "convert $S -depth 16 -compress lzw $D", 24, stRGB},
        OtherKind{"grey16.tif", "grey", "convert $S -depth 16 $D", 16, stUChar, Truth::source},
        OtherKind{"cmyk.tif", "rgb", "convert $S -colorspace CMYK $D", 24, stRGB},
        OtherKind{"ycbcr_jpeg.tif", "rgb", "tiffcp -c jpeg $S $D", 24, stRGB},
        OtherKind{"vips_jpeg.tif", "rgb", "vips copy $S $D[compression=jpeg]", 24, stRGB},
        // libtiff's RGBA reader
        OtherKind{"grey2.tif", "grey", "convert $S -depth 2 $D", 24, stRGB},
        OtherKind{"float_grey.tif", "grey",
                  "convert $S -define quantum:format=floating-point -depth 32 $D 2>/dev/null; test -s $D", 32, stUChar,
                  Truth::source},
        OtherKind{"float_rgb.tif", "rgb",
                  "convert $S -define quantum:format=floating-point -depth 32 $D 2>/dev/null; test -s $D", 24, stRGB,
                  Truth::source},
        // the sRGB of ImageMagick's CIELAB: a level apart on average, more in channels near 0
        OtherKind{"lab.tif", "rgb", "convert $S -colorspace Lab $D && convert $D -depth 8 rgb:$D.rgb", 24, stRGB,
                  Truth::command, 24}),
    [](const testing::TestParamInfo<OtherKind>& info) {
      std::string n = info.param.name;
      std::replace(n.begin(), n.end(), '.', '_');
      return n;
    });

// Pillow's compressed strips cut to half their bytes: a read error, never a picture.
TEST(TiffStrips, ACompressedStripCutShortIsAReadError) {
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  for (const std::string compression : {"tiff_lzw", "tiff_adobe_deflate"}) {
    SCOPED_TRACE(compression);
    const std::string f =
        qortest::toolWrite(pillow, "rgba", "cut_" + compression + ".tif", "TIFF", {"compression=" + compression});
    ASSERT_FALSE(f.empty());
    Bytes b = readFile(f);
    auto at = [&b](size_t i, int n) {
      uint32_t v = 0;
      for (int k = n - 1; k >= 0; --k) v = v << 8 | b[i + size_t(k)];
      return v;
    };
    ASSERT_EQ(b[0], 'I');
    const size_t ifd = at(4, 4);
    size_t count = 0;
    for (size_t k = 0; k < at(ifd, 2); ++k) {
      const size_t entry = ifd + 2 + 12 * k;
      if (at(entry, 2) != 279) continue;
      const int size = at(entry + 2, 2) == 3 ? 2 : 4;
      count = at(entry + 4, 4) * size <= 4 ? entry + 8 : at(entry + 8, 4);
      const uint32_t half = at(count, size) / 2;
      for (int n = 0; n < size; ++n) b[count + size_t(n)] = uint8_t(half >> (8 * n));
    }
    ASSERT_NE(count, 0u);
    auto e = openBytes(b);
    EXPECT_TRUE(raises([&] { readPixels(*e, stRGB); }, 3, "The error occured during reading TIFF file.", kUnit));
  }
}

// Pages of the first page's size and kind are images; another page is refused when asked for.
TEST(TiffPages, EveryPageOfTheFirstPagesKindIsAnImage) {
  QOR_REQUIRE_ORACLE(qortest::Tool::magick);
  const std::string src = qortest::toolWrite(pillow, "rgb", "pages.src.tif", "TIFF");
  ASSERT_FALSE(src.empty());
  const std::string dest = qortest::oracleDir().file("pages.tif");
  ASSERT_EQ(
      std::system(substituted("convert $S \\( +clone -flip \\) \\( +clone -resize 50% \\) -compress lzw $D", src, dest)
                      .c_str()),
      0);
  const Bytes rgb = qortest::pillowResult(src).rgb;
  const size_t row = 3 * 61;
  Bytes flipped;
  for (size_t y = 23; y-- > 0;)
    flipped.insert(flipped.end(), rgb.begin() + long(y * row), rgb.begin() + long(y * row + row));
  TImageEnsemble e(dest.c_str(), manager);
  ASSERT_EQ(e.numberOfImages(), 3);
  Bytes got(rgb.size());
  e.readRGBImage(1, got.data());
  EXPECT_EQ(got, flipped);
  e.readRGBImage(0, got.data());
  EXPECT_EQ(got, rgb);
  EXPECT_TRUE(raises([&] { e.readRGBImage(2, got.data()); }, 3,
                     "TIFF: page 3: 31 x 12 pixels, not 61 x 23 like the first page (" + dest + ")", kUnit));
}

}  // namespace

#endif
