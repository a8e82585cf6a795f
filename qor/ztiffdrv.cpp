#include "ztiffdrv.h"

#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

// ---------------------------------------------------------------- on-disk layout

namespace {

using uchar = unsigned char;

// The first bytes of a TIFF file name its byte order.
constexpr int byteOrderBytes = 2;
constexpr char littleEndian[] = "II";
constexpr char bigEndian[] = "MM";
// Then the version: 42, or 43 for files of 64-bit offsets, whose header goes
// on with the offset size (8) and a zero.
constexpr int versionAt = 2;
constexpr int classicVersion = 42;
constexpr int bigVersion = 43;
constexpr int offsetSizeAt = 4;
constexpr int bigOffsetBytes = 8;
constexpr int headerBytes = 8;

// Colour-map entries are 16-bit; the driver palette holds 256 of 8 bits.
constexpr int paletteEntries = 256;
constexpr unsigned colourMapScale = 257;  // 8-bit value x 257 = 16-bit value

// Beneath this libtiff may always allocate, whatever the image-size limit.
constexpr int64_t minimumAllocationLimit = int64_t(64) << 20;
// Planes a page is read from at most: CMYK, or a colour and its alpha.
constexpr int maxPlanes = 4;
// A contiguous page whose strips take more than this is read a scanline at a time.
constexpr int64_t bandBudget = int64_t(16) << 20;

// 8-bit CIELAB: L* of 0..100 in 0..255, a* and b* signed bytes; the reference
// white is D65, and colours leave as sRGB.
constexpr double labWhiteX = 0.950456, labWhiteZ = 1.088754;
constexpr double labEpsilon = 216.0 / 24389.0, labKappa = 24389.0 / 27.0;

// Colour-map values are scaled to 65535; some writers store an 8-bit value
// v as v x 256 instead, so their white is 65280. A map of such values only,
// reaching the upper half, is read back by the shift that made it.
bool colourMapIsShifted(const uint16_t* red, const uint16_t* green, const uint16_t* blue, int entries) {
  unsigned low = 0, high = 0;
  for (int i = 0; i < entries; ++i) {
    low |= (red[i] | green[i] | blue[i]) & 0xFFu;
    high = std::max({high, unsigned(red[i]), unsigned(green[i]), unsigned(blue[i])});
  }
  return low == 0 && high >= 0x8000u;
}

uchar eightBits(uint16_t v, bool shifted) { return uchar(shifted ? v >> 8 : v * 255u / 65535u); }

}  // namespace

// ---------------------------------------------------------------- descriptor

TTiffFileInfo::TTiffFileInfo(int coding, int sizeX, int sizeY)
    : coding_(coding), sizeX_(sizeX), sizeY_(sizeY), spare{0, 0}, direct(1), pages(1) {}

TTiffFileInfo::~TTiffFileInfo() = default;

int TTiffFileInfo::formatID() { return idTIFF(); }

TFileInfo* fiTiffFileInfo(int coding, int sizeX, int sizeY) {
  return qorOwnedFileInfo<TTiffFileInfo>(coding, sizeX, sizeY);
}

// ---------------------------------------------------------------- row codec
// libtiff reads and writes the rows; what it needs of the stream is here,
// and the turning of its samples into stored rows.

namespace {

struct TiffCloser {
  void operator()(TIFF* t) const noexcept { TIFFClose(t); }
};

struct RgbaCloser {
  void operator()(TIFFRGBAImage* image) const noexcept {
    TIFFRGBAImageEnd(image);
    delete image;
  }
};

}  // namespace

// The libtiff handle with the stream it works on. libtiff seeks to the end of
// a file being written to place every strip and the directory, so the end is
// the extent written so far, whatever the stream beneath can hold. The
// handles go first, while the stream state their procedures use is there.
struct TTiffCodec {
  TqorStream* stream = nullptr;
  int64_t position = 0;  // from the start of the file
  int64_t extent = 0;    // writing: bytes written so far
  bool writing = false;
  std::unique_ptr<TIFF, TiffCloser> tif;
  std::unique_ptr<TIFFRGBAImage, RgbaCloser> rgba;  // the RGBA reader of the page being read
};

namespace {

// The end of the file: what was written, or the stream's size with the
// stream left where it was.
int64_t streamEnd(TTiffCodec* c) noexcept {
  if (c->writing) return c->extent;
  try {
    const int64_t size = c->stream->size();
    c->stream->seek(long(c->position), SEEK_SET);
    return size;
  } catch (...) {
    return -1;
  }
}

}  // namespace

extern "C" {

static tmsize_t qorTiffRead(thandle_t h, void* data, tmsize_t size) {
  TTiffCodec* c = static_cast<TTiffCodec*>(h);
  const int64_t n = c ? qorStreamRead(c->stream, data, int64_t(size)) : -1;
  if (n > 0) c->position += n;
  return tmsize_t(n);
}

static tmsize_t qorTiffWrite(thandle_t h, void* data, tmsize_t size) {
  TTiffCodec* c = static_cast<TTiffCodec*>(h);
  const int64_t n = c ? qorStreamWrite(c->stream, data, int64_t(size)) : -1;
  if (n > 0) {
    c->position += n;
    c->extent = std::max(c->extent, c->position);
  }
  return tmsize_t(n);
}

static toff_t qorTiffSeek(thandle_t h, toff_t offset, int whence) {
  TTiffCodec* c = static_cast<TTiffCodec*>(h);
  const toff_t failed = toff_t(-1);
  if (!c || !c->stream) return failed;
  int64_t base = 0;
  if (whence == SEEK_CUR) base = c->position;
  if (whence == SEEK_END) base = streamEnd(c);
  if (base < 0) return failed;
  // libtiff hands negative offsets over as large unsigned ones
  const int64_t target = base + int64_t(offset);
  if (target < 0 || target > INT32_MAX) return failed;
  // libtiff seeks before every strip it appends: staying put keeps the stream's buffer
  if (target == c->position) return toff_t(target);
  try {
    if (c->stream->seek(long(target), SEEK_SET) < 0) return failed;
  } catch (...) {
    return failed;
  }
  c->position = target;
  return toff_t(target);
}

static int qorTiffClose(thandle_t) { return 0; }

static toff_t qorTiffSize(thandle_t h) {
  TTiffCodec* c = static_cast<TTiffCodec*>(h);
  const int64_t end = c && c->stream ? streamEnd(c) : -1;
  return end < 0 ? 0 : toff_t(end);
}

static int qorTiffMap(thandle_t, void**, toff_t*) { return 0; }

static void qorTiffUnmap(thandle_t, void*, toff_t) {}

// Errors and warnings of one handle: libtiff's results tell the driver what
// failed, and nothing goes to the process-wide handlers or stderr.
static int qorTiffQuiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // extern "C"

namespace {

// Sample s of pixel x of a row held as planes: one of every sample, or one
// plane of step samples a pixel.
template <class T>
struct SampleRow {
  const uchar* const* plane;
  bool separate;
  int step;
  T operator()(int x, int s) const {
    return separate ? reinterpret_cast<const T*>(plane[s])[x] : reinterpret_cast<const T*>(plane[0])[x * step + s];
  }
};

// Sample 0 of every pixel of a packed row of samples of bits each (below 8).
void firstSamples(uchar* out, const uchar* row, int width, int bits, int samples) {
  std::memset(out, 0, size_t((int64_t(width) * bits + 7) / 8));
  for (int64_t i = 0; i < width; ++i)
    for (int b = 0; b < bits; ++b) {
      const int64_t from = i * samples * bits + b, to = i * bits + b;
      if ((row[from / 8] >> (7 - from % 8)) & 1u) out[to / 8] = uchar(out[to / 8] | (0x80u >> (to % 8)));
    }
}

// A floating-point sample of 0..1 in 8 bits, clamped and rounded; NaN is 0.
uchar unitByte(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 255;
  return uchar(v * 255.0f + 0.5f);
}

// a x b / 255, rounded.
unsigned mulDiv255(unsigned a, unsigned b) {
  const unsigned t = a * b + 128;
  return ((t >> 8) + t) >> 8;
}

double labInverse(double t) { return t * t * t > labEpsilon ? t * t * t : (116.0 * t - 16.0) / labKappa; }

uchar srgbByte(double linear) {
  const double v = linear <= 0.0031308 ? 12.92 * linear : 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
  return v <= 0.0 ? 0 : v >= 1.0 ? 255 : uchar(v * 255.0 + 0.5);
}

void labToRgb(uchar* rgb, unsigned l8, int a, int b) {
  const double l = l8 * 100.0 / 255.0;
  const double fy = (l + 16.0) / 116.0, fx = fy + a / 500.0, fz = fy - b / 200.0;
  const double x = labWhiteX * labInverse(fx), z = labWhiteZ * labInverse(fz);
  const double y = l > labKappa * labEpsilon ? fy * fy * fy : l / labKappa;
  rgb[0] = srgbByte(3.2404542 * x - 1.5371385 * y - 0.4985314 * z);
  rgb[1] = srgbByte(-0.9692660 * x + 1.8760108 * y + 0.0415560 * z);
  rgb[2] = srgbByte(0.0556434 * x - 0.2040259 * y + 1.0572252 * z);
}

}  // namespace

// ---------------------------------------------------------------- converter tables

namespace {

inline uchar* out(void* p) { return static_cast<uchar*>(p); }
inline const uchar* in(const void* p) { return static_cast<const uchar*>(p); }

// One-bit pixels as (1 - bit) + offset.
void invertedBits(uchar* d, const uchar* s, int count, uchar offset) {
  for (int i = 0; i < count; ++i) d[i] = uchar((((~unsigned(s[i >> 3])) >> (7 - (i & 7))) & 1u) + offset);
}

// Four-bit pixels as (15 - nibble) + offset.
void invertedNibbles(uchar* d, const uchar* s, int count, uchar offset) {
  for (int i = 0; i < count; ++i) {
    const unsigned v = i & 1 ? s[i >> 1] & 15u : unsigned(s[i >> 1]) >> 4;
    d[i] = uchar(15u - v + offset);
  }
}

// Bytes as (255 - v) + offset.
void invertedBytes(uchar* d, const uchar* s, int count, uchar offset) {
  for (int i = 0; i < count; ++i) d[i] = uchar(255u - s[i] + offset);
}

constexpr uchar minus128 = 128;  // adding 128 modulo 256 subtracts it as well

}  // namespace

int TImgConvertInvertedOneBit2OneBit::convert(void* dest, const void* src, int count) {
  if (count <= 0) return count;
  const int64_t used = (int64_t(count) + 7) / 8;
  const int64_t bytes = rowBytes != 0 ? rowBytes : used;
  for (int64_t k = 0; k < bytes && k < used; ++k) out(dest)[k] = uchar(~in(src)[k]);
  // the bits past the last pixel stay clear, as in rows stored the other way up
  if (count % 8) out(dest)[used - 1] &= uchar(0xFF00u >> (count % 8));
  if (bytes > used) std::memset(out(dest) + used, 0, size_t(bytes - used));
  return count;
}

int TImgConvertInvertedOneBit2UChar::convert(void* dest, const void* src, int count) {
  invertedBits(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertInverted4Bits2UChar::convert(void* dest, const void* src, int count) {
  invertedNibbles(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertInvertedUChar2UChar::convert(void* dest, const void* src, int count) {
  invertedBytes(out(dest), in(src), count, 0);
  return count;
}

int TImgConvertInvertedOneBit2SChar::convert(void* dest, const void* src, int count) {
  invertedBits(out(dest), in(src), count, minus128);
  return count;
}

int TImgConvertInverted4Bits2SChar::convert(void* dest, const void* src, int count) {
  invertedNibbles(out(dest), in(src), count, minus128);
  return count;
}

int TImgConvertInvertedUChar2SChar::convert(void* dest, const void* src, int count) {
  invertedBytes(out(dest), in(src), count, minus128);
  return count;
}

namespace {

// Native 16-bit grey samples by their high byte, as grey levels or grey colours.
class TImgConvertWide2UChar : public TSimpleImgConvert<TImgConvertWide2UChar, 2, 1> {
public:
  TImgConvertWide2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    for (int i = 0; i < count; ++i) out(dest)[i] = uchar(static_cast<const uint16_t*>(src)[i] >> 8);
    return count;
  }
};

class TImgConvertWide2RGB : public TSimpleImgConvert<TImgConvertWide2RGB, 2, 3> {
public:
  TImgConvertWide2RGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    for (int i = 0; i < count; ++i) std::memset(out(dest) + 3 * i, static_cast<const uint16_t*>(src)[i] >> 8, 3);
    return count;
  }
};

// 16-bit samples at their value, 0..65535.
class TImgConvertWide2Double : public TSimpleImgConvert<TImgConvertWide2Double, 2, 8> {
public:
  TImgConvertWide2Double() : TSimpleImgConvert(65535.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    for (int i = 0; i < count; ++i) static_cast<double*>(dest)[i] = static_cast<const uint16_t*>(src)[i];
    return count;
  }
};

// Native 32-bit floating-point grey samples: at their value, or 0..1 as 8 bits.
class TImgConvertReal2Double : public TSimpleImgConvert<TImgConvertReal2Double, 4, 8> {
public:
  TImgConvertReal2Double() : TSimpleImgConvert(1.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    for (int i = 0; i < count; ++i) static_cast<double*>(dest)[i] = static_cast<const float*>(src)[i];
    return count;
  }
};

class TImgConvertReal2UChar : public TSimpleImgConvert<TImgConvertReal2UChar, 4, 1> {
public:
  TImgConvertReal2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    for (int i = 0; i < count; ++i) out(dest)[i] = unitByte(static_cast<const float*>(src)[i]);
    return count;
  }
};

class TImgConvertReal2RGB : public TSimpleImgConvert<TImgConvertReal2RGB, 4, 3> {
public:
  TImgConvertReal2RGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    for (int i = 0; i < count; ++i) std::memset(out(dest) + 3 * i, unitByte(static_cast<const float*>(src)[i]), 3);
    return count;
  }
};

// Min-is-white samples of Bits as the grey colours of their inverted levels
// (levels spread over 0..255).
template <int Bits>
class TImgConvertInvertedGrey2RGB : public TSimpleImgConvert<TImgConvertInvertedGrey2RGB<Bits>, Bits / 8, 3> {
public:
  TImgConvertInvertedGrey2RGB() : TSimpleImgConvert<TImgConvertInvertedGrey2RGB<Bits>, Bits / 8, 3>(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override {
    constexpr unsigned top = (1u << Bits) - 1, perByte = 8 / Bits;
    for (int i = 0; i < count; ++i) {
      const unsigned v = (unsigned(in(src)[unsigned(i) / perByte]) >> (8 - Bits * (unsigned(i) % perByte + 1))) & top;
      std::memset(out(dest) + 3 * i, int((top - v) * 255u / top), 3);
    }
    return count;
  }
};

using qorTableRows::make;

// The shared rows of bits-per-pixel files, then the 16-bit and floating-point grey rows.
struct ToMemoryRows {
  static constexpr size_t shared = std::size(qorTableRows::rgbSamplesToMemory);
  TConverterRow rows[shared + 6];
  ToMemoryRows() {
    std::copy(qorTableRows::rgbSamplesToMemory, qorTableRows::rgbSamplesToMemory + shared, rows);
    const TConverterRow more[] = {
        {image16BitPerPix, stUChar, make<TImgConvertWide2UChar>},
        {image16BitPerPix, stRGB, make<TImgConvertWide2RGB>},
        {image16BitPerPix, stDouble, make<TImgConvertWide2Double>},
        {image32BitPerPix, stUChar, make<TImgConvertReal2UChar>},
        {image32BitPerPix, stRGB, make<TImgConvertReal2RGB>},
        {image32BitPerPix, stDouble, make<TImgConvertReal2Double>},
    };
    std::copy(std::begin(more), std::end(more), rows + shared);
  }
};

const ToMemoryRows& toMemoryRows() {
  static const ToMemoryRows rows;
  return rows;
}

// min-is-white disk coding -> memory type; colour files are never min-is-white
const TConverterRow invertedToMemoryRows[] = {
    {image1BitPerPix, stOneBit, make<TImgConvertInvertedOneBit2OneBit>},
    {image1BitPerPix, stBitmap, make<TImgConvertInvertedOneBit2OneBit>},
    {image1BitPerPix, stUChar, make<TImgConvertInvertedOneBit2UChar>},
    {image4BitPerPix, stUChar, make<TImgConvertInverted4Bits2UChar>},
    {image4BitPerPix, stBitmap, make<TImgConvertInverted4Bits2UChar>},
    {image8BitPerPix, stUChar, make<TImgConvertInvertedUChar2UChar>},
    {image8BitPerPix, stBitmap, make<TImgConvertInvertedUChar2UChar>},
    {image1BitPerPix, stSChar, make<TImgConvertInvertedOneBit2SChar>},
    {image4BitPerPix, stSChar, make<TImgConvertInverted4Bits2SChar>},
    {image8BitPerPix, stSChar, make<TImgConvertInvertedUChar2SChar>},
    {image1BitPerPix, stRGB, make<TImgConvertInvertedGrey2RGB<1>>},
    {image4BitPerPix, stRGB, make<TImgConvertInvertedGrey2RGB<4>>},
    {image8BitPerPix, stRGB, make<TImgConvertInvertedGrey2RGB<8>>},
};

// min-is-white files are never written: a row for the direction the set must have
const TConverterRow invertedToDiskRows[] = {{stUChar, image8BitPerPix, qorTableRows::byteCopy}};

}  // namespace

TTiffConverters::TTiffConverters() : TSharedConverterTables(toMemoryRows().rows, qorTableRows::rgbSamplesToDisk) {}

TTiffConverters::Inverted::Inverted() : TConverterTables(invertedToMemoryRows, invertedToDiskRows) {}

TImgConvertA2B* TTiffFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  const TTiffConverters& t = TTiffConverters::tables();
  return readConverter(fileInfo.direct ? static_cast<const TConverterTables&>(t) : t.inverted(), fileInfo.coding(),
                       image);
}

TImgConvertA2B* TTiffFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return writeConverter(TTiffConverters::tables(), image, fileInfo.coding());
}

// ---------------------------------------------------------------- driver

namespace {

constexpr const char* readFailed = "The error occured during reading TIFF file.";
constexpr const char* writeFailed = "The error occured during writing TIFF file.(Disk full?)";
constexpr const char* notSupported = "The content of given TIFF file is not supported.";
constexpr const char* cannotWrite = "The library is unable to write the given data into TIFF file.";

bool writableCoding(int coding) { return coding == 1 || coding == 4 || coding == 8 || coding == 24; }

bool lowDepth(int bits) { return bits == 1 || bits == 4 || bits == 8; }

}  // namespace

TTiffFormatDriver::TTiffFormatDriver() = default;

TTiffFormatDriver::~TTiffFormatDriver() { closeCodec(); }

int TTiffFormatDriver::recognizeFormat() {
  uchar bytes[headerBytes] = {};
  if (!readPrefix(bytes, headerBytes)) return 0;
  const bool little = std::memcmp(bytes, littleEndian, byteOrderBytes) == 0;
  if (!little && std::memcmp(bytes, bigEndian, byteOrderBytes) != 0) return 0;
  auto number = [&](int at) { return little ? bytes[at] | bytes[at + 1] << 8 : bytes[at] << 8 | bytes[at + 1]; };
  if (number(versionAt) == classicVersion) return 1;
  return number(versionAt) == bigVersion && number(offsetSizeAt) == bigOffsetBytes && number(offsetSizeAt + 2) == 0;
}

int TTiffFormatDriver::hasPalette() { return bitsHavePalette(fileInfo.coding()); }

int TTiffFormatDriver::paletteSize() { return paletteEntriesOf(fileInfo.coding()); }

void TTiffFormatDriver::openCodec(const char* mode) {
  closeCodec();
  codec.reset(new (std::nothrow) TTiffCodec());
  if (!codec) QOR_RAISE_MEMORY();
  codec->stream = stream;
  codec->writing = mode[0] == 'w';
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) {
    closeCodec();
    QOR_RAISE_MEMORY();
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, qorTiffQuiet, codec.get());
  TIFFOpenOptionsSetWarningHandlerExtR(options, qorTiffQuiet, codec.get());
  // a hostile directory must not make libtiff take more than an image may
  const int64_t limit = manager ? manager->maxImageBytes() : 0;
  if (limit > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(std::max(limit, minimumAllocationLimit)));
  codec->tif.reset(TIFFClientOpenExt(fileNameForMessages(), mode, codec.get(), qorTiffRead, qorTiffWrite, qorTiffSeek,
                                     qorTiffClose, qorTiffSize, qorTiffMap, qorTiffUnmap, options));
  TIFFOpenOptionsFree(options);
  if (!codec->tif) {
    closeCodec();
    QOR_RAISE_OPEN(fileNameForMessages());
  }
}

void TTiffFormatDriver::closeCodec() {
  if (!codec) return;
  codec->rgba.reset();
  codec->tif.reset();
  codec.reset();
  bandFirst = -1;
}

void TTiffFormatDriver::codecFailed(bool write) { QOR_RAISE("%s", write ? writeFailed : readFailed); }

void TTiffFormatDriver::refuse(int pageIndex, const char* format, ...) {
  char what[200];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  char page[32] = "";
  if (fileInfo.pages > 1) std::snprintf(page, sizeof page, "page %d: ", pageIndex + 1);
  const char* name = fileNameForMessages();
  QOR_RAISE("TIFF: %s%s%s%s%s", page, what, *name ? " (" : "", name, *name ? ")" : "");
}

void TTiffFormatDriver::releaseImageState() {
  if (codec) codec->rgba.reset();
  bandFirst = -1;
}

void TTiffFormatDriver::describePage(Page& p, int index) {
  TIFF* t = codec->tif.get();
  p = Page();
  uint16_t photometric = 0, bits = 1, samples = 1, planar = PLANARCONFIG_CONTIG, format = SAMPLEFORMAT_UINT;
  uint16_t compression = COMPRESSION_NONE, inks = INKSET_CMYK;
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) QOR_RAISE("%s", notSupported);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(t, TIFFTAG_COMPRESSION, &compression);
  TIFFGetFieldDefaulted(t, TIFFTAG_INKSET, &inks);
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height))
    QOR_RAISE("%s", notSupported);
  p.bits = bits;
  p.deflate = compression == COMPRESSION_ADOBE_DEFLATE || compression == COMPRESSION_DEFLATE;
  p.samples = std::max<int>(samples, 1);
  p.separate = planar == PLANARCONFIG_SEPARATE && p.samples > 1;
  p.minIsWhite = photometric == PHOTOMETRIC_MINISWHITE;
  p.indexed = photometric == PHOTOMETRIC_PALETTE;
  const bool grey = photometric == PHOTOMETRIC_MINISBLACK || p.minIsWhite;
  auto use = [&p](Decode d, int keep, int coding) {
    p.decode = d;
    p.keep = keep;
    p.coding = coding;
  };
  if (format == SAMPLEFORMAT_IEEEFP) {
    if (bits != 32) refuse(index, "%d-bit floating-point samples are not supported", bits);
    if (photometric == PHOTOMETRIC_MINISBLACK)
      use(Decode::real, 1, image32BitPerPix);
    else if (photometric == PHOTOMETRIC_RGB && p.samples >= 3)
      use(Decode::real, 3, image24BitPerPix);
    else
      refuse(index, "floating-point samples of photometric interpretation %d are not supported", photometric);
  } else if (format != SAMPLEFORMAT_UINT && format != SAMPLEFORMAT_VOID) {
    refuse(index,
           format == SAMPLEFORMAT_INT ? "signed integer samples are not supported"
                                      : "samples of format %d are not supported",
           format);
  } else if (grey || p.indexed) {
    if (lowDepth(bits))
      use(Decode::samples, 1, bits);
    else if (bits == 16 && grey)
      use(Decode::wide, 1, image16BitPerPix);
    else if (bits == 2)
      use(Decode::rgba, 1, image24BitPerPix);
    else
      refuse(index, p.indexed ? "%d-bit palette indices are not supported" : "%d-bit samples are not supported", bits);
  } else if (photometric == PHOTOMETRIC_RGB) {
    if (p.samples < 3) refuse(index, "RGB pixels of %d samples are not supported", p.samples);
    if (bits != 8 && bits != 16) refuse(index, "%d-bit samples are not supported", bits);
    use(bits == 8 ? Decode::samples : Decode::wide, 3, image24BitPerPix);
  } else if (photometric == PHOTOMETRIC_YCBCR && compression == COMPRESSION_JPEG && !p.separate && p.samples == 3 &&
             bits == 8) {
    // libjpeg turns the samples into RGB as it decodes them
    TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    use(Decode::samples, 3, image24BitPerPix);
  } else if (photometric == PHOTOMETRIC_SEPARATED && inks == INKSET_CMYK && p.samples >= 4 &&
             (bits == 8 || bits == 16)) {
    use(Decode::cmyk, 4, image24BitPerPix);
  } else if (photometric == PHOTOMETRIC_CIELAB && p.samples >= 3 && bits == 8) {
    use(Decode::lab, 3, image24BitPerPix);
  } else {
    use(Decode::rgba, 1, image24BitPerPix);
  }
  uint16_t extras = 0;
  uint16_t* extraKinds = nullptr;
  if (p.decode != Decode::rgba && TIFFGetField(t, TIFFTAG_EXTRASAMPLES, &extras, &extraKinds) && extras > 0 &&
      extraKinds && extraKinds[0] == EXTRASAMPLE_ASSOCALPHA && p.keep + 1 <= p.samples) {
    if (p.decode != Decode::samples || bits != 8)
      refuse(index, "colours premultiplied by alpha are not supported with %d-bit samples", bits);
    p.alpha = p.keep;
  }
  p.planes = p.separate ? std::max(p.keep, p.alpha + 1) : 1;
  if (p.decode == Decode::rgba) {
    char why[1024] = {};
    if (!TIFFRGBAImageOK(t, why)) {
      if (bits != 1 && bits != 2 && bits != 4 && bits != 8 && bits != 16)
        refuse(index, "%d-bit samples are not supported", bits);
      if (photometric == PHOTOMETRIC_SEPARATED)
        refuse(index, "separated pixels of %d samples in ink set %d are not supported", p.samples, inks);
      refuse(index, "photometric interpretation %d is not supported", photometric);
    }
    p.separate = false;
    p.planes = 1;
  }
  checkGeometry(paddedRow(p.coding, width), width, height, "TIFF header", p.coding);
  p.width = int(width);
  p.height = int(height);

  for (int i = 0; i < paletteEntries; ++i) p.palette[i] = TqorPaletteItem{uchar(i), uchar(i), uchar(i)};
  uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
  if (p.indexed && p.decode == Decode::samples) {
    // a file without a colour map keeps the grey palette
    if (TIFFGetField(t, TIFFTAG_COLORMAP, &red, &green, &blue) && red && green && blue) {
      const int entries = 1 << bits;
      const bool shifted = colourMapIsShifted(red, green, blue, entries);
      for (int i = 0; i < entries; ++i)
        p.palette[i] =
            TqorPaletteItem{eightBits(red[i], shifted), eightBits(green[i], shifted), eightBits(blue[i], shifted)};
    }
  } else if (grey && bits == 1) {
    p.palette[1] = TqorPaletteItem{255, 255, 255};
  } else if (grey && bits == 4) {
    for (int i = 0; i < 16; ++i) p.palette[i] = TqorPaletteItem{uchar(17 * i), uchar(17 * i), uchar(17 * i)};
  }

  const int64_t pixelBits = int64_t(bits) * (p.separate ? 1 : p.samples);
  if (p.decode == Decode::rgba) {
    p.planeRowBytes = int64_t(width) * 4;
  } else {
    p.planeRowBytes = int64_t(TIFFScanlineSize64(t));
    // a row of every sample of a pixel must still hold the samples read
    if (p.planeRowBytes < (pixelBits * width + 7) / 8) QOR_RAISE("%s", notSupported);
  }
  p.tiled = TIFFIsTiled(t);
  if (p.tiled) {
    uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &tileLength);
    p.tileBytes = int64_t(TIFFTileSize64(t));
    p.tileRowBytes = int64_t(TIFFTileRowSize64(t));
    // a row of tiles is gathered into whole rows of the image
    if (tileWidth == 0 || tileLength == 0 || tileWidth > INT32_MAX || p.tileBytes <= 0 || p.tileRowBytes <= 0 ||
        p.tileRowBytes * tileLength > p.tileBytes || (int64_t(tileWidth) * pixelBits) % 8 != 0)
      QOR_RAISE("%s", notSupported);
    p.tileWidth = int(tileWidth);
    p.bandRows = int(std::min(tileLength, height));
  } else {
    uint32_t strip = height;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &strip);
    p.bandRows = int(std::min(std::max<uint32_t>(strip, 1), height));
  }
}

int TTiffFormatDriver::readHeader() {
  closeCodec();
  fillPaletteAsGrey();
  fileInfo = TTiffFileInfo();
  written = false;
  readBefore = false;
  seekTo(0);
  openCodec("r");
  fileInfo.pages = int(std::min<tdir_t>(std::max<tdir_t>(TIFFNumberOfDirectories(codec->tif.get()), 1), INT32_MAX));
  describePage(page, 0);
  first = page;
  fileInfo.coding_ = page.coding;
  fileInfo.sizeX_ = page.width;
  fileInfo.sizeY_ = page.height;
  fileInfo.direct = !(page.minIsWhite && bitsHavePalette(page.coding));
  std::memcpy(palette, page.palette, sizeof palette);
  return 0;
}

void TTiffFormatDriver::selectPage(int index) {
  if (!TIFFSetDirectory(codec->tif.get(), tdir_t(index))) refuse(index, "the page cannot be read");
  describePage(page, index);
  if (index == 0) return;
  const Page& p = page;
  if (p.width != first.width || p.height != first.height)
    refuse(index, "%d x %d pixels, not %d x %d like the first page", p.width, p.height, first.width, first.height);
  if (p.coding != first.coding) refuse(index, "%d bits per pixel, not %d like the first page", p.coding, first.coding);
  auto kind = [](const Page& q) { return q.indexed ? "palette" : q.minIsWhite ? "min-is-white" : "min-is-black"; };
  if (bitsHavePalette(p.coding) && std::strcmp(kind(p), kind(first)) != 0)
    refuse(index, "%s samples, not %s like the first page", kind(p), kind(first));
  if (bitsHavePalette(p.coding) && std::memcmp(p.palette, first.palette, sizeof p.palette) != 0)
    refuse(index, "another colour map than the first page");
}

void TTiffFormatDriver::prepareReading() {
  const Page& p = page;
  bandFirst = -1;
  bandCount = 0;
  byScanline = !p.tiled && p.planes == 1 && p.decode != Decode::rgba && p.bandRows * p.planeRowBytes > bandBudget;
  const int64_t bytes = (byScanline ? 1 : p.bandRows) * p.planeRowBytes * p.planes;
  checkImageBytes(bytes + (p.tiled ? p.tileBytes : 0), "TIFF strips");
  if (bytes > bandHeld) {
    band.reset();
    bandHeld = 0;
    band.reset(new (std::nothrow) uchar[size_t(bytes)]);
    if (!band) QOR_RAISE_MEMORY();
    bandHeld = bytes;
  }
  if (p.tiled && p.tileBytes > tileHeld) {
    tile.reset();
    tileHeld = 0;
    tile.reset(new (std::nothrow) uchar[size_t(p.tileBytes)]);
    if (!tile) QOR_RAISE_MEMORY();
    tileHeld = p.tileBytes;
  }
  if (p.decode == Decode::rgba) {
    codec->rgba.reset(new (std::nothrow) TIFFRGBAImage());
    if (!codec->rgba) QOR_RAISE_MEMORY();
    char why[1024] = {};
    if (!TIFFRGBAImageBegin(codec->rgba.get(), codec->tif.get(), 0, why)) codecFailed(false);
    // rows in the order they are stored, as every other page is read
    codec->rgba->req_orientation = codec->rgba->orientation;
  }
  setRowLayout({int(paddedRow(p.coding, p.width)), p.width, p.height, false});
}

void TTiffFormatDriver::loadBand(int y) {
  if (bandFirst >= 0 && y >= bandFirst && y < bandFirst + bandCount) return;
  const Page& p = page;
  TIFF* t = codec->tif.get();
  bandFirst = -1;
  if (byScanline) {
    if (TIFFReadScanline(t, band.get(), uint32_t(y), 0) < 0) codecFailed(false);
    bandFirst = y;
    bandCount = 1;
    return;
  }
  const int top = y / p.bandRows * p.bandRows;
  const int rows = std::min(p.bandRows, p.height - top);
  if (p.decode == Decode::rgba) {
    TIFFRGBAImage* image = codec->rgba.get();
    image->row_offset = top;
    image->col_offset = 0;
    if (!TIFFRGBAImageGet(image, reinterpret_cast<uint32_t*>(band.get()), uint32_t(p.width), uint32_t(rows)))
      codecFailed(false);
  } else {
    const size_t planeBytes = size_t(p.bandRows) * size_t(p.planeRowBytes);
    const int64_t pixelBits = int64_t(p.bits) * (p.separate ? 1 : p.samples);
    for (int s = 0; s < p.planes; ++s) {
      uchar* plane = band.get() + size_t(s) * planeBytes;
      if (!p.tiled) {
        const tmsize_t bytes = tmsize_t(rows) * tmsize_t(p.planeRowBytes);
        if (p.deflate) std::memset(plane, 0, size_t(bytes));
        if (TIFFReadEncodedStrip(t, TIFFComputeStrip(t, uint32_t(top), uint16_t(s)), plane, bytes) != bytes)
          codecFailed(false);
        continue;
      }
      for (int64_t x = 0; x < p.width; x += p.tileWidth) {
        if (p.deflate) std::memset(tile.get(), 0, size_t(p.tileBytes));
        if (TIFFReadTile(t, tile.get(), uint32_t(x), uint32_t(top), 0, uint16_t(s)) < 0) codecFailed(false);
        const int64_t at = x * pixelBits / 8;
        const size_t bytes = size_t(std::min(p.tileRowBytes, p.planeRowBytes - at));
        for (int k = 0; k < rows; ++k)
          std::memcpy(plane + size_t(k) * size_t(p.planeRowBytes) + size_t(at),
                      tile.get() + size_t(k) * size_t(p.tileRowBytes), bytes);
      }
    }
  }
  bandFirst = top;
  bandCount = rows;
}

void TTiffFormatDriver::composeRow(uchar* out, int y) {
  loadBand(y);
  const Page& p = page;
  const int w = p.width;
  const size_t k = size_t(y - bandFirst);
  if (p.decode == Decode::rgba) {
    const uint32_t* px = reinterpret_cast<const uint32_t*>(band.get()) + k * size_t(w);
    for (int x = 0; x < w; ++x, out += 3) {
      out[0] = uchar(TIFFGetR(px[x]));
      out[1] = uchar(TIFFGetG(px[x]));
      out[2] = uchar(TIFFGetB(px[x]));
    }
    return;
  }
  const size_t planeBytes = size_t(byScanline ? 1 : p.bandRows) * size_t(p.planeRowBytes);
  const uchar* plane[maxPlanes] = {};
  for (int s = 0; s < p.planes; ++s) plane[s] = band.get() + size_t(s) * planeBytes + k * size_t(p.planeRowBytes);
  const int step = p.separate ? 1 : p.samples;
  const SampleRow<uint8_t> bytes{plane, p.separate, step};
  const SampleRow<uint16_t> wide{plane, p.separate, step};
  const int keep = p.keep;
  switch (p.decode) {
    case Decode::samples:
      if (p.alpha >= 0) {
        // colours premultiplied by alpha, divided again as Pillow does
        for (int x = 0; x < w; ++x) {
          const unsigned a = bytes(x, p.alpha);
          for (int s = 0; s < keep; ++s) out[x * keep + s] = uchar(a ? std::min(255u, bytes(x, s) * 255u / a) : 0);
        }
      } else if (p.bits < 8 && step > 1)
        firstSamples(out, plane[0], w, p.bits, step);
      else if (p.bits < 8 || step == keep)
        std::memcpy(out, plane[0], size_t((int64_t(w) * p.bits * keep + 7) / 8));
      else
        for (int x = 0; x < w; ++x)
          for (int s = 0; s < keep; ++s) out[x * keep + s] = bytes(x, s);
      break;
    case Decode::wide:
      if (keep == 1) {
        uint16_t* o = reinterpret_cast<uint16_t*>(out);
        const unsigned flip = p.minIsWhite ? 0xFFFFu : 0;
        for (int x = 0; x < w; ++x) o[x] = uint16_t(wide(x, 0) ^ flip);
      } else {
        for (int x = 0; x < w; ++x)
          for (int s = 0; s < 3; ++s) out[3 * x + s] = uchar(wide(x, s) >> 8);
      }
      break;
    case Decode::real: {
      const SampleRow<float> real{plane, p.separate, step};
      if (keep == 1) {
        float* o = reinterpret_cast<float*>(out);
        for (int x = 0; x < w; ++x) o[x] = real(x, 0);
      } else {
        for (int x = 0; x < w; ++x)
          for (int s = 0; s < 3; ++s) out[3 * x + s] = unitByte(real(x, s));
      }
      break;
    }
    case Decode::cmyk:
      for (int x = 0; x < w; ++x) {
        unsigned ink[4];
        for (int s = 0; s < 4; ++s) ink[s] = p.bits == 16 ? unsigned(wide(x, s) >> 8) : bytes(x, s);
        const unsigned paper = 255 - ink[3];
        for (int s = 0; s < 3; ++s) out[3 * x + s] = uchar(paper - mulDiv255(ink[s], paper));
      }
      break;
    case Decode::lab:
      for (int x = 0; x < w; ++x) labToRgb(out + 3 * x, bytes(x, 0), int8_t(bytes(x, 1)), int8_t(bytes(x, 2)));
      break;
    case Decode::rgba:
      break;
  }
}

int TTiffFormatDriver::readImage(TqorImageBase* image, int index) {
  if (!image->ptr()) return 0;
  if (!codec || codec->writing) codecFailed(false);
  takeConverter(getConverterDisk2Memory(image), int(paddedRow(fileInfo.coding(), fileInfo.sizeX())));
  if (readBefore) {
    // a new handle starts every decoder afresh
    seekTo(0);
    openCodec("r");
  }
  readBefore = true;
  selectPage(index);
  prepareReading();
  transferImage(image, false);
  return 0;
}

int TTiffFormatDriver::readNextChunk() { return moveRowChunk(false); }

void TTiffFormatDriver::fetchRows(uchar* rows, int count) {
  if (!codec || codec->writing) codecFailed(false);
  const Page& p = page;
  TIFF* t = codec->tif.get();
  const size_t stride = size_t(layout.rowBytes);
  const size_t used = size_t((int64_t(p.coding) * p.width + 7) / 8);
  // whole strips go straight into the rows when libtiff's rows are the stored rows
  const bool whole = p.decode == Decode::samples && !p.tiled && !p.separate && !byScanline && p.samples == p.keep &&
                     p.planeRowBytes == int64_t(stride);
  for (int k = 0; k < count;) {
    const int y = bufferFirstRow + k;
    uchar* out = rows + size_t(k) * stride;
    const int stripRows = std::min(p.bandRows, p.height - y);
    if (whole && y % p.bandRows == 0 && k + stripRows <= count && bandFirst != y) {
      const tmsize_t bytes = tmsize_t(stripRows) * tmsize_t(stride);
      if (p.deflate) std::memset(out, 0, size_t(bytes));
      if (TIFFReadEncodedStrip(t, TIFFComputeStrip(t, uint32_t(y), 0), out, bytes) != bytes) codecFailed(false);
      k += stripRows;
      continue;
    }
    composeRow(out, y);
    if (used < stride) std::memset(out + used, 0, stride - used);
    ++k;
  }
}

int TTiffFormatDriver::createFile(TFileInfo* info) {
  TTiffFileInfo wanted = coerceDescriptor(info, TTiffFileInfo(info->coding(), info->sizeX(), info->sizeY()));
  const int coding = wanted.coding();
  if (!writableCoding(coding)) QOR_RAISE("%s", cannotWrite);
  checkGeometry(paddedRow(coding, wanted.sizeX()), wanted.sizeX(), wanted.sizeY(), "Cannot create a TIFF file", coding);
  closeCodec();
  adoptDescriptor(fileInfo, wanted);
  fileInfo.direct = 1;
  fileInfo.pages = 1;
  written = false;
  seekTo(0);
  openCodec("w");
  TIFF* t = codec->tif.get();
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, uint32_t(fileInfo.sizeX()));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, uint32_t(fileInfo.sizeY()));
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  switch (coding) {
    case image1BitPerPix:
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
      break;
    case image4BitPerPix:
    case image8BitPerPix:
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, coding);
      break;
    default:
      TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
      TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
      TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
      break;
  }
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(t, uint32_t(-1)));
  return 0;
}

int TTiffFormatDriver::writeImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  if (!codec || !codec->writing || written)
    QOR_RAISE("No TIFF file waits for this image: a TIFF file is written once, after it is created.");
  // the converter first: a pair without one leaves the file unwritten and ready
  takeConverter(getConverterMemory2Disk(image), int(paddedRow(fileInfo.coding(), fileInfo.sizeX())));
  const int coding = fileInfo.coding();
  if (coding == image4BitPerPix || coding == image8BitPerPix) {
    uint16_t red[paletteEntries], green[paletteEntries], blue[paletteEntries];
    for (int i = 0; i < paletteEntries; ++i) {
      red[i] = uint16_t(palette[i].red * colourMapScale);
      green[i] = uint16_t(palette[i].green * colourMapScale);
      blue[i] = uint16_t(palette[i].blue * colourMapScale);
    }
    TIFFSetField(codec->tif.get(), TIFFTAG_COLORMAP, red, green, blue);
  }
  written = true;
  setRowLayout({int(paddedRow(coding, fileInfo.sizeX())), fileInfo.sizeX(), fileInfo.sizeY(), false});
  transferImage(image, true);
  return 0;
}

int TTiffFormatDriver::writeNextChunk() {
  const int done = moveRowChunk(true);
  // the directory goes out with the last row, so a failure to write it is reported
  if (done == 0 && blockIndex >= chunksNumber() && !TIFFFlush(codec->tif.get())) codecFailed(true);
  return done;
}

void TTiffFormatDriver::storeRows(const uchar* rows, int count) {
  if (!codec || !codec->writing) codecFailed(true);
  for (int k = 0; k < count; ++k) {
    // libtiff copies the row into its strip before encoding it
    void* row = const_cast<uchar*>(rows + size_t(k) * size_t(layout.rowBytes));
    if (TIFFWriteScanline(codec->tif.get(), row, uint32_t(bufferFirstRow + k), 0) < 0) codecFailed(true);
  }
}
