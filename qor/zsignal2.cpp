// Copies between images of one type, the scalar product, the palette-to-grey
// and black-and-white conversions, and the transfers of images through an
// ensemble.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "zovnutil.h"
#include "zsigens1.h"
#include "zsignal1.h"

namespace {

[[noreturn]] void copyGeometryError(int dy, int sy, int dx, int sx) {
  QOR_RAISE(
      "Error copy images in memory!\ndest->sizeY()!=source->sizeY() ||  dest->sizeX()!=source->sizeX()\n"
      "dest->sizeY()= %d source->sizeY()= %d  dest->sizeX()= %d  source->sizeX() %d.",
      dy, sy, dx, sx);
}

// Pixel memory and (unless the type has none) palette of images of one type.
// Width is the class's own sizeX(): pixels for RGB and one-bit images.
template <class Image>
int copyImage(Image* dest, Image* source, bool withPalette) {
  if (dest->sizeY() != source->sizeY() || dest->sizeX() != source->sizeX())
    copyGeometryError(dest->sizeY(), source->sizeY(), dest->sizeX(), source->sizeX());
  source->rowPtr(0);
  dest->rowPtr(0);
  if (!source->valid() || !dest->valid()) QOR_RAISE_MEMORY();
  TqorImageBase* d = dest;
  TqorImageBase* s = source;
  using Element = std::remove_pointer_t<decltype(dest->elements())>;
  std::memcpy(dest->ptr(), source->ptr(), size_t(s->size()) * sizeof(Element));
  if (withPalette) {
    d->setPaletteSize(s->paletteSize());
    std::memcpy(d->getPalette(), s->getPalette(), 256 * sizeof(TqorPaletteItem));
  }
  return 0;
}

// Grey levels of a palette, shifted by offset.
void grayTable(const TqorPaletteItem* palette, int offset, int table[256]) {
  for (int i = 0; i < 256; ++i) table[i] = qorGrayLevel(palette[i]) + offset;
}

}  // namespace

int imgcpy(TUCharImage* d, TUCharImage* s) { return copyImage(d, s, true); }
int imgcpy(TSCharImage* d, TSCharImage* s) { return copyImage(d, s, true); }
int imgcpy(TSShortImage* d, TSShortImage* s) { return copyImage(d, s, true); }
int imgcpy(TDoubleImage* d, TDoubleImage* s) { return copyImage(d, s, true); }
int imgcpy(TRGBImage* d, TRGBImage* s) { return copyImage(d, s, false); }
int imgcpy(TOneBitImage* d, TOneBitImage* s) { return copyImage(d, s, true); }

int imgcpy(TWinDibImage* d, TWinDibImage* s) {
  // a different depth would make the rows of the two bitmaps differ in length
  if (d->sizeY() != s->sizeY() || d->sizeX() != s->sizeX() || d->bitsPerPixel() != s->bitsPerPixel() ||
      d->bitmapInfoSize() != s->bitmapInfoSize())
    copyGeometryError(d->sizeY(), s->sizeY(), d->sizeX(), s->sizeX());
  if (!s->valid() || !d->valid()) QOR_RAISE_MEMORY();
  if (s->bitmapBitsSize() > 0) std::memcpy(d->getPixelData(), s->getPixelData(), size_t(s->bitmapBitsSize()));
  std::memcpy(d->getBITMAPINFOHEADER(), s->getBITMAPINFOHEADER(), size_t(s->bitmapInfoSize()));
  d->setPaletteSize(s->paletteSize());
  std::memcpy(d->getPalette(), s->getPalette(), 256 * sizeof(TqorPaletteItem));
  return 0;
}

int sigcpy(TUCharImage* d, TUCharImage* s) { return imgcpy(d, s); }
int sigcpy(TSCharImage* d, TSCharImage* s) { return imgcpy(d, s); }
int sigcpy(TSShortImage* d, TSShortImage* s) { return imgcpy(d, s); }
int sigcpy(TDoubleImage* d, TDoubleImage* s) { return imgcpy(d, s); }
int sigcpy(TRGBImage* d, TRGBImage* s) { return imgcpy(d, s); }
int sigcpy(TOneBitImage* d, TOneBitImage* s) { return imgcpy(d, s); }
int sigcpy(TWinDibImage* d, TWinDibImage* s) { return imgcpy(d, s); }

double scalarProduct(TDoubleImage& first, TDoubleImage& second) {
  if (first.size() != second.size())
    QOR_RAISE("Error making scalar product!\nimg1.size() != img2.sizeY()\nimg1.size()= %ld img2.sizeY() %ld.",
              long(first.size()), long(second.size()));
  double sum = 0;
  for (long i = 0; i < first.size(); ++i) sum += first[i] * second[i];
  return sum;
}

// ---------------------------------------------------------------- palette indices to grey levels

void TUCharImage::putGrayLevelsAsValues() {
  int table[256];
  grayTable(palette, 0, table);
  if (size_ < 1) checkIndex(0L);
  for (int32_t i = 0; i < size_; ++i) data[i] = static_cast<unsigned char>(table[data[i]]);
  fillPaletteAsGray();
}

void TSCharImage::putGrayLevelsAsValues() {
  int table[256];
  grayTable(palette, -128, table);
  if (size_ < 1) checkIndex(0L);
  for (int32_t i = 0; i < size_; ++i) data[i] = static_cast<signed char>(table[data[i] + 128]);
  fillPaletteAsGray();
}

void TDoubleImage::putGrayLevelsAsValues() {
  int table[256];
  grayTable(palette, -128, table);
  if (size_ < 1) checkIndex(0L);
  for (int32_t i = 0; i < size_; ++i) {
    double v = data[i];
    // values outside -128..127 take the nearest end of the table; NaN the first entry
    int index = 0;
    if (v >= 128.0) index = 255;
    else if (v > -129.0) index = int(std::trunc(v)) + 128;
    if (index < 0) index = 0;
    data[i] = table[index];
  }
  fillPaletteAsGray();
}

void TSShortImage::putGrayLevelsAsValues() {
  if (!ensemble || !ensemble->is_open() || !ensemble->hasPalette()) return;
  const TqorPaletteItem* p = ensemble->getPalette();
  if (!p) return;
  int table[256];
  grayTable(p, 0, table);
  if (size_ < 1) checkIndex(0L);
  // values outside 0..255 take the nearest end of the table
  for (int32_t i = 0; i < size_; ++i) {
    int v = data[i];
    data[i] = static_cast<short>(table[v < 0 ? 0 : v > 255 ? 255 : v]);
  }
  fillPaletteAsGray();
}

// ---------------------------------------------------------------- black and white

void TUCharImage::convertGrayToBlackWhite() {
  if (size_ < 1) checkIndex(0L);
  for (int32_t i = 0; i < size_; ++i) data[i] = data[i] > 128 ? 1 : 0;
  palette[0] = {0, 0, 0};
  palette[1] = {255, 255, 255};
}

void TSCharImage::convertGrayToBlackWhite() {
  if (size_ < 1) checkIndex(0L);
  for (int32_t i = 0; i < size_; ++i) data[i] = data[i] > 0 ? -127 : -128;
  palette[0] = {0, 0, 0};
  palette[1] = {255, 255, 255};
}

// ---------------------------------------------------------------- transfers through an ensemble

namespace {

void checkTransfer(bool reading, TImageEnsemble* e, int sizeY, int width) {
  if (sizeY == e->sizeY() && width == e->sizeX()) return;
  if (reading)
    QOR_RAISE("Error reading from disk! Image and ensemble have different sizes\nimg->sizeY()= %d ens->sizeY()= "
              "%d  img->sizeX()= %d  ens->sizeX() %d.",
              sizeY, e->sizeY(), width, e->sizeX());
  QOR_RAISE("Error writing to disk! Image and ensemble have different sizes\nimg->sizeY()= %d ens->sizeY()= %d  "
            "img->sizeX()= %d  ens->sizeX() %d.",
            sizeY, e->sizeY(), width, e->sizeX());
}

void takePalette(TqorImageBase* image, TImageEnsemble* e) {
  image->setPaletteSize(e->paletteSize());
  std::memcpy(image->getPalette(), e->getPalette(), 256 * sizeof(TqorPaletteItem));
}

void givePalette(TqorImageBase* image, TImageEnsemble* e) {
  std::memcpy(e->getPalette(), image->getPalette(), 256 * sizeof(TqorPaletteItem));
}

}  // namespace

#define QOR_IMAGE_TRANSFER(Cls, Xxx, Elem, withPalette)                     \
  void Cls::read(TImageEnsemble* e, int image) {                             \
    checkTransfer(true, e, sizeY(), sizeX());                                  \
    e->read##Xxx##Image(image, static_cast<Elem*>(ptr()));                     \
    if (withPalette) takePalette(this, e);                                     \
  }                                                                            \
  void Cls::write(TImageEnsemble* e, int image) {                            \
    checkTransfer(false, e, sizeY(), sizeX());                                 \
    if (e == ensemble) {                                                       \
      e->putImage(image);                                                      \
      return;                                                                  \
    }                                                                          \
    if (withPalette) givePalette(this, e);                                     \
    e->write##Xxx##Image(image, static_cast<Elem*>(ptr()));                    \
  }
QOR_IMAGE_TRANSFER(TDoubleImage, Double, double, true)
QOR_IMAGE_TRANSFER(TSCharImage, SChar, signed char, true)
QOR_IMAGE_TRANSFER(TSShortImage, SShort, short, true)
QOR_IMAGE_TRANSFER(TUCharImage, UChar, unsigned char, true)
QOR_IMAGE_TRANSFER(TRGBImage, RGB, unsigned char, false)
QOR_IMAGE_TRANSFER(TOneBitImage, OneBit, unsigned char, true)
#undef QOR_IMAGE_TRANSFER

void TWinDibImage::read(TImageEnsemble* e, int image) {
  checkTransfer(true, e, sizeY(), sizeX());
  e->readWinDibImage(image, info, bits);
  takePalette(this, e);
}

void TWinDibImage::write(TImageEnsemble* e, int image) {
  checkTransfer(false, e, sizeY(), sizeX());
  if (e == ensemble) {
    e->putImage(image);
    return;
  }
  givePalette(this, e);
  e->writeWinDibImage(image, info, bits);
}
