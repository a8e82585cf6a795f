#include "zpngenc.h"

#include "zqorcfg.h"

#if QOR_WITH_PNG

#include <libdeflate.h>

#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

namespace {

using uchar = uint8_t;

const uchar signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr size_t ihdrBytes = 13;
// Compressed data per IDAT chunk.
constexpr size_t idatBytes = size_t(1) << 20;

enum Filter : uchar { filterNone = 0, filterSub = 1, filterUp = 2, filterAverage = 3, filterPaeth = 4 };

// Adam7: first column and row of each pass, and its steps.
struct Pass {
  uint32_t x0, y0, dx, dy;
};
const Pass adam7[7] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                       {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

uint32_t passSide(uint32_t side, uint32_t first, uint32_t step) { return side > first ? (side - first + step - 1) / step : 0; }

size_t packedBytes(uint64_t pixels, int bits) { return size_t((pixels * uint64_t(bits) + 7) / 8); }

void put32(uchar* p, uint32_t v) {
  p[0] = uchar(v >> 24);
  p[1] = uchar(v >> 16);
  p[2] = uchar(v >> 8);
  p[3] = uchar(v);
}

bool written(TqorStream* s, const uchar* data, size_t length) {
  return length == 0 || qorStreamWrite(s, data, int64_t(length)) == int64_t(length);
}

// One chunk: length, type, data, and the CRC-32 of type and data.
bool writeChunk(TqorStream* s, const char* type, const uchar* data, size_t length) {
  uchar head[8];
  put32(head, uint32_t(length));
  std::memcpy(head + 4, type, 4);
  uchar tail[4];
  uint32_t crc = libdeflate_crc32(0, head + 4, 4);
  if (length) crc = libdeflate_crc32(crc, data, length);  // a null buffer would restart it
  put32(tail, crc);
  return written(s, head, sizeof head) && written(s, data, length) && written(s, tail, sizeof tail);
}

// ---------------------------------------------------------------- row filters

// |d| of a filtered byte taken as signed: what the filter choice sums.
inline uint32_t magnitude(uchar d) {
  const int v = int8_t(d);
  return uint32_t(v < 0 ? -v : v);
}

inline uchar paeth(int a, int b, int c) {
  const int pa = b > c ? b - c : c - b;
  const int pb = a > c ? a - c : c - a;
  const int pc = a + b - 2 * c > 0 ? a + b - 2 * c : 2 * c - a - b;
  return uchar(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

#if defined(__SSE2__)
// 16 bytes of the four predicting filters at i into sub, up, avg and pae,
// their magnitudes added to the sums.
struct Sums16 {
  __m128i none = _mm_setzero_si128(), sub = none, up = none, avg = none, pae = none;
  void add(__m128i& to, __m128i d) {
    const __m128i m = _mm_min_epu8(d, _mm_sub_epi8(_mm_setzero_si128(), d));  // |d| of a signed byte
    to = _mm_add_epi64(to, _mm_sad_epu8(m, _mm_setzero_si128()));
  }
  static uint32_t total(__m128i v) { return uint32_t(_mm_cvtsi128_si32(v) + _mm_cvtsi128_si32(_mm_srli_si128(v, 8))); }
};

// Paeth's predictor of 8 pixels' bytes widened to 16 bits.
inline __m128i paeth8(__m128i a, __m128i b, __m128i c) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i t1 = _mm_sub_epi16(b, c), t2 = _mm_sub_epi16(a, c), t3 = _mm_add_epi16(t1, t2);
  const __m128i pa = _mm_max_epi16(t1, _mm_sub_epi16(zero, t1));
  const __m128i pb = _mm_max_epi16(t2, _mm_sub_epi16(zero, t2));
  const __m128i pc = _mm_max_epi16(t3, _mm_sub_epi16(zero, t3));
  const __m128i notA = _mm_or_si128(_mm_cmpgt_epi16(pa, pb), _mm_cmpgt_epi16(pa, pc));
  const __m128i notB = _mm_cmpgt_epi16(pb, pc);
  const __m128i bc = _mm_or_si128(_mm_and_si128(notB, c), _mm_andnot_si128(notB, b));
  return _mm_or_si128(_mm_and_si128(notA, bc), _mm_andnot_si128(notA, a));
}
#endif

// The four predicting filters of one row of n bytes, B bytes a pixel, into
// out[k * n ...] (Sub, Up, Average, Paeth); sums[0] is filter None's.
template <int B>
void filterCandidates(const uchar* __restrict row, const uchar* __restrict prior, size_t n, uchar* __restrict out,
                      uint32_t sums[5]) {
  uchar* __restrict sub = out;
  uchar* __restrict up = out + n;
  uchar* __restrict avg = out + 2 * n;
  uchar* __restrict pae = out + 3 * n;
  uint32_t s0 = 0, s1 = 0, s2 = 0, s3 = 0, s4 = 0;
  const size_t head = n < size_t(B) ? n : size_t(B);
  for (size_t i = 0; i < head; ++i) {
    const uchar x = row[i], b = prior[i];
    sub[i] = x;
    up[i] = uchar(x - b);
    avg[i] = uchar(x - (b >> 1));
    pae[i] = uchar(x - b);
    s0 += magnitude(x), s1 += magnitude(sub[i]), s2 += magnitude(up[i]), s3 += magnitude(avg[i]);
    s4 += magnitude(pae[i]);
  }
  size_t i = head;
#if defined(__SSE2__)
  Sums16 t;
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  auto load = [](const uchar* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto store = [](uchar* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
  for (; i + 16 <= n; i += 16) {
    const __m128i x = load(row + i), a = load(row + i - B), b = load(prior + i), c = load(prior + i - B);
    const __m128i ds = _mm_sub_epi8(x, a), du = _mm_sub_epi8(x, b);
    // (a + b) >> 1: the rounded-up mean less the carry of the odd sums
    const __m128i mean = _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one));
    const __m128i da = _mm_sub_epi8(x, mean);
    const __m128i low = paeth8(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(c, zero));
    const __m128i high = paeth8(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(c, zero));
    const __m128i dp = _mm_sub_epi8(x, _mm_packus_epi16(low, high));
    store(sub + i, ds), store(up + i, du), store(avg + i, da), store(pae + i, dp);
    t.add(t.none, x), t.add(t.sub, ds), t.add(t.up, du), t.add(t.avg, da), t.add(t.pae, dp);
  }
  s0 += Sums16::total(t.none), s1 += Sums16::total(t.sub), s2 += Sums16::total(t.up);
  s3 += Sums16::total(t.avg), s4 += Sums16::total(t.pae);
#endif
  for (; i < n; ++i) {
    const uchar x = row[i], a = row[i - B], b = prior[i], c = prior[i - B];
    sub[i] = uchar(x - a), up[i] = uchar(x - b), avg[i] = uchar(x - ((a + b) >> 1)), pae[i] = uchar(x - paeth(a, b, c));
    s0 += magnitude(x), s1 += magnitude(sub[i]), s2 += magnitude(up[i]), s3 += magnitude(avg[i]);
    s4 += magnitude(pae[i]);
  }
  sums[0] = s0, sums[1] = s1, sums[2] = s2, sums[3] = s3, sums[4] = s4;
}

}  // namespace

// ---------------------------------------------------------------- writer

void TPngStreamWriter::FreeCompressor::operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }

TPngStreamWriter::TPngStreamWriter(const TPngHeader& h, int compressionLevel)
    : header(h), level(compressionLevel), bitsPerPixel(h.colourType == 2 ? 3 * h.depth : h.depth),
      rowBytes_(packedBytes(h.width, bitsPerPixel)), filteredBytes(0),
      chooseFilters(h.colourType != 3 && h.depth == 8) {
  if (!h.interlaced) {
    filteredBytes = (rowBytes_ + 1) * h.height;
    return;
  }
  for (const Pass& p : adam7) {
    const uint32_t w = passSide(h.width, p.x0, p.dx), rows = passSide(h.height, p.y0, p.dy);
    if (w && rows) filteredBytes += (packedBytes(w, bitsPerPixel) + 1) * rows;
  }
}

TPngStreamWriter::~TPngStreamWriter() = default;

int64_t TPngStreamWriter::largestBuffer() const {
  return int64_t(libdeflate_zlib_compress_bound(nullptr, filteredBytes));
}

bool TPngStreamWriter::allocate() {
  filtered.reset(new (std::nothrow) uchar[filteredBytes]);
  packed.reset(new (std::nothrow) uchar[size_t(largestBuffer())]);
  // four candidate rows, the row before and an empty one; interlaced: a pass row and the one before
  scratch.reset(new (std::nothrow) uchar[8 * rowBytes_]());
  if (header.interlaced) whole.reset(new (std::nothrow) uchar[rowBytes_ * header.height]);
  compressor.reset(libdeflate_alloc_compressor(level));
  return filtered && packed && scratch && (whole || !header.interlaced) && compressor;
}

bool TPngStreamWriter::writeHeader(TqorStream* s, const uint8_t* palette, int entries) {
  uchar ihdr[ihdrBytes] = {};
  put32(ihdr, header.width);
  put32(ihdr + 4, header.height);
  ihdr[8] = uchar(header.depth);
  ihdr[9] = uchar(header.colourType);
  ihdr[12] = header.interlaced ? 1 : 0;  // compression and filter method 0
  if (!written(s, signature, sizeof signature) || !writeChunk(s, "IHDR", ihdr, sizeof ihdr)) return false;
  return header.colourType != 3 || writeChunk(s, "PLTE", palette, size_t(entries) * 3);
}

void TPngStreamWriter::filterRow(const uchar* row, const uchar* prior, size_t n, unsigned spare, uchar* out) {
  if (!chooseFilters) {
    // padding bits after the last pixel go out as zeros
    out[0] = filterNone;
    std::memcpy(out + 1, row, n);
    if (spare && n) out[n] = uchar(out[n] & (0xFF << spare));
    return;
  }
  uint32_t sums[5];
  uchar* candidates = scratch.get();
  if (bitsPerPixel == 24)
    filterCandidates<3>(row, prior, n, candidates, sums);
  else
    filterCandidates<1>(row, prior, n, candidates, sums);
  int best = 0;
  for (int f = 1; f < 5; ++f)
    if (sums[f] < sums[best]) best = f;
  out[0] = uchar(best);
  std::memcpy(out + 1, best ? candidates + size_t(best - 1) * n : row, n);
}

void TPngStreamWriter::addRows(const uint8_t* rows, int count, ptrdiff_t stride) {
  uchar* last = scratch.get() + 4 * rowBytes_;
  const uchar* empty = last + rowBytes_;
  const unsigned spare = unsigned(rowBytes_ * 8 - size_t(header.width) * size_t(bitsPerPixel));
  for (int k = 0; k < count && rowsAdded < header.height; ++k, ++rowsAdded) {
    const uchar* row = rows + k * stride;
    if (header.interlaced) {
      std::memcpy(whole.get() + size_t(rowsAdded) * rowBytes_, row, rowBytes_);
      continue;
    }
    filterRow(row, rowsAdded ? last : empty, rowBytes_, spare, filtered.get() + filled);
    filled += rowBytes_ + 1;
    if (chooseFilters) std::memcpy(last, row, rowBytes_);
  }
}

void TPngStreamWriter::filterPasses() {
  uchar* priorRow = scratch.get() + 6 * rowBytes_;
  uchar* passRow = priorRow + rowBytes_;
  const int bits = bitsPerPixel;
  for (const Pass& p : adam7) {
    const uint32_t w = passSide(header.width, p.x0, p.dx), rows = passSide(header.height, p.y0, p.dy);
    if (!w || !rows) continue;
    const size_t n = packedBytes(w, bits);
    for (uint32_t r = 0; r < rows; ++r) {
      const uchar* src = whole.get() + size_t(p.y0 + r * p.dy) * rowBytes_;
      if (bits >= 8) {
        const size_t px = size_t(bits / 8);
        for (uint32_t c = 0; c < w; ++c) std::memcpy(passRow + c * px, src + size_t(p.x0 + c * p.dx) * px, px);
      } else {
        std::memset(passRow, 0, n);
        const uint32_t mask = (1u << bits) - 1;
        for (uint32_t c = 0; c < w; ++c) {
          const size_t at = size_t(p.x0 + c * p.dx) * size_t(bits);
          const uint32_t v = (uint32_t(src[at / 8]) >> (8 - bits - at % 8)) & mask;
          const size_t to = size_t(c) * size_t(bits);
          passRow[to / 8] = uchar(passRow[to / 8] | (v << (8 - bits - to % 8)));
        }
      }
      if (r == 0) std::memset(priorRow, 0, n);
      filterRow(passRow, priorRow, n, unsigned(n * 8 - size_t(w) * size_t(bits)), filtered.get() + filled);
      filled += n + 1;
      std::memcpy(priorRow, passRow, n);
    }
  }
}

bool TPngStreamWriter::finish(TqorStream* s) {
  if (rowsAdded < header.height || !compressor) return false;
  if (header.interlaced) {
    filled = 0;
    filterPasses();
    whole.reset();
  }
  const size_t size =
      libdeflate_zlib_compress(compressor.get(), filtered.get(), filled, packed.get(), size_t(largestBuffer()));
  filtered.reset();
  if (size == 0) return false;
  bool ok = true;
  for (size_t at = 0; ok && at < size; at += idatBytes)
    ok = writeChunk(s, "IDAT", packed.get() + at, size - at < idatBytes ? size - at : idatBytes);
  packed.reset();
  return ok && writeChunk(s, "IEND", nullptr, 0);
}

#endif
