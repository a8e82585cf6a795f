// PNG files: one image of any colour type and bit depth read through libpng
// as 1, 4, 8 or 24 bits per pixel (16-bit samples reduced to 8 bits, alpha
// dropped, 2-bit samples widened to bytes); written by the PNG stream writer
// (zpngenc) as 1-bit grey, 4- or 8-bit palette (8-bit grey when the palette
// is the grey ramp) or 24-bit colour files, interlaced on request, at a
// compression level.
#ifndef ZPNGDRV_H
#define ZPNGDRV_H

#include <memory>
#include <vector>

#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- descriptor

class QOR_API TPngFileInfo : public TFileInfo {
public:
  // The compression level of files made without one: zlib's default equivalent.
  static constexpr int32_t defaultLevel = 6;

  TPngFileInfo() : coding_(0), sizeX_(0), sizeY_(0), interlace(0), level(defaultLevel) {}
  // A new file of the coding (1, 4, 8 or 24 bits per pixel) and size,
  // interlaced (Adam7) when interlace is not 0, compressed at level (1
  // fastest to 12 smallest).
  TPngFileInfo(int coding, int sizeX, int sizeY, int interlace, int level = defaultLevel);
  ~TPngFileInfo() override;
  QOR_DESCRIBES(coding_, sizeX_, sizeY_, 1);

  int32_t coding_;
  int32_t sizeX_;
  int32_t sizeY_;
  // Writing: interlace the file when not 0. Reading leaves it as constructed.
  int32_t interlace;
  // Writing: the compression level, 1 to 12. Reading leaves it as constructed.
  int32_t level;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiPngFileInfo(int coding, int sizeX, int sizeY, int interlace,
                                 int level = TPngFileInfo::defaultLevel);

// ---------------------------------------------------------------- converter tables

// Disk to memory indexed by (bits per pixel, stXXX type), memory to disk by
// (stXXX type, bits per pixel).
class TPngConverters : public TSharedConverterTables<TPngConverters> {
  friend class TSharedConverterTables<TPngConverters>;
  TPngConverters();
};

// ---------------------------------------------------------------- driver

// The libpng read objects of one driver; defined in zpngdrv.cpp.
struct TPngCodec;
struct TPngCodecRelease {
  void operator()(TPngCodec* c) const;
};
class TPngStreamWriter;

class TPngFormatDriver : public TFileFormatDriver {
public:
  TPngFormatDriver();
  ~TPngFormatDriver() override;
  QOR_FILE_DRIVER_STEPS(fileInfo);
  // Checks the descriptor; the file's bytes go out with its image.
  int readNextChunk() override;
  // Only once, on a file made by createFile.
  int writeNextChunk() override;
  // Drops the libpng objects of a read and the writer of an image begun.
  void releaseImageState() override;

  // Interlace passes of the current image: 7 for Adam7, 1 otherwise, 0 before
  // the first image is read or written.
  int passes() const { return passCount; }

protected:
  void fetchRows(unsigned char* rows, int count) override;
  void storeRows(const unsigned char* rows, int count) override;
  bool takesImageRows() const override { return true; }

private:
  // What the header of a file says; defined in zpngdrv.cpp.
  struct FileHeader;
  // A libpng read object on the start of the stream, its header read into h.
  void startReading(FileHeader& h);
  // count row pointers from first, layout.rowBytes apart.
  unsigned char** rowPointers(unsigned char* first, int count);
  // Drops the codec state and raises the error of libpng (text null) or text.
  [[noreturn]] void codecFailed(const char* text = nullptr);
  void finishReading();
  void finishWriting();

  TPngFileInfo fileInfo;
  TqorPaletteItem oneBitColours[2] = {{0, 0, 0}, {255, 255, 255}};  // a one-bit file's own colours
  std::unique_ptr<TPngCodec, TPngCodecRelease> codec;
  std::unique_ptr<TPngStreamWriter> writer;  // the file being written, from its first row to its end
  bool waiting = false;  // created, its image not yet begun
  int passCount = 0;
  size_t deliveredRow = 0;  // bytes of a row libpng delivers, at most layout.rowBytes
  // The whole image of an interlaced file read, every pass combined.
  std::unique_ptr<unsigned char[]> whole;
  std::vector<unsigned char*> rows;
};

#endif
