// PCX files: one image in a 128-byte header and scan lines stored top-down,
// plane after plane within each line, raw or run-length encoded; 8-bit images
// end with a 256-colour palette. Read: one plane of 1 or 8 bits, four planes
// of 1 bit, three planes of 8 bits, and the 8-bit indices of 1 bit x 8 planes
// and 2 bits x 4 planes. Written: codings 1, 4, 8 and 24.
#ifndef ZPCXDRV_H
#define ZPCXDRV_H

#include <memory>

#include "zbitconv.h"
#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

// The 128-byte header.
struct TPcxHead {
  uint8_t manufacturer;
  uint8_t version;
  uint8_t encoding;
  uint8_t bitsPerPixel;
  int16_t xMin;
  int16_t yMin;
  int16_t xMax;
  int16_t yMax;
  int16_t hRes;
  int16_t vRes;
  uint8_t colorMap[48];  // 16 entries of red, green, blue
  uint8_t reserved;
  uint8_t planes;
  int16_t bytesPerLine;
  int16_t paletteInfo;
  int16_t hScreenSize;
  int16_t vScreenSize;
  uint8_t filler[54];

  // Zeros, then manufacturer 10, version 5, resolutions 480, one plane and
  // palette information 1.
  void fillPCXHead();
  QOR_DISK_RECORD(128);
  // Largest width and height the signed 16-bit window holds.
  static constexpr int maxSide = 32768;
};

// ---------------------------------------------------------------- descriptor

class QOR_API TPcxFileInfo : public TFileInfo {
public:
  TPcxFileInfo();
  // A new file of the coding (1, 4, 8 or 24) and size; encoding 0 writes raw
  // lines, any other value run-length encoded ones.
  TPcxFileInfo(int coding, int sizeX, int sizeY, int encoding);
  ~TPcxFileInfo() override;
  QOR_DESCRIBES(int(head.planes) * int(head.bitsPerPixel), int(head.xMax) - int(head.xMin) + 1,
                int(head.yMax) - int(head.yMin) + 1, 1);

  TPcxHead head;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiPcxFileInfo(int coding, int sizeX, int sizeY, int encoding);

// ---------------------------------------------------------------- row codec

// Delivers the decoded lines of a PCX file. Every line starts afresh; a run
// that would pass the end of a line ends it, its bytes consumed all the same.
// The decoder reads at most the bytes it is given, so that a trailing palette
// or the data after a window is never taken for pixels.
class TDecompressPcxStream {
public:
  TDecompressPcxStream() : head(nullptr), remaining(0), dry(false) {}
  TDecompressPcxStream(const TDecompressPcxStream&) = delete;
  TDecompressPcxStream& operator=(const TDecompressPcxStream&) = delete;

  // Starts at the stream's current position; at most available bytes belong
  // to the lines. slack writable bytes follow every line handed to nextLine.
  void start(const TPcxHead* h, TqorStream* s, int64_t available, int slack);
  // The next line of length bytes; bytes the data does not provide are 0.
  void nextLine(unsigned char* line, int length);
  // The data ran out before the lines asked for were complete.
  bool ranDry() const { return dry; }

private:
  void rawLine(unsigned char* line, int length);
  void runLengthLine(unsigned char* line, int length);

  const TPcxHead* head;
  TSmartReadBytes bytes;
  int64_t remaining;  // bytes of line data not consumed yet
  int rowSlack = 0;
  bool dry;
};

// ---------------------------------------------------------------- converter tables

// Four planes of one bit to the 4-bit value (plane j gives bit j).
QOR_SIMPLE_CONVERTER(TImgConvertFourBits2UChar, 0, 1, 255.0, 0.0);

// The same value minus 128.
QOR_SIMPLE_CONVERTER(TImgConvertFourBits2SChar, 0, 1, 127.0, -128.0);

// Bit j of each byte into plane j of four one-bit planes (4 x rowBytes bytes
// are cleared first).
QOR_SIMPLE_CONVERTER(TImgConvertUChar2FourBits, 1, 0, 255.0, 0.0);

// As TImgConvertUChar2FourBits for in + 128.
QOR_SIMPLE_CONVERTER(TImgConvertSChar2FourBits, 1, 0, 255.0, 0.0);

// Planes of red, green, blue to red, green, blue pixels.
QOR_SIMPLE_CONVERTER(TImgConvertRRRGGGBBB_2_RGBRGB, 0, 3, 255.0, 0.0);

// Planes of red, green, blue to blue, green, red pixels.
QOR_SIMPLE_CONVERTER(TImgConvertRRRGGGBBB_2_BGRBGR, 0, 3, 255.0, 0.0);

// Red, green, blue pixels to planes of red, green, blue.
QOR_SIMPLE_CONVERTER(TImgConvertRGBRGB_2_RRRGGGBBB, 3, 0, 255.0, 0.0);

// Blue, green, red pixels to planes of red, green, blue.
QOR_SIMPLE_CONVERTER(TImgConvertBGRBGR_2_RRRGGGBBB, 3, 0, 255.0, 0.0);

// Grey level of planes of red, green, blue.
QOR_SIMPLE_CONVERTER(TImgConvertRRRGGGBBB2UChar, 0, 1, 255.0, 0.0);

// The same grey level minus 128.
QOR_SIMPLE_CONVERTER(TImgConvertRRRGGGBBB2SChar, 0, 1, 127.0, -128.0);

// Palette indices of 8 bits spread over several planes (1 bit x 8 planes,
// 2 bits x 4 planes): plane j gives bits j x bits ... of the index. With
// bias 128 the index minus 128 is stored (signed bytes).
class TImgConvertPlanes2Index : public TImgConvertA2B {
public:
  TImgConvertPlanes2Index(int bitsPerPlane, int planes, int bias);
  int convert(void* dest, const void* src, int count) override;
  int sourceSize() const override { return 0; }
  int destSize() const override { return 1; }
  TImgConvertA2B* clone() const override;

private:
  int bits;
  int planeCount;
  int bias;
};

// The converter tables of the PCX driver: disk to memory indexed by (bits
// per pixel, stXXX type), memory to disk by (stXXX type, bits per pixel).
class TPCXConverters : public TSharedConverterTables<TPCXConverters> {
  friend class TSharedConverterTables<TPCXConverters>;
  TPCXConverters();
};

// ---------------------------------------------------------------- driver

class TPcxFormatDriver : public TFileFormatDriver {
public:
  TPcxFormatDriver();
  ~TPcxFormatDriver() override;
  QOR_FILE_DRIVER_STEPS(fileInfo);
  QOR_ROW_CHUNK_STEPS;
  bool writeEndsFile() override { return true; }

  // Encodes a line of n bytes (all planes together) into out, which has room
  // for 2 x n bytes; returns the bytes produced.
  static int encodeLine(const unsigned char* in, int n, unsigned char* out);

protected:
  // The 256-colour palette after the lines of an 8-bit file.
  void writeTrailer() override;
  void fetchRows(unsigned char* rows, int count) override;
  void storeRows(const unsigned char* rows, int count) override;
  TImgConvertA2B* indexConverter(const TConverterTables& t, int fileCoding) override;

private:
  // Reads the 256-colour palette at the end of the stream.
  void readTrailingPalette(const char* what);
  // Sets the row layout and the converter's row length for a transfer.
  void startRows(TqorImageBase* image, bool write);
  int lineBytes() const { return int(fileInfo.head.planes) * int(fileInfo.head.bytesPerLine); }

  TPcxFileInfo fileInfo;
  std::unique_ptr<unsigned char[]> encoded;  // run-length output of one chunk
  size_t encodedBytes = 0;
  int64_t lineDataEnd = 0;  // where the line data must end: the palette or the end of the stream
  TDecompressPcxStream decoder;
};

#endif
