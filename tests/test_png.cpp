// PNG files (zpngdrv): hand-made files of every colour type and depth as the
// codings they are read in, libpng's failures as error 3, files refused
// before anything is allocated, reading an image again, interlaced files both
// ways, and interchange with Pillow and ImageMagick.
#include <gtest/gtest.h>

#include "zqorcfg.h"

#if QOR_WITH_PNG

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "filemakers.h"
#include "oracle.h"

namespace {

using namespace qortest::make;
using qortest::Bytes;
using qortest::raises;
using qortest::readFile;
using qortest::readPixels;
using qortest::writeFile;
using qortest::writePixels;

TQORDataManager* manager = getQorDataManager();

std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) { return qortest::openBytes(manager, b); }

std::string tempPath(const std::string& name) { return qortest::oracleDir().file(name); }

// n palette entries (i * 10, 255 - i, i * 3).
Bytes paletteBytes(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.insert(b.end(), {uint8_t(i * 10), uint8_t(255 - i), uint8_t(i * 3)});
  return b;
}

std::vector<TqorPaletteItem> paletteItems(int n) {
  std::vector<TqorPaletteItem> p;
  for (int i = 0; i < n; ++i) p.push_back({uint8_t(i * 10), uint8_t(255 - i), uint8_t(i * 3)});
  return p;
}

Bytes counting(size_t n, int step = 7) {
  Bytes b(n);
  for (size_t k = 0; k < n; ++k) b[k] = uint8_t(k * size_t(step) + 3);
  return b;
}

// The file written here for pixels of type into a new file of descriptor info.
Bytes written(TFileInfo* info, int type, const Bytes& px, const TqorPaletteItem* pal = nullptr) {
  return qortest::writtenFile(manager, tempPath("written.png"), info, type, px, pal);
}

// ---------------------------------------------------------------- hand-made files

struct ReadCase {
  const char* name;
  Png file;
  int coding;
  int type;
  Bytes pixels;
  std::vector<TqorPaletteItem> palette;  // the first entries of the palette read
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class HandMade : public testing::TestWithParam<ReadCase> {};

TEST_P(HandMade, ReadsInTheCodingWithThePixelsAndPalette) {
  const ReadCase& c = GetParam();
  Bytes b = c.file.bytes();
  auto e = openBytes(b);
  ASSERT_EQ(e->formatID(), idPNG());
  EXPECT_EQ(e->coding(), c.coding);
  EXPECT_EQ(e->sizeX(), c.file.width);
  EXPECT_EQ(e->sizeY(), c.file.height);
  EXPECT_EQ(readPixels(*e, c.type), c.pixels);
  for (size_t i = 0; i < c.palette.size(); ++i) {
    EXPECT_EQ(e->getPalette()[i].red, c.palette[i].red) << "entry " << i;
    EXPECT_EQ(e->getPalette()[i].green, c.palette[i].green) << "entry " << i;
    EXPECT_EQ(e->getPalette()[i].blue, c.palette[i].blue) << "entry " << i;
  }
}

std::vector<TqorPaletteItem> greySteps() {
  std::vector<TqorPaletteItem> p;
  for (int i = 0; i < 16; ++i) p.push_back({uint8_t(17 * i), uint8_t(17 * i), uint8_t(17 * i)});
  return p;
}

std::vector<ReadCase> readCases() {
  const TqorPaletteItem black = {0, 0, 0}, white = {255, 255, 255};
  std::vector<TqorPaletteItem> shortPalette = paletteItems(2);
  shortPalette.push_back({2, 2, 2});
  // 3 x 40 pixels: three chunks of rows
  const Bytes tall = counting(120);
  Bytes tallBits(40, 0);
  for (size_t y = 0; y < 40; ++y) tallBits[y] = uint8_t(y * 37) & 0xE0;
  Bytes tallOneBit(4 * 40, 0);
  for (size_t y = 0; y < 40; ++y) tallOneBit[4 * y] = tallBits[y];
  return {
      {"OneBitPaletteIsBlackAndWhite", Png{3, 1, 1, 3, {0xA0}, {255, 0, 0, 0, 0, 255}}, 1, stUChar, {1, 0, 1},
       {black, white}},
      // the palette stays black and white; images read into RGB show the file's colours
      {"OneBitPaletteColoursReadIntoRgb", Png{3, 1, 1, 3, {0xA0}, {255, 0, 0, 0, 0, 255}}, 1, stRGB,
       {0, 0, 255, 255, 0, 0, 0, 0, 255}, {black, white}},
      {"OneBitGreyRowIsPaddedWithZeros", Png{9, 2, 1, 0, {0xFF, 0x80, 0x01, 0x00}}, 1, stOneBit,
       {0xFF, 0x80, 0, 0, 0x01, 0, 0, 0}, {black, white}},
      {"OnePixelOneBit", Png{1, 1, 1, 0, {0x80}}, 1, stOneBit, {0x80, 0, 0, 0}, {}},
      {"TwoBitGreyWidensToBytes", Png{4, 1, 2, 0, {0x1B}}, 8, stUChar, {0, 85, 170, 255}, {}},
      {"TwoBitGreyWithTransparencyStaysGrey", Png{4, 1, 2, 0, {0x1B}, {}, {0, 1}}, 8, stUChar, {0, 85, 170, 255},
       {}},
      {"TwoBitPaletteGivesIndices", Png{5, 1, 2, 3, {0xE4, 0x40}, paletteBytes(4)}, 8, stUChar, {3, 2, 1, 0, 1},
       paletteItems(4)},
      {"TwoBitPaletteWithTransparencyGivesIndices", Png{4, 1, 2, 3, {0xE4}, paletteBytes(4), {0, 128}}, 8, stUChar,
       {3, 2, 1, 0}, paletteItems(4)},
      {"FourBitGreyStepsOf17", Png{3, 1, 4, 0, {0x0F, 0x70}}, 4, stUChar, {0, 15, 7}, greySteps()},
      {"FourBitPalette", Png{3, 1, 4, 3, {0x12, 0x30}, paletteBytes(4)}, 4, stUChar, {1, 2, 3}, paletteItems(4)},
      {"OnePixelFourBit", Png{1, 1, 4, 3, {0xA0}, paletteBytes(16)}, 4, stSChar, {uint8_t(10 - 128)},
       paletteItems(16)},
      {"ShortPaletteKeepsGreyBeyond", Png{2, 1, 8, 3, {0, 1}, paletteBytes(2)}, 8, stUChar, {0, 1}, shortPalette},
      {"EightBitGreyIntoSChar", Png{2, 1, 8, 0, {0, 255}}, 8, stSChar, {0x80, 0x7F}, {{0, 0, 0}, {1, 1, 1}}},
      {"SixteenBitGreyKeepsHighBytes", Png{2, 1, 16, 0, {0x12, 0x34, 0xAB, 0xCD}}, 8, stUChar, {0x12, 0xAB}, {}},
      {"SixteenBitColourKeepsHighBytes", Png{1, 1, 16, 2, {1, 2, 3, 4, 5, 6}}, 24, stRGB, {1, 3, 5}, {}},
      {"GreyAlphaDropsAlpha", Png{2, 1, 8, 4, {10, 200, 20, 0}}, 8, stUChar, {10, 20}, {}},
      {"SixteenBitGreyAlpha", Png{1, 1, 16, 4, {0x80, 1, 0xFF, 0xFF}}, 8, stUChar, {0x80}, {}},
      {"ColourAlphaDropsAlpha", Png{1, 1, 8, 6, {1, 2, 3, 4}}, 24, stRGB, {1, 2, 3}, {}},
      {"ColourIntoGrey", Png{2, 1, 8, 2, {255, 0, 0, 0, 0, 255}}, 24, stUChar, {76, 27}, {}},
      {"ColourIntoBitmapIsBlueFirst", Png{4, 1, 8, 2, counting(12, 1)}, 24, stBitmap,
       {5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12}, {}},
      {"RowsOfSeveralChunks", Png{3, 40, 8, 0, tall}, 8, stUChar, tall, {}},
      {"PackedRowsOfSeveralChunks", Png{3, 40, 1, 0, tallBits}, 1, stOneBit, tallOneBit, {}},
  };
}

INSTANTIATE_TEST_SUITE_P(Files, HandMade, testing::ValuesIn(readCases()),
                         qortest::caseName());

TEST(Reading, AnImageReadsAgainInAnotherType) {
  Bytes b = Png{2, 2, 8, 2, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30}}.bytes();
  auto e = openBytes(b);
  const Bytes rgb = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
  EXPECT_EQ(readPixels(*e, stRGB), rgb);
  EXPECT_EQ(readPixels(*e, stUChar), (Bytes{76, 150, 27, 18}));
  EXPECT_EQ(readPixels(*e, stRGB), rgb);
}

TEST(Reading, ChunkByChunkInterlacedRowsComeInOrder) {
  const Bytes px = counting(5 * 33);
  Bytes file = written(fiPngFileInfo(8, 5, 33, 1), stUChar, px);
  auto e = openBytes(file);
  e->setf(qorChunkMode);
  Bytes got(px.size(), 0);
  e->readUCharImage(0, got.data());
  int chunks = 0;
  while (e->readNextChunk() == 0) ++chunks;
  EXPECT_EQ(chunks, 3);
  EXPECT_EQ(got, px);
}

// ---------------------------------------------------------------- failures

struct FailCase {
  const char* name;
  std::function<void()> act;
  int code;
  const char* text;
  const char* unit;
};

void PrintTo(const FailCase& c, std::ostream* os) { *os << c.name; }

class Failure : public testing::TestWithParam<FailCase> {};

TEST_P(Failure, RaisesItsCodeAndMessage) {
  const FailCase& c = GetParam();
  EXPECT_TRUE(raises(c.act, c.code, c.text, c.unit));
}

void readBytes(Bytes b, int type) {
  auto e = openBytes(b);
  readPixels(*e, type);
}

Bytes randomPixels(size_t n) {
  Bytes b(n);
  uint32_t s = 12345;
  for (unsigned char& v : b) v = uint8_t((s = s * 1103515245u + 12345u) >> 16);
  return b;
}

// A stream of `size` bytes of caller memory receiving a new file.
void writeIntoMemory(size_t size, TFileInfo* info, int type, const Bytes& px) {
  Bytes memory(size);
  TImageEnsemble e(manager);
  e.open(new TqorMemoryStream(memory.data(), int(memory.size())), info);
  writePixels(e, type, px);
}

// (the headers refused at open are rows of test_contract)
std::vector<FailCase> failCases() {
  const Png grey20{20, 20, 8, 0, randomPixels(400)};
  return {
      {"FileEndsInsideTheRows",
       [=] {
         const Bytes full = grey20.bytes();
         readBytes(Bytes(full.begin(), full.end() - 30), stUChar);
       },
       3, "Error reading PNG fileRead Error", "zpngdrv"},
      {"FileEndsBeforeItsEnd",
       [=] {
         const Bytes full = grey20.bytes();
         readBytes(Bytes(full.begin(), full.end() - 4), stUChar);
       },
       3, "Error reading PNG fileRead Error", "zpngdrv"},
      {"TextChunkClaimingMoreThanTheFileHolds",
       [=] {
         Bytes b = grey20.bytes();
         // after the rows: a tEXt chunk of 700 MB, of which the file holds a few bytes
         const Bytes text = {0x29, 0xB8, 0x27, 0x25, 't', 'E', 'X', 't', 'C', 'o', 'm'};
         b.insert(b.end() - 12, text.begin(), text.end());
         readBytes(b, stUChar);
       },
       3, "Error reading PNG fileRead Error", "zpngdrv"},
      {"InterlacedFileEndsInsideTheRows",
       [] {
         const Bytes full = written(fiPngFileInfo(24, 16, 16, 1), stRGB, randomPixels(768));
         readBytes(Bytes(full.begin(), full.end() - 40), stRGB);
       },
       3, "Error reading PNG fileRead Error", "zpngdrv"},
      {"RowsThatDoNotInflate", [=] { readBytes(grey20.compose({0x78, 0x9C, 0xFF, 0xFF, 0xFF, 0xFF}), stUChar); }, 3,
       "Error reading PNG fileIDAT: invalid block type", "zpngdrv"},
      {"RowsOfAnUnknownFilter",
       [] {
         Bytes raw = {7, 1, 2};
         uLongf size = 64;
         Bytes packed(size);
         compress2(packed.data(), &size, raw.data(), uLong(raw.size()), 6);
         packed.resize(size);
         readBytes(Png{2, 1, 8, 0}.compose(packed), stUChar);
       },
       3, "Error reading PNG filebad adaptive filter value", "zpngdrv"},
      {"ImageAboveTheManagersLimit",
       [=] {
         qortest::Manager limited;
         limited.m->setMaxImageBytes(1000);
         Bytes b = Png{20, 20, 8, 2}.bytes();
         TImageEnsemble e(limited.m);
         e.open(new TqorMemoryStream(b.data(), int(b.size())));
       },
       3, "PNG header: the image takes 1200 bytes, more than the 1000 bytes one image may take.", "zsigens2"},
      {"CodingPngDoesNotStore", [] { writeIntoMemory(4096, fiPngFileInfo(16, 4, 4, 0), stUChar, Bytes(16)); }, 3,
       "Unsupported value of bitsPerSample for PNG.", "zpngdrv"},
      {"WidthLibpngRefuses", [] { writeIntoMemory(4096, fiPngFileInfo(1, 2000000, 1, 0), stOneBit, Bytes(4)); }, 3,
       "Error reading PNG fileInvalid IHDR data", "zpngdrv"},
      {"StreamRefusesTheHeader", [] { writeIntoMemory(10, fiPngFileInfo(24, 4, 4, 0), stRGB, Bytes(48)); }, 3,
       "Error reading PNG fileWrite Error", "zpngdrv"},
      {"StreamRefusesTheRows",
       [] { writeIntoMemory(300, fiPngFileInfo(24, 64, 64, 0), stRGB, randomPixels(3 * 64 * 64)); }, 3,
       "Error reading PNG fileWrite Error", "zpngdrv"},
      {"LevelBelowOne", [] { writeIntoMemory(4096, fiPngFileInfo(8, 4, 4, 0, 0), stUChar, Bytes(16)); }, 3,
       "PNG compression level 0 is not one of 1 to 12.", "zpngdrv"},
      {"LevelAboveTwelve", [] { writeIntoMemory(4096, fiPngFileInfo(24, 4, 4, 1, 13), stRGB, Bytes(48)); }, 3,
       "PNG compression level 13 is not one of 1 to 12.", "zpngdrv"},
      {"CompressedImageAboveTheManagersLimit",
       [] {
         qortest::Manager limited;
         limited.m->setMaxImageBytes(1200);
         Bytes memory(4096);
         TImageEnsemble e(limited.m);
         e.open(new TqorMemoryStream(memory.data(), int(memory.size())), fiPngFileInfo(24, 20, 20, 0));
       },
       3, "Cannot create a PNG file: the image takes 1240 bytes, more than the 1200 bytes one image may take.",
       "zsigens2"},
      {"SecondWrite",
       [] {
         Bytes memory(4096);
         TImageEnsemble e(manager);
         e.open(new TqorMemoryStream(memory.data(), int(memory.size())), fiPngFileInfo(8, 4, 4, 0));
         writePixels(e, stUChar, Bytes(16, 1));
         writePixels(e, stUChar, Bytes(16, 2));
       },
       3, "No PNG file waits for this image: a PNG file is written once, after it is created.", "zpngdrv"},
      {"WriteIntoAFileOpenedForReading",
       [] {
         Bytes b = Png{2, 2, 8, 0}.bytes();
         auto e = openBytes(b);
         writePixels(*e, stUChar, Bytes(4));
       },
       3, "No PNG file waits for this image: a PNG file is written once, after it is created.", "zpngdrv"},
  };
}

INSTANTIATE_TEST_SUITE_P(Errors, Failure, testing::ValuesIn(failCases()),
                         qortest::caseName());

TEST(Writing, UnknownPairLeavesTheFileReadyForAnotherImage) {
  Bytes memory(4096);
  TImageEnsemble e(manager);
  e.open(new TqorMemoryStream(memory.data(), int(memory.size())), fiPngFileInfo(24, 2, 1, 0));
  EXPECT_TRUE(raises([&] { writePixels(e, stUChar, Bytes(2)); }, 3,
                     "Unknown converter srcN = stUChar destN = image24BitPerPix.", "zsigens2"));
  writePixels(e, stRGB, {1, 2, 3, 4, 5, 6});
  e.close();
  auto in = openBytes(memory);
  EXPECT_EQ(readPixels(*in, stRGB), (Bytes{1, 2, 3, 4, 5, 6}));
}

// Opened and never read, created and never written, failed half-way: the
// sanitizer build sees any libpng object left behind.
TEST(Writing, AbandonedCodecObjectsAreReleased) {
  Bytes b = Png{3, 3, 8, 0}.bytes();
  { auto e = openBytes(b); }
  Bytes memory(4096);
  {
    TImageEnsemble e(manager);
    e.open(new TqorMemoryStream(memory.data(), int(memory.size())), fiPngFileInfo(8, 3, 3, 0));
  }
  {
    TImageEnsemble e(manager);
    e.open(new TqorMemoryStream(memory.data(), int(memory.size())), fiPngFileInfo(8, 30, 30, 0));
    e.setf(qorChunkMode);
    Bytes px(900, 5);
    e.writeUCharImage(0, px.data());
    EXPECT_EQ(e.writeNextChunk(), 0);
  }
  {
    Bytes copy = b;
    auto e = openBytes(copy);
    e->setf(qorChunkMode);
    Bytes px(9);
    e->readUCharImage(0, px.data());
  }
}

// ---------------------------------------------------------------- written files

struct WrittenCase {
  const char* name;
  int coding;
  int interlace;
  int type;
  int depth, colourType;  // of the file
};

void PrintTo(const WrittenCase& c, std::ostream* os) { *os << c.name; }

class WrittenHere : public testing::TestWithParam<WrittenCase> {};

// The pixels of c.type for the test image: indices or colours of a 37 x 9 image.
Bytes sourcePixels(const WrittenCase& c, Bytes* idx, Bytes* rgb) {
  const int w = 37, h = 9;
  idx->assign(size_t(w) * h, 0);
  rgb->assign(3 * idx->size(), 0);
  for (size_t i = 0; i < idx->size(); ++i) {
    (*idx)[i] = uint8_t((i * 37 + i / w) % (c.coding >= 8 ? 256 : 1u << c.coding));
    (*rgb)[3 * i] = uint8_t(i * 3);
    (*rgb)[3 * i + 1] = uint8_t(i * 5 + 1);
    (*rgb)[3 * i + 2] = uint8_t(255 - i);
  }
  if (c.type == stRGB) return *rgb;
  if (c.type == stSChar) {
    Bytes s = *idx;
    for (unsigned char& v : s) v ^= 0x80;
    return s;
  }
  if (c.type == stOneBit) {
    const int row = TOneBitImage::getSizeOfRow(w);
    Bytes px(size_t(row) * h, 0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) px[size_t(y * row + x / 8)] |= uint8_t(((*idx)[size_t(y * w + x)] & 1) << (7 - x % 8));
    return px;
  }
  return *idx;
}

TEST_P(WrittenHere, IsTheFileAskedForAndReadsBackHereAndInPillow) {
  const WrittenCase& c = GetParam();
  const int w = 37, h = 9;
  Bytes idx, rgb;
  const Bytes px = sourcePixels(c, &idx, &rgb);
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i * 3), uint8_t(i ^ 0x55), uint8_t(200 - i)};
  const std::string path = tempPath(std::string("own_") + c.name + ".png");
  {
    TImageEnsemble e(path.c_str(), fiPngFileInfo(c.coding, w, h, c.interlace), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    writePixels(e, c.type, px);
  }
  Bytes file = readFile(path);
  ASSERT_GT(file.size(), 33u);
  EXPECT_EQ(file[24], c.depth);
  EXPECT_EQ(file[25], c.colourType);
  EXPECT_EQ(file[28], c.interlace ? 1 : 0);
  // read back here
  auto e = openBytes(file);
  EXPECT_EQ(e->coding(), c.coding);
  EXPECT_EQ(readPixels(*e, c.type), px);

  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  ASSERT_TRUE(qortest::pillowDecode(path));
  const qortest::Decoded d = qortest::pillowResult(path);
  ASSERT_EQ(d.width, w);
  ASSERT_EQ(d.height, h);
  if (c.coding == 24) {
    EXPECT_EQ(d.rgb, rgb);
    return;
  }
  EXPECT_EQ(d.idx, idx) << "Pillow decoded " << d.mode;
  if (c.coding == 1) return;  // grey: black and white
  const size_t entries = size_t(1) << c.coding;
  ASSERT_EQ(d.pal.size(), 3 * entries);
  for (size_t i = 0; i < entries; ++i) {
    EXPECT_EQ(d.pal[3 * i], pal[i].red) << "entry " << i;
    EXPECT_EQ(d.pal[3 * i + 1], pal[i].green) << "entry " << i;
    EXPECT_EQ(d.pal[3 * i + 2], pal[i].blue) << "entry " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, WrittenHere,
    testing::Values(WrittenCase{"OneBitFromOneBit", 1, 0, stOneBit, 1, 0},
                    WrittenCase{"OneBitFromUChar", 1, 0, stUChar, 1, 0},
                    WrittenCase{"OneBitFromSCharInterlaced", 1, 1, stSChar, 1, 0},
                    WrittenCase{"FourBitFromUChar", 4, 0, stUChar, 4, 3},
                    WrittenCase{"FourBitFromSCharInterlaced", 4, 1, stSChar, 4, 3},
                    WrittenCase{"EightBitFromUChar", 8, 0, stUChar, 8, 3},
                    WrittenCase{"EightBitFromUCharInterlaced", 8, 1, stUChar, 8, 3},
                    WrittenCase{"EightBitFromSChar", 8, 0, stSChar, 8, 3},
                    WrittenCase{"ColourFromRGB", 24, 0, stRGB, 8, 2},
                    WrittenCase{"ColourFromRGBInterlaced", 24, 1, stRGB, 8, 2}),
    qortest::caseName());

// ---------------------------------------------------------------- levels and filters

// The data of every chunk of type, in file order, and how many there are.
Bytes chunksOf(const Bytes& file, const char* type, int* count = nullptr) {
  Bytes data;
  int n = 0;
  for (size_t at = 8; at + 12 <= file.size();) {
    const size_t length = size_t(file[at]) << 24 | size_t(file[at + 1]) << 16 | size_t(file[at + 2]) << 8 | file[at + 3];
    if (at + 12 + length > file.size()) break;
    if (std::memcmp(&file[at + 4], type, 4) == 0) {
      data.insert(data.end(), file.begin() + long(at + 8), file.begin() + long(at + 8 + length));
      ++n;
    }
    at += 12 + length;
  }
  if (count) *count = n;
  return data;
}

// The filter byte of each of the rows of rowBytes bytes in the file's IDAT stream.
std::vector<int> filterBytes(const Bytes& file, int rows, size_t rowBytes) {
  const Bytes packed = chunksOf(file, "IDAT");
  Bytes raw(size_t(rows) * (rowBytes + 1));
  uLongf size = uLongf(raw.size());
  if (uncompress(raw.data(), &size, packed.data(), uLong(packed.size())) != Z_OK || size != raw.size()) return {};
  std::vector<int> f;
  for (int y = 0; y < rows; ++y) f.push_back(raw[size_t(y) * (rowBytes + 1)]);
  return f;
}

bool pngcheckPasses(const std::string& path) {
  return std::system(("/usr/bin/pngcheck -q '" + path + "' >/dev/null").c_str()) == 0;
}

struct LevelCase {
  const char* name;
  int coding;
  bool grey;  // an 8-bit file of the grey ramp: written as grey levels
  int level;
  int interlace;
};

void PrintTo(const LevelCase& c, std::ostream* os) { *os << c.name; }

class Levels : public testing::TestWithParam<LevelCase> {};

TEST_P(Levels, FilePassesPngcheckAndReadsTheSameHereAndInPillow) {
  const LevelCase& c = GetParam();
  const int w = 45, h = 19;
  const int levels = c.coding == 24 ? 256 : 1 << c.coding;
  Bytes idx(size_t(w) * h), rgb(3 * idx.size());
  const Bytes noise = randomPixels(rgb.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = size_t(y * w + x);
      idx[i] = uint8_t((x * 3 + y * 7 + (x * y) / 5) % levels);
      for (int k = 0; k < 3; ++k) rgb[3 * i + size_t(k)] = uint8_t(x * (k + 2) + y * 5 + noise[3 * i + size_t(k)] % 5);
    }
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i)
    pal[i] = c.grey ? TqorPaletteItem{uint8_t(i), uint8_t(i), uint8_t(i)} : TqorPaletteItem{uint8_t(i * 5), uint8_t(255 - i), uint8_t(i ^ 0x3C)};
  const std::string path = tempPath(std::string("level_") + c.name + ".png");
  {
    TImageEnsemble e(path.c_str(), fiPngFileInfo(c.coding, w, h, c.interlace, c.level), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    writePixels(e, c.coding == 24 ? stRGB : stUChar, c.coding == 24 ? rgb : idx);
  }
  const Bytes file = readFile(path);
  ASSERT_GT(file.size(), 33u);
  EXPECT_EQ(file[25], c.coding == 24 ? 2 : c.coding == 1 || c.grey ? 0 : 3);
  EXPECT_EQ(chunksOf(file, "PLTE").size(), c.coding == 4 || (c.coding == 8 && !c.grey) ? 3u << c.coding : 0u);
  if (qortest::haveTool("/usr/bin/pngcheck")) {
    EXPECT_TRUE(pngcheckPasses(path));
  }
  Bytes copy = file;
  auto e = openBytes(copy);
  EXPECT_EQ(readPixels(*e, c.coding == 24 ? stRGB : stUChar), c.coding == 24 ? rgb : idx);

  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  ASSERT_TRUE(qortest::pillowDecode(path));
  const qortest::Decoded d = qortest::pillowResult(path);
  if (c.coding == 24) {
    EXPECT_EQ(d.rgb, rgb);
    return;
  }
  EXPECT_EQ(d.idx, idx) << "Pillow decoded " << d.mode;
  if (c.coding == 1) return;
  for (size_t i = 0; i < size_t(levels); ++i) {
    EXPECT_EQ(d.pal[3 * i], pal[i].red) << "entry " << i;
    EXPECT_EQ(d.pal[3 * i + 2], pal[i].blue) << "entry " << i;
  }
}

std::vector<LevelCase> levelCases() {
  std::vector<LevelCase> cases;
  static const std::vector<std::string> names = [] {
    std::vector<std::string> n;
    for (const char* coding : {"OneBit", "FourBit", "EightBitPalette", "EightBitGrey", "Colour"})
      for (const char* level : {"Level1", "Level6", "Level12", "Level6Interlaced"}) n.push_back(std::string(coding) + level);
    return n;
  }();
  const int codings[] = {1, 4, 8, 8, 24};
  for (int k = 0; k < 5; ++k)
    for (int l = 0; l < 4; ++l)
      cases.push_back({names[size_t(4 * k + l)].c_str(), codings[k], k == 3, l == 0 ? 1 : l == 2 ? 12 : 6, l == 3});
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Written, Levels, testing::ValuesIn(levelCases()),
                         qortest::caseName());

// Rows made for one filter each: a flat row (Sub), a row of noise, the same
// again (Up), two rows of a plane (Paeth on the second) and a row that is the
// mean of its left and upper neighbours (Average). Palette and bilevel rows
// always go unfiltered.
TEST(Filters, EachRowTakesTheFilterOfLeastAbsoluteSum) {
  enum { none = 0, sub = 1, up = 2, average = 3, paeth = 4, any = -1 };
  const int w = 32;
  for (int coding : {24, 8, 81, 4, 1}) {  // 81: 8-bit palette
    SCOPED_TRACE(coding);
    const int bpp = coding == 24 ? 3 : 1;
    const size_t n = size_t(w * bpp);
    Bytes px(6 * n);
    const Bytes noise = randomPixels(n);
    for (size_t i = 0; i < n; ++i) {
      const size_t x = i / size_t(bpp);
      px[i] = uint8_t(90 + 50 * (i % size_t(bpp)));
      px[n + i] = px[2 * n + i] = noise[i];
      px[3 * n + i] = uint8_t(3 * x + 5 * 3 + i % size_t(bpp));
      px[4 * n + i] = uint8_t(3 * x + 5 * 4 + i % size_t(bpp));
    }
    for (size_t i = 0; i < n; ++i) px[5 * n + i] = uint8_t(((i >= size_t(bpp) ? px[5 * n + i - size_t(bpp)] : 0) + px[4 * n + i]) >> 1);
    const int bits = coding == 81 ? 8 : coding;
    if (bits < 8)
      for (unsigned char& v : px) v = uint8_t(v % (1 << bits));
    TqorPaletteItem pal[256];
    for (int i = 0; i < 256; ++i) pal[i] = coding == 8 ? TqorPaletteItem{uint8_t(i), uint8_t(i), uint8_t(i)} : TqorPaletteItem{uint8_t(i), 0, 0};
    const Bytes file = written(fiPngFileInfo(bits, w, 6, 0), coding == 24 ? stRGB : stUChar, px, pal);
    const std::vector<int> want =
        coding == 24 || coding == 8 ? std::vector<int>{sub, any, up, any, paeth, average} : std::vector<int>(6, none);
    const std::vector<int> got = filterBytes(file, 6, (size_t(w) * size_t(coding == 24 ? 24 : bits) + 7) / 8);
    ASSERT_EQ(got.size(), want.size());
    for (size_t y = 0; y < want.size(); ++y)
      if (want[y] != any) {
        EXPECT_EQ(got[y], want[y]) << "row " << y;
      }
    Bytes copy = file;
    EXPECT_EQ(readPixels(*openBytes(copy), coding == 24 ? stRGB : stUChar), px);
  }
}

// Compressed data above 1 MiB goes into several IDAT chunks.
TEST(Writing, LargeImageSpansSeveralIdatChunks) {
  const Bytes px = randomPixels(3 * 640 * 600);
  const std::string path = tempPath("large.png");
  {
    TImageEnsemble e(path.c_str(), fiPngFileInfo(24, 640, 600, 0, 1), manager);
    writePixels(e, stRGB, px);
  }
  int idat = 0;
  Bytes file = readFile(path);
  chunksOf(file, "IDAT", &idat);
  EXPECT_GE(idat, 2);
  if (qortest::haveTool("/usr/bin/pngcheck")) {
    EXPECT_TRUE(pngcheckPasses(path));
  }
  EXPECT_EQ(readPixels(*openBytes(file), stRGB), px);
}

// ---------------------------------------------------------------- files of other tools
// (the files of Pillow and ImageMagick are rows of test_world)

// A one-bit palette file ImageMagick writes, black first, reads as Pillow
// decodes it: one-bit files read here as black and white whatever their palette.
TEST(ToolWritten, OneBitPaletteFileReadsAsPillowDecodes) {
  QOR_REQUIRE_ORACLE(qortest::Tool::magick);
  const std::string file = qortest::toolWrite(qortest::Tool::magick, "b1", "im_palette1.png", "",
                                              {"-define", "png:color-type=3", "-define", "png:bit-depth=1"});
  ASSERT_FALSE(file.empty());
  Bytes b = readFile(file);
  ASSERT_GT(b.size(), 33u);
  EXPECT_EQ(b[24], 1);  // depth
  EXPECT_EQ(b[25], 3);  // colour type
  auto e = openBytes(b);
  ASSERT_EQ(e->coding(), 1);
  qortest::expectSameAsPillow(*e, qortest::pillowResult(file), {1, false, 1, 0});
}

}  // namespace

#endif
