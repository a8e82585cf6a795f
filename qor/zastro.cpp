#include "zastro.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

// Card templates as written with every value 0; each is blank-filled to 80 columns.
const char* const cardTemplates[astroLayout::cards] = {
    "SIMPLE  =                    T/", "BITPIX  =                    0/", "NAXIS   =                    2/",
    "NAXIS1  =                    0/", "NAXIS2  =                    0/", "TEST    =                    0/",
    "END",
};

inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The header text: 560 characters, NUL bytes and bytes the stream does not
// hold as blanks, and a terminating NUL, so that every search ends inside it.
struct HeaderText {
  char text[astroLayout::headerSize + 1];
};

// A card value: found when a number stands where the keyword's value is looked for.
struct CardValue {
  bool found = false;
  int64_t value = 0;  // clamped to a little above INT_MAX
};

// The value of keyword: looked for from valueStart characters after the
// keyword's first occurrence, past at most maxSkipped non-digits (a minus
// sign among them, so values are read without their sign), then blanks.
CardValue cardValue(const HeaderText& h, const char* keyword) {
  CardValue v;
  const char* at = std::strstr(h.text, keyword);
  if (!at) return v;
  const char* end = h.text + astroLayout::headerSize;
  if (end - at <= astroLayout::valueStart) return v;
  const char* p = at + astroLayout::valueStart;
  for (int skipped = 0; skipped < astroLayout::maxSkipped && p < end && !isDigit(*p); ++skipped) ++p;
  while (p < end && *p == ' ') ++p;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  if (p >= end || !isDigit(*p)) return v;
  int64_t n = 0;
  for (; p < end && isDigit(*p); ++p)
    if (n <= INT_MAX) n = n * 10 + (*p - '0');
  v.found = true;
  v.value = negative ? -n : n;
  return v;
}

// Puts value into card number card of text, its last character in the value column.
void putValue(char* text, int card, long long value) {
  char digits[24];
  const int n = std::snprintf(digits, sizeof digits, "%-1lld", value);
  std::memcpy(text + card * astroLayout::cardSize + astroLayout::valueEnd + 1 - n, digits, size_t(n));
}

}  // namespace

// ---------------------------------------------------------------- on-disk layout

const char* TAstroLUMHead::read(TqorStream& s, char* fault, size_t size) {
  HeaderText h;
  const int got = s.read(h.text, astroLayout::headerSize);
  const int have = got > 0 ? got : 0;
  for (int k = 0; k < astroLayout::headerSize; ++k)
    if (k >= have || h.text[k] == '\0') h.text[k] = ' ';
  h.text[astroLayout::headerSize] = '\0';
  notFound = 0;
  if (!std::strstr(h.text, "SIMPLE")) {
    notFound = 1;
    std::snprintf(fault, size, "the first %d bytes hold no \"SIMPLE\" card.", astroLayout::headerSize);
    return fault;
  }
  const char* keywords[] = {"NAXIS1", "NAXIS2", "BITPIX"};
  int64_t values[3];
  for (int k = 0; k < 3; ++k) {
    const CardValue v = cardValue(h, keywords[k]);
    if (!v.found) {
      std::snprintf(fault, size, "the %s card is missing or holds no number.", keywords[k]);
      return fault;
    }
    if (v.value > INT_MAX) {
      std::snprintf(fault, size, "the %s value is beyond %d.", keywords[k], INT_MAX);
      return fault;
    }
    values[k] = v.value;
  }
  sizeX = int32_t(values[0]);
  sizeY = int32_t(values[1]);
  if (values[2] != astroLayout::sampleBits) {
    std::snprintf(fault, size, "BITPIX is %lld; only samples of %d bits are read.", (long long)values[2],
                  astroLayout::sampleBits);
    return fault;
  }
  coding = uint16_t(values[2]);
  if (sizeX < 1 || sizeY < 1) {
    std::snprintf(fault, size, "the image size %d x %d (NAXIS1 x NAXIS2) is empty.", int(sizeX), int(sizeY));
    return fault;
  }
  return nullptr;
}

void TAstroLUMHead::toBytes(char out[astroLayout::headerSize]) const {
  std::memset(out, ' ', astroLayout::headerSize);
  for (int c = 0; c < astroLayout::cards; ++c)
    std::memcpy(out + c * astroLayout::cardSize, cardTemplates[c], std::strlen(cardTemplates[c]));
  putValue(out, astroLayout::naxis1Card, sizeX);
  putValue(out, astroLayout::naxis2Card, sizeY);
  putValue(out, astroLayout::bitpixCard, coding);
}

void TAstroLUMHead::write(TqorStream& s) const {
  char bytes[astroLayout::headerSize];
  toBytes(bytes);
  s.write(bytes, astroLayout::headerSize);
}

// ---------------------------------------------------------------- descriptor

TAstroLUMFileInfo::TAstroLUMFileInfo(int coding, int sizeX, int sizeY) : requestedCoding(coding) {
  head.sizeX = sizeX;
  head.sizeY = sizeY;
  head.coding = uint16_t(coding);
  head.notFound = 0;
}

TAstroLUMFileInfo::~TAstroLUMFileInfo() = default;

int TAstroLUMFileInfo::formatID() { return idASTROLUM(); }

TFileInfo* fiAstroFileInfo(int coding, int sizeX, int sizeY) {
  return qorOwnedFileInfo<TAstroLUMFileInfo>(coding, sizeX, sizeY);
}

// ---------------------------------------------------------------- row codec

// Rows are stored as they lie in a signed 16-bit image; the converter below
// moves them between the row buffer and the image.

// ---------------------------------------------------------------- converter tables

// One pair only: signed 16-bit samples to and from signed 16-bit images, a
// clipped copy without scaling or rounding.
TImgConvertA2B* TAstroLUMFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  if (image->coding() != stSShort)
    QOR_RAISE("Unknown convertion from 16 bits coding type  to type N %d.", image->coding());
  return new TUImgConvertA2B<short, short>(32767, -32768, 0, 1);
}

TImgConvertA2B* TAstroLUMFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  if (image->coding() != stSShort)
    QOR_RAISE("Unknown convertion from type N %d to 16 bits coding type.", image->coding());
  return new TUImgConvertA2B<short, short>(32767, -32768, 0, 1);
}

// ---------------------------------------------------------------- driver

TAstroLUMFormatDriver::TAstroLUMFormatDriver() = default;

TAstroLUMFormatDriver::~TAstroLUMFormatDriver() = default;

TFileFormatDriver* TAstroLUMFormatDriver::createInstance() { return new TAstroLUMFormatDriver; }

int TAstroLUMFormatDriver::recognizeFormat() {
  if (!seekTo(0)) return 0;
  TAstroLUMHead h;
  char fault[120];
  h.read(*stream, fault, sizeof fault);
  return h.notFound == 0;
}

void TAstroLUMFormatDriver::allocateRow() {
  row.assign(size_t(rowBytes()), 0);
}

int TAstroLUMFormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "Astronomical file header";
  if (!seekTo(0)) QOR_RAISE("%s: the stream cannot be positioned at its start.", what);
  TAstroLUMFileInfo read;
  char fault[160];
  if (read.head.read(*stream, fault, sizeof fault)) QOR_RAISE("%s of \"%s\": %s", what, fileNameForMessages(), fault);
  read.requestedCoding = read.head.coding;
  checkGeometry(int64_t(read.head.sizeX) * astroLayout::sampleBytes, read.head.sizeX, read.head.sizeY, what,
                astroLayout::sampleBits);
  fileInfo = read;
  allocateRow();
  stream->clear();
  return 0;
}

int TAstroLUMFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create an astronomical file";
  auto* astro = dynamic_cast<TAstroLUMFileInfo*>(source);
  const int coding = astro ? astro->requestedCoding : source->coding();
  const int x = source->sizeX(), y = source->sizeY();
  // rows are moved as 16-bit samples: another coding would not fit the row buffer
  if (coding != astroLayout::sampleBits)
    QOR_RAISE("%s: %d bits per sample cannot be written; the samples are %d-bit.", what, coding,
              astroLayout::sampleBits);
  checkGeometry(int64_t(x) * astroLayout::sampleBytes, x, y, what, astroLayout::sampleBits);
  TAstroLUMFileInfo wanted(coding, x, y);
  wanted.TFileInfo::operator=(*source);
  adoptDescriptor(fileInfo, wanted);
  if (!seekTo(0)) stream->seek(0, SEEK_SET);
  fileInfo.head.write(*stream);
  allocateRow();
  return 0;
}

int TAstroLUMFormatDriver::readImage(TqorImageBase* image, int) {
  takeConverter(getConverterDisk2Memory(image));
  if (!image->ptr()) return 0;
  if (!seekTo(astroLayout::headerSize))
    QOR_RAISE("Astronomical file \"%s\": the file ends inside its %d-byte header.", fileNameForMessages(),
              astroLayout::headerSize);
  const int n = rowBytes();
  for (int i = 0; i < fileInfo.head.sizeY; ++i) {
    const int got = stream->read(row.data(), n);
    if (got < n) {
      // samples the file does not hold are zeros, and the read reports the shortfall
      std::memset(row.data() + (got > 0 ? got : 0), 0, size_t(n - (got > 0 ? got : 0)));
      stream->markFailed();
    }
    converter->convert(image->rowPtr(i), row.data(), fileInfo.head.sizeX);
  }
  return 0;
}

int TAstroLUMFormatDriver::writeImage(TqorImageBase* image, int) {
  // the converter first: an image of another type leaves the file as it was
  takeConverter(getConverterMemory2Disk(image));
  if (!image->ptr()) return 0;
  if (!seekTo(0)) stream->seek(0, SEEK_SET);
  fileInfo.head.write(*stream);
  const int n = rowBytes();
  for (int i = 0; i < fileInfo.head.sizeY; ++i) {
    converter->convert(row.data(), image->rowPtr(i), fileInfo.head.sizeX);
    stream->write(row.data(), n);
  }
  return 0;
}
