#include "zpcxdrv.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zconvrow.h"

using uchar = unsigned char;

// ---------------------------------------------------------------- on-disk layout

// Offsets from the start of the file; all fields little-endian.
namespace pcxLayout {
inline constexpr int manufacturer = 0;  // uint8, 10
inline constexpr int version = 1;       // uint8
inline constexpr int encoding = 2;      // uint8, 0: raw lines
inline constexpr int bitsPerPixel = 3;  // uint8, bits per pixel per plane
inline constexpr int xMin = 4;          // int16
inline constexpr int yMin = 6;          // int16
inline constexpr int xMax = 8;          // int16
inline constexpr int yMax = 10;         // int16
inline constexpr int hRes = 12;         // int16
inline constexpr int vRes = 14;         // int16
inline constexpr int colorMap = 16;     // 16 entries of red, green, blue
inline constexpr int colorMapBytes = int(sizeof TPcxHead::colorMap);
inline constexpr int reserved = 64;         // uint8
inline constexpr int planes = 65;           // uint8
inline constexpr int bytesPerLine = 66;     // int16, per plane
inline constexpr int paletteInfo = 68;      // int16
inline constexpr int hScreenSize = 70;      // int16
inline constexpr int vScreenSize = 72;      // int16
inline constexpr int filler = 74;           // 54 bytes
inline constexpr int fillerBytes = int(sizeof TPcxHead::filler);
inline constexpr int headerSize = TPcxHead::diskSize;

inline constexpr int manufacturerMark = 10;
inline constexpr int writtenVersion = 5;
inline constexpr int writtenResolution = 480;
// Run-length codes: a byte of at least runMark repeats the next one
// (byte AND runCountMask) times.
inline constexpr int runMark = 0xC0;
inline constexpr int runCountMask = 0x3F;
inline constexpr int longestRun = 63;
// The 256-colour palette after the last line: a marker and 256 entries of
// red, green, blue.
inline constexpr int paletteMarker = 12;
inline constexpr int sixBitPaletteMarker = 10;  // components in 0..63
inline constexpr int trailingPaletteBytes = 1 + 256 * 3;
// Largest width and height the signed 16-bit window holds.
inline constexpr int maxSide = TPcxHead::maxSide;

// Bytes per plane of a written line: an even count, as the format asks and
// readers expect (Pillow reads no other).
inline int64_t writtenBytesPerLine(int64_t coding, int64_t width) {
  const int64_t bits = coding == 24 ? 8 : coding == 4 ? 1 : coding;
  return ((bits * width + 7) / 8 + 1) / 2 * 2;
}
}  // namespace pcxLayout

void TPcxHead::fillPCXHead() {
  std::memset(this, 0, sizeof *this);
  manufacturer = uint8_t(pcxLayout::manufacturerMark);
  version = uint8_t(pcxLayout::writtenVersion);
  hRes = vRes = int16_t(pcxLayout::writtenResolution);
  planes = 1;
  paletteInfo = 1;
}

void TPcxHead::toBytes(unsigned char out[pcxLayout::headerSize]) const {
  using namespace pcxLayout;
  out[pcxLayout::manufacturer] = manufacturer;
  out[pcxLayout::version] = version;
  out[pcxLayout::encoding] = encoding;
  out[pcxLayout::bitsPerPixel] = bitsPerPixel;
  qorLE::put16(out + pcxLayout::xMin, uint16_t(xMin));
  qorLE::put16(out + pcxLayout::yMin, uint16_t(yMin));
  qorLE::put16(out + pcxLayout::xMax, uint16_t(xMax));
  qorLE::put16(out + pcxLayout::yMax, uint16_t(yMax));
  qorLE::put16(out + pcxLayout::hRes, uint16_t(hRes));
  qorLE::put16(out + pcxLayout::vRes, uint16_t(vRes));
  std::memcpy(out + pcxLayout::colorMap, colorMap, colorMapBytes);
  out[pcxLayout::reserved] = reserved;
  out[pcxLayout::planes] = planes;
  qorLE::put16(out + pcxLayout::bytesPerLine, uint16_t(bytesPerLine));
  qorLE::put16(out + pcxLayout::paletteInfo, uint16_t(paletteInfo));
  qorLE::put16(out + pcxLayout::hScreenSize, uint16_t(hScreenSize));
  qorLE::put16(out + pcxLayout::vScreenSize, uint16_t(vScreenSize));
  std::memcpy(out + pcxLayout::filler, filler, fillerBytes);
}

void TPcxHead::fromBytes(const unsigned char in[pcxLayout::headerSize]) {
  using namespace pcxLayout;
  auto s16 = [&](int at) { return int16_t(uint16_t(qorLE::get16(in + at))); };
  manufacturer = in[pcxLayout::manufacturer];
  version = in[pcxLayout::version];
  encoding = in[pcxLayout::encoding];
  bitsPerPixel = in[pcxLayout::bitsPerPixel];
  xMin = s16(pcxLayout::xMin);
  yMin = s16(pcxLayout::yMin);
  xMax = s16(pcxLayout::xMax);
  yMax = s16(pcxLayout::yMax);
  hRes = s16(pcxLayout::hRes);
  vRes = s16(pcxLayout::vRes);
  std::memcpy(colorMap, in + pcxLayout::colorMap, colorMapBytes);
  reserved = in[pcxLayout::reserved];
  planes = in[pcxLayout::planes];
  bytesPerLine = s16(pcxLayout::bytesPerLine);
  paletteInfo = s16(pcxLayout::paletteInfo);
  hScreenSize = s16(pcxLayout::hScreenSize);
  vScreenSize = s16(pcxLayout::vScreenSize);
  std::memcpy(filler, in + pcxLayout::filler, fillerBytes);
}

// ---------------------------------------------------------------- descriptor

TPcxFileInfo::TPcxFileInfo() : head() {}

TPcxFileInfo::TPcxFileInfo(int coding, int sizeX, int sizeY, int encoding) : TPcxFileInfo() {
  head.fillPCXHead();
  head.encoding = uint8_t(encoding != 0 ? 1 : 0);
  switch (coding) {
    case 1:
    case 4: head.bitsPerPixel = 1; break;
    case 8:
    case 24: head.bitsPerPixel = 8; break;
    default: head.bitsPerPixel = uint8_t(coding);
  }
  head.planes = uint8_t(coding == 24 ? 3 : coding == 4 ? 4 : 1);
  // sizes the header cannot hold are refused by the driver's createFile
  head.xMax = int16_t(sizeX - 1);
  head.yMax = int16_t(sizeY - 1);
  head.bytesPerLine = int16_t(pcxLayout::writtenBytesPerLine(coding, sizeX));
}

TPcxFileInfo::~TPcxFileInfo() = default;

int TPcxFileInfo::formatID() { return idPCX(); }

TFileInfo* fiPcxFileInfo(int coding, int sizeX, int sizeY, int encoding) {
  // the asked size is kept beside the header, which holds only 16 bits of it
  struct Asked : TPcxFileInfo {
    Asked(int c, int x, int y, int e) : TPcxFileInfo(c, x, y, e), x(x), y(y) {}
    int sizeX() override { return x; }
    int sizeY() override { return y; }
    int x, y;
  };
  return qorOwnedFileInfo<Asked>(coding, sizeX, sizeY, encoding);
}

// ---------------------------------------------------------------- row codec

void TDecompressPcxStream::start(const TPcxHead* h, TqorStream* s, int64_t available, int slack) {
  head = h;
  bytes.init(s);
  remaining = available > 0 ? available : 0;
  rowSlack = slack;
  dry = false;
}

void TDecompressPcxStream::nextLine(unsigned char* line, int length) {
  if (length <= 0) return;
  if (head && head->encoding == 0)
    rawLine(line, length);
  else
    runLengthLine(line, length);
}

void TDecompressPcxStream::rawLine(unsigned char* line, int length) {
  const int want = remaining < length ? int(remaining) : length;
  const int got = want > 0 ? bytes.read(line, want) : 0;
  const int have = got > 0 ? got : 0;
  remaining -= have;
  if (have < length) {
    std::memset(line + have, 0, size_t(length - have));
    dry = true;
  }
}

void TDecompressPcxStream::runLengthLine(unsigned char* line, int length) {
  // a local cursor over the reader's buffer, cut at the end of the line data
  const uchar* end;
  const uchar* p = bytes.span(&end);
  const uchar* from = p;
  if (end - p > remaining) end = remaining > 0 ? p + remaining : p;
  auto refill = [&]() -> bool {
    bytes.commit(p);
    remaining -= p - from;
    from = p;  // counted once, also when no refill follows
    if (remaining <= 0) return false;
    p = from = bytes.span(&end);
    if (end - p > remaining) end = p + remaining;
    return p != end;
  };
  // runs of up to 16 bytes are stored whole: the line's later bytes, the next
  // line or the slack take the excess
  const bool wideRuns = rowSlack >= 16;
  int x = 0;
  while (x < length) {
    if (p == end && !refill()) break;
    const unsigned b = *p++;
    if (b < unsigned(pcxLayout::runMark)) {
      line[x++] = uchar(b);
#if defined(__SSE2__)
      // a stretch of single bytes moves 16 at a time
      const __m128i mark = _mm_set1_epi8(char(pcxLayout::runMark));
      while (x + 16 <= length && end - p >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(line + x), v);
        const int codes = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, mark), v));
        if (codes == 0) {
          p += 16;
          x += 16;
          continue;
        }
        const int singles = __builtin_ctz(unsigned(codes));
        p += singles;
        x += singles;
        break;
      }
#endif
      continue;
    }
    const int count = int(b & unsigned(pcxLayout::runCountMask));
    if (p == end && !refill()) break;
    const uchar value = *p++;
    if (count == 0) continue;
    const int stored = std::min(count, length - x);
    if (wideRuns && count <= 16) {
      qorConvertRow::fill16(line + x, value);
    } else {
      std::memset(line + x, value, size_t(stored));
    }
    x += stored;
  }
  bytes.commit(p);
  remaining -= p - from;
  if (x < length) {
    std::memset(line + x, 0, size_t(length - x));
    dry = true;
  }
}

int TPcxFormatDriver::encodeLine(const unsigned char* in, int n, unsigned char* out) {
  unsigned char* o = out;
  int i = 0;
  while (i < n) {
    const uchar v = in[i];
    int count = 1;
    while (i + count < n && in[i + count] == v && count < pcxLayout::longestRun) ++count;
    i += count;
    if (count > 1) {
      *o++ = uchar(pcxLayout::runMark | count);
      *o++ = v;
    } else if (v >= pcxLayout::runMark) {
      *o++ = uchar(pcxLayout::runMark | 1);
      *o++ = v;
    } else {
      *o++ = v;
    }
  }
  return int(o - out);
}

// ---------------------------------------------------------------- converter tables

namespace {

// Distance between planes: the line length per plane when set, else the
// bytes of count pixels of bits each.
inline size_t planeStride(int rowBytes, int count, int bits) {
  return rowBytes > 0 ? size_t(rowBytes) : (size_t(count) * size_t(bits) + 7) / 8;
}

// Indices of planes of bits each: plane j gives bits j x bits and up.
void planesToIndex(uchar* d, const uchar* s, int count, size_t stride, int bits, int planes, int bias) {
  const unsigned mask = (1u << bits) - 1u;
  for (int i = 0; i < count; ++i) {
    const size_t at = size_t(i) * size_t(bits);
    const size_t byte = at >> 3;
    const int shift = 8 - bits - int(at & 7);
    unsigned v = 0;
    for (int j = 0; j < planes; ++j) v |= ((unsigned(s[size_t(j) * stride + byte]) >> shift) & mask) << (j * bits);
    d[i] = uchar(v - unsigned(bias));
  }
}

// Four one-bit planes to values 0 ... 15 minus bias, eight pixels per step.
void fourPlanesToBytes(uchar* d, const uchar* s, int count, size_t stride, int bias) {
  const uchar* p0 = s;
  const uchar* p1 = s + stride;
  const uchar* p2 = s + 2 * stride;
  const uchar* p3 = s + 3 * stride;
  for (int i = 0; i < count; i += 8) {
    const size_t k = size_t(i) >> 3;
    const unsigned b0 = p0[k], b1 = p1[k], b2 = p2[k], b3 = p3[k];
    const int n = std::min(8, count - i);
    for (int t = 0; t < n; ++t) {
      const int shift = 7 - t;
      const unsigned v = ((b0 >> shift) & 1u) | ((b1 >> shift) & 1u) << 1 | ((b2 >> shift) & 1u) << 2 |
                         ((b3 >> shift) & 1u) << 3;
      d[i + t] = uchar(v - unsigned(bias));
    }
  }
}

void bytesToFourPlanes(uchar* d, const uchar* s, int count, size_t stride, int bias) {
  std::memset(d, 0, 4 * stride);
  for (int i = 0; i < count; ++i) {
    const unsigned v = unsigned(s[i] + bias);
    const size_t k = size_t(i) >> 3;
    const uchar bit = uchar(0x80u >> (i & 7));
    for (int j = 0; j < 4; ++j)
      if (v >> j & 1u) d[size_t(j) * stride + k] |= bit;
  }
}

}  // namespace

int TImgConvertFourBits2UChar::convert(void* dest, const void* src, int count) {
  if (count <= 0) return count;
  fourPlanesToBytes(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 1),
                    0);
  return count;
}

int TImgConvertFourBits2SChar::convert(void* dest, const void* src, int count) {
  if (count <= 0) return count;
  fourPlanesToBytes(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 1),
                    128);
  return count;
}

int TImgConvertUChar2FourBits::convert(void* dest, const void* src, int count) {
  if (count <= 0) return count;
  bytesToFourPlanes(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 1),
                    0);
  return count;
}

int TImgConvertSChar2FourBits::convert(void* dest, const void* src, int count) {
  if (count <= 0) return count;
  bytesToFourPlanes(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 1),
                    128);
  return count;
}

namespace {

// Three planes of a row and pixels of three bytes; R and B name the pixel
// byte of the red and the blue sample.
template <int R, int B>
void planesToPixels(uchar* __restrict d, const uchar* __restrict planes, int count, size_t stride) {
  const uchar* __restrict r = planes;
  const uchar* __restrict g = r + stride;
  const uchar* __restrict b = g + stride;
  for (int i = 0; i < count; ++i, d += 3) {
    d[R] = r[i];
    d[1] = g[i];
    d[B] = b[i];
  }
}

template <int R, int B>
void pixelsToPlanes(uchar* __restrict planes, const uchar* __restrict s, int count, size_t stride) {
  uchar* __restrict r = planes;
  uchar* __restrict g = r + stride;
  uchar* __restrict b = g + stride;
  for (int i = 0; i < count; ++i, s += 3) {
    r[i] = s[R];
    g[i] = s[1];
    b[i] = s[B];
  }
}

}  // namespace

int TImgConvertRRRGGGBBB_2_RGBRGB::convert(void* dest, const void* src, int count) {
  planesToPixels<0, 2>(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 8));
  return count;
}

int TImgConvertRRRGGGBBB_2_BGRBGR::convert(void* dest, const void* src, int count) {
  planesToPixels<2, 0>(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 8));
  return count;
}

int TImgConvertRGBRGB_2_RRRGGGBBB::convert(void* dest, const void* src, int count) {
  pixelsToPlanes<0, 2>(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 8));
  return count;
}

int TImgConvertBGRBGR_2_RRRGGGBBB::convert(void* dest, const void* src, int count) {
  pixelsToPlanes<2, 0>(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 8));
  return count;
}

namespace {
void planesToGrey(uchar* d, const uchar* s, int count, size_t stride, int bias) {
  const uchar* r = s;
  const uchar* g = s + stride;
  const uchar* b = g + stride;
  for (int i = 0; i < count; ++i) d[i] = uchar(((77u * r[i] + 151u * g[i] + 28u * b[i]) >> 8) - unsigned(bias));
}
}  // namespace

int TImgConvertRRRGGGBBB2UChar::convert(void* dest, const void* src, int count) {
  planesToGrey(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 8), 0);
  return count;
}

int TImgConvertRRRGGGBBB2SChar::convert(void* dest, const void* src, int count) {
  planesToGrey(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, 8), 128);
  return count;
}

TImgConvertPlanes2Index::TImgConvertPlanes2Index(int bitsPerPlane, int planes, int b)
    : TImgConvertA2B(b ? 127.0 : 255.0, b ? -128.0 : 0.0), bits(bitsPerPlane), planeCount(planes), bias(b) {}

int TImgConvertPlanes2Index::convert(void* dest, const void* src, int count) {
  if (count <= 0 || bits <= 0 || bits > 8 || planeCount <= 0) return count;
  planesToIndex(static_cast<uchar*>(dest), static_cast<const uchar*>(src), count, planeStride(rowBytes, count, bits),
                bits, planeCount, bias);
  return count;
}

TImgConvertA2B* TImgConvertPlanes2Index::clone() const { return new TImgConvertPlanes2Index(bits, planeCount, bias); }

namespace {

using qorTableRows::byteCopy;
using qorTableRows::make;

// disk coding -> memory type
const TConverterRow pcxToMemory[] = {
    {image1BitPerPix, stOneBit, make<TImgConvertOneBit2OneBit>},
    {image1BitPerPix, stUChar, make<TImgConvertOneBit2UChar>},
    {image1BitPerPix, stSChar, make<TImgConvertOneBit2SChar>},
    {image1BitPerPix, stBitmap, make<TImgConvertOneBit2OneBit>},
    {image4BitPerPix, stUChar, make<TImgConvertFourBits2UChar>},
    {image4BitPerPix, stSChar, make<TImgConvertFourBits2SChar>},
    {image4BitPerPix, stBitmap, make<TImgConvertFourBits2UChar>},
    {image8BitPerPix, stUChar, byteCopy},
    {image8BitPerPix, stSChar, make<TImgConvertUChar2SChar>},
    {image8BitPerPix, stBitmap, byteCopy},
    {image24BitPerPix, stUChar, make<TImgConvertRRRGGGBBB2UChar>},
    {image24BitPerPix, stSChar, make<TImgConvertRRRGGGBBB2SChar>},
    {image24BitPerPix, stRGB, make<TImgConvertRRRGGGBBB_2_RGBRGB>},
    {image24BitPerPix, stBitmap, make<TImgConvertRRRGGGBBB_2_BGRBGR>},
};

// memory type -> disk coding
const TConverterRow pcxToDisk[] = {
    {stOneBit, image1BitPerPix, make<TImgConvertOneBit2OneBit>},
    {stUChar, image1BitPerPix, make<TImgConvertUChar2OneBit>},
    {stUChar, image4BitPerPix, make<TImgConvertUChar2FourBits>},
    {stUChar, image8BitPerPix, byteCopy},
    {stSChar, image1BitPerPix, make<TImgConvertSChar2OneBit>},
    {stSChar, image4BitPerPix, make<TImgConvertSChar2FourBits>},
    {stSChar, image8BitPerPix, make<TImgConvertSChar2UChar>},
    {stRGB, image24BitPerPix, make<TImgConvertRGBRGB_2_RRRGGGBBB>},
    {stBitmap, image1BitPerPix, make<TImgConvertOneBit2OneBit>},
    {stBitmap, image4BitPerPix, make<TImgConvertUChar2FourBits>},
    {stBitmap, image8BitPerPix, byteCopy},
    {stBitmap, image24BitPerPix, make<TImgConvertBGRBGR_2_RRRGGGBBB>},
};

// The plane layouts the writer stores: (bits per plane, planes).
bool writtenLayout(int bits, int planes) {
  return (bits == 1 && (planes == 1 || planes == 4)) || (bits == 8 && (planes == 1 || planes == 3));
}

}  // namespace

TPCXConverters::TPCXConverters() : TSharedConverterTables(pcxToMemory, pcxToDisk) {}

TImgConvertA2B* TPcxFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  const int type = image->coding();
  const TPcxHead& h = fileInfo.head;
  const int coding = fileInfo.coding();
  if (coding == image8BitPerPix && h.planes > 1 && (type == stUChar || type == stSChar || type == stBitmap)) {
    TImgConvertA2B* c = new TImgConvertPlanes2Index(h.bitsPerPixel, h.planes, type == stSChar ? 128 : 0);
    if (!c) QOR_RAISE_MEMORY();
    return c;
  }
  if (coding == image24BitPerPix && h.planes != 3)
    QOR_RAISE("PCX file \"%s\": %d plane(s) of %d bits are not read; 24-bit files are read as three planes of 8 bits.",
              fileNameForMessages(), int(h.planes), int(h.bitsPerPixel));
  return readConverter(TPCXConverters::tables(), coding, image);
}

// Planes of 1 or 2 bits that make 8-bit indices are gathered first.
TImgConvertA2B* TPcxFormatDriver::indexConverter(const TConverterTables& t, int fileCoding) {
  const TPcxHead& h = fileInfo.head;
  if (fileCoding != image8BitPerPix || h.planes <= 1) return TFileFormatDriver::indexConverter(t, fileCoding);
  TImgConvertA2B* c = new TImgConvertPlanes2Index(h.bitsPerPixel, h.planes, 0);
  if (!c) QOR_RAISE_MEMORY();
  return c;
}

TImgConvertA2B* TPcxFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  const TPcxHead& h = fileInfo.head;
  if (!writtenLayout(h.bitsPerPixel, h.planes))
    QOR_RAISE("PCX file \"%s\": %d plane(s) of %d bits cannot be written; the writer stores one plane of 1 or 8 "
              "bits, four planes of 1 bit or three planes of 8 bits.",
              fileNameForMessages(), int(h.planes), int(h.bitsPerPixel));
  return writeConverter(TPCXConverters::tables(), image, fileInfo.coding());
}

// ---------------------------------------------------------------- driver

TPcxFormatDriver::TPcxFormatDriver() { fileInfo.head.fillPCXHead(); }

TPcxFormatDriver::~TPcxFormatDriver() = default;

int TPcxFormatDriver::recognizeFormat() {
  TPcxHead h;
  if (!readPrefixRecord(h)) return 0;
  return h.manufacturer == pcxLayout::manufacturerMark && h.xMin >= 0 && h.yMin >= 0 && h.xMax >= h.xMin &&
         h.yMax >= h.yMin;
}

void TPcxFormatDriver::readTrailingPalette(const char* what) {
  const int64_t size = stream->size();
  const int64_t at = size - pcxLayout::trailingPaletteBytes;
  if (size <= 0) QOR_RAISE("%s: the stream does not tell its size, which the 256-colour palette at its end needs.", what);
  if (at < pcxLayout::headerSize)
    QOR_RAISE("%s: the file of %lld bytes has no room for its 256-colour palette after the header.", what,
              (long long)size);
  unsigned char bytes[pcxLayout::trailingPaletteBytes];
  if (!seekTo(at) || stream->read(bytes, pcxLayout::trailingPaletteBytes) != pcxLayout::trailingPaletteBytes)
    QOR_RAISE("%s: the file ends inside its 256-colour palette.", what);
  const bool sixBits = bytes[0] == pcxLayout::sixBitPaletteMarker;
  for (int i = 0; i < 256; ++i) {
    const unsigned char* e = bytes + 1 + 3 * i;
    palette[i] = sixBits ? TqorPaletteItem{uchar(e[0] << 2), uchar(e[1] << 2), uchar(e[2] << 2)}
                         : TqorPaletteItem{e[0], e[1], e[2]};
  }
  // the lines end where the palette begins
  lineDataEnd = at;
}

int TPcxFormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "PCX header";
  TPcxFileInfo read;
  QOR_READ_HEADER_RECORD(read.head, what);
  const TPcxHead& h = read.head;
  if (h.manufacturer != pcxLayout::manufacturerMark)
    QOR_RAISE("%s: the first byte is %d, not %d.", what, int(h.manufacturer), pcxLayout::manufacturerMark);
  if (h.xMin < 0 || h.yMin < 0 || h.xMax < h.xMin || h.yMax < h.yMin)
    QOR_RAISE("%s: the window from (%d, %d) to (%d, %d) holds no picture.", what, int(h.xMin), int(h.yMin),
              int(h.xMax), int(h.yMax));

  const int bits = h.bitsPerPixel, planes = h.planes;
  enum { grey, blackWhite, headerMap, trailing } source = grey;
  switch (bits) {
    case 1: source = planes == 1 ? blackWhite : planes == 4 ? headerMap : planes == 8 ? trailing : grey; break;
    case 2:
      if (planes != 4) QOR_RAISE("Unknown combination in PCX file, planes = %d bits per plane = %d.", planes, bits);
      source = trailing;
      break;
    case 8: source = planes == 1 ? trailing : grey; break;
    case 16:
    case 24:
    case 32: break;
    default:
      QOR_RAISE("This PCX file use %d bits per plane, I'm able to use only 1, 2, 8, 16, 24 and 32 bits\nper plane.",
                bits);
  }
  if (planes == 0) QOR_RAISE("%s: the file has no planes.", what);
  const int64_t width = read.sizeX(), height = read.sizeY();
  const int64_t needed = (width * bits + 7) / 8;
  if (h.bytesPerLine <= 0 || h.bytesPerLine < needed)
    QOR_RAISE("%s: %d bytes per line and plane cannot hold %lld pixels of %d bits (%lld bytes).", what,
              int(h.bytesPerLine), (long long)width, bits, (long long)needed);
  checkGeometry(int64_t(planes) * h.bytesPerLine, width, height, what, bits * planes);

  adoptDescriptor(fileInfo, read);
  // a caller's stream may not know its size (0): the reads tell then
  lineDataEnd = stream->size() > 0 ? stream->size() : INT64_MAX;
  switch (source) {
    case blackWhite:
      palette[0] = TqorPaletteItem{0, 0, 0};
      palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
      break;
    case headerMap:
      for (int i = 0; i < 16; ++i)
        palette[i] = TqorPaletteItem{h.colorMap[3 * i], h.colorMap[3 * i + 1], h.colorMap[3 * i + 2]};
      break;
    case trailing: readTrailingPalette(what); break;
    case grey: break;
  }
  stream->clear();
  return 0;
}

int TPcxFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create a PCX file";
  const int coding = source->coding();
  const int64_t width = source->sizeX(), height = source->sizeY();
  if (coding != 1 && coding != 4 && coding != 8 && coding != 24)
    QOR_RAISE("%s: %d bits per pixel cannot be written; the writer stores 1, 4, 8 or 24.", what, coding);
  if (width < 1 || width > pcxLayout::maxSide || height < 1 || height > pcxLayout::maxSide)
    QOR_RAISE("%s: the size %lld x %lld is outside 1 to %d pixels a side, which the header holds.", what,
              (long long)width, (long long)height, pcxLayout::maxSide);
  const int64_t perPlane = pcxLayout::writtenBytesPerLine(coding, width);
  if (perPlane > INT16_MAX)
    QOR_RAISE("%s: a line of %lld pixels takes %lld bytes per plane, more than the header holds.", what,
              (long long)width, (long long)perPlane);
  auto* pcx = dynamic_cast<TPcxFileInfo*>(source);
  // the header is always the writer's own: a descriptor taken from a read
  // file keeps only its coding, size and encoding
  const TPcxFileInfo wanted =
      withCallerFields(TPcxFileInfo(coding, int(width), int(height), pcx ? pcx->head.encoding : 1), source);
  const int planes = wanted.head.planes;
  checkGeometry(int64_t(planes) * perPlane, width, height, what, coding);
  adoptDescriptor(fileInfo, wanted);
  lineDataEnd = INT64_MAX;
  unsigned char bytes[pcxLayout::headerSize];
  fileInfo.head.toBytes(bytes);
  writeAtStart(bytes, pcxLayout::headerSize);
  return 0;
}

void TPcxFormatDriver::startRows(TqorImageBase* image, bool write) {
  setRowLayout({lineBytes(), fileInfo.sizeX(), fileInfo.sizeY(), false});
  if (write) {
    for (int i = 0; i < 16; ++i) {
      fileInfo.head.colorMap[3 * i] = palette[i].red;
      fileInfo.head.colorMap[3 * i + 1] = palette[i].green;
      fileInfo.head.colorMap[3 * i + 2] = palette[i].blue;
    }
    const size_t need = 2 * size_t(layout.rowBytes) * size_t(rowsPerBuffer());
    if (fileInfo.head.encoding != 0 && need > encodedBytes) {
      encoded.reset(new (std::nothrow) unsigned char[need]);
      if (!encoded) {
        encodedBytes = 0;
        QOR_RAISE_MEMORY();
      }
      encodedBytes = need;
    }
    unsigned char bytes[pcxLayout::headerSize];
    fileInfo.head.toBytes(bytes);
    writeAtStart(bytes, pcxLayout::headerSize);
  } else {
    // a stream that cannot reach the lines reads them all short
    const bool there = seekTo(pcxLayout::headerSize);
    decoder.start(&fileInfo.head, stream, there ? lineDataEnd - pcxLayout::headerSize : 0, chunkSlack);
  }
  transferImage(image, write);
}

namespace {
// The converter's row length: one-bit copies move the pixels' bytes, the
// planar converters step from plane to plane by the line length.
int converterRowBytes(TPcxFileInfo& info) {
  return info.coding() == image1BitPerPix ? (info.sizeX() + 7) / 8 : info.head.bytesPerLine;
}
}  // namespace

int TPcxFormatDriver::readImage(TqorImageBase* image, int) {
  if (startImage(image, false, converterRowBytes(fileInfo))) startRows(image, false);
  return 0;
}

int TPcxFormatDriver::writeImage(TqorImageBase* image, int) {
  // the converter first: a pair without one leaves the file as it was
  if (startImage(image, true, converterRowBytes(fileInfo))) startRows(image, true);
  return 0;
}

void TPcxFormatDriver::writeTrailer() {
  if (fileInfo.coding() != image8BitPerPix) return;
  const unsigned char marker = pcxLayout::paletteMarker;
  stream->write(&marker, 1);
  writePalette(256, 3, false);
}

void TPcxFormatDriver::fetchRows(unsigned char* rows, int count) {
  const int length = layout.rowBytes;
  for (int k = 0; k < count; ++k) decoder.nextLine(rows + size_t(k) * size_t(length), length);
  // lines that stop before their end are a short file
  if (decoder.ranDry()) stream->markFailed();
}

void TPcxFormatDriver::storeRows(const unsigned char* rows, int count) {
  if (fileInfo.head.encoding == 0 || !encoded) {
    TFileFormatDriver::storeRows(rows, count);
    return;
  }
  const int length = layout.rowBytes;
  size_t used = 0;
  for (int k = 0; k < count; ++k)
    used += size_t(encodeLine(rows + size_t(k) * size_t(length), length, encoded.get() + used));
  stream->write(encoded.get(), int(used));
}

int TPcxFormatDriver::hasPalette() {
  return bitsHavePalette(fileInfo.coding());
}

int TPcxFormatDriver::paletteSize() {
  return paletteEntriesOf(fileInfo.coding());
}
