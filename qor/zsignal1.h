// In-memory images: the seven pixel types, palettes and the DIB header.
#ifndef ZSIGNAL1_H
#define ZSIGNAL1_H

#include <cstdint>

#include "zovnutil.h"

class TImageEnsemble;
class TqorStream;

// ---------------------------------------------------------------- palette records

struct QOR_API TqorPaletteItem {
  unsigned char red;
  unsigned char green;
  unsigned char blue;
  static int diskSizeOf() { return 3; }
};

struct QOR_API TqorRGBQUAD {
  unsigned char blue;
  unsigned char green;
  unsigned char red;
  unsigned char reserved;
};

// The 40-byte BITMAPINFOHEADER; stored little-endian field by field.
struct QOR_API TqorBITMAPINFOHEADER {
  uint32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  uint16_t biPlanes;
  uint16_t biBitCount;
  uint32_t biCompression;
  uint32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  uint32_t biClrUsed;
  uint32_t biClrImportant;

  void fill();
  static int diskSizeOf() { return 40; }
  void toBytes(unsigned char out[40]) const;
  void fromBytes(const unsigned char in[40]);
  // Stream transfers; they return the stream's result (40 when complete).
  int write(TqorStream& s) const;
  int read(TqorStream& s);
};

// Grey level of a palette entry: (77 R + 151 G + 28 B) >> 8.
inline int qorGrayLevel(const TqorPaletteItem& p) {
  return (77 * p.red + 151 * p.green + 28 * p.blue) >> 8;
}

// ---------------------------------------------------------------- base

class QOR_API TqorImageBase : public TqorObject {
public:
  ~TqorImageBase() override;
  TqorImageBase(const TqorImageBase&) = delete;
  TqorImageBase& operator=(const TqorImageBase&) = delete;

  int sizeX() const { return sizeX_; }
  int sizeY() const { return sizeY_; }
  int size() const { return size_; }
  int paletteSize() const { return paletteSize_; }
  // Stores n as the palette size and returns the previous one.
  int setPaletteSize(int n);
  // Palette size 256, entry i = (i, i, i).
  void fillPaletteAsGray();
  TqorPaletteItem* getPalette() { return palette; }
  TImageEnsemble* getEnsemble() const { return ensemble; }
  int getImageNumber() const { return imageNumber; }

  virtual int coding() const { return -1; }
  virtual double maxType() const { return 0; }
  virtual double minType() const { return 0; }
  virtual void* ptr() = 0;
  virtual void* rowPtr(int row) = 0;
  virtual void getMaxAndMin(double* max, double* min) = 0;
  virtual void read(TImageEnsemble*, int) {}
  virtual void write(TImageEnsemble*, int) {}
  virtual int updateAfterReading() { return 0; }
  virtual int updateBeforeWriting() { return 0; }
  virtual int valid() = 0;

protected:
  TqorImageBase(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber);
  void checkIndex(int r, int s) const;
  void checkIndex(long j) const;
  friend class TImageEnsemble;
  friend class TFileFormatDriver;

  int32_t paletteSize_;
  TqorPaletteItem palette[256];
  TImageEnsemble* ensemble;
  int32_t imageNumber;
  int32_t sizeX_;
  int32_t sizeY_;
  int32_t size_;
  int32_t geometryOk_;  // 0 when the geometry is negative or does not fit 32 bits
};

template <class T>
class TqorUImage : public TqorImageBase {
public:
  ~TqorUImage() override {
    if (!externalMemory) ovnfarfree(data);
  }
  void* ptr() override { return data; }
  T* elements() { return data; }
  void* rowPtr(int r) override {
    if (r < 0 || r >= sizeY_ || sizeX_ <= 0) checkIndex(r, 0);
    if (!data) QOR_RAISE_MEMORY();
    return data + int64_t(r) * sizeX_;
  }
  // Largest and smallest element as doubles; an empty image raises the index error.
  void getMaxAndMin(double* max, double* min) override {
    if (size_ < 1) checkIndex(0L);
    if (!data) QOR_RAISE_MEMORY();
    int32_t i = 0;
    // NaN has no place in a range: it is skipped (an image of nothing else reports 0, 0)
    while (i < size_ && data[i] != data[i]) ++i;
    if (i == size_) {
      *max = *min = 0;
      return;
    }
    T hi = data[i], lo = data[i];
    for (++i; i < size_; ++i) {
      T v = data[i];
      if (v > hi) hi = v;
      if (v < lo) lo = v;
    }
    *max = double(hi);
    *min = double(lo);
  }
  double maxType() const override { return double(maxValue); }
  double minType() const override { return double(minValue); }
  int valid() override { return status == 0; }

protected:
  TqorUImage(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber, T max, T min, void* memory)
      : TqorImageBase(e, sizeY, sizeX, imageNumber), maxValue(max), minValue(min),
        externalMemory(memory != nullptr), data(static_cast<T*>(memory)), status(0) {
    if (!geometryOk_) {
      status |= 1;
    } else if (!memory) {
      data = static_cast<T*>(ovnfarmalloc(long(size_) * long(sizeof(T))));
      if (!data) status |= 1;
    }
  }

  T maxValue;
  T minValue;
  int32_t externalMemory;
  T* data;
  int32_t status;
};

// ---------------------------------------------------------------- scalar images

class QOR_API TDoubleImage : public TqorUImage<double> {
public:
  int coding() const override;
  void putGrayLevelsAsValues();
  double& operator[](long j) {
    checkIndex(j);
    return data[j];
  }

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  TDoubleImage(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber, void* memory);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;
};

class QOR_API TSCharImage : public TqorUImage<signed char> {
public:
  int coding() const override;
  void putGrayLevelsAsValues();
  void convertGrayToBlackWhite();

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  TSCharImage(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber, void* memory);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;
};

class QOR_API TSShortImage : public TqorUImage<short> {
public:
  int coding() const override;
  // Pixel values index the ensemble's palette; they become its grey levels.
  void putGrayLevelsAsValues();

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  TSShortImage(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber, void* memory);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;
};

class QOR_API TUCharImage : public TqorUImage<unsigned char> {
public:
  int coding() const override;
  void putGrayLevelsAsValues();
  void convertGrayToBlackWhite();

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  TUCharImage(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber, void* memory);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;
};

// ---------------------------------------------------------------- RGB and one-bit images

// Rows of 3 x width bytes, red, green, blue per pixel, no padding.
class QOR_API TRGBImage : public TqorUImage<unsigned char> {
public:
  int coding() const override;
  int sizeX() const { return width; }
  int size() const { return pixelCount; }
  unsigned char& r(int row, int column) { return at(row, column, 0); }
  unsigned char& g(int row, int column) { return at(row, column, 1); }
  unsigned char& b(int row, int column) { return at(row, column, 2); }
  unsigned char& r(long index) { return at(index, 0); }
  unsigned char& g(long index) { return at(index, 1); }
  unsigned char& b(long index) { return at(index, 2); }

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  TRGBImage(TImageEnsemble* e, int sizeY, int width, int imageNumber, void* memory);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;

private:
  unsigned char& at(int row, int column, int channel);
  unsigned char& at(long index, int channel);
  int32_t width;
  int32_t pixelCount;
};

// One bit per pixel, the leftmost pixel in the most significant bit; rows
// padded to a multiple of 4 bytes.
class QOR_API TOneBitImage : public TqorUImage<unsigned char> {
public:
  int coding() const override;
  int sizeX() const { return width; }
  int size() const { return pixelCount; }
  int wholeRowSize() const { return rowBytes; }
  long wholeSize() const { return long(rowBytes) * sizeY_; }
  int getBit(int row, int column);
  // Sets the pixel when value & 1; never clears a bit.
  void putBit(int row, int column, int value);
  // Bytes of a packed row of width pixels, rounded up to a multiple of 4.
  static int getSizeOfRow(int width);

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  TOneBitImage(TImageEnsemble* e, int sizeY, int width, int imageNumber, void* memory);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;

private:
  void checkBit(int row, int column) const;
  int32_t width;
  int32_t pixelCount;
  int32_t rowBytes;
};

// ---------------------------------------------------------------- device-independent bitmap

class QOR_API TWinDibImage : public TqorImageBase {
public:
  ~TWinDibImage() override;
  int coding() const override;
  // 4 -> 8; 15, 16 and 32 -> 24; other depths unchanged.
  static int conformBitsPerPixel2SupportedValue(int bpp);
  // Bytes of the header and colour table for a file depth.
  static int bitmapInfoSize(int bpp);
  // Writes header and colour table for the geometry, depth and palette into destination.
  static int writeBitmapInfo(int sizeX, int sizeY, int bpp, const TqorPaletteItem* palette,
                             void* destination);
  long bitmapBitsSize() const { return rowStride() * int64_t(sizeY_); }
  int bitmapInfoSize() const { return infoSize; }
  int headerAndPaletteSize() const { return infoSize; }
  int bitsPerPixel() const { return bitsPerPixel_; }
  long rowStride() const { return ((int64_t(bitsPerPixel_) * sizeX_ + 31) / 32) * 4; }
  void* ptr() override { return bits; }
  void* getPixelData() { return bits; }
  void* getBITMAPINFOHEADER() { return info; }
  void* rowPtr(int r) override;
  void getMaxAndMin(double*, double*) override {}
  int valid() override { return status == 0; }
  int updateAfterReading() override;
  int updateBeforeWriting() override;

  void read(TImageEnsemble* e, int image) override;
  void write(TImageEnsemble* e, int image) override;
protected:
  // The depth is given: for images made without an ensemble.
  TWinDibImage(TImageEnsemble* e, int sizeY, int sizeX, int imageNumber, void* header, void* pixels,
               int fileBitsPerPixel);
  friend class TImageEnsemble;
  friend class TFileFormatDriver;

private:
  void setUp(void* header, void* pixels, int fileBitsPerPixel);
  int32_t externalInfo;
  unsigned char* info;
  int32_t externalBits;
  unsigned char* bits;
  int32_t status;
  int32_t infoSize;
  int32_t bitsPerPixel_;
  int32_t fileBitsPerPixel_;
};

// ---------------------------------------------------------------- copies and products

QOR_API int imgcpy(TUCharImage* dest, TUCharImage* source);
QOR_API int imgcpy(TSCharImage* dest, TSCharImage* source);
QOR_API int imgcpy(TSShortImage* dest, TSShortImage* source);
QOR_API int imgcpy(TDoubleImage* dest, TDoubleImage* source);
QOR_API int imgcpy(TRGBImage* dest, TRGBImage* source);
QOR_API int imgcpy(TOneBitImage* dest, TOneBitImage* source);
QOR_API int imgcpy(TWinDibImage* dest, TWinDibImage* source);
QOR_API int sigcpy(TUCharImage* dest, TUCharImage* source);
QOR_API int sigcpy(TSCharImage* dest, TSCharImage* source);
QOR_API int sigcpy(TSShortImage* dest, TSShortImage* source);
QOR_API int sigcpy(TDoubleImage* dest, TDoubleImage* source);
QOR_API int sigcpy(TRGBImage* dest, TRGBImage* source);
QOR_API int sigcpy(TOneBitImage* dest, TOneBitImage* source);
QOR_API int sigcpy(TWinDibImage* dest, TWinDibImage* source);
QOR_API double scalarProduct(TDoubleImage& first, TDoubleImage& second);

#endif
