// Windows bitmap files: one image of 1, 4, 8, 16, 24 or 32 bits per pixel,
// uncompressed, run-length encoded (8 and 4 bits) or in bit fields of any
// contiguous masks, rows stored bottom-up or top-down, after an info header
// of 40, 52, 56, 108 or 124 bytes. Files are written with 1, 4, 8 or 24 bits
// per pixel, uncompressed and bottom-up, after the 40-byte header.
#ifndef ZBMPDRV_H
#define ZBMPDRV_H

#include <vector>

#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

// The 14-byte file header.
struct TBmpHead {
  uint16_t bfType;
  uint32_t bfSize;
  uint16_t bfReserved1;
  uint16_t bfReserved2;
  uint32_t bfOffBits;

  static constexpr uint16_t magic = 0x4D42;  // "BM"
  // "BM" and zeros.
  void fillBMPHead();
  QOR_DISK_RECORD(14);
};

// ---------------------------------------------------------------- descriptor

class QOR_API TBmpFileInfo : public TFileInfo {
public:
  TBmpFileInfo();
  // A new file of the coding (bits per pixel) and size; a negative sizeY asks
  // for top-down rows, which the writer turns into bottom-up ones.
  TBmpFileInfo(int coding, int sizeX, int sizeY);
  ~TBmpFileInfo() override;
  QOR_DESCRIBES(info.biBitCount, info.biWidth, rowCount(), 1);
  // |biHeight|.
  int rowCount() const;

  TBmpHead head;
  TqorBITMAPINFOHEADER info;
  // Colour masks of bit-field files, else 0; an alpha mask is not kept.
  uint32_t redMask;
  uint32_t greenMask;
  uint32_t blueMask;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiBmpFileInfo(int coding, int sizeX, int sizeY);

// ---------------------------------------------------------------- row codec

// Delivers the stored rows of a Windows bitmap one by one, decoding run-length
// data. Runs, absolute runs and deltas that pass the end of a row are clipped
// to the row; their bytes are consumed all the same, so the rows after them
// decode as stored.
class TDecompressBmpStream {
public:
  TDecompressBmpStream();
  ~TDecompressBmpStream();
  TDecompressBmpStream(const TDecompressBmpStream&) = delete;
  TDecompressBmpStream& operator=(const TDecompressBmpStream&) = delete;

  // Starts at the stream's current position with the rows header describes;
  // rowSlack writable bytes follow every row handed to nextRow.
  void start(const TqorBITMAPINFOHEADER* header, TqorStream* s, int rowSlack = 0);
  // The next stored row, length bytes, into row; bytes the data does not
  // provide are 0.
  void nextRow(unsigned char* row, int length);
  // The data ran out before the rows asked for were complete.
  bool ranDry() const { return bytes.exhausted() && !endOfBitmap; }

private:
  void rle8Row(unsigned char* row, int length);
  void rle4Row(unsigned char* row, int length);
  // dx, dy: the offsets of a delta escape.
  bool controlEndsRow(int escape, int x, int length, int dx, int dy);
  // Applies a pending delta; 1 when the row is to stay blank.
  bool rowIsSkipped();

  const TqorBITMAPINFOHEADER* header;
  int slack;
  TSmartReadBytes bytes;
  int endOfBitmap;   // an end-of-bitmap escape was met
  int deltaX;        // column where decoding resumes after a delta
  int rowsToSkip;    // vertical part of the last delta
  int deltaPending;  // a delta waits to be applied
  unsigned char* unpacked;  // one byte per pixel, 4-bit runs only
  int unpackedSize;
};

// Packs a row of one byte per pixel into four-bit pixels, high nibble first,
// when it goes out of scope: the run-length decoder leaves through it on
// every path. At most destBytes bytes are written.
class TBmpCopy8to4OnReturn {
public:
  TBmpCopy8to4OnReturn(unsigned char* dest, int destBytes, const unsigned char* src, int count)
      : dest(dest), destBytes(destBytes), src(src), count(count) {}
  ~TBmpCopy8to4OnReturn();
  TBmpCopy8to4OnReturn(const TBmpCopy8to4OnReturn&) = delete;
  TBmpCopy8to4OnReturn& operator=(const TBmpCopy8to4OnReturn&) = delete;

private:
  unsigned char* dest;
  int destBytes;
  const unsigned char* src;
  int count;
};

// ---------------------------------------------------------------- converter tables

// Little-endian pixels of 2 or 4 bytes whose red, green and blue samples lie
// in contiguous, disjoint masks; each sample v of a mask of maximum max
// becomes v * 255 / max, rounded. Bits outside the masks (alpha) are dropped.
class TImgConvertBitFields2RGB : public TImgConvertA2B {
public:
  // masks: red, green, blue; blueFirst stores blue, green, red.
  TImgConvertBitFields2RGB(int pixelBytes, const uint32_t masks[3], bool blueFirst);
  int convert(void* dest, const void* src, int count) override;
  int sourceSize() const override { return pixelBytes; }
  int destSize() const override { return 3; }
  TImgConvertA2B* clone() const override;
  // Null when masks of bits-per-pixel pixels can be decoded: each non-zero,
  // one run of bits inside the pixel, none sharing a bit with another;
  // otherwise the fault, written into text of size bytes.
  static const char* maskFault(int bits, const uint32_t masks[3], char* text, size_t size);

private:
  struct Channel {
    int shift = 0;
    uint32_t max = 1;
    std::vector<uint8_t> levels;  // the 8-bit value of every sample, for samples of up to 12 bits
  };
  int pixelBytes;
  uint32_t maskOf[3];
  bool blueFirst;
  Channel channel[3];  // red, green, blue
};


// The converters of both bitmap drivers: disk to memory indexed by (bits per
// pixel, stXXX type), memory to disk by (stXXX type, bits per pixel).
class TBitmapConverters : public TSharedConverterTables<TBitmapConverters> {
  friend class TSharedConverterTables<TBitmapConverters>;
  TBitmapConverters();
};

// ---------------------------------------------------------------- driver

class TBmpFormatDriver : public TFileFormatDriver {
public:
  TBmpFormatDriver();
  ~TBmpFormatDriver() override;
  QOR_FILE_DRIVER_STEPS(fileInfo);
  QOR_ROW_CHUNK_STEPS;
  bool writeEndsFile() override { return true; }
  int top2BottomReading() override { return fileInfo.info.biHeight < 0; }
  // Uncompressed rows move between the stream and the image's rows when the
  // image's memory holds them in stored order.
  bool takesImageRows() const override;

protected:
  // Padded length of a stored row of a geometry checked by checkGeometry.
  int checkedRow(int64_t bitsPerPixel, int64_t width, int64_t height, const char* what) const;
  // Raises error 3 for a compression the row codec does not decode: JPEG,
  // PNG and codes it does not know.
  void checkCompression(uint32_t compression, const char* what) const;
  // Reads up to `entries` colour-table entries of entryBytes that start at
  // tableStart; the file must hold `needed` of them, or as many as fit before
  // the rows at offBits.
  void readColourTable(int entryBytes, int entries, int64_t needed, uint32_t offBits, int tableStart,
                       const char* what);
  // One-bit files are black and white whatever their table says; their
  // table's two colours are kept for images read into stRGB.
  void blackWhiteForOneBit();
  // Starts the transfer of image, whose rows begin at offset.
  void startRows(TqorImageBase* image, bool write, uint32_t offset, bool bottomUp);
  void fetchRows(unsigned char* rows, int count) override;
  // Writes the headers and the colour table at the start of the stream.
  virtual void writeHeaders();
  // The headers' bytes, then the colour table in entries of entryBytes.
  void writeHeadersAndTable(const unsigned char* headers, int size, int entryBytes);

  int storedRow;  // padded length of a stored row
  TqorPaletteItem oneBitColours[2];  // the table's colours of a one-bit file

private:
  // Turns a descriptor taken from a read file into one the writer can honour.
  void normaliseForWriting();

  TBmpFileInfo fileInfo;
  TDecompressBmpStream decoder;
};

#endif
