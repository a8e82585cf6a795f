#include "zbmpos2.h"

#include <cstdlib>
#include <cstring>


// ---------------------------------------------------------------- on-disk layout

// Offsets from the start of the file; the file header is the Windows one.
namespace bmpOS2Layout {
inline constexpr int coreSize = 14;  // uint32, 12
inline constexpr int width = 18;     // int16
inline constexpr int height = 20;    // int16, rows always bottom-up
inline constexpr int planes = 22;    // uint16
inline constexpr int bitCount = 24;  // uint16
inline constexpr int coreHeaderSize = TBmpOS2CoreHead::diskSize;
inline constexpr int headersEnd = 26;
inline constexpr int palette = 26;  // entries of blue, green, red
inline constexpr int paletteEntryBytes = 3;
// Largest width and height the signed 16-bit fields hold.
inline constexpr int maxSide = 32767;
}  // namespace bmpOS2Layout

namespace {
// Position of a field inside the core header, whose offsets count from the file start.
constexpr int at(int offset) { return offset - bmpOS2Layout::coreSize; }
}  // namespace

void TBmpOS2CoreHead::toBytes(unsigned char out[bmpOS2Layout::coreHeaderSize]) const {
  qorLE::put32(out + at(bmpOS2Layout::coreSize), bcSize);
  qorLE::put16(out + at(bmpOS2Layout::width), uint16_t(bcWidth));
  qorLE::put16(out + at(bmpOS2Layout::height), uint16_t(bcHeight));
  qorLE::put16(out + at(bmpOS2Layout::planes), bcPlanes);
  qorLE::put16(out + at(bmpOS2Layout::bitCount), bcBitCount);
}

void TBmpOS2CoreHead::fromBytes(const unsigned char in[bmpOS2Layout::coreHeaderSize]) {
  bcSize = qorLE::get32(in + at(bmpOS2Layout::coreSize));
  bcWidth = int16_t(qorLE::get16(in + at(bmpOS2Layout::width)));
  bcHeight = int16_t(qorLE::get16(in + at(bmpOS2Layout::height)));
  bcPlanes = uint16_t(qorLE::get16(in + at(bmpOS2Layout::planes)));
  bcBitCount = uint16_t(qorLE::get16(in + at(bmpOS2Layout::bitCount)));
}

// ---------------------------------------------------------------- descriptor

TBmpOS2FileInfo::TBmpOS2FileInfo() : head(), core(), requestedCoding(0), requestedSizeX(0), requestedSizeY(0) {
  head.fillBMPHead();
}

TBmpOS2FileInfo::TBmpOS2FileInfo(int coding, int sizeX, int sizeY) : TBmpOS2FileInfo() {
  core.bcWidth = int16_t(uint16_t(sizeX));
  core.bcHeight = int16_t(uint16_t(sizeY));
  core.bcBitCount = uint16_t(coding);
  requestedCoding = coding;
  requestedSizeX = sizeX;
  requestedSizeY = sizeY;
}

TBmpOS2FileInfo::~TBmpOS2FileInfo() = default;

int TBmpOS2FileInfo::formatID() { return idBMPOS2(); }

TFileInfo* fiBmpOS2FileInfo(int coding, int sizeX, int sizeY) {
  return qorOwnedFileInfo<TBmpOS2FileInfo>(coding, sizeX, sizeY);
}

// ---------------------------------------------------------------- driver

TBmpOS2FormatDriver::TBmpOS2FormatDriver() = default;

TBmpOS2FormatDriver::~TBmpOS2FormatDriver() = default;

namespace {
// The file and core headers out of the first headersEnd bytes of a file.
TBmpOS2FileInfo headersOf(const unsigned char bytes[bmpOS2Layout::headersEnd]) {
  TBmpOS2FileInfo read;
  read.head.fromBytes(bytes);
  read.core.fromBytes(bytes + bmpOS2Layout::coreSize);
  return read;
}
}  // namespace

int TBmpOS2FormatDriver::recognizeFormat() {
  unsigned char bytes[bmpOS2Layout::headersEnd] = {};
  // the magic and the core header's size claim the file
  if (!readPrefix(bytes, bmpOS2Layout::coreSize + 4)) return 0;
  const TBmpOS2FileInfo read = headersOf(bytes);
  return read.head.bfType == TBmpHead::magic && read.core.bcSize == uint32_t(bmpOS2Layout::coreHeaderSize);
}

int TBmpOS2FormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "OS/2 BMP header";
  unsigned char bytes[bmpOS2Layout::headersEnd] = {};
  QOR_READ_HEADER_BYTES(bytes, what, "headers");
  TBmpOS2FileInfo read = headersOf(bytes);
  if (read.head.bfType != TBmpHead::magic) QOR_RAISE("%s: the file does not start with \"BM\".", what);
  if (read.core.bcSize != uint32_t(bmpOS2Layout::coreHeaderSize))
    QOR_RAISE("%s: a core header of %u bytes is not the 12-byte one.", what, unsigned(read.core.bcSize));
  const int row = checkedRow(read.core.bcBitCount, read.core.bcWidth, read.core.bcHeight, what);
  read.requestedCoding = read.core.bcBitCount;
  read.requestedSizeX = read.core.bcWidth;
  read.requestedSizeY = read.core.bcHeight;
  os2Info = read;
  storedRow = row;
  // a core header has no colour count: the table is the depth's whole one
  if (hasPalette())
    readColourTable(bmpOS2Layout::paletteEntryBytes, paletteSize(), paletteSize(), read.head.bfOffBits,
                    bmpOS2Layout::headersEnd, what);
  stream->clear();
  return 0;
}

int TBmpOS2FormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create an OS/2 BMP file";
  TBmpOS2FileInfo wanted =
      coerceDescriptor(source, TBmpOS2FileInfo(source->coding(), source->sizeX(), source->sizeY()));
  const int coding = wanted.requestedCoding;
  const int x = wanted.requestedSizeX;
  const int y = wanted.requestedSizeY;
  if (x < 1 || x > bmpOS2Layout::maxSide || y < 1 || y > bmpOS2Layout::maxSide)
    QOR_RAISE("%s: image size %d x %d is outside 1..%d.", what, x, y, bmpOS2Layout::maxSide);
  if (coding != 1 && coding != 4 && coding != 8 && coding != 24)
    QOR_RAISE("%s: %d bits per pixel cannot be written; the writer stores 1, 4, 8 or 24.", what, coding);
  const int row = checkedRow(coding, x, y, what);
  adoptDescriptor(os2Info, wanted);
  storedRow = row;
  writeHeaders();
  return 0;
}

void TBmpOS2FormatDriver::writeHeaders() {
  os2Info.head.bfType = TBmpHead::magic;
  os2Info.head.bfOffBits = uint32_t(bmpOS2Layout::headersEnd +
                                    (hasPalette() ? paletteSize() * bmpOS2Layout::paletteEntryBytes : 0));
  os2Info.core.bcSize = uint32_t(bmpOS2Layout::coreHeaderSize);
  // both sides are at most 32767, so the size fits
  os2Info.head.bfSize = uint32_t(int64_t(os2Info.head.bfOffBits) + int64_t(storedRow) * os2Info.core.bcHeight);
  unsigned char bytes[bmpOS2Layout::headersEnd];
  os2Info.head.toBytes(bytes);
  os2Info.core.toBytes(bytes + bmpOS2Layout::coreSize);
  writeHeadersAndTable(bytes, bmpOS2Layout::headersEnd, bmpOS2Layout::paletteEntryBytes);
}

int TBmpOS2FormatDriver::readImage(TqorImageBase* image, int) {
  if (startImage(image, false, storedRow)) startRows(image, false, os2Info.head.bfOffBits, true);
  return 0;
}

int TBmpOS2FormatDriver::writeImage(TqorImageBase* image, int) {
  if (startImage(image, true, storedRow)) startRows(image, true, 0, true);
  return 0;
}
