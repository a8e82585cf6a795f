#include "zbmpdrv.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "zbitconv.h"
#include "zconvrow.h"

using uchar = unsigned char;

// ---------------------------------------------------------------- on-disk layout

// Offsets from the start of the file; all fields little-endian.
namespace bmpLayout {
// File header.
inline constexpr int type = 0;       // uint16, the magic "BM"
inline constexpr int fileSize = 2;   // uint32
inline constexpr int reserved1 = 6;  // uint16
inline constexpr int reserved2 = 8;  // uint16
inline constexpr int offBits = 10;   // uint32: start of the pixel rows
inline constexpr int fileHeaderSize = TBmpHead::diskSize;
inline constexpr unsigned magic = TBmpHead::magic;
// Info header (40 bytes, the layout of TqorBITMAPINFOHEADER).
inline constexpr int infoHeader = 14;
inline constexpr int infoSize = 14;      // uint32, 40
inline constexpr int width = 18;         // int32
inline constexpr int height = 22;        // int32, negative for top-down rows
inline constexpr int planes = 26;        // uint16
inline constexpr int bitCount = 28;      // uint16
inline constexpr int compression = 30;   // uint32
inline constexpr int sizeImage = 34;     // uint32
inline constexpr int xPelsPerMeter = 38; // int32
inline constexpr int yPelsPerMeter = 42; // int32
inline constexpr int clrUsed = 46;       // uint32
inline constexpr int clrImportant = 50;  // uint32
inline constexpr int infoHeaderSize = 40;
// Longer info headers start as the 40-byte one; from 52 bytes on they hold
// the colour masks, from 56 bytes on the alpha mask too, then colour space
// fields that the reader leaves alone.
inline constexpr int infoHeaderV2Size = 52;
inline constexpr int infoHeaderV3Size = 56;
inline constexpr int infoHeaderV4Size = 108;
inline constexpr int infoHeaderV5Size = 124;
// Info headers of OS/2 2.x, whose compression codes mean other things: refused.
inline constexpr int os2InfoHeaderShortSize = 16;
inline constexpr int os2InfoHeaderSize = 64;
// The colour masks red, green, blue, uint32 each: after a 40-byte header of a
// bit-field file, inside the longer headers; at the same offset either way.
inline constexpr int masks = 54;
inline constexpr int maskBytes = 12;
inline constexpr int alphaMask = 66;  // uint32, headers of 56 bytes and more
inline constexpr int palette = 54;  // after a 40-byte header: entries of blue, green, red, reserved
inline constexpr int paletteEntryBytes = 4;
inline constexpr int headersEnd = 54;

// Compression codes.
inline constexpr uint32_t compressionNone = 0;
inline constexpr uint32_t compressionRLE8 = 1;
inline constexpr uint32_t compressionRLE4 = 2;
inline constexpr uint32_t compressionBitFields = 3;
inline constexpr uint32_t compressionJpeg = 4;  // embedded JPEG stream, not decoded
inline constexpr uint32_t compressionPng = 5;   // embedded PNG stream, not decoded
// Bit-field masks the converters decode (red, green, blue).
inline constexpr uint32_t red555 = 0x7C00, green555 = 0x03E0, blue555 = 0x001F;
inline constexpr uint32_t red565 = 0xF800, green565 = 0x07E0, blue565 = 0x001F;
inline constexpr uint32_t red888 = 0xFF0000, green888 = 0x00FF00, blue888 = 0x0000FF;

// Run-length escapes (a count byte of 0 followed by one of these).
inline constexpr int escapeEndOfLine = 0;
inline constexpr int escapeEndOfBitmap = 1;
inline constexpr int escapeDelta = 2;
}  // namespace bmpLayout

void TBmpHead::fillBMPHead() {
  bfType = uint16_t(bmpLayout::magic);
  bfSize = 0;
  bfReserved1 = 0;
  bfReserved2 = 0;
  bfOffBits = 0;
}

void TBmpHead::toBytes(unsigned char out[bmpLayout::fileHeaderSize]) const {
  qorLE::put16(out + bmpLayout::type, bfType);
  qorLE::put32(out + bmpLayout::fileSize, bfSize);
  qorLE::put16(out + bmpLayout::reserved1, bfReserved1);
  qorLE::put16(out + bmpLayout::reserved2, bfReserved2);
  qorLE::put32(out + bmpLayout::offBits, bfOffBits);
}

void TBmpHead::fromBytes(const unsigned char in[bmpLayout::fileHeaderSize]) {
  bfType = uint16_t(qorLE::get16(in + bmpLayout::type));
  bfSize = qorLE::get32(in + bmpLayout::fileSize);
  bfReserved1 = uint16_t(qorLE::get16(in + bmpLayout::reserved1));
  bfReserved2 = uint16_t(qorLE::get16(in + bmpLayout::reserved2));
  bfOffBits = qorLE::get32(in + bmpLayout::offBits);
}

// ---------------------------------------------------------------- descriptor

TBmpFileInfo::TBmpFileInfo() : head(), info(), redMask(0), greenMask(0), blueMask(0) {}

TBmpFileInfo::TBmpFileInfo(int coding, int sizeX, int sizeY) : TBmpFileInfo() {
  head.fillBMPHead();
  info.fill();
  info.biWidth = sizeX;
  info.biHeight = sizeY;
  info.biBitCount = uint16_t(coding);
}

TBmpFileInfo::~TBmpFileInfo() = default;

int TBmpFileInfo::formatID() { return idBMP(); }

int TBmpFileInfo::rowCount() const {
  // INT_MIN has no absolute value; the drivers refuse it, the descriptor only must not overflow
  if (info.biHeight == INT32_MIN) return INT32_MAX;
  return info.biHeight < 0 ? -info.biHeight : info.biHeight;
}

TFileInfo* fiBmpFileInfo(int coding, int sizeX, int sizeY) {
  return qorOwnedFileInfo<TBmpFileInfo>(coding, sizeX, sizeY);
}

// ---------------------------------------------------------------- row codec

TDecompressBmpStream::TDecompressBmpStream()
    : header(nullptr), slack(0), endOfBitmap(0), deltaX(0), rowsToSkip(0), deltaPending(0), unpacked(nullptr),
      unpackedSize(0) {}

TDecompressBmpStream::~TDecompressBmpStream() { delete[] unpacked; }

void TDecompressBmpStream::start(const TqorBITMAPINFOHEADER* h, TqorStream* s, int rowSlack) {
  header = h;
  slack = rowSlack;
  bytes.init(s);
  endOfBitmap = 0;
  deltaPending = 0;
  deltaX = 0;
  rowsToSkip = 0;
  if (h && h->biCompression == bmpLayout::compressionRLE4) {
    // one byte per pixel, with the slack of a few spare bytes
    const int64_t width = h->biWidth > 0 ? h->biWidth : 0;
    const int64_t n = width + 16;
    if (n > INT32_MAX) QOR_RAISE("A 4-bit run-length row of %lld pixels does not fit in 32 bits.", (long long)width);
    if (n > unpackedSize) {
      uchar* fresh = new (std::nothrow) uchar[size_t(n)];
      if (!fresh) QOR_RAISE_MEMORY();
      delete[] unpacked;
      unpacked = fresh;
      unpackedSize = int(n);
    }
  }
}

void TDecompressBmpStream::nextRow(unsigned char* row, int length) {
  if (length <= 0) return;
  const uint32_t compression = header ? header->biCompression : bmpLayout::compressionNone;
  if (compression == bmpLayout::compressionRLE8) {
    rle8Row(row, length);
  } else if (compression == bmpLayout::compressionRLE4) {
    rle4Row(row, length);
  } else {
    const int got = bytes.read(row, length);
    const int have = got > 0 ? got : 0;
    // rows past the end of a short file are zeros
    if (have < length) std::memset(row + have, 0, size_t(length - have));
  }
}

bool TDecompressBmpStream::rowIsSkipped() {
  if (endOfBitmap) return true;
  if (deltaPending && rowsToSkip > 1) {
    --rowsToSkip;
    return true;
  }
  return false;
}

// Column after n more pixels, held at the row's end: pixels beyond it are
// dropped, so a larger column would change nothing.
static inline int advance(int x, int n, int end) { return n < end - x ? x + n : end; }

namespace {


}  // namespace

void TDecompressBmpStream::rle8Row(unsigned char* row, int length) {
  std::memset(row, 0, size_t(length));
  if (rowIsSkipped()) return;
  TSmartReadCursor in(bytes);
  // With slack after the row, short runs are stored 16 bytes at a time; the
  // bytes stored past a run are cleared again where no later run covers them.
  const bool wide = slack >= 16;
  int dirty = 0;  // bytes before it may hold such overshoot
  auto clearFrom = [&](int x) {
    if (dirty > x) std::memset(row + x, 0, size_t(std::min(dirty, length) - x));
    dirty = 0;
  };
  int x = 0;
  for (;;) {
    if (deltaPending) {
      x = deltaX;
      deltaPending = 0;
    }
    const int count = in.nextOrZero();
    if (count > 0) {
      const uchar value = uchar(in.nextOrZero());
      if (x < length) {
        if (wide && count <= 16) {
          qorConvertRow::fill16(row + x, value);
          if (x + 16 > dirty) dirty = x + 16;
        } else {
          std::memset(row + x, value, size_t(std::min(count, length - x)));
        }
      }
      x = advance(x, count, length);
      continue;
    }
    const int escape = in.nextOrZero();
    if (escape > bmpLayout::escapeDelta) {
      // absolute run, padded to a 16-bit boundary
      const int keep = x < length ? std::min(escape, length - x) : 0;
      const int n = escape + (escape & 1);
      const uchar* ahead = wide && n <= 16 ? in.buffered(16) : nullptr;
      if (ahead) {
        // 16 bytes stored at once; those past the run are cleared again later
#if defined(__SSE2__)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + x), _mm_loadu_si128(reinterpret_cast<const __m128i*>(ahead)));
#else
        std::memcpy(row + x, ahead, 16);
#endif
        in.skip(n);
        if (x + 16 > dirty) dirty = x + 16;
      } else {
        in.take(row + x, keep, n);
      }
      x = advance(x, escape, length);
      continue;
    }
    int dx = 0, dy = 0;
    if (escape == bmpLayout::escapeDelta) {
      dx = in.nextOrZero();
      dy = in.nextOrZero();
    }
    clearFrom(x);
    if (controlEndsRow(escape, x, length, dx, dy)) return;
  }
}

// End of line, end of bitmap or a delta (whose column takes effect at the next
// code of the row); true when the row is complete.
bool TDecompressBmpStream::controlEndsRow(int escape, int x, int length, int dx, int dy) {
  if (escape == bmpLayout::escapeEndOfLine) return true;
  if (escape == bmpLayout::escapeEndOfBitmap) {
    endOfBitmap = 1;
    return true;
  }
  deltaPending = 1;
  deltaX = advance(x, dx, length);
  rowsToSkip = dy;
  return dy != 0;
}

void TDecompressBmpStream::rle4Row(unsigned char* row, int length) {
  std::memset(row, 0, size_t(length));
  if (!unpacked) return;
  std::memset(unpacked, 0, size_t(unpackedSize));
  const int width = header->biWidth > 0 ? std::min(header->biWidth, unpackedSize) : 0;
  TBmpCopy8to4OnReturn pack(row, length, unpacked, width);
  if (rowIsSkipped()) return;
  int x = 0;
  for (;;) {
    if (deltaPending) {
      x = deltaX;
      deltaPending = 0;
    }
    const int count = bytes.get();
    if (count > 0) {
      const int value = bytes.get();
      const uchar nibbles[2] = {uchar(value >> 4), uchar(value & 15)};
      const int end = x < width ? x + std::min(count, width - x) : x;
      for (int i = x; i < end; ++i) unpacked[i] = nibbles[(i - x) & 1];
      x = advance(x, count, width);
      continue;
    }
    const int escape = bytes.get();
    if (escape > bmpLayout::escapeDelta) {
      // absolute run: two pixels per byte, the run's bytes padded to a 16-bit boundary
      for (int i = 0; i < escape; i += 2) {
        const int value = bytes.get();
        if (x + i < width) unpacked[x + i] = uchar(value >> 4);
        if (i + 1 < escape && x + i + 1 < width) unpacked[x + i + 1] = uchar(value & 15);
      }
      if ((escape & 3) == 1 || (escape & 3) == 2) bytes.get();
      x = advance(x, escape, width);
      continue;
    }
    int dx = 0, dy = 0;
    if (escape == bmpLayout::escapeDelta) {
      dx = bytes.get();
      dy = bytes.get();
    }
    if (controlEndsRow(escape, x, width, dx, dy)) return;
  }
}

TBmpCopy8to4OnReturn::~TBmpCopy8to4OnReturn() {
  if (!dest || !src || count <= 0 || destBytes <= 0) return;
  const int n = std::min(int((int64_t(count) + 1) / 2), destBytes);
  for (int k = 0; k < n; ++k) {
    const unsigned high = src[2 * k] & 15u;
    const unsigned low = 2 * k + 1 < count ? src[2 * k + 1] & 15u : 0u;
    dest[k] = uchar(high << 4 | low);
  }
}

// ---------------------------------------------------------------- converter tables

namespace {

using qorTableRows::byteCopy;
using qorTableRows::make;

// disk coding -> memory type
const TConverterRow bitmapToMemory[] = {
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
    {image16BitPerPix, stRGB, make<TImgConvert555rgb2RGB>},
    {image16BitPerPix, stBitmap, make<TImgConvert555rgb2BGR>},
    {image24BitPerPix, stUChar, make<TImgConvertBGR2UChar>},
    {image24BitPerPix, stSChar, make<TImgConvertBGR2SChar>},
    {image24BitPerPix, stRGB, make<TImgConvertSwapBR>},
    {image24BitPerPix, stBitmap, make<TImgConvertRGB2RGB>},
    {image32BitPerPix, stRGB, make<TImgConvert32Bit2RGB>},
    {image32BitPerPix, stBitmap, make<TImgConvert32Bit2BGR>},
};

// memory type -> disk coding
const TConverterRow bitmapToDisk[] = {
    {stOneBit, image1BitPerPix, make<TImgConvertOneBit2OneBit>},
    {stUChar, image1BitPerPix, make<TImgConvertUChar2OneBit>},
    {stUChar, image4BitPerPix, make<TImgConvertUChar2FourBitsBMP>},
    {stUChar, image8BitPerPix, byteCopy},
    {stSChar, image1BitPerPix, make<TImgConvertSChar2OneBit>},
    {stSChar, image4BitPerPix, make<TImgConvertSChar2FourBitsBMP>},
    {stSChar, image8BitPerPix, make<TImgConvertSChar2UChar>},
    {stRGB, image24BitPerPix, make<TImgConvertSwapBR>},
    {stBitmap, image1BitPerPix, make<TImgConvertOneBit2OneBit>},
    {stBitmap, image4BitPerPix, make<TImgConvertUChar2FourBitsBMP>},
    {stBitmap, image8BitPerPix, byteCopy},
    {stBitmap, image24BitPerPix, make<TImgConvertRGB2RGB>},
};

}  // namespace

TImgConvertBitFields2RGB::TImgConvertBitFields2RGB(int bytes, const uint32_t masks[3], bool bgr)
    : TImgConvertA2B(255.0, 0.0), pixelBytes(bytes), maskOf{masks[0], masks[1], masks[2]}, blueFirst(bgr) {
  for (int c = 0; c < 3; ++c) {
    Channel& ch = channel[c];
    const uint32_t m = masks[c];
    if (m == 0) continue;
    while (!((m >> ch.shift) & 1u)) ++ch.shift;
    ch.max = m >> ch.shift;
    if (ch.max < (1u << 12)) {
      ch.levels.resize(size_t(ch.max) + 1);
      for (uint32_t v = 0; v <= ch.max; ++v) ch.levels[v] = uint8_t((uint64_t(v) * 510 + ch.max) / (2 * uint64_t(ch.max)));
    }
  }
}

TImgConvertA2B* TImgConvertBitFields2RGB::clone() const {
  return new TImgConvertBitFields2RGB(pixelBytes, maskOf, blueFirst);
}

const char* TImgConvertBitFields2RGB::maskFault(int bits, const uint32_t masks[3], char* text, size_t size) {
  static const char* const names[3] = {"red", "green", "blue"};
  const uint64_t inside = bits >= 32 ? 0xFFFFFFFFu : (uint64_t(1) << bits) - 1;
  for (int c = 0; c < 3; ++c) {
    const uint32_t m = masks[c];
    if (m == 0) {
      std::snprintf(text, size, "the %s mask is 0", names[c]);
      return text;
    }
    if (m & ~inside) {
      std::snprintf(text, size, "the %s mask 0x%X reaches past the %d bits of a pixel", names[c], unsigned(m), bits);
      return text;
    }
    const uint64_t low = m & (~m + 1u);  // the lowest bit set
    if (((uint64_t(m) + low) & m) != 0) {
      std::snprintf(text, size, "the %s mask 0x%X is not one run of bits", names[c], unsigned(m));
      return text;
    }
    for (int d = 0; d < c; ++d)
      if (m & masks[d]) {
        std::snprintf(text, size, "the %s mask 0x%X and the %s mask 0x%X share bits", names[d], unsigned(masks[d]),
                      names[c], unsigned(m));
        return text;
      }
  }
  return nullptr;
}

namespace {
inline uint8_t level(uint32_t v, uint32_t max) { return uint8_t((uint64_t(v) * 510 + max) / (2 * uint64_t(max))); }
}  // namespace

int TImgConvertBitFields2RGB::convert(void* dest, const void* src, int count) {
  const uchar* s = static_cast<const uchar*>(src);
  uchar* d = static_cast<uchar*>(dest);
  const int r = blueFirst ? 2 : 0, b = 2 - r;
  const Channel &red = channel[0], &green = channel[1], &blue = channel[2];
  const bool tables = !red.levels.empty() && !green.levels.empty() && !blue.levels.empty();
  for (int i = 0; i < count; ++i, s += pixelBytes, d += 3) {
    const uint32_t v = pixelBytes == 2 ? qorLE::get16(s) : qorLE::get32(s);
    const uint32_t vr = (v >> red.shift) & red.max, vg = (v >> green.shift) & green.max,
                   vb = (v >> blue.shift) & blue.max;
    if (tables) {
      d[r] = red.levels[vr];
      d[1] = green.levels[vg];
      d[b] = blue.levels[vb];
    } else {
      d[r] = level(vr, red.max);
      d[1] = level(vg, green.max);
      d[b] = level(vb, blue.max);
    }
  }
  return count;
}

TBitmapConverters::TBitmapConverters() : TSharedConverterTables(bitmapToMemory, bitmapToDisk) {}

namespace {
bool sameMasks(const TBmpFileInfo& f, uint32_t red, uint32_t green, uint32_t blue) {
  return f.redMask == red && f.greenMask == green && f.blueMask == blue;
}
}  // namespace

// Bit fields of 5-5-5 words and of 8-8-8 samples read as the files without
// bit fields, through the tables; 5-6-5 words have their own converters, and
// other masks decode through them.
TImgConvertA2B* TBmpFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  using namespace bmpLayout;
  const int type = image->coding();
  const TBmpFileInfo& f = fileInfo;
  const int bits = f.info.biBitCount;
  const bool tableMasks = (bits == image16BitPerPix && sameMasks(f, red555, green555, blue555)) ||
                          (bits == image32BitPerPix && sameMasks(f, red888, green888, blue888));
  if (f.info.biCompression == compressionBitFields && !tableMasks && (type == stBitmap || type == stRGB)) {
    TImgConvertA2B* c = nullptr;
    if (bits == image16BitPerPix && sameMasks(f, red565, green565, blue565)) {
      if (type == stBitmap)
        c = new TImgConvert565rgb2BGR;
      else
        c = new TImgConvert565rgb2RGB;
    } else {
      const uint32_t masks[3] = {f.redMask, f.greenMask, f.blueMask};
      c = new TImgConvertBitFields2RGB(bits / 8, masks, type == stBitmap);
    }
    if (!c) QOR_RAISE_MEMORY();
    return c;
  }
  return readConverter(TBitmapConverters::tables(), getFileInfo()->coding(), image, oneBitColours);
}

TImgConvertA2B* TBmpFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return writeConverter(TBitmapConverters::tables(), image, getFileInfo()->coding());
}

// ---------------------------------------------------------------- driver

TBmpFormatDriver::TBmpFormatDriver() : storedRow(0), oneBitColours{{0, 0, 0}, {255, 255, 255}} {}

TBmpFormatDriver::~TBmpFormatDriver() = default;

namespace {
// The info headers read as the 40-byte one.
bool readableInfoSize(uint32_t n) {
  using namespace bmpLayout;
  return n == uint32_t(infoHeaderSize) || n == uint32_t(infoHeaderV2Size) || n == uint32_t(infoHeaderV3Size) ||
         n == uint32_t(infoHeaderV4Size) || n == uint32_t(infoHeaderV5Size);
}

bool os2InfoSize(uint32_t n) {
  return n == uint32_t(bmpLayout::os2InfoHeaderShortSize) || n == uint32_t(bmpLayout::os2InfoHeaderSize);
}

bool readableDepth(int bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32; }

// " (name)" after a message about a named file, nothing for unnamed streams.
std::string fileSuffix(const char* file) { return *file ? std::string(" (") + file + ")" : std::string(); }
}  // namespace

int TBmpFormatDriver::recognizeFormat() {
  unsigned char bytes[bmpLayout::infoSize + 4] = {};
  if (!readPrefix(bytes, int(sizeof bytes))) return 0;
  // OS/2 2.x headers are claimed too, to be refused by name at open
  const uint32_t info = qorLE::get32(bytes + bmpLayout::infoSize);
  return qorLE::get16(bytes + bmpLayout::type) == bmpLayout::magic && (readableInfoSize(info) || os2InfoSize(info));
}

int TBmpFormatDriver::checkedRow(int64_t bits, int64_t width, int64_t height, const char* what) const {
  const int64_t row = width > 0 ? paddedRow(bits, width) : 0;
  checkGeometry(row, width, height, what, int(bits > INT32_MAX ? INT32_MAX : bits));
  return int(row);
}

void TBmpFormatDriver::readColourTable(int entryBytes, int entries, int64_t needed, uint32_t offBits,
                                       int tableStart, const char* what) {
  // the rows may start before the table would end; entries the file does not hold stay grey
  if (offBits >= uint32_t(tableStart)) {
    const int64_t room = (int64_t(offBits) - tableStart) / entryBytes;
    if (room < needed) needed = room;
  }
  const int got = readPalette(entries, entryBytes, true);
  if (got < needed)
    QOR_RAISE("%s: the file ends inside its colour table, after %d of %d entries.", what, got, int(needed));
  blackWhiteForOneBit();
  stream->clear();
}

void TBmpFormatDriver::blackWhiteForOneBit() {
  if (paletteSize() != 2) return;
  oneBitColours[0] = palette[0];
  oneBitColours[1] = palette[1];
  palette[0] = TqorPaletteItem{0, 0, 0};
  palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
}

namespace {
const char* compressionName(uint32_t c) {
  switch (c) {
    case bmpLayout::compressionJpeg: return " (JPEG)";
    case bmpLayout::compressionPng: return " (PNG)";
    default: return "";
  }
}
}  // namespace

void TBmpFormatDriver::checkCompression(uint32_t compression, const char* what) const {
  const char* file = fileNameForMessages();
  const char* open = *file ? " (" : "";
  const char* close = *file ? ")" : "";
  if (compression > bmpLayout::compressionBitFields)
    QOR_RAISE("%s: compression %u%s is not supported%s%s%s.", what, unsigned(compression),
              compressionName(compression), open, file, close);
}

int TBmpFormatDriver::readHeader() {
  using namespace bmpLayout;
  fillPaletteAsGrey();
  const char* what = "BMP header";
  const std::string file = fileSuffix(fileNameForMessages());
  unsigned char bytes[fileHeaderSize + infoHeaderV5Size] = {};
  const int got = readAtStart(bytes, int(sizeof bytes));
  if (got < headersEnd)
    QOR_RAISE("%s: the file ends after %d bytes, inside the %d bytes of the headers.", what, got, headersEnd);
  TBmpFileInfo read;
  read.head.fromBytes(bytes);
  read.info.fromBytes(bytes + infoHeader);
  if (read.head.bfType != magic) QOR_RAISE("%s: the file does not start with \"BM\".", what);
  const uint32_t infoBytes = read.info.biSize;
  if (os2InfoSize(infoBytes))
    QOR_RAISE("%s: OS/2 2.x info headers (%u bytes) are not supported%s.", what, unsigned(infoBytes), file.c_str());
  if (!readableInfoSize(infoBytes))
    QOR_RAISE("%s: an info header of %u bytes is none of 40, 52, 56, 108 or 124 bytes%s.", what, unsigned(infoBytes),
              file.c_str());
  const int headers = fileHeaderSize + int(infoBytes);
  if (got < headers)
    QOR_RAISE("%s: the file ends after %d bytes, inside the %d bytes of the headers.", what, got, headers);
  if (read.info.biHeight == INT32_MIN) QOR_RAISE("%s: height %d is out of range.", what, int(read.info.biHeight));
  checkCompression(read.info.biCompression, what);
  const int row = checkedRow(read.info.biBitCount, read.info.biWidth, read.sizeY(), what);

  const int bits = read.info.biBitCount;
  if (read.info.biCompression == compressionBitFields) {
    if (bits != 16 && bits != 32)
      QOR_RAISE("%s: bit fields are defined for 16 and 32 bits per pixel, not for %d.", what, bits);
    // after a 40-byte header the masks follow it, in the longer ones they are part of it
    if (got < masks + maskBytes) QOR_RAISE("%s: the file ends inside its colour masks.", what);
    read.redMask = qorLE::get32(bytes + masks);
    read.greenMask = qorLE::get32(bytes + masks + 4);
    read.blueMask = qorLE::get32(bytes + masks + 8);
    const uint32_t m[3] = {read.redMask, read.greenMask, read.blueMask};
    char fault[160];
    if (TImgConvertBitFields2RGB::maskFault(bits, m, fault, sizeof fault))
      QOR_RAISE("%s: bit fields of %d-bit pixels: %s%s.", what, bits, fault, file.c_str());
  }
  if (!readableDepth(bits)) QOR_RAISE("%s: %d-bit pixels are not supported%s.", what, bits, file.c_str());
  fileInfo = read;
  storedRow = row;

  if (bits <= 8) {
    // the whole table is read whatever the colour counts say; the file must
    // hold its colour count, at most the depth's
    int64_t needed = int64_t(1) << (bits < 8 ? bits : 8);
    if (read.info.biClrUsed != 0 && read.info.biClrUsed < uint32_t(needed)) needed = read.info.biClrUsed;
    if (!seekTo(headers)) QOR_RAISE("%s: the stream cannot be positioned after the headers.", what);
    readColourTable(paletteEntryBytes, 256, needed, read.head.bfOffBits, headers, what);
  }
  stream->clear();
  return 0;
}

void TBmpFormatDriver::normaliseForWriting() {
  TqorBITMAPINFOHEADER& h = fileInfo.info;
  h.biSize = uint32_t(bmpLayout::infoHeaderSize);
  h.biCompression = bmpLayout::compressionNone;
  if (h.biHeight < 0) h.biHeight = -h.biHeight;  // INT_MIN never gets here
  h.biSizeImage = h.biClrUsed = h.biClrImportant = 0;
  fileInfo.redMask = fileInfo.greenMask = fileInfo.blueMask = 0;
  fileInfo.head.bfType = uint16_t(bmpLayout::magic);
  fileInfo.head.bfOffBits =
      uint32_t(bmpLayout::headersEnd + (hasPalette() ? paletteSize() * bmpLayout::paletteEntryBytes : 0));
  // 0, the value of an unknown size, for a file past 4 GiB
  const int64_t size = int64_t(fileInfo.head.bfOffBits) + int64_t(storedRow) * fileInfo.sizeY();
  fileInfo.head.bfSize = size <= int64_t(UINT32_MAX) ? uint32_t(size) : 0;
}

namespace {
// The depths the bitmap writers store.
bool writableDepth(int bits) { return bits == 1 || bits == 4 || bits == 8 || bits == 24; }
}  // namespace

int TBmpFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create a BMP file";
  if (source->coding() < 0 || source->coding() > 65535)
    QOR_RAISE("%s: %d bits per pixel do not fit the header.", what, source->coding());
  TBmpFileInfo wanted =
      coerceDescriptor(source, TBmpFileInfo(source->coding(), source->sizeX(), source->sizeY()));
  if (!writableDepth(wanted.info.biBitCount))
    QOR_RAISE("%s: %d bits per pixel cannot be written; the writer stores 1, 4, 8 or 24.", what,
              int(wanted.info.biBitCount));
  if (wanted.info.biHeight == INT32_MIN) QOR_RAISE("%s: height %d is out of range.", what, int(wanted.info.biHeight));
  const int row = checkedRow(wanted.info.biBitCount, wanted.info.biWidth, wanted.sizeY(), what);
  adoptDescriptor(fileInfo, wanted);
  storedRow = row;
  normaliseForWriting();
  writeHeaders();
  return 0;
}

void TBmpFormatDriver::writeHeaders() {
  normaliseForWriting();
  unsigned char bytes[bmpLayout::headersEnd];
  fileInfo.head.toBytes(bytes);
  fileInfo.info.toBytes(bytes + bmpLayout::infoHeader);
  writeHeadersAndTable(bytes, bmpLayout::headersEnd, bmpLayout::paletteEntryBytes);
}

void TBmpFormatDriver::writeHeadersAndTable(const unsigned char* headers, int size, int entryBytes) {
  writeAtStart(headers, size);
  if (hasPalette()) {
    blackWhiteForOneBit();
    writePalette(paletteSize(), entryBytes, true);
  }
}

void TBmpFormatDriver::startRows(TqorImageBase* image, bool write, uint32_t offset, bool bottomUp) {
  setRowLayout({storedRow, getFileInfo()->sizeX(), getFileInfo()->sizeY(), bottomUp});
  if (write) {
    writeHeaders();
  } else if (!seekTo(offset)) {
    // rows beyond the data: every row reads short
    stream->seek(0, SEEK_END);
  }
  transferImage(image, write);
}

int TBmpFormatDriver::readImage(TqorImageBase* image, int) {
  if (!startImage(image, false, storedRow)) return 0;
  decoder.start(&fileInfo.info, stream, chunkSlack);
  startRows(image, false, fileInfo.head.bfOffBits, fileInfo.info.biHeight >= 0);
  return 0;
}

int TBmpFormatDriver::writeImage(TqorImageBase* image, int) {
  // the converter first: a pair without one leaves the file as it was
  if (startImage(image, true, storedRow)) startRows(image, true, 0, true);
  return 0;
}

void TBmpFormatDriver::fetchRows(unsigned char* rows, int count) {
  const uint32_t compression = fileInfo.info.biCompression;
  if (compression != bmpLayout::compressionRLE8 && compression != bmpLayout::compressionRLE4) {
    TFileFormatDriver::fetchRows(rows, count);
    return;
  }
  for (int k = 0; k < count; ++k) decoder.nextRow(rows + size_t(k) * size_t(storedRow), storedRow);
  // run-length data that stops before its rows end is a short file
  if (decoder.ranDry()) stream->markFailed();
}

bool TBmpFormatDriver::takesImageRows() const {
  const uint32_t c = fileInfo.info.biCompression;
  if (c == bmpLayout::compressionRLE8 || c == bmpLayout::compressionRLE4 || !currentImage || layout.sizeY < 2)
    return false;
  // rows handed over one by one would cost a stream call each: only images
  // whose memory runs the way the rows are stored
  const auto* first = static_cast<const unsigned char*>(currentImage->rowPtr(0));
  const auto* second = static_cast<const unsigned char*>(currentImage->rowPtr(1));
  return (second > first) != layout.bottomUp;
}

int TBmpFormatDriver::hasPalette() {
  return bitsHavePalette(getFileInfo()->coding());
}

int TBmpFormatDriver::paletteSize() {
  return paletteEntriesOf(getFileInfo()->coding());
}
