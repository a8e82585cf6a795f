#include "ztgadrv.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "zbitconv.h"

using uchar = unsigned char;

// ---------------------------------------------------------------- on-disk layout

// Offsets from the start of the file; all fields little-endian.
namespace tgaLayout {
inline constexpr int idLength = 0;       // uint8: bytes of identification after the header
inline constexpr int colourMapType = 1;  // uint8: 0 none, 1 a colour map follows
inline constexpr int imageType = 2;      // uint8
inline constexpr int mapFirst = 3;       // uint16: index of the first colour map entry
inline constexpr int mapLength = 5;      // uint16: colour map entries
inline constexpr int mapEntrySize = 7;   // uint8: bits per colour map entry
inline constexpr int xOrigin = 8;        // uint16
inline constexpr int yOrigin = 10;       // uint16
inline constexpr int width = 12;         // uint16
inline constexpr int height = 14;        // uint16
inline constexpr int pixelDepth = 16;    // uint8: bits per pixel
inline constexpr int descriptor = 17;    // uint8: row and pixel order, attribute bits
inline constexpr int headerSize = TTgaHead::diskSize;

// Image types; plus typeRle for run-length encoded rows.
inline constexpr int typeMapped = 1;
inline constexpr int typeTrueColour = 2;
inline constexpr int typeGrey = 3;
inline constexpr int typeRle = 8;

// Image descriptor bits.
inline constexpr int topDown = 0x20;      // the first stored row is the top one
inline constexpr int rightToLeft = 0x10;  // the first stored pixel of a row is the rightmost
inline constexpr int interleaved = 0xC0;  // interleaved row orders, not decoded

// Run-length packets: a header byte, then one pixel (runs) or count pixels.
inline constexpr int runFlag = 0x80;
inline constexpr int countMask = 0x7F;
inline constexpr int maxRaw = 128;  // pixels of the longest raw packet
inline constexpr int maxRun = 127;  // pixels of the longest run the writer stores

// Footer, after the last row (offsets from its start).
inline constexpr int extensionOffset = 0;  // uint32
inline constexpr int developerOffset = 4;  // uint32
inline constexpr int signature = 8;        // "TRUEVISION-XFILE." and a zero byte
inline constexpr int signatureSize = int(sizeof TTgaFooter::signature);
inline constexpr int footerSize = TTgaFooter::diskSize;

// Widths and heights the 16-bit fields hold.
inline constexpr int maxSide = 65535;
// Colour map entries kept in the palette.
inline constexpr int paletteEntries = 256;
// Bytes of a stored pixel of depth bits (a depth of 15 takes two).
inline int bytesPerPixel(int bits) { return (bits + 7) / 8; }
}  // namespace tgaLayout

void TTgaHead::toBytes(unsigned char out[tgaLayout::headerSize]) const {
  out[tgaLayout::idLength] = idLength;
  out[tgaLayout::colourMapType] = colourMapType;
  out[tgaLayout::imageType] = imageType;
  qorLE::put16(out + tgaLayout::mapFirst, mapFirst);
  qorLE::put16(out + tgaLayout::mapLength, mapLength);
  out[tgaLayout::mapEntrySize] = mapEntrySize;
  qorLE::put16(out + tgaLayout::xOrigin, xOrigin);
  qorLE::put16(out + tgaLayout::yOrigin, yOrigin);
  qorLE::put16(out + tgaLayout::width, width);
  qorLE::put16(out + tgaLayout::height, height);
  out[tgaLayout::pixelDepth] = pixelDepth;
  out[tgaLayout::descriptor] = descriptor;
}

void TTgaHead::fromBytes(const unsigned char in[tgaLayout::headerSize]) {
  idLength = in[tgaLayout::idLength];
  colourMapType = in[tgaLayout::colourMapType];
  imageType = in[tgaLayout::imageType];
  mapFirst = uint16_t(qorLE::get16(in + tgaLayout::mapFirst));
  mapLength = uint16_t(qorLE::get16(in + tgaLayout::mapLength));
  mapEntrySize = in[tgaLayout::mapEntrySize];
  xOrigin = uint16_t(qorLE::get16(in + tgaLayout::xOrigin));
  yOrigin = uint16_t(qorLE::get16(in + tgaLayout::yOrigin));
  width = uint16_t(qorLE::get16(in + tgaLayout::width));
  height = uint16_t(qorLE::get16(in + tgaLayout::height));
  pixelDepth = in[tgaLayout::pixelDepth];
  descriptor = in[tgaLayout::descriptor];
}

// The format has no magic number, so detection rests on every field agreeing
// with the others: the faults are tested in the order a reader meets them.
bool TTgaHead::isRle() const { return (imageType & tgaLayout::typeRle) != 0; }

bool TTgaHead::isMapped() const { return (imageType & ~tgaLayout::typeRle) == tgaLayout::typeMapped; }

bool TTgaHead::isGreyAlpha() const {
  return (imageType & ~tgaLayout::typeRle) == tgaLayout::typeGrey && pixelDepth == 16;
}

int64_t TTgaHead::mapBytes() const {
  return colourMapType == 1 ? int64_t(mapLength) * tgaLayout::bytesPerPixel(mapEntrySize) : 0;
}

const char* TTgaHead::fault(char* text, size_t size) const {
  auto say = [&](const char* format, int a, int b) -> const char* {
    if (!text) return "";
    std::snprintf(text, size, format, a, b);
    return text;
  };
  if (colourMapType > 1) return say("colour map type %d is neither 0 nor 1.", colourMapType, 0);
  const int base = imageType & ~tgaLayout::typeRle;
  if (imageType > 11 || base < tgaLayout::typeMapped || base > tgaLayout::typeGrey)
    return say("image type %d is not one of 1, 2, 3, 9, 10 or 11.", imageType, 0);
  const int bits = pixelDepth;
  const bool depthFits = base == tgaLayout::typeTrueColour ? bits == 15 || bits == 16 || bits == 24 || bits == 32
                         : base == tgaLayout::typeGrey     ? bits == 8 || bits == 16
                                                           : bits == 8 || bits == 16;
  if (!depthFits) return say("image type %d does not hold pixels of %d bits.", imageType, bits);
  // the colour map fields of a file without one are left as other writers leave them
  if (colourMapType == 1) {
    if (mapEntrySize != 15 && mapEntrySize != 16 && mapEntrySize != 24 && mapEntrySize != 32)
      return say("colour map entries of %d bits are not of 15, 16, 24 or 32.", mapEntrySize, 0);
    if (mapLength == 0) return say("the colour map has no entries.", 0, 0);
  }
  if (base == tgaLayout::typeMapped && colourMapType != 1)
    return say("colour-mapped image type %d comes without a colour map.", imageType, 0);
  if (width == 0 || height == 0) return say("the image size %d x %d is empty.", width, height);
  return nullptr;
}

const char* TTgaHead::unsupported(char* text, size_t size) const {
  if (isMapped() && pixelDepth != 8) {
    std::snprintf(text, size, "colour-mapped pixels of %d bits are not supported", pixelDepth);
    return text;
  }
  if (descriptor & tgaLayout::interleaved) {
    std::snprintf(text, size, "interleaved rows (image descriptor 0x%02X) are not supported", descriptor);
    return text;
  }
  return nullptr;
}

TTgaFooter::TTgaFooter() : extensionOffset(0), developerOffset(0), signature() {
  std::memcpy(signature, "TRUEVISION-XFILE.", tgaLayout::signatureSize);
}

void TTgaFooter::toBytes(unsigned char out[tgaLayout::footerSize]) const {
  qorLE::put32(out + tgaLayout::extensionOffset, extensionOffset);
  qorLE::put32(out + tgaLayout::developerOffset, developerOffset);
  std::memcpy(out + tgaLayout::signature, signature, tgaLayout::signatureSize);
}

// ---------------------------------------------------------------- descriptor

TTgaFileInfo::TTgaFileInfo() : head(), footer(), requestedCoding(0), requestedSizeX(0), requestedSizeY(0) {}

TTgaFileInfo::TTgaFileInfo(int coding, int sizeX, int sizeY, int rle) : TTgaFileInfo() {
  const bool mapped = coding == 8;
  head.colourMapType = mapped ? 1 : 0;
  head.imageType = uint8_t((mapped ? tgaLayout::typeMapped : tgaLayout::typeTrueColour) | (rle ? tgaLayout::typeRle : 0));
  head.mapLength = mapped ? tgaLayout::paletteEntries : 0;
  head.mapEntrySize = mapped ? 24 : 0;
  head.width = uint16_t(sizeX);
  head.height = uint16_t(sizeY);
  head.pixelDepth = uint8_t(coding);
  head.descriptor = tgaLayout::topDown;
  requestedCoding = coding;
  requestedSizeX = sizeX;
  requestedSizeY = sizeY;
}

TTgaFileInfo::~TTgaFileInfo() = default;

int TTgaFileInfo::formatID() { return idTGA(); }

TFileInfo* fiTgaFileInfo(int coding, int sizeX, int sizeY, int rle) {
  return qorOwnedFileInfo<TTgaFileInfo>(coding, sizeX, sizeY, rle);
}

// ---------------------------------------------------------------- row codec

namespace {


// Stores count copies of the B-byte pixel value at dest.
template <int B>
inline void fillPixels(uchar* dest, const uchar* value, int count) {
  if constexpr (B == 1) {
    std::memset(dest, value[0], size_t(count));
  } else {
    if (count <= 8) {
      for (int k = 0; k < count; ++k) std::memcpy(dest + B * k, value, B);
      return;
    }
    // doubling copies of what is stored already
    std::memcpy(dest, value, B);
    size_t done = B;
    const size_t total = size_t(count) * B;
    while (done < total) {
      const size_t n = done < total - done ? done : total - done;
      std::memcpy(dest + done, dest, n);
      done += n;
    }
  }
}

}  // namespace

TDecompressTgaStream::TDecompressTgaStream() : pixelBytes(1), runValue(), runLeft(0), rawLeft(0), dry(false) {}

void TDecompressTgaStream::start(TqorStream* s, int bytesPerPixel) {
  bytes.init(s);
  pixelBytes = bytesPerPixel;
  runLeft = 0;
  rawLeft = 0;
  dry = false;
}

void TDecompressTgaStream::nextRow(unsigned char* row, int pixels) {
  if (pixels <= 0) return;
  switch (pixelBytes) {
    case 1: decodeRow<1>(row, pixels); break;
    case 2: decodeRow<2>(row, pixels); break;
    case 3: decodeRow<3>(row, pixels); break;
    default: decodeRow<4>(row, pixels); break;
  }
}

template <int B>
void TDecompressTgaStream::decodeRow(unsigned char* row, int n) {
  TSmartReadCursor in(bytes);
  int x = 0;
  while (x < n) {
    if (runLeft > 0) {
      const int k = std::min(runLeft, n - x);
      fillPixels<B>(row + B * x, runValue, k);
      x += k;
      runLeft -= k;
      continue;
    }
    if (rawLeft > 0) {
      const int k = std::min(rawLeft, n - x);
      const int got = in.take(row + B * x, B * k, B * k);
      if (got < B * k) {
        x += got / B;
        break;
      }
      x += k;
      rawLeft -= k;
      continue;
    }
    int h = 0;
    if (!in.next(h)) break;
    const int count = (h & tgaLayout::countMask) + 1;
    if (h & tgaLayout::runFlag) {
      if (in.take(runValue, B, B) < B) break;
      runLeft = count;
    } else {
      rawLeft = count;
    }
  }
  if (x < n) {
    // the data ended: the rest of the image is zeros
    std::memset(row + B * x, 0, size_t(n - x) * B);
    runLeft = rawLeft = 0;
    dry = true;
  }
}

namespace {

template <int B>
inline bool samePixel(const uchar* a, const uchar* b) {
  return std::memcmp(a, b, B) == 0;
}

// Where pixels i, i + 1 and i + 2 agree, for i < n - 3; n when nowhere. The
// three-byte case compares two pixels per 64-bit word.
template <int B>
inline int nextTriple(const uchar* p, int i, int n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  if constexpr (B == 3) {
    // bytes 3i .. 3i + 10 lie inside the row while i < n - 3
    for (; i < n - 3; ) {
      uint64_t a, b;
      std::memcpy(&a, p + 3 * i, 8);
      std::memcpy(&b, p + 3 * i + 3, 8);
      const uint64_t d = a ^ b;
      if (d & 0xFFFFFFu) {
        ++i;
      } else if (d & 0xFFFFFF000000u) {
        i += 2;
      } else {
        return i;
      }
    }
    return n;
  }
#endif
  for (; i < n - 3;) {
    if (!samePixel<B>(p + B * i, p + B * (i + 1))) {
      ++i;
    } else if (!samePixel<B>(p + B * (i + 1), p + B * (i + 2))) {
      i += 2;
    } else {
      return i;
    }
  }
  return n;
}

template <int B>
int encodeRowOf(const uchar* p, int n, uchar* out) {
  uchar* o = out;
  int raw = 0;  // first pixel of the pending raw packets
  auto flushRaw = [&](int end) {
    while (raw < end) {
      const int count = std::min(tgaLayout::maxRaw, end - raw);
      *o++ = uchar(count - 1);
      std::memcpy(o, p + B * raw, size_t(count) * B);
      o += size_t(count) * B;
      raw += count;
    }
  };
  int i = 0;
  while ((i = nextTriple<B>(p, i, n)) < n) {
    flushRaw(i);
    const int limit = std::min(n, i + tgaLayout::maxRun);
    int j = i + 3;
    while (j < limit && samePixel<B>(p + B * i, p + B * j)) ++j;
    *o++ = uchar(tgaLayout::runFlag | (j - i - 1));
    std::memcpy(o, p + B * i, B);
    o += B;
    i = raw = j;
  }
  flushRaw(n);
  return int(o - out);
}

}  // namespace

TCompressTgaStream::TCompressTgaStream() : stream(nullptr), pixelBytes(1), rowPixels(0), encodedBytes(0) {}

void TCompressTgaStream::start(TqorStream* s, int bytesPerPixel, int pixels) {
  stream = s;
  pixelBytes = bytesPerPixel;
  rowPixels = pixels;
}

int64_t TCompressTgaStream::maxEncodedRow(int64_t pixels, int bytesPerPixel) {
  return pixels * bytesPerPixel + (pixels + tgaLayout::maxRaw - 1) / tgaLayout::maxRaw;
}

int TCompressTgaStream::encodeRow(const unsigned char* row, int pixels, int bytesPerPixel, unsigned char* out) {
  if (pixels <= 0) return 0;
  switch (bytesPerPixel) {
    case 1: return encodeRowOf<1>(row, pixels, out);
    case 2: return encodeRowOf<2>(row, pixels, out);
    case 3: return encodeRowOf<3>(row, pixels, out);
    default: return encodeRowOf<4>(row, pixels, out);
  }
}

void TCompressTgaStream::writeRows(const unsigned char* rows, int count, int stride) {
  if (count <= 0 || !stream) return;
  const size_t need = size_t(count) * size_t(maxEncodedRow(rowPixels, pixelBytes));
  if (need > encodedBytes) {
    encoded.reset(new (std::nothrow) uchar[need]);
    if (!encoded) {
      encodedBytes = 0;
      QOR_RAISE_MEMORY();
    }
    encodedBytes = need;
  }
  size_t used = 0;
  for (int k = 0; k < count; ++k)
    used += size_t(encodeRow(rows + size_t(k) * size_t(stride), rowPixels, pixelBytes, encoded.get() + used));
  stream->write(encoded.get(), int(used));
}

// ---------------------------------------------------------------- converter tables

namespace {

using qorTableRows::byteCopy;
using qorTableRows::make;

// disk coding -> memory type
const TConverterRow targaToMemory[] = {
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
const TConverterRow targaToDisk[] = {
    {stUChar, image8BitPerPix, byteCopy},
    {stSChar, image8BitPerPix, make<TImgConvertSChar2UChar>},
    {stRGB, image24BitPerPix, make<TImgConvertSwapBR>},
    {stBitmap, image8BitPerPix, byteCopy},
    {stBitmap, image24BitPerPix, make<TImgConvertRGB2RGB>},
};

}  // namespace

TTargaConverters::TTargaConverters() : TSharedConverterTables(targaToMemory, targaToDisk) {}

TImgConvertA2B* TTgaFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return readConverter(TTargaConverters::tables(), fileInfo.coding(), image);
}

TImgConvertA2B* TTgaFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return writeConverter(TTargaConverters::tables(), image, fileInfo.coding());
}

// ---------------------------------------------------------------- driver

namespace {

// Reverses the order of the B-byte pixels of a row in place.
template <int B>
void mirrorRow(uchar* row, int n) {
  uchar* a = row;
  uchar* b = row + size_t(n - 1) * B;
  uchar t[B];
  for (; a < b; a += B, b -= B) {
    std::memcpy(t, a, B);
    std::memcpy(a, b, B);
    std::memcpy(b, t, B);
  }
}

void mirrorRow(uchar* row, int n, int bytesPerPixel) {
  switch (bytesPerPixel) {
    case 1: mirrorRow<1>(row, n); break;
    case 2: mirrorRow<2>(row, n); break;
    case 3: mirrorRow<3>(row, n); break;
    default: mirrorRow<4>(row, n); break;
  }
}

// Grey, alpha pairs to grey bytes at the start of the row, in place.
void keepGrey(uchar* row, int n) {
  for (int x = 0; x < n; ++x) row[x] = row[2 * x];
}

}  // namespace

TTgaFormatDriver::TTgaFormatDriver() : pixelOffset(0) {}

TTgaFormatDriver::~TTgaFormatDriver() = default;

int TTgaFormatDriver::recognizeFormat() {
  TTgaHead h;
  return readPrefixRecord(h) && h.fault(nullptr, 0) == nullptr;
}

int TTgaFormatDriver::top2BottomReading() { return (fileInfo.head.descriptor & tgaLayout::topDown) != 0; }

int TTgaFormatDriver::hasPalette() { return fileInfo.head.coding() == 8; }

int TTgaFormatDriver::paletteSize() {
  const int bits = fileInfo.coding();
  return bits == image8BitPerPix || bits == image24BitPerPix ? tgaLayout::paletteEntries : 0;
}

void TTgaFormatDriver::readColourMap(const TTgaHead& h, const char* what) {
  const int entryBytes = tgaLayout::bytesPerPixel(h.mapEntrySize);
  const int entries = h.mapLength;
  const bool keep = h.isMapped();
  unsigned char block[tgaLayout::paletteEntries * 4];
  // entry i is the colour of index mapFirst + i; entries of indices past the
  // palette's 256 are read, to be sure they are there, and dropped
  for (int first = 0; first < entries; first += tgaLayout::paletteEntries) {
    const int n = std::min(tgaLayout::paletteEntries, entries - first);
    const int got = stream->read(block, n * entryBytes);
    const int whole = got > 0 ? got / entryBytes : 0;
    if (whole < n)
      QOR_RAISE("%s: the file ends inside its colour map, after %d of %d entries.", what, first + whole, entries);
    const int64_t slot = int64_t(h.mapFirst) + first;
    if (!keep || slot >= tgaLayout::paletteEntries) continue;
    const int kept = int(std::min(n, int(tgaLayout::paletteEntries - slot)));
    for (int i = 0; i < kept; ++i) {
      const uchar* e = block + i * entryBytes;
      TqorPaletteItem& p = palette[slot + i];
      if (entryBytes == 2) {
        const unsigned w = qorLE::get16(e);
        p = TqorPaletteItem{uchar(((w >> 10) & 31) << 3), uchar(((w >> 5) & 31) << 3), uchar((w & 31) << 3)};
      } else {
        p = TqorPaletteItem{e[2], e[1], e[0]};
      }
    }
  }
}

int TTgaFormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "TGA header";
  TTgaFileInfo read;
  QOR_READ_HEADER_RECORD(read.head, what);
  char text[160];
  if (read.head.fault(text, sizeof text)) QOR_RAISE("%s: %s", what, text);
  if (read.head.unsupported(text, sizeof text)) {
    const char* file = fileNameForMessages();
    QOR_RAISE("%s: %s%s%s%s.", what, text, *file ? " (" : "", file, *file ? ")" : "");
  }
  const int bits = read.head.pixelDepth;
  checkGeometry(int64_t(read.head.width) * tgaLayout::bytesPerPixel(bits), read.head.width, read.head.height, what,
                bits);

  if (read.head.idLength > 0) {
    unsigned char id[255];
    const int n = stream->read(id, read.head.idLength);
    if (n < read.head.idLength)
      QOR_RAISE("%s: the file ends inside its identification field of %d bytes.", what, int(read.head.idLength));
  }
  if (read.head.colourMapType == 1) readColourMap(read.head, what);
  read.requestedCoding = read.head.coding();
  read.requestedSizeX = read.head.width;
  read.requestedSizeY = read.head.height;
  fileInfo = read;
  pixelOffset = tgaLayout::headerSize + int64_t(read.head.idLength) + read.head.mapBytes();
  stream->clear();
  return 0;
}

void TTgaFormatDriver::normaliseForWriting() {
  TTgaHead& h = fileInfo.head;
  h.pixelDepth = uint8_t(h.coding());
  const bool mapped = h.pixelDepth == image8BitPerPix;
  h.idLength = 0;
  h.colourMapType = mapped ? 1 : 0;
  h.imageType = uint8_t((mapped ? tgaLayout::typeMapped : tgaLayout::typeTrueColour) | (h.imageType & tgaLayout::typeRle));
  h.mapFirst = 0;
  h.mapLength = mapped ? tgaLayout::paletteEntries : 0;
  h.mapEntrySize = mapped ? 24 : 0;
  h.descriptor = tgaLayout::topDown;
  pixelOffset = tgaLayout::headerSize + h.mapBytes();
}

int TTgaFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create a TGA file";
  TTgaFileInfo wanted = coerceDescriptor(source, TTgaFileInfo(source->coding(), source->sizeX(), source->sizeY(), 0));
  const int coding = wanted.requestedCoding;
  const int x = wanted.requestedSizeX;
  const int y = wanted.requestedSizeY;
  if (x < 1 || x > tgaLayout::maxSide || y < 1 || y > tgaLayout::maxSide)
    QOR_RAISE("%s: image size %d x %d is outside 1..%d.", what, x, y, tgaLayout::maxSide);
  if (coding != image8BitPerPix && coding != image24BitPerPix)
    QOR_RAISE("%s: %d bits per pixel cannot be written; the writer stores 8 or 24.", what, coding);
  checkGeometry(int64_t(x) * tgaLayout::bytesPerPixel(coding), x, y, what, coding);
  // a descriptor taken from a file read holds that file's stored depth
  wanted.head.pixelDepth = uint8_t(coding);
  adoptDescriptor(fileInfo, wanted);
  writeHeader();
  return 0;
}

void TTgaFormatDriver::writeHeader() {
  normaliseForWriting();
  unsigned char bytes[tgaLayout::headerSize];
  fileInfo.head.toBytes(bytes);
  writeAtStart(bytes, tgaLayout::headerSize);
}

void TTgaFormatDriver::startRows(TqorImageBase* image, bool write) {
  // rows go out top-down, whatever the header of a file read said
  if (write) normaliseForWriting();
  const TTgaHead& h = fileInfo.head;
  const int pixelBytes = tgaLayout::bytesPerPixel(h.pixelDepth);
  setRowLayout({int(h.width) * pixelBytes, h.width, h.height, !(h.descriptor & tgaLayout::topDown)});
  if (write) {
    writeHeader();
    if (fileInfo.head.colourMapType == 1) writePalette(tgaLayout::paletteEntries, 3, true);
    encoder.start(stream, pixelBytes, h.width);
  } else {
    // rows beyond the data: every row reads short
    if (!seekTo(pixelOffset)) stream->seek(0, SEEK_END);
    if (h.isRle()) decoder.start(stream, pixelBytes);
  }
  transferImage(image, write);
}

int TTgaFormatDriver::readImage(TqorImageBase* image, int) {
  if (startImage(image, false)) startRows(image, false);
  return 0;
}

int TTgaFormatDriver::writeImage(TqorImageBase* image, int) {
  // the converter first: a pair without one leaves the file as it was
  if (startImage(image, true)) startRows(image, true);
  return 0;
}

void TTgaFormatDriver::writeTrailer() {
  unsigned char bytes[tgaLayout::footerSize];
  fileInfo.footer.toBytes(bytes);
  stream->write(bytes, tgaLayout::footerSize);
}

bool TTgaFormatDriver::takesImageRows() const {
  if (!currentImage || layout.sizeY < 2) return false;
  // rows handed over one by one would cost a stream call (or an encoder call) each
  const auto* first = static_cast<const unsigned char*>(currentImage->rowPtr(0));
  const auto* second = static_cast<const unsigned char*>(currentImage->rowPtr(1));
  return (second > first) != layout.bottomUp;
}

void TTgaFormatDriver::fetchRows(unsigned char* rows, int count) {
  const TTgaHead& h = fileInfo.head;
  const int pixelBytes = tgaLayout::bytesPerPixel(h.pixelDepth);
  const size_t stride = size_t(layout.rowBytes);
  if (h.isRle()) {
    for (int k = 0; k < count; ++k) decoder.nextRow(rows + size_t(k) * stride, h.width);
    if (decoder.ranDry()) stream->markFailed();
  } else {
    TFileFormatDriver::fetchRows(rows, count);
  }
  if (h.descriptor & tgaLayout::rightToLeft)
    for (int k = 0; k < count; ++k) mirrorRow(rows + size_t(k) * stride, h.width, pixelBytes);
  if (h.isGreyAlpha())
    for (int k = 0; k < count; ++k) keepGrey(rows + size_t(k) * stride, h.width);
}

void TTgaFormatDriver::storeRows(const unsigned char* rows, int count) {
  if (fileInfo.head.isRle())
    encoder.writeRows(rows, count, layout.rowBytes);
  else
    TFileFormatDriver::storeRows(rows, count);
}
