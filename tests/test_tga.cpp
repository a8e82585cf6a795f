// Targa files (ztgadrv): the encoder's packets, hand-made files in every row
// order, packet layout and colour map, sizes a file cannot hold, writing back
// read files, and interchange with ImageMagick and Pillow (detection and the
// headers refused at open are rows of test_contract).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "filemakers.h"
#include "oracle.h"

namespace {

using namespace qortest::make;
using qortest::Bytes;
using qortest::operator+;
using qortest::readFile;
using qortest::readPixels;
using qortest::writeFile;
using qortest::writePixels;

TQORDataManager* manager = getQorDataManager();

// ---------------------------------------------------------------- helpers

Bytes repeat(const Bytes& unit, int n) {
  Bytes b;
  for (int k = 0; k < n; ++k) b = b + unit;
  return b;
}

const Bytes kFooter = Bytes{0, 0, 0, 0, 0, 0, 0, 0} + Bytes{'T', 'R', 'U', 'E', 'V', 'I', 'S', 'I', 'O',
                                                            'N', '-', 'X', 'F', 'I', 'L', 'E', '.', 0};

std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) { return qortest::openBytes(manager, b); }

std::string tempPath(const std::string& name) { return qortest::oracleDir().file(name); }

// The file written for pixels of type into a new file of descriptor info.
Bytes written(TFileInfo* info, int type, const Bytes& px, const TqorPaletteItem* pal = nullptr) {
  return qortest::writtenFile(manager, tempPath("written.tga"), info, type, px, pal);
}

// ---------------------------------------------------------------- encoder packets

struct PacketCase {
  const char* name;
  Bytes row;  // blue, green, red pixels of one row
  Bytes packets;
};

void PrintTo(const PacketCase& c, std::ostream* os) { *os << c.name; }

class Packets : public testing::TestWithParam<PacketCase> {};

// A one-row 24-bit file: the header of fiTgaFileInfo, the packets, the footer.
TEST_P(Packets, RowIsWrittenAsTheseBytes) {
  const PacketCase& c = GetParam();
  const int w = int(c.row.size() / 3);
  Bytes rgb = c.row;
  for (size_t i = 0; i < rgb.size(); i += 3) std::swap(rgb[i], rgb[i + 2]);
  const Bytes header = Tga{10, w, 1, 24, 0x20}.bytes();
  EXPECT_EQ(written(fiTgaFileInfo(24, w, 1, 1), stRGB, rgb), header + c.packets + kFooter);
}

const Bytes kPx = {1, 2, 3}, kQx = {9, 8, 7};

INSTANTIATE_TEST_SUITE_P(
    Encoder, Packets,
    testing::Values(PacketCase{"FiveEqual", repeat(kPx, 5), Bytes{0x84} + kPx},
                    PacketCase{"FourEqual", repeat(kPx, 4), Bytes{0x83} + kPx},
                    PacketCase{"ThreeEqualStayRaw", repeat(kPx, 3), Bytes{0x02} + repeat(kPx, 3)},
                    PacketCase{"TwoHundredEqual", repeat(kPx, 200), Bytes{0xFE} + kPx + Bytes{0xC8} + kPx},
                    PacketCase{"RunBetweenRawPixels", kQx + repeat(kPx, 4) + kQx,
                               Bytes{0x00} + kQx + Bytes{0x83} + kPx + Bytes{0x00} + kQx},
                    PacketCase{"NoRunInTheLastThree", kQx + repeat(kPx, 3), Bytes{0x03} + kQx + repeat(kPx, 3)},
                    PacketCase{"RawSplitAt128",
                               [] {
                                 Bytes b;
                                 for (int k = 0; k < 130; ++k) b = b + Bytes{uint8_t(k), uint8_t(k >> 1), 0};
                                 return b;
                               }(),
                               [] {
                                 Bytes b = {0x7F};
                                 for (int k = 0; k < 128; ++k) b = b + Bytes{uint8_t(k), uint8_t(k >> 1), 0};
                                 b = b + Bytes{0x01, 128, 64, 0, 129, 64, 0};
                                 return b;
                               }()}),
    qortest::caseName());

TEST(Writing, EightBitFileCarriesItsColourMapAndRowsFromTheTop) {
  TqorPaletteItem pal[256];
  Bytes map;
  for (int i = 0; i < 256; ++i) {
    pal[i] = {uint8_t(i), uint8_t(i * 3), uint8_t(255 - i)};
    map = map + Bytes{pal[i].blue, pal[i].green, pal[i].red};
  }
  const Bytes px = {1, 2, 3, 4, 5, 6};
  Tga want(1, 3, 2, 8, 0x20, px);
  want.mapType = 1;
  want.mapLength = 256;
  want.mapEntry = 24;
  want.map = map;
  EXPECT_EQ(written(fiTgaFileInfo(8, 3, 2, 0), stUChar, px, pal), want.bytes() + kFooter);
  want.type = 9;
  want.data = {0x02, 1, 2, 3, 0x02, 4, 5, 6};
  const Bytes rle = written(fiTgaFileInfo(8, 3, 2, 1), stUChar, px, pal);
  EXPECT_EQ(rle, want.bytes() + kFooter);
  ASSERT_EQ(rle.size(), 786u + 8u + 26u);

  // read back: the colour map is the palette
  Bytes copy = rle;
  auto e = openBytes(copy);
  EXPECT_EQ(e->formatID(), idTGA());
  EXPECT_EQ(e->top2BottomReading(), 1);
  EXPECT_EQ(readPixels(*e, stUChar), px);
  EXPECT_EQ(std::memcmp(e->getPalette(), pal, sizeof pal), 0);
}

// ---------------------------------------------------------------- reading hand-made files

struct ReadCase {
  const char* name;
  Tga file;
  int type;
  Bytes pixels;
  std::vector<TqorPaletteItem> palette;  // the first entries of the palette read
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.name; }

class HandMade : public testing::TestWithParam<ReadCase> {};

TEST_P(HandMade, ReadsThePixelsAndPaletteStored) {
  const ReadCase& c = GetParam();
  Bytes b = c.file.bytes();
  auto e = openBytes(b);
  ASSERT_EQ(e->formatID(), idTGA());
  EXPECT_EQ(e->top2BottomReading(), (c.file.descriptor & 0x20) ? 1 : 0);
  EXPECT_EQ(readPixels(*e, c.type), c.pixels);
  for (size_t i = 0; i < c.palette.size(); ++i) {
    EXPECT_EQ(e->getPalette()[i].red, c.palette[i].red) << "entry " << i;
    EXPECT_EQ(e->getPalette()[i].green, c.palette[i].green) << "entry " << i;
    EXPECT_EQ(e->getPalette()[i].blue, c.palette[i].blue) << "entry " << i;
  }
}

std::vector<ReadCase> readCases() {
  const std::vector<TqorPaletteItem> grey = {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}};
  Tga id{3, 2, 1, 8, 0x20, {7, 8}};
  id.id = {'a', 'b', 'c', 'd', 'e'};
  Tga skippedMap{2, 1, 1, 24, 0x20, {1, 2, 3}};
  skippedMap.mapType = 1;
  skippedMap.mapEntry = 24;
  skippedMap.mapLength = 2;
  skippedMap.map = map24(2);
  Tga strayMapFields{3, 2, 1, 8, 0x20, {5, 6}};
  strayMapFields.mapLength = 4;
  strayMapFields.mapEntry = 24;
  return {
      {"BottomUpRows", Tga{3, 3, 2, 8, 0x00, {1, 2, 3, 4, 5, 6}}, stUChar, {4, 5, 6, 1, 2, 3}, grey},
      {"GreyAlphaKeepsTheGrey", Tga{3, 3, 2, 16, 0x08, {1, 200, 2, 201, 3, 202, 4, 0, 5, 0, 6, 0}}, stUChar,
       {4, 5, 6, 1, 2, 3}, grey},
      {"GreyAlphaRleRightToLeft", Tga{11, 3, 2, 16, 0x38, {0x81, 9, 255, 0x00, 7, 0, 0x82, 1, 2}}, stUChar,
       {7, 9, 9, 1, 1, 1}, grey},
      {"GreyAlphaIntoSChar", Tga{3, 2, 1, 16, 0x28, {0, 1, 255, 1}}, stSChar, {0x80, 0x7F}, {}},
      {"MapFieldsWithoutMapAreIgnored", strayMapFields, stUChar, {5, 6}, grey},
      {"TopDownRows", Tga{3, 3, 2, 8, 0x20, {1, 2, 3, 4, 5, 6}}, stUChar, {1, 2, 3, 4, 5, 6}, grey},
      {"RightToLeftColourToGrey", Tga{2, 2, 1, 24, 0x30, {0, 0, 255, 255, 255, 255}}, stUChar, {255, 76}, {}},
      {"RightToLeftBottomUpRGB", Tga{2, 2, 2, 24, 0x10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}}, stRGB,
       {12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1}, {}},
      {"PacketSpansTwoRows", Tga{10, 2, 2, 24, 0x20, {0x82, 1, 2, 3, 0x00, 4, 5, 6}}, stRGB,
       {3, 2, 1, 3, 2, 1, 3, 2, 1, 6, 5, 4}, {}},
      {"RunLongerThanARow", Tga{11, 1, 5, 8, 0x20, {0x84, 9}}, stUChar, {9, 9, 9, 9, 9}, {}},
      {"RawPacketOverThreeRows", Tga{11, 2, 3, 8, 0x00, {0x05, 1, 2, 3, 4, 5, 6}}, stUChar, {5, 6, 3, 4, 1, 2}, {}},
      {"RunsAcrossRowsRightToLeft", Tga{11, 3, 2, 8, 0x30, {0x81, 1, 0x83, 2}}, stUChar, {2, 1, 1, 2, 2, 2}, {}},
      {"SixteenBitsFiveFiveFive", Tga{2, 4, 1, 16, 0x20, {0x00, 0x7C, 0x1F, 0x00, 0xE0, 0x03, 0x00, 0xFC}}, stRGB,
       {248, 0, 0, 0, 0, 248, 0, 248, 0, 248, 0, 0}, {}},
      {"ThirtyTwoBitsDropTheAttribute", Tga{2, 1, 1, 32, 0x20, {10, 20, 30, 40}}, stRGB, {30, 20, 10}, {}},
      {"IdentificationIsSkipped", id, stUChar, {7, 8}, {}},
      {"ColourMapOfTrueColourIsSkipped", skippedMap, stRGB, {3, 2, 1}, {TqorPaletteItem{0, 0, 0}, {1, 1, 1}}},
      {"Map24", mapped(24, map24(3), 3, {2, 0}), stUChar, {2, 0}, {{0, 0, 0}, {1, 2, 3}, {2, 4, 6}}},
      {"Map32", mapped(32, {1, 2, 3, 99, 4, 5, 6, 99}, 2, {1}), stUChar, {1}, {{3, 2, 1}, {6, 5, 4}}},
      {"Map15", mapped(15, {0x00, 0x7C, 0x22, 0x00}, 2, {1}), stUChar, {1}, {{248, 0, 0}, {0, 8, 16}}},
      {"Map16", mapped(16, {0x00, 0xFC, 0x1F, 0x80}, 2, {0}), stUChar, {0}, {{248, 0, 0}, {0, 0, 248}}},
      // entries of a map that starts at index 3 are the colours of indices 3 and 4
      {"MapFromIndex3", mapped(24, map24(2), 2, {4, 3}, 3), stUChar, {4, 3},
       {{0, 0, 0}, {1, 1, 1}, {2, 2, 2}, {0, 0, 0}, {1, 2, 3}}},
      {"MapStartingNear255", mapped(24, map24(4), 4, {255, 254}, 254), stRGB, {1, 2, 3, 0, 0, 0}, {}},
      // palette and grey files read into RGB through their palette
      {"MappedIntoRGB", mapped(32, {1, 2, 3, 99, 4, 5, 6, 99}, 2, {1, 0, 1}), stRGB, {6, 5, 4, 3, 2, 1, 6, 5, 4}, {}},
      {"Map15IntoRGB", mapped(15, {0x00, 0x7C, 0x22, 0x00}, 2, {2, 1}, 1), stRGB, {0, 8, 16, 248, 0, 0}, {}},
      {"GreyIntoRGB", Tga{3, 2, 1, 8, 0x20, {7, 200}}, stRGB, {7, 7, 7, 200, 200, 200}, {}},
      {"GreyAlphaIntoRGB", Tga{3, 2, 1, 16, 0x28, {9, 1, 250, 0}}, stRGB, {9, 9, 9, 250, 250, 250}, {}},
      // 5-5-5 pixels of depth 15, and of depth 16 with the attribute bit set
      {"FifteenBits", Tga{2, 2, 1, 15, 0x20, {0x00, 0xFC, 0x1F, 0x80}}, stRGB, {248, 0, 0, 0, 0, 248}, {}},
      {"SixteenBitsWithAttribute", Tga{10, 2, 1, 16, 0x21, {0x81, 0xE0, 0x83}}, stRGB, {0, 248, 0, 0, 248, 0}, {}},
      // rows go straight between the file and an image stored the same way
      {"TopDownStraightIntoImage", Tga{3, 2, 3, 8, 0x20, {1, 2, 3, 4, 5, 6}}, stUChar, {1, 2, 3, 4, 5, 6}, {}},
      {"RleBottomUpStraightIntoBitmap", Tga{11, 4, 2, 8, 0x00, {0x83, 1, 0x03, 2, 3, 4, 5}}, stBitmap,
       {1, 1, 1, 1, 2, 3, 4, 5}, {}},
      {"ThirtyTwoBitsAlphaRle", Tga{10, 3, 1, 32, 0x28, {0x82, 10, 20, 30, 0}}, stBitmap, {10, 20, 30, 10, 20, 30,
                                                                                       10, 20, 30, 0xAA, 0xAA, 0xAA}, {}},
      {"MapLongerThanThePalette", mapped(24, map24(300), 300, {255, 0}), stUChar, {255, 0},
       {{0, 0, 0}, {1, 2, 3}}},
      {"RleColourMapped", [] { Tga t = mapped(24, map24(2), 2, {0x82, 1}); t.width = 3; t.type = 9; return t; }(),
       stUChar, {1, 1, 1}, {{0, 0, 0}, {1, 2, 3}}},
  };
}

INSTANTIATE_TEST_SUITE_P(Files, HandMade, testing::ValuesIn(readCases()),
                         qortest::caseName());

TEST(Reading, LongColourMapKeepsTheRowsInPlaceAndEntry255) {
  Bytes b = mapped(24, map24(300), 300, {255, 1}).bytes();
  auto e = openBytes(b);
  EXPECT_EQ(readPixels(*e, stUChar), (Bytes{255, 1}));
  EXPECT_EQ(e->getPalette()[255].red, 255);
  EXPECT_EQ(e->getPalette()[255].green, uint8_t(2 * 255));
  EXPECT_EQ(e->getPalette()[255].blue, uint8_t(3 * 255));
}

TEST(Reading, ShortRunLengthDataDeliversTheRowsThereAndZeros) {
  // three rows of two pixels from the top; the data stops inside the second row's raw packet
  Bytes b = Tga{11, 2, 3, 8, 0x20, {0x81, 7, 0x01, 9}}.bytes();
  auto e = openBytes(b);
  int code = 0;
  EXPECT_EQ(readPixels(*e, stUChar, &code), (Bytes{7, 7, 9, 0, 0, 0}));
  EXPECT_EQ(code, 3);
  EXPECT_TRUE(qortest::raises([&] { readPixels(*e, stUChar); }, 3, "Error while reading from disk.", "zsigens1"));
}

TEST(Reading, ChunkByChunkGivesTheSameRows) {
  Bytes rows;
  for (int k = 0; k < 40; ++k) rows = rows + Bytes{0x81, uint8_t(k), 0x00, uint8_t(k + 100)};
  Bytes b = Tga{11, 3, 40, 8, 0x00, rows}.bytes();
  auto whole = openBytes(b);
  const Bytes want = readPixels(*whole, stUChar);
  Bytes copy = b;
  auto e = openBytes(copy);
  e->setf(qorChunkMode);
  Bytes got(want.size(), 0xAA);
  e->readUCharImage(0, got.data());
  int chunks = 0;
  while (!e->readNextChunk()) ++chunks;
  EXPECT_EQ(chunks, 3);
  EXPECT_EQ(got, want);
}

// ---------------------------------------------------------------- header checks
// (detection and the headers refused at open are rows of test_contract)

TEST(Reading, ImageLargerThanTheManagerAllowsIsRefusedAtOpen) {
  Bytes b = Tga{2, 4000, 4000, 24, 0, {}}.bytes();
  TQORDataManager* small = getQorDataManager();
  small->setMaxImageBytes(1 << 20);
  EXPECT_TRUE(qortest::raises(
      [&] {
        TImageEnsemble e(small);
        e.open(new TqorMemoryStream(b.data(), int(b.size())));
      },
      3, "TGA header: the image takes 48000000 bytes, more than the 1048576 bytes one image may take.", "zsigens2"));
  destroyQORDataManager(small);
}

// ---------------------------------------------------------------- descriptors the writer refuses

struct CreateErrorCase {
  const char* name;
  std::function<TFileInfo*()> info;
  const char* text;
};

void PrintTo(const CreateErrorCase& c, std::ostream* os) { *os << c.name; }

class BadDescriptor : public testing::TestWithParam<CreateErrorCase> {};

TEST_P(BadDescriptor, CreateRaisesError3AndWritesNothing) {
  const CreateErrorCase& c = GetParam();
  const std::string path = tempPath(std::string("create_") + c.name + ".tga");
  EXPECT_TRUE(qortest::raises([&] { TImageEnsemble e(path.c_str(), c.info(), manager); }, 3, c.text, "ztgadrv"));
  EXPECT_FALSE(qortest::fileExists(path));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, BadDescriptor,
    testing::Values(
        CreateErrorCase{"WidthWrapsTo16Bits", [] { return fiTgaFileInfo(24, 65536 + 3, 5, 0); },
                        "Cannot create a TGA file: image size 65539 x 5 is outside 1..65535."},
        CreateErrorCase{"HeightTooLarge", [] { return fiTgaFileInfo(8, 5, 70000, 1); },
                        "Cannot create a TGA file: image size 5 x 70000 is outside 1..65535."},
        CreateErrorCase{"ZeroWidth", [] { return fiTgaFileInfo(8, 0, 5, 0); },
                        "Cannot create a TGA file: image size 0 x 5 is outside 1..65535."},
        CreateErrorCase{"NegativeHeight", [] { return fiTgaFileInfo(24, 5, -1, 0); },
                        "Cannot create a TGA file: image size 5 x -1 is outside 1..65535."},
        CreateErrorCase{"SixteenBits", [] { return fiTgaFileInfo(16, 5, 5, 0); },
                        "Cannot create a TGA file: 16 bits per pixel cannot be written; the writer stores 8 or 24."},
        CreateErrorCase{"CodingWrapsTo8Bits", [] { return fiTgaFileInfo(264, 5, 5, 0); },
                        "Cannot create a TGA file: 264 bits per pixel cannot be written; the writer stores 8 or 24."}),
    qortest::caseName());

// ---------------------------------------------------------------- writing read files back

struct WriteBackCase {
  const char* name;
  Tga file;
  int type;
};

void PrintTo(const WriteBackCase& c, std::ostream* os) { *os << c.name; }

class WriteBack : public testing::TestWithParam<WriteBackCase> {};

// The written header is the one fiTgaFileInfo makes (the encoding kept), and
// the file reads back with the pixels and palette of the original.
void expectNormalised(const Bytes& out, const Tga& original, const Bytes& pixels, const TqorPaletteItem* pal) {
  ASSERT_GE(out.size(), 18u);
  // grey and alpha files go out as their grey levels
  const int depth = (original.type & 7) == 3 ? 8 : original.depth;
  const bool mapped = depth == 8;
  Tga want((mapped ? 1 : 2) | (original.type & 8), original.width, original.height, depth, 0x20);
  want.mapType = mapped ? 1 : 0;
  want.mapLength = mapped ? 256 : 0;
  want.mapEntry = mapped ? 24 : 0;
  const Bytes header = want.bytes();
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 18), header);
  Bytes copy = out;
  auto e = openBytes(copy);
  EXPECT_EQ(readPixels(*e, mapped ? stUChar : stRGB), pixels);
  if (mapped) {
    EXPECT_EQ(std::memcmp(e->getPalette(), pal, 256 * sizeof(TqorPaletteItem)), 0);
  }
}

TEST_P(WriteBack, FileOpenedForReading) {
  const WriteBackCase& c = GetParam();
  const std::string path = tempPath(std::string("back_") + c.name + ".tga");
  writeFile(path, c.file.bytes());
  Bytes pixels;
  TqorPaletteItem pal[256];
  {
    TImageEnsemble e(path.c_str(), manager);
    pixels = readPixels(e, c.type);
    std::memcpy(pal, e.getPalette(), sizeof pal);
    if (c.type == stUChar)
      e.getUCharImage(0);
    else
      e.getRGBImage(0);
    e.putImage(0);
  }
  expectNormalised(readFile(path), c.file, pixels, pal);
}

TEST_P(WriteBack, DescriptorTakenFromAReadFile) {
  const WriteBackCase& c = GetParam();
  Bytes b = c.file.bytes();
  auto in = openBytes(b);
  const Bytes pixels = readPixels(*in, c.type);
  TqorPaletteItem pal[256];
  std::memcpy(pal, in->getPalette(), sizeof pal);
  TTgaFileInfo copy(*static_cast<TTgaFileInfo*>(in->getFileInfo()));
  const std::string path = tempPath(std::string("copy_") + c.name + ".tga");
  {
    TImageEnsemble out(path.c_str(), &copy, manager);
    std::memcpy(out.getPalette(), pal, sizeof pal);
    writePixels(out, c.type, pixels);
  }
  expectNormalised(readFile(path), c.file, pixels, pal);
}

INSTANTIATE_TEST_SUITE_P(
    Files, WriteBack,
    testing::Values(
        WriteBackCase{"RleMappedWithIdAndLongMap",
                      [] {
                        Tga t = mapped(16, repeat({0x21, 0x04}, 300), 300, {0x81, 3, 0x00, 299 % 256});
                        t.type = 9;
                        t.width = 3;
                        t.descriptor = 0x08;
                        t.id = {'i', 'd'};
                        return t;
                      }(),
                      stUChar},
        WriteBackCase{"GreyBottomUp", Tga{3, 2, 2, 8, 0x00, {1, 2, 3, 4}}, stUChar},
        WriteBackCase{"GreyAlphaRle", Tga{11, 2, 2, 16, 0x08, {0x01, 1, 9, 2, 9, 0x81, 3, 0}}, stUChar},
        WriteBackCase{"ColourBottomUpRightToLeft", Tga{2, 2, 2, 24, 0x10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
                      stRGB},
        WriteBackCase{"ColourRle", Tga{10, 4, 1, 24, 0x00, {0x83, 1, 2, 3}}, stRGB}),
    qortest::caseName());

TEST(Writing, SixteenBitFileReadIsNotWrittenBack) {
  const std::string path = tempPath("back16.tga");
  const Bytes original = Tga{2, 1, 1, 16, 0x20, {0x00, 0x7C}}.bytes();
  writeFile(path, original);
  {
    TImageEnsemble e(path.c_str(), manager);
    e.getRGBImage(0);
    EXPECT_TRUE(qortest::raises([&] { e.putImage(0); }, 3, "Unknown converter srcN = stRGB destN = image16BitPerPix.",
                                "zsigens2"));
  }
  EXPECT_EQ(readFile(path), original);
}

// ---------------------------------------------------------------- interchange

using qortest::Tool;

// (files ImageMagick and Pillow write are rows of test_world)

// Grey and alpha files Pillow wrote (tests/data/tga/README): the grey channel,
// as Pillow decodes it.
class PillowGreyAlpha : public testing::TestWithParam<const char*> {};

TEST_P(PillowGreyAlpha, ReadsTheGreyChannel) {
  const std::string name = GetParam();
  Bytes b = readFile(std::string(QOR_TEST_DATA) + "/tga/" + name);
  ASSERT_GT(b.size(), 18u);
  EXPECT_EQ(b[16], 16);
  const int w = 37, h = 6;
  Bytes grey;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) grey.push_back(uint8_t(x < 12 ? 30 * y : (7 * x + 40 * y) % 256));
  auto e = openBytes(b);
  ASSERT_EQ(e->formatID(), idTGA());
  EXPECT_EQ(e->coding(), 8);
  EXPECT_EQ(readPixels(*e, stUChar), grey);
  EXPECT_EQ(e->getPalette()[77].red, 77);
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  const std::string copy = tempPath(name);
  writeFile(copy, b);
  ASSERT_TRUE(qortest::pillowDecode(copy));
  const qortest::Decoded d = qortest::pillowResult(copy);
  EXPECT_EQ(d.mode, "LA");
  ASSERT_EQ(d.rgb.size(), 3 * grey.size());
  Bytes red;
  for (size_t i = 0; i < d.rgb.size(); i += 3) red.push_back(d.rgb[i]);
  EXPECT_EQ(red, grey);
}

INSTANTIATE_TEST_SUITE_P(Files, PillowGreyAlpha,
                         testing::Values("pil_la.tga", "pil_la_rle.tga", "pil_la_rle_top.tga"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           std::string n = info.param;
                           n.resize(n.size() - 4);
                           for (char& ch : n)
                             if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return n;
                         });

// The colours a tool decodes from a file: Pillow directly, ImageMagick through
// a PNG file with the file's row and pixel order applied.
bool peerColours(Tool tool, const std::string& path, Bytes& rgb) {
  std::string decoded = path;
  if (tool == Tool::magick) {
    decoded = path + ".png";
    const std::string command = std::string(qortest::kMagick) + " '" + path + "' -auto-orient 'PNG24:" + decoded + "'";
    if (std::system(command.c_str()) != 0) return false;
  }
  if (!qortest::pillowDecode(decoded)) return false;
  rgb = qortest::pillowResult(decoded).rgb;
  return true;
}

// Hand-made files of the kinds the tools do not write decode in a peer to the
// colours read here; 5-bit samples are compared as Pillow scales them (v * 255 / 31).
// Pillow refuses packets that cross a row; ImageMagick decodes those.
struct PeerCheck {
  const char* name;
  Tga file;
  Tool tool;
  bool fiveBit;
};

void PrintTo(const PeerCheck& c, std::ostream* os) { *os << c.name; }

class HandMadeInPeers : public testing::TestWithParam<PeerCheck> {};

TEST_P(HandMadeInPeers, PeerDecodesTheSameColours) {
  const PeerCheck& c = GetParam();
  QOR_REQUIRE_ORACLE(c.tool);
  const std::string path = tempPath(std::string("hand_") + c.name + ".tga");
  Bytes b = c.file.bytes();
  writeFile(path, b);
  Bytes peer;
  ASSERT_TRUE(peerColours(c.tool, path, peer));
  auto e = openBytes(b);
  Bytes rgb;
  if (e->coding() == 8) {
    const Bytes idx = readPixels(*e, stUChar);
    for (unsigned char i : idx) {
      const TqorPaletteItem p = e->getPalette()[i];
      rgb = rgb + Bytes{p.red, p.green, p.blue};
    }
  } else {
    rgb = readPixels(*e, stRGB);
  }
  Bytes want = peer;
  if (c.fiveBit)
    for (unsigned char& v : want) v = uint8_t(((v * 31 + 127) / 255) << 3);
  EXPECT_EQ(rgb, want);
}

// Pixels 0..n-1 of 16 bits: a spread of 5-5-5 words.
Bytes words(int n) {
  Bytes b;
  for (int k = 0; k < n; ++k) b = b + Bytes{uint8_t(k * 37), uint8_t((k * 11) & 0x7F)};
  return b;
}

const Bytes kRightToLeft = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18};

INSTANTIATE_TEST_SUITE_P(
    Files, HandMadeInPeers,
    testing::Values(
        PeerCheck{"RightToLeftInPillow", Tga{2, 3, 2, 24, 0x10, kRightToLeft}, Tool::pillow, false},
        PeerCheck{"RightToLeftInImageMagick", Tga{2, 3, 2, 24, 0x10, kRightToLeft}, Tool::magick, false},
        PeerCheck{"RightToLeftTopDownRle", Tga{10, 3, 2, 24, 0x30, {0x83, 1, 2, 3, 0x01, 4, 5, 6, 7, 8, 9}},
                  Tool::magick, false},
        PeerCheck{"PacketSpansRows",
                  Tga{10, 3, 3, 24, 0x00, {0x84, 1, 2, 3, 0x03, 4, 5, 6, 7, 8, 9, 1, 1, 1, 2, 2, 2}}, Tool::magick,
                  false},
        PeerCheck{"SixteenBits", Tga{2, 4, 3, 16, 0x20, words(12)}, Tool::pillow, true},
        PeerCheck{"Map16", mapped(16, words(6), 6, {5, 4, 3, 2, 1, 0}), Tool::pillow, true},
        PeerCheck{"Map15", mapped(15, words(6), 6, {0, 1, 2, 3, 4, 5}), Tool::magick, true},
        PeerCheck{"MapFromIndex2", mapped(24, map24(4), 4, {2, 3, 4, 5}, 2), Tool::pillow, false},
        PeerCheck{"Map16FromIndex5", mapped(16, words(3), 3, {7, 6, 5}, 5), Tool::pillow, true},
        PeerCheck{"FifteenBits", Tga{2, 4, 3, 15, 0x20, words(12)}, Tool::magick, true},
        PeerCheck{"AttributeBitSet", Tga{2, 4, 1, 16, 0x21, repeat({0x1F, 0xFC}, 4)}, Tool::pillow, true}),
    qortest::caseName());

// Files written here decode in Pillow and ImageMagick to the same pixels.
struct OwnFile {
  const char* name;
  int bits;
  int rle;
  int type;
};

void PrintTo(const OwnFile& c, std::ostream* os) { *os << c.name; }

class WrittenHere : public testing::TestWithParam<OwnFile> {};

TEST_P(WrittenHere, PillowAndImageMagickReadTheSameColours) {
  const OwnFile& c = GetParam();
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  const int w = 150, h = 9;  // rows longer than a raw packet, runs and literal stretches
  Bytes idx(size_t(w) * h), rgb(3 * idx.size());
  for (size_t i = 0; i < idx.size(); ++i) {
    const size_t x = i % w, y = i / w;
    const size_t v = x < 40 ? y : x * 37 + y;  // a run at the start of every row
    idx[i] = uint8_t(v);
    rgb[3 * i] = uint8_t(v * 3);
    rgb[3 * i + 1] = uint8_t(v * 5 + 1);
    rgb[3 * i + 2] = uint8_t(255 - v);
  }
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i * 3), uint8_t(i ^ 0x55), uint8_t(200 - i)};
  const std::string path = tempPath(std::string("own_") + c.name + ".tga");
  {
    TImageEnsemble e(path.c_str(), fiTgaFileInfo(c.bits, w, h, c.rle), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    if (c.type == stSChar) {
      Bytes s = idx;
      for (unsigned char& v : s) v ^= 0x80;
      writePixels(e, stSChar, s);
    } else if (c.type == stBitmap) {
      const int depth = c.bits;
      const size_t stride = size_t((depth * w + 31) / 32 * 4);
      Bytes header(size_t(e.winDibInfoSize()), 0), bits(stride * h, 0);
      TWinDibImage::writeBitmapInfo(w, h, c.bits, pal, header.data());
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
          unsigned char* line = bits.data() + size_t(h - 1 - y) * stride;
          const size_t i = size_t(y * w + x);
          if (depth == 24)
            for (int k = 0; k < 3; ++k) line[3 * x + k] = rgb[3 * i + 2 - k];
          else
            line[x] = idx[i];
        }
      e.writeWinDibImage(0, header.data(), bits.data());
    } else {
      writePixels(e, c.type, c.bits == 8 ? idx : rgb);
    }
  }
  Bytes want = rgb;
  if (c.bits == 8)
    for (size_t i = 0; i < idx.size(); ++i) {
      want[3 * i] = pal[idx[i]].red;
      want[3 * i + 1] = pal[idx[i]].green;
      want[3 * i + 2] = pal[idx[i]].blue;
    }
  ASSERT_TRUE(qortest::pillowDecode(path));
  const qortest::Decoded d = qortest::pillowResult(path);
  ASSERT_EQ(d.width, w);
  ASSERT_EQ(d.height, h);
  EXPECT_EQ(d.rgb, want) << "Pillow";
  if (c.bits == 8) {
    EXPECT_EQ(d.idx, idx) << "Pillow";
  }
  if (!qortest::haveMagick()) return;
  Bytes peer;
  ASSERT_TRUE(peerColours(Tool::magick, path, peer));
  EXPECT_EQ(peer, want) << "ImageMagick";
}

INSTANTIATE_TEST_SUITE_P(
    Files, WrittenHere,
    testing::Values(OwnFile{"MappedFromUChar", 8, 0, stUChar}, OwnFile{"MappedRleFromUChar", 8, 1, stUChar},
                    OwnFile{"MappedRleFromSChar", 8, 1, stSChar}, OwnFile{"MappedFromBitmap", 8, 0, stBitmap},
                    OwnFile{"ColourFromRGB", 24, 0, stRGB}, OwnFile{"ColourRleFromRGB", 24, 1, stRGB},
                    OwnFile{"ColourRleFromBitmap", 24, 1, stBitmap}),
    qortest::caseName());

}  // namespace
