// Windows and OS/2 bitmap files (zbmpdrv, zbmpos2): codes outside the converter tables, the
// written byte layout, run-length decoding, header checks, writing back read
// files, and interchange with ImageMagick and Pillow.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "filemakers.h"
#include "oracle.h"

namespace {

using namespace qortest::make;
using qortest::Bytes;
using qortest::get16;
using qortest::get32;
using qortest::put16;
using qortest::put32;
using qortest::operator+;
using qortest::readPixels;
using qortest::readFile;
using qortest::writeFile;

TQORDataManager* manager = getQorDataManager();

// ---------------------------------------------------------------- helpers

testing::AssertionResult raisesError3(const std::function<void()>& f, const std::string& text,
                                      const std::string& unit) {
  return qortest::raises(f, 3, text, unit);
}

// Palette entries as the Windows file stores them: blue, green, red, 0.
Bytes quads(const std::vector<std::array<int, 3>>& rgb) {
  Bytes b;
  for (const auto& c : rgb) b.insert(b.end(), {uint8_t(c[2]), uint8_t(c[1]), uint8_t(c[0]), 0});
  return b;
}

// An ensemble open on bytes held by the caller.
std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) { return qortest::openBytes(manager, b); }

// A path in the program's scratch folder, which goes when the program ends.
std::string tempPath(const std::string& name) {
  static const qortest::TempDir dir;
  return dir.file(name);
}

// ---------------------------------------------------------------- converter tables

TEST(ConverterTableCodes, ValuesOutsideTheCodesRaiseTheirOwnMessages) {
  const TBitmapConverters& tables = TBitmapConverters::tables();
  EXPECT_TRUE(raisesError3([&] { tables.disk2Memory().get(2, stUChar); },
                           "Unknown value of bitsPerPixel parameter = 2.", "zsigens2"));
  EXPECT_TRUE(raisesError3([&] { tables.memory2Disk().get(15, 8); },
                           "Unknown value of stXXXXX constant parameter = 15.", "zsigens2"));
}

// ---------------------------------------------------------------- written byte layout

// Pixels of image row y, column x for a palette coding (an index below the palette size).
int indexAt(int bits, int y, int x) { return (x * 7 + y * 3 + 1) % (1 << (bits < 8 ? bits : 8)); }

struct LayoutCase {
  const char* name;
  bool os2;
  int bits;
  int width;
  int height;
  int type;  // memory type written
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class WrittenLayout : public testing::TestWithParam<LayoutCase> {};

// The file holds exactly the headers, the palette and bottom-up rows padded
// with zeros to whole 32-bit words, as this test composes them on its own.
TEST_P(WrittenLayout, MatchesTheFileComposedByHand) {
  const LayoutCase& c = GetParam();
  const std::string path = tempPath(std::string("layout_") + c.name + ".bmp");
  // a palette that differs from grey, so that its bytes show
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)};
  std::vector<std::array<int, 3>> rgb(size_t(c.width) * c.height);
  for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = {int(i * 11 % 256), int(i * 29 % 256), int(i * 53 % 256)};
  {
    TImageEnsemble e(path.c_str(),
                     c.os2 ? fiBmpOS2FileInfo(c.bits, c.width, c.height) : fiBmpFileInfo(c.bits, c.width, c.height),
                     manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    if (c.type == stRGB) {
      Bytes px;
      for (const auto& p : rgb) px.insert(px.end(), {uint8_t(p[0]), uint8_t(p[1]), uint8_t(p[2])});
      e.writeRGBImage(0, px.data());
    } else if (c.type == stOneBit) {
      const int row = TOneBitImage::getSizeOfRow(c.width);
      Bytes px(size_t(row) * c.height, 0);
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x)
          if (indexAt(1, y, x)) px[size_t(y * row + x / 8)] |= uint8_t(0x80 >> (x % 8));
      e.writeOneBitImage(0, px.data());
    } else {
      Bytes px(size_t(c.width) * c.height);
      for (int y = 0; y < c.height; ++y)
        for (int x = 0; x < c.width; ++x) px[size_t(y * c.width + x)] = uint8_t(indexAt(c.bits, y, x));
      e.writeUCharImage(0, px.data());
    }
  }
  // compose the expected file
  const int paletteEntries = c.bits == 1 ? 2 : c.bits == 4 ? 16 : c.bits == 8 ? 256 : 0;
  const int entryBytes = c.os2 ? 3 : 4;
  const int headers = c.os2 ? 26 : 54;
  Bytes want(size_t(headers), 0);
  want[0] = 'B';
  want[1] = 'M';
  put32(want, 10, uint32_t(headers + entryBytes * paletteEntries));
  if (c.os2) {
    put32(want, 14, 12);
    put16(want, 18, unsigned(c.width));
    put16(want, 20, unsigned(c.height));
    put16(want, 22, 1);
    put16(want, 24, unsigned(c.bits));
  } else {
    put32(want, 14, 40);
    put32(want, 18, uint32_t(c.width));
    put32(want, 22, uint32_t(c.height));
    put16(want, 26, 1);
    put16(want, 28, unsigned(c.bits));
  }
  for (int i = 0; i < paletteEntries; ++i) {
    TqorPaletteItem p = c.bits == 1 ? (i ? TqorPaletteItem{255, 255, 255} : TqorPaletteItem{0, 0, 0}) : pal[i];
    want.insert(want.end(), {p.blue, p.green, p.red});
    if (!c.os2) want.push_back(0);
  }
  const int row = (c.bits * c.width + 31) / 32 * 4;
  for (int r = 0; r < c.height; ++r) {
    const int y = c.height - 1 - r;
    Bytes line(size_t(row), 0);
    for (int x = 0; x < c.width; ++x) {
      if (c.bits == 24) {
        const auto& p = rgb[size_t(y * c.width + x)];
        line[size_t(3 * x)] = uint8_t(p[2]);
        line[size_t(3 * x + 1)] = uint8_t(p[1]);
        line[size_t(3 * x + 2)] = uint8_t(p[0]);
      } else if (c.bits == 8) {
        line[size_t(x)] = uint8_t(indexAt(8, y, x));
      } else if (c.bits == 4) {
        line[size_t(x / 2)] |= uint8_t(indexAt(4, y, x) << (x % 2 ? 0 : 4));
      } else {
        line[size_t(x / 8)] |= uint8_t(indexAt(1, y, x) << (7 - x % 8));
      }
    }
    want = want + line;
  }
  put32(want, 2, uint32_t(want.size()));
  const Bytes got = readFile(path);
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) ASSERT_EQ(int(got[i]), int(want[i])) << "byte " << i;
}

INSTANTIATE_TEST_SUITE_P(
    Files, WrittenLayout,
    testing::Values(LayoutCase{"OneBitWidth1", false, 1, 1, 3, stUChar}, LayoutCase{"OneBitWidth37", false, 1, 37, 4, stOneBit},
                    LayoutCase{"FourBitWidth3", false, 4, 3, 2, stUChar}, LayoutCase{"FourBitWidth9", false, 4, 9, 3, stUChar},
                    LayoutCase{"EightBitWidth5", false, 8, 5, 3, stUChar}, LayoutCase{"TwentyFourBitWidth3", false, 24, 3, 2, stRGB},
                    LayoutCase{"TwentyFourBitWidth4", false, 24, 4, 2, stRGB}, LayoutCase{"Os2OneBit", true, 1, 11, 2, stUChar},
                    LayoutCase{"Os2FourBit", true, 4, 5, 2, stUChar}, LayoutCase{"Os2EightBit", true, 8, 3, 2, stUChar},
                    LayoutCase{"Os2TwentyFourBit", true, 24, 2, 3, stRGB}),
    qortest::caseName());

// ---------------------------------------------------------------- hand-made files

struct DecodeCase {
  const char* name;
  Bytes file;
  int type;
  Bytes expected;  // image memory, rows top to bottom
  int error = 0;   // code the read raises after delivering the rows the file holds
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

Bytes rle8(int width, int height, const Bytes& data) {
  return WinFile{8, width, height, 1, greyQuads(256), data}.bytes();
}
Bytes rle4(int width, int height, const Bytes& data, int bits = 4) {
  return WinFile{bits, width, height, 2, greyQuads(bits <= 8 ? 1 << bits : 0), data}.bytes();
}
Bytes masks565() { return Bytes{0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0}; }

std::vector<DecodeCase> decodeCases() {
  return {
      // RLE8: a delta with dy 0 moves right on the same row
      {"Rle8DeltaSameRow", rle8(8, 1, {2, 5, 0, 2, 3, 0, 2, 7, 0, 1}), stUChar, {5, 5, 0, 0, 0, 7, 7, 0}},
      // dy 2 ends the row, leaves one blank row and resumes at the column plus dx
      {"Rle8DeltaTwoRowsDown", rle8(6, 4, {1, 1, 0, 2, 2, 2, 1, 9, 0, 0, 3, 4, 0, 1}), stUChar,
       {4, 4, 4, 0, 0, 0, /**/ 0, 0, 0, 9, 0, 0, /**/ 0, 0, 0, 0, 0, 0, /**/ 1, 0, 0, 0, 0, 0}},
      {"Rle8EndOfBitmap", rle8(4, 3, {4, 6, 0, 0, 2, 8, 0, 1, 4, 9}), stUChar, {0, 0, 0, 0, 8, 8, 0, 0, 6, 6, 6, 6}},
      // absolute runs of odd length carry a pad byte, even ones none
      {"Rle8OddAbsoluteRuns",
       rle8(5, 2, {0, 3, 10, 11, 12, 0, 2, 13, 0, 0, 0, 5, 1, 2, 3, 4, 5, 0, 0, 1}), stUChar,
       {1, 2, 3, 4, 5, 10, 11, 12, 13, 13}},
      {"Rle8EvenAbsoluteRun", rle8(4, 1, {0, 4, 1, 2, 3, 4, 0, 1}), stUChar, {1, 2, 3, 4}},
      // runs past the end of the row are cut; their bytes still go, so later rows decode as stored
      {"Rle8ClippedRuns",
       rle8(4, 3, {10, 7, 0, 0, /**/ 0, 6, 1, 2, 3, 4, 5, 6, 0, 0, /**/ 2, 5, 0, 2, 200, 0, 3, 9, 0, 3, 0xAA, 0xBB, 0xCC, 0,
                   0, 0, 0, 1}),
       stUChar, {5, 5, 0, 0, 1, 2, 3, 4, 7, 7, 7, 7}},
      {"Rle8DeltaPastRowEnd", rle8(3, 2, {1, 1, 0, 2, 250, 1, 2, 2, 0, 0, 1, 3, 0, 1}), stUChar, {0, 0, 0, 1, 0, 0}},
      {"Rle8DataEndsInsideARow", rle8(4, 2, {2, 3}), stUChar, {0, 0, 0, 0, 3, 3, 0, 0}, 3},
      // RLE4: a run alternates the high and the low nibble
      {"Rle4Runs", rle4(7, 1, {5, 0x12, 2, 0x34, 0, 1}), stUChar, {1, 2, 1, 2, 1, 3, 4}},
      // absolute runs: 5 pixels (3 bytes) and 6 pixels (3 bytes) carry a pad byte, 4 and 3 pixels (2 bytes) none
      {"Rle4AbsoluteRuns",
       rle4(9, 2, {0, 5, 0x12, 0x34, 0x50, 0, 0, 4, 0x67, 0x89, 0, 0, /**/ 0, 6, 0xAB, 0xCD, 0xEF, 0, 0, 3, 0x12, 0x30, 0, 0,
                   0, 1}),
       stUChar, {10, 11, 12, 13, 14, 15, 1, 2, 3, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"Rle4DeltaSameRow", rle4(6, 1, {1, 0xF0, 0, 2, 3, 0, 2, 0x5A, 0, 1}), stUChar, {15, 0, 0, 0, 5, 10}},
      {"Rle4DeltaNextRowAndEnd", rle4(6, 3, {2, 0x11, 0, 2, 2, 1, 2, 0x22, 0, 1}), stUChar,
       {0, 0, 0, 0, 0, 0, /**/ 0, 0, 0, 0, 2, 2, /**/ 1, 1, 0, 0, 0, 0}},
      {"Rle4ClippedRuns", rle4(3, 2, {9, 0x12, 0, 0, 0, 7, 0x34, 0x56, 0x78, 0x90, 0, 0, 0, 1}), stUChar,
       {3, 4, 5, 1, 2, 1}},
      // four-bit runs in a file of other depths are packed into the row only as far as it reaches
      {"Rle4InEightBitRows", rle4(5, 2, {9, 0x12, 0, 0, 0, 7, 0x34, 0x56, 0x78, 0x90, 0, 0, 0, 1}, 8), stUChar,
       {0x34, 0x56, 0x70, 0, 0, 0x12, 0x12, 0x10, 0, 0}},
      {"Rle4InOneBitRows", rle4(20, 1, {20, 0xFF, 0, 0, 0, 1}, 1), stUChar, Bytes(20, 1)},
      // 16 bits: 5-6-5 with bit fields, 5-5-5 without
      {"BitFields565", WinFile{16, 2, 1, 3, masks565(), {0xFF, 0xFF, 0x00, 0xF8}}.bytes(), stRGB,
       {248, 252, 248, 248, 0, 0}},
      {"BitFields565Bitmap", WinFile{16, 2, 1, 3, masks565(), {0xFF, 0xFF, 0x00, 0xF8}}.bytes(), stBitmap,
       {248, 252, 248, 0, 0, 248, 0xAA, 0xAA}},
      {"Plain555", WinFile{16, 2, 1, 0, {}, {0xFF, 0xFF, 0x00, 0xF8}}.bytes(), stRGB, {248, 248, 248, 240, 0, 0}},
      {"ThirtyTwoBit", WinFile{32, 2, 1, 0, {}, {1, 2, 3, 0, 4, 5, 6, 0}}.bytes(), stRGB, {3, 2, 1, 6, 5, 4}},
      // other masks: each sample v of a mask of maximum m is v * 255 / m, rounded; other bits are dropped
      {"Fields231", WinFile{16, 4, 1, 3, masks(0x30, 0xE, 0x1), words(2, {0, 0x13, 0x2A, 0x803F})}.bytes(), stRGB,
       {0, 0, 0, 85, 36, 255, 170, 182, 0, 255, 255, 255}},
      {"Fields231Bitmap", WinFile{16, 4, 1, 3, masks(0x30, 0xE, 0x1), words(2, {0, 0x13, 0x2A, 0x803F})}.bytes(),
       stBitmap, {0, 0, 0, 255, 36, 85, 0, 182, 170, 255, 255, 255}},
      {"Fields5551", WinFile{16, 2, 1, 3, masks(0xF800, 0x7C0, 0x3E), words(2, {0xF821, 0xF86})}.bytes(), stRGB,
       {255, 0, 132, 8, 247, 25}},
      {"Fields444InV4Header",
       inHeader(WinFile{16, 2, 1, 3, {}, words(2, {0xF1A2, 0x0F00}), 0, 0, 108}, {0xF00, 0xF0, 0xF, 0xF000}), stRGB,
       {17, 170, 34, 255, 0, 0}},
      {"Fields101010", WinFile{32, 2, 1, 3, masks(0x3FF00000, 0xFFC00, 0x3FF), words(4, {0xFFF80001, 0x200FFD})}.bytes(),
       stRGB, {255, 128, 0, 0, 1, 255}},
      {"Fields111110",
       WinFile{32, 2, 1, 3, masks(0xFFE00000, 0x1FFC00, 0x3FF), words(4, {0x801FFDFF, 0x2FFFFE})}.bytes(), stRGB,
       {128, 255, 127, 0, 127, 255}},
      {"FieldsShifted888", WinFile{32, 1, 1, 3, masks(0xFF000000, 0xFF0000, 0xFF00), {9, 3, 2, 1}}.bytes(), stRGB,
       {1, 2, 3}},
      {"FieldsBlueFirst888", WinFile{32, 1, 1, 3, masks(0xFF, 0xFF00, 0xFF0000), {1, 2, 3, 4}}.bytes(), stRGB,
       {1, 2, 3}},
      // longer headers read as the 40-byte one; an alpha mask is dropped
      {"V5Fields888Alpha", inHeader(WinFile{32, 1, 1, 3, {}, {1, 2, 3, 4}, 0, 0, 124}, {0xFF0000, 0xFF00, 0xFF, 0xFF000000}),
       stRGB, {3, 2, 1}},
      {"V3Fields565", inHeader(WinFile{16, 2, 1, 3, {}, {0xFF, 0xFF, 0x00, 0xF8}, 0, 0, 56}, {0xF800, 0x7E0, 0x1F, 0}),
       stRGB, {248, 252, 248, 248, 0, 0}},
      {"V2Fields555", inHeader(WinFile{16, 2, 1, 3, {}, {0xFF, 0xFF, 0x00, 0xF8}, 0, 0, 52}, {0x7C00, 0x3E0, 0x1F}),
       stRGB, {248, 248, 248, 240, 0, 0}},
      {"V4TwentyFour", WinFile{24, 1, -2, 0, {}, {255, 0, 0, 0, 0, 0, 255, 0}, 0, 0, 108}.bytes(), stRGB,
       {0, 0, 255, 255, 0, 0}},
      {"V5EightBitShortTable", WinFile{8, 2, 1, 0, greyQuads(16), {3, 15, 0, 0}, 16, 0, 124}.bytes(), stUChar, {3, 15}},
      // rows of a width that fills whole words go straight between the file and an image stored the same way
      {"TopDownStraightIntoImage", WinFile{8, 4, -3, 0, greyQuads(256), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}}.bytes(),
       stUChar, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {"BottomUpStraightIntoBitmap", WinFile{8, 4, 3, 0, greyQuads(256), {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}}.bytes(),
       stBitmap, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      // palette files read into RGB in their table's colours, one-bit files too
      {"OneBitIntoRGB", WinFile{1, 3, 1, 0, quads({{0, 0, 255}, {255, 255, 0}}), {0xA0, 0, 0, 0}}.bytes(), stRGB,
       {255, 255, 0, 0, 0, 255, 255, 255, 0}},
      {"FourBitIntoRGB",
       WinFile{4, 3, 1, 0, quads({{10, 20, 30}, {40, 50, 60}, {70, 80, 90}}) + greyQuads(13), {0x21, 0x00, 0, 0}, 16}
           .bytes(),
       stRGB, {70, 80, 90, 40, 50, 60, 10, 20, 30}},
      {"EightBitV5IntoRGB", WinFile{8, 2, 1, 0, quads({{1, 2, 3}, {4, 5, 6}}), {1, 0, 0, 0}, 2, 0, 124}.bytes(), stRGB,
       {4, 5, 6, 1, 2, 3}},
      {"Os2FourBitIntoRGB", os2File(4, 2, 1, Bytes{3, 2, 1, 6, 5, 4} + Bytes(42, 0), {0x10, 0, 0, 0}), stRGB,
       {4, 5, 6, 1, 2, 3}},
      {"V4FourBit", WinFile{4, 3, 1, 0, greyQuads(16), {0x12, 0x30, 0, 0}, 0, 0, 108}.bytes(), stUChar, {1, 2, 3}},
      // negative height: the first stored row is the top row
      {"TopDownEightBit", WinFile{8, 3, -2, 0, greyQuads(256), {1, 2, 3, 0, 4, 5, 6, 0}}.bytes(), stUChar,
       {1, 2, 3, 4, 5, 6}},
      {"BottomUpEightBit", WinFile{8, 3, 2, 0, greyQuads(256), {1, 2, 3, 0, 4, 5, 6, 0}}.bytes(), stUChar,
       {4, 5, 6, 1, 2, 3}},
      {"TopDownColourToGrey", WinFile{24, 1, -2, 0, {}, {255, 0, 0, 0, 0, 0, 255, 0}}.bytes(), stUChar, {27, 76}},
      {"TopDownColour", WinFile{24, 1, -2, 0, {}, {255, 0, 0, 0, 0, 0, 255, 0}}.bytes(), stRGB, {0, 0, 255, 255, 0, 0}},
      // sixteen colours, and the rows right after them
      {"ShortPalette", WinFile{8, 2, 1, 0, greyQuads(16), {3, 15, 0, 0}, 16}.bytes(), stUChar, {3, 15}},
      {"OneBitStoredWhiteBlack",
       WinFile{1, 10, 1, 0, quads({{255, 255, 255}, {0, 0, 0}}), {0xB1, 0xC0, 0, 0}}.bytes(), stUChar,
       {1, 0, 1, 1, 0, 0, 0, 1, 1, 1}},
      // a file that ends before its last row: the rows it holds, zeros, and a read error
      {"TruncatedRows", WinFile{8, 4, 3, 0, greyQuads(256), {1, 2, 3, 4, 5, 6}}.bytes(), stUChar,
       {0, 0, 0, 0, 5, 6, 0, 0, 1, 2, 3, 4}, 3},
      {"RowsBeyondTheFile", WinFile{8, 2, 2, 0, greyQuads(256), {}, 0, 5000}.bytes(), stUChar, {0, 0, 0, 0}, 3},
      {"Os2TruncatedRows", os2File(24, 1, 2, {}, {1, 2, 3, 0}), stRGB, {0, 0, 0, 3, 2, 1}, 3},
      {"Os2FourBit", os2File(4, 3, 1, Bytes(48, 0), {0x12, 0x30, 0, 0}), stUChar, {1, 2, 3}},
  };
}

class HandMadeFile : public testing::TestWithParam<DecodeCase> {};

TEST_P(HandMadeFile, ReadsTheStoredPixels) {
  DecodeCase c = GetParam();
  auto e = openBytes(c.file);
  int code = 0;
  EXPECT_EQ(readPixels(*e, c.type, &code), c.expected);
  EXPECT_EQ(code, c.error);
}

INSTANTIATE_TEST_SUITE_P(Decoding, HandMadeFile, testing::ValuesIn(decodeCases()),
                         qortest::caseName());

// The same rows come out when the caller moves the chunks.
TEST(BmpReading, ChunkByChunkReadingGivesTheSameRows) {
  Bytes data;
  for (int r = 0; r < 40; ++r) data = data + Bytes{3, uint8_t(r), 3, uint8_t(r + 100), 0, 0};
  data = data + Bytes{0, 1};
  Bytes file = rle8(6, 40, data);
  auto whole = openBytes(file);
  const Bytes want = readPixels(*whole, stUChar);
  auto e = openBytes(file);
  e->setf(qorChunkMode);
  Bytes got(want.size(), 0xAA);
  e->readUCharImage(0, got.data());
  int chunks = 0;
  while (e->readNextChunk() == 0) ++chunks;
  EXPECT_EQ(chunks, 3);
  EXPECT_EQ(got, want);
  EXPECT_EQ(want[0], 39);
  EXPECT_EQ(want[3], 139);
}

TEST(BmpReading, RowOrderIsReported) {
  Bytes top = WinFile{8, 1, -1, 0, greyQuads(256), {1, 0, 0, 0}}.bytes();
  Bytes bottom = WinFile{8, 1, 1, 0, greyQuads(256), {1, 0, 0, 0}}.bytes();
  Bytes os2 = os2File(24, 1, 1, {}, {1, 2, 3, 0});
  EXPECT_EQ(openBytes(top)->top2BottomReading(), 1);
  EXPECT_EQ(openBytes(bottom)->top2BottomReading(), 0);
  EXPECT_EQ(openBytes(os2)->top2BottomReading(), 0);
  EXPECT_EQ(openBytes(top)->sizeY(), 1);
}

TEST(BmpReading, OneBitPaletteIsAlwaysBlackWhite) {
  Bytes file = WinFile{1, 10, 1, 0, quads({{255, 255, 255}, {0, 0, 0}}), {0xB1, 0xC0, 0, 0}}.bytes();
  auto e = openBytes(file);
  const TqorPaletteItem* p = e->getPalette();
  EXPECT_EQ(e->paletteSize(), 2);
  EXPECT_EQ(p[0].red + p[0].green + p[0].blue, 0);
  EXPECT_EQ(p[1].red & p[1].green & p[1].blue, 255);
  EXPECT_EQ(p[255].red & p[255].green & p[255].blue, 255);
}

TEST(BmpReading, ShortPaletteKeepsItsEntries) {
  Bytes table = quads({{10, 20, 30}, {40, 50, 60}});
  table = table + greyQuads(14);
  Bytes file = WinFile{8, 2, 1, 0, table, {0, 1, 0, 0}, 16}.bytes();
  ASSERT_EQ(get32(file, 10), 54u + 64u);
  auto e = openBytes(file);
  const TqorPaletteItem* p = e->getPalette();
  EXPECT_EQ(p[0].red, 10);
  EXPECT_EQ(p[0].green, 20);
  EXPECT_EQ(p[1].blue, 60);
  EXPECT_EQ(p[15].red, 13);
  EXPECT_EQ(readPixels(*e, stUChar), (Bytes{0, 1}));
}

TEST(BmpReading, SixteenBitsIntoGreyNamesBothCodes) {
  Bytes file = WinFile{16, 2, 1, 0, {}, {0, 0, 0, 0}}.bytes();
  auto e = openBytes(file);
  EXPECT_TRUE(raisesError3([&] { readPixels(*e, stUChar); },
                           "Unknown converter srcN = image16BitPerPix destN = stUChar.", "zsigens2"));
}

// ---------------------------------------------------------------- header checks
// (detection and the headers refused at open are rows of test_contract)

TEST(BmpReading, UnsupportedCompressionNamesTheFile) {
  const std::string path = tempPath("embedded_png.bmp");
  writeFile(path, WinFile{32, 4, 4, 5, {}, Bytes(64, 0x89)}.bytes());
  EXPECT_TRUE(raisesError3([&] { TImageEnsemble e(path.c_str(), manager); },
                           "BMP header: compression 5 (PNG) is not supported (" + path + ").", "zbmpdrv"));
}

struct CreateErrorCase {
  const char* name;
  std::function<TFileInfo*()> info;
  const char* text;
  const char* unit;
};

void PrintTo(const CreateErrorCase& c, std::ostream* os) { *os << c.name; }

class BadDescriptor : public testing::TestWithParam<CreateErrorCase> {};

TEST_P(BadDescriptor, CreateRaisesError3) {
  const CreateErrorCase& c = GetParam();
  const std::string path = tempPath(std::string("create_") + c.name + ".bmp");
  EXPECT_TRUE(raisesError3([&] { TImageEnsemble e(path.c_str(), c.info(), manager); }, c.text, c.unit));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BadDescriptor,
    testing::Values(
        CreateErrorCase{"Os2WidthTooLarge", [] { return fiBmpOS2FileInfo(8, 40000, 5); },
                        "Cannot create an OS/2 BMP file: image size 40000 x 5 is outside 1..32767.", "zbmpos2"},
        CreateErrorCase{"Os2WidthWrapsTo16Bits", [] { return fiBmpOS2FileInfo(8, 65536 + 7, 5); },
                        "Cannot create an OS/2 BMP file: image size 65543 x 5 is outside 1..32767.", "zbmpos2"},
        CreateErrorCase{"Os2HeightTooLarge", [] { return fiBmpOS2FileInfo(24, 5, 32768); },
                        "Cannot create an OS/2 BMP file: image size 5 x 32768 is outside 1..32767.", "zbmpos2"},
        CreateErrorCase{"Os2NegativeHeight", [] { return fiBmpOS2FileInfo(24, 5, -1); },
                        "Cannot create an OS/2 BMP file: image size 5 x -1 is outside 1..32767.", "zbmpos2"},
        CreateErrorCase{"Os2ZeroWidth", [] { return fiBmpOS2FileInfo(1, 0, 1); },
                        "Cannot create an OS/2 BMP file: image size 0 x 1 is outside 1..32767.", "zbmpos2"},
        CreateErrorCase{"NegativeWidth", [] { return fiBmpFileInfo(8, -1, 5); },
                        "Cannot create a BMP file: negative width -1.", "zsigens2"},
        CreateErrorCase{"ZeroHeight", [] { return fiBmpFileInfo(8, 4, 0); },
                        "Cannot create a BMP file: the image size 4 x 0 is empty.", "zsigens2"},
        CreateErrorCase{"HeightIntMin", [] { return fiBmpFileInfo(8, 4, INT_MIN); },
                        "Cannot create a BMP file: height -2147483648 is out of range.", "zbmpdrv"},
        CreateErrorCase{"RowTooLong", [] { return fiBmpFileInfo(24, INT_MAX, 1); },
                        "Cannot create a BMP file: a row of 2147483647 pixels at 24 bits per pixel takes 6442450944 "
                        "bytes, more than 32 bits hold.",
                        "zsigens2"}),
    qortest::caseName());

TEST(Writing, UnknownPairRaisesAndLeavesNoRows) {
  const std::string path = tempPath("rgb_into_8.bmp");
  TImageEnsemble e(path.c_str(), fiBmpFileInfo(8, 2, 2), manager);
  Bytes px(12, 1);
  EXPECT_TRUE(raisesError3([&] { e.writeRGBImage(0, px.data()); },
                           "Unknown converter srcN = stRGB destN = image8BitPerPix.", "zsigens2"));
}

// The driver's copy of a descriptor never says that the ensemble owns it.
TEST(Writing, DriverDescriptorIsNotOwnedByTheEnsemble) {
  const std::string path = tempPath("owned.bmp");
  TFileInfo* fi = fiBmpFileInfo(8, 2, 2);
  EXPECT_EQ(fi->getf() & TFileInfo::ownedByEnsemble, TFileInfo::ownedByEnsemble);
  TImageEnsemble e(path.c_str(), fi, manager);
  EXPECT_EQ(e.getFileInfo()->getf() & TFileInfo::ownedByEnsemble, 0);
  const std::string os2Path = tempPath("owned_os2.bmp");
  TImageEnsemble o(os2Path.c_str(), fiBmpOS2FileInfo(8, 2, 2), manager);
  EXPECT_EQ(o.getFileInfo()->getf() & TFileInfo::ownedByEnsemble, 0);
}

// ---------------------------------------------------------------- writing read files back

struct WriteBackCase {
  const char* name;
  Bytes file;
};

void PrintTo(const WriteBackCase& c, std::ostream* os) { *os << c.name; }

class WriteBack : public testing::TestWithParam<WriteBackCase> {};

// The header written is the plain bottom-up one, and the pixels read back are
// the ones the file held.
void expectNormalised(const Bytes& out, const Bytes& original) {
  EXPECT_EQ(get32(out, 30), 0u) << "compression";
  EXPECT_EQ(int32_t(get32(out, 22)), 3) << "height";
  EXPECT_EQ(get32(out, 34), 0u) << "image size";
  EXPECT_EQ(get32(out, 46), 0u) << "colours used";
  EXPECT_EQ(get32(out, 50), 0u) << "important colours";
  EXPECT_EQ(get32(out, 10), 54u + 1024u) << "offset";
  Bytes copy = out;
  auto e = openBytes(copy);
  EXPECT_EQ(readPixels(*e, stUChar), original);
}

TEST_P(WriteBack, FileOpenedForReading) {
  WriteBackCase c = GetParam();
  const std::string path = tempPath(std::string("back_") + c.name + ".bmp");
  writeFile(path, c.file);
  Bytes original;
  {
    TImageEnsemble e(path.c_str(), manager);
    original = readPixels(e, stUChar);
    e.getUCharImage(0);
    e.putImage(0);
  }
  expectNormalised(readFile(path), original);
}

TEST_P(WriteBack, DescriptorTakenFromAReadFile) {
  WriteBackCase c = GetParam();
  auto in = openBytes(c.file);
  const Bytes original = readPixels(*in, stUChar);
  TBmpFileInfo copy(*static_cast<TBmpFileInfo*>(in->getFileInfo()));
  const std::string path = tempPath(std::string("copy_") + c.name + ".bmp");
  {
    TImageEnsemble out(path.c_str(), &copy, manager);
    Bytes px = original;
    out.writeUCharImage(0, px.data());
  }
  expectNormalised(readFile(path), original);
}

Bytes rleFile() {
  // three rows, bottom-up: runs, a delta and an absolute run
  WinFile f{8, 4, 3, 1, greyQuads(256), {4, 1, 0, 0, 0, 2, 1, 1, 0, 3, 5, 6, 7, 0, 0, 0, 0, 1}, 256};
  Bytes b = f.bytes();
  put32(b, 34, 18);
  put32(b, 50, 256);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Files, WriteBack,
    testing::Values(WriteBackCase{"Rle8", rleFile()},
                    WriteBackCase{"TopDown", WinFile{8, 2, -3, 0, greyQuads(256), {1, 2, 0, 0, 3, 4, 0, 0, 5, 6, 0, 0}}.bytes()}),
    qortest::caseName());

// ---------------------------------------------------------------- interchange

// How this library presents a bitmap that Pillow decoded as d.
qortest::PillowView bmpView(const Bytes& file, TImageEnsemble& e, const qortest::Decoded& d) {
  const int bits = e.coding();
  size_t entries = 0;
  if (bits == 4 || bits == 8) {
    // the entries the file holds: its colour count, when it gives one, else the whole table
    const bool os2 = get32(file, 14) == 12;
    const size_t held = !os2 && get32(file, 46) ? get32(file, 46) : size_t(1) << bits;
    entries = std::min({d.pal.size() / 3, size_t(1) << bits, held});
  }
  return {bits, bits == 24, bits == 4 ? 8 : bits <= 8 ? bits : 24, entries};
}

// Files of the tools committed under tests/data/bmp (the files the tools
// write when the test runs are rows of test_world).
struct ToolFile {
  const char* name;
  int bits;
  uint32_t compression;
  bool os2;
};

void PrintTo(const ToolFile& c, std::ostream* os) { *os << c.name; }

class ToolWritten : public testing::TestWithParam<ToolFile> {};

TEST_P(ToolWritten, ReadsAsPillowDecodes) {
  const ToolFile& c = GetParam();
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  const std::string file = qortest::oracleDir().file(c.name);
  writeFile(file, readFile(std::string(QOR_TEST_DATA) + "/bmp/" + c.name));
  ASSERT_TRUE(qortest::pillowDecode(file));
  Bytes b = readFile(file);
  ASSERT_GT(b.size(), 26u);
  // the file is of the kind this case is about
  EXPECT_EQ(get32(b, 14), c.os2 ? 12u : 40u);
  EXPECT_EQ(c.os2 ? get16(b, 24) : get16(b, 28), unsigned(c.bits));
  if (!c.os2) {
    EXPECT_EQ(get32(b, 30), c.compression);
  }
  auto e = openBytes(b);
  const qortest::Decoded d = qortest::pillowResult(file);
  qortest::expectSameAsPillow(*e, d, bmpView(b, *e, d));
}

INSTANTIATE_TEST_SUITE_P(Files, ToolWritten,
                         testing::Values(ToolFile{"magick_rle8.bmp", 8, 1, false},
                                         ToolFile{"magick_4bit.bmp", 4, 0, false},
                                         ToolFile{"magick_os2_8bit.bmp", 8, 0, true},
                                         ToolFile{"pillow_short_palette.bmp", 8, 0, false}),
                         [](const testing::TestParamInfo<ToolFile>& info) {
                           std::string name = info.param.name;
                           name.resize(name.size() - 4);
                           for (char& ch : name)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return "Fixture_" + name;
                         });

// Bit fields the tools do not write, in files made here, against ImageMagick's
// decode: it truncates where this library rounds, so samples of masks wider
// than 8 bits may differ by one level; byte-wide masks agree exactly.
struct MaskFile {
  const char* name;
  int bits;
  std::array<uint32_t, 3> masks;
  int tolerance;
};

void PrintTo(const MaskFile& c, std::ostream* os) { *os << c.name; }

class BitFieldsInMagick : public testing::TestWithParam<MaskFile> {};

TEST_P(BitFieldsInMagick, SamplesAgree) {
  const MaskFile& c = GetParam();
  QOR_REQUIRE_ORACLE(qortest::Tool::magick);
  const int w = 37, h = 5;
  std::vector<uint32_t> values;
  uint32_t x = 12345;
  for (int i = 0; i < w * h; ++i) values.push_back(x = x * 1103515245u + 12345u);
  Bytes rows = words(c.bits / 8, values);
  if (c.bits == 16)
    for (int y = h - 1; y >= 0; --y) rows.insert(rows.begin() + long(y + 1) * w * 2, {0, 0});
  Bytes file = WinFile{c.bits, w, h, 3, masks(c.masks[0], c.masks[1], c.masks[2]), rows}.bytes();
  const std::string path = tempPath(std::string("fields_") + c.name + ".bmp");
  writeFile(path, file);
  const std::string command = std::string(qortest::kMagick) + " '" + path + "' -depth 8 'rgb:" + path + ".rgb'";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const Bytes peer = readFile(path + ".rgb");
  auto e = openBytes(file);
  const Bytes got = readPixels(*e, stRGB);
  ASSERT_EQ(got.size(), peer.size());
  int worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(int(got[i]) - int(peer[i])));
  EXPECT_LE(worst, c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(
    Files, BitFieldsInMagick,
    testing::Values(MaskFile{"TenTenTen", 32, {0x3FF00000, 0xFFC00, 0x3FF}, 1},
                    MaskFile{"ElevenElevenTen", 32, {0xFFE00000, 0x1FFC00, 0x3FF}, 1},
                    MaskFile{"ShiftedEightEightEight", 32, {0xFF000000, 0xFF0000, 0xFF00}, 0},
                    MaskFile{"BlueFirstEightEightEight", 32, {0xFF, 0xFF00, 0xFF0000}, 0},
                    MaskFile{"TwelveTenTen", 32, {0xFFF00000, 0xFFC00, 0x3FF}, 1},
                    MaskFile{"SixteenEightEight", 32, {0xFFFF0000, 0xFF00, 0xFF}, 1},
                    MaskFile{"FiveFiveFiveOne", 16, {0xF800, 0x7C0, 0x3E}, 1}),
    qortest::caseName());

// Files written here open in ImageMagick without a word on stderr, in the colours written.
struct MagickCase {
  const char* name;
  bool os2;
  int bits;
};

void PrintTo(const MagickCase& c, std::ostream* os) { *os << c.name; }

class WrittenForMagick : public testing::TestWithParam<MagickCase> {};

TEST_P(WrittenForMagick, IdentifyAndConvertReadThemQuietly) {
  const MagickCase& c = GetParam();
  QOR_REQUIRE_ORACLE(qortest::Tool::magick);
  const int w = 13, h = 5;
  const std::string path = tempPath(std::string("for_magick_") + c.name + ".bmp");
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i * 5), uint8_t(255 - i), uint8_t(i ^ 0x3C)};
  Bytes px, want;
  for (int i = 0; i < w * h; ++i) {
    const int v = (i * 7 + i / w) % (c.bits == 24 ? 256 : 1 << c.bits);
    if (c.bits == 24) {
      px.insert(px.end(), {uint8_t(v), uint8_t(3 * i), uint8_t(200 - i)});
      continue;
    }
    px.push_back(uint8_t(v));
    const TqorPaletteItem p = c.bits == 1 ? (v ? TqorPaletteItem{255, 255, 255} : TqorPaletteItem{0, 0, 0}) : pal[v];
    want.insert(want.end(), {p.red, p.green, p.blue});
  }
  if (c.bits == 24) want = px;
  {
    TImageEnsemble e(path.c_str(), c.os2 ? fiBmpOS2FileInfo(c.bits, w, h) : fiBmpFileInfo(c.bits, w, h), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    if (c.bits == 24)
      e.writeRGBImage(0, px.data());
    else
      e.writeUCharImage(0, px.data());
  }
  EXPECT_EQ(get32(readFile(path), 2), readFile(path).size()) << "bfSize";
  const std::string err = path + ".err", rgb = path + ".rgb";
  const std::string identify = "/usr/bin/identify '" + path + "' >/dev/null 2>'" + err + "'";
  EXPECT_EQ(std::system(identify.c_str()), 0);
  EXPECT_EQ(readFile(err).size(), 0u) << std::string(readFile(err).begin(), readFile(err).end());
  const std::string convert = std::string(qortest::kMagick) + " '" + path + "' -depth 8 'rgb:" + rgb + "' 2>'" + err + "'";
  EXPECT_EQ(std::system(convert.c_str()), 0);
  EXPECT_EQ(readFile(err).size(), 0u) << std::string(readFile(err).begin(), readFile(err).end());
  EXPECT_EQ(readFile(rgb), want);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WrittenForMagick,
    testing::Values(MagickCase{"OneBit", false, 1}, MagickCase{"FourBit", false, 4}, MagickCase{"EightBit", false, 8},
                    MagickCase{"Colour", false, 24}, MagickCase{"Os2OneBit", true, 1}, MagickCase{"Os2EightBit", true, 8},
                    MagickCase{"Os2Colour", true, 24}),
    qortest::caseName());

// Files written here decode in Pillow to the same pixels and palette.
struct OwnFile {
  const char* name;
  bool os2;
  int bits;
  int type;
};

void PrintTo(const OwnFile& c, std::ostream* os) { *os << c.name; }

class WrittenHere : public testing::TestWithParam<OwnFile> {};

TEST_P(WrittenHere, PillowReadsTheSamePixelsAndPalette) {
  const OwnFile& c = GetParam();
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  const int w = 37, h = 9;
  const std::string path = tempPath(std::string("own_") + c.name + ".bmp");
  Bytes idx(size_t(w) * h);
  Bytes rgb(3 * idx.size());
  for (size_t i = 0; i < idx.size(); ++i) {
    idx[i] = uint8_t((i * 37 + i / w) % (c.bits >= 8 ? 256 : 1u << c.bits));
    rgb[3 * i] = uint8_t(i * 3);
    rgb[3 * i + 1] = uint8_t(i * 5 + 1);
    rgb[3 * i + 2] = uint8_t(255 - i);
  }
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i * 3), uint8_t(i ^ 0x55), uint8_t(200 - i)};
  {
    TImageEnsemble e(path.c_str(), c.os2 ? fiBmpOS2FileInfo(c.bits, w, h) : fiBmpFileInfo(c.bits, w, h), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    if (c.type == stUChar) {
      e.writeUCharImage(0, idx.data());
    } else if (c.type == stSChar) {
      Bytes s = idx;
      for (unsigned char& v : s) v ^= 0x80;
      e.writeSCharImage(0, reinterpret_cast<signed char*>(s.data()));
    } else if (c.type == stRGB) {
      e.writeRGBImage(0, rgb.data());
    } else if (c.type == stOneBit) {
      const int row = TOneBitImage::getSizeOfRow(w);
      Bytes px(size_t(row) * h, 0);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) px[size_t(y * row + x / 8)] |= uint8_t((idx[size_t(y * w + x)] & 1) << (7 - x % 8));
      e.writeOneBitImage(0, px.data());
    } else {
      // a bitmap of the file's depth, four-bit files taking a byte per pixel
      const int depth = c.bits == 4 ? 8 : c.bits;
      const size_t stride = size_t((depth * w + 31) / 32 * 4);
      Bytes header(size_t(e.winDibInfoSize()), 0), bits(stride * h, 0);
      TWinDibImage::writeBitmapInfo(w, h, c.bits, pal, header.data());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          unsigned char* line = bits.data() + size_t(h - 1 - y) * stride;
          const size_t i = size_t(y * w + x);
          if (depth == 24) {
            line[3 * x] = rgb[3 * i + 2];
            line[3 * x + 1] = rgb[3 * i + 1];
            line[3 * x + 2] = rgb[3 * i];
          } else if (depth == 8) {
            line[x] = idx[i];
          } else {
            line[x / 8] |= uint8_t((idx[i] & 1) << (7 - x % 8));
          }
        }
      e.writeWinDibImage(0, header.data(), bits.data());
    }
  }
  ASSERT_TRUE(qortest::pillowDecode(path));
  const qortest::Decoded d = qortest::pillowResult(path);
  ASSERT_EQ(d.width, w);
  ASSERT_EQ(d.height, h);
  if (c.bits == 24) {
    EXPECT_EQ(d.rgb, rgb);
    return;
  }
  EXPECT_EQ(d.idx, idx) << "Pillow decoded " << d.mode;
  const size_t entries = size_t(1) << c.bits;
  ASSERT_GE(d.pal.size(), 3 * entries);
  for (size_t i = 0; i < entries; ++i) {
    const TqorPaletteItem p = c.bits == 1 ? (i ? TqorPaletteItem{255, 255, 255} : TqorPaletteItem{0, 0, 0}) : pal[i];
    EXPECT_EQ(d.pal[3 * i], p.red) << "entry " << i;
    EXPECT_EQ(d.pal[3 * i + 1], p.green) << "entry " << i;
    EXPECT_EQ(d.pal[3 * i + 2], p.blue) << "entry " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, WrittenHere,
    testing::Values(OwnFile{"OneBitFromOneBit", false, 1, stOneBit}, OwnFile{"OneBitFromUChar", false, 1, stUChar},
                    OwnFile{"OneBitFromSChar", false, 1, stSChar}, OwnFile{"OneBitFromBitmap", false, 1, stBitmap},
                    OwnFile{"FourBitFromUChar", false, 4, stUChar}, OwnFile{"FourBitFromSChar", false, 4, stSChar},
                    OwnFile{"FourBitFromBitmap", false, 4, stBitmap}, OwnFile{"EightBitFromUChar", false, 8, stUChar},
                    OwnFile{"EightBitFromSChar", false, 8, stSChar}, OwnFile{"EightBitFromBitmap", false, 8, stBitmap},
                    OwnFile{"ColourFromRGB", false, 24, stRGB}, OwnFile{"ColourFromBitmap", false, 24, stBitmap},
                    OwnFile{"Os2OneBit", true, 1, stUChar}, OwnFile{"Os2FourBit", true, 4, stUChar},
                    OwnFile{"Os2EightBit", true, 8, stUChar}, OwnFile{"Os2Colour", true, 24, stRGB}),
    qortest::caseName());

}  // namespace
