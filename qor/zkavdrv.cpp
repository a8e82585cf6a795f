#include "zkavdrv.h"

#include <cfloat>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "zstream.h"

namespace {

// Largest offset a stream position can carry.
constexpr int64_t maxFileOffset = INT32_MAX;

bool validCoding(int coding) { return coding >= stDouble && coding <= stRGB; }

}  // namespace

// ---------------------------------------------------------------- on-disk layout

// Offsets of the 46-byte head record (little-endian).
namespace kavHead {
inline constexpr int factor = 0;        // double, carried along
inline constexpr int scale = 8;         // double: stored value x scale = image value
inline constexpr int recordSize = 16;   // uint16: bytes of one record
inline constexpr int coding = 18;       // uint16: stXXX code 6..13
inline constexpr int sizeX = 20;        // uint16
inline constexpr int sizeY = 22;        // uint16
inline constexpr int imageNumber = 24;  // uint16: 1 + index, 0 while never written
inline constexpr int fixedOne = 26;     // uint16, always 1
inline constexpr int formatMark = 28;   // uint16, always 3
inline constexpr int name = 30;         // 14 characters, zero-filled
inline constexpr int reserved = 44;     // 2 bytes
inline constexpr int size = TKavEnsembleHead::diskSize;
inline constexpr int mark = 3;
}  // namespace kavHead

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
  qorLE::put16(out + kavHead::recordSize, recordSize);
  qorLE::put16(out + kavHead::coding, coding);
  qorLE::put16(out + kavHead::sizeX, sizeX);
  qorLE::put16(out + kavHead::sizeY, sizeY);
  qorLE::put16(out + kavHead::imageNumber, imageNumber);
  qorLE::put16(out + kavHead::fixedOne, fixedOne);
  qorLE::put16(out + kavHead::formatMark, formatMark);
  std::memcpy(out + kavHead::name, name, sizeof name);
  qorLE::put16(out + kavHead::reserved, 0);
}

void TKavEnsembleHead::fromBytes(const unsigned char in[kavHead::size]) {
  std::memcpy(&factor, in + kavHead::factor, 8);
  std::memcpy(&scale, in + kavHead::scale, 8);
  recordSize = uint16_t(qorLE::get16(in + kavHead::recordSize));
  coding = uint16_t(qorLE::get16(in + kavHead::coding));
  sizeX = uint16_t(qorLE::get16(in + kavHead::sizeX));
  sizeY = uint16_t(qorLE::get16(in + kavHead::sizeY));
  imageNumber = uint16_t(qorLE::get16(in + kavHead::imageNumber));
  fixedOne = uint16_t(qorLE::get16(in + kavHead::fixedOne));
  formatMark = uint16_t(qorLE::get16(in + kavHead::formatMark));
  std::memcpy(name, in + kavHead::name, sizeof name);
  reserved = uint16_t(qorLE::get16(in + kavHead::reserved));
}

// ---------------------------------------------------------------- descriptor

TKavFileInfo::TKavFileInfo() : head(0, 0, 0, nullptr), numberOfImages_(0), requestedSizeX(0), requestedSizeY(0) {}

TKavFileInfo::TKavFileInfo(int coding, int sizeX, int sizeY, int n, const char* name)
    : head(coding, sizeX, sizeY, name), numberOfImages_(n), requestedSizeX(sizeX), requestedSizeY(sizeY) {}

TKavFileInfo::TKavFileInfo(const TKavEnsembleHead& h, int n)
    : head(h), numberOfImages_(n), requestedSizeX(h.sizeX), requestedSizeY(h.sizeY) {}

int TKavFileInfo::formatID() { return idKAV(); }

TFileInfo* fiKavFileInfo(int coding, int sizeX, int sizeY, int n, const char* name) {
  return qorOwnedFileInfo<TKavFileInfo>(coding, sizeX, sizeY, n, name);
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

// Converters with fixed bounds, as table rows.
template <class A, class B, int Max, int Min, int Scaling, int Truncate>
TImgConvertA2B* bounded() {
  return new TUImgConvertA2B<A, B>(Max, Min, Scaling, Truncate);
}
// Widening into doubles: bounds that let every value through, scaled by the head's scale.
template <class A>
TImgConvertA2B* toDouble() {
  const double big = 1.7976931348623157e308;
  return new TUImgConvertA2B<A, double>(big, -big, 1, 1);
}
TImgConvertA2B* doubleCopy() { return copy<double>(DBL_MAX, -DBL_MAX); }
TImgConvertA2B* toSLong() { return new TUImgConvertA2B<double, int>(2147483647.0, -2147483648.0, 1, 0); }
TImgConvertA2B* toULong() { return new TUImgConvertA2B<double, uint>(4294967295.0, 0, 1, 0); }
using qorTableRows::make;

// [file coding][image coding]
const TConverterRow nativeToMemory[] = {
    {stUChar, stUChar, bounded<uchar, uchar, 255, 0, 0, 1>},
    {stSChar, stUChar, make<TImgConvertSChar2UChar>},
    {stSChar, stSChar, bounded<schar, schar, 127, -128, 0, 1>},
    {stUChar, stSChar, make<TImgConvertUChar2SChar>},
    {stSShort, stSShort, bounded<short, short, 32767, -32768, 0, 1>},
    {stSChar, stSShort, bounded<schar, short, 32767, -32768, 1, 0>},
    {stUChar, stSShort, bounded<uchar, short, 32767, -32768, 1, 0>},
    {stDouble, stDouble, doubleCopy},
    {stSLong, stDouble, toDouble<int>},
    {stULong, stDouble, toDouble<uint>},
    {stSShort, stDouble, toDouble<short>},
    {stUShort, stDouble, toDouble<ushort>},
    {stSChar, stDouble, toDouble<schar>},
    {stUChar, stDouble, toDouble<uchar>},
    {stUChar, stBitmap, bounded<uchar, uchar, 255, 0, 0, 1>},
    {stSChar, stBitmap, make<TImgConvertSChar2UChar>},
};

// [file coding][image coding]
const TConverterRow nativeToDisk[] = {
    {stUChar, stUChar, bounded<uchar, uchar, 255, 0, 0, 1>},
    {stSChar, stUChar, make<TImgConvertUChar2SChar>},
    {stSChar, stSChar, bounded<schar, schar, 127, -128, 0, 1>},
    {stUChar, stSChar, make<TImgConvertSChar2UChar>},
    {stSShort, stSShort, bounded<short, short, 32767, -32768, 0, 1>},
    {stSChar, stSShort, bounded<short, schar, 127, -128, 1, 0>},
    {stUChar, stSShort, bounded<short, uchar, 255, 0, 1, 0>},
    {stDouble, stDouble, doubleCopy},
    {stSLong, stDouble, toSLong},
    {stULong, stDouble, toULong},
    {stSShort, stDouble, bounded<double, short, 32767, -32768, 1, 0>},
    {stUShort, stDouble, bounded<double, ushort, 65535, 0, 1, 0>},
    {stSChar, stDouble, bounded<double, schar, 127, -128, 1, 0>},
    {stUChar, stDouble, bounded<double, uchar, 255, 0, 1, 0>},
    {stUChar, stBitmap, bounded<uchar, uchar, 255, 0, 0, 1>},
    {stSChar, stBitmap, make<TImgConvertUChar2SChar>},
};

}  // namespace

const TConverters& TKavFormatDriver::converters2Memory() {
  static const TConverters set(0, 0, nativeToMemory);
  return set;
}

const TConverters& TKavFormatDriver::converters2Disk() {
  static const TConverters set(0, 0, nativeToDisk);
  return set;
}

// ---------------------------------------------------------------- driver

TKavFormatDriver::TKavFormatDriver() : state(1), fileHead(0, 0, 0, nullptr) {}

TKavFormatDriver::~TKavFormatDriver() = default;

int TKavFormatDriver::recognizeFormat() {
  TKavEnsembleHead h;
  if (!readPrefixRecord(h)) return 0;
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
  setRowLayout({fileHead.recordSize, fileHead.sizeX, fileHead.sizeY, false});
}

int TKavFormatDriver::readHeader() {
  fillPaletteAsGrey();
  unsigned char bytes[kavHead::size] = {};
  stream->seek(0, SEEK_SET);
  stream->read(bytes, kavHead::size);
  fileHead.fromBytes(bytes);
  validateHead(fileHead, "Damaged native file head");
  checkGeometry(fileHead.recordSize, fileHead.sizeX, fileHead.sizeY, "Native file head");
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
  adoptDescriptor<TFileInfo>(info, *source);
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
  if (!seekTo(length - 1) || stream->write(&zero, 1) != 1) return false;
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
              fileNameForMessages(), int(h.coding), int(h.sizeX),
              int(h.sizeY), int(h.recordSize));
  }
  std::memcpy(static_cast<void*>(&info.head), &h, sizeof h);
  return info.head;
}

int TKavFormatDriver::readImage(TqorImageBase* image, int index) {
  if (!image->ptr()) return 0;
  readHead(index);
  stream->seek(long(int64_t(index) * fileHead.imageWithHeadSize() + fileHead.recordSize), SEEK_SET);
  takeConverter(getConverterDisk2Memory(image));
  if (converter->scalingEnabled() && info.head.scale != 1.0) converter->setScale(1, 1.0 / info.head.scale);
  transferImage(image, false);
  return 0;
}

int TKavFormatDriver::writeImage(TqorImageBase* image, int index) {
  if (!image->ptr()) return 0;
  stream->seek(long(int64_t(index) * fileHead.imageWithHeadSize()), SEEK_SET);
  takeConverter(getConverterMemory2Disk(image));
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
  // the head is a whole record: its bytes past the 46 of the head are zeros
  std::vector<unsigned char> record(fileHead.recordSize, 0);
  h.toBytes(record.data());
  stream->write(record.data(), int(record.size()));
  transferImage(image, true);
  return 0;
}

int TKavFormatDriver::readNextChunk() {
  return int64_t(fileHead.elementSize()) * fileHead.sizeX >= kavHead::size ? readPlainRows() : readPaddedRows();
}

int TKavFormatDriver::writeNextChunk() {
  return int64_t(fileHead.elementSize()) * fileHead.sizeX >= kavHead::size ? writePlainRows()
                                                                           : writePaddedRows();
}

// One chunk of whole records moves with one stream transfer. Wide rows fill
// their records; narrow rows sit in 46-byte records, padded with zeros.
int TKavFormatDriver::readPaddedRows() { return moveRowChunk(false); }
int TKavFormatDriver::readPlainRows() { return moveRowChunk(false); }
int TKavFormatDriver::writePaddedRows() { return moveRowChunk(true); }
int TKavFormatDriver::writePlainRows() { return moveRowChunk(true); }

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
