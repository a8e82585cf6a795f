// The native multi-image format: a sequence of images, each a head record
// followed by its rows, in one element coding.
#ifndef ZKAVDRV_H
#define ZKAVDRV_H

#include "zsigens2.h"

// ---------------------------------------------------------------- on-disk layout

struct QOR_API TKavEnsembleHead {
  TKavEnsembleHead() = default;
  TKavEnsembleHead(int coding, int sizeX, int sizeY, const char* name);
  TKavEnsembleHead(const TKavEnsembleHead& other);
  TKavEnsembleHead& operator=(const TKavEnsembleHead& other);

  // Bytes per element of the coding (0 for codings without elements).
  int elementSize() const;
  // max(elementSize x sizeX, 46)
  int getRecordSize() const;
  long pointsNumber() const { return long(sizeX) * sizeY; }
  long imageSizeOnDisk() const { return long(sizeY) * recordSize; }
  long imageWithHeadSize() const { return imageSizeOnDisk() + recordSize; }
  // The coding when it is one of 6..13, else 0.
  int getCodingAsST() const { return coding >= 6 && coding <= 13 ? coding : 0; }
  bool isAllZero() const;

  QOR_DISK_RECORD(46);

  double factor;
  double scale;
  uint16_t recordSize;
  uint16_t coding;
  uint16_t sizeX;
  uint16_t sizeY;
  uint16_t imageNumber;
  uint16_t fixedOne;
  uint16_t formatMark;
  char name[14];
  uint16_t reserved;
};

// ---------------------------------------------------------------- descriptor

class QOR_API TKavFileInfo : public TFileInfo {
public:
  TKavFileInfo();
  TKavFileInfo(int coding, int sizeX, int sizeY, int n, const char* name);
  TKavFileInfo(const TKavEnsembleHead& head, int n);
  QOR_DESCRIBES(head.coding, head.sizeX, head.sizeY, numberOfImages_);

  TKavEnsembleHead head;
  int32_t numberOfImages_;
  // The geometry asked for, before the head's 16-bit fields could cut it.
  int32_t requestedSizeX;
  int32_t requestedSizeY;
};

// A descriptor of a new native file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiKavFileInfo(int coding, int sizeX, int sizeY, int n, const char* name);

// ---------------------------------------------------------------- driver

class TKavFormatDriver : public TFileFormatDriver {
public:
  TKavFormatDriver();
  ~TKavFormatDriver() override;
  QOR_FORMAT_DRIVER_STEPS;
  TFileInfo* getFileInfo() override { return &info; }
  int readNextChunk() override;
  int writeNextChunk() override;
  int hasPalette() override { return 0; }
  int queryState() override { return state; }
  int imageNumberIncreasingIsPossible() override { return 1; }
  int increaseImagesNumber(int n) override;
  TImgConvertA2B* getConverterDisk2Memory(TqorImageBase* image) override;
  TImgConvertA2B* getConverterMemory2Disk(TqorImageBase* image) override;

  virtual int readPaddedRows();
  virtual int readPlainRows();
  virtual int writePaddedRows();
  virtual int writePlainRows();

  // Reads the head record of image i into the descriptor.
  TKavEnsembleHead& readHead(int i);

  // The converter sets, [file coding][image coding].
  static const TConverters& converters2Memory();
  static const TConverters& converters2Disk();

protected:
  // Takes over geometry and count of a new file, validated; the owned-flag is not copied.
  void takeDescriptor(TFileInfo* source, const TKavEnsembleHead& head, int n);
  // Refuses a head the format cannot hold.
  static void validateHead(const TKavEnsembleHead& head, const char* what);
  // Sets the row layout of the file's records.
  void allocateRecord();
  bool extendTo(int64_t length);

  int state;
  TKavFileInfo info;
  // Geometry of the file, fixed at open or create (image heads never move the image offsets).
  TKavEnsembleHead fileHead;
};

#endif
