// Simple pixel converters between the packed and byte rows of bitmap files
// and the in-memory image types: one-bit and four-bit packing, signed and
// unsigned bytes, colour byte orders, grey from colour, 5-5-5, 5-6-5 and
// 32-bit pixels. Every driver of a bitmap format registers these classes in
// its own converter tables.
//
// Each converter turns count pixels of one row and returns count. Grey levels
// are (77 R + 151 G + 28 B) >> 8; signed bytes are the unsigned value minus 128.
// Packed rows are read and written most significant bit (or nibble) first.
#ifndef ZBITCONV_H
#define ZBITCONV_H

#include "zsigens2.h"

// Fills in the bookkeeping every simple converter shares: the byte sizes of a
// source and a destination pixel (0 for packed rows) and the clone.
template <class Self, int SourceBytes, int DestBytes>
class TSimpleImgConvert : public TImgConvertA2B {
public:
  TSimpleImgConvert(double max, double min) : TImgConvertA2B(max, min) {}
  int sourceSize() const override { return SourceBytes; }
  int destSize() const override { return DestBytes; }
  TImgConvertA2B* clone() const override { return new Self; }
};

// A converter of fixed element sizes whose whole work is convert(), declared
// in one line: Name(), of sourceBytes and destBytes elements, over max..min.
#define QOR_SIMPLE_CONVERTER(Name, sourceBytes, destBytes, max, min)  \
  class Name : public TSimpleImgConvert<Name, sourceBytes, destBytes> { \
  public:                                                              \
    Name() : TSimpleImgConvert(max, min) {}                            \
    int convert(void* dest, const void* src, int count) override;      \
  }

// ---------------------------------------------------------------- packed one-bit rows

// Bit 7 - (i mod 8) of byte i / 8 as 0 or 1.
class QOR_API TImgConvertOneBit2UChar : public TSimpleImgConvert<TImgConvertOneBit2UChar, 0, 1> {
public:
  TImgConvertOneBit2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// The same bit minus 128: -128 or -127.
class QOR_API TImgConvertOneBit2SChar : public TSimpleImgConvert<TImgConvertOneBit2SChar, 0, 1> {
public:
  TImgConvertOneBit2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Packs bit 0 of each byte, eight pixels per byte; the bytes of the row are
// stored whole, and the rest of rowBytes (when set) is cleared.
class QOR_API TImgConvertUChar2OneBit : public TSimpleImgConvert<TImgConvertUChar2OneBit, 1, 0> {
public:
  TImgConvertUChar2OneBit() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// As TImgConvertUChar2OneBit for in + 128.
class QOR_API TImgConvertSChar2OneBit : public TSimpleImgConvert<TImgConvertSChar2OneBit, 1, 0> {
public:
  TImgConvertSChar2OneBit() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// ---------------------------------------------------------------- packed four-bit rows

// The high nibble of byte i / 2 for even i, the low nibble for odd i.
class QOR_API TImgConvertFourBits2UCharBMP : public TSimpleImgConvert<TImgConvertFourBits2UCharBMP, 0, 1> {
public:
  TImgConvertFourBits2UCharBMP() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// The same nibble minus 128: -128 ... -113.
class QOR_API TImgConvertFourBits2SCharBMP : public TSimpleImgConvert<TImgConvertFourBits2SCharBMP, 0, 1> {
public:
  TImgConvertFourBits2SCharBMP() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Packs the low nibble of each byte, two pixels per byte, the left one high;
// an odd last pixel leaves a low nibble of 0. The bytes of the row are stored
// whole, and the rest of rowBytes (when set) is cleared.
class QOR_API TImgConvertUChar2FourBitsBMP : public TSimpleImgConvert<TImgConvertUChar2FourBitsBMP, 1, 0> {
public:
  TImgConvertUChar2FourBitsBMP() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// As TImgConvertUChar2FourBitsBMP for in + 128.
class QOR_API TImgConvertSChar2FourBitsBMP : public TSimpleImgConvert<TImgConvertSChar2FourBitsBMP, 1, 0> {
public:
  TImgConvertSChar2FourBitsBMP() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// ---------------------------------------------------------------- three-byte pixels

// Copies three bytes per pixel.
class QOR_API TImgConvertRGB2RGB : public TSimpleImgConvert<TImgConvertRGB2RGB, 3, 3> {
public:
  TImgConvertRGB2RGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
  bool copiesBytes() const override { return true; }
};

// Swaps the first and the third byte of each pixel (blue, green, red to red,
// green, blue and back). dest may equal src.
class QOR_API TImgConvertSwapBR : public TSimpleImgConvert<TImgConvertSwapBR, 3, 3> {
public:
  TImgConvertSwapBR() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Grey level of blue, green, red pixels.
class QOR_API TImgConvertBGR2UChar : public TSimpleImgConvert<TImgConvertBGR2UChar, 3, 1> {
public:
  TImgConvertBGR2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Grey level of blue, green, red pixels minus 128.
class QOR_API TImgConvertBGR2SChar : public TSimpleImgConvert<TImgConvertBGR2SChar, 3, 1> {
public:
  TImgConvertBGR2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Grey level of red, green, blue pixels.
class QOR_API TImgConvertRGB2UChar : public TSimpleImgConvert<TImgConvertRGB2UChar, 3, 1> {
public:
  TImgConvertRGB2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Grey level of red, green, blue pixels minus 128.
class QOR_API TImgConvertRGB2SChar : public TSimpleImgConvert<TImgConvertRGB2SChar, 3, 1> {
public:
  TImgConvertRGB2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// ---------------------------------------------------------------- 16- and 32-bit pixels

// Little-endian 5-5-5 words (red in bits 14-10) to red, green, blue, each
// sample shifted up to 8 bits.
class QOR_API TImgConvert555rgb2RGB : public TSimpleImgConvert<TImgConvert555rgb2RGB, 2, 3> {
public:
  TImgConvert555rgb2RGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// The same samples in the order blue, green, red.
class QOR_API TImgConvert555rgb2BGR : public TSimpleImgConvert<TImgConvert555rgb2BGR, 2, 3> {
public:
  TImgConvert555rgb2BGR() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Little-endian 5-6-5 words (red in bits 15-11) to red, green, blue.
class QOR_API TImgConvert565rgb2RGB : public TSimpleImgConvert<TImgConvert565rgb2RGB, 2, 3> {
public:
  TImgConvert565rgb2RGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// The same samples in the order blue, green, red.
class QOR_API TImgConvert565rgb2BGR : public TSimpleImgConvert<TImgConvert565rgb2BGR, 2, 3> {
public:
  TImgConvert565rgb2BGR() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Blue, green, red, unused to red, green, blue.
class QOR_API TImgConvert32Bit2RGB : public TSimpleImgConvert<TImgConvert32Bit2RGB, 4, 3> {
public:
  TImgConvert32Bit2RGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Blue, green, red, unused to blue, green, red.
class QOR_API TImgConvert32Bit2BGR : public TSimpleImgConvert<TImgConvert32Bit2BGR, 4, 3> {
public:
  TImgConvert32Bit2BGR() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// ---------------------------------------------------------------- shared table rows

namespace qorTableRows {
// The tables of files whose packed rows are 1, 4 or 8 bits per pixel and
// whose colour pixels are red, green, blue: disk coding to memory type, and
// memory type to disk coding.
extern const TConverterRow rgbSamplesToMemory[14];
extern const TConverterRow rgbSamplesToDisk[12];
}  // namespace qorTableRows

#endif
