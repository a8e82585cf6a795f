#include "zmemdrv.h"

#include <cstdint>

#include "zcodings.h"
#include "zovnutil.h"
#include "zsigens2.h"

TKavMemEnsInfo::TKavMemEnsInfo(int sizeX, int sizeY, int n) : TKavFileInfo(stDouble, sizeX, sizeY, n, "") {}

TKavMemEnsInfo::TKavMemEnsInfo(TFileInfo* other)
    : TKavFileInfo(stDouble, other->sizeX(), other->sizeY(), other->numberOfImages(), "") {}

int TKavMemEnsInfo::formatID() { return idKAVMEM(); }

TFileInfo* fiKavMemEnsInfo(int sizeX, int sizeY, int n) {
  return qorOwnedFileInfo<TKavMemEnsInfo>(sizeX, sizeY, n);
}

TKavMemEnsFormatDriver::TKavMemEnsFormatDriver() : memState(1) {}

TFileFormatDriver* TKavMemEnsFormatDriver::createInstance() { return new TKavMemEnsFormatDriver; }

int TKavMemEnsFormatDriver::readHeader() {
  fillPaletteAsGrey();
  return 0;
}

int TKavMemEnsFormatDriver::createFile(TFileInfo* source) {
  auto* kav = dynamic_cast<TKavFileInfo*>(source);
  int x = kav ? kav->requestedSizeX : source->sizeX();
  int y = kav ? kav->requestedSizeY : source->sizeY();
  int n = source->numberOfImages();
  const char* what = "Cannot create an in-memory ensemble";
  if (x < 1 || x > 65535 || y < 1 || y > 65535)
    QOR_RAISE("%s: image size %d x %d is outside 1..65535.", what, x, y);
  if (n < 0) QOR_RAISE("%s: negative number of images %d.", what, n);
  memInfo.TFileInfo::operator=(*source);
  memInfo.clearf(TFileInfo::ownedByEnsemble);
  memInfo.head = TKavEnsembleHead(stDouble, x, y, "");
  memInfo.numberOfImages_ = n;
  memInfo.requestedSizeX = x;
  memInfo.requestedSizeY = y;
  return 0;
}

int TKavMemEnsFormatDriver::increaseImagesNumber(int n) {
  if (n > 0 && int64_t(memInfo.numberOfImages_) + n <= INT32_MAX) memInfo.numberOfImages_ += n;
  return memInfo.numberOfImages_;
}

TImgConvertA2B* TKavMemEnsFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return converters2Memory().get(memInfo.coding(), image->coding());
}

TImgConvertA2B* TKavMemEnsFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return converters2Disk().get(memInfo.coding(), image->coding());
}
