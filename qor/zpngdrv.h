// PNG files through libpng: one image of any colour type and bit depth, read
// as 1, 4, 8 or 24 bits per pixel (16-bit samples reduced to 8 bits, alpha
// dropped, 2-bit samples widened to bytes); written as 1-bit grey, 4- or
// 8-bit palette or 24-bit colour files, interlaced on request.
#ifndef ZPNGDRV_H
#define ZPNGDRV_H

#include <memory>
#include <vector>

#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- descriptor

class QOR_API TPngFileInfo : public TFileInfo {
public:
  TPngFileInfo() : coding_(0), sizeX_(0), sizeY_(0), interlace(0) {}
  // A new file of the coding (1, 4, 8 or 24 bits per pixel) and size,
  // interlaced (Adam7) when interlace is not 0.
  TPngFileInfo(int coding, int sizeX, int sizeY, int interlace);
  TPngFileInfo(const TPngFileInfo&) = default;
  TPngFileInfo& operator=(const TPngFileInfo&) = default;
  ~TPngFileInfo() override;
  int formatID() override;
  int sizeY() override { return sizeY_; }
  int sizeX() override { return sizeX_; }
  int numberOfImages() override { return 1; }
  int coding() override { return coding_; }

  int32_t coding_;
  int32_t sizeX_;
  int32_t sizeY_;
  // Writing: interlace the file when not 0. Reading leaves it as constructed.
  int32_t interlace;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiPngFileInfo(int coding, int sizeX, int sizeY, int interlace);

// ---------------------------------------------------------------- converter tables

// Disk to memory indexed by (bits per pixel, stXXX type), memory to disk by
// (stXXX type, bits per pixel).
class QOR_API TPngConverters : public TConverterTables {
public:
  static const TPngConverters& tables();

private:
  TPngConverters();
};

// ---------------------------------------------------------------- driver

// The libpng objects of one driver; defined in zpngdrv.cpp.
struct TPngCodec;

class QOR_API TPngFormatDriver : public TFileFormatDriver {
public:
  TPngFormatDriver();
  ~TPngFormatDriver() override;
  TFileFormatDriver* createInstance() override;
  int recognizeFormat() override;
  int readHeader() override;
  int createFile(TFileInfo* info) override;
  TFileInfo* getFileInfo() override { return &fileInfo; }
  int readImage(TqorImageBase* image, int index) override;
  int readNextChunk() override;
  int writeImage(TqorImageBase* image, int index) override;
  int writeNextChunk() override;
  int hasPalette() override { return fileInfo.coding() != 24; }
  int paletteSize() override;
  int queryState() override { return 1; }
  TImgConvertA2B* getConverterDisk2Memory(TqorImageBase* image) override;
  TImgConvertA2B* getConverterMemory2Disk(TqorImageBase* image) override;
  // Destroys the libpng objects of a read, and those of a write once it has begun.
  void releaseImageState() override;

  // Interlace passes of the current image: 7 for Adam7, 1 otherwise, 0 before
  // the first image is read or written.
  int passes() const { return passCount; }

protected:
  void fetchRows(unsigned char* rows, int count) override;
  void storeRows(const unsigned char* rows, int count) override;

private:
  // A new libpng object for reading from the start of the stream, its header
  // read; the colour type, bit depth and interlace method are returned.
  void startReading(int* colourType, int* bitDepth, int* interlaced);
  void destroyCodec();
  // Destroys the libpng objects and raises the error libpng reported.
  [[noreturn]] void codecFailed();
  // Room for count row pointers in rows.
  void reserveRows(int count);
  int directChunk(bool write);
  void finishReading();
  void finishWriting();

  TPngFileInfo fileInfo;
  TPngCodec* codec;
  int passCount;
  int storedRow;  // bytes of a row in the chunk buffer: libpng's row, padded to 32 bits
  bool direct;    // rows go straight between libpng and the image
  // The whole image of an interlaced file, every pass combined.
  std::unique_ptr<unsigned char[]> whole;
  std::vector<unsigned char*> rows;
};

#endif
