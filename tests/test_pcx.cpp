// PCX and DCX files (zpcxdrv, zdcxdrv): the encoder's bytes, hand-made files
// of every plane layout, header checks, the written layout, DCX page tables and
// nesting, chunked page reading, and interchange with ImageMagick and Pillow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "oracle.h"

namespace {

using qortest::Bytes;
using qortest::raisedCode;
using qortest::readFile;
using qortest::readPixels;
using qortest::writeFile;
using qortest::Tool;

TQORDataManager* manager = getQorDataManager();

void put(Bytes& b, uint32_t v, int n) {
  for (int k = 0; k < n; ++k) b.push_back(uint8_t(v >> (8 * k)));
}

struct Header {
  int bits = 8, planes = 1, w = 4, h = 1, bpl = 4, encoding = 1;
  Bytes colorMap = {};
};

Bytes pcx(const Header& p, const Bytes& lines) {
  Bytes b = {10, 5, uint8_t(p.encoding), uint8_t(p.bits)};
  for (uint32_t v : {0u, 0u, uint32_t(p.w - 1), uint32_t(p.h - 1), 480u, 480u}) put(b, v, 2);
  b.insert(b.end(), p.colorMap.begin(), p.colorMap.end());
  b.resize(65, 0);
  b.push_back(uint8_t(p.planes));
  put(b, uint32_t(uint16_t(p.bpl)), 2);
  put(b, 1, 2);
  b.resize(128, 0);
  b.insert(b.end(), lines.begin(), lines.end());
  return b;
}

Bytes withPalette(Bytes b, int marker, uint8_t component) {
  b.push_back(uint8_t(marker));
  for (int i = 0; i < 768; ++i) b.push_back(component);
  return b;
}

std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) {
  auto e = std::make_unique<TImageEnsemble>(manager);
  b.reserve(1);
  e->open(new TqorMemoryStream(b.data(), int(b.size())));
  return e;
}

std::string tempPath(const std::string& name) { return qortest::oracleDir().file(name); }

// ---------------------------------------------------------------- encoder

struct EncodeCase {
  const char* name;
  Bytes line;
  Bytes encoded;
};
void PrintTo(const EncodeCase& c, std::ostream* os) { *os << c.name; }

class Encoder : public testing::TestWithParam<EncodeCase> {};

TEST_P(Encoder, ProducesTheseBytes) {
  const EncodeCase& c = GetParam();
  Bytes out(2 * c.line.size() + 1, 0xEE);
  const int n = TPcxFormatDriver::encodeLine(c.line.data(), int(c.line.size()), out.data());
  out.resize(size_t(n));
  EXPECT_EQ(out, c.encoded);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, Encoder,
    testing::Values(EncodeCase{"RunEscapedSingle", {5, 5, 5, 200, 7}, {0xC3, 5, 0xC1, 200, 7}},
                    EncodeCase{"HundredEqual", Bytes(100, 9), {0xFF, 9, 0xE5, 9}},
                    EncodeCase{"TwoEqualAreARun", {0x10, 0x10}, {0xC2, 0x10}},
                    EncodeCase{"Singles", {1, 0xBF, 2}, {1, 0xBF, 2}},
                    EncodeCase{"HighSingles", {0xC0, 0xFF}, {0xC1, 0xC0, 0xC1, 0xFF}}),
    qortest::caseName());

// ---------------------------------------------------------------- hand-made files

struct HandMade {
  const char* name;
  Bytes file;
  int type;
  Bytes pixels;
  std::vector<TqorPaletteItem> palette;  // leading entries expected
};
void PrintTo(const HandMade& c, std::ostream* os) { *os << c.name; }

std::vector<HandMade> handMade() {
  Bytes map(48);
  for (int i = 0; i < 48; ++i) map[size_t(i)] = uint8_t(i * 5);
  Header fourPlanes{1, 4, 3, 1, 2, 1, map};
  Header onePlane{1, 1, 10, 1, 2, 1, map};
  Header eightPlanes{1, 8, 2, 1, 2, 1, {}};
  Header twoBits{2, 4, 2, 1, 2, 1, {}};
  Header twoRows{8, 1, 4, 2, 4, 1, {}};
  Header rgb{8, 3, 2, 1, 2, 1, {}};
  return {
      // pixel values 5, 10, 15: plane j holds bit j
      {"FourPlanesTakeHeaderColours", pcx(fourPlanes, {0xA0, 0, 0x60, 0, 0xA0, 0, 0x60, 0}), stUChar, {5, 10, 15},
       {{0, 5, 10}, {15, 20, 25}}},
      {"OnePlaneIsBlackWhite", pcx(onePlane, {0xA5, 0xC1, 0xC0}), stUChar, {1, 0, 1, 0, 0, 1, 0, 1, 1, 1},
       {{0, 0, 0}, {255, 255, 255}}},
      // index bit j from plane j: pixels 0b10000001 and 0b01111110
      {"EightPlanesOfOneBit", withPalette(pcx(eightPlanes, {0x80, 0, 0x40, 0, 0x40, 0, 0x40, 0, 0x40, 0, 0x40, 0,
                                                             0x40, 0, 0x80, 0}), 12, 7),
       stUChar, {0x81, 0x7E}, {{7, 7, 7}}},
      // index bits 2j, 2j + 1 from plane j: pixels 0b11100100 and 0b00011011
      {"FourPlanesOfTwoBits", withPalette(pcx(twoBits, {0x30, 0, 0x60, 0, 0x90, 0, 0xC1, 0xC0, 0}), 12, 7), stUChar,
       {0xE4, 0x1B}, {}},
      {"SixBitPaletteIsScaled", withPalette(pcx(twoRows, {1, 2, 3, 4, 5, 6, 7, 8}), 10, 63), stUChar,
       {1, 2, 3, 4, 5, 6, 7, 8}, {{252, 252, 252}}},
      {"EightBitPaletteIsKept", withPalette(pcx(twoRows, {1, 2, 3, 4, 5, 6, 7, 8}), 12, 63), stUChar,
       {1, 2, 3, 4, 5, 6, 7, 8}, {{63, 63, 63}}},
      // a run past the line's end ends it; the next line starts afresh
      {"RunPastTheLineIsClipped", withPalette(pcx(twoRows, {0xC6, 7, 1, 2, 3, 4}), 12, 0), stUChar,
       {7, 7, 7, 7, 1, 2, 3, 4}, {}},
      {"EmptyRunGivesNoPixel", withPalette(pcx(twoRows, {0xC0, 9, 1, 2, 3, 4, 0xC4, 5}), 12, 0), stUChar,
       {1, 2, 3, 4, 5, 5, 5, 5}, {}},
      {"RawLines", withPalette(pcx({8, 1, 4, 2, 4, 0, {}}, {0xC1, 2, 0xC3, 4, 5, 6, 7, 8}), 12, 0), stUChar,
       {0xC1, 2, 0xC3, 4, 5, 6, 7, 8}, {}},
      {"ThreePlanesAreRedGreenBlue", pcx(rgb, {1, 2, 3, 4, 5, 6}), stRGB, {1, 3, 5, 2, 4, 6}, {}},
  };
}

class HandMadeFile : public testing::TestWithParam<HandMade> {};

TEST_P(HandMadeFile, ReadsTheStoredPixels) {
  HandMade c = GetParam();
  auto e = openBytes(c.file);
  EXPECT_EQ(e->formatID(), idPCX());
  EXPECT_EQ(readPixels(*e, c.type), c.pixels);
  for (size_t i = 0; i < c.palette.size(); ++i) {
    EXPECT_EQ(e->getPalette()[i].red, c.palette[i].red) << i;
    EXPECT_EQ(e->getPalette()[i].green, c.palette[i].green) << i;
    EXPECT_EQ(e->getPalette()[i].blue, c.palette[i].blue) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Decoding, HandMadeFile, testing::ValuesIn(handMade()),
                         qortest::caseName());

TEST(PcxReading, OneBitPaletteEntry255IsWhite) {
  Bytes b = pcx({1, 1, 8, 1, 2, 1, Bytes(48, 77)}, {0xFF, 0});
  auto e = openBytes(b);
  EXPECT_EQ(e->getPalette()[255].red, 255);
  EXPECT_EQ(e->getPalette()[1].blue, 255);
  EXPECT_EQ(e->getPalette()[0].green, 0);
}

// ---------------------------------------------------------------- bad headers

struct BadFile {
  const char* name;
  Bytes file;
  const char* text;  // the message of error 3, or "" when any message will do
};
void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

class BadHeader : public testing::TestWithParam<BadFile> {};

TEST_P(BadHeader, OpenRaisesError3) {
  BadFile c = GetParam();
  if (*c.text) {
    EXPECT_TRUE(qortest::raises([&] { openBytes(c.file); }, 3, c.text, "zpcxdrv"));
  } else {
    EXPECT_EQ(raisedCode([&] { openBytes(c.file); }), 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, BadHeader,
    testing::Values(
        // the other refused headers are rows of the all-drivers contract
        BadFile{"NoRoomForThePalette", pcx({8, 1, 4, 1, 4, 1, {}}, Bytes(700, 1)), ""}),
    qortest::caseName());

// ---------------------------------------------------------------- writing

struct BadDescriptor {
  const char* name;
  TFileInfo* (*make)();
};
void PrintTo(const BadDescriptor& c, std::ostream* os) { *os << c.name; }

class Refused : public testing::TestWithParam<BadDescriptor> {};

TEST_P(Refused, CreateRaisesError3AndWritesNothing) {
  Bytes memory(4096, 0xEE);
  const Bytes before = memory;
  TImageEnsemble e(manager);
  EXPECT_EQ(raisedCode([&] { e.open(new TqorMemoryStream(memory.data(), int(memory.size())), GetParam().make()); }), 3);
  EXPECT_EQ(memory, before);
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, Refused,
    testing::Values(BadDescriptor{"PcxWidth0", [] { return fiPcxFileInfo(8, 0, 4, 1); }},
                    BadDescriptor{"PcxWidth32769", [] { return fiPcxFileInfo(1, 32769, 4, 1); }},
                    BadDescriptor{"PcxHeight65537", [] { return fiPcxFileInfo(8, 4, 65537, 1); }},
                    BadDescriptor{"PcxCoding16", [] { return fiPcxFileInfo(16, 4, 4, 1); }},
                    BadDescriptor{"DcxNegativePages", [] { return fiDcxFileInfo(8, 4, 4, -1); }},
                    BadDescriptor{"Dcx1025Pages", [] { return fiDcxFileInfo(8, 4, 4, 1025); }},
                    BadDescriptor{"DcxCoding2", [] { return fiDcxFileInfo(2, 4, 4, 1); }}),
    qortest::caseName());

TEST(PcxWriting, EightBitLayout) {
  for (int encoding : {1, 0}) {
    SCOPED_TRACE(encoding);
    const std::string path = tempPath("layout.pcx");
    const Bytes px = {1, 1, 1, 200, 7, 9, 8, 7, 6, 5};
    TqorPaletteItem pal[256];
    for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i), uint8_t(i + 1), uint8_t(255 - i)};
    {
      TImageEnsemble e(path.c_str(), fiPcxFileInfo(8, 5, 2, encoding), manager);
      std::memcpy(e.getPalette(), pal, sizeof pal);
      e.writeUCharImage(0, const_cast<unsigned char*>(px.data()));
    }
    Bytes want = pcx({8, 1, 5, 2, 6, encoding, {}}, {});
    for (int i = 0; i < 16; ++i) {
      want[size_t(16 + 3 * i)] = pal[i].red;
      want[size_t(17 + 3 * i)] = pal[i].green;
      want[size_t(18 + 3 * i)] = pal[i].blue;
    }
    if (encoding)
      want.insert(want.end(), {0xC3, 1, 0xC1, 200, 7, 0, 9, 8, 7, 6, 5, 0});
    else
      want.insert(want.end(), {1, 1, 1, 200, 7, 0, 9, 8, 7, 6, 5, 0});
    want.push_back(12);
    for (const TqorPaletteItem& p : pal) want.insert(want.end(), {p.red, p.green, p.blue});
    EXPECT_EQ(readFile(path), want);
  }
}

TEST(PcxWriting, EveryCodingReadsBack) {
  const int w = 13, h = 4;
  for (int coding : {1, 4, 8, 24}) {
    SCOPED_TRACE(coding);
    Bytes px(size_t(w * h) * (coding == 24 ? 3 : 1));
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(coding == 24 ? i * 7 : (i * 5) % (1u << (coding == 24 ? 8 : coding)));
    const int type = coding == 24 ? stRGB : stUChar;
    Bytes memory(8192);
    {
      TImageEnsemble e(manager);
      e.open(new TqorMemoryStream(memory.data(), int(memory.size())), fiPcxFileInfo(coding, w, h, 1));
      qortest::writePixels(e, type, px);
    }
    auto e = openBytes(memory);
    EXPECT_EQ(e->coding(), coding);
    EXPECT_EQ(readPixels(*e, type), px);
  }
}

// ---------------------------------------------------------------- DCX

Bytes dcxOf(const std::vector<uint32_t>& table, const std::vector<std::pair<uint32_t, Bytes>>& pages) {
  Bytes b;
  put(b, 0x3ADE68B1u, 4);
  for (uint32_t v : table) put(b, v, 4);
  for (const auto& [at, page] : pages) {
    if (b.size() < at) b.resize(at, 0);
    b.insert(b.end(), page.begin(), page.end());
  }
  return b;
}

TEST(Dcx, WrittenTableAndPages) {
  const std::string path = tempPath("three.dcx");
  const Bytes px = {1, 2, 3, 4, 5, 6};
  {
    TImageEnsemble e(path.c_str(), fiDcxFileInfo(8, 3, 2, 3), manager);
    for (int i = 0; i < 3; ++i) {
      Bytes p = px;
      p[0] = uint8_t(i);
      e.writeUCharImage(i, p.data());
    }
  }
  const Bytes b = readFile(path);
  ASSERT_GE(b.size(), 20u);
  EXPECT_EQ(b[0] | b[1] << 8 | b[2] << 16 | uint32_t(b[3]) << 24, 0x3ADE68B1u);
  EXPECT_EQ(b[4], 20);                      // first page after 3 + 1 words
  EXPECT_EQ(b[16] | b[17] | b[18] | b[19], 0);  // the terminating word
  TImageEnsemble e(path.c_str(), manager);
  ASSERT_EQ(e.numberOfImages(), 3);
  for (int i = 0; i < 3; ++i) {
    Bytes got(6);
    e.readUCharImage(i, got.data());
    EXPECT_EQ(got[0], i);
    EXPECT_EQ(Bytes(got.begin() + 1, got.end()), Bytes(px.begin() + 1, px.end()));
  }
}

TEST(Dcx, UnwrittenPageEndsTheTable) {
  const std::string path = tempPath("gap.dcx");
  Bytes px = {1, 2, 3, 4};
  {
    TImageEnsemble e(path.c_str(), fiDcxFileInfo(8, 2, 2, 3), manager);
    e.writeUCharImage(0, px.data());
    e.writeUCharImage(2, px.data());
  }
  TImageEnsemble e(path.c_str(), manager);
  EXPECT_EQ(e.numberOfImages(), 1);
}

TEST(Dcx, FileWithoutPagesOpensEmpty) {
  const std::string path = tempPath("none.dcx");
  { TImageEnsemble e(path.c_str(), fiDcxFileInfo(8, 2, 2, 0), manager); }
  EXPECT_EQ(readFile(path).size(), 8u);
  TImageEnsemble e(path.c_str(), manager);
  EXPECT_EQ(e.formatID(), idDCX());
  EXPECT_EQ(e.numberOfImages(), 0);
}

TEST(Dcx, PagesOutOfOrderKeepTheirWindowsAndPalettes) {
  Header h{8, 1, 2, 1, 2, 1, {}};
  const Bytes first = withPalette(pcx(h, {1, 2}), 12, 11), second = withPalette(pcx(h, {3, 4}), 12, 22);
  // page 0 lies after page 1
  Bytes b = dcxOf({16 + uint32_t(second.size()), 16, 0}, {{16, second}, {16 + uint32_t(second.size()), first}});
  auto e = openBytes(b);
  ASSERT_EQ(e->numberOfImages(), 2);
  EXPECT_EQ(readPixels(*e, stUChar), (Bytes{1, 2}));
  EXPECT_EQ(e->getPalette()[5].red, 11);
  Bytes got(2);
  e->readUCharImage(1, got.data());
  EXPECT_EQ(got, (Bytes{3, 4}));
  EXPECT_EQ(e->getPalette()[5].red, 22);
}

TEST(Dcx, PageOutsideTheFileRaises) {
  Bytes b = dcxOf({4000, 0}, {});
  EXPECT_EQ(raisedCode([&] { openBytes(b); }), 3);
}

TEST(Dcx, TableWithoutEndStopsAfter1024Entries) {
  Header h{8, 1, 2, 1, 2, 1, {}};
  const Bytes page = withPalette(pcx(h, {1, 2}), 12, 0);
  const uint32_t at = 4 + 1025 * 4;
  std::vector<uint32_t> table(1025, at);  // the 1025th entry is no terminator either
  Bytes b = dcxOf(table, {{at, page}});
  auto e = openBytes(b);
  EXPECT_EQ(e->numberOfImages(), 1024);
}

TEST(Dcx, DeeplyNestedPagesAreRefused) {
  // each file's only page is the next file: DCX inside DCX, 20 deep
  Bytes b;
  for (int k = 0; k < 20; ++k) {
    put(b, 0x3ADE68B1u, 4);
    put(b, 12, 4);
    put(b, 0, 4);
  }
  Bytes inner = pcx({8, 3, 2, 1, 2, 1, {}}, {1, 2, 3, 4, 5, 6});
  b.insert(b.end(), inner.begin(), inner.end());
  std::string text;
  try {
    openBytes(b);
  } catch (const x_qor& x) {
    EXPECT_EQ(x.error(), 3);
    text = x.msg();
  }
  EXPECT_NE(text.find("nested more than 8 deep"), std::string::npos) << text;
  // a shallow chain opens
  Bytes shallow(b.end() - 3 * 12 - long(inner.size()), b.end());
  auto e = openBytes(shallow);
  EXPECT_EQ(readPixels(*e, stRGB), (Bytes{1, 3, 5, 2, 4, 6}));
}

TEST(Dcx, ChunkedReadingDeliversRowsAndPalette) {
  const int w = 3, h = 40;
  Bytes px(size_t(w * h));
  for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i);
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i), uint8_t(i / 2), 9};
  const std::string path = tempPath("chunks.dcx");
  {
    TImageEnsemble e(path.c_str(), fiDcxFileInfo(8, w, h, 1), manager);
    std::memcpy(e.getPalette(), pal, sizeof pal);
    e.writeUCharImage(0, px.data());
  }
  Bytes b = readFile(path);
  auto e = openBytes(b);
  e->setf(qorChunkMode);
  TUCharImage* image = e->getUCharImage(0);
  ASSERT_NE(image, nullptr);
  int chunks = 0;
  while (e->readNextChunk() == 0) ++chunks;
  EXPECT_EQ(chunks, e->chunksNumber());
  const auto* got = static_cast<const unsigned char*>(image->ptr());
  EXPECT_EQ(Bytes(got, got + px.size()), px);
  EXPECT_EQ(image->getPalette()[200].green, 100);
  e->clearf(qorChunkMode);
  e->freeImage(0);
}

TEST(Dcx, ManagerDestroyedUnderAnOpenFileIsNoticed) {
  const std::string path = tempPath("gone.dcx");
  Bytes px = {1, 2, 3, 4};
  { TImageEnsemble e(path.c_str(), fiDcxFileInfo(8, 2, 2, 1), manager); e.writeUCharImage(0, px.data()); }
  TQORDataManager* own = getQorDataManager();
  auto e = std::make_unique<TImageEnsemble>(path.c_str(), own);
  destroyQORDataManager(own);
  own = nullptr;
  EXPECT_EQ(raisedCode([&] { readPixels(*e, stUChar); }), 3);
  e.reset();  // closes without touching the freed manager
}

// ---------------------------------------------------------------- interchange

// Palette entries compared: the file's, as far as Pillow reports them.
qortest::PillowView pcxView(TImageEnsemble& e, const qortest::Decoded& d) {
  const int coding = e.coding();
  const size_t entries = coding == 1 ? 2 : coding == 4 ? 16 : coding == 8 ? 256 : 0;
  return {coding, coding == 24, coding == 4 ? 8 : coding, std::min(entries, d.pal.size() / 3)};
}

struct ToolFile {
  const char* name;
  const char* source;
  Tool tool;
  const char* format;
  std::vector<std::string> args;
  int bits, planes;
};
void PrintTo(const ToolFile& c, std::ostream* os) { *os << c.name; }

class ToolWritten : public testing::TestWithParam<ToolFile> {};

TEST_P(ToolWritten, ReadsAsPillowDecodes) {
  const ToolFile& c = GetParam();
  QOR_REQUIRE_ORACLE(c.tool);
  const std::string file = qortest::toolWrite(c.tool, c.source, c.name, c.format, c.args);
  ASSERT_FALSE(file.empty());
  Bytes b = readFile(file);
  const bool dcx = std::string(c.format) == "DCX";
  const size_t at = dcx ? size_t(b[4] | b[5] << 8 | b[6] << 16) : 0;
  ASSERT_GT(b.size(), at + 128);
  EXPECT_EQ(b[at + 3], c.bits);
  EXPECT_EQ(b[at + 65], c.planes);
  auto e = openBytes(b);
  const qortest::Decoded d = qortest::pillowResult(file);
  qortest::PillowView v = pcxView(*e, d);
  if (dcx) v.paletteEntries = 0;  // Pillow takes a page's palette from the end of the whole file
  qortest::expectSameAsPillow(*e, d, v);
  if (dcx) {
    // the second page is the first one negated
    ASSERT_EQ(e->numberOfImages(), 2);
    Bytes second(d.rgb.size());
    e->readRGBImage(1, second.data());
    for (size_t i = 0; i < second.size(); ++i) second[i] = uint8_t(255 - second[i]);
    EXPECT_EQ(second, d.rgb);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, ToolWritten,
    testing::Values(ToolFile{"im_p8.pcx", "p8", Tool::magick, "PCX", {}, 8, 1},
                    ToolFile{"im_rgb.pcx", "rgb", Tool::magick, "PCX", {}, 8, 3},
                    ToolFile{"im_grey.pcx", "grey", Tool::magick, "PCX", {}, 8, 3},
                    ToolFile{"im_two.dcx", "rgb", Tool::magick, "DCX", {"(", "+clone", "-negate", ")"}, 8, 3},
                    ToolFile{"pil_b1.pcx", "b1", Tool::pillow, "PCX", {}, 1, 1},
                    ToolFile{"pil_grey.pcx", "grey", Tool::pillow, "PCX", {}, 8, 1},
                    ToolFile{"pil_few.pcx", "few", Tool::pillow, "PCX", {}, 8, 1},
                    ToolFile{"pil_rgb.pcx", "rgb", Tool::pillow, "PCX", {}, 8, 3}),
    [](const testing::TestParamInfo<ToolFile>& i) {
      std::string n = i.param.name;
      for (char& ch : n)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

// Files written here decode in Pillow and ImageMagick to the same pixels.
// Pillow does not follow bytesPerLine but takes the pixels' bytes rounded up
// to an even count: it is given a width whose lines need no padding; the
// others read padded lines and DCX pages. ImageMagick shows one-bit files,
// Pillow's own among them, with black and white swapped: those are left to Pillow.
enum class Reader { pillow, magickPcx, magickDcxPage };

class WrittenHere : public testing::TestWithParam<int> {};

TEST_P(WrittenHere, OthersReadTheSamePixels) {
  QOR_REQUIRE_ORACLE(Tool::pillow);
  const int coding = GetParam(), h = 9;
  TqorPaletteItem pal[256];
  for (int i = 0; i < 256; ++i) pal[i] = {uint8_t(i * 3), uint8_t(i ^ 0x55), uint8_t(200 - i)};
  for (Reader reader : {Reader::pillow, Reader::magickPcx, Reader::magickDcxPage}) {
    SCOPED_TRACE(int(reader));
    if (reader != Reader::pillow && (coding == 1 || !qortest::haveMagick())) continue;
    const int w = reader == Reader::pillow ? 32 : 37;
    Bytes idx(size_t(w * h)), rgb(3 * idx.size());
    for (size_t i = 0; i < idx.size(); ++i) {
      idx[i] = uint8_t((i * 37 + i / size_t(w)) % (coding >= 8 ? 256 : 1u << coding));
      rgb[3 * i] = uint8_t(i * 3);
      rgb[3 * i + 1] = uint8_t(i * 5 + 1);
      rgb[3 * i + 2] = uint8_t(255 - i);
    }
    const bool dcx = reader == Reader::magickDcxPage;
    const std::string path = tempPath("own" + std::to_string(coding) + "_" + std::to_string(int(reader)) +
                                      (dcx ? ".dcx" : ".pcx"));
    {
      TImageEnsemble e(path.c_str(), dcx ? fiDcxFileInfo(coding, w, h, 2) : fiPcxFileInfo(coding, w, h, 1), manager);
      for (int page = 0; page < (dcx ? 2 : 1); ++page) {
        std::memcpy(e.getPalette(), pal, sizeof pal);
        if (coding == 24)
          e.writeRGBImage(page, rgb.data());
        else
          e.writeUCharImage(page, idx.data());
      }
    }
    std::string decoded = path;
    if (reader != Reader::pillow) {
      decoded = path + ".png";
      const std::string page = dcx ? "[1]" : "";
      ASSERT_EQ(std::system(("/usr/bin/convert '" + path + page + "' '" + decoded + "'").c_str()), 0);
    }
    ASSERT_TRUE(qortest::pillowDecode(decoded));
    const qortest::Decoded d = qortest::pillowResult(decoded);
    ASSERT_EQ(d.width, w);
    ASSERT_EQ(d.height, h);
    if (coding == 24) {
      EXPECT_EQ(d.rgb, rgb);
      continue;
    }
    Bytes want(rgb.size());
    for (size_t i = 0; i < idx.size(); ++i) {
      const TqorPaletteItem p = coding == 1 ? (idx[i] ? TqorPaletteItem{255, 255, 255} : TqorPaletteItem{0, 0, 0})
                                            : pal[idx[i]];
      want[3 * i] = p.red;
      want[3 * i + 1] = p.green;
      want[3 * i + 2] = p.blue;
    }
    EXPECT_EQ(d.rgb, want);
  }
}

INSTANTIATE_TEST_SUITE_P(Codings, WrittenHere, testing::Values(1, 4, 8, 24),
                         [](const testing::TestParamInfo<int>& i) { return "Coding" + std::to_string(i.param); });

}  // namespace
