// In-memory images: geometry, bounds checks, the packed RGB and one-bit
// layouts, the DIB header and colour table, copies and pixel utilities.

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <type_traits>
#include <vector>

#include "zsigens2.h"
#include "zsignal1.h"

#include "testutil.h"

using qortest::raises;

namespace {

// Image constructors are protected: these make them reachable without an ensemble.
struct UChar : TUCharImage {
  UChar(int y, int x, void* m = nullptr) : TUCharImage(nullptr, y, x, 0, m) {}
};
struct SChar : TSCharImage {
  SChar(int y, int x, void* m = nullptr) : TSCharImage(nullptr, y, x, 0, m) {}
};
struct SShort : TSShortImage {
  SShort(int y, int x, void* m = nullptr) : TSShortImage(nullptr, y, x, 0, m) {}
};
struct Double : TDoubleImage {
  Double(int y, int x, void* m = nullptr) : TDoubleImage(nullptr, y, x, 0, m) {}
};
struct RGB : TRGBImage {
  RGB(int y, int width, void* m = nullptr) : TRGBImage(nullptr, y, width, 0, m) {}
};
struct OneBit : TOneBitImage {
  OneBit(int y, int width, void* m = nullptr) : TOneBitImage(nullptr, y, width, 0, m) {}
};
struct Dib : TWinDibImage {
  Dib(int y, int x, int bpp, void* header = nullptr, void* pixels = nullptr)
      : TWinDibImage(nullptr, y, x, 0, header, pixels, bpp) {}
};

static_assert(!std::is_copy_constructible_v<TqorImageBase> && !std::is_copy_assignable_v<TqorImageBase>);
static_assert(!std::is_copy_constructible_v<TUCharImage> && !std::is_copy_constructible_v<TDoubleImage>);
static_assert(!std::is_copy_constructible_v<TRGBImage> && !std::is_copy_constructible_v<TOneBitImage>);
static_assert(!std::is_copy_constructible_v<TWinDibImage> && !std::is_copy_assignable_v<TWinDibImage>);

std::string rowError(int r, int n) {
  return "Index range check error r= " + std::to_string(r) + " r must be 0 <= r < " + std::to_string(n) + ".";
}
std::string columnError(int s, int n) {
  return "Index range check error s = " + std::to_string(s) + ", s must be 0 <= s < " + std::to_string(n) + ".";
}
std::string linearError(long j, long n) {
  return "Index range check error j = " + std::to_string(j) + ", j must be 0 <= j < " + std::to_string(n) + ".";
}
std::string copyError(int dy, int sy, int dx, int sx) {
  char text[300];
  std::snprintf(text, sizeof text,
                "Error copy images in memory!\ndest->sizeY()!=source->sizeY() ||  dest->sizeX()!=source->sizeX()\n"
                "dest->sizeY()= %d source->sizeY()= %d  dest->sizeX()= %d  source->sizeX() %d.",
                dy, sy, dx, sx);
  return text;
}

bool samePalette(TqorImageBase& a, TqorImageBase& b) {
  return std::memcmp(a.getPalette(), b.getPalette(), 256 * sizeof(TqorPaletteItem)) == 0;
}

// ---------------------------------------------------------------- the seven classes

using Factory = TqorImageBase* (*)(int y, int x, void* memory);
struct Kind {
  const char* name;
  Factory make;
  int coding;
  double max;
  double min;
};
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

template <class T>
TqorImageBase* make(int y, int x, void* m) {
  return new T(y, x, m);
}
TqorImageBase* makeDib(int y, int x, void* m) { return new Dib(y, x, 24, nullptr, m); }

const Kind kKinds[] = {
    {"Double", make<Double>, stDouble, DBL_MAX, -DBL_MAX}, {"SChar", make<SChar>, stSChar, 127, -128},
    {"SShort", make<SShort>, stSShort, 32767, -32768},     {"UChar", make<UChar>, stUChar, 255, 0},
    {"RGB", make<RGB>, stRGB, 255, 0},                     {"OneBit", make<OneBit>, stOneBit, 255, 0},
    {"Dib", makeDib, stBitmap, 0, 0}};

class ImageKind : public testing::TestWithParam<Kind> {};

TEST_P(ImageKind, CodingAndRange) {
  std::unique_ptr<TqorImageBase> img(GetParam().make(2, 3, nullptr));
  ASSERT_TRUE(img && img->valid());
  EXPECT_NE(img->ptr(), nullptr);
  EXPECT_EQ(img->coding(), GetParam().coding);
  EXPECT_EQ(img->maxType(), GetParam().max);
  EXPECT_EQ(img->minType(), GetParam().min);
}

TEST_P(ImageKind, CallerMemoryIsLeftAlone) {
  // stack memory: freeing it would be caught at once
  alignas(double) unsigned char memory[256];
  std::memset(memory, 0x5a, sizeof memory);
  {
    std::unique_ptr<TqorImageBase> img(GetParam().make(2, 3, memory));
    ASSERT_TRUE(img->valid());
    EXPECT_EQ(img->ptr(), memory);
  }
  for (unsigned char b : memory) ASSERT_EQ(b, 0x5a);
}

INSTANTIATE_TEST_SUITE_P(All, ImageKind, testing::ValuesIn(kKinds));

struct Geometry {
  int y;
  int x;
  bool external;
};

class BadGeometry : public testing::TestWithParam<std::tuple<Kind, Geometry>> {};

TEST_P(BadGeometry, LeavesImageInvalid) {
  const Kind& kind = std::get<0>(GetParam());
  const Geometry& g = std::get<1>(GetParam());
  alignas(double) unsigned char dummy[64];
  std::unique_ptr<TqorImageBase> img(kind.make(g.y, g.x, g.external ? dummy : nullptr));
  ASSERT_TRUE(img);
  EXPECT_EQ(img->valid(), 0);
  if (!g.external) {
    EXPECT_EQ(img->ptr(), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    All, BadGeometry,
    testing::Combine(testing::ValuesIn(kKinds),
                     testing::Values(Geometry{-1, 5, false}, Geometry{5, -1, false}, Geometry{-3, -3, false},
                                     Geometry{-1, 5, true}, Geometry{70000, 70000, true}, Geometry{INT_MAX, 2, true},
                                     Geometry{5, INT_MIN, true})));

TEST(OversizedImage, AllocatesNothingAndStaysInvalid) {
  UChar u(70000, 70000);
  Double d(70000, 70000);
  RGB rgb(70000, 70000);
  Dib dib(70000, 70000, 8);
  for (TqorImageBase* img : std::initializer_list<TqorImageBase*>{&u, &d, &rgb, &dib}) {
    EXPECT_EQ(img->valid(), 0);
    EXPECT_EQ(img->ptr(), nullptr);
  }
  EXPECT_EQ(u.size(), 0);
  unsigned char dummy[16];
  RGB wide(1, 800000000, dummy);  // 3 x width does not fit
  EXPECT_EQ(wide.valid(), 0);
  RGB negative(1, -1000000000, dummy);  // 3 x width must not wrap to a positive row length
  EXPECT_EQ(negative.valid(), 0);
  OneBit many(4096, 1 << 20, dummy);  // bytes fit, pixels do not
  EXPECT_EQ(many.valid(), 0);
  EXPECT_EQ(many.size(), 0);
  Dib deep(30000, 30000, 24);  // pixel count fits, bytes do not
  EXPECT_EQ(deep.valid(), 0);
  EXPECT_EQ(deep.getPixelData(), nullptr);
  Dib noDepth(2, 3, 0), negativeDepth(2, 3, -8);
  EXPECT_EQ(noDepth.valid(), 0);
  EXPECT_EQ(negativeDepth.valid(), 0);
}

// ---------------------------------------------------------------- bounds checks

TEST(Bounds, RowPointerAndLinearIndex) {
  UChar img(2, 3);
  EXPECT_EQ(img.rowPtr(1), img.elements() + 3);
  EXPECT_TRUE(raises([&] { img.rowPtr(2); }, 3, rowError(2, 2), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.rowPtr(-1); }, 3, rowError(-1, 2), "zsignal1"));
  UChar noColumns(2, 0);
  EXPECT_TRUE(raises([&] { noColumns.rowPtr(0); }, 3, columnError(0, 0), "zsignal1"));
  UChar noRows(0, 3);
  EXPECT_TRUE(raises([&] { noRows.rowPtr(0); }, 3, rowError(0, 0), "zsignal1"));
  Double d(2, 2);
  EXPECT_TRUE(raises([&] { d[4]; }, 3, linearError(4, 4), "zsignal1"));
  EXPECT_TRUE(raises([&] { d[-1]; }, 3, linearError(-1, 4), "zsignal1"));
}

TEST(MaxAndMin, ScansRawElementsAndRejectsEmptyImages) {
  SChar s(1, 3);
  s.elements()[0] = 5;
  s.elements()[1] = static_cast<signed char>(200);  // -56
  s.elements()[2] = 100;
  double hi = 0, lo = 0;
  s.getMaxAndMin(&hi, &lo);
  EXPECT_EQ(hi, 100);
  EXPECT_EQ(lo, -56);
  Double d(1, 2);
  d[0] = -0.25;
  d[1] = 1e300;
  d.getMaxAndMin(&hi, &lo);
  EXPECT_EQ(hi, 1e300);
  EXPECT_EQ(lo, -0.25);
  Dib dib(1, 1, 24);
  hi = lo = 7;
  dib.getMaxAndMin(&hi, &lo);
  EXPECT_EQ(hi, 7);
  EXPECT_EQ(lo, 7);
  UChar u(0, 4);
  SShort sshort(3, 0);
  RGB rgb(0, 2);
  OneBit bits(3, 0);
  for (TqorImageBase* img : std::initializer_list<TqorImageBase*>{&u, &sshort, &rgb, &bits})
    EXPECT_TRUE(raises([&] { img->getMaxAndMin(&hi, &lo); }, 3, linearError(0, 0), "zsignal1"));
}

// ---------------------------------------------------------------- RGB layout

TEST(RGBImage, PixelBytesAndChecks) {
  RGB img(2, 5);
  EXPECT_EQ(img.sizeX(), 5);
  EXPECT_EQ(img.size(), 10);
  EXPECT_EQ(static_cast<TqorImageBase&>(img).sizeX(), 15);
  unsigned char* base = img.elements();
  EXPECT_EQ(&img.g(1, 2), base + 1 * 15 + 7);
  EXPECT_EQ(&img.r(0, 4), base + 12);
  EXPECT_EQ(&img.b(9L), base + 29);
  EXPECT_EQ(&img.r(3L), base + 9);
  EXPECT_TRUE(raises([&] { img.r(0, 5); }, 3, columnError(15, 15), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.b(0, -1); }, 3, columnError(-1, 15), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.g(2, 0); }, 3, rowError(2, 2), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.r(10L); }, 3, linearError(30, 30), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.g(-1L); }, 3, linearError(-2, 30), "zsignal1"));
}

TEST(RGBImage, HugeLinearIndexIsRejected) {
  RGB img(2, 5);
  // 3 x index must not overflow on its way to the check
  EXPECT_THROW(img.b(LONG_MAX), x_qor);
  EXPECT_THROW(img.r(LONG_MAX / 3 + 1), x_qor);
}

// ---------------------------------------------------------------- one-bit layout

struct RowCase {
  int width;
  int bytes;
};

class OneBitRow : public testing::TestWithParam<RowCase> {};

TEST_P(OneBitRow, RoundsUpToFourBytes) {
  EXPECT_EQ(TOneBitImage::getSizeOfRow(GetParam().width), GetParam().bytes);
}

INSTANTIATE_TEST_SUITE_P(Widths, OneBitRow,
                         testing::Values(RowCase{0, 0}, RowCase{-5, 0}, RowCase{1, 4}, RowCase{32, 4}, RowCase{33, 8},
                                         RowCase{64, 8}, RowCase{65, 12}, RowCase{INT_MAX, 268435456}));

TEST(OneBitImage, BitPlacementAndPalette) {
  OneBit img(2, 10);
  std::memset(img.elements(), 0, 8);
  EXPECT_EQ(img.wholeRowSize(), 4);
  EXPECT_EQ(img.wholeSize(), 8);
  EXPECT_EQ(img.sizeX(), 10);
  EXPECT_EQ(img.size(), 20);
  img.putBit(0, 9, 1);
  EXPECT_EQ(img.elements()[1], 0x40);  // bit 6 of byte 1
  img.putBit(1, 0, 1);
  EXPECT_EQ(img.elements()[4], 0x80);
  EXPECT_EQ(img.getBit(0, 9), 1);
  EXPECT_EQ(img.getBit(0, 8), 0);
  EXPECT_EQ(img.paletteSize(), 2);
  const TqorPaletteItem* p = img.getPalette();
  EXPECT_EQ(p[0].red + p[0].green + p[0].blue, 0);
  EXPECT_EQ(p[1].red & p[1].green & p[1].blue, 255);
}

TEST(OneBitImage, PutBitOrsLowestBitOnly) {
  OneBit img(1, 16);
  std::memset(img.elements(), 0, 4);
  img.putBit(0, 3, 255);  // one pixel, not eight
  EXPECT_EQ(img.elements()[0], 0x10);
  img.putBit(0, 4, 2);  // lowest bit clear: nothing set
  EXPECT_EQ(img.elements()[0], 0x10);
  img.putBit(0, 3, 0);  // never clears
  EXPECT_EQ(img.elements()[0], 0x10);
  img.putBit(0, 15, -1);
  EXPECT_EQ(img.elements()[1], 0x01);
}

TEST(OneBitImage, ChecksRowAndByteColumn) {
  OneBit img(2, 10);
  EXPECT_NO_THROW(img.getBit(1, 31));  // padding columns are accepted
  EXPECT_TRUE(raises([&] { img.getBit(0, 32); }, 3, columnError(4, 4), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.putBit(0, -1, 1); }, 3, columnError(-1, 4), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.putBit(2, 0, 1); }, 3, rowError(2, 2), "zsignal1"));
  EXPECT_TRUE(raises([&] { img.getBit(-1, 99); }, 3, rowError(-1, 2), "zsignal1"));
}

// ---------------------------------------------------------------- DIB header and colour table

struct InfoCase {
  int bpp;
  int infoSize;
  int bitCount;
  int coloursUsed;
  int entries;
};

class BitmapInfo : public testing::TestWithParam<InfoCase> {};

TEST_P(BitmapInfo, HeaderAndColourTable) {
  const InfoCase& c = GetParam();
  EXPECT_EQ(TWinDibImage::bitmapInfoSize(c.bpp), c.infoSize);
  TqorPaletteItem palette[256];
  for (int i = 0; i < 256; ++i) palette[i] = {uint8_t(i), uint8_t(i ^ 0x55), uint8_t(255 - i)};
  std::vector<unsigned char> out(1100, 0xab);
  EXPECT_EQ(TWinDibImage::writeBitmapInfo(7, 3, c.bpp, palette, out.data()), 0);

  const unsigned char header[40] = {40, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0, 1, 0, uint8_t(c.bitCount), 0,
                                    0,  0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                   0,
                                    uint8_t(c.coloursUsed)};
  EXPECT_EQ(std::memcmp(out.data(), header, 40), 0);
  for (int i = 0; i < c.entries; ++i) {
    const unsigned char* quad = &out[40 + 4 * size_t(i)];
    ASSERT_EQ(quad[0], palette[i].blue) << i;
    ASSERT_EQ(quad[1], palette[i].green) << i;
    ASSERT_EQ(quad[2], palette[i].red) << i;
    ASSERT_EQ(quad[3], 0) << i;
  }
  for (size_t i = 40 + 4 * size_t(c.entries); i < size_t(c.infoSize); ++i) ASSERT_EQ(out[i], 0) << i;
  for (size_t i = size_t(c.infoSize); i < out.size(); ++i) ASSERT_EQ(out[i], 0xab) << i;
}

INSTANTIATE_TEST_SUITE_P(Depths, BitmapInfo,
                         testing::Values(InfoCase{1, 48, 1, 0, 2}, InfoCase{4, 104, 8, 16, 16},
                                         InfoCase{8, 1064, 8, 0, 256}, InfoCase{15, 40, 24, 0, 0},
                                         InfoCase{16, 40, 24, 0, 0}, InfoCase{24, 40, 24, 0, 0},
                                         InfoCase{32, 40, 24, 0, 0}, InfoCase{64, 40, 64, 0, 0},
                                         InfoCase{0, 40, 0, 0, 0}));

struct StrideCase {
  int bpp;
  int width;
  int stride;
};

class DibRows : public testing::TestWithParam<StrideCase> {};

TEST_P(DibRows, BottomUpPaddedRows) {
  const StrideCase& c = GetParam();
  Dib img(3, c.width, c.bpp);
  ASSERT_TRUE(img.valid());
  EXPECT_EQ(img.rowStride(), c.stride);
  EXPECT_EQ(img.bitmapBitsSize(), 3L * c.stride);
  unsigned char* bits = static_cast<unsigned char*>(img.getPixelData());
  EXPECT_EQ(img.rowPtr(0), bits + 2 * c.stride);
  EXPECT_EQ(img.rowPtr(2), bits);
}

INSTANTIATE_TEST_SUITE_P(Depths, DibRows,
                         testing::Values(StrideCase{1, 10, 4}, StrideCase{1, 33, 8}, StrideCase{4, 3, 4},
                                         StrideCase{8, 5, 8}, StrideCase{16, 2, 8}, StrideCase{24, 3, 12},
                                         StrideCase{32, 3, 12}));

TEST(DibImage, RowPointerWithoutRows) {
  Dib empty(0, 4, 24);
  ASSERT_TRUE(empty.valid());
  EXPECT_EQ(empty.rowPtr(0), empty.getPixelData());
  Dib invalid(-2, 4, 24);
  EXPECT_EQ(invalid.rowPtr(0), nullptr);
  unsigned char header[40], pixels[24];
  {
    Dib external(2, 3, 24, header, pixels);
    EXPECT_EQ(external.getBITMAPINFOHEADER(), header);
    EXPECT_EQ(external.getPixelData(), pixels);
  }
}

TEST(DibImage, UpdateAfterReadingWritesHeaderForFileDepth) {
  Dib img(2, 3, 4);
  EXPECT_EQ(img.bitsPerPixel(), 8);
  EXPECT_EQ(img.bitmapInfoSize(), 104);
  for (int i = 0; i < 256; ++i) img.getPalette()[i] = {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i)};
  EXPECT_EQ(img.updateAfterReading(), 0);
  const unsigned char* info = static_cast<const unsigned char*>(img.getBITMAPINFOHEADER());
  EXPECT_EQ(info[14], 8);
  EXPECT_EQ(info[32], 16);
  EXPECT_EQ(info[40 + 4 * 15 + 2], 15);
  EXPECT_EQ(info[40 + 4 * 15 + 0], uint8_t(45));
}

struct PaletteCase {
  int fileBpp;       // depth the DIB was made for (fixes the header block size)
  int headerBits;    // bit count the header claims
  int colours;       // colours-used the header claims
  int paletteSize;   // entries read back
};

class UpdateBeforeWriting : public testing::TestWithParam<PaletteCase> {};

TEST_P(UpdateBeforeWriting, ReadsAtMostWhatTheBlockHolds) {
  const PaletteCase& c = GetParam();
  Dib img(1, 2, c.fileBpp);
  ASSERT_TRUE(img.valid());
  unsigned char* info = static_cast<unsigned char*>(img.getBITMAPINFOHEADER());
  const int size = img.bitmapInfoSize();
  std::memset(info, 0, size_t(size));
  TqorBITMAPINFOHEADER h;
  h.fill();
  h.biBitCount = uint16_t(c.headerBits);
  h.biClrUsed = uint32_t(c.colours);
  h.toBytes(info);
  for (int i = 0; 40 + 4 * i + 3 < size; ++i) {
    info[40 + 4 * i] = uint8_t(i);          // blue
    info[40 + 4 * i + 1] = uint8_t(i + 1);  // green
    info[40 + 4 * i + 2] = uint8_t(i + 2);  // red
  }
  EXPECT_EQ(img.updateBeforeWriting(), 0);
  EXPECT_EQ(img.paletteSize(), c.paletteSize);
  for (int i = 0; i < c.paletteSize; ++i) {
    const TqorPaletteItem& p = img.getPalette()[i];
    ASSERT_EQ(p.red, uint8_t(i + 2)) << i;
    ASSERT_EQ(p.green, uint8_t(i + 1)) << i;
    ASSERT_EQ(p.blue, uint8_t(i)) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Headers, UpdateBeforeWriting,
    testing::Values(PaletteCase{8, 8, 0, 256}, PaletteCase{8, 8, 12, 12}, PaletteCase{8, 8, 1000, 256},
                    PaletteCase{1, 1, 0, 2}, PaletteCase{1, 1, 256, 2}, PaletteCase{4, 8, 16, 16},
                    PaletteCase{4, 8, 0, 16}, PaletteCase{24, 24, 0, 0}, PaletteCase{24, 24, 300, 0},
                    PaletteCase{24, 8, 0, 0}, PaletteCase{8, 16, 0, 256}, PaletteCase{8, 8, -1, 256}));

// ---------------------------------------------------------------- copies

struct CopyCase {
  const char* name;
  void (*run)();
  std::string message;
};
void PrintTo(const CopyCase& c, std::ostream* os) { *os << c.name; }

class CopyMismatch : public testing::TestWithParam<CopyCase> {};

TEST_P(CopyMismatch, RaisesCopyError) {
  EXPECT_TRUE(raises(GetParam().run, 3, GetParam().message, "zsignal2"));
}

INSTANTIATE_TEST_SUITE_P(
    Geometry, CopyMismatch,
    testing::Values(
        CopyCase{"uchar", [] { UChar d(4, 5), s(3, 5); imgcpy(&d, &s); }, copyError(4, 3, 5, 5)},
        CopyCase{"schar", [] { SChar d(2, 5), s(2, 6); sigcpy(&d, &s); }, copyError(2, 2, 5, 6)},
        CopyCase{"sshort", [] { SShort d(1, 1), s(0, 0); imgcpy(&d, &s); }, copyError(1, 0, 1, 0)},
        CopyCase{"double", [] { Double d(3, 2), s(2, 3); imgcpy(&d, &s); }, copyError(3, 2, 2, 3)},
        // widths in pixels, not bytes
        CopyCase{"rgb", [] { RGB d(2, 4), s(2, 5); imgcpy(&d, &s); }, copyError(2, 2, 4, 5)},
        // same bytes per row, different widths
        CopyCase{"onebit", [] { OneBit d(2, 10), s(2, 12); imgcpy(&d, &s); }, copyError(2, 2, 10, 12)},
        CopyCase{"dib size", [] { Dib d(3, 3, 8), s(2, 3, 8); imgcpy(&d, &s); }, copyError(3, 2, 3, 3)},
        // a different depth would make the rows differ in length
        CopyCase{"dib depth", [] { Dib d(2, 3, 1), s(2, 3, 8); imgcpy(&d, &s); }, copyError(2, 2, 3, 3)},
        CopyCase{"dib table", [] { Dib d(2, 3, 8), s(2, 3, 4); imgcpy(&d, &s); }, copyError(2, 2, 3, 3)}));

TEST(Copy, OneBitCopiesPaddedRowsOnly) {
  unsigned char src[32], dst[32];
  for (int i = 0; i < 32; ++i) src[i] = uint8_t(i + 1);
  std::memset(dst, 0xee, sizeof dst);
  OneBit s(4, 10, src), d(4, 10, dst);
  EXPECT_EQ(imgcpy(&d, &s), 0);
  EXPECT_EQ(std::memcmp(dst, src, 16), 0);
  for (int i = 16; i < 32; ++i) EXPECT_EQ(dst[i], 0xee) << i;
}

TEST(Copy, ScalarPixelsAndPalette) {
  double src[7] = {1, 2, 3, 4, 5, 6, 99}, dst[7] = {0, 0, 0, 0, 0, 0, -1};
  Double s(2, 3, src), d(2, 3, dst);
  s.setPaletteSize(2);
  s.getPalette()[255] = {1, 2, 3};
  EXPECT_EQ(sigcpy(&d, &s), 0);
  EXPECT_TRUE(std::equal(src, src + 6, dst));
  EXPECT_EQ(dst[6], -1);
  EXPECT_EQ(d.paletteSize(), 2);
  EXPECT_TRUE(samePalette(d, s));  // all 256 entries
}

TEST(Copy, RGBCopiesNoPalette) {
  unsigned char src[19], dst[19];
  for (int i = 0; i < 19; ++i) src[i] = uint8_t(3 * i);
  std::memset(dst, 0xee, sizeof dst);
  RGB s(2, 3, src), d(2, 3, dst);
  s.fillPaletteAsGray();
  d.setPaletteSize(1);
  d.getPalette()[0] = {9, 9, 9};
  EXPECT_EQ(imgcpy(&d, &s), 0);
  EXPECT_EQ(std::memcmp(dst, src, 18), 0);
  EXPECT_EQ(dst[18], 0xee);
  EXPECT_EQ(d.paletteSize(), 1);
  EXPECT_EQ(d.getPalette()[0].red, 9);
}

TEST(Copy, DibCopiesPixelsHeaderAndPalette) {
  std::vector<unsigned char> sInfo(1064 + 8, 1), dInfo(1064 + 8, 0xee), sBits(8 + 8, 2), dBits(8 + 8, 0xee);
  for (size_t i = 0; i < sInfo.size(); ++i) sInfo[i] = uint8_t(i * 5);
  Dib s(2, 3, 8, sInfo.data(), sBits.data()), d(2, 3, 8, dInfo.data(), dBits.data());
  s.fillPaletteAsGray();
  EXPECT_EQ(imgcpy(&d, &s), 0);
  EXPECT_TRUE(std::equal(sInfo.begin(), sInfo.begin() + 1064, dInfo.begin()));
  EXPECT_EQ(dInfo[1064], 0xee);
  EXPECT_TRUE(std::equal(sBits.begin(), sBits.begin() + 8, dBits.begin()));
  EXPECT_EQ(dBits[8], 0xee);
  EXPECT_EQ(d.paletteSize(), 256);
  EXPECT_TRUE(samePalette(d, s));
  Dib e1(0, 3, 24), e2(0, 3, 24);  // no rows: nothing to check a row against
  EXPECT_EQ(imgcpy(&e1, &e2), 0);
}

TEST(Copy, EmptyOrInvalidImagesRaise) {
  UChar a(0, 3), b(0, 3);
  EXPECT_TRUE(raises([&] { imgcpy(&a, &b); }, 3, rowError(0, 0), "zsignal1"));
  RGB c(2, 0), d(2, 0);
  EXPECT_TRUE(raises([&] { imgcpy(&c, &d); }, 3, columnError(0, 0), "zsignal1"));
  OneBit e(0, 8), f(0, 8);
  EXPECT_TRUE(raises([&] { imgcpy(&e, &f); }, 3, rowError(0, 0), "zsignal1"));
  // the row pointer of an image without memory raises before any byte is copied
  UChar g(70000, 70000), h(70000, 70000);
  EXPECT_TRUE(raises([&] { imgcpy(&g, &h); }, 1, "Not enough memory", "zsignal1"));
  Dib i(2, 3, 0), j(2, 3, 0);
  EXPECT_TRUE(raises([&] { imgcpy(&i, &j); }, 1, "Not enough memory", "zsignal2"));
}

// ---------------------------------------------------------------- scalar product

TEST(ScalarProduct, SumsProductsAndChecksSizes) {
  double x[] = {1, 2, 3}, y[] = {4, 5, 6}, z[4] = {};
  Double a(1, 3, x), b(3, 1, y), c(2, 2, z);
  EXPECT_EQ(scalarProduct(a, b), 32);
  EXPECT_TRUE(raises([&] { scalarProduct(a, c); }, 3,
                     "Error making scalar product!\nimg1.size() != img2.sizeY()\nimg1.size()= 3 img2.sizeY() 4.",
                     "zsignal2"));
}

// ---------------------------------------------------------------- palette indices to grey

struct GreyCase {
  TqorPaletteItem colour;
  int grey;
};

TEST(GreyLevels, ReplacesIndicesByGreyOfOwnPalette) {
  const GreyCase cases[] = {{{128, 128, 128}, 128}, {{255, 0, 0}, 76}, {{0, 0, 255}, 27}, {{0, 255, 0}, 150},
                            {{255, 255, 255}, 255}, {{1, 1, 1}, 1},    {{0, 0, 0}, 0}};
  const int n = int(sizeof cases / sizeof cases[0]);
  UChar u(1, n);
  SChar s(1, n);
  for (int i = 0; i < n; ++i) {
    u.getPalette()[i] = cases[i].colour;
    s.getPalette()[i] = cases[i].colour;
    u.elements()[i] = uint8_t(i);
    s.elements()[i] = static_cast<signed char>(i - 128);
  }
  u.putGrayLevelsAsValues();
  s.putGrayLevelsAsValues();
  for (int i = 0; i < n; ++i) {
    EXPECT_EQ(u.elements()[i], cases[i].grey) << i;
    EXPECT_EQ(s.elements()[i], cases[i].grey - 128) << i;
  }
  EXPECT_EQ(u.paletteSize(), 256);
  EXPECT_EQ(u.getPalette()[200].green, 200);
  EXPECT_EQ(s.getPalette()[7].red, 7);
}

struct ClampCase {
  double value;
  double result;
};

TEST(GreyLevels, DoubleValuesClampToTable) {
  // with a grey palette every index maps to itself - 128
  const ClampCase cases[] = {{-128, -128}, {127, 127},     {0.9, 0},         {-0.9, 0},        {-128.7, -128},
                             {127.9, 127}, {128, 127},     {1e9, 127},       {-129, -128},     {-1e300, -128},
                             {HUGE_VAL, 127}, {-HUGE_VAL, -128}, {std::nan(""), -128}, {-5.5, -5}};
  const int n = int(sizeof cases / sizeof cases[0]);
  Double d(1, n);
  d.fillPaletteAsGray();
  for (int i = 0; i < n; ++i) d[i] = cases[i].value;
  d.putGrayLevelsAsValues();
  for (int i = 0; i < n; ++i) EXPECT_EQ(d[i], cases[i].result) << "value " << cases[i].value;
}

TEST(GreyLevels, EmptyImagesRaiseLinearIndexError) {
  UChar u(0, 2);
  SChar s(2, 0);
  Double d(0, 0);
  EXPECT_TRUE(raises([&] { u.putGrayLevelsAsValues(); }, 3, linearError(0, 0), "zsignal1"));
  EXPECT_TRUE(raises([&] { s.putGrayLevelsAsValues(); }, 3, linearError(0, 0), "zsignal1"));
  EXPECT_TRUE(raises([&] { d.putGrayLevelsAsValues(); }, 3, linearError(0, 0), "zsignal1"));
  EXPECT_TRUE(raises([&] { u.convertGrayToBlackWhite(); }, 3, linearError(0, 0), "zsignal1"));
  EXPECT_TRUE(raises([&] { s.convertGrayToBlackWhite(); }, 3, linearError(0, 0), "zsignal1"));
}

TEST(GreyLevels, SShortWithoutEnsemblePaletteIsLeftAlone) {
  SShort s(1, 2), empty(0, 0);
  s.elements()[0] = 300;
  s.elements()[1] = -4;
  s.putGrayLevelsAsValues();
  EXPECT_EQ(s.elements()[0], 300);
  EXPECT_EQ(s.elements()[1], -4);
  EXPECT_EQ(s.paletteSize(), 0);
  EXPECT_NO_THROW(empty.putGrayLevelsAsValues());
}

// ---------------------------------------------------------------- black and white

TEST(BlackWhite, ThresholdsAndSetsTwoEntries) {
  const unsigned char uIn[] = {0, 127, 128, 129, 255};
  const unsigned char uOut[] = {0, 0, 0, 1, 1};
  const signed char sIn[] = {-128, -1, 0, 1, 127};
  const signed char sOut[] = {-128, -128, -128, -127, -127};
  UChar u(1, 5);
  SChar s(1, 5);
  std::memcpy(u.elements(), uIn, 5);
  std::memcpy(s.elements(), sIn, 5);
  u.fillPaletteAsGray();
  s.setPaletteSize(7);
  s.getPalette()[2] = {3, 4, 5};
  u.convertGrayToBlackWhite();
  s.convertGrayToBlackWhite();
  EXPECT_EQ(std::memcmp(u.elements(), uOut, 5), 0);
  EXPECT_EQ(std::memcmp(s.elements(), sOut, 5), 0);
  for (TqorImageBase* img : std::initializer_list<TqorImageBase*>{&u, &s}) {
    const TqorPaletteItem* p = img->getPalette();
    EXPECT_EQ(p[0].red | p[0].green | p[0].blue, 0);
    EXPECT_EQ(p[1].red & p[1].green & p[1].blue, 255);
  }
  EXPECT_EQ(u.paletteSize(), 256);
  EXPECT_EQ(s.paletteSize(), 7);
  EXPECT_EQ(s.getPalette()[2].blue, 5);
  EXPECT_EQ(u.getPalette()[2].blue, 2);
}

}  // namespace
