// Row kernels of the numeric converters (TUImgConvertA2B), for the library's
// own units: a row is worked in blocks; the source elements are widened to
// double, the doubles are scaled, clipped and rounded in one branch-free pass
// (two at a time with SSE2), and the results are narrowed to the destination
// type. Every element of a block is read before any is stored, so a row may
// be converted in place when the destination elements are not wider than the
// source ones.
#ifndef ZCONVROW_H
#define ZCONVROW_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zsigens2.h"

namespace qorConvertRow {

// Stores 16 copies of value at dest in one store: how run-length decoders
// whose rows have 16 bytes of slack lay down runs of up to 16 bytes.
inline void fill16(unsigned char* dest, unsigned char value) {
#if defined(__SSE2__)
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dest), _mm_set1_epi8(char(value)));
#else
  std::memset(dest, value, 16);
#endif
}

enum ScaleMode { scaleNone, scaleMultiply, scaleDivide };

inline constexpr int blockSize = 256;

// 2^52: doubles of this magnitude and beyond are integral, and adding it to a
// smaller non-negative value rounds that value to an integer (ties to even).
inline constexpr double twoTo52 = 4503599627370496.0;

// Signed integer wide enough for every value of B.
template <class B>
using WideInt = std::conditional_t<(sizeof(B) < sizeof(std::int32_t)) ||
                                       (sizeof(B) == sizeof(std::int32_t) && std::is_signed_v<B>),
                                   std::int32_t, std::int64_t>;

// Round half away from zero. Round to nearest (ties to even) on |v| and push
// ties that went down back up; NaN and values of 2^52 or more pass unchanged.
// The sum and difference with 2^52 must be evaluated as written, which holds
// for any build that keeps IEEE arithmetic (no -ffast-math).
inline double roundHalfAway(double v) {
  const double a = std::fabs(v);
  if (!(a < twoTo52)) return v;
  double t = (a + twoTo52) - twoTo52;
  if (a - t == 0.5) t += 1.0;
  return std::copysign(t, v);
}

// One element: scale, NaN to zero (integral destinations), clip with lo <= hi,
// round. The bound comes first in each comparison so that NaN stays NaN, as
// the SSE2 min/max instructions do.
template <int Mode, bool NaNToZero, bool Round>
inline double transformOne(double v, double factor, double lo, double hi) {
  if constexpr (Mode == scaleMultiply) v *= factor;
  if constexpr (Mode == scaleDivide) v /= factor;
  if constexpr (NaNToZero) v = v == v ? v : 0.0;
  v = hi < v ? hi : v;
  v = lo > v ? lo : v;
  if constexpr (Round) v = roundHalfAway(v);
  return v;
}

#if defined(__SSE2__)
// Two elements: scale, NaN to zero, clip (the vector form of transformOne
// without the rounding).
template <int Mode, bool NaNToZero>
inline __m128d clip2(__m128d v, __m128d factor, __m128d lo, __m128d hi) {
  if constexpr (Mode == scaleMultiply) v = _mm_mul_pd(v, factor);
  if constexpr (Mode == scaleDivide) v = _mm_div_pd(v, factor);
  if constexpr (NaNToZero) v = _mm_and_pd(v, _mm_cmpeq_pd(v, v));
  v = _mm_min_pd(hi, v);  // hi < v ? hi : v
  return _mm_max_pd(lo, v);  // lo > v ? lo : v
}

// Four 32-bit integers, each within B's range, stored as B.
template <class B>
inline void store4(B* out, __m128i v) {
  if constexpr (std::is_same_v<B, std::int32_t>) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
  } else if constexpr (std::is_same_v<B, std::int16_t>) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packs_epi32(v, v));
  } else if constexpr (std::is_same_v<B, std::uint16_t>) {
    // No unsigned 32 -> 16 pack in SSE2: shift into the signed range and back.
    const __m128i shifted = _mm_sub_epi32(v, _mm_set1_epi32(32768));
    const __m128i packed = _mm_xor_si128(_mm_packs_epi32(shifted, shifted), _mm_set1_epi16(-32768));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), packed);
  } else if constexpr (std::is_same_v<B, std::int8_t> || std::is_same_v<B, std::uint8_t>) {
    __m128i packed = _mm_packs_epi32(v, v);
    if constexpr (std::is_same_v<B, std::int8_t>)
      packed = _mm_packs_epi16(packed, packed);
    else
      packed = _mm_packus_epi16(packed, packed);
    const std::int32_t four = _mm_cvtsi128_si32(packed);
    std::memcpy(out, &four, sizeof four);
  } else {
    alignas(16) std::int32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    for (int k = 0; k < 4; ++k) out[k] = static_cast<B>(lanes[k]);
  }
}
#endif

// out[k] = in[k] as double for k < n.
template <class A>
inline void widen(double* out, const A* in, int n) {
  int k = 0;
#if defined(__SSE2__)
  constexpr bool byte = std::is_same_v<A, std::int8_t> || std::is_same_v<A, std::uint8_t>;
  constexpr bool half = std::is_same_v<A, std::int16_t> || std::is_same_v<A, std::uint16_t>;
  if constexpr (byte || half || std::is_same_v<A, std::int32_t>) {
    const __m128i zero = _mm_setzero_si128();
    for (; k + 4 <= n; k += 4) {
      __m128i v;
      if constexpr (byte) {
        std::int32_t four;
        std::memcpy(&four, in + k, sizeof four);
        v = _mm_cvtsi32_si128(four);
        if constexpr (std::is_signed_v<A>) {
          v = _mm_unpacklo_epi8(v, v);
          v = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 24);
        } else {
          v = _mm_unpacklo_epi16(_mm_unpacklo_epi8(v, zero), zero);
        }
      } else if constexpr (half) {
        v = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(in + k));
        if constexpr (std::is_signed_v<A>)
          v = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        else
          v = _mm_unpacklo_epi16(v, zero);
      } else {
        v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + k));
      }
      _mm_storeu_pd(out + k, _mm_cvtepi32_pd(v));
      _mm_storeu_pd(out + k + 2, _mm_cvtepi32_pd(_mm_unpackhi_epi64(v, v)));
    }
  }
#endif
  for (; k < n; ++k) out[k] = static_cast<double>(in[k]);
}

// out[k] = transformOne(in[k]) for k < n; out may equal in.
template <int Mode, bool NaNToZero, bool Round>
inline void transform(double* out, const double* in, int n, double factor, double lo,
                      double hi) {
  int k = 0;
#if defined(__SSE2__)
  const __m128d f2 = _mm_set1_pd(factor);
  const __m128d lo2 = _mm_set1_pd(lo);
  const __m128d hi2 = _mm_set1_pd(hi);
  const __m128d sign = _mm_set1_pd(-0.0);
  const __m128d big = _mm_set1_pd(twoTo52);
  const __m128d half = _mm_set1_pd(0.5);
  const __m128d one = _mm_set1_pd(1.0);
  for (; k + 2 <= n; k += 2) {
    __m128d v = clip2<Mode, NaNToZero>(_mm_loadu_pd(in + k), f2, lo2, hi2);
    if constexpr (Round) {
      const __m128d a = _mm_andnot_pd(sign, v);
      __m128d t = _mm_sub_pd(_mm_add_pd(a, big), big);
      t = _mm_add_pd(t, _mm_and_pd(_mm_cmpeq_pd(_mm_sub_pd(a, t), half), one));
      t = _mm_or_pd(t, _mm_and_pd(v, sign));
      const __m128d small = _mm_cmplt_pd(a, big);
      v = _mm_or_pd(_mm_and_pd(small, t), _mm_andnot_pd(small, v));
    }
    _mm_storeu_pd(out + k, v);
  }
#endif
  for (; k < n; ++k) out[k] = transformOne<Mode, NaNToZero, Round>(in[k], factor, lo, hi);
}

// out[k] = transformOne(in[k]) stored as B, for a B whose values all fit in
// 32-bit signed integers (the clipped values then convert exactly).
template <class B, int Mode, bool NaNToZero, bool Round>
inline void transformNarrow(B* out, const double* in, int n, double factor, double lo,
                            double hi) {
  int k = 0;
#if defined(__SSE2__)
  const __m128d f2 = _mm_set1_pd(factor);
  const __m128d lo2 = _mm_set1_pd(lo);
  const __m128d hi2 = _mm_set1_pd(hi);
  const __m128d sign = _mm_set1_pd(-0.0);
  // The largest double below one half: v + copysign(it, v), truncated, rounds
  // half away from zero without a tie ever being pushed over by the addition.
  const __m128d nearHalf = _mm_set1_pd(0.49999999999999994);
  for (; k + 4 <= n; k += 4) {
    __m128d v0 = clip2<Mode, NaNToZero>(_mm_loadu_pd(in + k), f2, lo2, hi2);
    __m128d v1 = clip2<Mode, NaNToZero>(_mm_loadu_pd(in + k + 2), f2, lo2, hi2);
    if constexpr (Round) {
      v0 = _mm_add_pd(v0, _mm_or_pd(_mm_and_pd(v0, sign), nearHalf));
      v1 = _mm_add_pd(v1, _mm_or_pd(_mm_and_pd(v1, sign), nearHalf));
    }
    store4(out + k, _mm_unpacklo_epi64(_mm_cvttpd_epi32(v0), _mm_cvttpd_epi32(v1)));
  }
#endif
  for (; k < n; ++k)
    out[k] = static_cast<B>(
        static_cast<std::int32_t>(transformOne<Mode, NaNToZero, Round>(in[k], factor, lo, hi)));
}

template <class A, class B, int Mode, bool Round>
void run(B* dest, const A* src, int count, double factor, double lo, double hi) {
  // Integers that are not scaled can be neither NaN nor fractional.
  constexpr bool exact = std::is_integral_v<A> && Mode == scaleNone;
  constexpr bool nanToZero = std::is_integral_v<B> && !exact;
  constexpr bool round = Round && !exact;
  if constexpr (exact) {
    // Bounds that let every value of A through: a plain element conversion.
    if (lo <= static_cast<double>(std::numeric_limits<A>::lowest()) &&
        hi >= static_cast<double>(std::numeric_limits<A>::max())) {
      if constexpr (std::is_same_v<B, double>)
        widen(dest, src, count);
      else
        for (int i = 0; i < count; ++i) dest[i] = static_cast<B>(src[i]);
      return;
    }
  }
  double block[blockSize];
  for (int i = 0; i < count; i += blockSize) {
    const int n = count - i < blockSize ? count - i : blockSize;
    double* work = block;
    if constexpr (std::is_same_v<B, double>) work = dest + i;
    const double* in = work;
    if constexpr (std::is_same_v<A, double>) {
      in = src + i;
    } else {
      widen(work, src + i, n);
    }
    if constexpr (std::is_integral_v<B> && std::is_same_v<WideInt<B>, std::int32_t>) {
      transformNarrow<B, Mode, nanToZero, round>(dest + i, in, n, factor, lo, hi);
    } else {
      transform<Mode, nanToZero, round>(work, in, n, factor, lo, hi);
      if constexpr (!std::is_same_v<B, double>) {
        for (int k = 0; k < n; ++k) {
          if constexpr (std::is_integral_v<B>)
            dest[i + k] = static_cast<B>(static_cast<WideInt<B>>(work[k]));
          else
            dest[i + k] = static_cast<B>(work[k]);
        }
      }
    }
  }
}

// Bounds with lo > hi (or a NaN bound): clip in the stated order, below
// destMin first, then above destMax.
template <class A, class B>
void runCrossedBounds(B* dest, const A* src, int count, int scaling, double scale, int round,
                      double lo, double hi) {
  for (int i = 0; i < count; ++i) {
    double v = static_cast<double>(src[i]);
    if (scaling) v /= scale;
    if (std::is_integral_v<B> && !(v == v)) v = 0.0;
    v = v < lo ? lo : (v > hi ? hi : v);
    if (round) v = roundHalfAway(v);
    if constexpr (std::is_integral_v<B>)
      dest[i] = static_cast<B>(static_cast<WideInt<B>>(v));
    else
      dest[i] = static_cast<B>(v);
  }
}

}  // namespace qorConvertRow

#endif
