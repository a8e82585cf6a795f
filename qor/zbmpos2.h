// OS/2 1.x bitmap files: the Windows file header followed by the 12-byte core
// header, three-byte colour table entries, uncompressed bottom-up rows.
#ifndef ZBMPOS2_H
#define ZBMPOS2_H

#include "zbmpdrv.h"

// ---------------------------------------------------------------- on-disk layout

// Offsets from the start of the file; the file header is the Windows one.
namespace bmpOS2Layout {
inline constexpr int coreSize = 14;  // uint32, 12
inline constexpr int width = 18;     // int16
inline constexpr int height = 20;    // int16, rows always bottom-up
inline constexpr int planes = 22;    // uint16
inline constexpr int bitCount = 24;  // uint16
inline constexpr int coreHeaderSize = 12;
inline constexpr int headersEnd = 26;
inline constexpr int palette = 26;  // entries of blue, green, red
inline constexpr int paletteEntryBytes = 3;
// Largest width and height the signed 16-bit fields hold.
inline constexpr int maxSide = 32767;
}  // namespace bmpOS2Layout

// The 12-byte core header.
struct TBmpOS2CoreHead {
  TBmpOS2CoreHead() : bcSize(bmpOS2Layout::coreHeaderSize), bcWidth(0), bcHeight(0), bcPlanes(1), bcBitCount(0) {}
  static int diskSizeOf() { return bmpOS2Layout::coreHeaderSize; }
  void toBytes(unsigned char out[bmpOS2Layout::coreHeaderSize]) const;
  void fromBytes(const unsigned char in[bmpOS2Layout::coreHeaderSize]);

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
