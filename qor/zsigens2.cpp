#include "zsigens2.h"
#include "zconvrow.h"

#include <atomic>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "zsigens1.h"
#include "zstream.h"

// ---------------------------------------------------------------- codings

namespace {

struct CodingEntry {
  int value;
  const char* name;
};

// In matrix-index order.
constexpr CodingEntry stCodings[stCodingCount] = {
    {stDouble, "stDouble"}, {stSChar, "stSChar"},   {stUChar, "stUChar"},   {stSShort, "stSShort"},
    {stUShort, "stUShort"}, {stSLong, "stSLong"},   {stULong, "stULong"},   {stRGB, "stRGB"},
    {stOneBit, "stOneBit"}, {stBitmap, "stBitmap"},
};

constexpr CodingEntry bitsCodings[bitsCodingCount] = {
    {image1BitPerPix, "image1BitPerPix"},   {image4BitPerPix, "image4BitPerPix"},
    {image8BitPerPix, "image8BitPerPix"},   {image15BitPerPix, "image15BitPerPix"},
    {image16BitPerPix, "image16BitPerPix"}, {image24BitPerPix, "image24BitPerPix"},
    {image32BitPerPix, "image32BitPerPix"},
};

// Reverse table: value -> matrix index, -1 for values that are no coding.
template <int N, int Size>
struct IndexByValue {
  int index[Size];
  constexpr explicit IndexByValue(const CodingEntry (&table)[N]) : index() {
    for (int v = 0; v < Size; ++v) index[v] = -1;
    for (int i = 0; i < N; ++i) index[table[i].value] = i;
  }
  constexpr int operator()(int value) const {
    return value >= 0 && value < Size ? index[value] : -1;
  }
};

constexpr IndexByValue<stCodingCount, stBitmap + 1> stIndex(stCodings);
constexpr IndexByValue<bitsCodingCount, image32BitPerPix + 1> bitsIndex(bitsCodings);

static_assert(stIndex(stDouble) == 0 && stIndex(stSChar) == 1 && stIndex(stUChar) == 2 &&
                  stIndex(stSShort) == 3 && stIndex(stUShort) == 4 && stIndex(stSLong) == 5 &&
                  stIndex(stULong) == 6 && stIndex(stRGB) == 7 && stIndex(stOneBit) == 8 &&
                  stIndex(stBitmap) == 9 && stIndex(15) == -1 && stIndex(0) == -1,
              "stXXX matrix indexes");
static_assert(bitsIndex(1) == 0 && bitsIndex(4) == 1 && bitsIndex(8) == 2 && bitsIndex(15) == 3 &&
                  bitsIndex(16) == 4 && bitsIndex(24) == 5 && bitsIndex(32) == 6 &&
                  bitsIndex(2) == -1 && bitsIndex(33) == -1,
              "bits-per-pixel matrix indexes");

}  // namespace

int stCodingIndex(int code) {
  const int i = stIndex(code);
  if (i < 0) QOR_RAISE("Unknown value of stXXXXX constant parameter = %d.", code);
  return i;
}

int bitsCodingIndex(int bits) {
  const int i = bitsIndex(bits);
  if (i < 0) QOR_RAISE("Unknown value of bitsPerPixel parameter = %d.", bits);
  return i;
}

const char* stCodingName(int code) { return stCodings[stCodingIndex(code)].name; }

const char* bitsCodingName(int bits) { return bitsCodings[bitsCodingIndex(bits)].name; }

// ---------------------------------------------------------------- converters

TImgConvertA2B::TImgConvertA2B(double max, double min)
    : destMax(max), destMin(min), sourceMax(0.0), sourceMin(0.0), rowBytes(0) {}

TImgConvertA2B::~TImgConvertA2B() = default;

int TImgConvertA2B::setScale(int, double) { return 0; }

int TImgConvertA2B::enableScaling(int) { return 0; }

int TImgConvertA2B::scalingEnabled() const { return 0; }

void TImgConvertA2B::setSourceRange(double, double) {}

double TImgConvertA2B::scale() const { return 1.0; }

int TImgConvertA2B::setRowBytes(int n) {
  const int old = rowBytes;
  rowBytes = n;
  return old;
}

double TImgConvertA2B::powerOfTwoScale(double max, double min, double destMax, double destMin) {
  const double eps = 2.220446049250313e-16;  // 2^-52
  const double big = 1.7976931348623157e298;
  const double small = 2.2250738585072014e-298;
  const double tol = eps * (std::fabs(max) + std::fabs(min)) + 2.2250738585072014e-307;

  // Positive side: halve until max fits, then double while it fills less than half.
  double a = 1.0;
  double c = max;
  while (c > destMax && a < big) {
    c /= 2.0;
    a *= 2.0;
  }
  if (c < destMax / 2.0 && std::fabs(c) > tol) {
    while (c < destMax / 2.0 && a > small) {
      c *= 2.0;
      a /= 2.0;
    }
  }
  // Without a negative destination range there is nothing to fit below zero:
  // negative values clip to destMin whatever the scale.
  if (std::fabs(min) < tol || min > 0.0 || !(destMin < 0.0)) return a;

  // Negative side, the same way.
  double b = 1.0;
  double m = min;
  while (m < destMin && b < big) {
    m /= 2.0;
    b *= 2.0;
  }
  while (m > destMin / 2.0 && b > small) {
    m *= 2.0;
    b /= 2.0;
  }
  return a > b ? a : b;
}

bool qorConvertRow::reciprocalIsExact(double s) {
  if (!std::isfinite(s) || s == 0.0) return false;
  int exponent = 0;
  const double mantissa = std::frexp(s, &exponent);
  if (mantissa != 0.5 && mantissa != -0.5) return false;
  const double r = 1.0 / s;
  return std::isfinite(r) && r != 0.0 && r * s == 1.0;
}

template <class A, class B>
void qorConvertRow::convertRow(B* d, const A* s, int count, bool scaled, double scaleFactor, bool round,
                               double lo, double hi) {
  if (!(lo <= hi)) {
    runCrossedBounds(d, s, count, scaled, scaleFactor, round, lo, hi);
  } else if (!scaled) {
    if (round)
      run<A, B, scaleNone, true>(d, s, count, 1.0, lo, hi);
    else
      run<A, B, scaleNone, false>(d, s, count, 1.0, lo, hi);
  } else if (reciprocalIsExact(scaleFactor)) {
    const double r = 1.0 / scaleFactor;
    if (round)
      run<A, B, scaleMultiply, true>(d, s, count, r, lo, hi);
    else
      run<A, B, scaleMultiply, false>(d, s, count, r, lo, hi);
  } else {
    if (round)
      run<A, B, scaleDivide, true>(d, s, count, scaleFactor, lo, hi);
    else
      run<A, B, scaleDivide, false>(d, s, count, scaleFactor, lo, hi);
  }
}

// Every pair of the library's element types.
#define QOR_CONVERT_ROW(A, B) \
  template QOR_API void qorConvertRow::convertRow<A, B>(B*, const A*, int, bool, double, bool, double, double);
#define QOR_CONVERT_ROWS_FROM(A)                                                                   \
  QOR_CONVERT_ROW(A, std::uint8_t)                                                                 \
  QOR_CONVERT_ROW(A, std::int8_t)                                                                  \
  QOR_CONVERT_ROW(A, std::int16_t) QOR_CONVERT_ROW(A, std::uint16_t) QOR_CONVERT_ROW(A, std::int32_t) \
      QOR_CONVERT_ROW(A, std::uint32_t) QOR_CONVERT_ROW(A, double)
QOR_CONVERT_ROWS_FROM(std::uint8_t)
QOR_CONVERT_ROWS_FROM(std::int8_t)
QOR_CONVERT_ROWS_FROM(std::int16_t)
QOR_CONVERT_ROWS_FROM(std::uint16_t)
QOR_CONVERT_ROWS_FROM(std::int32_t)
QOR_CONVERT_ROWS_FROM(std::uint32_t)
QOR_CONVERT_ROWS_FROM(double)
#undef QOR_CONVERT_ROWS_FROM
#undef QOR_CONVERT_ROW

namespace {

// d[i] = s[i] with the top bit inverted: plus or minus 128 modulo 256.
void flipTopBits(void* dest, const void* src, int count) {
  if (count <= 0) return;
  unsigned char* d = static_cast<unsigned char*>(dest);
  const unsigned char* s = static_cast<const unsigned char*>(src);
  int i = 0;
  // Whole words at a time; each word is read before it is stored, so dest may equal src.
#if defined(__SSE2__)
  const __m128i top = _mm_set1_epi8(static_cast<char>(0x80));
  for (; i + 16 <= count; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), _mm_xor_si128(v, top));
  }
#endif
  for (; i + 8 <= count; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s + i, sizeof word);
    word ^= 0x8080808080808080u;
    std::memcpy(d + i, &word, sizeof word);
  }
  for (; i < count; ++i) d[i] = static_cast<unsigned char>(s[i] ^ 0x80u);
}

}  // namespace

TImgConvertUChar2SChar::TImgConvertUChar2SChar() : TImgConvertA2B(127.0, -128.0) {}

int TImgConvertUChar2SChar::convert(void* dest, const void* src, int count) {
  flipTopBits(dest, src, count);
  return count;
}

int TImgConvertUChar2SChar::sourceSize() const { return 1; }

int TImgConvertUChar2SChar::destSize() const { return 1; }

TImgConvertA2B* TImgConvertUChar2SChar::clone() const { return new TImgConvertUChar2SChar(); }

TImgConvertSChar2UChar::TImgConvertSChar2UChar() : TImgConvertA2B(255.0, 0.0) {}

int TImgConvertSChar2UChar::convert(void* dest, const void* src, int count) {
  flipTopBits(dest, src, count);
  return count;
}

int TImgConvertSChar2UChar::sourceSize() const { return 1; }

int TImgConvertSChar2UChar::destSize() const { return 1; }

TImgConvertA2B* TImgConvertSChar2UChar::clone() const { return new TImgConvertSChar2UChar(); }

TImgConvertOneBit2OneBit::TImgConvertOneBit2OneBit() : TImgConvertA2B(255.0, 0.0) {}

int TImgConvertOneBit2OneBit::convert(void* dest, const void* src, int count) {
  long bytes = rowBytes != 0 ? rowBytes : (static_cast<long>(count) + 7) / 8;
  if (bytes > 0 && dest != src) std::memmove(dest, src, static_cast<std::size_t>(bytes));
  return count;
}

int TImgConvertOneBit2OneBit::sourceSize() const { return 1; }

int TImgConvertOneBit2OneBit::destSize() const { return 1; }

TImgConvertA2B* TImgConvertOneBit2OneBit::clone() const { return new TImgConvertOneBit2OneBit(); }

// ---------------------------------------------------------------- converter sets

TConverters::TConverters(int srcBits, int destBits)
    : srcIsBits(srcBits), destIsBits(destBits),
      prototypes(srcBits ? bitsCodingCount : stCodingCount,
                 destBits ? bitsCodingCount : stCodingCount) {}

TConverters::TConverters(int srcBits, int destBits, const TConverterRow* table, int count)
    : TConverters(srcBits, destBits) {
  try {
    for (int i = 0; i < count; ++i) {
      if (!table[i].make) QOR_RAISE("Converter table entry %d has no converter.", i);
      set(table[i].source, table[i].destination, table[i].make());
    }
  } catch (...) {
    // the destructor does not run for a constructor that raises
    deletePrototypes();
    throw;
  }
  rows = table;
  rowCount = count;
}

TConverters::~TConverters() { deletePrototypes(); }

TImgConvertA2B* qorTableRows::byteCopy() { return new TUImgConvertA2B<unsigned char, unsigned char>(255.0, 0.0, 0, 1); }

void TConverters::deletePrototypes() {
  for (long i = 0; i < prototypes.count(); ++i) {
    delete prototypes[i];
    prototypes[i] = nullptr;
  }
}

long TConverters::rowIndex(int src) const {
  return srcIsBits ? bitsCodingIndex(src) : stCodingIndex(src);
}

long TConverters::columnIndex(int dest) const {
  return destIsBits ? bitsCodingIndex(dest) : stCodingIndex(dest);
}

const char* TConverters::rowName(int src) const {
  return srcIsBits ? bitsCodingName(src) : stCodingName(src);
}

const char* TConverters::columnName(int dest) const {
  return destIsBits ? bitsCodingName(dest) : stCodingName(dest);
}

TImgConvertA2B* TConverters::get(int src, int dest) const {
  const long r = rowIndex(src);
  const long s = columnIndex(dest);
  if (r < 0 || r >= prototypes.rows() || s < 0 || s >= prototypes.columns())
    QOR_RAISE("Index range check error r = %ld s = %ld", r, s);
  const TImgConvertA2B* prototype = prototypes(r, s);
  if (!prototype)
    QOR_RAISE("Unknown converter srcN = %s destN = %s.", rowName(src), columnName(dest));
  TImgConvertA2B* c = prototype->clone();
  if (!c) QOR_RAISE_MEMORY();
  return c;
}

bool TConverters::has(int src, int dest) const {
  const int r = srcIsBits ? bitsIndex(src) : stIndex(src);
  const int s = destIsBits ? bitsIndex(dest) : stIndex(dest);
  return r >= 0 && r < prototypes.rows() && s >= 0 && s < prototypes.columns() && prototypes(r, s) != nullptr;
}

void TConverters::set(int src, int dest, TImgConvertA2B* c) {
  // A prototype that came back null from new means memory ran out.
  if (!c) QOR_RAISE_MEMORY();
  long r = 0;
  long s = 0;
  try {
    r = rowIndex(src);
    s = columnIndex(dest);
  } catch (...) {
    delete c;
    throw;
  }
  if (r < 0 || r >= prototypes.rows() || s < 0 || s >= prototypes.columns()) {
    delete c;
    QOR_RAISE("Index range check error r = %ld s = %ld", r, s);
  }
  TImgConvertA2B*& cell = prototypes(r, s);
  if (cell) {
    delete c;
    QOR_RAISE("The converter was already set into srcN = %s destN = %s.", rowName(src),
              columnName(dest));
  }
  cell = c;
}

// ---------------------------------------------------------------- format descriptors

TFileInfo::~TFileInfo() = default;

int TFileInfo::bitsPerPixel() {
  int id = formatID();
  if (id != idKAV() && id != idKAVMEM()) return coding();
  switch (coding()) {
    case stDouble: return 64;
    case stSShort:
    case stUShort: return 16;
    case stSLong:
    case stULong: return 32;
    case stRGB: return 24;
    case stOneBit: return 1;
    default: return 8;
  }
}

// ---------------------------------------------------------------- format driver base

TFileFormatDriver::TFileFormatDriver()
    : flags(0), ensemble(nullptr), manager(nullptr), stream(nullptr), blockIndex(0), converter(nullptr),
      currentImage(nullptr) {
  // a file created and written without a palette gets grey levels, never stray memory
  fillPaletteAsGrey();
}

TFileFormatDriver::~TFileFormatDriver() { delete converter; }

void TFileFormatDriver::init(TImageEnsemble* e, TqorStream* s) {
  ensemble = e;
  stream = s;
  flags = 0;
  manager = e ? e->getQORDataManager() : nullptr;
}

int TFileFormatDriver::rowsPerChunk() {
  TImageEnsemble* n = nestedImages();
  return n ? n->rowsPerChunk() : 15;
}

int TFileFormatDriver::top2BottomReading() {
  TImageEnsemble* n = nestedImages();
  return n ? n->top2BottomReading() : 1;
}

void TFileFormatDriver::releaseImageState() {
  TImageEnsemble* n = nestedImages();
  if (n && n->getQORDataManager()) n->rejectAllImagesFromMemory();
}

void TFileFormatDriver::readNested(TqorImageBase* image) {
  TImageEnsemble* n = nestedImages();
  if (!n) QOR_RAISE("No nested image is open in \"%s\".", fileNameForMessages());
  currentImage = image;
  blockIndex = 0;
  if (flags & qorChunkMode)
    n->setf(qorChunkMode);
  else
    n->clearf(qorChunkMode);
  image->read(n, 0);
}

void TFileFormatDriver::writeNested(TqorImageBase* image) {
  TImageEnsemble* n = nestedImages();
  if (!n) QOR_RAISE("No nested image is open in \"%s\".", fileNameForMessages());
  blockIndex = 0;
  try {
    if (flags & qorChunkMode)
      n->setf(qorChunkMode);
    else
      n->clearf(qorChunkMode);
    image->write(n, 0);
  } catch (...) {
    abandonNested();
    throw;
  }
  if (!(flags & qorChunkMode)) commitNested();
}

int TFileFormatDriver::readNestedChunk() {
  TImageEnsemble* n = nestedImages();
  if (!n || !currentImage) return 1;
  const int r = n->readNextChunk();
  if (r == 0) ++blockIndex;
  if (r == 1 || blockIndex >= chunksNumber()) nestedReadDone();
  return r;
}

int TFileFormatDriver::writeNestedChunk() {
  TImageEnsemble* n = nestedImages();
  if (!n) return 1;
  int r = 1;
  try {
    r = n->writeNextChunk();
  } catch (...) {
    abandonNested();
    throw;
  }
  if (r == 0) ++blockIndex;
  if (r == 1 || blockIndex >= chunksNumber()) commitNested();
  return r;
}

int TFileFormatDriver::chunksNumber() {
  if (TImageEnsemble* n = nestedImages()) return n->chunksNumber();
  int rows = getFileInfo()->sizeY();
  int per = rowsPerChunk();
  if (rows <= 0 || per <= 0) return 0;
  return int((int64_t(rows) + per - 1) / per);
}

TqorPaletteItem* TFileFormatDriver::getPalette() { return palette; }

int TFileFormatDriver::increaseImagesNumber(int) { return getFileInfo()->numberOfImages(); }

void TFileFormatDriver::fillPaletteAsGrey() {
  TqorPaletteItem* p = getPalette();
  if (!p) return;
  for (int i = 0; i < 256; ++i) p[i].red = p[i].green = p[i].blue = static_cast<unsigned char>(i);
}

TImgConvertA2B* TFileFormatDriver::OneBit2Disk(int bits) {
  if (bits != 1) QOR_RAISE("Unknown convertion from type One Bit to %d  bits coding type.", bits);
  TImgConvertA2B* c = new TImgConvertOneBit2OneBit;
  if (!c) QOR_RAISE_MEMORY();
  return c;
}

TImgConvertA2B* TFileFormatDriver::disk2OneBit(int bits) {
  if (bits != 1) QOR_RAISE("Unknown convertion from %d  bits coding type  to type One Bit.", bits);
  TImgConvertA2B* c = new TImgConvertOneBit2OneBit;
  if (!c) QOR_RAISE_MEMORY();
  return c;
}

namespace {
// One-row images over caller memory, standing for a bitmap's depth.
struct CompatibleOneBit : TOneBitImage {
  explicit CompatibleOneBit(void* m) : TOneBitImage(nullptr, 1, 1, 0, m) {}
};
struct CompatibleUChar : TUCharImage {
  explicit CompatibleUChar(void* m) : TUCharImage(nullptr, 1, 1, 0, m) {}
};
struct CompatibleRGB : TRGBImage {
  explicit CompatibleRGB(void* m) : TRGBImage(nullptr, 1, 1, 0, m) {}
};
}  // namespace

TqorImageBase* TFileFormatDriver::getTqorImageBaseCompatibleObject(int bits, unsigned char* data) {
  TqorImageBase* image = nullptr;
  switch (bits) {
    case 1: image = new CompatibleOneBit(data); break;
    case 8: image = new CompatibleUChar(data); break;
    case 24: image = new CompatibleRGB(data); break;
    default:
      QOR_RAISE("Unknown bit coding %d in file %s.", bits,
                ensemble && ensemble->fileName() ? ensemble->fileName() : "");
  }
  if (!image) QOR_RAISE_MEMORY();
  return image;
}

TImgConvertA2B* TFileFormatDriver::getTWinDibImageConverter(TqorImageBase* image, int toDisk) {
  if (!image || image->coding() != stBitmap) QOR_RAISE("Non TWinDibImage is passed were it is required.");
  unsigned char scratch[4] = {0, 0, 0, 0};
  std::unique_ptr<TqorImageBase> compatible(
      getTqorImageBaseCompatibleObject(static_cast<TWinDibImage*>(image)->bitsPerPixel(), scratch));
  return toDisk ? getConverterMemory2Disk(compatible.get()) : getConverterDisk2Memory(compatible.get());
}

void TFileFormatDriver::forgetImage(TqorImageBase* image) {
  if (image && currentImage == image) {
    currentImage = nullptr;
    blockIndex = chunksNumber();
    releaseImageState();
  }
}

void TFileFormatDriver::replaceConverter(TImgConvertA2B* c) {
  if (!c) return;
  delete converter;
  converter = c;
}

void TFileFormatDriver::takeConverter(TImgConvertA2B* c, int rowBytes) {
  if (!c) QOR_RAISE_MEMORY();
  replaceConverter(c);
  if (rowBytes > 0) converter->setRowBytes(rowBytes);
}

// ---------------------------------------------------------------- driver helpers

namespace {
// The files whose drivers are opening or reading nested ensembles on this
// thread now, outermost first: what is shown, and what identifies the file
// (its real path where it has one; unnamed streams identify nothing).
struct NestedFile {
  std::string shown;
  std::string identity;
};
thread_local std::vector<NestedFile> nestingChain;

std::string fileIdentity(const char* file) {
  if (!file || !*file) return std::string();
  char* real = realpath(file, nullptr);
  std::string id = real ? real : file;
  std::free(real);
  return id;
}
}  // namespace

TFileFormatDriver::NestedOpen::NestedOpen(const char* kind, const char* file) {
  if (!file) file = "";
  try {
    NestedFile entry{file, fileIdentity(file)};
    bool loop = false;
    if (!entry.identity.empty())
      for (const NestedFile& f : nestingChain) loop = loop || f.identity == entry.identity;
    if (loop || nestingChain.size() >= size_t(maxNesting)) {
      std::string chain;
      for (const NestedFile& f : nestingChain) chain += (f.shown.empty() ? "(stream)" : f.shown) + " -> ";
      chain += *file ? file : "(stream)";
      if (loop)
        QOR_RAISE("%s \"%s\": its members lead back to the file itself (%s); such a loop is refused.", kind, file,
                  chain.c_str());
      QOR_RAISE("%s \"%s\": files nested more than %d deep (%s) are refused.", kind, file, maxNesting,
                chain.c_str());
    }
    nestingChain.push_back(std::move(entry));
  } catch (const std::bad_alloc&) {
    QOR_RAISE_MEMORY();
  }
}

TFileFormatDriver::NestedOpen::~NestedOpen() { nestingChain.pop_back(); }

const char* TFileFormatDriver::fileNameForMessages() const {
  return ensemble && ensemble->fileName() ? ensemble->fileName() : "";
}

int TFileFormatDriver::paletteEntriesOf(int bits) {
  switch (bits) {
    case image1BitPerPix: return 2;
    case image4BitPerPix: return 16;
    case image8BitPerPix:
    case image24BitPerPix: return 256;
    default: return 0;
  }
}

namespace {

// Red, green, blue through a palette taken when the converter is made, of
// the palette indices (grey levels) another converter makes of a file's row.
class TImgConvertIndex2RGB : public TImgConvertA2B {
public:
  TImgConvertIndex2RGB(TImgConvertA2B* indices, const TqorPaletteItem* entries)
      : TImgConvertA2B(255.0, 0.0), indices(indices) {
    std::memcpy(palette, entries, sizeof palette);
  }
  int convert(void* dest, const void* src, int count) override {
    if (count <= 0) return count;
    if (row.size() < size_t(count)) row.resize(size_t(count));
    indices->rowBytes = rowBytes;
    indices->convert(row.data(), src, count);
    unsigned char* d = static_cast<unsigned char*>(dest);
    for (int i = 0; i < count; ++i, d += 3) {
      const TqorPaletteItem& e = palette[row[size_t(i)]];
      d[0] = e.red;
      d[1] = e.green;
      d[2] = e.blue;
    }
    return count;
  }
  int sourceSize() const override { return indices->sourceSize(); }
  int destSize() const override { return 3; }
  TImgConvertA2B* clone() const override {
    std::unique_ptr<TImgConvertA2B> inner(indices->clone());
    if (!inner) return nullptr;
    TImgConvertA2B* c = new TImgConvertIndex2RGB(inner.get(), palette);
    if (c) inner.release();
    return c;
  }

private:
  std::unique_ptr<TImgConvertA2B> indices;
  std::vector<unsigned char> row;
  TqorPaletteItem palette[256];
};

}  // namespace

TImgConvertA2B* TFileFormatDriver::readConverter(const TConverterTables& t, int fileCoding, TqorImageBase* image,
                                                 const TqorPaletteItem* oneBitColours) {
  const int type = image->coding();
  if (type == stRGB && bitsHavePalette(fileCoding) && !t.disk2Memory().has(fileCoding, type)) {
    TqorPaletteItem entries[256] = {};
    const int levels = 1 << fileCoding;
    if (fileCoding == image1BitPerPix && oneBitColours) {
      entries[0] = oneBitColours[0];
      entries[1] = oneBitColours[1];
    } else if (hasPalette()) {
      std::memcpy(entries, getPalette(), sizeof entries);
    } else {
      for (int i = 0; i < 256; ++i) {
        const unsigned char v = (unsigned char)(i < levels ? i * 255 / (levels - 1) : 255);
        entries[i] = TqorPaletteItem{v, v, v};
      }
    }
    std::unique_ptr<TImgConvertA2B> indices(indexConverter(t, fileCoding));
    TImgConvertA2B* c = new TImgConvertIndex2RGB(indices.get(), entries);
    if (!c) QOR_RAISE_MEMORY();
    indices.release();
    return c;
  }
  return t.disk2Memory().get(fileCoding, type);
}

TImgConvertA2B* TFileFormatDriver::writeConverter(const TConverterTables& t, TqorImageBase* image, int fileCoding) {
  return t.memory2Disk().get(image->coding(), fileCoding);
}

bool TFileFormatDriver::readPrefix(void* bytes, int count) {
  if (!stream || count < 0 || !seekTo(0)) return false;
  return stream->read(bytes, count) == count;
}

int TFileFormatDriver::readAtStart(void* bytes, int count) {
  // a window may read past the size it reports; a caller's stream may not
  // know its size (0). Asked first: a stream may move to learn it.
  const int64_t size = stream ? stream->size() : 0;
  int got = stream && seekTo(0) ? stream->read(bytes, count) : 0;
  if (got < 0) got = 0;
  return size > 0 && size < got ? int(size) : got;
}

bool TFileFormatDriver::startImage(TqorImageBase* image, bool write, int rowBytes) {
  if (!image->ptr()) return false;
  takeConverter(write ? getConverterMemory2Disk(image) : getConverterDisk2Memory(image), rowBytes);
  return true;
}

void TFileFormatDriver::writeAtStart(const void* bytes, int count) {
  if (!seekTo(0)) stream->seek(0, SEEK_SET);
  stream->write(bytes, count);
}

void TFileFormatDriver::checkImageBytes(int64_t bytes, const char* what) const {
  const int64_t limit = manager ? manager->maxImageBytes() : 0;
  if (limit > 0 && bytes > limit)
    QOR_RAISE("%s: the image takes %lld bytes, more than the %lld bytes one image may take.", what,
              (long long)bytes, (long long)limit);
}

void TFileFormatDriver::checkGeometry(int64_t row, int64_t width, int64_t height, const char* what,
                                      int bitsPerPixel, int64_t imageBytes) const {
  if (width < 0) QOR_RAISE("%s: negative width %lld.", what, (long long)width);
  if (height < 0) QOR_RAISE("%s: negative height %lld.", what, (long long)height);
  if (width == 0 || height == 0)
    QOR_RAISE("%s: the image size %lld x %lld is empty.", what, (long long)width, (long long)height);
  if ((row <= 0 || row > INT32_MAX) && bitsPerPixel > 0)
    QOR_RAISE("%s: a row of %lld pixels at %lld bits per pixel takes %lld bytes, more than 32 bits hold.", what,
              (long long)width, (long long)bitsPerPixel, (long long)row);
  if (row <= 0 || row > INT32_MAX)
    QOR_RAISE("%s: a row of %lld pixels takes %lld bytes, more than 32 bits hold.", what, (long long)width,
              (long long)row);
  // compared by division: sizes from a file reach 2^32, and their product would overflow
  if (width > INT32_MAX / height)
    QOR_RAISE("%s: %lld x %lld pixels do not fit in one image.", what, (long long)width, (long long)height);
  if (row > INT32_MAX / height)
    QOR_RAISE("%s: %lld rows of %lld bytes do not fit in 32 bits.", what, (long long)height, (long long)row);
  checkImageBytes(imageBytes > 0 ? imageBytes : row * height, what);
}

bool TFileFormatDriver::seekTo(int64_t offset) {
  if (offset < 0 || offset > INT32_MAX) return false;
  const int at = stream->seek(long(offset), SEEK_SET);
  if (at == offset) return true;
  return at >= 0 && stream->tell() == offset;
}

int TFileFormatDriver::readPalette(int count, int entryBytes, bool blueFirst) {
  if (count <= 0 || entryBytes < 3) return 0;
  if (count > 256) count = 256;
  unsigned char entries[256 * 4];
  if (entryBytes > 4) entryBytes = 4;
  const int got = stream->read(entries, count * entryBytes);
  const int whole = got > 0 ? got / entryBytes : 0;
  for (int i = 0; i < whole; ++i) {
    const unsigned char* e = entries + i * entryBytes;
    palette[i] = blueFirst ? TqorPaletteItem{e[2], e[1], e[0]} : TqorPaletteItem{e[0], e[1], e[2]};
  }
  return whole;
}

void TFileFormatDriver::writePalette(int count, int entryBytes, bool blueFirst) {
  if (count <= 0 || entryBytes < 3) return;
  if (count > 256) count = 256;
  if (entryBytes > 4) entryBytes = 4;
  unsigned char entries[256 * 4] = {};
  for (int i = 0; i < count; ++i) {
    unsigned char* e = entries + i * entryBytes;
    e[0] = blueFirst ? palette[i].blue : palette[i].red;
    e[1] = palette[i].green;
    e[2] = blueFirst ? palette[i].red : palette[i].blue;
  }
  stream->write(entries, count * entryBytes);
}

// ---------------------------------------------------------------- chunked row transfer

void TFileFormatDriver::setRowLayout(const RowLayout& l) {
  layout = l;
  const size_t need = size_t(rowsPerBuffer()) * size_t(l.rowBytes > 0 ? l.rowBytes : 0);
  if (need > chunkBytes) {
    chunk.reset();
    chunkBytes = 0;
  }
}

int TFileFormatDriver::rowsPerBuffer() {
  const int per = rowsPerChunk() > 0 ? rowsPerChunk() : 1;
  if (layout.rowBytes <= 0) return per;
  const int64_t fit = rowBufferBudget / layout.rowBytes;
  return fit < 1 ? 1 : fit < per ? int(fit) : per;
}

unsigned char* TFileFormatDriver::chunkBuffer() {
  if (!chunk) {
    const size_t bytes = size_t(rowsPerBuffer()) * size_t(layout.rowBytes > 0 ? layout.rowBytes : 0);
    // zeroed once: pad bytes the converters never touch go out as zeros
    chunk.reset(new (std::nothrow) unsigned char[bytes + chunkSlack]());
    if (!chunk) QOR_RAISE_MEMORY();
    chunkBytes = bytes;
    chunkHoldsFileBytes = false;
  }
  return chunk.get();
}

void TFileFormatDriver::transferImage(TqorImageBase* image, bool write) {
  blockIndex = 0;
  currentImage = image;
  if (flags & qorChunkMode) return;
  for (int n = chunksNumber(); n > 0; --n) {
    if (write)
      writeNextChunk();
    else
      readNextChunk();
  }
}

TFileFormatDriver::ChunkRange TFileFormatDriver::chunkRange() {
  ChunkRange r;
  const int per = rowsPerChunk();
  r.first = per * blockIndex;
  r.count = r.first + per < layout.sizeY ? per : layout.sizeY - r.first;
  if (r.count < 0) r.count = 0;
  return r;
}

int TFileFormatDriver::moveRowChunk(bool write) {
  if (!currentImage || !converter || blockIndex >= chunksNumber()) return 1;
  moveChunkRows(write);
  ++blockIndex;
  if (write && blockIndex >= chunksNumber()) writeTrailer();
  return 0;
}

void TFileFormatDriver::moveChunkRows(bool write) {
  const ChunkRange range = chunkRange();
  const int first = range.first;
  const int count = range.count;
  const int batch = rowsPerBuffer();
  const size_t stride = size_t(layout.rowBytes);
  // image row of the stored row first + k
  auto imageRow = [&](int k) { return layout.bottomUp ? layout.sizeY - 1 - (first + k) : first + k; };
  auto rowAt = [&](int k) { return static_cast<unsigned char*>(currentImage->rowPtr(imageRow(k))); };
  if (takesImageRows() && converter->copiesBytes() && layout.sizeY > 1) {
    // rows go straight to the image when its rows hold a stored row each
    const int64_t apart = static_cast<unsigned char*>(currentImage->rowPtr(1)) -
                          static_cast<unsigned char*>(currentImage->rowPtr(0));
    if (apart >= int64_t(stride) || -apart >= int64_t(stride)) {
      for (int done = 0; done < count;) {
        int n = 1;
        unsigned char* at = rowAt(done);
        while (done + n < count && n < batch && rowAt(done + n) == at + size_t(n) * stride) ++n;
        bufferFirstRow = first + done;
        if (write)
          storeRows(at, n);
        else
          fetchRows(at, n);
        done += n;
      }
      return;
    }
  }
  unsigned char* rows = chunkBuffer();
  // stored rows whose length breaks the alignment of their elements pass through an aligned row
  const int element = write ? converter->destSize() : converter->sourceSize();
  const bool aligned = !(element == 2 || element == 4 || element == 8) || stride % size_t(element) == 0;
  const size_t used = aligned ? 0 : size_t(element) * size_t(layout.sizeX);
  if (!aligned && alignedRowBytes < used) {
    alignedRow.reset(new (std::nothrow) double[used / sizeof(double) + 1]);
    if (!alignedRow) QOR_RAISE_MEMORY();
    alignedRowBytes = used;
  }
  unsigned char* scratch = reinterpret_cast<unsigned char*>(alignedRow.get());
  for (int done = 0; done < count; done += batch) {
    const int n = count - done < batch ? count - done : batch;
    bufferFirstRow = first + done;
    if (write) {
      if (chunkHoldsFileBytes) {
        std::memset(rows, 0, chunkBytes);
        chunkHoldsFileBytes = false;
      }
      for (int k = 0; k < n; ++k) {
        unsigned char* out = rows + k * stride;
        const void* in = rowAt(done + k);
        if (aligned) {
          converter->convert(out, in, layout.sizeX);
        } else {
          converter->convert(scratch, in, layout.sizeX);
          std::memcpy(out, scratch, used < stride ? used : stride);
        }
      }
      storeRows(rows, n);
    } else {
      fetchRows(rows, n);
      chunkHoldsFileBytes = true;
      for (int k = 0; k < n; ++k) {
        const unsigned char* in = rows + k * stride;
        if (!aligned) {
          std::memcpy(scratch, in, used < stride ? used : stride);
          in = scratch;
        }
        converter->convert(rowAt(done + k), in, layout.sizeX);
      }
    }
  }
}

void TFileFormatDriver::fetchRows(unsigned char* rows, int count) {
  const int64_t want = int64_t(count) * layout.rowBytes;
  const int got = stream->read(rows, int(want));
  const int64_t have = got > 0 ? got : 0;
  if (have < want) {
    // rows the file does not hold are zeros, and the transfer reports the shortfall
    std::memset(rows + have, 0, size_t(want - have));
    stream->markFailed();
  }
}

void TFileFormatDriver::storeRows(const unsigned char* rows, int count) {
  stream->write(rows, int(int64_t(count) * layout.rowBytes));
}

// ---------------------------------------------------------------- data manager

void* TQORDataManager::operator new(std::size_t size) noexcept { return std::malloc(size); }
void TQORDataManager::operator delete(void* p) noexcept { std::free(p); }

TQORDataManager::TQORDataManager()
    : hookInstalled(0), jumpBuffer(nullptr), userData(nullptr), userHook(nullptr), lastError(0),
      allocationFailed(0), strategiesEnabled(1), drivers(1), noDriversYet(1) {
  lastErrorMessage[0] = '\0';
  try {
    imageCells.resize(50, TImageCell{0, 0, 0, nullptr});
  } catch (const std::bad_alloc&) {
    allocationFailed |= 1;
  }
  try {
    handles.resize(20);
  } catch (const std::bad_alloc&) {
    allocationFailed |= 1;
  }
  if (allocationFailed) QOR_RAISE_MEMORY();
}

TQORDataManager::~TQORDataManager() {
  rejectAllImagesFromMemory();
  if (!noDriversYet)
    for (int i = 0; i < drivers.count(); ++i) delete drivers[i];
  std::free(jumpBuffer);
}

TQORDataManager* allocateQORDataManager() {
  try {
    return new TQORDataManager;
  } catch (const x_qor&) {
    return nullptr;
  }
}

void destroyQORDataManager(TQORDataManager* m) { delete m; }

void TQORDataManager::addFormatDriver(TFileFormatDriver* d) {
  // the manager owns the driver from here on, also when it cannot keep it
  std::unique_ptr<TFileFormatDriver> owned(d);
  if (noDriversYet) {
    drivers[0] = owned.release();
    noDriversYet = 0;
  } else {
    drivers.append(owned.get());
    owned.release();
  }
}

TFileFormatDriver* TQORDataManager::getDriver(int n) {
  if (n < 0 || n >= driversNumber()) QOR_RAISE("No format driver with number %d.", n);
  if (noDriversYet) QOR_RAISE("No format drivers registered, library was linked incorrectly.");
  return drivers[n];
}

TFileFormatDriver* TQORDataManager::getDriverWithID(int id) {
  if (!noDriversYet)
    for (int n = 0; n < driversNumber(); ++n)
      if (drivers[n] && drivers[n]->getFileInfo()->formatID() == id) return drivers[n];
  QOR_RAISE("No format driver with requested ID = %d was registered.", id);
}

int TQORDataManager::getHandle(const char* name) {
  if (!name) name = "";
  for (;;) {
    if (*name)
      for (size_t h = 0; h < handles.size(); ++h)
        if (handles[h].used && handles[h].fileName == name) return int(h);
    for (size_t h = 0; h < handles.size(); ++h) {
      if (!handles[h].used) {
        handles[h].fileName = name;
        handles[h].used = 1;
        handles[h].strategy = 0;
        handles[h].openCount = 0;
        return int(h);
      }
    }
    try {
      handles.resize(handles.size() + 20);
    } catch (const std::bad_alloc&) {
      QOR_RAISE_MEMORY();
    }
  }
}

int TQORDataManager::openHandle(const char* name) {
  int h = getHandle(name);
  ++handles[size_t(h)].openCount;
  return h;
}

void TQORDataManager::freeHandle(int h) {
  if (h < 0 || h >= maxHandles()) return;
  TEnsmbleProperty& p = handles[size_t(h)];
  if (p.openCount > 0) --p.openCount;
  if (p.openCount == 0 && p.strategy == 0) {
    p.used = 0;
    p.fileName.clear();
  }
}

int TQORDataManager::findCellWithImageOrEmptyCell(int handle, int index, int* found) {
  for (;;) {
    for (size_t c = 0; c < imageCells.size(); ++c) {
      const TImageCell& cell = imageCells[c];
      if (cell.used && cell.handle == handle && cell.index == index) {
        *found = 1;
        return int(c);
      }
    }
    for (size_t c = 0; c < imageCells.size(); ++c) {
      if (!imageCells[c].used) {
        *found = 0;
        return int(c);
      }
    }
    try {
      imageCells.resize(imageCells.size() + 100, TImageCell{0, 0, 0, nullptr});
    } catch (const std::bad_alloc&) {
      QOR_RAISE("Program can not reallocate internal list of images. Current number of images = %d.",
                maxImages());
    }
  }
}

void TQORDataManager::freeCell(int c) {
  TImageCell& cell = imageCells[size_t(c)];
  TqorImageBase* image = cell.image;
  cell = TImageCell{0, 0, 0, nullptr};
  delete image;
}

void TQORDataManager::setCachingStrategy(const char* name, int strategy) {
  if (!strategiesEnabled) return;
  int h = getHandle(name);
  TEnsmbleProperty& p = handles[size_t(h)];
  if ((p.strategy & qorKeepInMemory) && strategy == 0) {
    for (size_t c = 0; c < imageCells.size(); ++c)
      if (imageCells[c].used && imageCells[c].handle == h) freeCell(int(c));
    // a handle still in use by open ensembles keeps its record
    if (p.openCount == 0) {
      p.used = 0;
      p.fileName.clear();
    }
  }
  p.strategy = strategy;
  // a name without strategy and without ensembles keeps no record
  if (strategy == 0 && p.openCount == 0) {
    p.used = 0;
    p.fileName.clear();
  }
}

int TQORDataManager::cachingStrategy(const char* name) {
  if (!name || !*name) return 0;
  for (const TEnsmbleProperty& p : handles)
    if (p.used && p.fileName == name) return p.strategy;
  return 0;
}

void TQORDataManager::rejectAllImagesFromMemory() {
  for (size_t c = 0; c < imageCells.size(); ++c)
    if (imageCells[c].used) freeCell(int(c));
}

TKavEnsCaching::TKavEnsCaching(const char* name, int s) : fileName(name ? name : ""), strategy(s) {
  getDefaultQorDataManager()->setCachingStrategy(fileName.c_str(), strategy);
}

TKavEnsCaching::~TKavEnsCaching() {
  if (strategy == 0) return;
  try {
    TQORDataManager* m = getDefaultQorDataManager();
    if (m) m->setCachingStrategy(fileName.c_str(), 0);
  } catch (const x_qor&) {
  }
}

// Constant-initialised, so ready before any unit's initialiser asks; threads
// that ask at once get different numbers.
namespace {
std::atomic<int> nextFormatID{0};
}  // namespace

int qorGetNextFormatID() { return nextFormatID.fetch_add(1); }
