// In-memory ensembles: images that live only in the manager's cells.
#ifndef ZMEMDRV_H
#define ZMEMDRV_H

#include "zkavdrv.h"

// ---------------------------------------------------------------- descriptor

// The layout of the native descriptor, always of coding stDouble and without a name.
class QOR_API TKavMemEnsInfo : public TKavFileInfo {
public:
  TKavMemEnsInfo() = default;
  TKavMemEnsInfo(int sizeX, int sizeY, int n);
  // The dimensions and image count of any descriptor.
  explicit TKavMemEnsInfo(TFileInfo* other);
  int formatID() override;
};

QOR_API TFileInfo* fiKavMemEnsInfo(int sizeX, int sizeY, int n);

// ---------------------------------------------------------------- driver

class TKavMemEnsFormatDriver : public TKavFormatDriver {
public:
  TKavMemEnsFormatDriver();
  TFileFormatDriver* createInstance() override;
  int recognizeFormat() override { return 0; }
  int readHeader() override;
  int createFile(TFileInfo* info) override;
  TFileInfo* getFileInfo() override { return &memInfo; }
  int readImage(TqorImageBase*, int) override { return 0; }
  int writeImage(TqorImageBase*, int) override { return 0; }
  int readNextChunk() override { return 1; }
  int writeNextChunk() override { return 1; }
  int queryState() override { return memState; }
  int increaseImagesNumber(int n) override;
  TImgConvertA2B* getConverterDisk2Memory(TqorImageBase* image) override;
  TImgConvertA2B* getConverterMemory2Disk(TqorImageBase* image) override;

private:
  int memState;
  TKavMemEnsInfo memInfo;
};

#endif
