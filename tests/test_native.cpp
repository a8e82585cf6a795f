// The native multi-image format: its two converter tables cell by cell, round
// trips in every coding, the bytes of written files, scaling, growing files,
// detection of damaged files, refused geometries and chunked transfers.

#include <algorithm>
#include <cmath>
#include <memory>
#include <tuple>

#include "testutil.h"

namespace {

using namespace qortest;

const int kAllCodings[] = {stDouble, stSChar, stSShort, stUChar, stUShort,
                           stSLong,  stULong, stRGB,    stOneBit, stBitmap};
const int kFileCodings[] = {stDouble, stSChar, stSShort, stUChar, stUShort, stSLong, stULong};

// Calls f with a value of the element type of a coding (bitmaps hold unsigned bytes).
template <class F>
auto withElement(int coding, F f) {
  switch (coding) {
    case stDouble: return f(double());
    case stSChar: return f(int8_t());
    case stSShort: return f(int16_t());
    case stUShort: return f(uint16_t());
    case stSLong: return f(int32_t());
    case stULong: return f(uint32_t());
    default: return f(uint8_t());
  }
}
int elementSize(int coding) { return withElement(coding, [](auto x) { return int(sizeof x); }); }

// Values as elements of a coding, and back.
Bytes pack(int coding, const std::vector<double>& values) {
  Bytes out(values.size() * 8 + 8, 0);
  for (size_t k = 0; k < values.size(); ++k)
    withElement(coding, [&](auto x) {
      x = decltype(x)(values[k]);
      std::memcpy(&out[k * sizeof x], &x, sizeof x);
      return 0;
    });
  return out;
}
std::vector<double> unpack(int coding, const unsigned char* p, size_t n) {
  std::vector<double> out(n);
  for (size_t k = 0; k < n; ++k)
    out[k] = withElement(coding, [&](auto x) {
      std::memcpy(&x, p + k * sizeof x, sizeof x);
      return double(x);
    });
  return out;
}

// ---------------------------------------------------------------- converter tables

// One filled cell: values in the source elements and what the cell makes of
// them; scale 0 marks a cell without scaling, otherwise the scale is set first.
struct Cell { bool toDisk; int file, image; double scale; std::vector<double> in, out; };

const double kNaN = std::nan("");

const std::vector<Cell>& cells() {
  static const std::vector<Cell> table = {
      // reading: file elements in, image elements out
      {false, stUChar, stUChar, 0, {0, 7, 255}, {0, 7, 255}},
      {false, stSChar, stUChar, 0, {-128, 0, 127}, {0, 128, 255}},
      {false, stSChar, stSChar, 0, {-128, -1, 127}, {-128, -1, 127}},
      {false, stUChar, stSChar, 0, {0, 128, 255}, {-128, 0, 127}},
      {false, stSShort, stSShort, 0, {-32768, 5, 32767}, {-32768, 5, 32767}},
      {false, stSChar, stSShort, 2, {-5, 5, 127, -128}, {-3, 3, 64, -64}},
      {false, stUChar, stSShort, 2, {5, 255, 0}, {3, 128, 0}},
      {false, stDouble, stDouble, 0, {1.5, -1e300, 0.1}, {1.5, -1e300, 0.1}},
      {false, stSLong, stDouble, 4, {10, -2147483648.0, 2147483647}, {2.5, -536870912, 536870911.75}},
      {false, stULong, stDouble, 4, {10, 4294967295.0}, {2.5, 1073741823.75}},
      {false, stSShort, stDouble, 4, {-32768, 10}, {-8192, 2.5}},
      {false, stUShort, stDouble, 4, {65535, 10}, {16383.75, 2.5}},
      {false, stSChar, stDouble, 4, {-128, 10}, {-32, 2.5}},
      {false, stUChar, stDouble, 4, {255, 10}, {63.75, 2.5}},
      {false, stUChar, stBitmap, 0, {0, 200, 255}, {0, 200, 255}},
      {false, stSChar, stBitmap, 0, {-128, 0, 127}, {0, 128, 255}},
      // writing: image elements in, file elements out
      {true, stUChar, stUChar, 0, {0, 7, 255}, {0, 7, 255}},
      {true, stSChar, stUChar, 0, {0, 128, 255}, {-128, 0, 127}},
      {true, stSChar, stSChar, 0, {-128, -1, 127}, {-128, -1, 127}},
      {true, stUChar, stSChar, 0, {-128, 0, 127}, {0, 128, 255}},
      {true, stSShort, stSShort, 0, {-32768, 5, 32767}, {-32768, 5, 32767}},
      {true, stSChar, stSShort, 2, {5, -5, 300, -300}, {3, -3, 127, -128}},
      {true, stUChar, stSShort, 2, {5, -5, 600}, {3, 0, 255}},
      {true, stDouble, stDouble, 0, {1.5, -1e300, 0.1}, {1.5, -1e300, 0.1}},
      {true, stSLong, stDouble, 1, {2.5, -2.5, 1e10, -1e10, kNaN}, {3, -3, 2147483647, -2147483648.0, 0}},
      {true, stULong, stDouble, 1, {2.5, -1, 1e10, kNaN}, {3, 0, 4294967295.0, 0}},
      {true, stSShort, stDouble, 0.5, {1.25, -1.25, 20000, -20000}, {3, -3, 32767, -32768}},
      {true, stUShort, stDouble, 1, {0.5, -3, 70000}, {1, 0, 65535}},
      {true, stSChar, stDouble, 1, {-0.5, 200, -200}, {-1, 127, -128}},
      {true, stUChar, stDouble, 1, {254.5, -1, 300, kNaN}, {255, 0, 255, 0}},
      {true, stUChar, stBitmap, 0, {0, 200}, {0, 200}},
      {true, stSChar, stBitmap, 0, {0, 128, 255}, {-128, 0, 127}},
  };
  return table;
}

const Cell* findCell(bool toDisk, int file, int image) {
  for (const Cell& c : cells())
    if (c.toDisk == toDisk && c.file == file && c.image == image) return &c;
  return nullptr;
}

void PrintTo(const Cell& c, std::ostream* os) {
  *os << (c.toDisk ? "to disk " : "to memory ") << stCodingName(c.file) << "/" << stCodingName(c.image);
}

// What each listed cell makes of its values; the table walk covers the cells that are not listed.
class ConverterValues : public testing::TestWithParam<Cell> {};

TEST_P(ConverterValues, CellConvertsAsListed) {
  const Cell& want = GetParam();
  const TConverters& set =
      want.toDisk ? TKavFormatDriver::converters2Disk() : TKavFormatDriver::converters2Memory();
  std::unique_ptr<TImgConvertA2B> c(set.get(want.file, want.image));
  ASSERT_NE(c, nullptr);
  const int src = want.toDisk ? want.image : want.file;
  const int dest = want.toDisk ? want.file : want.image;
  EXPECT_EQ(c->sourceSize(), elementSize(src));
  EXPECT_EQ(c->destSize(), elementSize(dest));
  EXPECT_EQ(c->scalingEnabled() != 0, want.scale != 0);
  if (want.scale != 0) c->setScale(1, want.scale);
  const int n = int(want.in.size());
  Bytes in = pack(src, want.in), out(in.size(), 0xEE);
  EXPECT_EQ(c->convert(out.data(), in.data(), n), n);
  EXPECT_EQ(unpack(dest, out.data(), size_t(n)), want.out);
}

INSTANTIATE_TEST_SUITE_P(Native, ConverterValues, testing::ValuesIn(cells()),
                         [](const testing::TestParamInfo<Cell>& info) {
                           return std::string(info.param.toDisk ? "ToDisk_" : "ToMemory_") +
                                  stCodingName(info.param.file) + "_" + stCodingName(info.param.image);
                         });

// ---------------------------------------------------------------- round trips

const int kImageTypes[] = {stUChar, stSChar, stSShort, stDouble, stBitmap, stRGB, stOneBit};

// Writes or reads image i of one image type through caller buffers.
void writeAs(TImageEnsemble& e, int type, int i, void* buf, void* header) {
  switch (type) {
    case stUChar: e.writeUCharImage(i, static_cast<unsigned char*>(buf)); break;
    case stSChar: e.writeSCharImage(i, static_cast<signed char*>(buf)); break;
    case stSShort: e.writeSShortImage(i, static_cast<short*>(buf)); break;
    case stDouble: e.writeDoubleImage(i, static_cast<double*>(buf)); break;
    case stBitmap: e.writeWinDibImage(i, header, buf); break;
    case stRGB: e.writeRGBImage(i, static_cast<unsigned char*>(buf)); break;
    default: e.writeOneBitImage(i, static_cast<unsigned char*>(buf)); break;
  }
}
void readAs(TImageEnsemble& e, int type, int i, void* buf, void* header) {
  switch (type) {
    case stUChar: e.readUCharImage(i, static_cast<unsigned char*>(buf)); break;
    case stSChar: e.readSCharImage(i, static_cast<signed char*>(buf)); break;
    case stSShort: e.readSShortImage(i, static_cast<short*>(buf)); break;
    case stDouble: e.readDoubleImage(i, static_cast<double*>(buf)); break;
    case stBitmap: e.readWinDibImage(i, header, buf); break;
    case stRGB: e.readRGBImage(i, static_cast<unsigned char*>(buf)); break;
    default: e.readOneBitImage(i, static_cast<unsigned char*>(buf)); break;
  }
}

bool isUnsigned(int coding) { return coding == stUChar || coding == stUShort || coding == stULong; }

using RoundTrip = std::tuple<int, int>;
class NativeRoundTrip : public testing::TestWithParam<RoundTrip> {};

TEST_P(NativeRoundTrip, WritesAndReadsBackOrRefusesTheType) {
  const int file = std::get<0>(GetParam());
  const int type = std::get<1>(GetParam());
  const int sx = 8, sy = 3, n = sx * sy;
  TempDir dir;
  Manager mgr;
  TImageEnsemble e(dir.file("rt.kav").c_str(), fiKavFileInfo(file, sx, sy, 2, "rt"), mgr.m);
  std::vector<unsigned char> header(1064), header2(1064), back(1024, 0xEE);
  if (!findCell(true, file, type)) {
    Bytes buf(1024, 0);
    EXPECT_TRUE(raises([&] { writeAs(e, type, 1, buf.data(), header.data()); }, 3, unknownConverter(file, type),
                       "zsigens2"));
    EXPECT_TRUE(raises([&] { readAs(e, type, 0, back.data(), header2.data()); }, 3, unknownConverter(file, type),
                       "zsigens2"));
    EXPECT_EQ(e.imageIsLoaded(0), 0);
    return;
  }
  // values every coding of the table can carry back, negatives aside in unsigned files
  std::vector<double> values(n), expect(n);
  for (size_t k = 0; k < values.size(); ++k) {
    const double v = type == stSChar    ? double(int(k * 37 + 11) % 256 - 128)
                     : type == stSShort ? double(k) * 5 - 55
                     : type == stDouble ? -20 + 2.5 * double(k)
                                        : double((k * 37 + 11) % 256);
    values[k] = v;
    // unsigned files cannot hold the negatives of scaled types: they clip to zero
    expect[k] = (type == stSShort || type == stDouble) && isUnsigned(file) && v < 0 ? 0 : v;
  }
  Bytes buf = pack(type, values);
  if (type == stBitmap) e.getWinDibInfo(header.data());
  writeAs(e, type, 1, buf.data(), header.data());
  EXPECT_EQ(e.imageIsLoaded(1), 0);
  readAs(e, type, 1, back.data(), header2.data());
  EXPECT_EQ(unpack(type, back.data(), size_t(n)), expect);
  if (type == stBitmap) {
    // a bitmap stores its bottom row first; the file keeps the top row first
    EXPECT_EQ(std::memcmp(header.data(), header2.data(), 40), 0);
    std::vector<double> rows(n);
    e.readDoubleImage(1, rows.data());
    for (int y = 0; y < sy; ++y)
      for (int x = 0; x < sx; ++x)
        EXPECT_EQ(rows[size_t(y * sx + x)], expect[size_t((sy - 1 - y) * sx + x)] - (file == stSChar ? 128 : 0));
  }
}

INSTANTIATE_TEST_SUITE_P(Native, NativeRoundTrip,
                         testing::Combine(testing::ValuesIn(kFileCodings), testing::ValuesIn(kImageTypes)),
                         [](const testing::TestParamInfo<RoundTrip>& info) {
                           return std::string("File_") + stCodingName(std::get<0>(info.param)) + "_Image_" +
                                  stCodingName(std::get<1>(info.param));
                         });

// ---------------------------------------------------------------- bytes of written files

struct Layout {
  const char* label;
  int coding;
  int sizeX;
  int sizeY;
  int images;
  const char* name;
  int recordSize;
  const char* storedName;  // the 14 name bytes as they must appear
};

void PrintTo(const Layout& p, std::ostream* os) { *os << p.label; }

class NativeLayout : public testing::TestWithParam<Layout> {};

TEST_P(NativeLayout, HeadsRowsAndPadding) {
  const Layout& p = GetParam();
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("layout.kav");
  const long imageBytes = long(p.sizeY + 1) * p.recordSize;
  const int rowBytes = elementSize(p.coding) * p.sizeX;
  auto value = [&](int i, int y, int x) { return double((i * 31 + y * 7 + x) % 100); };
  { TImageEnsemble created(path.c_str(), fiKavFileInfo(p.coding, p.sizeX, p.sizeY, p.images, p.name), mgr.m); }
  Bytes fresh = readFile(path);
  ASSERT_EQ(long(fresh.size()), imageBytes * p.images);
  EXPECT_EQ(get16(fresh, 24), 0u) << "no image was written yet";
  for (size_t k = 46; k < fresh.size(); ++k) ASSERT_EQ(fresh[k], 0) << "byte " << k;
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    for (int i = 0; i < p.images; ++i) {
      std::vector<double> values;
      for (int y = 0; y < p.sizeY; ++y)
        for (int x = 0; x < p.sizeX; ++x) values.push_back(value(i, y, x));
      writeAs(e, p.coding, i, pack(p.coding, values).data(), nullptr);
    }
  }
  Bytes b = readFile(path);
  ASSERT_EQ(long(b.size()), imageBytes * p.images);
  for (int i = 0; i < p.images; ++i) {
    const size_t at = size_t(i * imageBytes);
    EXPECT_EQ(getDouble(b, at + 0), 1.0);
    EXPECT_EQ(getDouble(b, at + 8), 1.0);
    EXPECT_EQ(get16(b, at + 16), unsigned(p.recordSize));
    EXPECT_EQ(get16(b, at + 18), unsigned(p.coding));
    EXPECT_EQ(get16(b, at + 20), unsigned(p.sizeX));
    EXPECT_EQ(get16(b, at + 22), unsigned(p.sizeY));
    EXPECT_EQ(get16(b, at + 24), unsigned(i + 1));
    EXPECT_EQ(get16(b, at + 26), 1u);
    EXPECT_EQ(get16(b, at + 28), 3u);
    EXPECT_EQ(std::memcmp(&b[at + 30], p.storedName, 14), 0) << "image " << i;
    for (size_t k = at + 44; k < at + size_t(p.recordSize); ++k) ASSERT_EQ(b[k], 0) << "head padding byte " << k;
    for (int y = 0; y < p.sizeY; ++y) {
      const size_t row = at + size_t(y + 1) * size_t(p.recordSize);
      const std::vector<double> got = unpack(p.coding, &b[row], size_t(p.sizeX));
      for (int x = 0; x < p.sizeX; ++x) ASSERT_EQ(got[size_t(x)], value(i, y, x)) << "image " << i << " row " << y;
      for (size_t k = row + size_t(rowBytes); k < row + size_t(p.recordSize); ++k)
        ASSERT_EQ(b[k], 0) << "row padding byte " << k;
    }
  }
  TKavEnsembleHead h(p.coding, p.sizeX, p.sizeY, p.name);
  EXPECT_EQ(h.getRecordSize(), p.recordSize);
  EXPECT_EQ(h.imageWithHeadSize(), imageBytes);
}

INSTANTIATE_TEST_SUITE_P(
    Native, NativeLayout,
    testing::Values(Layout{"UChar10x4", stUChar, 10, 4, 2, "abc", 46, "abc\0\0\0\0\0\0\0\0\0\0\0"},
                    Layout{"Double100x3", stDouble, 100, 3, 2, "", 800, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0"},
                    Layout{"SShort23x2RowFillsRecord", stSShort, 23, 2, 3, "ABCDEFGHIJKLMN", 46, "ABCDEFGHIJKLMN"},
                    Layout{"SShort30x2", stSShort, 30, 2, 1, "ABCDEFGHIJKLMNOPQ", 60, "ABCDEFGHIJKLMN"},
                    Layout{"SChar1x1", stSChar, 1, 1, 2, "x", 46, "x\0\0\0\0\0\0\0\0\0\0\0\0\0"}),
    [](const testing::TestParamInfo<Layout>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- scaling on write and read

struct Scaling {
  const char* label;
  int file;
  int type;  // stDouble or stSShort
  int noScaling;
  std::vector<double> values;
  std::vector<double> stored;
  double scale;
  std::vector<double> readBack;
};

void PrintTo(const Scaling& p, std::ostream* os) { *os << p.label; }

class NativeScaling : public testing::TestWithParam<Scaling> {};

TEST_P(NativeScaling, StoredValuesHeadScaleAndReadBack) {
  const Scaling& p = GetParam();
  const int n = int(p.values.size());
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("scale.kav");
  {
    TImageEnsemble e(path.c_str(), fiKavFileInfo(p.file, n, 1, 1, ""), mgr.m);
    if (p.noScaling) e.setf(qorNoScaling);
    writeAs(e, p.type, 0, pack(p.type, p.values).data(), nullptr);
    EXPECT_EQ(e.head().scale, p.scale);
  }
  Bytes b = readFile(path);
  const int record = std::max(46, n * elementSize(p.file));
  EXPECT_EQ(getDouble(b, 8), p.scale);
  EXPECT_EQ(unpack(p.file, &b[size_t(record)], size_t(n)), p.stored);
  TImageEnsemble e(path.c_str(), mgr.m);
  Bytes back(size_t(n) * 8);
  readAs(e, p.type, 0, back.data(), nullptr);
  EXPECT_EQ(unpack(p.type, back.data(), size_t(n)), p.readBack);
}

INSTANTIATE_TEST_SUITE_P(
    Native, NativeScaling,
    testing::Values(
        Scaling{"DoubleIntoSShort", stSShort, stDouble, 0, {0, 250, 500, 1000}, {0, 8000, 16000, 32000}, 1.0 / 32,
                {0, 250, 500, 1000}},
        Scaling{"DoubleIntoSShortUnscaled", stSShort, stDouble, 1, {0, 1.5, 1000, 40000, -40000, -2.5},
                {0, 2, 1000, 32767, -32768, -3}, 1.0, {0, 2, 1000, 32767, -32768, -3}},
        Scaling{"NegativeIntoUChar", stUChar, stDouble, 0, {-1, 0, 500}, {0, 0, 250}, 2.0, {0, 0, 500}},
        Scaling{"SmallDoublesIntoUChar", stUChar, stDouble, 0, {0, 0.25, 0.5}, {0, 64, 128}, 1.0 / 256,
                {0, 0.25, 0.5}},
        Scaling{"AllZeroIntoSShort", stSShort, stDouble, 0, {0, 0, 0}, {0, 0, 0}, 1.0, {0, 0, 0}},
        Scaling{"NaNInsideIntoSShort", stSShort, stDouble, 0, {0.25, kNaN, 0.5, 0.75}, {8192, 0, 16384, 24576},
                1.0 / 32768, {0.25, 0, 0.5, 0.75}},
        Scaling{"NaNFirstIntoSShort", stSShort, stDouble, 0, {kNaN, 0.25, 0.5, 0.75}, {0, 8192, 16384, 24576},
                1.0 / 32768, {0, 0.25, 0.5, 0.75}},
        Scaling{"NaNIntoSLong", stSLong, stDouble, 1, {kNaN, 7}, {0, 7}, 1.0, {0, 7}},
        Scaling{"SShortIntoSChar", stSChar, stSShort, 0, {-1000, 0, 1000}, {-125, 0, 125}, 8.0, {-1000, 0, 1000}},
        Scaling{"SShortIntoUChar", stUChar, stSShort, 0, {-5, 30, 60}, {0, 120, 240}, 0.25, {0, 30, 60}}),
    [](const testing::TestParamInfo<Scaling>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- growing files

TEST(NativeGrowth, IncreaseImagesNumberAppendsZeroImages) {
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("grow.kav");
  makeNative(mgr.m, path, stUChar, 10, 4, 2);
  const Bytes before = readFile(path);
  TImageEnsemble e(path.c_str(), mgr.m);
  EXPECT_EQ(e.increaseImagesNumber(-1), 2);
  EXPECT_EQ(e.increaseImagesNumber(0), 2);
  EXPECT_EQ(e.numberOfImages(), 2);
  EXPECT_EQ(e.increaseImagesNumber(3), 5);
  EXPECT_EQ(e.numberOfImages(), 5);
  std::vector<double> px(40, -1);
  e.readDoubleImage(3, px.data());
  EXPECT_EQ(px, std::vector<double>(40, 0.0));
  TKavEnsembleHead& h = e.head(3);
  EXPECT_EQ(h.coding, stUChar);
  EXPECT_EQ(h.sizeX, 10);
  EXPECT_EQ(h.sizeY, 4);
  EXPECT_EQ(h.recordSize, 46);
  EXPECT_EQ(h.scale, 1.0);
  std::vector<unsigned char> row(40, 0x5A);
  e.writeUCharImage(4, row.data());
  e.close();
  Bytes after = readFile(path);
  ASSERT_EQ(after.size(), 5u * 230u);
  EXPECT_TRUE(std::equal(before.begin(), before.end(), after.begin())) << "images 0 and 1 must stay as they were";
  EXPECT_EQ(get16(after, 4 * 230 + 24), 5u);
  EXPECT_EQ(after[4 * 230 + 46], 0x5A);
  for (size_t k = 2 * 230; k < 4 * 230; ++k) ASSERT_EQ(after[k], 0) << k;
  TImageEnsemble again(path.c_str(), mgr.m);
  EXPECT_EQ(again.numberOfImages(), 5);
}

// ---------------------------------------------------------------- detection and damaged heads

Bytes nativeBytes(int coding, int sizeX, int sizeY, int recordSize, size_t length) {
  Bytes b(length, 0);
  if (length < 30) return b;
  double one = 1.0;
  if (length >= 46) {
    std::memcpy(&b[0], &one, 8);
    std::memcpy(&b[8], &one, 8);
    put16(b, 16, unsigned(recordSize));
    put16(b, 18, unsigned(coding));
    put16(b, 20, unsigned(sizeX));
    put16(b, 22, unsigned(sizeY));
    put16(b, 26, 1);
  }
  put16(b, 28, 3);
  return b;
}

struct Blob {
  const char* label;
  Bytes bytes;
  std::string message;  // empty: opens as a native file
};

void PrintTo(const Blob& p, std::ostream* os) { *os << p.label; }

class NativeDetection : public testing::TestWithParam<Blob> {};

TEST_P(NativeDetection, OnlyConsistentHeadsAreTaken) {
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("blob");
  writeFile(path, GetParam().bytes);
  TImageEnsemble e(mgr.m);
  std::string text = GetParam().message;
  if (text.empty()) {
    ASSERT_NO_THROW(e.open(path.c_str()));
    EXPECT_EQ(e.formatID(), idKAV());
    EXPECT_EQ(e.numberOfImages(), 2);
    return;
  }
  if (text == "unknown")
    text = "Unknown type of file " + path + "\n or code has not been generated for this format( see file zqorcfg).";
  EXPECT_TRUE(raises([&] { e.open(path.c_str()); }, 3, text, text.rfind("Unknown", 0) == 0 ? "zsigens1" : "zkavdrv"));
  EXPECT_FALSE(e.is_open());
}

INSTANTIATE_TEST_SUITE_P(
    Native, NativeDetection,
    testing::Values(Blob{"Valid", nativeBytes(stUChar, 10, 4, 46, 460), ""},
                    Blob{"MarkInThirtyBytes", nativeBytes(0, 0, 0, 0, 30), "unknown"},
                    Blob{"CodingFive", nativeBytes(5, 10, 4, 46, 460), "unknown"},
                    Blob{"CodingOneBit", nativeBytes(stOneBit, 10, 4, 46, 460), "unknown"},
                    Blob{"RecordSizeMismatch", nativeBytes(stUChar, 10, 4, 60, 600), "unknown"},
                    Blob{"DoubleRecordTooShort", nativeBytes(stDouble, 10, 4, 46, 460), "unknown"},
                    Blob{"ZeroWidth", nativeBytes(stUChar, 0, 4, 46, 460),
                         "Damaged native file head: image size 0 x 4 is empty."},
                    Blob{"ZeroHeight", nativeBytes(stUChar, 10, 0, 46, 460),
                         "Damaged native file head: image size 10 x 0 is empty."}),
    [](const testing::TestParamInfo<Blob>& info) { return std::string(info.param.label); });

TEST(NativeDetection, HeadOfAnotherGeometryIsRefused) {
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("mixed.kav");
  makeNative(mgr.m, path, stUChar, 10, 4, 2);
  Bytes b = readFile(path);
  put16(b, 230 + 20, 11);
  writeFile(path, b);
  TImageEnsemble e(path.c_str(), mgr.m);
  const std::string text = "Image 1 of file " + path + " has a head of another geometry (coding 9, 11 x 4, record 46).";
  EXPECT_TRUE(raises([&] { e.getUCharImage(1); }, 3, text, "zkavdrv"));
  EXPECT_EQ(e.imageIsLoaded(1), 0);
  EXPECT_TRUE(raises([&] { e.head(1); }, 3, text, "zkavdrv"));
  std::vector<unsigned char> px(40);
  e.readUCharImage(0, px.data());
  EXPECT_EQ(px, nativePattern(0, 40));
}

// ---------------------------------------------------------------- refused geometries

struct Refusal { const char* label; int coding, sizeX, sizeY, images; const char* message; };

void PrintTo(const Refusal& p, std::ostream* os) { *os << p.label; }

class NativeCreate : public testing::TestWithParam<Refusal> {};

TEST_P(NativeCreate, RefusesWhatTheFormatCannotHold) {
  const Refusal& p = GetParam();
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("new.kav");
  TImageEnsemble e(mgr.m);
  EXPECT_TRUE(raises([&] { e.open(path.c_str(), fiKavFileInfo(p.coding, p.sizeX, p.sizeY, p.images, "n")); }, 3,
                     std::string("Cannot create a native file: ") + p.message, "zkavdrv"));
  EXPECT_FALSE(e.is_open());
  ASSERT_NO_THROW(e.open(path.c_str(), fiKavFileInfo(stUChar, 2, 2, 1, "n")));
  EXPECT_EQ(e.numberOfImages(), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Native, NativeCreate,
    testing::Values(Refusal{"CodingFive", 5, 10, 4, 1, "coding 5 is not one of 6..13."},
                    Refusal{"CodingOneBit", stOneBit, 10, 4, 1, "coding 14 is not one of 6..13."},
                    Refusal{"WidthOver65535", stUChar, 70000, 4, 1, "image size 70000 x 4 is outside 1..65535."},
                    Refusal{"HeightZero", stUChar, 10, 0, 1, "image size 10 x 0 is outside 1..65535."},
                    Refusal{"RowOver65535Bytes", stDouble, 10000, 2, 1,
                            "a row of 80000 bytes exceeds the record limit of 65535."},
                    Refusal{"NegativeCount", stUChar, 10, 4, -1, "negative number of images -1."},
                    Refusal{"OneHugeImage", stDouble, 8000, 65535, 1,
                            "1 images of 4194304000 bytes would pass 2 GiB."},
                    Refusal{"ManyImages", stUChar, 10, 4, 10000000,
                            "10000000 images of 230 bytes would pass 2 GiB."}),
    [](const testing::TestParamInfo<Refusal>& info) { return std::string(info.param.label); });

TEST(NativeCreate, StreamTooSmallForTheFileIsReported) {
  Manager mgr;
  std::vector<unsigned char> memory(100);
  TImageEnsemble e(mgr.m);
  EXPECT_TRUE(raises([&] { e.open(new TqorMemoryStream(memory.data(), 100), fiKavFileInfo(stUChar, 10, 4, 2, "")); },
                     3, "Error while writing to disk(output stream). Disk full?", "zkavdrv"));
  EXPECT_FALSE(e.is_open());
}

// ---------------------------------------------------------------- chunks

struct Chunking { int coding, sizeX, sizeY; };

void PrintTo(const Chunking& p, std::ostream* os) {
  *os << stCodingName(p.coding) << " " << p.sizeX << "x" << p.sizeY;
}

class NativeChunks : public testing::TestWithParam<Chunking> {};

TEST_P(NativeChunks, ChunkedTransfersMatchPlainOnes) {
  const Chunking& p = GetParam();
  const int n = p.sizeX * p.sizeY;
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("chunks.kav");
  const size_t count = static_cast<size_t>(n);
  std::vector<double> data(count), plain(count), chunked(count, -7);
  for (int k = 0; k < n; ++k) data[size_t(k)] = (k * 13) % 97;
  TImageEnsemble e(path.c_str(), fiKavFileInfo(p.coding, p.sizeX, p.sizeY, 2, "c"), mgr.m);
  const int chunks = (p.sizeY + 14) / 15;
  EXPECT_EQ(e.rowsPerChunk(), 15);
  EXPECT_EQ(e.chunksNumber(), chunks);
  e.writeDoubleImage(0, data.data());
  e.readDoubleImage(0, plain.data());

  e.setf(qorChunkMode);
  e.writeDoubleImage(1, data.data());
  EXPECT_EQ(e.imageIsLoaded(1), 1);
  int calls = 0;
  while (e.writeNextChunk() == 0) ASSERT_LE(++calls, chunks);
  EXPECT_EQ(calls, chunks);
  EXPECT_EQ(e.imageIsLoaded(1), 0);

  e.readDoubleImage(1, chunked.data());
  EXPECT_EQ(e.imageIsLoaded(1), 1) << "the image stays in its cell until the last chunk";
  calls = 0;
  while (e.readNextChunk() == 0) {
    ASSERT_LE(++calls, chunks);
    if (calls < chunks) {
      EXPECT_EQ(e.imageIsLoaded(1), 1);
    }
  }
  EXPECT_EQ(calls, chunks);
  EXPECT_EQ(e.imageIsLoaded(1), 0);
  EXPECT_EQ(chunked, plain);

  TDoubleImage* img = e.getDoubleImage(0);
  while (e.readNextChunk() == 0) {
  }
  EXPECT_EQ(std::vector<double>(img->elements(), img->elements() + n), plain);
  e.freeImage(0);
  e.close();
  Bytes b = readFile(path);
  const size_t image = b.size() / 2;
  EXPECT_EQ(std::memcmp(&b[46], &b[image + 46], image - 46), 0) << "rows written in chunks differ";
}

INSTANTIATE_TEST_SUITE_P(Native, NativeChunks,
                         testing::Values(Chunking{stUChar, 10, 40}, Chunking{stUChar, 10, 15},
                                         Chunking{stSChar, 7, 16}, Chunking{stDouble, 100, 31},
                                         Chunking{stSShort, 30, 1}, Chunking{stULong, 12, 45}),
                         [](const testing::TestParamInfo<Chunking>& info) {
                           return std::string(stCodingName(info.param.coding)) + "_" +
                                  std::to_string(info.param.sizeX) + "x" + std::to_string(info.param.sizeY);
                         });

}  // namespace
