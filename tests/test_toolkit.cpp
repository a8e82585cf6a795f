// The driver toolkit: one stream call per chunk of rows, truncated and
// hostile files, the image-size limit at open, failed creates, and converter
// tables built from rows.
#include <gtest/gtest.h>

#include <string>

#include "testutil.h"
#include "zqorall.h"

namespace {

using qortest::Bytes;
using qortest::raises;

void put32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b.at(at + k) = uint8_t(v >> (8 * k));
}

// A Windows bitmap: the two headers, then `extra` (masks or colour table),
// then the pixel bytes.
Bytes bitmap(int bits, int32_t width, int32_t height, uint32_t compression, const Bytes& extra, const Bytes& pixels) {
  Bytes b(54, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 10, uint32_t(54 + extra.size()));
  put32(b, 14, 40);
  put32(b, 18, uint32_t(width));
  put32(b, 22, uint32_t(height));
  b[26] = 1;
  b[28] = uint8_t(bits);
  put32(b, 30, compression);
  b.insert(b.end(), extra.begin(), extra.end());
  b.insert(b.end(), pixels.begin(), pixels.end());
  put32(b, 2, uint32_t(b.size()));
  return b;
}

Bytes greyTable() {
  Bytes t;
  for (int i = 0; i < 256; ++i) t.insert(t.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  return t;
}

// A memory stream that counts the calls reaching it.
class CountingStream : public TqorMemoryStream {
public:
  CountingStream(void* b, int n) : TqorMemoryStream(b, n) {}
  int reads = 0;
  int writes = 0;

protected:
  int readMethod(void* buffer, int length) override {
    ++reads;
    return TqorMemoryStream::readMethod(buffer, length);
  }
  int writeMethod(const void* buffer, int length) override {
    ++writes;
    return TqorMemoryStream::writeMethod(buffer, length);
  }
};

const char* const readError = "Error while reading from disk.";

TEST(ChunkedRows, OneStreamCallPerChunk) {
  qortest::Manager m;
  const int w = 16, h = 4096;
  Bytes file = bitmap(8, w, h, 0, greyTable(), Bytes(size_t(w) * h, 7));
  auto* s = new CountingStream(file.data(), int(file.size()));
  TImageEnsemble e(m.m);
  e.open(s);
  const int chunks = (h + 14) / 15;
  ASSERT_EQ(e.chunksNumber(), chunks);
  s->reads = 0;
  Bytes pixels(size_t(w) * h);
  e.readUCharImage(0, pixels.data());
  EXPECT_EQ(s->reads, chunks);
  EXPECT_EQ(pixels, Bytes(size_t(w) * h, 7));

  Bytes out(file.size() + 64, 0);
  auto* o = new CountingStream(out.data(), int(out.size()));
  TImageEnsemble created(m.m);
  created.open(o, fiBmpFileInfo(8, w, h));
  o->writes = 0;
  created.writeUCharImage(0, pixels.data());
  // the headers and the colour table, then one call per chunk
  EXPECT_EQ(o->writes, 2 + chunks);
}

TEST(Truncation, RowsCutShortRaiseInBothInterfaces) {
  // 4 x 6 grey bitmap, bottom-up: the file keeps its first 4 stored rows (image rows 5..2)
  Bytes rows;
  for (int r = 0; r < 6; ++r) rows.insert(rows.end(), 4, uint8_t(10 + r));
  Bytes file = bitmap(8, 4, 6, 0, greyTable(), rows);
  file.resize(file.size() - 8);
  qortest::TempDir dir;
  const std::string path = dir.file("cut.bmp");
  qortest::writeFile(path, file);

  qortest::Manager m;
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(path.c_str(), m.m);
        e.getUCharImage(0);
      },
      3, readError, "zsigens1"));

  qorManager* flat = qorCreateManager();
  qorEnsemble* e = qorEns_COpen(&flat, path.c_str());
  ASSERT_NE(e, nullptr);
  Bytes got(24, 0xEE);
  qorEns_ReadUCharImage(e, 0, got.data());
  EXPECT_EQ(qorGetLastError(flat), 3);
  EXPECT_NE(std::string(qorGetLastErrorMessage(flat)).find(readError), std::string::npos);
  const Bytes want = {0, 0, 0, 0, 0, 0, 0, 0, 13, 13, 13, 13, 12, 12, 12, 12, 11, 11, 11, 11, 10, 10, 10, 10};
  EXPECT_EQ(got, want);
  qorEns_Destroy(e);
  qorDestroyManager(flat);
}

struct BadFile {
  const char* name;
  Bytes file;
  const char* text;
  const char* unit = "zbmpdrv";
};
void PrintTo(const BadFile& c, std::ostream* os) { *os << c.name; }

class HostileBitmap : public testing::TestWithParam<BadFile> {};

TEST_P(HostileBitmap, RaisesError3AtOpen) {
  qortest::Manager m;
  Bytes file = GetParam().file;
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(m.m);
        e.open(new TqorMemoryStream(file.data(), int(file.size())));
      },
      3, GetParam().text, GetParam().unit));
}

Bytes masks(uint32_t r, uint32_t g, uint32_t b) {
  Bytes m(12, 0);
  put32(m, 0, r);
  put32(m, 4, g);
  put32(m, 8, b);
  return m;
}

Bytes withRowsAt(uint32_t offset, Bytes b) {
  put32(b, 10, offset);
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Files, HostileBitmap,
    testing::Values(
        // masks of any order and width read now; masks that overlap do not
        BadFile{"OverlappingMasks", bitmap(32, 2, 2, 3, masks(0xFF, 0x1FF00, 0xFF0000), Bytes(16, 1)),
                "BMP header: bit fields of 32-bit pixels: the green mask 0x1FF00 and the blue mask 0xFF0000 share bits."},
        BadFile{"BitFieldsOfEightBits", bitmap(8, 2, 2, 3, greyTable(), Bytes(8, 1)),
                "BMP header: bit fields are defined for 16 and 32 bits per pixel, not for 8."},
        BadFile{"EndsInsideTheMasks", bitmap(16, 2, 2, 3, Bytes(6, 0), {}),
                "BMP header: the file ends inside its colour masks."},
        BadFile{"EndsInsideTheColourTable", withRowsAt(54 + 1024, bitmap(8, 2, 2, 0, Bytes(40, 0), {})),
                "BMP header: the file ends inside its colour table, after 10 of 256 entries."},
        // 60 bytes claiming 25000 x 25000 pixels of 24 bits: 1.9 GB, over the default limit
        BadFile{"LargerThanTheLimit", bitmap(24, 25000, 25000, 0, {}, Bytes(6, 0)),
                "BMP header: the image takes 1875000000 bytes, more than the 1073741824 bytes one image may take.",
                "zsigens2"}),
    qortest::caseName());

TEST(ImageLimit, NoLimitAllocatesAndReportsTheTruncation) {
  qortest::Manager m;
  m.m->setMaxImageBytes(0);
  Bytes file = bitmap(24, 25000, 25000, 0, {}, Bytes(6, 0));
  ASSERT_EQ(file.size(), 60u);
  TImageEnsemble e(m.m);
  e.open(new TqorMemoryStream(file.data(), int(file.size())));
  EXPECT_EQ(e.sizeX(), 25000);
  EXPECT_TRUE(raises([&] { e.getUCharImage(0); }, 3, readError, "zsigens1"));
}

TEST(RunLength, EndOfBitmapEarlyIsNoTruncationButRunningDryIs) {
  qortest::Manager m;
  // 4 x 3: one run in the bottom row, then end of bitmap
  Bytes early = bitmap(8, 4, 3, 1, greyTable(), {2, 9, 0, 1});
  TImageEnsemble e(m.m);
  e.open(new TqorMemoryStream(early.data(), int(early.size())));
  Bytes got(12, 0xEE);
  e.readUCharImage(0, got.data());
  EXPECT_EQ(got, (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 9, 9, 0, 0}));

  Bytes dry = bitmap(8, 4, 3, 1, greyTable(), {2, 9, 0, 0, 4});
  e.open(new TqorMemoryStream(dry.data(), int(dry.size())));
  EXPECT_TRUE(raises([&] { e.readUCharImage(0, got.data()); }, 3, readError, "zsigens1"));
}

struct RefusedCreate {
  const char* name;
  TFileInfo* (*info)();
  const char* text;
  const char* unit;
};
void PrintTo(const RefusedCreate& c, std::ostream* os) { *os << c.name; }

class FailedCreate : public testing::TestWithParam<RefusedCreate> {};

TEST_P(FailedCreate, LeavesNoFile) {
  qortest::Manager m;
  qortest::TempDir dir;
  for (bool existed : {false, true}) {
    const std::string path = dir.file(std::string(GetParam().name) + (existed ? "_old" : "_new"));
    if (existed) qortest::writeFile(path, Bytes(10, 1));
    EXPECT_TRUE(raises([&] { TImageEnsemble e(path.c_str(), GetParam().info(), m.m); }, 3, GetParam().text,
                       GetParam().unit));
    EXPECT_FALSE(qortest::fileExists(path)) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Descriptors, FailedCreate,
    testing::Values(
        RefusedCreate{"Bmp16Bits", [] { return fiBmpFileInfo(16, 4, 4); },
                      "Cannot create a BMP file: 16 bits per pixel cannot be written; the writer stores 1, 4, 8 or 24.",
                      "zbmpdrv"},
        RefusedCreate{"BmpEmpty", [] { return fiBmpFileInfo(24, 0, 4); },
                      "Cannot create a BMP file: the image size 0 x 4 is empty.", "zsigens2"},
        RefusedCreate{"Os2ThirtyTwoBits", [] { return fiBmpOS2FileInfo(32, 4, 4); },
                      "Cannot create an OS/2 BMP file: 32 bits per pixel cannot be written; the writer stores 1, 4, 8 "
                      "or 24.",
                      "zbmpos2"},
        RefusedCreate{"NativeCoding", [] { return fiKavFileInfo(stRGB + 1, 4, 4, 1, "x"); },
                      "Cannot create a native file: coding 14 is not one of 6..13.", "zkavdrv"}),
    qortest::caseName());

TImgConvertA2B* byteCopy() { return new TUImgConvertA2B<unsigned char, unsigned char>(255, 0, 0, 1); }

TEST(ConverterTable, AFailingRowLeaksNothingAndNamesTheCell) {
  // the second row takes the cell of the first: the set made so far is deleted (LeakSanitizer watches)
  static const TConverterRow twice[] = {{stUChar, stUChar, byteCopy}, {stUChar, stUChar, byteCopy}};
  EXPECT_TRUE(raises([] { TConverters set(0, 0, twice); }, 3,
                     "The converter was already set into srcN = stUChar destN = stUChar.", "zsigens2"));
  static const TConverterRow rows[] = {{stUChar, stSShort, byteCopy}, {stDouble, stUChar, byteCopy}};
  TConverters set(0, 0, rows);
  EXPECT_EQ(set.tableRows(), rows);
  EXPECT_EQ(set.tableSize(), 2);
}

}  // namespace
