// Targa files: one image of 8-bit colour-mapped or grey, 16-bit grey and
// alpha (read as grey), 15- or 16-bit 5-5-5 (the attribute bit dropped),
// 24-bit or 32-bit pixels (the alpha byte dropped), colour maps of 15-, 16-,
// 24- or 32-bit entries placed from their first index on, raw or
// run-length encoded in packets, rows bottom-up or top-down, pixels
// left-to-right or right-to-left. Files are written with 8 (colour-mapped) or
// 24 bits per pixel, top-down, raw or run-length encoded, and end in the
// 26-byte footer of version 2 of the format.
#ifndef ZTGADRV_H
#define ZTGADRV_H

#include <memory>

#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

// The 18-byte file header.
struct TTgaHead {
  uint8_t idLength;
  uint8_t colourMapType;
  uint8_t imageType;
  uint16_t mapFirst;
  uint16_t mapLength;
  uint8_t mapEntrySize;
  uint16_t xOrigin;
  uint16_t yOrigin;
  uint16_t width;
  uint16_t height;
  uint8_t pixelDepth;
  uint8_t descriptor;

  QOR_DISK_RECORD(18);
  bool isRle() const;
  bool isMapped() const;
  // 16-bit grey pixels: a grey byte, then an alpha byte.
  bool isGreyAlpha() const;
  // The coding the pixels read as: grey and alpha pairs read as their 8-bit
  // grey, 15-bit pixels as the 16-bit ones they are stored in.
  int coding() const { return isGreyAlpha() ? 8 : pixelDepth == 15 ? 16 : pixelDepth; }
  // Bytes of the colour map after the identification field.
  int64_t mapBytes() const;
  // Null when the fields of the header agree with each other; otherwise the
  // fault, written into text (of size bytes) when text is not null.
  const char* fault(char* text, size_t size) const;
  // Null when the driver decodes the image of a header without fault;
  // otherwise what it does not decode, written into text.
  const char* unsupported(char* text, size_t size) const;
};

// The 26-byte footer.
struct TTgaFooter {
  TTgaFooter();
  uint32_t extensionOffset;
  uint32_t developerOffset;
  char signature[18];  // "TRUEVISION-XFILE."
  static constexpr int diskSize = 26;
  void toBytes(unsigned char out[diskSize]) const;
};

// ---------------------------------------------------------------- descriptor

class QOR_API TTgaFileInfo : public TFileInfo {
public:
  // A zero header and the footer.
  TTgaFileInfo();
  // A new file of coding 8 (colour-mapped) or 24 bits, top-down, run-length
  // encoded when rle is not 0. The values asked for are kept besides the
  // header's 8- and 16-bit fields, so that a size the header cannot hold is
  // refused, not cut.
  TTgaFileInfo(int coding, int sizeX, int sizeY, int rle);
  ~TTgaFileInfo() override;
  QOR_DESCRIBES(head.coding(), head.width, head.height, 1);

  TTgaHead head;
  TTgaFooter footer;
  int32_t requestedCoding;
  int32_t requestedSizeX;
  int32_t requestedSizeY;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiTgaFileInfo(int coding, int sizeX, int sizeY, int rle);

// ---------------------------------------------------------------- row codec

// Delivers run-length encoded rows. A packet may run on past the end of a row;
// what is left of it (a run's value and count, or the pixels of a raw packet
// still to come) starts the next row, however many rows it covers.
class TDecompressTgaStream {
public:
  TDecompressTgaStream();
  TDecompressTgaStream(const TDecompressTgaStream&) = delete;
  TDecompressTgaStream& operator=(const TDecompressTgaStream&) = delete;

  // Starts at the stream's current position with pixels of bytesPerPixel (1 to 4).
  void start(TqorStream* s, int bytesPerPixel);
  // The next row of pixels into row; pixels the data does not provide are 0.
  void nextRow(unsigned char* row, int pixels);
  // The data ran out before the rows asked for were complete.
  bool ranDry() const { return dry; }

private:
  template <int B>
  void decodeRow(unsigned char* row, int pixels);

  TSmartReadBytes bytes;
  int pixelBytes;
  unsigned char runValue[4];  // the pixel of the run being carried
  int runLeft;                // pixels of that run still to deliver
  int rawLeft;                // pixels of the raw packet still to read
  bool dry;
};

// Encodes rows into run-length packets that never cross a row: three or more
// equal pixels starting before the last three of a row become runs of at most
// 127 pixels, everything else raw packets of at most 128.
class TCompressTgaStream {
public:
  TCompressTgaStream();
  TCompressTgaStream(const TCompressTgaStream&) = delete;
  TCompressTgaStream& operator=(const TCompressTgaStream&) = delete;

  // Starts on s with rows of pixels of bytesPerPixel (1 to 4).
  void start(TqorStream* s, int bytesPerPixel, int pixels);
  // Encodes count rows, stride bytes apart, and writes them in one stream call.
  void writeRows(const unsigned char* rows, int count, int stride);
  // Encodes one row of pixels into out and returns the bytes stored; out
  // holds at least maxEncodedRow(pixels, bytesPerPixel) bytes.
  static int encodeRow(const unsigned char* row, int pixels, int bytesPerPixel, unsigned char* out);
  static int64_t maxEncodedRow(int64_t pixels, int bytesPerPixel);

private:
  TqorStream* stream;
  int pixelBytes;
  int rowPixels;
  std::unique_ptr<unsigned char[]> encoded;
  size_t encodedBytes;
};

// ---------------------------------------------------------------- converter tables

// Disk to memory indexed by (bits per pixel, stXXX type), memory to disk by
// (stXXX type, bits per pixel).
class TTargaConverters : public TSharedConverterTables<TTargaConverters> {
  friend class TSharedConverterTables<TTargaConverters>;
  TTargaConverters();
};

// ---------------------------------------------------------------- driver

class TTgaFormatDriver : public TFileFormatDriver {
public:
  TTgaFormatDriver();
  ~TTgaFormatDriver() override;
  QOR_FILE_DRIVER_STEPS(fileInfo);
  QOR_ROW_CHUNK_STEPS;
  bool writeEndsFile() override { return true; }
  int top2BottomReading() override;

protected:
  // The footer after the rows.
  void writeTrailer() override;
  // Rows move between the stream and the image's rows when the image's
  // memory holds them in stored order.
  bool takesImageRows() const override;
  void fetchRows(unsigned char* rows, int count) override;
  void storeRows(const unsigned char* rows, int count) override;

private:
  // Reads the colour map that follows the identification field; entries of
  // colour-mapped images go into the palette.
  void readColourMap(const TTgaHead& h, const char* what);
  // Turns the header into the one the writer honours: no identification,
  // the 256-entry 24-bit colour map of 8-bit files, top-down rows.
  void normaliseForWriting();
  void writeHeader();
  void startRows(TqorImageBase* image, bool write);

  TTgaFileInfo fileInfo;
  int64_t pixelOffset;  // where the rows of the file read begin
  TDecompressTgaStream decoder;
  TCompressTgaStream encoder;
};

#endif
