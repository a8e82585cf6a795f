// The simple pixel converters shared by the bitmap drivers (zbitconv).
#include <gtest/gtest.h>

#include "casename.h"

#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <typeinfo>
#include <vector>

#include "zbitconv.h"

namespace {

using Bytes = std::vector<unsigned char>;
using Owned = std::unique_ptr<TImgConvertA2B>;

constexpr unsigned char guard = 0xEE;  // bytes a converter must leave alone
constexpr unsigned char stale = 0xFF;  // what the destination held before

struct RowCase {
  const char* name;
  std::function<TImgConvertA2B*()> make;
  int sourceSize;
  int destSize;
  Bytes source;
  int count;
  int rowBytes;  // 0: not set
  Bytes expected;
};

void PrintTo(const RowCase& c, std::ostream* os) { *os << c.name; }

template <class C>
std::function<TImgConvertA2B*()> make() {
  return [] { return new C; };
}

class ConverterRow : public testing::TestWithParam<RowCase> {};

// The converter stores exactly the expected bytes, over a destination that
// held other data, and nothing after them.
TEST_P(ConverterRow, StoresTheRowAndNothingBeyond) {
  const RowCase& c = GetParam();
  Owned conv(c.make());
  ASSERT_TRUE(conv);
  EXPECT_EQ(conv->sourceSize(), c.sourceSize);
  EXPECT_EQ(conv->destSize(), c.destSize);
  if (c.rowBytes) conv->setRowBytes(c.rowBytes);
  Bytes dest(c.expected.size() + 8, stale);
  std::fill(dest.begin() + long(c.expected.size()), dest.end(), guard);
  EXPECT_EQ(conv->convert(dest.data(), c.source.data(), c.count), c.count);
  EXPECT_EQ(Bytes(dest.begin(), dest.begin() + long(c.expected.size())), c.expected);
  for (size_t i = c.expected.size(); i < dest.size(); ++i) EXPECT_EQ(dest[i], guard) << "byte " << i;
}

// A clone is a fresh converter of the same class that converts the same way.
TEST_P(ConverterRow, CloneConvertsTheSame) {
  const RowCase& c = GetParam();
  Owned conv(c.make());
  Owned copy(conv->clone());
  ASSERT_TRUE(copy);
  const TImgConvertA2B& original = *conv;
  const TImgConvertA2B& cloned = *copy;
  EXPECT_EQ(typeid(cloned), typeid(original));
  if (c.rowBytes) copy->setRowBytes(c.rowBytes);
  Bytes dest(c.expected.size(), stale);
  copy->convert(dest.data(), c.source.data(), c.count);
  EXPECT_EQ(dest, c.expected);
}

const RowCase rowCases[] = {
    // packed bits, most significant first
    {"OneBit2UChar", make<TImgConvertOneBit2UChar>(), 0, 1, {0xB1, 0xC0}, 10, 0, {1, 0, 1, 1, 0, 0, 0, 1, 1, 1}},
    {"OneBit2UCharPartialByte", make<TImgConvertOneBit2UChar>(), 0, 1, {0x5F}, 3, 0, {0, 1, 0}},
    {"OneBit2SChar", make<TImgConvertOneBit2SChar>(), 0, 1, {0xB1, 0x40}, 10, 0,
     {0x81, 0x80, 0x81, 0x81, 0x80, 0x80, 0x80, 0x81, 0x80, 0x81}},
    {"UChar2OneBit", make<TImgConvertUChar2OneBit>(), 1, 0, {1, 0, 1, 1, 0, 0, 0, 1, 1, 1}, 10, 0, {0xB1, 0xC0}},
    // a 0/255 mask packs bit 0 of each byte: no neighbour picks up the 255s
    {"UChar2OneBitMask", make<TImgConvertUChar2OneBit>(), 1, 0, {255, 0, 255, 0, 0, 0, 0, 255, 255}, 9, 0, {0xA1, 0x80}},
    {"UChar2OneBitPadded", make<TImgConvertUChar2OneBit>(), 1, 0, {0, 1, 2, 3}, 4, 4, {0x50, 0, 0, 0}},
    {"UChar2OneBitAllZero", make<TImgConvertUChar2OneBit>(), 1, 0, Bytes(12, 0), 12, 4, {0, 0, 0, 0}},
    {"SChar2OneBit", make<TImgConvertSChar2OneBit>(), 1, 0, {0x80, 0x81, 0x7F, 0x00, 0xFF, 0x80, 0x80, 0x80, 0x81}, 9, 0,
     {0x68, 0x80}},
    // packed nibbles, left pixel high
    {"FourBits2UChar", make<TImgConvertFourBits2UCharBMP>(), 0, 1, {0x12, 0x30}, 3, 0, {1, 2, 3}},
    {"FourBits2UCharEven", make<TImgConvertFourBits2UCharBMP>(), 0, 1, {0xF0, 0x5A}, 4, 0, {15, 0, 5, 10}},
    {"FourBits2SChar", make<TImgConvertFourBits2SCharBMP>(), 0, 1, {0x0F, 0x30}, 3, 0, {0x80, 0x8F, 0x83}},
    {"UChar2FourBits", make<TImgConvertUChar2FourBitsBMP>(), 1, 0, {1, 2, 3}, 3, 0, {0x12, 0x30}},
    {"UChar2FourBitsMask", make<TImgConvertUChar2FourBitsBMP>(), 1, 0, {255, 0, 0, 0x1F, 0xF3}, 5, 0, {0xF0, 0x0F, 0x30}},
    {"UChar2FourBitsPadded", make<TImgConvertUChar2FourBitsBMP>(), 1, 0, {7, 8}, 2, 4, {0x78, 0, 0, 0}},
    {"SChar2FourBits", make<TImgConvertSChar2FourBitsBMP>(), 1, 0, {0x81, 0x8F, 0x80, 0x7F}, 4, 0, {0x1F, 0x0F}},
    // three-byte pixels
    {"RGB2RGB", make<TImgConvertRGB2RGB>(), 3, 3, {1, 2, 3, 4, 5, 6}, 2, 0, {1, 2, 3, 4, 5, 6}},
    {"SwapBR", make<TImgConvertSwapBR>(), 3, 3, {1, 2, 3, 4, 5, 6}, 2, 0, {3, 2, 1, 6, 5, 4}},
    {"BGR2UCharBlue", make<TImgConvertBGR2UChar>(), 3, 1, {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255}, 4, 0,
     {27, 150, 76, 255}},
    {"BGR2SChar", make<TImgConvertBGR2SChar>(), 3, 1, {255, 0, 0, 0, 0, 0, 255, 255, 255}, 3, 0, {27 - 128 + 256, 0x80, 0x7F}},
    {"RGB2UChar", make<TImgConvertRGB2UChar>(), 3, 1, {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30}, 4, 0,
     {76, 150, 27, (77 * 10 + 151 * 20 + 28 * 30) >> 8}},
    {"RGB2SChar", make<TImgConvertRGB2SChar>(), 3, 1, {255, 0, 0, 0, 0, 0}, 2, 0, {76 + 128, 0x80}},
    // 16-bit words, little-endian
    {"555toRGB", make<TImgConvert555rgb2RGB>(), 2, 3, {0xFF, 0xFF, 0x00, 0x7C, 0xE0, 0x03, 0x1F, 0x00}, 4, 0,
     {248, 248, 248, 248, 0, 0, 0, 248, 0, 0, 0, 248}},
    {"555toBGR", make<TImgConvert555rgb2BGR>(), 2, 3, {0x00, 0x7C, 0x21, 0x04}, 2, 0, {0, 0, 248, 8, 8, 8}},
    {"565toRGB", make<TImgConvert565rgb2RGB>(), 2, 3, {0xFF, 0xFF, 0x00, 0xF8, 0xE0, 0x07, 0x1F, 0x00}, 4, 0,
     {248, 252, 248, 248, 0, 0, 0, 252, 0, 0, 0, 248}},
    {"565toBGR", make<TImgConvert565rgb2BGR>(), 2, 3, {0x00, 0xF8, 0x20, 0x00}, 2, 0, {0, 0, 248, 0, 4, 0}},
    // four-byte pixels: blue, green, red, unused
    {"Bit32toRGB", make<TImgConvert32Bit2RGB>(), 4, 3, {1, 2, 3, 99, 4, 5, 6, 99}, 2, 0, {3, 2, 1, 6, 5, 4}},
    {"Bit32toBGR", make<TImgConvert32Bit2BGR>(), 4, 3, {1, 2, 3, 99, 4, 5, 6, 99}, 2, 0, {1, 2, 3, 4, 5, 6}},
};

INSTANTIATE_TEST_SUITE_P(Simple, ConverterRow, testing::ValuesIn(rowCases),
                         qortest::caseName());

// Packing into a buffer that holds an earlier row: the new row alone decides
// every byte, for each packing converter.
struct RepackCase {
  const char* name;
  std::function<TImgConvertA2B*()> make;
  unsigned char one;  // a value that packs as all-ones bits or nibbles
  unsigned char zero;
};

void PrintTo(const RepackCase& c, std::ostream* os) { *os << c.name; }

class RepackedRow : public testing::TestWithParam<RepackCase> {};

TEST_P(RepackedRow, DoesNotInheritThePreviousRow) {
  const RepackCase& c = GetParam();
  Owned conv(c.make());
  conv->setRowBytes(8);
  Bytes buffer(8, 0);
  const Bytes ones(13, c.one), zeros(13, c.zero);
  conv->convert(buffer.data(), ones.data(), 13);
  EXPECT_NE(buffer[0], 0);
  conv->convert(buffer.data(), zeros.data(), 13);
  EXPECT_EQ(buffer, Bytes(8, 0));
}

INSTANTIATE_TEST_SUITE_P(Packing, RepackedRow,
                         testing::Values(RepackCase{"UChar2OneBit", make<TImgConvertUChar2OneBit>(), 255, 0},
                                         RepackCase{"SChar2OneBit", make<TImgConvertSChar2OneBit>(), 0x7F, 0x80},
                                         RepackCase{"UChar2FourBits", make<TImgConvertUChar2FourBitsBMP>(), 255, 0},
                                         RepackCase{"SChar2FourBits", make<TImgConvertSChar2FourBitsBMP>(), 0x7F,
                                                    0x80}),
                         qortest::caseName());

TEST(SwapBR, WorksInPlace) {
  Bytes row = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  TImgConvertSwapBR c;
  c.convert(row.data(), row.data(), 3);
  EXPECT_EQ(row, (Bytes{3, 2, 1, 6, 5, 4, 9, 8, 7}));
}

// Unpacking and packing again gives the packed row back, for every byte value.
TEST(PackedRows, RoundTripEveryByte) {
  Bytes packed(256);
  for (int i = 0; i < 256; ++i) packed[size_t(i)] = static_cast<unsigned char>(i);
  Bytes bytes(256 * 8), again(256, 0);
  TImgConvertOneBit2UChar unbits;
  TImgConvertUChar2OneBit bits;
  unbits.convert(bytes.data(), packed.data(), 256 * 8);
  bits.convert(again.data(), bytes.data(), 256 * 8);
  EXPECT_EQ(again, packed);
  TImgConvertFourBits2SCharBMP unnibbles;
  TImgConvertSChar2FourBitsBMP nibbles;
  std::fill(again.begin(), again.end(), 0);
  unnibbles.convert(bytes.data(), packed.data(), 512);
  nibbles.convert(again.data(), bytes.data(), 512);
  EXPECT_EQ(again, packed);
}

}  // namespace
