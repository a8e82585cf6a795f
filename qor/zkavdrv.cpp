#include "zkavdrv.h"

#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "zsigens1.h"
#include "zstream.h"

namespace {

// Largest offset a stream position can carry.
constexpr int64_t maxFileOffset = INT32_MAX;

void put16(unsigned char* p, unsigned v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
unsigned get16(const unsigned char* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }

bool validCoding(int coding) { return coding >= stDouble && coding <= stRGB; }

}  // namespace

// ---------------------------------------------------------------- head record

TKavEnsembleHead::TKavEnsembleHead(int c, int x, int y, const char* text)
    : factor(1.0), scale(1.0), recordSize(0), coding(uint16_t(c)), sizeX(uint16_t(x)), sizeY(uint16_t(y)),
      imageNumber(0), fixedOne(1), formatMark(kavHead::mark), name(), reserved(0) {
  recordSize = uint16_t(getRecordSize());
  if (text) std::memcpy(name, text, strnlen(text, sizeof name));
}

TKavEnsembleHead::TKavEnsembleHead(const TKavEnsembleHead& other) { *this = other; }

TKavEnsembleHead& TKavEnsembleHead::operator=(const TKavEnsembleHead& other) {
  std::memcpy(static_cast<void*>(this), &other, sizeof *this);
  recordSize = uint16_t(getRecordSize());
  return *this;
}

int TKavEnsembleHead::elementSize() const {
  switch (coding) {
    case stDouble: return 8;
    case stSChar:
    case stUChar: return 1;
    case stSShort:
    case stUShort: return 2;
    case stSLong:
    case stULong: return 4;
    case stRGB: return 3;
    default: return 0;
  }
}

int TKavEnsembleHead::getRecordSize() const {
  int bytes = elementSize() * sizeX;
  return bytes > kavHead::size ? bytes : kavHead::size;
}

bool TKavEnsembleHead::isAllZero() const {
  unsigned char bytes[kavHead::size];
  toBytes(bytes);
  for (unsigned char b : bytes)
    if (b) return false;
  return true;
}

void TKavEnsembleHead::toBytes(unsigned char out[kavHead::size]) const {
  std::memcpy(out + kavHead::factor, &factor, 8);
  std::memcpy(out + kavHead::scale, &scale, 8);
  put16(out + kavHead::recordSize, recordSize);
  put16(out + kavHead::coding, coding);
  put16(out + kavHead::sizeX, sizeX);
  put16(out + kavHead::sizeY, sizeY);
  put16(out + kavHead::imageNumber, imageNumber);
  put16(out + kavHead::fixedOne, fixedOne);
  put16(out + kavHead::formatMark, formatMark);
  std::memcpy(out + kavHead::name, name, sizeof name);
  put16(out + kavHead::reserved, 0);
}

void TKavEnsembleHead::fromBytes(const unsigned char in[kavHead::size]) {
  std::memcpy(&factor, in + kavHead::factor, 8);
  std::memcpy(&scale, in + kavHead::scale, 8);
  recordSize = uint16_t(get16(in + kavHead::recordSize));
  coding = uint16_t(get16(in + kavHead::coding));
  sizeX = uint16_t(get16(in + kavHead::sizeX));
  sizeY = uint16_t(get16(in + kavHead::sizeY));
  imageNumber = uint16_t(get16(in + kavHead::imageNumber));
  fixedOne = uint16_t(get16(in + kavHead::fixedOne));
  formatMark = uint16_t(get16(in + kavHead::formatMark));
  std::memcpy(name, in + kavHead::name, sizeof name);
  reserved = uint16_t(get16(in + kavHead::reserved));
}

// ---------------------------------------------------------------- descriptor

TKavFileInfo::TKavFileInfo() : head(0, 0, 0, nullptr), numberOfImages_(0), requestedSizeX(0), requestedSizeY(0) {}

TKavFileInfo::TKavFileInfo(int coding, int sizeX, int sizeY, int n, const char* name)
    : head(coding, sizeX, sizeY, name), numberOfImages_(n), requestedSizeX(sizeX), requestedSizeY(sizeY) {}

TKavFileInfo::TKavFileInfo(const TKavEnsembleHead& h, int n)
    : head(h), numberOfImages_(n), requestedSizeX(h.sizeX), requestedSizeY(h.sizeY) {}

int TKavFileInfo::formatID() { return idKAV(); }

TFileInfo* fiKavFileInfo(int coding, int sizeX, int sizeY, int n, const char* name) {
  TFileInfo* info = new TKavFileInfo(coding, sizeX, sizeY, n, name);
  if (!info) QOR_RAISE_MEMORY();
  info->setf(TFileInfo::ownedByEnsemble);
  return info;
}

// ---------------------------------------------------------------- converter tables

namespace {

using uchar = unsigned char;
using schar = signed char;
using ushort = unsigned short;
using uint = unsigned int;

// A same-type copy: the type's own bounds, no scaling, no rounding.
template <class T>
TImgConvertA2B* copy(double max, double min) {
  return new TUImgConvertA2B<T, T>(max, min, 0, 1);
}

TConverters* buildToMemory() {
  auto* set = new TConverters(0, 0);
  if (!set) QOR_RAISE_MEMORY();
  const double big = 1.7976931348623157e308;
  set->set(stUChar, stUChar, copy<uchar>(255, 0));
  set->set(stSChar, stUChar, new TImgConvertSChar2UChar);
  set->set(stSChar, stSChar, copy<schar>(127, -128));
  set->set(stUChar, stSChar, new TImgConvertUChar2SChar);
  set->set(stSShort, stSShort, copy<short>(32767, -32768));
  set->set(stSChar, stSShort, new TUImgConvertA2B<schar, short>(32767, -32768, 1, 0));
  set->set(stUChar, stSShort, new TUImgConvertA2B<uchar, short>(32767, -32768, 1, 0));
  set->set(stDouble, stDouble, copy<double>(DBL_MAX, -DBL_MAX));
  set->set(stSLong, stDouble, new TUImgConvertA2B<int, double>(big, -big, 1, 1));
  set->set(stULong, stDouble, new TUImgConvertA2B<uint, double>(big, -big, 1, 1));
  set->set(stSShort, stDouble, new TUImgConvertA2B<short, double>(big, -big, 1, 1));
  set->set(stUShort, stDouble, new TUImgConvertA2B<ushort, double>(big, -big, 1, 1));
  set->set(stSChar, stDouble, new TUImgConvertA2B<schar, double>(big, -big, 1, 1));
  set->set(stUChar, stDouble, new TUImgConvertA2B<uchar, double>(big, -big, 1, 1));
  set->set(stUChar, stBitmap, copy<uchar>(255, 0));
  set->set(stSChar, stBitmap, new TImgConvertSChar2UChar);
  return set;
}

TConverters* buildToDisk() {
  auto* set = new TConverters(0, 0);
  if (!set) QOR_RAISE_MEMORY();
  set->set(stUChar, stUChar, copy<uchar>(255, 0));
  set->set(stSChar, stUChar, new TImgConvertUChar2SChar);
  set->set(stSChar, stSChar, copy<schar>(127, -128));
  set->set(stUChar, stSChar, new TImgConvertSChar2UChar);
  set->set(stSShort, stSShort, copy<short>(32767, -32768));
  set->set(stSChar, stSShort, new TUImgConvertA2B<short, schar>(127, -128, 1, 0));
  set->set(stUChar, stSShort, new TUImgConvertA2B<short, uchar>(255, 0, 1, 0));
  set->set(stDouble, stDouble, copy<double>(DBL_MAX, -DBL_MAX));
  set->set(stSLong, stDouble, new TUImgConvertA2B<double, int>(2147483647.0, -2147483648.0, 1, 0));
  set->set(stULong, stDouble, new TUImgConvertA2B<double, uint>(4294967295.0, 0, 1, 0));
  set->set(stSShort, stDouble, new TUImgConvertA2B<double, short>(32767, -32768, 1, 0));
  set->set(stUShort, stDouble, new TUImgConvertA2B<double, ushort>(65535, 0, 1, 0));
  set->set(stSChar, stDouble, new TUImgConvertA2B<double, schar>(127, -128, 1, 0));
  set->set(stUChar, stDouble, new TUImgConvertA2B<double, uchar>(255, 0, 1, 0));
  set->set(stUChar, stBitmap, copy<uchar>(255, 0));
  set->set(stSChar, stBitmap, new TImgConvertUChar2SChar);
  return set;
}

}  // namespace

const TConverters& TKavFormatDriver::converters2Memory() {
  static const std::unique_ptr<TConverters> set(buildToMemory());
  return *set;
}

const TConverters& TKavFormatDriver::converters2Disk() {
  static const std::unique_ptr<TConverters> set(buildToDisk());
  return *set;
}

// ---------------------------------------------------------------- driver

TKavFormatDriver::TKavFormatDriver() : state(1), recordBuffer(nullptr), fileHead(0, 0, 0, nullptr) {}

TKavFormatDriver::~TKavFormatDriver() { std::free(recordBuffer); }

TFileFormatDriver* TKavFormatDriver::createInstance() { return new TKavFormatDriver; }

int TKavFormatDriver::recognizeFormat() {
  unsigned char bytes[kavHead::size] = {};
  if (stream->seek(0, SEEK_SET) != 0) return 0;
  if (stream->read(bytes, kavHead::size) != kavHead::size) return 0;
  TKavEnsembleHead h;
  h.fromBytes(bytes);
  // the mark alone would take TIFF, TGA or OS/2 files whose bytes 28-29 read 3, 0
  return h.formatMark == kavHead::mark && validCoding(h.coding) && h.recordSize == h.getRecordSize();
}

void TKavFormatDriver::validateHead(const TKavEnsembleHead& h, const char* what) {
  if (!validCoding(h.coding)) QOR_RAISE("%s: coding %d is not one of 6..13.", what, int(h.coding));
  if (h.sizeX < 1 || h.sizeY < 1)
    QOR_RAISE("%s: image size %d x %d is empty.", what, int(h.sizeX), int(h.sizeY));
  if (h.recordSize < h.getRecordSize())
    QOR_RAISE("%s: record size %d is shorter than a row of %d bytes.", what, int(h.recordSize),
              h.getRecordSize());
}

void TKavFormatDriver::allocateRecord() {
  std::free(recordBuffer);
  recordBuffer = static_cast<unsigned char*>(std::calloc(size_t(rowsPerChunk()), fileHead.recordSize));
  if (!recordBuffer) QOR_RAISE_MEMORY();
}

int TKavFormatDriver::readHeader() {
  fillPaletteAsGrey();
  unsigned char bytes[kavHead::size] = {};
  stream->seek(0, SEEK_SET);
  stream->read(bytes, kavHead::size);
  fileHead.fromBytes(bytes);
  validateHead(fileHead, "Damaged native file head");
  info.head.fromBytes(bytes);
  int size = stream->size();
  info.numberOfImages_ = size > 0 ? int(size / fileHead.imageWithHeadSize()) : 0;
  allocateRecord();
  return 0;
}

void TKavFormatDriver::takeDescriptor(TFileInfo* source, const TKavEnsembleHead& h, int n) {
  const char* what = "Cannot create a native file";
  if (!validCoding(h.coding)) QOR_RAISE("%s: coding %d is not one of 6..13.", what, int(h.coding));
  if (n < 0) QOR_RAISE("%s: negative number of images %d.", what, n);
  validateHead(h, what);
  // the owned-descriptor flag belongs to the caller's descriptor, not to ours
  info.TFileInfo::operator=(*source);
  info.clearf(TFileInfo::ownedByEnsemble);
  info.head = h;
  info.numberOfImages_ = n;
  fileHead = info.head;
}

namespace {
// The head of a descriptor of any kind: its own when it has one.
TKavEnsembleHead headOf(TFileInfo* source, const char* what) {
  auto* kav = dynamic_cast<TKavFileInfo*>(source);
  int x = kav ? kav->requestedSizeX : source->sizeX();
  int y = kav ? kav->requestedSizeY : source->sizeY();
  if (x < 1 || x > 65535 || y < 1 || y > 65535)
    QOR_RAISE("%s: image size %d x %d is outside 1..65535.", what, x, y);
  int coding = kav ? kav->head.coding : source->coding();
  if (!validCoding(coding)) QOR_RAISE("%s: coding %d is not one of 6..13.", what, coding);
  return kav ? kav->head : TKavEnsembleHead(coding, x, y, nullptr);
}
}  // namespace

int TKavFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create a native file";
  TKavEnsembleHead h = headOf(source, what);
  int64_t rowBytes = int64_t(h.elementSize()) * h.sizeX;
  if (rowBytes > 65535) QOR_RAISE("%s: a row of %ld bytes exceeds the record limit of 65535.", what, long(rowBytes));
  takeDescriptor(source, h, source->numberOfImages());
  int64_t length = int64_t(info.numberOfImages_) * fileHead.imageWithHeadSize();
  if (length > maxFileOffset)
    QOR_RAISE("%s: %d images of %ld bytes would pass 2 GiB.", what, info.numberOfImages_,
              fileHead.imageWithHeadSize());
  unsigned char bytes[kavHead::size];
  info.head.toBytes(bytes);
  stream->seek(0, SEEK_SET);
  stream->write(bytes, kavHead::size);
  if (length > 0 && !extendTo(length)) QOR_RAISE("Error while writing to disk(output stream). Disk full?");
  allocateRecord();
  return 0;
}

// Gives the file its full length at once with one zero byte at its end, and
// makes sure the byte reached the file; false when it did not.
bool TKavFormatDriver::extendTo(int64_t length) {
  static const unsigned char zero = 0;
  if (stream->seek(long(length - 1), SEEK_SET) != length - 1 || stream->write(&zero, 1) != 1) return false;
  if (auto* file = dynamic_cast<TqorFileStream*>(stream)) file->flush();
  return !stream->fail();
}

TKavEnsembleHead& TKavFormatDriver::readHead(int i) {
  unsigned char bytes[kavHead::size] = {};
  stream->seek(long(int64_t(i) * fileHead.imageWithHeadSize()), SEEK_SET);
  stream->read(bytes, kavHead::size);
  TKavEnsembleHead h;
  h.fromBytes(bytes);
  if (h.isAllZero()) {
    // appended and never written: zeros with the file's geometry
    h.recordSize = fileHead.recordSize;
    h.coding = fileHead.coding;
    h.sizeX = fileHead.sizeX;
    h.sizeY = fileHead.sizeY;
    h.scale = 1.0;
  } else if (h.coding != fileHead.coding || h.sizeX != fileHead.sizeX || h.sizeY != fileHead.sizeY ||
             h.recordSize != fileHead.recordSize) {
    QOR_RAISE("Image %d of file %s has a head of another geometry (coding %d, %d x %d, record %d).", i,
              ensemble && ensemble->fileName() ? ensemble->fileName() : "", int(h.coding), int(h.sizeX),
              int(h.sizeY), int(h.recordSize));
  }
  std::memcpy(static_cast<void*>(&info.head), &h, sizeof h);
  return info.head;
}

int TKavFormatDriver::readImage(TqorImageBase* image, int index) {
  if (!image->ptr()) return 0;
  readHead(index);
  stream->seek(long(int64_t(index) * fileHead.imageWithHeadSize() + fileHead.recordSize), SEEK_SET);
  replaceConverter(getConverterDisk2Memory(image));
  if (converter->scalingEnabled() && info.head.scale != 1.0) converter->setScale(1, 1.0 / info.head.scale);
  blockIndex = 0;
  currentImage = image;
  if (!(flags & qorChunkMode))
    for (int n = chunksNumber(); n > 0; --n) readNextChunk();
  return 0;
}

int TKavFormatDriver::writeImage(TqorImageBase* image, int index) {
  if (!image->ptr()) return 0;
  stream->seek(long(int64_t(index) * fileHead.imageWithHeadSize()), SEEK_SET);
  replaceConverter(getConverterMemory2Disk(image));
  if (flags & qorNoScaling) {
    converter->enableScaling(0);
  } else if (converter->scalingEnabled()) {
    double max = 0, min = 0;
    image->getMaxAndMin(&max, &min);
    converter->setSourceRange(max, min);
  }
  TKavEnsembleHead h = fileHead;
  std::memcpy(h.name, info.head.name, sizeof h.name);
  h.factor = info.head.factor;
  h.scale = converter->scale();
  h.imageNumber = uint16_t(index + 1);
  h.fixedOne = 1;
  h.formatMark = kavHead::mark;
  if (int64_t(h.elementSize()) * h.sizeX < kavHead::size) h.factor = 1.0;
  std::memcpy(static_cast<void*>(&info.head), &h, sizeof h);
  std::memset(recordBuffer, 0, fileHead.recordSize);
  h.toBytes(recordBuffer);
  stream->write(recordBuffer, fileHead.recordSize);
  blockIndex = 0;
  currentImage = image;
  if (!(flags & qorChunkMode))
    for (int n = chunksNumber(); n > 0; --n) writeNextChunk();
  return 0;
}

int TKavFormatDriver::readNextChunk() {
  return int64_t(fileHead.elementSize()) * fileHead.sizeX >= kavHead::size ? readPlainRows() : readPaddedRows();
}

int TKavFormatDriver::writeNextChunk() {
  return int64_t(fileHead.elementSize()) * fileHead.sizeX >= kavHead::size ? writePlainRows()
                                                                           : writePaddedRows();
}

int TKavFormatDriver::readPaddedRows() { return rows(false, true); }
int TKavFormatDriver::readPlainRows() { return rows(false, false); }
int TKavFormatDriver::writePaddedRows() { return rows(true, true); }
int TKavFormatDriver::writePlainRows() { return rows(true, false); }

// One chunk of whole records, moved with one stream transfer. Wide rows fill
// their records, so every row starts aligned for its elements; narrow rows sit
// in 46-byte records and pass through an aligned scratch row.
int TKavFormatDriver::rows(bool write, bool padded) {
  if (!currentImage || !converter || !recordBuffer || blockIndex >= chunksNumber()) return 1;
  const int per = rowsPerChunk();
  const int y0 = per * blockIndex;
  const int y1 = y0 + per < fileHead.sizeY ? y0 + per : fileHead.sizeY;
  const size_t record = fileHead.recordSize;
  const size_t bytes = size_t(y1 - y0) * record;
  const int sizeX = fileHead.sizeX;
  alignas(16) unsigned char narrow[kavHead::size];
  if (write) {
    std::memset(recordBuffer, 0, bytes);
    const size_t rowBytes = size_t(converter->destSize()) * sizeX;
    for (int y = y0; y < y1; ++y) {
      unsigned char* out = recordBuffer + size_t(y - y0) * record;
      if (padded) {
        converter->convert(narrow, currentImage->rowPtr(y), sizeX);
        std::memcpy(out, narrow, rowBytes < record ? rowBytes : record);
      } else {
        converter->convert(out, currentImage->rowPtr(y), sizeX);
      }
    }
    stream->write(recordBuffer, int(bytes));
  } else {
    int got = stream->read(recordBuffer, int(bytes));
    // rows past the end of a short file read as zeros
    size_t have = got > 0 ? size_t(got) : 0;
    if (have < bytes) std::memset(recordBuffer + have, 0, bytes - have);
    const size_t rowBytes = size_t(converter->sourceSize()) * sizeX;
    for (int y = y0; y < y1; ++y) {
      const unsigned char* in = recordBuffer + size_t(y - y0) * record;
      if (padded) {
        std::memcpy(narrow, in, rowBytes < sizeof narrow ? rowBytes : sizeof narrow);
        converter->convert(currentImage->rowPtr(y), narrow, sizeX);
      } else {
        converter->convert(currentImage->rowPtr(y), in, sizeX);
      }
    }
  }
  ++blockIndex;
  return 0;
}

int TKavFormatDriver::increaseImagesNumber(int n) {
  if (n <= 0) return info.numberOfImages_;
  int64_t count = int64_t(info.numberOfImages_) + n;
  int64_t length = count * fileHead.imageWithHeadSize();
  if (length > maxFileOffset)
    QOR_RAISE("Cannot add %d images: %ld images of %ld bytes would pass 2 GiB.", n, long(count),
              fileHead.imageWithHeadSize());
  if (!extendTo(length)) QOR_RAISE("Error while writing to disk. Disk full?");
  info.numberOfImages_ = int(count);
  return info.numberOfImages_;
}

TImgConvertA2B* TKavFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return converters2Memory().get(info.coding(), image->coding());
}

TImgConvertA2B* TKavFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return converters2Disk().get(info.coding(), image->coding());
}
