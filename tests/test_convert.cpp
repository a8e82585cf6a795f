// Coding tables, row converters and converter sets (zsigens2).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <vector>

#include "zsigens2.h"

namespace {

const double dmax = std::numeric_limits<double>::max();
const double nan = std::numeric_limits<double>::quiet_NaN();
const double inf = std::numeric_limits<double>::infinity();

// Runs f, which must raise x_qor from zsigens2 with the given code and text.
void expectRaise(const std::function<void()>& f, int code, const std::string& text) {
  try {
    f();
  } catch (const x_qor& e) {
    EXPECT_EQ(e.error(), code);
    const std::string where = " This error occured in file \"zsigens2\" on line ";
    const std::string prefix = "Error! " + text + where;
    const std::string msg = e.msg();
    ASSERT_EQ(msg.compare(0, prefix.size(), prefix), 0) << msg;
    const std::string line = msg.substr(prefix.size());
    ASSERT_GE(line.size(), 2u) << msg;
    EXPECT_EQ(line.back(), '.') << msg;
    EXPECT_EQ(line.find_first_not_of("0123456789"), line.size() - 1) << msg;
    return;
  }
  ADD_FAILURE() << "nothing raised, expected: " << text;
}

using Owned = std::unique_ptr<TImgConvertA2B>;

// ---------------------------------------------------------------- coding tables

struct CodingCase {
  int value;
  int index;
  const char* name;
};

const CodingCase stCases[] = {
    {6, 0, "stDouble"}, {7, 1, "stSChar"},  {8, 3, "stSShort"}, {9, 2, "stUChar"},
    {10, 4, "stUShort"}, {11, 5, "stSLong"}, {12, 6, "stULong"}, {13, 7, "stRGB"},
    {14, 8, "stOneBit"}, {17, 9, "stBitmap"},
};

const CodingCase bitsCases[] = {
    {1, 0, "image1BitPerPix"},   {4, 1, "image4BitPerPix"},   {8, 2, "image8BitPerPix"},
    {15, 3, "image15BitPerPix"}, {16, 4, "image16BitPerPix"}, {24, 5, "image24BitPerPix"},
    {32, 6, "image32BitPerPix"},
};

TEST(CodingTables, StCodesHaveTheirIndexAndName) {
  const int constants[] = {stDouble, stSChar, stSShort, stUChar,  stUShort,
                           stSLong,  stULong, stRGB,    stOneBit, stBitmap};
  ASSERT_EQ(sizeof constants / sizeof constants[0], sizeof stCases / sizeof stCases[0]);
  ASSERT_EQ(stCodingCount, 10);
  int i = 0;
  for (const CodingCase& c : stCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(constants[i++], c.value);
    EXPECT_EQ(stCodingIndex(c.value), c.index);
    EXPECT_STREQ(stCodingName(c.value), c.name);
  }
}

TEST(CodingTables, BitsCodesHaveTheirIndexAndName) {
  const int constants[] = {image1BitPerPix,  image4BitPerPix,  image8BitPerPix, image15BitPerPix,
                           image16BitPerPix, image24BitPerPix, image32BitPerPix};
  ASSERT_EQ(sizeof constants / sizeof constants[0], sizeof bitsCases / sizeof bitsCases[0]);
  ASSERT_EQ(bitsCodingCount, 7);
  int i = 0;
  for (const CodingCase& c : bitsCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(constants[i++], c.value);
    EXPECT_EQ(bitsCodingIndex(c.value), c.index);
    EXPECT_STREQ(bitsCodingName(c.value), c.name);
  }
}

struct UnknownCodingCase {
  const char* what;
  std::function<void()> call;
  const char* text;
};

TEST(CodingTables, UnknownValuesRaise) {
  const UnknownCodingCase cases[] = {
      {"stCodingName(15)", [] { stCodingName(15); },
       "Unknown value of stXXXXX constant parameter = 15."},
      {"stCodingIndex(0)", [] { stCodingIndex(0); },
       "Unknown value of stXXXXX constant parameter = 0."},
      {"stCodingIndex(-6)", [] { stCodingIndex(-6); },
       "Unknown value of stXXXXX constant parameter = -6."},
      {"stCodingIndex(18)", [] { stCodingIndex(18); },
       "Unknown value of stXXXXX constant parameter = 18."},
      {"stCodingName(16)", [] { stCodingName(16); },
       "Unknown value of stXXXXX constant parameter = 16."},
      {"bitsCodingIndex(2)", [] { bitsCodingIndex(2); },
       "Unknown value of bitsPerPixel parameter = 2."},
      {"bitsCodingName(0)", [] { bitsCodingName(0); },
       "Unknown value of bitsPerPixel parameter = 0."},
      {"bitsCodingIndex(64)", [] { bitsCodingIndex(64); },
       "Unknown value of bitsPerPixel parameter = 64."},
      {"bitsCodingName(stDouble)", [] { bitsCodingName(stDouble); },
       "Unknown value of bitsPerPixel parameter = 6."},
      {"bitsCodingIndex(-1)", [] { bitsCodingIndex(-1); },
       "Unknown value of bitsPerPixel parameter = -1."},
  };
  for (const UnknownCodingCase& c : cases) {
    SCOPED_TRACE(c.what);
    expectRaise(c.call, 3, c.text);
  }
}

// ---------------------------------------------------------------- element conversion

// One value through a fresh converter from double to B; the result as double.
// The value fills a row of nine, so that the vector lanes and the scalar tail
// of the row loop must agree.
template <class B>
double viaConverter(double v, double max, double min, int scaling, int noRounding, double s) {
  TUImgConvertA2B<double, B> c(max, min, scaling, noRounding);
  if (scaling) c.setScale(1, s);
  double in[9];
  for (double& x : in) x = v;
  B out[11];
  for (B& x : out) x = B(7);
  EXPECT_EQ(c.convert(out + 1, in, 9), 9);
  EXPECT_EQ(out[0], B(7));
  EXPECT_EQ(out[10], B(7));
  for (int k = 2; k <= 9; ++k) EXPECT_EQ(std::memcmp(&out[k], &out[1], sizeof(B)), 0) << k;
  return static_cast<double>(out[1]);
}

struct ElementCase {
  const char* what;
  double (*convert)(double, double, double, int, int, double);
  double max, min;
  int scaling, noRounding;
  double scale;
  double in;
  double expected;
};

TEST(RowConversion, RoundsClipsAndScalesEachElement) {
  const double iMax = 2147483647.0, iMin = -2147483648.0, uMax = 4294967295.0;
  const ElementCase cases[] = {
      // rounding half away from zero, truncation with noRounding 1
      {"-3.5 SChar rounded", viaConverter<signed char>, 127, -128, 0, 0, 1, -3.5, -4},
      {"-3.5 SChar truncated", viaConverter<signed char>, 127, -128, 0, 1, 1, -3.5, -3},
      {"3.5 SChar rounded", viaConverter<signed char>, 127, -128, 0, 0, 1, 3.5, 4},
      {"3.5 SChar truncated", viaConverter<signed char>, 127, -128, 0, 1, 1, 3.5, 3},
      {"2.5 SShort", viaConverter<short>, 32767, -32768, 0, 0, 1, 2.5, 3},
      {"-2.5 SShort", viaConverter<short>, 32767, -32768, 0, 0, 1, -2.5, -3},
      {"2.4999 SShort", viaConverter<short>, 32767, -32768, 0, 0, 1, 2.4999, 2},
      {"-0.4 SShort", viaConverter<short>, 32767, -32768, 0, 0, 1, -0.4, 0},
      {"-0.6 SLong", viaConverter<int>, iMax, iMin, 0, 0, 1, -0.6, -1},
      {"largest below one half", viaConverter<int>, iMax, iMin, 0, 0, 1, 0.49999999999999994, 0},
      {"-127.5 SChar", viaConverter<signed char>, 127, -128, 0, 0, 1, -127.5, -128},
      {"32767.5 UShort", viaConverter<unsigned short>, 65535, 0, 0, 0, 1, 32767.5, 32768},
      {"65534.5 UShort", viaConverter<unsigned short>, 65535, 0, 0, 0, 1, 65534.5, 65535},
      {"top of SLong", viaConverter<int>, iMax, iMin, 0, 0, 1, 2147483646.5, iMax},
      {"bottom of SLong rounded", viaConverter<int>, iMax, iMin, 0, 0, 1, -2147483647.5, iMin},
      {"noRounding 2 still rounds", viaConverter<int>, iMax, iMin, 0, 2, 1, 6.5, 7},
      // clipping to the bounds
      {"300 SChar", viaConverter<signed char>, 127, -128, 0, 0, 1, 300, 127},
      {"-300 SChar", viaConverter<signed char>, 127, -128, 0, 0, 1, -300, -128},
      {"-1 UChar", viaConverter<unsigned char>, 255, 0, 0, 0, 1, -1, 0},
      {"-0.5 UShort", viaConverter<unsigned short>, 65535, 0, 0, 0, 1, -0.5, 0},
      {"65535.4 UShort", viaConverter<unsigned short>, 65535, 0, 0, 0, 1, 65535.4, 65535},
      {"255.4 UChar", viaConverter<unsigned char>, 255, 0, 0, 0, 1, 255.4, 255},
      {"1e300 UShort", viaConverter<unsigned short>, 65535, 0, 0, 0, 1, 1e300, 65535},
      {"-inf SShort", viaConverter<short>, 32767, -32768, 0, 0, 1, -inf, -32768},
      {"top of ULong", viaConverter<unsigned int>, uMax, 0, 0, 0, 1, 4294967295.4, uMax},
      {"2^31 ULong", viaConverter<unsigned int>, uMax, 0, 0, 0, 1, 2147483648.0, 2147483648.0},
      {"bottom of SLong", viaConverter<int>, iMax, iMin, 0, 0, 1, -3e9, iMin},
      {"narrow bounds low", viaConverter<unsigned char>, 200, 10, 0, 0, 1, 5, 10},
      {"narrow bounds high", viaConverter<unsigned char>, 200, 10, 0, 0, 1, 201, 200},
      // bounds wider than the element type still store in range
      {"wide bounds high", viaConverter<unsigned char>, 1000, -1000, 0, 0, 1, 300, 255},
      {"wide bounds low", viaConverter<unsigned char>, 1000, -1000, 0, 0, 1, -5, 0},
      {"wide bounds SShort", viaConverter<short>, 1e9, -1e9, 0, 1, 1, 40000.7, 32767},
      // crossed bounds: below destMin first, then above destMax
      {"crossed bounds low", viaConverter<short>, -5, 5, 0, 0, 1, 0, 5},
      {"crossed bounds high", viaConverter<short>, -5, 5, 0, 0, 1, 10, -5},
      {"crossed bounds NaN", viaConverter<short>, -5, 5, 0, 0, 1, nan, 5},
      {"crossed bounds scaled", viaConverter<double>, -5, 5, 1, 1, 0.5, 4, -5},
      // NaN has no integral value
      {"NaN UChar", viaConverter<unsigned char>, 255, 0, 0, 0, 1, nan, 0},
      {"NaN SShort scaled", viaConverter<short>, 32767, -32768, 1, 0, 0.5, nan, 0},
      {"NaN ULong", viaConverter<unsigned int>, uMax, 0, 0, 1, 1, nan, 0},
      {"NaN into narrow bounds", viaConverter<unsigned char>, 200, 10, 0, 0, 1, nan, 10},
      // scaling divides by the scale before clipping and rounding
      {"1000 / 2^-5", viaConverter<short>, 32767, -32768, 1, 0, 1.0 / 32, 1000, 32000},
      {"-1000 / 2^-5", viaConverter<short>, 32767, -32768, 1, 0, 1.0 / 32, -1000, -32000},
      {"5 / 2 rounded", viaConverter<short>, 32767, -32768, 1, 0, 2, 5, 3},
      {"5 / 2 truncated", viaConverter<short>, 32767, -32768, 1, 1, 2, 5, 2},
      {"10 / 3", viaConverter<short>, 32767, -32768, 1, 0, 3, 10, 3},
      {"3 / 0.375", viaConverter<short>, 32767, -32768, 1, 0, 0.375, 3, 8},
      {"1100 / 2^-5 clipped", viaConverter<short>, 32767, -32768, 1, 0, 1.0 / 32, 1100, 32767},
      {"scale ignored when off", viaConverter<short>, 32767, -32768, 0, 0, 1.0 / 32, 1000, 1000},
      // double destinations
      {"double rounded", viaConverter<double>, dmax, -dmax, 0, 0, 1, -2.5, -3},
      {"double truncated", viaConverter<double>, dmax, -dmax, 0, 1, 1, -2.75, -2.75},
      {"double clipped", viaConverter<double>, 10, -10, 0, 1, 1, 12.5, 10},
      {"double scaled", viaConverter<double>, dmax, -dmax, 1, 1, 0.25, 3.3, 13.2},
      // a scale that is no power of two divides: 0.625 * (1 / 3) would differ in the last bit
      {"double scaled by 3", viaConverter<double>, dmax, -dmax, 1, 1, 3, 0.625, 0.625 / 3},
      {"double huge rounded", viaConverter<double>, dmax, -dmax, 0, 0, 1, 1e300, 1e300},
      {"double 2^52 + 1 rounded", viaConverter<double>, dmax, -dmax, 0, 0, 1, 4503599627370497.0,
       4503599627370497.0},
  };
  for (const ElementCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.convert(c.in, c.max, c.min, c.scaling, c.noRounding, c.scale), c.expected);
  }
}

TEST(RowConversion, DoubleDestinationsKeepNaNAndSignOfZero) {
  TUImgConvertA2B<double, double> rounded(dmax, -dmax, 0, 0);
  const double in[] = {nan, -0.25, -0.0, 0.25};
  double out[4] = {};
  rounded.convert(out, in, 4);
  EXPECT_TRUE(std::isnan(out[0]));
  EXPECT_EQ(out[1], 0.0);
  EXPECT_TRUE(std::signbit(out[1]));
  EXPECT_TRUE(std::signbit(out[2]));
  EXPECT_FALSE(std::signbit(out[3]));

  TUImgConvertA2B<double, double> scaled(dmax, -dmax, 1, 1);
  scaled.setScale(1, 4.0);
  scaled.convert(out, in, 1);
  EXPECT_TRUE(std::isnan(out[0]));
}

// A whole row must give what each element gives on its own, whatever the
// length, and must not touch anything past count.
template <class A, class B>
void checkRowAgainstElements(TUImgConvertA2B<A, B>& c, const std::vector<A>& src) {
  const int n = static_cast<int>(src.size());
  std::vector<B> row(src.size() + 4, B(3));
  ASSERT_EQ(c.convert(row.data(), src.data(), n), n);
  for (int i = 0; i < n; ++i) {
    B one = B(5);
    c.convert(&one, &src[i], 1);
    ASSERT_EQ(std::memcmp(&row[i], &one, sizeof(B)), 0) << "element " << i << " of " << n;
  }
  for (std::size_t i = src.size(); i < row.size(); ++i) ASSERT_EQ(row[i], B(3));
}

// Source rows that cover the whole range of A, with the awkward values first.
template <class A>
std::vector<A> sourceRow(int n) {
  std::vector<A> v(n);
  if constexpr (std::is_floating_point_v<A>) {
    const A awkward[] = {nan, inf, -inf, 1e300, -1e300, -0.0, 0.49999999999999994, -2.5,
                         4503599627370497.0, 65535.5, -32768.5, 2147483647.5};
    for (int i = 0; i < n; ++i)
      v[i] = i < 12 ? awkward[i] : (i * 37 % 1401 - 700) * 0.75 + (i % 3 ? 0.5 : 0.0);
  } else {
    for (int i = 0; i < n; ++i) v[i] = static_cast<A>(static_cast<std::uint32_t>(i) * 2654435761u);
    if (n > 0) v[0] = std::numeric_limits<A>::lowest();
    if (n > 1) v[1] = std::numeric_limits<A>::max();
  }
  return v;
}

struct RowCase {
  const char* what;
  std::function<void(int)> check;
};

// A converter from A to B; scale 0 leaves the scale at 1.
template <class A, class B>
RowCase rowCase(const char* what, double max, double min, int scaling, int noRounding,
                double scale) {
  return {what, [=](int n) {
            TUImgConvertA2B<A, B> c(max, min, scaling, noRounding);
            if (scale != 0) c.setScale(scaling, scale);
            checkRowAgainstElements(c, sourceRow<A>(n));
          }};
}

TEST(RowConversion, RowsOfAnyLengthMatchElementByElement) {
  using uchar = unsigned char;
  using schar = signed char;
  using ushort = unsigned short;
  const double iMax = 2147483647.0, iMin = -2147483648.0, uMax = 4294967295.0;
  const RowCase cases[] = {
      rowCase<double, short>("double->short scaled 1/32", 32767, -32768, 1, 0, 1.0 / 32),
      rowCase<double, short>("double->short scaled 1/3", 32767, -32768, 1, 0, 1.0 / 3),
      rowCase<double, uchar>("double->uchar rounded", 255, 0, 0, 0, 0),
      rowCase<double, schar>("double->schar truncated", 127, -128, 0, 1, 0),
      rowCase<double, ushort>("double->ushort rounded", 65535, 0, 0, 0, 0),
      rowCase<double, int>("double->int rounded", iMax, iMin, 0, 0, 0),
      rowCase<double, unsigned>("double->unsigned scaled", uMax, 0, 1, 1, 1.0 / 1024),
      rowCase<double, unsigned>("double->unsigned rounded", uMax, 0, 0, 0, 0),
      rowCase<double, double>("double->double rounded scaled", dmax, -dmax, 1, 0, 0.25),
      rowCase<double, double>("double->double narrow", 100, -100, 0, 1, 0),
      rowCase<uchar, double>("uchar->double", dmax, -dmax, 1, 1, 0),
      rowCase<schar, double>("schar->double", dmax, -dmax, 1, 1, 0),
      rowCase<short, double>("short->double", dmax, -dmax, 1, 1, 0),
      rowCase<ushort, double>("ushort->double", dmax, -dmax, 1, 1, 0),
      rowCase<int, double>("int->double", dmax, -dmax, 1, 1, 0),
      rowCase<unsigned, double>("unsigned->double", dmax, -dmax, 1, 1, 0),
      rowCase<uchar, double>("uchar->double scaled 1/2", dmax, -dmax, 1, 1, 0.5),
      rowCase<short, double>("short->double scaled 3", dmax, -dmax, 1, 1, 3),
      rowCase<int, double>("int->double narrow", 1e6, -1e6, 0, 1, 0),
      rowCase<short, schar>("short->schar scaled", 127, -128, 1, 0, 256),
      rowCase<short, short>("short->short narrow", 1000, -1000, 0, 0, 0),
      rowCase<uchar, short>("uchar->short", 32767, -32768, 1, 0, 0),
      rowCase<schar, short>("schar->short scaled", 32767, -32768, 1, 0, 1.0 / 256),
      rowCase<short, uchar>("short->uchar", 255, 0, 1, 0, 0),
      rowCase<int, ushort>("int->ushort", 65535, 0, 0, 0, 0),
      rowCase<unsigned, int>("unsigned->int", iMax, iMin, 0, 1, 0),
      rowCase<schar, uchar>("schar->uchar", 255, 0, 0, 1, 0),
      rowCase<ushort, unsigned>("ushort->unsigned scaled", uMax, 0, 1, 0, 0.125),
  };
  const int lengths[] = {0, 1, 3, 4, 5, 15, 16, 17, 33, 255, 256, 257, 2049};
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.what);
    for (int n : lengths) {
      SCOPED_TRACE(n);
      c.check(n);
    }
  }
}

TEST(RowConversion, WideningKeepsEveryValue) {
  // Reading integral files into double images: every value arrives unchanged.
  std::vector<short> s = sourceRow<short>(1000);
  std::vector<double> d(s.size());
  TUImgConvertA2B<short, double> c(dmax, -dmax, 1, 1);
  c.convert(d.data(), s.data(), static_cast<int>(s.size()));
  for (std::size_t i = 0; i < s.size(); ++i) ASSERT_EQ(d[i], s[i]) << i;
  std::vector<unsigned> u = sourceRow<unsigned>(1000);
  TUImgConvertA2B<unsigned, double> cu(dmax, -dmax, 1, 1);
  cu.convert(d.data(), u.data(), static_cast<int>(u.size()));
  for (std::size_t i = 0; i < u.size(); ++i) ASSERT_EQ(d[i], u[i]) << i;
  std::vector<signed char> sc = sourceRow<signed char>(1000);
  TUImgConvertA2B<signed char, double> csc(dmax, -dmax, 0, 1);
  csc.convert(d.data(), sc.data(), static_cast<int>(sc.size()));
  for (std::size_t i = 0; i < sc.size(); ++i) ASSERT_EQ(d[i], sc[i]) << i;
}

TEST(RowConversion, InPlaceRowsWhenTheDestinationIsNotWider) {
  std::vector<short> row(600);
  for (int i = 0; i < 600; ++i) row[i] = static_cast<short>(i * 60 - 18000);
  TUImgConvertA2B<short, short> halve(32767, -32768, 1, 1);
  halve.setScale(1, 2.0);
  halve.convert(row.data(), row.data(), 600);
  for (int i = 0; i < 600; ++i) ASSERT_EQ(row[i], (i * 60 - 18000) / 2) << i;

  // double -> short over the same memory: each element is read before its bytes are reused.
  std::vector<double> wide(600);
  for (int i = 0; i < 600; ++i) wide[i] = i * 3.5 - 1000;
  TUImgConvertA2B<double, short> narrow(32767, -32768, 0, 0);
  narrow.convert(wide.data(), wide.data(), 600);
  const short* narrowed = reinterpret_cast<const short*>(wide.data());
  for (int i = 0; i < 600; ++i) {
    const double v = i * 3.5 - 1000;
    ASSERT_EQ(narrowed[i], static_cast<short>(v < 0 ? std::ceil(v - 0.5) : std::floor(v + 0.5)))
        << i;
  }

  std::vector<unsigned char> bytes(100);
  for (int i = 0; i < 100; ++i) bytes[i] = static_cast<unsigned char>(i * 5);
  TImgConvertUChar2SChar flip;
  flip.convert(bytes.data(), bytes.data(), 100);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(bytes[i], static_cast<unsigned char>(i * 5) ^ 0x80) << i;
}

// ---------------------------------------------------------------- scale search

struct ScaleCase {
  const char* what;
  double destMax, destMin;
  double max, min;
  double expected;
};

TEST(ScaleSearch, PowerOfTwoFillingTheDestination) {
  const ScaleCase cases[] = {
      {"[0,1] into UChar", 255, 0, 1, 0, 1.0 / 128},
      {"[0,0] keeps 1", 255, 0, 0, 0, 1},
      {"[-1000,10] into SShort: negative side", 32767, -32768, 10, -1000, 1.0 / 32},
      {"[0,1000] into SShort", 32767, -32768, 1000, 0, 1.0 / 32},
      {"[-1,500] into UChar: no negative side", 255, 0, 500, -1, 2},
      {"[0,100000] into SShort", 32767, -32768, 100000, 0, 4},
      {"[-100000,0] into SShort", 32767, -32768, 0, -100000, 4},
      {"[0,255] into UChar fits", 255, 0, 255, 0, 1},
      {"[0,127] into UChar", 255, 0, 127, 0, 0.5},
      {"[-128,127] into SChar", 127, -128, 127, -128, 1},
      {"[-1,1] into SChar", 127, -128, 1, -1, 1.0 / 64},
      {"tiny range: the search stops at its smallest scale", 32767, -32768, 1e-300, 1e-300, std::ldexp(1.0, -989)},
  };
  for (const ScaleCase& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(TImgConvertA2B::powerOfTwoScale(c.max, c.min, c.destMax, c.destMin), c.expected);
  }
}

TEST(ScaleSearch, SetSourceRangeChoosesTheScaleOnlyWhenScaling) {
  TUImgConvertA2B<double, short> on(32767, -32768, 1, 0);
  on.setSourceRange(1000, 0);
  EXPECT_EQ(on.scale(), 1.0 / 32);
  EXPECT_EQ(on.sourceMax, 1000);
  EXPECT_EQ(on.sourceMin, 0);

  TUImgConvertA2B<double, short> off(32767, -32768, 0, 0);
  off.setSourceRange(1000, 0);
  EXPECT_EQ(off.scale(), 1.0);
  EXPECT_EQ(off.sourceMax, 1000);
}

TEST(ScaleSearch, NegativeValuesIntoUnsignedKeepTheirPositivePart) {
  // -1 used to drive the scale to 2^991, storing the whole image as zeros.
  TUImgConvertA2B<double, unsigned char> c(255, 0, 1, 0);
  c.setSourceRange(500, -1);
  EXPECT_EQ(c.scale(), 2.0);
  const double in[] = {-1, 0, 500, 251};
  unsigned char out[4] = {};
  c.convert(out, in, 4);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(out[1], 0);
  EXPECT_EQ(out[2], 250);
  EXPECT_EQ(out[3], 126);
}

TEST(ScaleSearch, ScaledRowsRecoverTheValues) {
  TUImgConvertA2B<double, short> c(32767, -32768, 1, 0);
  c.setSourceRange(10, -1000);
  const double in[] = {-1000, -999.97, 0, 10, 3.14159};
  short out[5];
  c.convert(out, in, 5);
  for (int i = 0; i < 5; ++i) EXPECT_NEAR(out[i] * c.scale(), in[i], c.scale() / 2) << i;
  EXPECT_EQ(out[0], -32000);
}

// ---------------------------------------------------------------- plain copies

template <class T>
void expectBitwiseCopy(TUImgConvertA2B<T, T>& c, const std::vector<T>& src) {
  const int counts[] = {0, 1, 3, 15, 16, 17, 33, static_cast<int>(src.size())};
  for (int n : counts) {
    SCOPED_TRACE(n);
    std::vector<T> dest(src.size() + 1);
    std::memset(dest.data(), 0xA5, dest.size() * sizeof(T));
    std::vector<T> guard = dest;
    ASSERT_EQ(c.convert(dest.data(), src.data(), n), n);
    EXPECT_EQ(std::memcmp(dest.data(), src.data(), n * sizeof(T)), 0);
    EXPECT_EQ(std::memcmp(dest.data() + n, guard.data() + n, (dest.size() - n) * sizeof(T)), 0);
  }
}

TEST(PlainCopy, SameTypeWithFullRangeCopiesEveryBit) {
  std::vector<unsigned char> u(2049);
  std::vector<signed char> sc(2049);
  std::vector<short> s(2049);
  std::vector<unsigned short> us(2049);
  std::vector<int> l(2049);
  std::vector<unsigned int> ul(2049);
  std::vector<double> d(2049);
  for (int i = 0; i < 2049; ++i) {
    u[i] = static_cast<unsigned char>(i * 7);
    sc[i] = static_cast<signed char>(i * 13);
    s[i] = static_cast<short>(i * 4099);
    us[i] = static_cast<unsigned short>(i * 40009);
    l[i] = static_cast<int>(static_cast<unsigned>(i) * 2654435761u);
    ul[i] = static_cast<unsigned>(i) * 2654435761u;
    d[i] = (i - 1024) * 1.25e-3;
  }
  d[1] = inf;
  d[2] = -inf;
  d[3] = nan;
  d[4] = -0.0;
  d[5] = dmax;
  d[6] = std::numeric_limits<double>::denorm_min();
  d[7] = 2.5;
  l[1] = std::numeric_limits<int>::min();
  ul[1] = std::numeric_limits<unsigned>::max();

  TUImgConvertA2B<unsigned char, unsigned char> cu(255, 0, 0, 1);
  expectBitwiseCopy(cu, u);
  TUImgConvertA2B<signed char, signed char> csc(127, -128, 0, 0);
  expectBitwiseCopy(csc, sc);
  TUImgConvertA2B<short, short> cs(32767, -32768, 1, 0);  // scaling on, scale 1
  expectBitwiseCopy(cs, s);
  TUImgConvertA2B<unsigned short, unsigned short> cus(65535, 0, 0, 1);
  expectBitwiseCopy(cus, us);
  TUImgConvertA2B<int, int> cl(2147483647.0, -2147483648.0, 0, 1);
  expectBitwiseCopy(cl, l);
  TUImgConvertA2B<unsigned int, unsigned int> cul(4294967295.0, 0, 0, 0);
  expectBitwiseCopy(cul, ul);
  TUImgConvertA2B<double, double> cd(dmax, -dmax, 0, 1);
  expectBitwiseCopy(cd, d);
}

struct NotACopyCase {
  const char* what;
  std::function<Owned()> make;
  double in;
  double expected;
};

TEST(PlainCopy, SameTypeConvertersThatMustChangeValues) {
  const NotACopyCase cases[] = {
      {"short with scale 2",
       [] {
         auto* c = new TUImgConvertA2B<short, short>(32767, -32768, 1, 0);
         c->setScale(1, 2.0);
         return Owned(c);
       },
       -7, -4},
      {"unsigned char with narrower bounds",
       [] { return Owned(new TUImgConvertA2B<unsigned char, unsigned char>(200, 0, 0, 1)); }, 250,
       200},
      {"double with rounding", [] { return Owned(new TUImgConvertA2B<double, double>(dmax, -dmax, 0, 0)); },
       2.5, 3},
      {"double with scale 1/2",
       [] {
         auto* c = new TUImgConvertA2B<double, double>(dmax, -dmax, 1, 1);
         c->setScale(1, 0.5);
         return Owned(c);
       },
       2.5, 5},
      {"double with narrower bounds",
       [] { return Owned(new TUImgConvertA2B<double, double>(1, -1, 0, 1)); }, 2.5, 1},
  };
  for (const NotACopyCase& c : cases) {
    SCOPED_TRACE(c.what);
    Owned conv = c.make();
    // A row long enough to take the block loop as well as the tail.
    unsigned char src[20 * 8];
    unsigned char dest[20 * 8];
    const int n = 20;
    const int size = conv->sourceSize();
    ASSERT_EQ(size, conv->destSize());
    for (int i = 0; i < n; ++i) {
      if (size == 1) src[i] = static_cast<unsigned char>(c.in);
      if (size == 2) {
        const short v = static_cast<short>(c.in);
        std::memcpy(src + 2 * i, &v, 2);
      }
      if (size == 8) std::memcpy(src + 8 * i, &c.in, 8);
    }
    conv->convert(dest, src, n);
    for (int i = 0; i < n; ++i) {
      double got = 0;
      if (size == 1) got = dest[i];
      if (size == 2) {
        short v;
        std::memcpy(&v, dest + 2 * i, 2);
        got = v;
      }
      if (size == 8) std::memcpy(&got, dest + 8 * i, 8);
      ASSERT_EQ(got, c.expected) << "element " << i;
    }
  }
}

// ---------------------------------------------------------------- byte and bit converters

TEST(ByteConverters, OffsetBy128InvertsTheTopBit) {
  unsigned char src[256];
  for (int i = 0; i < 256; ++i) src[i] = static_cast<unsigned char>(i);
  TImgConvertUChar2SChar toSigned;
  TImgConvertSChar2UChar toUnsigned;
  signed char s[257];
  unsigned char u[257];
  s[256] = 42;
  u[256] = 42;
  ASSERT_EQ(toSigned.convert(s, src, 256), 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(s[i], i - 128) << i;
  EXPECT_EQ(s[256], 42);
  ASSERT_EQ(toUnsigned.convert(u, s, 256), 256);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(u[i], i) << i;
  EXPECT_EQ(u[256], 42);

  // Signed bytes read as such: -128 -> 0, -1 -> 127, 0 -> 128, 127 -> 255.
  const signed char sv[] = {-128, -1, 0, 127};
  unsigned char uv[4];
  toUnsigned.convert(uv, sv, 4);
  EXPECT_EQ(uv[0], 0);
  EXPECT_EQ(uv[1], 127);
  EXPECT_EQ(uv[2], 128);
  EXPECT_EQ(uv[3], 255);

  EXPECT_EQ(toSigned.convert(u, src, 0), 0);
  EXPECT_EQ(u[0], 0);
}

struct SizedCase {
  const char* what;
  std::function<Owned()> make;
  int sourceSize, destSize;
};

TEST(Converters, ElementSizesAndClonesOfTheSameClass) {
  const SizedCase cases[] = {
      {"UChar2SChar", [] { return Owned(new TImgConvertUChar2SChar); }, 1, 1},
      {"SChar2UChar", [] { return Owned(new TImgConvertSChar2UChar); }, 1, 1},
      {"OneBit2OneBit", [] { return Owned(new TImgConvertOneBit2OneBit); }, 1, 1},
      {"double->short", [] { return Owned(new TUImgConvertA2B<double, short>(1, 0, 0, 0)); }, 8, 2},
      {"uchar->double", [] { return Owned(new TUImgConvertA2B<unsigned char, double>(1, 0, 0, 0)); },
       1, 8},
      {"int->unsigned", [] { return Owned(new TUImgConvertA2B<int, unsigned>(1, 0, 0, 0)); }, 4, 4},
      {"ushort->schar",
       [] { return Owned(new TUImgConvertA2B<unsigned short, signed char>(1, 0, 0, 0)); }, 2, 1},
  };
  for (const SizedCase& c : cases) {
    SCOPED_TRACE(c.what);
    Owned conv = c.make();
    EXPECT_EQ(conv->sourceSize(), c.sourceSize);
    EXPECT_EQ(conv->destSize(), c.destSize);
    Owned copy(conv->clone());
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy.get(), conv.get());
    const TImgConvertA2B& original = *conv;
    const TImgConvertA2B& cloned = *copy;
    EXPECT_EQ(typeid(cloned), typeid(original));
    EXPECT_EQ(copy->destMax, conv->destMax);
    EXPECT_EQ(copy->destMin, conv->destMin);
  }
}

TEST(Converters, BaseScalingOperationsDoNothing) {
  TImgConvertUChar2SChar c;
  EXPECT_EQ(c.setScale(1, 4.0), 0);
  EXPECT_EQ(c.enableScaling(1), 0);
  EXPECT_EQ(c.scalingEnabled(), 0);
  c.setSourceRange(10, -10);
  EXPECT_EQ(c.sourceMax, 0);
  EXPECT_EQ(c.sourceMin, 0);
  EXPECT_EQ(c.scale(), 1.0);
  EXPECT_EQ(c.destMax, 127);
  EXPECT_EQ(c.destMin, -128);
}

TEST(Converters, TemplateScalingFlagAndClone) {
  TUImgConvertA2B<double, short> c(1000, -500, 0, 1);
  EXPECT_EQ(c.scalingEnabled(), 0);
  EXPECT_EQ(c.scale(), 1.0);
  EXPECT_EQ(c.setScale(1, 0.25), 0);
  EXPECT_EQ(c.scale(), 0.25);
  EXPECT_EQ(c.enableScaling(0), 1);
  EXPECT_EQ(c.scale(), 0.25);
  EXPECT_EQ(c.enableScaling(1), 0);
  EXPECT_EQ(c.setScale(0, 2.0), 1);
  EXPECT_EQ(c.enableScaling(1), 0);
  c.setSourceRange(100, -50);
  EXPECT_EQ(c.setRowBytes(12), 0);
  EXPECT_EQ(c.setRowBytes(3), 12);

  std::unique_ptr<TImgConvertA2B> copy(c.clone());
  auto* same = dynamic_cast<TUImgConvertA2B<double, short>*>(copy.get());
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(same->destMax, 1000);
  EXPECT_EQ(same->destMin, -500);
  EXPECT_EQ(same->scalingEnabled(), 1);
  EXPECT_EQ(same->noRounding, 1);
  EXPECT_EQ(same->scale(), 1.0);
  EXPECT_EQ(same->sourceMax, 0);
  EXPECT_EQ(same->sourceMin, 0);
}

struct OneBitCase {
  int rowBytes;
  int count;
  int copied;
};

TEST(ByteConverters, OneBitRowsCopyWholeBytes) {
  const OneBitCase cases[] = {
      {0, 0, 0}, {0, 1, 1}, {0, 8, 1}, {0, 9, 2}, {0, 16, 2}, {0, 17, 3},
      {0, 63, 8}, {5, 3, 5}, {5, 100, 5}, {1, 0, 1}, {-4, 30, 0},
  };
  unsigned char src[16];
  for (int i = 0; i < 16; ++i) src[i] = static_cast<unsigned char>(0x11 * i + 1);
  for (const OneBitCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "rowBytes " << c.rowBytes << " count " << c.count);
    TImgConvertOneBit2OneBit conv;
    EXPECT_EQ(conv.setRowBytes(c.rowBytes), 0);
    unsigned char dest[16];
    std::memset(dest, 0, sizeof dest);
    EXPECT_EQ(conv.convert(dest, src, c.count), c.count);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(dest[i], i < c.copied ? src[i] : 0) << i;
  }
}

// ---------------------------------------------------------------- converter sets

// Counts its live instances, so that the set's ownership can be checked.
class CountedConverter : public TImgConvertA2B {
public:
  explicit CountedConverter(int tag) : TImgConvertA2B(1, 0), tag(tag) { ++live; }
  ~CountedConverter() override { --live; }
  int convert(void*, const void*, int count) override { return count; }
  int sourceSize() const override { return 1; }
  int destSize() const override { return 1; }
  TImgConvertA2B* clone() const override { return new CountedConverter(tag); }
  int tag;
  static int live;
};
int CountedConverter::live = 0;

int tagOf(TImgConvertA2B* c) {
  std::unique_ptr<TImgConvertA2B> owned(c);
  auto* counted = dynamic_cast<CountedConverter*>(c);
  return counted ? counted->tag : -1;
}

TEST(ConverterSets, GetHandsOutIndependentClones) {
  TConverters set(0, 0);
  auto* prototype = new TUImgConvertA2B<double, short>(32767, -32768, 1, 0);
  set.set(stDouble, stSShort, prototype);

  std::unique_ptr<TImgConvertA2B> first(set.get(stDouble, stSShort));
  std::unique_ptr<TImgConvertA2B> second(set.get(stDouble, stSShort));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first.get(), prototype);
  EXPECT_NE(first.get(), second.get());
  first->setSourceRange(1000, 0);
  first->setRowBytes(9);
  EXPECT_EQ(first->scale(), 1.0 / 32);
  EXPECT_EQ(second->scale(), 1.0);
  EXPECT_EQ(prototype->scale(), 1.0);
  EXPECT_EQ(prototype->rowBytes, 0);

  const double in[] = {1000};
  short out[1];
  first->convert(out, in, 1);
  EXPECT_EQ(out[0], 32000);
  second->convert(out, in, 1);
  EXPECT_EQ(out[0], 1000);
}

struct SetCell {
  int src, dest, tag;
};

TEST(ConverterSets, CellsAreIndexedByTheirFamilies) {
  struct Family {
    int srcIsBits, destIsBits;
    std::vector<SetCell> cells;
  };
  const Family families[] = {
      {0, 0, {{stSShort, stUChar, 1}, {stUChar, stSShort, 2}, {stBitmap, stDouble, 3},
              {stDouble, stBitmap, 4}}},
      {1, 0, {{image8BitPerPix, stUChar, 5}, {image32BitPerPix, stBitmap, 6},
              {image1BitPerPix, stOneBit, 7}}},
      {0, 1, {{stUChar, image8BitPerPix, 8}, {stRGB, image24BitPerPix, 9}}},
      {1, 1, {{image4BitPerPix, image15BitPerPix, 10}, {image15BitPerPix, image4BitPerPix, 11}}},
  };
  for (const Family& f : families) {
    SCOPED_TRACE(testing::Message() << "srcIsBits " << f.srcIsBits << " destIsBits " << f.destIsBits);
    {
      TConverters set(f.srcIsBits, f.destIsBits);
      EXPECT_EQ(set.sourceIsBits(), f.srcIsBits);
      EXPECT_EQ(set.destinationIsBits(), f.destIsBits);
      for (const SetCell& c : f.cells) set.set(c.src, c.dest, new CountedConverter(c.tag));
      for (const SetCell& c : f.cells) EXPECT_EQ(tagOf(set.get(c.src, c.dest)), c.tag);
      EXPECT_EQ(CountedConverter::live, static_cast<int>(f.cells.size()));
    }
    EXPECT_EQ(CountedConverter::live, 0);  // the set deleted its prototypes
  }
}

struct SetErrorCase {
  const char* what;
  int srcIsBits, destIsBits;
  std::function<void(TConverters&)> call;
  int code;
  const char* text;
};

TEST(ConverterSets, FailuresNameTheCodes) {
  const SetErrorCase cases[] = {
      {"empty cell", 0, 0, [](TConverters& s) { delete s.get(stRGB, stDouble); }, 3,
       "Unknown converter srcN = stRGB destN = stDouble."},
      {"empty cell bits rows", 1, 0, [](TConverters& s) { delete s.get(image8BitPerPix, stUChar); },
       3, "Unknown converter srcN = image8BitPerPix destN = stUChar."},
      {"empty cell bits columns", 0, 1,
       [](TConverters& s) { delete s.get(stSShort, image16BitPerPix); }, 3,
       "Unknown converter srcN = stSShort destN = image16BitPerPix."},
      {"empty cell both bits", 1, 1,
       [](TConverters& s) { delete s.get(image1BitPerPix, image32BitPerPix); }, 3,
       "Unknown converter srcN = image1BitPerPix destN = image32BitPerPix."},
      {"unknown source code", 0, 0, [](TConverters& s) { delete s.get(5, stUChar); }, 3,
       "Unknown value of stXXXXX constant parameter = 5."},
      {"unknown destination code", 0, 0, [](TConverters& s) { delete s.get(stUChar, 16); }, 3,
       "Unknown value of stXXXXX constant parameter = 16."},
      {"st code in a bits family", 1, 0, [](TConverters& s) { delete s.get(stUChar, stUChar); }, 3,
       "Unknown value of bitsPerPixel parameter = 9."},
      {"unknown bits code", 0, 1, [](TConverters& s) { delete s.get(stSShort, 2); }, 3,
       "Unknown value of bitsPerPixel parameter = 2."},
      {"set twice", 0, 0,
       [](TConverters& s) {
         s.set(stUChar, stUChar, new CountedConverter(1));
         s.set(stUChar, stUChar, new CountedConverter(2));
       },
       3, "The converter was already set into srcN = stUChar destN = stUChar."},
      {"set twice bits", 1, 0,
       [](TConverters& s) {
         s.set(image24BitPerPix, stRGB, new CountedConverter(1));
         s.set(image24BitPerPix, stRGB, new CountedConverter(2));
       },
       3, "The converter was already set into srcN = image24BitPerPix destN = stRGB."},
      {"set with unknown code", 0, 0,
       [](TConverters& s) { s.set(3, stUChar, new CountedConverter(1)); }, 3,
       "Unknown value of stXXXXX constant parameter = 3."},
      {"set of a failed allocation", 0, 0, [](TConverters& s) { s.set(stUChar, stSChar, nullptr); },
       1, "Not enough memory"},
  };
  for (const SetErrorCase& c : cases) {
    SCOPED_TRACE(c.what);
    {
      TConverters set(c.srcIsBits, c.destIsBits);
      expectRaise([&] { c.call(set); }, c.code, c.text);
    }
    // Nothing leaks: rejected converters are deleted, accepted ones die with the set.
    EXPECT_EQ(CountedConverter::live, 0);
  }
}

TImgConvertA2B* makeCounted() { return new CountedConverter(7); }
TImgConvertA2B* makeNothing() { return nullptr; }

struct TableErrorCase {
  const char* what;
  std::vector<TConverterRow> rows;
  int code;
  const char* text;
};

// A table that fails part way leaves nothing behind: the prototypes made so
// far are deleted before the error leaves the constructor.
TEST(ConverterSets, TableBuiltSetsListTheirRowsOrDropEverything) {
  const TConverterRow good[] = {{stUChar, stDouble, makeCounted}, {stSChar, stUChar, makeCounted}};
  {
    TConverters set(0, 0, good);
    EXPECT_EQ(set.tableRows(), good);
    EXPECT_EQ(set.tableSize(), 2);
    EXPECT_EQ(tagOf(set.get(stSChar, stUChar)), 7);
    EXPECT_EQ(CountedConverter::live, 2);
  }
  const TableErrorCase cases[] = {
      {"duplicate cell", {good[0], good[1], good[0]}, 3,
       "The converter was already set into srcN = stUChar destN = stDouble."},
      {"unknown code", {good[0], {stUChar, 5, makeCounted}}, 3, "Unknown value of stXXXXX constant parameter = 5."},
      {"failed allocation", {good[0], {stSChar, stSChar, makeNothing}}, 1, "Not enough memory"},
      {"no maker", {good[0], {stSChar, stSChar, nullptr}}, 3, "Converter table entry 1 has no converter."},
  };
  for (const TableErrorCase& c : cases) {
    SCOPED_TRACE(c.what);
    expectRaise([&] { TConverters set(0, 0, c.rows.data(), int(c.rows.size())); }, c.code, c.text);
    EXPECT_EQ(CountedConverter::live, 0);
  }
}

TEST(ConverterSets, ARejectedConverterLeavesThePrototypeInPlace) {
  TConverters set(0, 0);
  set.set(stSChar, stUChar, new CountedConverter(1));
  expectRaise([&] { set.set(stSChar, stUChar, new CountedConverter(2)); }, 3,
              "The converter was already set into srcN = stSChar destN = stUChar.");
  EXPECT_EQ(CountedConverter::live, 1);
  EXPECT_EQ(tagOf(set.get(stSChar, stUChar)), 1);
}

}  // namespace
