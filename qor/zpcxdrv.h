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

// Offsets from the start of the file; all fields little-endian.
namespace pcxLayout {
inline constexpr int manufacturer = 0;  // uint8, 10
inline constexpr int version = 1;       // uint8
inline constexpr int encoding = 2;      // uint8, 0: raw lines
inline constexpr int bitsPerPixel = 3;  // uint8, bits per pixel per plane
inline constexpr int xMin = 4;          // int16
inline constexpr int yMin = 6;          // int16
inline constexpr int xMax = 8;          // int16
inline constexpr int yMax = 10;         // int16
inline constexpr int hRes = 12;         // int16
inline constexpr int vRes = 14;         // int16
inline constexpr int colorMap = 16;     // 16 entries of red, green, blue
inline constexpr int colorMapBytes = 48;
inline constexpr int reserved = 64;         // uint8
inline constexpr int planes = 65;           // uint8
inline constexpr int bytesPerLine = 66;     // int16, per plane
inline constexpr int paletteInfo = 68;      // int16
inline constexpr int hScreenSize = 70;      // int16
inline constexpr int vScreenSize = 72;      // int16
inline constexpr int filler = 74;           // 54 bytes
inline constexpr int fillerBytes = 54;
inline constexpr int headerSize = 128;

inline constexpr int manufacturerMark = 10;
inline constexpr int writtenVersion = 5;
inline constexpr int writtenResolution = 480;
// Run-length codes: a byte of at least runMark repeats the next one
// (byte AND runCountMask) times.
inline constexpr int runMark = 0xC0;
inline constexpr int runCountMask = 0x3F;
inline constexpr int longestRun = 63;
// The 256-colour palette after the last line: a marker and 256 entries of
// red, green, blue.
inline constexpr int paletteMarker = 12;
inline constexpr int sixBitPaletteMarker = 10;  // components in 0..63
inline constexpr int trailingPaletteBytes = 1 + 256 * 3;
// Largest width and height the signed 16-bit window holds.
inline constexpr int maxSide = 32768;

// Bytes per plane of a written line: an even count, as the format asks and
// readers expect (Pillow reads no other).
inline int64_t writtenBytesPerLine(int64_t coding, int64_t width) {
  const int64_t bits = coding == 24 ? 8 : coding == 4 ? 1 : coding;
  return ((bits * width + 7) / 8 + 1) / 2 * 2;
}
}  // namespace pcxLayout

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
  uint8_t colorMap[pcxLayout::colorMapBytes];
  uint8_t reserved;
  uint8_t planes;
  int16_t bytesPerLine;
  int16_t paletteInfo;
  int16_t hScreenSize;
  int16_t vScreenSize;
  uint8_t filler[pcxLayout::fillerBytes];

  // Zeros, then manufacturer 10, version 5, resolutions 480, one plane and
  // palette information 1.
  void fillPCXHead();
  static int diskSizeOf() { return pcxLayout::headerSize; }
  void toBytes(unsigned char out[pcxLayout::headerSize]) const;
  void fromBytes(const unsigned char in[pcxLayout::headerSize]);
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
class TImgConvertFourBits2UChar : public TSimpleImgConvert<TImgConvertFourBits2UChar, 0, 1> {
public:
  TImgConvertFourBits2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// The same value minus 128.
class TImgConvertFourBits2SChar : public TSimpleImgConvert<TImgConvertFourBits2SChar, 0, 1> {
public:
  TImgConvertFourBits2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Bit j of each byte into plane j of four one-bit planes (4 x rowBytes bytes
// are cleared first).
class TImgConvertUChar2FourBits : public TSimpleImgConvert<TImgConvertUChar2FourBits, 1, 0> {
public:
  TImgConvertUChar2FourBits() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// As TImgConvertUChar2FourBits for in + 128.
class TImgConvertSChar2FourBits : public TSimpleImgConvert<TImgConvertSChar2FourBits, 1, 0> {
public:
  TImgConvertSChar2FourBits() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Planes of red, green, blue to red, green, blue pixels.
class TImgConvertRRRGGGBBB_2_RGBRGB : public TSimpleImgConvert<TImgConvertRRRGGGBBB_2_RGBRGB, 0, 3> {
public:
  TImgConvertRRRGGGBBB_2_RGBRGB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Planes of red, green, blue to blue, green, red pixels.
class TImgConvertRRRGGGBBB_2_BGRBGR : public TSimpleImgConvert<TImgConvertRRRGGGBBB_2_BGRBGR, 0, 3> {
public:
  TImgConvertRRRGGGBBB_2_BGRBGR() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Red, green, blue pixels to planes of red, green, blue.
class TImgConvertRGBRGB_2_RRRGGGBBB : public TSimpleImgConvert<TImgConvertRGBRGB_2_RRRGGGBBB, 3, 0> {
public:
  TImgConvertRGBRGB_2_RRRGGGBBB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Blue, green, red pixels to planes of red, green, blue.
class TImgConvertBGRBGR_2_RRRGGGBBB : public TSimpleImgConvert<TImgConvertBGRBGR_2_RRRGGGBBB, 3, 0> {
public:
  TImgConvertBGRBGR_2_RRRGGGBBB() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Grey level of planes of red, green, blue.
class TImgConvertRRRGGGBBB2UChar : public TSimpleImgConvert<TImgConvertRRRGGGBBB2UChar, 0, 1> {
public:
  TImgConvertRRRGGGBBB2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// The same grey level minus 128.
class TImgConvertRRRGGGBBB2SChar : public TSimpleImgConvert<TImgConvertRRRGGGBBB2SChar, 0, 1> {
public:
  TImgConvertRRRGGGBBB2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

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
  QOR_FORMAT_DRIVER_STEPS;
  TFileInfo* getFileInfo() override { return &fileInfo; }
  int readNextChunk() override { return moveRowChunk(false); }
  int writeNextChunk() override;
  bool writeEndsFile() override { return true; }
  int hasPalette() override;
  int paletteSize() override;
  int queryState() override { return 1; }
  TImgConvertA2B* getConverterDisk2Memory(TqorImageBase* image) override;
  TImgConvertA2B* getConverterMemory2Disk(TqorImageBase* image) override;

  // Encodes a line of n bytes (all planes together) into out, which has room
  // for 2 x n bytes; returns the bytes produced.
  static int encodeLine(const unsigned char* in, int n, unsigned char* out);

protected:
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
