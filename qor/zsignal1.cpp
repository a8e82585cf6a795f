// The image classes: geometry, pixel memory, palettes and the DIB header.
// Transfers through an ensemble live with the engine-facing code in zsignal2.cpp.
#include "zsignal1.h"

#include <cfloat>
#include <climits>
#include <cstdint>
#include <cstring>

#include "zcodings.h"
#include "zovnutil.h"
#include "zstream.h"

// ---------------------------------------------------------------- BITMAPINFOHEADER

using qorLE::get16;
using qorLE::get32;
using qorLE::put16;
using qorLE::put32;

void TqorBITMAPINFOHEADER::fill() {
  biSize = 40;
  biWidth = 0;
  biHeight = 0;
  biPlanes = 1;
  biBitCount = 0;
  biCompression = 0;
  biSizeImage = 0;
  biXPelsPerMeter = 0;
  biYPelsPerMeter = 0;
  biClrUsed = 0;
  biClrImportant = 0;
}

void TqorBITMAPINFOHEADER::toBytes(unsigned char out[40]) const {
  put32(out + 0, biSize);
  put32(out + 4, uint32_t(biWidth));
  put32(out + 8, uint32_t(biHeight));
  put16(out + 12, biPlanes);
  put16(out + 14, biBitCount);
  put32(out + 16, biCompression);
  put32(out + 20, biSizeImage);
  put32(out + 24, uint32_t(biXPelsPerMeter));
  put32(out + 28, uint32_t(biYPelsPerMeter));
  put32(out + 32, biClrUsed);
  put32(out + 36, biClrImportant);
}

void TqorBITMAPINFOHEADER::fromBytes(const unsigned char in[40]) {
  biSize = get32(in + 0);
  biWidth = int32_t(get32(in + 4));
  biHeight = int32_t(get32(in + 8));
  biPlanes = uint16_t(get16(in + 12));
  biBitCount = uint16_t(get16(in + 14));
  biCompression = get32(in + 16);
  biSizeImage = get32(in + 20);
  biXPelsPerMeter = int32_t(get32(in + 24));
  biYPelsPerMeter = int32_t(get32(in + 28));
  biClrUsed = get32(in + 32);
  biClrImportant = get32(in + 36);
}

int TqorBITMAPINFOHEADER::write(TqorStream& s) const {
  unsigned char bytes[40];
  toBytes(bytes);
  return s.write(bytes, 40);
}

int TqorBITMAPINFOHEADER::read(TqorStream& s) {
  unsigned char bytes[40] = {};
  int n = s.read(bytes, 40);
  fromBytes(bytes);
  return n;
}

// ---------------------------------------------------------------- TqorImageBase

TqorImageBase::TqorImageBase(TImageEnsemble* e, int sizeY, int sizeX, int number)
    : paletteSize_(0), ensemble(e), imageNumber(number), sizeX_(sizeX), sizeY_(sizeY), size_(0),
      geometryOk_(0) {
  int64_t count = int64_t(sizeY) * sizeX;
  if (sizeX >= 0 && sizeY >= 0 && count <= INT32_MAX) {
    size_ = int32_t(count);
    geometryOk_ = 1;
  }
}

TqorImageBase::~TqorImageBase() = default;

int TqorImageBase::setPaletteSize(int n) {
  int old = paletteSize_;
  paletteSize_ = n;
  return old;
}

void TqorImageBase::fillPaletteAsGray() {
  paletteSize_ = 256;
  for (int i = 0; i < 256; ++i)
    palette[i].red = palette[i].green = palette[i].blue = static_cast<unsigned char>(i);
}

void TqorImageBase::checkIndex(int r, int s) const {
  if (r < 0 || r >= sizeY_) QOR_RAISE("Index range check error r= %d r must be 0 <= r < %d.", r, sizeY_);
  if (s < 0 || s >= sizeX_)
    QOR_RAISE("Index range check error s = %d, s must be 0 <= s < %d.", s, sizeX_);
}

void TqorImageBase::checkIndex(long j) const {
  if (j < 0 || j >= size_)
    QOR_RAISE("Index range check error j = %ld, j must be 0 <= j < %ld.", j, long(size_));
}

// ---------------------------------------------------------------- scalar images

TDoubleImage::TDoubleImage(TImageEnsemble* e, int sizeY, int sizeX, int number, void* memory)
    : TqorUImage<double>(e, sizeY, sizeX, number, DBL_MAX, -DBL_MAX, memory) {}
int TDoubleImage::coding() const { return stDouble; }

TSCharImage::TSCharImage(TImageEnsemble* e, int sizeY, int sizeX, int number, void* memory)
    : TqorUImage<signed char>(e, sizeY, sizeX, number, 127, -128, memory) {}
int TSCharImage::coding() const { return stSChar; }

TSShortImage::TSShortImage(TImageEnsemble* e, int sizeY, int sizeX, int number, void* memory)
    : TqorUImage<short>(e, sizeY, sizeX, number, 32767, -32768, memory) {}
int TSShortImage::coding() const { return stSShort; }

TUCharImage::TUCharImage(TImageEnsemble* e, int sizeY, int sizeX, int number, void* memory)
    : TqorUImage<unsigned char>(e, sizeY, sizeX, number, 255, 0, memory) {}
int TUCharImage::coding() const { return stUChar; }

// ---------------------------------------------------------------- TRGBImage

namespace {
// 3 x width as the base row length, or -1 when it does not fit: the image is then invalid.
int rgbRowBytes(int width) {
  int64_t n = 3 * int64_t(width);
  return width < 0 || n > INT32_MAX ? -1 : int(n);
}
}  // namespace

TRGBImage::TRGBImage(TImageEnsemble* e, int sizeY, int w, int number, void* memory)
    : TqorUImage<unsigned char>(e, sizeY, rgbRowBytes(w), number, 255, 0, memory), width(w),
      pixelCount(geometryOk_ ? int32_t(int64_t(w) * sizeY) : 0) {}

int TRGBImage::coding() const { return stRGB; }

unsigned char& TRGBImage::at(int row, int column, int channel) {
  int64_t s = 3 * int64_t(column) + channel;
  if (row < 0 || row >= sizeY_)
    QOR_RAISE("Index range check error r= %d r must be 0 <= r < %d.", row, sizeY_);
  if (s < 0 || s >= sizeX_)
    QOR_RAISE("Index range check error s = %d, s must be 0 <= s < %d.", int(s), sizeX_);
  return data[int64_t(row) * sizeX_ + s];
}

unsigned char& TRGBImage::at(long index, int channel) {
  // an index beyond the byte count is out whatever 3 x index would be, so it is never multiplied
  if (index < 0 || index >= size_) {
    long j = index > (LONG_MAX - channel) / 3 ? LONG_MAX : index < LONG_MIN / 3 + 1 ? LONG_MIN : 3 * index + channel;
    QOR_RAISE("Index range check error j = %ld, j must be 0 <= j < %ld.", j, long(size_));
  }
  int64_t j = 3 * int64_t(index) + channel;
  if (j >= size_) QOR_RAISE("Index range check error j = %ld, j must be 0 <= j < %ld.", long(j), long(size_));
  return data[j];
}

// ---------------------------------------------------------------- TOneBitImage

int TOneBitImage::getSizeOfRow(int w) {
  int64_t bytes = (int64_t(w) + 7) / 8;
  int64_t padded = (bytes + 3) / 4 * 4;
  return w <= 0 ? 0 : padded > INT32_MAX ? -1 : int(padded);
}

namespace {
// Bytes of a packed row, or -1 (an invalid image) when the pixel count does not fit 32 bits.
int oneBitRowBytes(int width, int sizeY) {
  if (width < 0 || int64_t(width) * sizeY > INT32_MAX) return -1;
  return TOneBitImage::getSizeOfRow(width);
}
}  // namespace

TOneBitImage::TOneBitImage(TImageEnsemble* e, int sizeY, int w, int number, void* memory)
    : TqorUImage<unsigned char>(e, sizeY, oneBitRowBytes(w, sizeY), number, 255, 0, memory),
      width(w), pixelCount(geometryOk_ ? int32_t(int64_t(w) * sizeY) : 0), rowBytes(sizeX_) {
  // a pixel count beyond 32 bits makes the image invalid as well
  if (geometryOk_ && int64_t(w) * sizeY > INT32_MAX) {
    status |= 1;
    pixelCount = 0;
  }
  paletteSize_ = 2;
  palette[0] = {0, 0, 0};
  palette[1] = {255, 255, 255};
}

int TOneBitImage::coding() const { return stOneBit; }

void TOneBitImage::checkBit(int row, int column) const {
  if (row < 0 || row >= sizeY_)
    QOR_RAISE("Index range check error r= %d r must be 0 <= r < %d.", row, sizeY_);
  int s = column < 0 ? column : column / 8;
  if (s < 0 || s >= rowBytes)
    QOR_RAISE("Index range check error s = %d, s must be 0 <= s < %d.", s, rowBytes);
}

int TOneBitImage::getBit(int row, int column) {
  checkBit(row, column);
  return (data[int64_t(row) * rowBytes + column / 8] >> (7 - column % 8)) & 1;
}

void TOneBitImage::putBit(int row, int column, int value) {
  checkBit(row, column);
  data[int64_t(row) * rowBytes + column / 8] |= static_cast<unsigned char>((value & 1) << (7 - column % 8));
}

// ---------------------------------------------------------------- TWinDibImage

int TWinDibImage::conformBitsPerPixel2SupportedValue(int bpp) {
  switch (bpp) {
    case 4: return 8;
    case 15:
    case 16:
    case 32: return 24;
    default: return bpp;
  }
}

int TWinDibImage::bitmapInfoSize(int bpp) {
  int v = conformBitsPerPixel2SupportedValue(bpp);
  if (v == 8 && bpp == 4) return 104;
  // only palette depths carry a colour table
  if (v < 1 || v > 8) return 40;
  return 40 + 4 * (1 << v);
}

int TWinDibImage::writeBitmapInfo(int sizeX, int sizeY, int bpp, const TqorPaletteItem* palette,
                                  void* destination) {
  int v = conformBitsPerPixel2SupportedValue(bpp);
  int n = bitmapInfoSize(bpp);
  std::memset(destination, 0, static_cast<size_t>(n));
  TqorBITMAPINFOHEADER h;
  h.fill();
  h.biWidth = sizeX;
  h.biHeight = sizeY;
  h.biBitCount = static_cast<uint16_t>(v);
  if (v == 8 && bpp == 4) h.biClrUsed = 16;
  TqorMemoryStream out(destination, n);
  h.write(out);
  int entries = bpp == 8 ? 256 : bpp == 4 ? 16 : bpp == 1 ? 2 : 0;
  for (int i = 0; i < entries && palette; ++i) {
    unsigned char quad[4] = {palette[i].blue, palette[i].green, palette[i].red, 0};
    out.write(quad, 4);
  }
  return 0;
}

TWinDibImage::TWinDibImage(TImageEnsemble* e, int sizeY, int sizeX, int number, void* header,
                           void* pixels, int fileBitsPerPixel)
    : TqorImageBase(e, sizeY, sizeX, number) {
  setUp(header, pixels, fileBitsPerPixel);
}

void TWinDibImage::setUp(void* header, void* pixels, int fileBpp) {
  externalInfo = header != nullptr;
  info = static_cast<unsigned char*>(header);
  externalBits = pixels != nullptr;
  bits = static_cast<unsigned char*>(pixels);
  status = 0;
  fileBitsPerPixel_ = fileBpp;
  bitsPerPixel_ = conformBitsPerPixel2SupportedValue(fileBpp);
  infoSize = bitmapInfoSize(fileBpp);
  int64_t bitsSize = bitsPerPixel_ > 0 ? bitmapBitsSize() : -1;
  if (!geometryOk_ || bitsSize < 0 || bitsSize > INT32_MAX) {
    status |= 1;
    return;
  }
  if (!info) {
    info = static_cast<unsigned char*>(ovnfarmalloc(infoSize));
    if (!info) status |= 1;
  }
  if (!bits) {
    bits = static_cast<unsigned char*>(ovnfarmalloc(long(bitsSize)));
    if (!bits) status |= 1;
  }
}

TWinDibImage::~TWinDibImage() {
  if (!externalInfo) ovnfarfree(info);
  if (!externalBits) ovnfarfree(bits);
}

int TWinDibImage::coding() const { return stBitmap; }

void* TWinDibImage::rowPtr(int r) {
  if (sizeY_ <= 0 || !bits) return bits;
  return bits + rowStride() * (int64_t(sizeY_) - 1 - r);
}

int TWinDibImage::updateAfterReading() {
  if (!info) return 0;
  return writeBitmapInfo(sizeX_, sizeY_, fileBitsPerPixel_, palette, info);
}

int TWinDibImage::updateBeforeWriting() {
  if (!info) return 0;
  TqorBITMAPINFOHEADER h;
  h.fromBytes(info);
  int64_t colours;
  if (h.biBitCount == 24) colours = 0;
  else if (h.biClrUsed != 0) colours = h.biClrUsed;
  else colours = h.biBitCount >= 9 ? 257 : int64_t(1) << h.biBitCount;
  // never read past the header block or the 256-entry palette
  int64_t room = infoSize > 40 ? (infoSize - 40) / 4 : 0;
  int64_t n = colours < 256 ? colours : 256;
  if (n > room) n = room;
  paletteSize_ = int32_t(n);
  const unsigned char* quad = info + 40;
  for (int64_t i = 0; i < n; ++i, quad += 4) {
    palette[i].blue = quad[0];
    palette[i].green = quad[1];
    palette[i].red = quad[2];
  }
  return 0;
}
