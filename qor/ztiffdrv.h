// TIFF files through libtiff, with whatever compression it decodes. Every page
// of the first page's size and coding is an image of the ensemble. Grey
// (min-is-black or min-is-white) and palette pages of 1, 4 or 8 bits read as
// stored; 16-bit grey as 16 bits, 32-bit floating-point grey as 32 bits; RGB
// of 8 or 16 bits, floating-point RGB, CMYK, YCbCr, CIELAB and what else
// libtiff renders as RGBA read as 24-bit RGB. Samples past the colour ones
// (alpha) are dropped, and planes of separate samples are interleaved. Files
// are written as one image of 1-bit grey (PackBits), 4- or 8-bit palette or
// 24-bit RGB. libtiff works on the library's own streams; its state lives in
// the driver's unit, so the library's headers do not need the codec's.
#ifndef ZTIFFDRV_H
#define ZTIFFDRV_H

#include <memory>

#include "zbitconv.h"
#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- descriptor

class QOR_API TTiffFileInfo : public TFileInfo {
public:
  TTiffFileInfo() : coding_(0), sizeX_(0), sizeY_(0), spare{0, 0}, direct(1), pages(1) {}
  // A new file of the coding (1, 4, 8 or 24 bits per pixel) and size.
  TTiffFileInfo(int coding, int sizeX, int sizeY);
  ~TTiffFileInfo() override;
  QOR_DESCRIBES(coding_, sizeX_, sizeY_, pages);

  int32_t coding_;
  int32_t sizeX_;
  int32_t sizeY_;
  int32_t spare[2];  // carried with the descriptor, without a role
  // 1 when samples are read as stored, 0 for min-is-white files of 1, 4 or
  // 8 bits, whose samples go through the inverting converters (deeper
  // min-is-white samples are inverted as they are read).
  int32_t direct;
  int32_t pages;  // pages of the file, each an image
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiTiffFileInfo(int coding, int sizeX, int sizeY);

// ---------------------------------------------------------------- inverting converters
// Min-is-white samples: white is 0 on disk and the largest value in memory.
// Signed bytes are the unsigned result minus 128.

// Complements the bytes of a packed row of count pixels; the bits after the
// last pixel, up to rowBytes when set, are cleared.
QOR_SIMPLE_CONVERTER(TImgConvertInvertedOneBit2OneBit, 1, 1, 255.0, 0.0);

// Bit b as 1 - b.
QOR_SIMPLE_CONVERTER(TImgConvertInvertedOneBit2UChar, 0, 1, 255.0, 0.0);

// Nibble v as 15 - v.
QOR_SIMPLE_CONVERTER(TImgConvertInverted4Bits2UChar, 0, 1, 255.0, 0.0);

// Byte v as 255 - v.
QOR_SIMPLE_CONVERTER(TImgConvertInvertedUChar2UChar, 1, 1, 255.0, 0.0);

QOR_SIMPLE_CONVERTER(TImgConvertInvertedOneBit2SChar, 0, 1, 127.0, -128.0);

QOR_SIMPLE_CONVERTER(TImgConvertInverted4Bits2SChar, 0, 1, 127.0, -128.0);

// Byte v as 127 - v.
QOR_SIMPLE_CONVERTER(TImgConvertInvertedUChar2SChar, 1, 1, 127.0, -128.0);

// ---------------------------------------------------------------- converter tables

// Disk to memory indexed by (bits per pixel, stXXX type): samples as stored,
// and min-is-white samples inverted; memory to disk by (stXXX type, bits per
// pixel). Stored rows of 16 bits hold native 16-bit grey samples, of 32 bits
// native 32-bit floating-point grey samples.
class TTiffConverters : public TSharedConverterTables<TTiffConverters> {
public:
  const TConverterTables& inverted() const { return invertedTables; }

private:
  friend class TSharedConverterTables<TTiffConverters>;
  TTiffConverters();
  // The min-is-white tables: memory to disk is never used.
  class Inverted : public TConverterTables {
  public:
    Inverted();
  };
  Inverted invertedTables;
};

// ---------------------------------------------------------------- driver

// The libtiff handle of one driver with what its procedures need; defined in
// ztiffdrv.cpp.
struct TTiffCodec;

class TTiffFormatDriver : public TFileFormatDriver {
public:
  TTiffFormatDriver();
  ~TTiffFormatDriver() override;
  TTiffFormatDriver(const TTiffFormatDriver&) = delete;
  TTiffFormatDriver& operator=(const TTiffFormatDriver&) = delete;
  QOR_FILE_DRIVER_STEPS(fileInfo);
  int readNextChunk() override;
  int writeNextChunk() override;
  void releaseImageState() override;

protected:
  bool takesImageRows() const override { return true; }
  void fetchRows(unsigned char* rows, int count) override;
  void storeRows(const unsigned char* rows, int count) override;

private:
  // How the samples libtiff gives become the stored rows the converters read.
  enum class Decode {
    samples,  // 1, 4 or 8 bits, kept as they are
    wide,     // 16 bits: grey as 16 bits, colour by the high byte
    real,     // 32-bit floating point: grey as it is, colour 0..1 in 8 bits
    cmyk,     // ink amounts to red, green, blue
    lab,      // 8-bit CIELAB to sRGB
    rgba      // libtiff's RGBA reader
  };
  // What one page holds and how its rows are read.
  struct Page {
    Decode decode = Decode::samples;
    int coding = 0;  // of the stored rows
    int width = 0, height = 0;
    bool minIsWhite = false;
    bool indexed = false;  // palette indices
    bool tiled = false;
    bool separate = false;  // one plane per sample
    // libdeflate may leave bytes of a strip or tile that holds more than it
    // should unwritten, and libtiff takes it: they are cleared before each read
    bool deflate = false;
    int bits = 0;      // per sample
    int samples = 1;   // per pixel in the file
    int keep = 1;      // samples per pixel the stored rows are made of
    int alpha = -1;    // sample of an alpha the colours are premultiplied by
    int planes = 1;    // planes read
    int bandRows = 0;  // rows per strip or per row of tiles
    int64_t planeRowBytes = 0;
    int tileWidth = 0;
    int64_t tileRowBytes = 0, tileBytes = 0;
    TqorPaletteItem palette[256];
  };

  // A libtiff handle on the stream in mode "r" or "w"; error 2 when libtiff
  // cannot open it.
  void openCodec(const char* mode);
  // Closes the handle; a file being written gets its directory first.
  void closeCodec();
  [[noreturn]] void codecFailed(bool write);
  // Refuses the file with "TIFF: <what> (<file>)", the page named in files of several.
  [[noreturn]] void refuse(int pageIndex, const char* format, ...);
  // The current directory of the handle as a page; refuses what cannot be read.
  void describePage(Page& p, int pageIndex);
  // Makes page index the current directory; refuses it when it does not match the first.
  void selectPage(int index);
  // Buffers for reading the current page.
  void prepareReading();
  // Decodes the strip, row of tiles or row holding stored row y into the band.
  void loadBand(int y);
  // Stored row y, from the band, into out.
  void composeRow(unsigned char* out, int y);

  std::unique_ptr<TTiffCodec> codec;
  TTiffFileInfo fileInfo;
  Page first;               // what every image of the file must match
  Page page;                // the page being read
  bool written = false;     // the file's one image is written
  bool readBefore = false;  // an image was read from the handle
  // Decoded rows of every plane read, from bandFirst on (-1: none); one
  // scanline of a contiguous page whose strips are too big to hold.
  std::unique_ptr<unsigned char[]> band;
  std::unique_ptr<unsigned char[]> tile;
  int64_t bandHeld = 0, tileHeld = 0;
  int bandFirst = -1, bandCount = 0;
  bool byScanline = false;
};

#endif
