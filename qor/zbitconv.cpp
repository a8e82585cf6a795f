#include "zbitconv.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace {

using uchar = unsigned char;

// Bytes a packed row of count pixels occupies, pixelsPerByte to a byte.
inline int packedBytes(int count, int pixelsPerByte) {
  return int((int64_t(count) + pixelsPerByte - 1) / pixelsPerByte);
}

// Clears the bytes from `used` up to rowBytes, the padding of a packed row.
inline void clearTail(uchar* d, int used, int rowBytes) {
  if (rowBytes > used) std::memset(d + used, 0, size_t(rowBytes - used));
}

// One-bit rows to bytes: out = bit + offset.
void unpackBits(uchar* d, const uchar* s, int count, uchar offset) {
  const int whole = count / 8;
  for (int k = 0; k < whole; ++k, d += 8) {
    const unsigned b = s[k];
    d[0] = uchar(((b >> 7) & 1u) + offset);
    d[1] = uchar(((b >> 6) & 1u) + offset);
    d[2] = uchar(((b >> 5) & 1u) + offset);
    d[3] = uchar(((b >> 4) & 1u) + offset);
    d[4] = uchar(((b >> 3) & 1u) + offset);
    d[5] = uchar(((b >> 2) & 1u) + offset);
    d[6] = uchar(((b >> 1) & 1u) + offset);
    d[7] = uchar((b & 1u) + offset);
  }
  const int rest = count - whole * 8;
  for (int j = 0; j < rest; ++j) d[j] = uchar(((unsigned(s[whole]) >> (7 - j)) & 1u) + offset);
}

// Bytes to one-bit rows: bit 0 of in + offset, each output byte stored whole.
void packBits(uchar* d, const uchar* s, int count, uchar offset, int rowBytes) {
  const int whole = count / 8;
  for (int k = 0; k < whole; ++k, s += 8) {
    const unsigned b = (unsigned(uchar(s[0] + offset) & 1u) << 7) | (unsigned(uchar(s[1] + offset) & 1u) << 6) |
                       (unsigned(uchar(s[2] + offset) & 1u) << 5) | (unsigned(uchar(s[3] + offset) & 1u) << 4) |
                       (unsigned(uchar(s[4] + offset) & 1u) << 3) | (unsigned(uchar(s[5] + offset) & 1u) << 2) |
                       (unsigned(uchar(s[6] + offset) & 1u) << 1) | (unsigned(uchar(s[7] + offset) & 1u));
    d[k] = uchar(b);
  }
  const int rest = count - whole * 8;
  if (rest > 0) {
    unsigned b = 0;
    for (int j = 0; j < rest; ++j) b |= unsigned(uchar(s[j] + offset) & 1u) << (7 - j);
    d[whole] = uchar(b);
  }
  clearTail(d, packedBytes(count, 8), rowBytes);
}

// Four-bit rows to bytes: out = nibble + offset.
void unpackNibbles(uchar* d, const uchar* s, int count, uchar offset) {
  const int whole = count / 2;
  for (int k = 0; k < whole; ++k, d += 2) {
    d[0] = uchar((s[k] >> 4) + offset);
    d[1] = uchar((s[k] & 15u) + offset);
  }
  if (count & 1) d[0] = uchar((s[whole] >> 4) + offset);
}

// Bytes to four-bit rows: the low nibble of in + offset, each output byte stored whole.
void packNibbles(uchar* d, const uchar* s, int count, uchar offset, int rowBytes) {
  const int whole = count / 2;
  for (int k = 0; k < whole; ++k, s += 2)
    d[k] = uchar(((unsigned(uchar(s[0] + offset)) & 15u) << 4) | (unsigned(uchar(s[1] + offset)) & 15u));
  if (count & 1) d[whole] = uchar((unsigned(uchar(s[0] + offset)) & 15u) << 4);
  clearTail(d, packedBytes(count, 2), rowBytes);
}

// Grey levels of three-byte pixels; r, g and b name the byte of each sample.
template <int R, int G, int B>
void grey(uchar* d, const uchar* s, int count, uchar offset) {
  for (int i = 0; i < count; ++i, s += 3)
    d[i] = uchar(((77u * s[R] + 151u * s[G] + 28u * s[B]) >> 8) + offset);
}

// Little-endian 16-bit words to three bytes; R, G, B give the output byte of each sample.
template <int R, int G, int B>
void from555(uchar* d, const uchar* s, int count) {
  for (int i = 0; i < count; ++i, s += 2, d += 3) {
    const unsigned w = unsigned(s[0]) | unsigned(s[1]) << 8;
    d[R] = uchar(((w >> 10) & 31u) << 3);
    d[G] = uchar(((w >> 5) & 31u) << 3);
    d[B] = uchar((w & 31u) << 3);
  }
}

template <int R, int G, int B>
void from565(uchar* d, const uchar* s, int count) {
  for (int i = 0; i < count; ++i, s += 2, d += 3) {
    const unsigned w = unsigned(s[0]) | unsigned(s[1]) << 8;
    d[R] = uchar((w >> 11) << 3);
    d[G] = uchar(((w >> 5) & 63u) << 2);
    d[B] = uchar((w & 31u) << 3);
  }
}

// Four-byte pixels to three bytes; A, B, C pick the source bytes of the three outputs.
template <int A, int B, int C>
void from32(uchar* d, const uchar* s, int count) {
  for (int i = 0; i < count; ++i, s += 4, d += 3) {
    const uchar a = s[A], b = s[B], c = s[C];
    d[0] = a;
    d[1] = b;
    d[2] = c;
  }
}

constexpr uchar minus128 = 128;  // adding 128 modulo 256 subtracts it as well

inline uchar* out(void* p) { return static_cast<uchar*>(p); }
inline const uchar* in(const void* p) { return static_cast<const uchar*>(p); }

}  // namespace

// ---------------------------------------------------------------- packed one-bit rows

int TImgConvertOneBit2UChar::convert(void* dest, const void* src, int count) {
  if (count > 0) unpackBits(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertOneBit2SChar::convert(void* dest, const void* src, int count) {
  if (count > 0) unpackBits(out(dest), in(src), count, minus128);
  return count;
}

int TImgConvertUChar2OneBit::convert(void* dest, const void* src, int count) {
  if (count > 0) packBits(out(dest), in(src), count, 0, rowBytes);
  return count;
}

int TImgConvertSChar2OneBit::convert(void* dest, const void* src, int count) {
  if (count > 0) packBits(out(dest), in(src), count, minus128, rowBytes);
  return count;
}

// ---------------------------------------------------------------- packed four-bit rows

int TImgConvertFourBits2UCharBMP::convert(void* dest, const void* src, int count) {
  if (count > 0) unpackNibbles(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertFourBits2SCharBMP::convert(void* dest, const void* src, int count) {
  if (count > 0) unpackNibbles(out(dest), in(src), count, minus128);
  return count;
}

int TImgConvertUChar2FourBitsBMP::convert(void* dest, const void* src, int count) {
  if (count > 0) packNibbles(out(dest), in(src), count, 0, rowBytes);
  return count;
}

int TImgConvertSChar2FourBitsBMP::convert(void* dest, const void* src, int count) {
  if (count > 0) packNibbles(out(dest), in(src), count, minus128, rowBytes);
  return count;
}

// ---------------------------------------------------------------- three-byte pixels

int TImgConvertRGB2RGB::convert(void* dest, const void* src, int count) {
  if (count > 0 && dest != src) std::memmove(dest, src, size_t(count) * 3);
  return count;
}

namespace {

// Three-byte pixels with their first and third bytes exchanged; d may equal s.
void swapBRPlain(uchar* d, const uchar* s, int count) {
  for (int i = 0; i < count; ++i, s += 3, d += 3) {
    const uchar first = s[0], middle = s[1], last = s[2];
    d[0] = last;
    d[1] = middle;
    d[2] = first;
  }
}

#if defined(__x86_64__) || defined(__i386__)
// Shuffle masks for 16 pixels (48 bytes) at a time: output block k takes its
// bytes from input block b through mask [k][b] (0x80 clears a byte).
struct SwapMasks {
  alignas(16) uint8_t m[3][3][16];
  constexpr SwapMasks() : m() {
    for (int k = 0; k < 3; ++k)
      for (int j = 0; j < 16; ++j) {
        const int out = 16 * k + j;
        const int from = 3 * (out / 3) + 2 - out % 3;
        for (int b = 0; b < 3; ++b) m[k][b][j] = from / 16 == b ? uint8_t(from % 16) : 0x80;
      }
  }
};
constexpr SwapMasks swapMasks;

// Rows at least this long go to memory with streaming stores: a row being
// read is written once and not read back here, and skipping the cache spares
// the reads of the lines it replaces.
constexpr size_t streamingRowBytes = 8192;

__attribute__((target("ssse3"))) inline __m128i mask(int k, int b) {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(swapMasks.m[k][b]));
}

// Five pixels per 16-byte load: the shuffle swaps bytes 0-14 and keeps byte
// 15, which the next step (15 bytes on) loads again, so d may equal s. Long
// rows not worked in place go 16 pixels at a time to aligned streaming stores.
__attribute__((target("ssse3"))) void swapBRSsse3(uchar* d, const uchar* s, int count) {
  const size_t bytes = size_t(count) * 3;
  size_t i = 0;
  if (bytes >= streamingRowBytes && d != s) {
    // whole pixels up to the first aligned output byte
    while ((reinterpret_cast<uintptr_t>(d + i) & 15) != 0) {
      swapBRPlain(d + i, s + i, 1);
      i += 3;
    }
    const __m128i m00 = mask(0, 0), m01 = mask(0, 1), m10 = mask(1, 0), m11 = mask(1, 1), m12 = mask(1, 2),
                  m21 = mask(2, 1), m22 = mask(2, 2);
    for (; i + 48 <= bytes; i += 48) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 16));
      const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i + 32));
      __m128i* out = reinterpret_cast<__m128i*>(d + i);
      _mm_stream_si128(out, _mm_or_si128(_mm_shuffle_epi8(a, m00), _mm_shuffle_epi8(b, m01)));
      _mm_stream_si128(out + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(a, m10), _mm_shuffle_epi8(b, m11)),
                                             _mm_shuffle_epi8(c, m12)));
      _mm_stream_si128(out + 2, _mm_or_si128(_mm_shuffle_epi8(b, m21), _mm_shuffle_epi8(c, m22)));
    }
    _mm_sfence();
  }
  const __m128i order = _mm_setr_epi8(2, 1, 0, 5, 4, 3, 8, 7, 6, 11, 10, 9, 14, 13, 12, 15);
  for (; i + 16 <= bytes; i += 15) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_shuffle_epi8(v, order));
  }
  swapBRPlain(d + i, s + i, int((bytes - i) / 3));
}

using SwapKernel = void (*)(uchar*, const uchar*, int);

// Chosen once, by what the processor offers.
SwapKernel swapKernel() {
  static const SwapKernel kernel = __builtin_cpu_supports("ssse3") ? swapBRSsse3 : swapBRPlain;
  return kernel;
}
#else
inline void (*swapKernel())(uchar*, const uchar*, int) { return swapBRPlain; }
#endif

}  // namespace

int TImgConvertSwapBR::convert(void* dest, const void* src, int count) {
  if (count > 0) swapKernel()(out(dest), in(src), count);
  return count;
}

int TImgConvertBGR2UChar::convert(void* dest, const void* src, int count) {
  grey<2, 1, 0>(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertBGR2SChar::convert(void* dest, const void* src, int count) {
  grey<2, 1, 0>(out(dest), in(src), count, minus128);
  return count;
}

int TImgConvertRGB2UChar::convert(void* dest, const void* src, int count) {
  grey<0, 1, 2>(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertRGB2SChar::convert(void* dest, const void* src, int count) {
  grey<0, 1, 2>(out(dest), in(src), count, minus128);
  return count;
}

// ---------------------------------------------------------------- 16- and 32-bit pixels

int TImgConvert555rgb2RGB::convert(void* dest, const void* src, int count) {
  from555<0, 1, 2>(out(dest), in(src), count);
  return count;
}

int TImgConvert555rgb2BGR::convert(void* dest, const void* src, int count) {
  from555<2, 1, 0>(out(dest), in(src), count);
  return count;
}

int TImgConvert565rgb2RGB::convert(void* dest, const void* src, int count) {
  from565<0, 1, 2>(out(dest), in(src), count);
  return count;
}

int TImgConvert565rgb2BGR::convert(void* dest, const void* src, int count) {
  from565<2, 1, 0>(out(dest), in(src), count);
  return count;
}

int TImgConvert32Bit2RGB::convert(void* dest, const void* src, int count) {
  from32<2, 1, 0>(out(dest), in(src), count);
  return count;
}

int TImgConvert32Bit2BGR::convert(void* dest, const void* src, int count) {
  from32<0, 1, 2>(out(dest), in(src), count);
  return count;
}

// ---------------------------------------------------------------- shared table rows

namespace qorTableRows {

const TConverterRow rgbSamplesToMemory[14] = {
    {image1BitPerPix, stOneBit, make<TImgConvertOneBit2OneBit>},
    {image1BitPerPix, stUChar, make<TImgConvertOneBit2UChar>},
    {image1BitPerPix, stSChar, make<TImgConvertOneBit2SChar>},
    {image1BitPerPix, stBitmap, make<TImgConvertOneBit2OneBit>},
    {image4BitPerPix, stUChar, make<TImgConvertFourBits2UCharBMP>},
    {image4BitPerPix, stSChar, make<TImgConvertFourBits2SCharBMP>},
    {image4BitPerPix, stBitmap, make<TImgConvertFourBits2UCharBMP>},
    {image8BitPerPix, stUChar, byteCopy},
    {image8BitPerPix, stSChar, make<TImgConvertUChar2SChar>},
    {image8BitPerPix, stBitmap, byteCopy},
    {image24BitPerPix, stUChar, make<TImgConvertRGB2UChar>},
    {image24BitPerPix, stSChar, make<TImgConvertRGB2SChar>},
    {image24BitPerPix, stRGB, make<TImgConvertRGB2RGB>},
    {image24BitPerPix, stBitmap, make<TImgConvertSwapBR>},
};

const TConverterRow rgbSamplesToDisk[12] = {
    {stOneBit, image1BitPerPix, make<TImgConvertOneBit2OneBit>},
    {stUChar, image1BitPerPix, make<TImgConvertUChar2OneBit>},
    {stUChar, image4BitPerPix, make<TImgConvertUChar2FourBitsBMP>},
    {stUChar, image8BitPerPix, byteCopy},
    {stSChar, image1BitPerPix, make<TImgConvertSChar2OneBit>},
    {stSChar, image4BitPerPix, make<TImgConvertSChar2FourBitsBMP>},
    {stSChar, image8BitPerPix, make<TImgConvertSChar2UChar>},
    {stRGB, image24BitPerPix, make<TImgConvertRGB2RGB>},
    {stBitmap, image1BitPerPix, make<TImgConvertOneBit2OneBit>},
    {stBitmap, image4BitPerPix, make<TImgConvertUChar2FourBitsBMP>},
    {stBitmap, image8BitPerPix, byteCopy},
    {stBitmap, image24BitPerPix, make<TImgConvertSwapBR>},
};

}  // namespace qorTableRows
