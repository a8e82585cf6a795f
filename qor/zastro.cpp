#include "zastro.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

// ---------------------------------------------------------------- on-disk layout

namespace astroLayout {
inline constexpr int cardSize = 80;
inline constexpr int cards = 7;
inline constexpr int headerSize = cards * cardSize;  // the samples start here
static_assert(headerSize == TAstroLUMHead::diskSize);
// Cards in the order they are written.
inline constexpr int simpleCard = 0;
inline constexpr int bitpixCard = 1;
inline constexpr int naxisCard = 2;
inline constexpr int naxis1Card = 3;
inline constexpr int naxis2Card = 4;
inline constexpr int testCard = 5;
inline constexpr int endCard = 6;
// Columns counted from 0: a value ends in valueEnd, a slash follows it.
inline constexpr int valueEnd = 29;
inline constexpr int slash = 30;
// Reading: a value is looked for from valueStart characters after the first
// letter of its keyword, past at most maxSkipped characters that are not digits.
inline constexpr int valueStart = 12;
inline constexpr int maxSkipped = 40;
// The only sample size the format holds.
inline constexpr int sampleBits = 16;
inline constexpr int sampleBytes = 2;
// Files of other tools: the header fills whole blocks of 36 cards, its last
// card is END, blanks fill the rest of its block and the samples start with
// the next block. A card holds its keyword in columns 0 to 7 and, when it has
// a value, "= " in columns 8 and 9.
inline constexpr int blockSize = 2880;
inline constexpr int cardsPerBlock = blockSize / cardSize;
inline constexpr int keywordSize = 8;
inline constexpr int valueColumn = 10;
inline constexpr int maxHeaderBlocks = 64;  // blocks looked through for the END card
}  // namespace astroLayout

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

namespace {

// The cards of a header of blocks that the driver reads.
struct BlockedCards {
  enum { simple, bitpix, naxis, naxis1, naxis2, bzero, bscale, count };
  static constexpr const char* names[count] = {"SIMPLE", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "BZERO", "BSCALE"};
  // the value text of each card, without its comment; empty when absent
  char value[count][astroLayout::cardSize];
  bool present[count] = {};
};

inline bool isBlank(const char* p, int n) {
  for (int k = 0; k < n; ++k)
    if (p[k] != ' ') return false;
  return true;
}

bool isEndCard(const char* card) { return std::memcmp(card, "END", 3) == 0 && isBlank(card + 3, astroLayout::cardSize - 3); }

// Keeps the value of card when its keyword is one the driver reads.
void noteCard(const char* card, BlockedCards& c) {
  if (card[astroLayout::keywordSize] != '=' || card[astroLayout::keywordSize + 1] != ' ') return;
  char keyword[astroLayout::keywordSize + 1];
  std::memcpy(keyword, card, astroLayout::keywordSize);
  int n = astroLayout::keywordSize;
  while (n > 0 && keyword[n - 1] == ' ') --n;
  keyword[n] = '\0';
  for (int k = 0; k < BlockedCards::count; ++k) {
    if (c.present[k] || std::strcmp(keyword, BlockedCards::names[k]) != 0) continue;
    const int length = astroLayout::cardSize - astroLayout::valueColumn;
    std::memcpy(c.value[k], card + astroLayout::valueColumn, size_t(length));
    c.value[k][length] = '\0';
    if (char* comment = std::strchr(c.value[k], '/')) *comment = '\0';
    c.present[k] = true;
  }
}

// A number that fills the value text but for blanks; FORTRAN's D exponent is read as E.
bool parseNumber(char* text, double& out) {
  for (char* p = text; *p; ++p)
    if (*p == 'D' || *p == 'd') *p = 'E';
  char* end = nullptr;
  const double v = std::strtod(text, &end);
  if (end == text || !isBlank(end, int(std::strlen(end))) || !std::isfinite(v)) return false;
  out = v;
  return true;
}

}  // namespace

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
// moves them between the row buffer and the image. Rows of files of header
// blocks are big-endian and scaled into doubles first.

namespace {
inline double blockedSample(const unsigned char* p, double bzero, double bscale) {
  return bzero + bscale * double(int16_t(uint16_t(p[0] << 8 | p[1])));
}
}  // namespace

// ---------------------------------------------------------------- converter tables

// One pair only: signed 16-bit samples to and from signed 16-bit images, a
// clipped copy without scaling or rounding.
TImgConvertA2B* TAstroLUMFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  if (blocked.on && image->coding() == stSShort) return new TUImgConvertA2B<double, short>(32767, -32768, 0, 1);
  if (blocked.on && image->coding() == stDouble) return new TUImgConvertA2B<double, double>(DBL_MAX, -DBL_MAX, 0, 1);
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

// Samples have no palette.
int TAstroLUMFormatDriver::hasPalette() { return 0; }

int TAstroLUMFormatDriver::paletteSize() { return 0; }

int TAstroLUMFormatDriver::recognizeFormat() {
  if (!seekTo(0)) return 0;
  TAstroLUMHead h;
  char fault[120];
  h.read(*stream, fault, sizeof fault);
  return h.notFound == 0;
}

int TAstroLUMFormatDriver::rowBytes() const { return fileInfo.head.sizeX * astroLayout::sampleBytes; }

void TAstroLUMFormatDriver::allocateRow() {
  try {
    row.assign(size_t(rowBytes()), 0);
    values.clear();
    if (blocked.on) values.assign(size_t(fileInfo.head.sizeX), 0.0);
  } catch (const std::bad_alloc&) {
    QOR_RAISE_MEMORY();
  }
}

bool TAstroLUMFormatDriver::readBlockedHeader(const char* what) {
  using namespace astroLayout;
  char block[blockSize];
  BlockedCards cards;
  int64_t end = -1;  // index of the END card
  for (int b = 0; b < maxHeaderBlocks && end < 0; ++b) {
    const int got = stream->read(block, blockSize);
    const int have = got > 0 ? got : 0;
    if (b == 0 && (have < keywordSize + 1 || std::memcmp(block, "SIMPLE  =", keywordSize + 1) != 0)) return false;
    for (int c = 0; c < cardsPerBlock && (c + 1) * cardSize <= have; ++c) {
      const char* card = block + c * cardSize;
      if (isEndCard(card)) {
        end = int64_t(b) * cardsPerBlock + c;
        // blanks fill the block after the END card; a file of seven cards has its samples there
        const int after = (c + 1) * cardSize;
        if (end <= endCard && (have < blockSize || !isBlank(block + after, blockSize - after))) return false;
        break;
      }
      noteCard(card, cards);
    }
    if (have < blockSize) break;
  }
  if (end < 0) return false;

  const char* file = fileNameForMessages();
  auto integer = [&](int k, int64_t& out) {
    double v = 0;
    if (!cards.present[k] || !parseNumber(cards.value[k], v) || v != std::floor(v))
      QOR_RAISE("%s of \"%s\": the %s card is missing or holds no whole number.", what, file, BlockedCards::names[k]);
    out = v > double(INT_MAX) ? int64_t(INT_MAX) + 1 : v < double(INT_MIN) ? int64_t(INT_MIN) - 1 : int64_t(v);
  };
  auto real = [&](int k, double& out) {
    if (cards.present[k] && !parseNumber(cards.value[k], out))
      QOR_RAISE("%s of \"%s\": the %s card holds no number.", what, file, BlockedCards::names[k]);
  };
  int64_t bitpix = 0, naxis = 0, x = 0, y = 0;
  integer(BlockedCards::bitpix, bitpix);
  if (bitpix != sampleBits)
    QOR_RAISE("%s of \"%s\": BITPIX is %lld; only samples of %d bits are read.", what, file, (long long)bitpix,
              sampleBits);
  integer(BlockedCards::naxis, naxis);
  if (naxis != 2) QOR_RAISE("%s of \"%s\": NAXIS is %lld; only images of 2 axes are read.", what, file, (long long)naxis);
  integer(BlockedCards::naxis1, x);
  integer(BlockedCards::naxis2, y);
  if (x > INT_MAX || y > INT_MAX)
    QOR_RAISE("%s of \"%s\": the image size %lld x %lld (NAXIS1 x NAXIS2) is beyond %d.", what, file, (long long)x,
              (long long)y, INT_MAX);
  if (x < 1 || y < 1)
    QOR_RAISE("%s of \"%s\": the image size %lld x %lld (NAXIS1 x NAXIS2) is empty.", what, file, (long long)x,
              (long long)y);
  Blocked read;
  read.on = true;
  read.dataOffset = (end / cardsPerBlock + 1) * blockSize;
  real(BlockedCards::bzero, read.bzero);
  real(BlockedCards::bscale, read.bscale);
  checkGeometry(x * sampleBytes, x, y, what, sampleBits);

  TAstroLUMFileInfo info(sampleBits, int(x), int(y));
  fileInfo = info;
  blocked = read;
  return true;
}

int TAstroLUMFormatDriver::readHeader() {
  fillPaletteAsGrey();
  const char* what = "Astronomical file header";
  blocked = Blocked();
  if (!seekTo(0)) QOR_RAISE("%s: the stream cannot be positioned at its start.", what);
  if (readBlockedHeader(what)) {
    allocateRow();
    stream->clear();
    return 0;
  }
  stream->clear();
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
  adoptDescriptor(fileInfo, withCallerFields(TAstroLUMFileInfo(coding, x, y), source));
  blocked = Blocked();
  if (!seekTo(0)) stream->seek(0, SEEK_SET);
  fileInfo.head.write(*stream);
  allocateRow();
  return 0;
}

int TAstroLUMFormatDriver::readImage(TqorImageBase* image, int) {
  takeConverter(getConverterDisk2Memory(image));
  if (!image->ptr()) return 0;
  if (blocked.on) {
    readBlockedImage(image);
    return 0;
  }
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

void TAstroLUMFormatDriver::readBlockedImage(TqorImageBase* image) {
  const char* file = fileNameForMessages();
  if (!seekTo(blocked.dataOffset))
    QOR_RAISE("Astronomical file \"%s\": the file ends inside its header of %lld bytes.", file,
              (long long)blocked.dataOffset);
  const bool intoShort = image->coding() == stSShort;
  const int width = fileInfo.head.sizeX, height = fileInfo.head.sizeY, n = rowBytes();
  for (int i = 0; i < height; ++i) {
    const int got = stream->read(row.data(), n);
    const int whole = got > 0 ? got / astroLayout::sampleBytes : 0;
    // samples the file does not hold are zeros, and the read reports the shortfall
    if (got < n) stream->markFailed();
    // the first row stored is the bottom one
    const int y = height - 1 - i;
    for (int x = 0; x < width; ++x) {
      const double v = x < whole ? blockedSample(&row[size_t(x) * astroLayout::sampleBytes], blocked.bzero, blocked.bscale) : 0.0;
      if (intoShort && (v < -32768 || v > 32767 || v != std::floor(v)))
        QOR_RAISE("Astronomical file \"%s\": with BZERO %g and BSCALE %g the sample at column %d, row %d is %g, "
                  "which a signed 16-bit image cannot hold; read the file into a double image.",
                  file, blocked.bzero, blocked.bscale, x, y, v);
      values[size_t(x)] = v;
    }
    converter->convert(image->rowPtr(y), values.data(), width);
  }
}

int TAstroLUMFormatDriver::writeImage(TqorImageBase* image, int) {
  if (blocked.on)
    QOR_RAISE("Astronomical file \"%s\": a file of %d-byte header blocks is only read; write the image into a new "
              "file.",
              fileNameForMessages(), astroLayout::blockSize);
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
