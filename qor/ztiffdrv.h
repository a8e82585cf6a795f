// TIFF files through libtiff: the first image of a file, grey (min-is-black
// or min-is-white), palette or 8-bit RGB, read as 1, 4, 8 or 24 bits per
// pixel with whatever compression libtiff decodes; written as one image of
// 1-bit grey (PackBits), 4- or 8-bit palette or 24-bit RGB. libtiff works on
// the library's own streams; its state lives in the driver's unit, so the
// library's headers do not need the codec's.
#ifndef ZTIFFDRV_H
#define ZTIFFDRV_H

#include <memory>

#include "zbitconv.h"
#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- descriptor

class QOR_API TTiffFileInfo : public TFileInfo {
public:
  TTiffFileInfo() : coding_(0), sizeX_(0), sizeY_(0), spare{0, 0}, direct(1) {}
  // A new file of the coding (1, 4, 8 or 24 bits per pixel) and size.
  TTiffFileInfo(int coding, int sizeX, int sizeY);
  TTiffFileInfo(const TTiffFileInfo&) = default;
  TTiffFileInfo& operator=(const TTiffFileInfo&) = default;
  ~TTiffFileInfo() override;
  int formatID() override;
  int sizeY() override { return sizeY_; }
  int sizeX() override { return sizeX_; }
  int numberOfImages() override { return 1; }
  int coding() override { return coding_; }

  int32_t coding_;
  int32_t sizeX_;
  int32_t sizeY_;
  int32_t spare[2];  // carried with the descriptor, without a role
  // 1 when samples are read as stored, 0 for min-is-white files, whose
  // samples go through the inverting converters.
  int32_t direct;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiTiffFileInfo(int coding, int sizeX, int sizeY);

// ---------------------------------------------------------------- inverting converters
// Min-is-white samples: white is 0 on disk and the largest value in memory.
// Signed bytes are the unsigned result minus 128.

// Complements the bytes of a packed row of count pixels; the bits after the
// last pixel, up to rowBytes when set, are cleared.
class QOR_API TImgConvertInvertedOneBit2OneBit : public TSimpleImgConvert<TImgConvertInvertedOneBit2OneBit, 1, 1> {
public:
  TImgConvertInvertedOneBit2OneBit() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Bit b as 1 - b.
class QOR_API TImgConvertInvertedOneBit2UChar : public TSimpleImgConvert<TImgConvertInvertedOneBit2UChar, 0, 1> {
public:
  TImgConvertInvertedOneBit2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Nibble v as 15 - v.
class QOR_API TImgConvertInverted4Bits2UChar : public TSimpleImgConvert<TImgConvertInverted4Bits2UChar, 0, 1> {
public:
  TImgConvertInverted4Bits2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Byte v as 255 - v.
class QOR_API TImgConvertInvertedUChar2UChar : public TSimpleImgConvert<TImgConvertInvertedUChar2UChar, 1, 1> {
public:
  TImgConvertInvertedUChar2UChar() : TSimpleImgConvert(255.0, 0.0) {}
  int convert(void* dest, const void* src, int count) override;
};

class QOR_API TImgConvertInvertedOneBit2SChar : public TSimpleImgConvert<TImgConvertInvertedOneBit2SChar, 0, 1> {
public:
  TImgConvertInvertedOneBit2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

class QOR_API TImgConvertInverted4Bits2SChar : public TSimpleImgConvert<TImgConvertInverted4Bits2SChar, 0, 1> {
public:
  TImgConvertInverted4Bits2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// Byte v as 127 - v.
class QOR_API TImgConvertInvertedUChar2SChar : public TSimpleImgConvert<TImgConvertInvertedUChar2SChar, 1, 1> {
public:
  TImgConvertInvertedUChar2SChar() : TSimpleImgConvert(127.0, -128.0) {}
  int convert(void* dest, const void* src, int count) override;
};

// ---------------------------------------------------------------- converter tables

// Disk to memory indexed by (bits per pixel, stXXX type): samples as stored,
// and min-is-white samples inverted; memory to disk by (stXXX type, bits per
// pixel).
class QOR_API TTiffConverters : public TConverterTables {
public:
  static const TTiffConverters& tables();
  const TConverters& inverted2Memory() const { return invertedToMemory; }

private:
  TTiffConverters();
  TConverters invertedToMemory;
};

// ---------------------------------------------------------------- driver

// The libtiff handle of one driver with what its procedures need; defined in
// ztiffdrv.cpp.
struct TTiffCodec;

class QOR_API TTiffFormatDriver : public TFileFormatDriver {
public:
  TTiffFormatDriver();
  ~TTiffFormatDriver() override;
  TTiffFormatDriver(const TTiffFormatDriver&) = delete;
  TTiffFormatDriver& operator=(const TTiffFormatDriver&) = delete;
  TFileFormatDriver* createInstance() override;
  int recognizeFormat() override;
  int readHeader() override;
  int createFile(TFileInfo* info) override;
  TFileInfo* getFileInfo() override { return &fileInfo; }
  int readImage(TqorImageBase* image, int index) override;
  int readNextChunk() override;
  int writeImage(TqorImageBase* image, int index) override;
  int writeNextChunk() override;
  int hasPalette() override;
  int paletteSize() override;
  int queryState() override { return 1; }
  TImgConvertA2B* getConverterDisk2Memory(TqorImageBase* image) override;
  TImgConvertA2B* getConverterMemory2Disk(TqorImageBase* image) override;

private:
  // A libtiff handle on the stream in mode "r" or "w"; error 2 when libtiff
  // cannot open it.
  void openCodec(const char* mode);
  // Closes the handle; a file being written gets its directory first.
  void closeCodec();
  // Whole strips can move between libtiff and the image rows of the current
  // transfer, with no buffer between. A caller driving the chunks may change
  // the image between them, so then every chunk must end on a strip's end.
  bool stripsFitImage();
  // The rows of the current chunk; raises the read or write error libtiff reports.
  int moveChunk(bool write);
  // Allocates the scanline buffer for the current descriptor.
  void allocateScanline();
  // Row y of a tiled file, from the row of tiles that holds it; false when
  // libtiff cannot read a tile.
  bool readTiledRow(int y, unsigned char* row);

  TTiffCodec* codec;
  TTiffFileInfo fileInfo;
  // One row as libtiff reads or writes it, and at least the padded row the
  // converter moves.
  std::unique_ptr<unsigned char[]> scanline;
  int64_t scanlineBytes;  // bytes libtiff reads or writes per row
  int samples;            // samples per pixel of a grey or palette file: extra ones are dropped
  int rowsPerStrip;
  int stripRows;          // rows of the image already moved by whole strips
  bool direct;            // whole strips go straight between libtiff and the image
  bool written;           // the file's one image is written
  bool readBefore;        // an image was read from the handle
  // Tiled files: one tile, and the whole rows of the row of tiles starting at
  // bandRow (-1 when none is held).
  struct TileSize {
    int width, length;
    int64_t rowBytes, bytes;
  } tileSize{0, 0, 0, 0};
  std::unique_ptr<unsigned char[]> tiles;
  std::unique_ptr<unsigned char[]> band;
  int bandRow = -1;
};

#endif
