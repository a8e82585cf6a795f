#include "zbmpos2.h"

#include <cstdlib>
#include <cstring>

#include "zsigens1.h"

// ---------------------------------------------------------------- on-disk layout

namespace {
// Position of a field inside the core header, whose offsets count from the file start.
constexpr int at(int offset) { return offset - bmpOS2Layout::coreSize; }
}  // namespace

void TBmpOS2CoreHead::toBytes(unsigned char out[bmpOS2Layout::coreHeaderSize]) const {
  bmpLayout::put32(out + at(bmpOS2Layout::coreSize), bcSize);
  bmpLayout::put16(out + at(bmpOS2Layout::width), uint16_t(bcWidth));
  bmpLayout::put16(out + at(bmpOS2Layout::height), uint16_t(bcHeight));
  bmpLayout::put16(out + at(bmpOS2Layout::planes), bcPlanes);
  bmpLayout::put16(out + at(bmpOS2Layout::bitCount), bcBitCount);
}

void TBmpOS2CoreHead::fromBytes(const unsigned char in[bmpOS2Layout::coreHeaderSize]) {
  bcSize = bmpLayout::get32(in + at(bmpOS2Layout::coreSize));
  bcWidth = int16_t(bmpLayout::get16(in + at(bmpOS2Layout::width)));
  bcHeight = int16_t(bmpLayout::get16(in + at(bmpOS2Layout::height)));
  bcPlanes = uint16_t(bmpLayout::get16(in + at(bmpOS2Layout::planes)));
  bcBitCount = uint16_t(bmpLayout::get16(in + at(bmpOS2Layout::bitCount)));
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
  TFileInfo* info = new TBmpOS2FileInfo(coding, sizeX, sizeY);
  if (!info) QOR_RAISE_MEMORY();
  info->setf(TFileInfo::ownedByEnsemble);
  return info;
}

// ---------------------------------------------------------------- row codec

// OS/2 rows are never compressed: each is one plain read of the padded row.
void TBmpOS2FormatDriver::fetchRow(unsigned char* row, int length) {
  const int got = stream->read(row, length);
  const int have = got > 0 ? got : 0;
  // rows past the end of a short file are zeros
  if (have < length) std::memset(row + have, 0, size_t(length - have));
}

// ---------------------------------------------------------------- converter tables

// The Windows driver's tables, looked up with this driver's coding.
TImgConvertA2B* TBmpOS2FormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return TBitmapConverters::tables().disk2Memory().get(os2Info.coding(), image->coding());
}

TImgConvertA2B* TBmpOS2FormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return TBitmapConverters::tables().memory2Disk().get(image->coding(), os2Info.coding());
}

// ---------------------------------------------------------------- driver

TBmpOS2FormatDriver::TBmpOS2FormatDriver() : os2Row(nullptr), os2StoredRow(0) {}

TBmpOS2FormatDriver::~TBmpOS2FormatDriver() { std::free(os2Row); }

TFileFormatDriver* TBmpOS2FormatDriver::createInstance() { return new TBmpOS2FormatDriver; }

int TBmpOS2FormatDriver::recognizeFormat() {
  unsigned char bytes[bmpOS2Layout::coreSize + 4] = {};
  if (stream->seek(0, SEEK_SET) != 0) return 0;
  if (stream->read(bytes, int(sizeof bytes)) != int(sizeof bytes)) return 0;
  return bmpLayout::get16(bytes + bmpLayout::type) == bmpLayout::magic &&
         bmpLayout::get32(bytes + bmpOS2Layout::coreSize) == uint32_t(bmpOS2Layout::coreHeaderSize);
}

int TBmpOS2FormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "OS/2 BMP header";
  unsigned char bytes[bmpOS2Layout::headersEnd] = {};
  stream->seek(0, SEEK_SET);
  const int got = stream->read(bytes, bmpOS2Layout::headersEnd);
  if (got < bmpOS2Layout::headersEnd)
    QOR_RAISE("%s: the file ends after %d bytes, inside the %d bytes of the headers.", what, got > 0 ? got : 0,
              bmpOS2Layout::headersEnd);
  TBmpOS2FileInfo read;
  read.head.fromBytes(bytes);
  read.core.fromBytes(bytes + bmpOS2Layout::coreSize);
  if (read.head.bfType != bmpLayout::magic) QOR_RAISE("%s: the file does not start with \"BM\".", what);
  if (read.core.bcSize != uint32_t(bmpOS2Layout::coreHeaderSize))
    QOR_RAISE("%s: a core header of %u bytes is not the 12-byte one.", what, unsigned(read.core.bcSize));
  const int row = checkedGeometry(read.core.bcBitCount, read.core.bcWidth, read.core.bcHeight, what);
  read.requestedCoding = read.core.bcBitCount;
  read.requestedSizeX = read.core.bcWidth;
  read.requestedSizeY = read.core.bcHeight;
  os2Info = read;
  os2StoredRow = row;
  std::free(os2Row);
  os2Row = nullptr;  // sized when an image is read

  if (hasPalette()) {
    const int n = paletteSize();
    unsigned char entries[256 * bmpOS2Layout::paletteEntryBytes];
    const int whole = stream->read(entries, n * bmpOS2Layout::paletteEntryBytes) / bmpOS2Layout::paletteEntryBytes;
    for (int i = 0; i < whole; ++i) {
      const unsigned char* e = entries + i * bmpOS2Layout::paletteEntryBytes;
      palette[i] = TqorPaletteItem{e[2], e[1], e[0]};
    }
    if (n == 2) {
      palette[0] = TqorPaletteItem{0, 0, 0};
      palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
    }
  }
  if (stream->fail()) stream->clear();
  return 0;
}

int TBmpOS2FormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create an OS/2 BMP file";
  auto* os2 = dynamic_cast<TBmpOS2FileInfo*>(source);
  const int coding = os2 ? os2->requestedCoding : source->coding();
  const int x = os2 ? os2->requestedSizeX : source->sizeX();
  const int y = os2 ? os2->requestedSizeY : source->sizeY();
  if (x < 1 || x > bmpOS2Layout::maxSide || y < 1 || y > bmpOS2Layout::maxSide)
    QOR_RAISE("%s: image size %d x %d is outside 1..%d.", what, x, y, bmpOS2Layout::maxSide);
  if (coding < 0 || coding > 65535) QOR_RAISE("%s: %d bits per pixel do not fit the header.", what, coding);
  const int row = checkedGeometry(coding, x, y, what);
  TBmpOS2FileInfo wanted = os2 ? *os2 : TBmpOS2FileInfo(coding, x, y);
  if (!os2) wanted.TFileInfo::operator=(*source);
  // the owned-descriptor flag belongs to the caller's descriptor, not to ours
  wanted.clearf(TFileInfo::ownedByEnsemble);
  os2Info = wanted;
  os2StoredRow = row;
  writeHeaders();
  allocateRow(os2Row, os2StoredRow);
  return 0;
}

void TBmpOS2FormatDriver::writeHeaders() {
  os2Info.head.bfType = uint16_t(bmpLayout::magic);
  os2Info.head.bfOffBits = uint32_t(bmpOS2Layout::headersEnd +
                                    (hasPalette() ? paletteSize() * bmpOS2Layout::paletteEntryBytes : 0));
  os2Info.core.bcSize = uint32_t(bmpOS2Layout::coreHeaderSize);
  unsigned char bytes[bmpOS2Layout::headersEnd];
  os2Info.head.toBytes(bytes);
  os2Info.core.toBytes(bytes + bmpOS2Layout::coreSize);
  stream->write(bytes, bmpOS2Layout::headersEnd);
}

int TBmpOS2FormatDriver::readImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  takeConverter(getConverterDisk2Memory(image), os2StoredRow);
  if (!os2Row) allocateRow(os2Row, os2StoredRow);
  seekRows(os2Info.head.bfOffBits);
  blockIndex = 0;
  currentImage = image;
  if (!(flags & qorChunkMode))
    for (int n = chunksNumber(); n > 0; --n) readNextChunk();
  if (stream->fail()) stream->clear();
  return 0;
}

int TBmpOS2FormatDriver::writeImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  takeConverter(getConverterMemory2Disk(image), os2StoredRow);
  stream->seek(0, SEEK_SET);
  writeHeaders();
  if (hasPalette()) writePalette(bmpOS2Layout::paletteEntryBytes);
  if (!os2Row) allocateRow(os2Row, os2StoredRow);
  blockIndex = 0;
  currentImage = image;
  if (!(flags & qorChunkMode))
    for (int n = chunksNumber(); n > 0; --n) writeNextChunk();
  return 0;
}

int TBmpOS2FormatDriver::readNextChunk() {
  return moveChunk(false, os2Row, os2StoredRow, os2Info.sizeX(), os2Info.sizeY(), false);
}

int TBmpOS2FormatDriver::writeNextChunk() {
  return moveChunk(true, os2Row, os2StoredRow, os2Info.sizeX(), os2Info.sizeY(), false);
}
