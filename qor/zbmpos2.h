// OS/2 1.x bitmap files: the Windows file header followed by the 12-byte core
// header, three-byte colour table entries, uncompressed bottom-up rows.
#ifndef ZBMPOS2_H
#define ZBMPOS2_H

#include "zbmpdrv.h"

// ---------------------------------------------------------------- on-disk layout

// The 12-byte core header.
struct TBmpOS2CoreHead {
  TBmpOS2CoreHead() : bcSize(diskSize), bcWidth(0), bcHeight(0), bcPlanes(1), bcBitCount(0) {}
  QOR_DISK_RECORD(12);

  uint32_t bcSize;
  int16_t bcWidth;
  int16_t bcHeight;
  uint16_t bcPlanes;
  uint16_t bcBitCount;
};

// ---------------------------------------------------------------- descriptor

class QOR_API TBmpOS2FileInfo : public TFileInfo {
public:
  TBmpOS2FileInfo();
  // The header fields keep 16 bits of each value; the values asked for are
  // kept too, so that a size the header cannot hold is refused, not cut.
  TBmpOS2FileInfo(int coding, int sizeX, int sizeY);
  ~TBmpOS2FileInfo() override;
  QOR_DESCRIBES(core.bcBitCount, core.bcWidth, core.bcHeight, 1);

  TBmpHead head;
  TBmpOS2CoreHead core;
  int32_t requestedCoding;
  int32_t requestedSizeX;
  int32_t requestedSizeY;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiBmpOS2FileInfo(int coding, int sizeX, int sizeY);

// ---------------------------------------------------------------- driver

// Shares the Windows driver's converter tables, palette rules and row
// transfer; works on its own descriptor, and its rows are never compressed.
class TBmpOS2FormatDriver : public TBmpFormatDriver {
public:
  TBmpOS2FormatDriver();
  ~TBmpOS2FormatDriver() override;
  QOR_FORMAT_DRIVER_STEPS;
  TFileInfo* getFileInfo() override { return &os2Info; }
  int top2BottomReading() override { return 0; }

protected:
  void writeHeaders() override;

private:
  TBmpOS2FileInfo os2Info;
};

#endif
