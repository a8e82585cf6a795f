#include "ztiffdrv.h"

#include <tiffio.h>

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstring>
#include <new>
#include <typeinfo>

// ---------------------------------------------------------------- on-disk layout

namespace {

using uchar = unsigned char;

// The first bytes of a TIFF file name its byte order.
constexpr int byteOrderBytes = 2;
constexpr char littleEndian[] = "II";
constexpr char bigEndian[] = "MM";
// Bytes read to tell the format.
constexpr int probeBytes = 10;

// Colour-map entries are 16-bit; the driver palette holds 256 of 8 bits.
constexpr int paletteEntries = 256;
constexpr unsigned colourMapScale = 257;  // 8-bit value x 257 = 16-bit value

// Beneath this libtiff may always allocate, whatever the image-size limit.
constexpr int64_t minimumAllocationLimit = int64_t(64) << 20;

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

// Bytes of a row of width pixels at bits per pixel, padded to 32 bits.
int64_t paddedRow(int64_t bits, int64_t width) { return (bits * width + 31) / 32 * 4; }

}  // namespace

// ---------------------------------------------------------------- descriptor

TTiffFileInfo::TTiffFileInfo(int coding, int sizeX, int sizeY)
    : coding_(coding), sizeX_(sizeX), sizeY_(sizeY), spare{0, 0}, direct(1) {}

TTiffFileInfo::~TTiffFileInfo() = default;

int TTiffFileInfo::formatID() { return idTIFF(); }

TFileInfo* fiTiffFileInfo(int coding, int sizeX, int sizeY) {
  return qorOwnedFileInfo<TTiffFileInfo>(coding, sizeX, sizeY);
}

// ---------------------------------------------------------------- row codec
// libtiff reads and writes the rows; what it needs of the stream is here.

// The libtiff handle with the stream it works on. libtiff seeks to the end of
// a file being written to place every strip and the directory, so the end is
// the extent written so far, whatever the stream beneath can hold.
struct TTiffCodec {
  TIFF* tif;
  TqorStream* stream;
  int64_t position;  // from the start of the file
  int64_t extent;    // writing: bytes written so far
  int writing;
};

namespace {

// Stream calls behind the procedures: nothing may leave them but a result.
tmsize_t streamTransfer(TTiffCodec* c, void* data, tmsize_t size, bool write) noexcept {
  if (!c || !c->stream || size < 0) return -1;
  tmsize_t done = 0;
  try {
    while (done < size) {
      const int part = int(std::min<tmsize_t>(size - done, tmsize_t(1) << 30));
      uchar* at = static_cast<uchar*>(data) + done;
      const int n = write ? c->stream->write(at, part) : c->stream->read(at, part);
      if (n <= 0) break;
      done += n;
      if (n < part) break;
    }
  } catch (...) {
  }
  c->position += done;
  if (write && c->position > c->extent) c->extent = c->position;
  return done;
}

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
  return streamTransfer(static_cast<TTiffCodec*>(h), data, size, false);
}

static tmsize_t qorTiffWrite(thandle_t h, void* data, tmsize_t size) {
  return streamTransfer(static_cast<TTiffCodec*>(h), data, size, true);
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
  if (target < 0 || target > INT_MAX) return failed;
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

// Keeps sample 0 of every pixel of a row of samples-per-pixel samples of
// bits each, packed to the front of the row.
void dropExtraSamples(uchar* row, int width, int bits, int samples) {
  if (bits % 8 == 0) {
    const size_t bytes = size_t(bits / 8);
    for (int i = 1; i < width; ++i) std::memmove(row + size_t(i) * bytes, row + size_t(i) * samples * bytes, bytes);
    return;
  }
  for (int64_t i = 0; i < width; ++i)
    for (int b = 0; b < bits; ++b) {
      const int64_t from = i * samples * bits + b, to = i * bits + b;
      const unsigned bit = (row[from / 8] >> (7 - from % 8)) & 1u;
      const uchar mask = uchar(0x80u >> (to % 8));
      row[to / 8] = bit ? uchar(row[to / 8] | mask) : uchar(row[to / 8] & ~mask);
    }
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

using qorTableRows::make;

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
};

}  // namespace

TTiffConverters::TTiffConverters()
    : TConverterTables(qorTableRows::rgbSamplesToMemory, qorTableRows::rgbSamplesToDisk),
      invertedToMemory(1, 0, invertedToMemoryRows) {}

const TTiffConverters& TTiffConverters::tables() {
  static const TTiffConverters converters;
  return converters;
}

TImgConvertA2B* TTiffFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  const TTiffConverters& t = TTiffConverters::tables();
  return (fileInfo.direct ? t.disk2Memory() : t.inverted2Memory()).get(fileInfo.coding(), image->coding());
}

TImgConvertA2B* TTiffFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return TTiffConverters::tables().memory2Disk().get(image->coding(), fileInfo.coding());
}

// ---------------------------------------------------------------- driver

namespace {

constexpr const char* readFailed = "The error occured during reading TIFF file.";
constexpr const char* writeFailed = "The error occured during writing TIFF file.(Disk full?)";
constexpr const char* notSupported = "The content of given TIFF file is not supported.";
constexpr const char* cannotWrite = "The library is unable to write the given data into TIFF file.";

bool writableCoding(int coding) { return coding == 1 || coding == 4 || coding == 8 || coding == 24; }

}  // namespace

TTiffFormatDriver::TTiffFormatDriver()
    : codec(nullptr), scanlineBytes(0), samples(1), rowsPerStrip(0), stripRows(0), direct(false), written(false),
      readBefore(false) {}

TTiffFormatDriver::~TTiffFormatDriver() { closeCodec(); }

TFileFormatDriver* TTiffFormatDriver::createInstance() { return new TTiffFormatDriver; }

int TTiffFormatDriver::recognizeFormat() {
  char bytes[probeBytes] = {};
  if (!seekTo(0)) return 0;
  if (stream->read(bytes, probeBytes) < byteOrderBytes) return 0;
  return std::memcmp(bytes, littleEndian, byteOrderBytes) == 0 || std::memcmp(bytes, bigEndian, byteOrderBytes) == 0;
}

int TTiffFormatDriver::hasPalette() {
  return bitsHavePalette(fileInfo.coding());
}

int TTiffFormatDriver::paletteSize() {
  return paletteEntriesOf(fileInfo.coding());
}

void TTiffFormatDriver::openCodec(const char* mode) {
  closeCodec();
  codec = new (std::nothrow) TTiffCodec();
  if (!codec) QOR_RAISE_MEMORY();
  codec->stream = stream;
  codec->writing = mode[0] == 'w';
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  if (!options) {
    closeCodec();
    QOR_RAISE_MEMORY();
  }
  TIFFOpenOptionsSetErrorHandlerExtR(options, qorTiffQuiet, codec);
  TIFFOpenOptionsSetWarningHandlerExtR(options, qorTiffQuiet, codec);
  // a hostile directory must not make libtiff take more than an image may
  const int64_t limit = manager ? manager->maxImageBytes() : 0;
  if (limit > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(options, tmsize_t(std::max(limit, minimumAllocationLimit)));
  codec->tif = TIFFClientOpenExt(fileNameForMessages(), mode, codec, qorTiffRead, qorTiffWrite, qorTiffSeek,
                                 qorTiffClose, qorTiffSize, qorTiffMap, qorTiffUnmap, options);
  TIFFOpenOptionsFree(options);
  if (!codec->tif) {
    closeCodec();
    QOR_RAISE_OPEN(fileNameForMessages());
  }
}

void TTiffFormatDriver::closeCodec() {
  if (!codec) return;
  if (codec->tif) TIFFClose(codec->tif);
  delete codec;
  codec = nullptr;
}

void TTiffFormatDriver::allocateScanline() {
  const int64_t packed = (int64_t(fileInfo.coding()) * fileInfo.sizeX() + 7) / 8;
  int64_t bytes = std::max({scanlineBytes, paddedRow(fileInfo.coding(), fileInfo.sizeX()), 2 * packed});
  checkImageBytes(bytes, "TIFF row");
  scanline.reset(new (std::nothrow) uchar[size_t(bytes)]());
  if (!scanline) QOR_RAISE_MEMORY();
}

int TTiffFormatDriver::readHeader() {
  closeCodec();
  fillPaletteAsGrey();
  fileInfo = TTiffFileInfo();
  written = false;
  readBefore = false;
  seekTo(0);
  openCodec("r");
  TIFF* t = codec->tif;

  uint16_t photometric = 0, bits = 1, samplesPerPixel = 1, planar = PLANARCONFIG_CONTIG;
  uint32_t width = 0, height = 0;
  if (!TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric)) QOR_RAISE("%s", notSupported);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &samplesPerPixel);
  int coding = bits;
  switch (photometric) {
    case PHOTOMETRIC_RGB:
      if (samplesPerPixel != 3) QOR_RAISE("The TIFF RGB image with SAMPLESPERPIXEL != 3 is not supported.");
      if (bits != 8) QOR_RAISE("The TIFF RGB image with bitspersample != 8 are not supported.");
      coding = image24BitPerPix;
      break;
    case PHOTOMETRIC_PALETTE: {
      uint16_t *red = nullptr, *green = nullptr, *blue = nullptr;
      // a file without a colour map keeps the grey palette
      if (bits >= 1 && TIFFGetField(t, TIFFTAG_COLORMAP, &red, &green, &blue) && red && green && blue) {
        const int entries = bits >= 8 ? paletteEntries : 1 << bits;
        const bool shifted = colourMapIsShifted(red, green, blue, entries);
        for (int i = 0; i < entries; ++i)
          palette[i] = TqorPaletteItem{eightBits(red[i], shifted), eightBits(green[i], shifted),
                                       eightBits(blue[i], shifted)};
      }
      break;
    }
    case PHOTOMETRIC_MINISBLACK:
    case PHOTOMETRIC_MINISWHITE:
      if (bits == 1) {
        palette[0] = TqorPaletteItem{0, 0, 0};
        palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
      } else if (bits == 4) {
        for (int i = 0; i < 16; ++i) palette[i] = TqorPaletteItem{uchar(16 * i), uchar(16 * i), uchar(16 * i)};
      }
      fileInfo.direct = photometric == PHOTOMETRIC_MINISBLACK;
      break;
    default: QOR_RAISE("%s", notSupported);
  }
  if (!TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height))
    QOR_RAISE("%s", notSupported);
  TIFFGetFieldDefaulted(t, TIFFTAG_PLANARCONFIG, &planar);
  if (planar != PLANARCONFIG_CONTIG)
    QOR_RAISE("The noncontigious planar configuration in TIFF files is not supported.");
  if (coding < 1 || coding > 32) QOR_RAISE("%s", notSupported);
  checkGeometry(paddedRow(coding, width), width, height, "TIFF header", coding);
  fileInfo.coding_ = coding;
  fileInfo.sizeX_ = int32_t(width);
  fileInfo.sizeY_ = int32_t(height);
  samples = photometric == PHOTOMETRIC_RGB ? 1 : std::max<int>(samplesPerPixel, 1);
  scanlineBytes = TIFFScanlineSize64(t) > 0 ? int64_t(TIFFScanlineSize64(t)) : 0;
  // a row of every sample of a pixel must still hold the row of sample 0
  if (scanlineBytes < (int64_t(coding) * samples * width + 7) / 8) QOR_RAISE("%s", notSupported);
  tiles.reset();
  band.reset();
  bandRow = -1;
  if (TIFFIsTiled(t)) {
    uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &tileLength);
    const int64_t tileBytes = int64_t(TIFFTileSize64(t));
    const int64_t tileRow = int64_t(TIFFTileRowSize64(t));
    // a row of tiles is gathered into whole rows of the image
    if (tileWidth == 0 || tileLength == 0 || tileWidth > INT32_MAX || tileBytes <= 0 || tileRow <= 0 || tileRow * tileLength > tileBytes ||
        (int64_t(tileWidth) * coding * samples) % 8 != 0)
      QOR_RAISE("%s", notSupported);
    tileSize = TileSize{int(tileWidth), int(std::min<uint32_t>(tileLength, height)), tileRow, tileBytes};
    checkImageBytes(tileBytes + int64_t(tileSize.length) * scanlineBytes, "TIFF tiles");
    tiles.reset(new (std::nothrow) uchar[size_t(tileBytes)]);
    band.reset(new (std::nothrow) uchar[size_t(tileSize.length) * size_t(scanlineBytes)]());
    if (!tiles || !band) QOR_RAISE_MEMORY();
  }
  uint32_t strip = height;
  TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &strip);
  rowsPerStrip = int(std::min<uint32_t>(std::max<uint32_t>(strip, 1), height));
  allocateScanline();
  return 0;
}

bool TTiffFormatDriver::readTiledRow(int y, unsigned char* row) {
  TIFF* t = codec->tif;
  const int first = y / tileSize.length * tileSize.length;
  if (bandRow != first) {
    bandRow = -1;
    const int rows = std::min(tileSize.length, fileInfo.sizeY() - first);
    const int64_t pixelBits = int64_t(fileInfo.coding()) * samples;
    for (int64_t x = 0; x < fileInfo.sizeX(); x += tileSize.width) {
      if (TIFFReadTile(t, tiles.get(), uint32_t(x), uint32_t(first), 0, 0) < 0) return false;
      const int64_t at = x * pixelBits / 8;
      const size_t bytes = size_t(std::min(tileSize.rowBytes, scanlineBytes - at));
      for (int k = 0; k < rows; ++k)
        std::memcpy(band.get() + size_t(k) * size_t(scanlineBytes) + size_t(at),
                    tiles.get() + size_t(k) * size_t(tileSize.rowBytes), bytes);
    }
    bandRow = first;
  }
  std::memcpy(row, band.get() + size_t(y - first) * size_t(scanlineBytes), size_t(scanlineBytes));
  return true;
}

bool TTiffFormatDriver::stripsFitImage() {
  if (!converter || samples != 1 || tiles || fileInfo.sizeY() < 2) return false;
  if ((flags & qorChunkMode) && rowsPerChunk() % rowsPerStrip != 0) return false;
  const TImgConvertA2B& c = *converter;
  if (!converterCopiesBytes() && typeid(c) != typeid(TImgConvertOneBit2OneBit)) return false;
  // rows of exactly one scanline, evenly spaced; several to a strip only when they follow one another
  const uchar* first = static_cast<const uchar*>(currentImage->rowPtr(0));
  const int64_t stride = static_cast<const uchar*>(currentImage->rowPtr(1)) - first;
  const int last = fileInfo.sizeY() - 1;
  if (static_cast<const uchar*>(currentImage->rowPtr(last)) - first != stride * last) return false;
  if (stride == scanlineBytes) return true;
  return stride == -scanlineBytes && rowsPerStrip == 1;
}

int TTiffFormatDriver::readImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  if (!codec || codec->writing) QOR_RAISE("%s", readFailed);
  takeConverter(getConverterDisk2Memory(image), int(paddedRow(fileInfo.coding(), fileInfo.sizeX())));
  if (readBefore) {
    // libtiff decodes a compressed strip once: a new handle reads the rows again
    seekTo(0);
    openCodec("r");
  }
  readBefore = true;
  bandRow = -1;
  currentImage = image;
  direct = stripsFitImage();
  stripRows = 0;
  transferImage(image, false);
  return 0;
}

int TTiffFormatDriver::readNextChunk() { return moveChunk(false); }

int TTiffFormatDriver::moveChunk(bool write) {
  if (!currentImage || !converter || blockIndex >= chunksNumber()) return 1;
  if (!codec || (codec->writing != 0) != write) QOR_RAISE("%s", write ? writeFailed : readFailed);
  TIFF* t = codec->tif;
  const int per = rowsPerChunk();
  const int first = per * blockIndex;
  const int end = std::min(first + per, fileInfo.sizeY());
  const int width = fileInfo.sizeX();
  if (direct) {
    // whole strips, a strip at a time, until the chunk's rows are done
    while (stripRows < end) {
      const int rows = std::min(rowsPerStrip, fileInfo.sizeY() - stripRows);
      const tmsize_t bytes = tmsize_t(rows) * tmsize_t(scanlineBytes);
      void* at = currentImage->rowPtr(stripRows);
      const uint32_t strip = uint32_t(stripRows / rowsPerStrip);
      if (write ? TIFFWriteEncodedStrip(t, strip, at, bytes) != bytes : TIFFReadEncodedStrip(t, strip, at, bytes) != bytes)
        QOR_RAISE("%s", write ? writeFailed : readFailed);
      stripRows += rows;
    }
  } else {
    uchar* row = scanline.get();
    for (int y = first; y < end; ++y) {
      if (write) {
        converter->convert(row, currentImage->rowPtr(y), width);
        if (TIFFWriteScanline(t, row, uint32_t(y), 0) < 0) QOR_RAISE("%s", writeFailed);
      } else {
        if (tiles ? !readTiledRow(y, row) : TIFFReadScanline(t, row, uint32_t(y), 0) < 0) QOR_RAISE("%s", readFailed);
        if (samples > 1) dropExtraSamples(row, width, fileInfo.coding(), samples);
        converter->convert(currentImage->rowPtr(y), row, width);
      }
    }
  }
  ++blockIndex;
  // the directory goes out with the last row, so a failure to write it is reported
  if (write && blockIndex >= chunksNumber() && !TIFFFlush(t)) QOR_RAISE("%s", writeFailed);
  return 0;
}

int TTiffFormatDriver::createFile(TFileInfo* info) {
  TTiffFileInfo wanted;
  if (auto* tiff = dynamic_cast<TTiffFileInfo*>(info)) {
    wanted = *tiff;
  } else {
    wanted = TTiffFileInfo(info->coding(), info->sizeX(), info->sizeY());
    wanted.TFileInfo::operator=(*info);
  }
  const int coding = wanted.coding();
  if (!writableCoding(coding)) QOR_RAISE("%s", cannotWrite);
  checkGeometry(paddedRow(coding, wanted.sizeX()), wanted.sizeX(), wanted.sizeY(), "Cannot create a TIFF file", coding);
  closeCodec();
  adoptDescriptor(fileInfo, wanted);
  fileInfo.direct = 1;
  samples = 1;
  written = false;
  seekTo(0);
  openCodec("w");
  TIFF* t = codec->tif;
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
  const uint32_t strip = TIFFDefaultStripSize(t, uint32_t(-1));
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, strip);
  rowsPerStrip = int(std::min<uint32_t>(std::max<uint32_t>(strip, 1), uint32_t(fileInfo.sizeY())));
  scanlineBytes = int64_t(TIFFScanlineSize64(t));
  allocateScanline();
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
    TIFFSetField(codec->tif, TIFFTAG_COLORMAP, red, green, blue);
  }
  written = true;
  currentImage = image;
  direct = stripsFitImage();
  stripRows = 0;
  transferImage(image, true);
  return 0;
}

int TTiffFormatDriver::writeNextChunk() { return moveChunk(true); }
