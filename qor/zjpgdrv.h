// JPEG files through libjpeg: one image of one grey component (coding 8) or
// three colour components (coding 24). Every stream that starts with the
// start-of-image marker is read, JFIF and Exif alike, baseline or
// progressive; files are written as baseline JPEG at the descriptor's
// quality. The codec state lives in the driver's unit, so the library's
// headers do not need the codec's.
#ifndef ZJPGDRV_H
#define ZJPGDRV_H

#include <memory>
#include <vector>

#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- descriptor

class QOR_API TJpegFileInfo : public TFileInfo {
public:
  // Everything 0.
  TJpegFileInfo();
  // A new file of coding 8 or 24, the size and the compression quality
  // (libjpeg's scale: 1 to 100, values outside taken as the nearer end).
  TJpegFileInfo(int coding, int sizeX, int sizeY, int quality);
  ~TJpegFileInfo() override;
  QOR_DESCRIBES(bits, width, height, 1);

  int32_t bits;     // 8 (one component) or 24 (three)
  int32_t width;
  int32_t height;
  int32_t quality;  // handed to libjpeg when writing; -1 in a descriptor filled by reading
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiJpegFileInfo(int coding, int sizeX, int sizeY, int quality);

// ---------------------------------------------------------------- converter tables

// Disk to memory indexed by (bits per pixel, stXXX type), memory to disk by
// (stXXX type, bits per pixel). Colour samples are red, green, blue on disk.
class TJpegConverters : public TSharedConverterTables<TJpegConverters> {
  friend class TSharedConverterTables<TJpegConverters>;
  TJpegConverters();
};

// ---------------------------------------------------------------- driver

// The libjpeg objects, their stream managers and the jump buffer of the error
// manager; defined in zjpgdrv.cpp.
struct TJpegCodec;

class TJpegFormatDriver : public TFileFormatDriver {
public:
  TJpegFormatDriver();
  ~TJpegFormatDriver() override;
  // recognizeFormat claims streams that start with FF D8 FF.
  QOR_FILE_DRIVER_STEPS(fileInfo);
  // Reading decodes from the start of the stream, also when the image was
  // read before; writing happens once, on a file made by createFile.
  QOR_ROW_CHUNK_STEPS;
  // Drops a decompression in progress and a compression that has started.
  void releaseImageState() override;

protected:
  void fetchRows(unsigned char* rows, int count) override;
  void storeRows(const unsigned char* rows, int count) override;
  bool takesImageRows() const override { return true; }

private:
  // The codec state, made on first use.
  TJpegCodec& codec();
  // A decompression object over the stream from its start, header read;
  // returns libjpeg's component count.
  int startHeader();
  void rowLayout();
  // The image's rows are libjpeg's samples as they are: no converter between.
  // count rows from or to rowAt(0 .. count - 1); the last row finishes the
  // file and destroys the codec object.
  template <class RowAt>
  void decodeRows(int count, RowAt rowAt);
  template <class RowAt>
  void encodeRows(int count, RowAt rowAt);
  // Raises error 3 with the codec's message after destroying the object in use.
  [[noreturn]] void codecFailed(bool compressing);

  TJpegFileInfo fileInfo;
  std::unique_ptr<TJpegCodec> state;
  // Rows libjpeg decodes at a time; ink files pass them through inkRows.
  static constexpr int inkBatch = 16;
  bool inks = false;          // the file holds CMYK or YCCK, read as red, green, blue
  bool invertedInks = false;  // and stores them inverted (an Adobe marker)
  std::vector<unsigned char> inkRows;
};

#endif
