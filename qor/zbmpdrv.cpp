#include "zbmpdrv.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zbitconv.h"
#include "zsigens1.h"

namespace {

using uchar = unsigned char;

inline int smaller(int a, int b) { return a < b ? a : b; }

}  // namespace

// ---------------------------------------------------------------- on-disk layout

void TBmpHead::fillBMPHead() {
  bfType = uint16_t(bmpLayout::magic);
  bfSize = 0;
  bfReserved1 = 0;
  bfReserved2 = 0;
  bfOffBits = 0;
}

void TBmpHead::toBytes(unsigned char out[bmpLayout::fileHeaderSize]) const {
  bmpLayout::put16(out + bmpLayout::type, bfType);
  bmpLayout::put32(out + bmpLayout::fileSize, bfSize);
  bmpLayout::put16(out + bmpLayout::reserved1, bfReserved1);
  bmpLayout::put16(out + bmpLayout::reserved2, bfReserved2);
  bmpLayout::put32(out + bmpLayout::offBits, bfOffBits);
}

void TBmpHead::fromBytes(const unsigned char in[bmpLayout::fileHeaderSize]) {
  bfType = uint16_t(bmpLayout::get16(in + bmpLayout::type));
  bfSize = bmpLayout::get32(in + bmpLayout::fileSize);
  bfReserved1 = uint16_t(bmpLayout::get16(in + bmpLayout::reserved1));
  bfReserved2 = uint16_t(bmpLayout::get16(in + bmpLayout::reserved2));
  bfOffBits = bmpLayout::get32(in + bmpLayout::offBits);
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

int TBmpFileInfo::sizeY() {
  // INT_MIN has no absolute value; the drivers refuse it, the descriptor only must not overflow
  if (info.biHeight == INT32_MIN) return INT32_MAX;
  return info.biHeight < 0 ? -info.biHeight : info.biHeight;
}

TFileInfo* fiBmpFileInfo(int coding, int sizeX, int sizeY) {
  TFileInfo* info = new TBmpFileInfo(coding, sizeX, sizeY);
  if (!info) QOR_RAISE_MEMORY();
  info->setf(TFileInfo::ownedByEnsemble);
  return info;
}

// ---------------------------------------------------------------- row codec

TDecompressBmpStream::TDecompressBmpStream()
    : header(nullptr), endOfBitmap(0), deltaX(0), rowsToSkip(0), deltaPending(0), unpacked(nullptr),
      unpackedSize(0) {}

TDecompressBmpStream::~TDecompressBmpStream() { delete[] unpacked; }

void TDecompressBmpStream::start(const TqorBITMAPINFOHEADER* h, TqorStream* s) {
  header = h;
  bytes.init(s);
  endOfBitmap = 0;
  deltaPending = 0;
  deltaX = 0;
  rowsToSkip = 0;
  if (h && h->biCompression == bmpLayout::compressionRLE4) {
    // one byte per pixel, with the slack of a few spare bytes
    const int64_t width = h->biWidth > 0 ? h->biWidth : 0;
    const int64_t n = bmpLayout::rowLength(8, width) + 10;
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

void TDecompressBmpStream::skip(int n) {
  for (; n > 0; --n) bytes.get();
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

void TDecompressBmpStream::rle8Row(unsigned char* row, int length) {
  std::memset(row, 0, size_t(length));
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
      if (x < length) std::memset(row + x, value, size_t(smaller(count, length - x)));
      x = advance(x, count, length);
      continue;
    }
    const int escape = bytes.get();
    if (escape > bmpLayout::escapeDelta) {
      // absolute run, padded to a 16-bit boundary
      const int inRow = x < length ? smaller(escape, length - x) : 0;
      if (inRow > 0) bytes.read(row + x, inRow);
      skip(escape - inRow + (escape & 1));
      x = advance(x, escape, length);
      continue;
    }
    if (controlEndsRow(escape, x, length)) return;
  }
}

// End of line, end of bitmap or a delta (whose column takes effect at the next
// code of the row); true when the row is complete.
bool TDecompressBmpStream::controlEndsRow(int escape, int x, int length) {
  if (escape == bmpLayout::escapeEndOfLine) return true;
  if (escape == bmpLayout::escapeEndOfBitmap) {
    endOfBitmap = 1;
    return true;
  }
  deltaPending = 1;
  const int dx = bytes.get();
  const int dy = bytes.get();
  deltaX = advance(x, dx, length);
  rowsToSkip = dy;
  return dy != 0;
}

void TDecompressBmpStream::rle4Row(unsigned char* row, int length) {
  std::memset(row, 0, size_t(length));
  if (!unpacked) return;
  std::memset(unpacked, 0, size_t(unpackedSize));
  const int width = header->biWidth > 0 ? smaller(header->biWidth, unpackedSize) : 0;
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
      const int end = x < width ? x + smaller(count, width - x) : x;
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
    if (controlEndsRow(escape, x, width)) return;
  }
}

TBmpCopy8to4OnReturn::~TBmpCopy8to4OnReturn() {
  if (!dest || !src || count <= 0 || destBytes <= 0) return;
  const int n = smaller(int((int64_t(count) + 1) / 2), destBytes);
  for (int k = 0; k < n; ++k) {
    const unsigned high = src[2 * k] & 15u;
    const unsigned low = 2 * k + 1 < count ? src[2 * k + 1] & 15u : 0u;
    dest[k] = uchar(high << 4 | low);
  }
}

// ---------------------------------------------------------------- converter tables

namespace {

// A byte copy: the whole unsigned range, no scaling, no rounding.
TImgConvertA2B* byteCopy() { return new TUImgConvertA2B<uchar, uchar>(255.0, 0.0, 0, 1); }

}  // namespace

TBitmapConverters::TBitmapConverters() : toMemory(1, 0), toDisk(0, 1) {
  // disk coding -> memory type
  toMemory.set(image1BitPerPix, stOneBit, new TImgConvertOneBit2OneBit);
  toMemory.set(image1BitPerPix, stUChar, new TImgConvertOneBit2UChar);
  toMemory.set(image1BitPerPix, stSChar, new TImgConvertOneBit2SChar);
  toMemory.set(image1BitPerPix, stBitmap, new TImgConvertOneBit2OneBit);
  toMemory.set(image4BitPerPix, stUChar, new TImgConvertFourBits2UCharBMP);
  toMemory.set(image4BitPerPix, stSChar, new TImgConvertFourBits2SCharBMP);
  toMemory.set(image4BitPerPix, stBitmap, new TImgConvertFourBits2UCharBMP);
  toMemory.set(image8BitPerPix, stUChar, byteCopy());
  toMemory.set(image8BitPerPix, stSChar, new TImgConvertUChar2SChar);
  toMemory.set(image8BitPerPix, stBitmap, byteCopy());
  toMemory.set(image16BitPerPix, stRGB, new TImgConvert555rgb2RGB);
  toMemory.set(image16BitPerPix, stBitmap, new TImgConvert555rgb2BGR);
  toMemory.set(image24BitPerPix, stUChar, new TImgConvertBGR2UChar);
  toMemory.set(image24BitPerPix, stSChar, new TImgConvertBGR2SChar);
  toMemory.set(image24BitPerPix, stRGB, new TImgConvertSwapBR);
  toMemory.set(image24BitPerPix, stBitmap, new TImgConvertRGB2RGB);
  toMemory.set(image32BitPerPix, stRGB, new TImgConvert32Bit2RGB);
  toMemory.set(image32BitPerPix, stBitmap, new TImgConvert32Bit2BGR);
  // memory type -> disk coding
  toDisk.set(stOneBit, image1BitPerPix, new TImgConvertOneBit2OneBit);
  toDisk.set(stUChar, image1BitPerPix, new TImgConvertUChar2OneBit);
  toDisk.set(stUChar, image4BitPerPix, new TImgConvertUChar2FourBitsBMP);
  toDisk.set(stUChar, image8BitPerPix, byteCopy());
  toDisk.set(stSChar, image1BitPerPix, new TImgConvertSChar2OneBit);
  toDisk.set(stSChar, image4BitPerPix, new TImgConvertSChar2FourBitsBMP);
  toDisk.set(stSChar, image8BitPerPix, new TImgConvertSChar2UChar);
  toDisk.set(stRGB, image24BitPerPix, new TImgConvertSwapBR);
  toDisk.set(stBitmap, image1BitPerPix, new TImgConvertOneBit2OneBit);
  toDisk.set(stBitmap, image4BitPerPix, new TImgConvertUChar2FourBitsBMP);
  toDisk.set(stBitmap, image8BitPerPix, byteCopy());
  toDisk.set(stBitmap, image24BitPerPix, new TImgConvertRGB2RGB);
}

const TBitmapConverters& TBitmapConverters::tables() {
  static const TBitmapConverters converters;
  return converters;
}

// 5-6-5 words are told apart by their green mask; everything else comes from the tables.
TImgConvertA2B* TBmpFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  const int type = image->coding();
  if (fileInfo.info.biBitCount == image16BitPerPix &&
      fileInfo.info.biCompression == bmpLayout::compressionBitFields && fileInfo.greenMask == bmpLayout::green565 &&
      (type == stBitmap || type == stRGB)) {
    TImgConvertA2B* c = nullptr;
    if (type == stBitmap)
      c = new TImgConvert565rgb2BGR;
    else
      c = new TImgConvert565rgb2RGB;
    if (!c) QOR_RAISE_MEMORY();
    return c;
  }
  return TBitmapConverters::tables().disk2Memory().get(fileInfo.coding(), type);
}

TImgConvertA2B* TBmpFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return TBitmapConverters::tables().memory2Disk().get(image->coding(), fileInfo.coding());
}

// ---------------------------------------------------------------- driver

TBmpFormatDriver::TBmpFormatDriver() : rowBuffer(nullptr), storedRow(0) {}

TBmpFormatDriver::~TBmpFormatDriver() { std::free(rowBuffer); }

TFileFormatDriver* TBmpFormatDriver::createInstance() { return new TBmpFormatDriver; }

int TBmpFormatDriver::recognizeFormat() {
  unsigned char bytes[bmpLayout::infoSize + 4] = {};
  if (stream->seek(0, SEEK_SET) != 0) return 0;
  if (stream->read(bytes, int(sizeof bytes)) != int(sizeof bytes)) return 0;
  return bmpLayout::get16(bytes + bmpLayout::type) == bmpLayout::magic &&
         bmpLayout::get32(bytes + bmpLayout::infoSize) == uint32_t(bmpLayout::infoHeaderSize);
}

int TBmpFormatDriver::checkedGeometry(int64_t bits, int64_t width, int64_t height, const char* what) {
  if (width < 0) QOR_RAISE("%s: negative width %lld.", what, (long long)width);
  if (height < 0) QOR_RAISE("%s: negative height %lld.", what, (long long)height);
  if (width == 0 || height == 0)
    QOR_RAISE("%s: the image size %lld x %lld is empty.", what, (long long)width, (long long)height);
  const int64_t row = bmpLayout::rowLength(bits, width);
  if (row > INT32_MAX)
    QOR_RAISE("%s: a row of %lld pixels at %lld bits per pixel takes %lld bytes, more than 32 bits hold.", what,
              (long long)width, (long long)bits, (long long)row);
  if (width * height > INT32_MAX)
    QOR_RAISE("%s: %lld x %lld pixels do not fit in one image.", what, (long long)width, (long long)height);
  if (row * height > INT32_MAX)
    QOR_RAISE("%s: %lld rows of %lld bytes do not fit in 32 bits.", what, (long long)height, (long long)row);
  return int(row);
}

void TBmpFormatDriver::allocateRow(unsigned char*& buffer, int length) {
  uchar* fresh = static_cast<uchar*>(std::calloc(size_t(length > 4 ? length : 4), 1));
  if (!fresh) QOR_RAISE_MEMORY();
  std::free(buffer);
  buffer = fresh;
}

int TBmpFormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "BMP header";
  unsigned char bytes[bmpLayout::headersEnd] = {};
  stream->seek(0, SEEK_SET);
  const int got = stream->read(bytes, bmpLayout::headersEnd);
  if (got < bmpLayout::headersEnd)
    QOR_RAISE("%s: the file ends after %d bytes, inside the %d bytes of the headers.", what, got > 0 ? got : 0,
              bmpLayout::headersEnd);
  TBmpFileInfo read;
  read.head.fromBytes(bytes);
  read.info.fromBytes(bytes + bmpLayout::infoHeader);
  if (read.head.bfType != bmpLayout::magic) QOR_RAISE("%s: the file does not start with \"BM\".", what);
  if (read.info.biSize != uint32_t(bmpLayout::infoHeaderSize))
    QOR_RAISE("%s: an info header of %u bytes is not the 40-byte one.", what, unsigned(read.info.biSize));
  if (read.info.biHeight == INT32_MIN) QOR_RAISE("%s: height %d is out of range.", what, int(read.info.biHeight));
  const int row = checkedGeometry(read.info.biBitCount, read.info.biWidth, read.sizeY(), what);

  const int bits = read.info.biBitCount;
  if ((bits == 16 || bits == 32) && read.info.biCompression == bmpLayout::compressionBitFields) {
    unsigned char masks[bmpLayout::maskBytes] = {};
    stream->read(masks, bmpLayout::maskBytes);
    read.redMask = bmpLayout::get32(masks);
    read.greenMask = bmpLayout::get32(masks + 4);
    read.blueMask = bmpLayout::get32(masks + 8);
  }
  fileInfo = read;
  storedRow = row;
  std::free(rowBuffer);
  rowBuffer = nullptr;  // sized when an image is read, next to the image it fills

  if (bits <= 8) {
    // the whole table is read whatever the colour counts say; a short file keeps grey entries
    unsigned char entries[256 * bmpLayout::paletteEntryBytes];
    const int n = stream->read(entries, int(sizeof entries)) / bmpLayout::paletteEntryBytes;
    for (int i = 0; i < n; ++i) {
      const unsigned char* e = entries + i * bmpLayout::paletteEntryBytes;
      palette[i] = TqorPaletteItem{e[2], e[1], e[0]};
    }
    if (paletteSize() == 2) {
      palette[0] = TqorPaletteItem{0, 0, 0};
      palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
    }
  }
  if (stream->fail()) stream->clear();
  return 0;
}

void TBmpFormatDriver::normaliseForWriting() {
  TqorBITMAPINFOHEADER& h = fileInfo.info;
  h.biSize = uint32_t(bmpLayout::infoHeaderSize);
  h.biCompression = bmpLayout::compressionNone;
  if (h.biHeight < 0) h.biHeight = -h.biHeight;  // INT_MIN never gets here
  h.biSizeImage = 0;
  h.biClrUsed = 0;
  h.biClrImportant = 0;
  fileInfo.redMask = fileInfo.greenMask = fileInfo.blueMask = 0;
  fileInfo.head.bfType = uint16_t(bmpLayout::magic);
  fileInfo.head.bfOffBits =
      uint32_t(bmpLayout::headersEnd + (hasPalette() ? paletteSize() * bmpLayout::paletteEntryBytes : 0));
}

int TBmpFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create a BMP file";
  auto* bmp = dynamic_cast<TBmpFileInfo*>(source);
  TBmpFileInfo wanted;
  if (bmp) {
    wanted = *bmp;
  } else {
    if (source->coding() < 0 || source->coding() > 65535)
      QOR_RAISE("%s: %d bits per pixel do not fit the header.", what, source->coding());
    wanted = TBmpFileInfo(source->coding(), source->sizeX(), source->sizeY());
    wanted.TFileInfo::operator=(*source);
  }
  if (wanted.info.biHeight == INT32_MIN) QOR_RAISE("%s: height %d is out of range.", what, int(wanted.info.biHeight));
  const int row = checkedGeometry(wanted.info.biBitCount, wanted.info.biWidth, wanted.sizeY(), what);
  // the owned-descriptor flag belongs to the caller's descriptor, not to ours
  fileInfo = wanted;
  fileInfo.clearf(TFileInfo::ownedByEnsemble);
  storedRow = row;
  normaliseForWriting();
  unsigned char bytes[bmpLayout::headersEnd];
  fileInfo.head.toBytes(bytes);
  fileInfo.info.toBytes(bytes + bmpLayout::infoHeader);
  stream->write(bytes, bmpLayout::headersEnd);
  allocateRow(rowBuffer, storedRow);
  return 0;
}

void TBmpFormatDriver::seekRows(uint32_t offset) {
  if (stream->seek(long(offset), SEEK_SET) != long(offset)) stream->seek(0, SEEK_END);
}

void TBmpFormatDriver::takeConverter(TImgConvertA2B* c, int length) {
  replaceConverter(c);
  converter->setRowBytes(length);
}

void TBmpFormatDriver::writePalette(int entryBytes) {
  const int n = paletteSize();
  if (n == 2) {
    palette[0] = TqorPaletteItem{0, 0, 0};
    palette[1] = TqorPaletteItem{255, 255, 255};
  }
  unsigned char entries[256 * 4] = {};
  for (int i = 0; i < n; ++i) {
    unsigned char* e = entries + i * entryBytes;
    e[0] = palette[i].blue;
    e[1] = palette[i].green;
    e[2] = palette[i].red;
  }
  stream->write(entries, n * entryBytes);
}

int TBmpFormatDriver::readImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  takeConverter(getConverterDisk2Memory(image), storedRow);
  if (!rowBuffer) allocateRow(rowBuffer, storedRow);
  seekRows(fileInfo.head.bfOffBits);
  decoder.start(&fileInfo.info, stream);
  blockIndex = 0;
  currentImage = image;
  if (!(flags & qorChunkMode))
    for (int n = chunksNumber(); n > 0; --n) readNextChunk();
  if (stream->fail()) stream->clear();
  return 0;
}

int TBmpFormatDriver::writeImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  // the converter first: a pair without one leaves the file as it was
  takeConverter(getConverterMemory2Disk(image), storedRow);
  normaliseForWriting();
  unsigned char bytes[bmpLayout::headersEnd];
  fileInfo.head.toBytes(bytes);
  fileInfo.info.toBytes(bytes + bmpLayout::infoHeader);
  stream->seek(0, SEEK_SET);
  stream->write(bytes, bmpLayout::headersEnd);
  if (hasPalette()) writePalette(bmpLayout::paletteEntryBytes);
  if (!rowBuffer) allocateRow(rowBuffer, storedRow);
  blockIndex = 0;
  currentImage = image;
  if (!(flags & qorChunkMode))
    for (int n = chunksNumber(); n > 0; --n) writeNextChunk();
  return 0;
}

void TBmpFormatDriver::fetchRow(unsigned char* row, int length) { decoder.nextRow(row, length); }

int TBmpFormatDriver::moveChunk(bool write, unsigned char* buffer, int length, int sizeX, int sizeY,
                                bool topDown) {
  if (!currentImage || !converter || !buffer || blockIndex >= chunksNumber()) return 1;
  const int64_t first = int64_t(rowsPerChunk()) * blockIndex;
  const int64_t end = first + rowsPerChunk() < sizeY ? first + rowsPerChunk() : sizeY;
  for (int64_t r = first; r < end; ++r) {
    if (write) {
      // pad bytes go out as zeros
      std::memset(buffer, 0, size_t(length));
      converter->convert(buffer, currentImage->rowPtr(int(sizeY - 1 - r)), sizeX);
      stream->write(buffer, length);
    } else {
      fetchRow(buffer, length);
      converter->convert(currentImage->rowPtr(int(topDown ? r : sizeY - 1 - r)), buffer, sizeX);
    }
  }
  ++blockIndex;
  return 0;
}

int TBmpFormatDriver::readNextChunk() {
  return moveChunk(false, rowBuffer, storedRow, fileInfo.sizeX(), fileInfo.sizeY(), fileInfo.info.biHeight < 0);
}

int TBmpFormatDriver::writeNextChunk() {
  return moveChunk(true, rowBuffer, storedRow, fileInfo.sizeX(), fileInfo.sizeY(), false);
}

int TBmpFormatDriver::hasPalette() {
  const int bits = getFileInfo()->coding();
  return bits == image1BitPerPix || bits == image4BitPerPix || bits == image8BitPerPix;
}

int TBmpFormatDriver::paletteSize() {
  switch (getFileInfo()->coding()) {
    case image1BitPerPix: return 2;
    case image4BitPerPix: return 16;
    case image8BitPerPix:
    case image24BitPerPix: return 256;
    default: return 0;
  }
}
