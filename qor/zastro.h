// Astronomical card-header files: seven text cards of 80 characters (560
// bytes, no line ends) followed directly by one image of signed 16-bit
// samples, rows top row first, least significant byte first. Files of other
// tools with 2880-byte header blocks and big-endian 16-bit samples (rows bottom
// row first, BZERO and BSCALE applied) are read as well, and never written.
#ifndef ZASTRO_H
#define ZASTRO_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

// The header as held in memory.
struct TAstroLUMHead {
  TAstroLUMHead() : sizeX(0), sizeY(0), coding(0), notFound(1) {}
  static constexpr int diskSize = 560;  // seven cards of 80 characters
  static int diskSizeOf() { return diskSize; }

  // Reads the 560 header bytes at the stream's position; bytes the stream
  // does not hold count as blanks. notFound is 1 when there is no "SIMPLE".
  // Returns null when the header describes an image the driver reads;
  // otherwise the fault, written into text (of size bytes).
  const char* read(TqorStream& s, char* text, size_t size);
  // The 560 bytes of the header as written.
  void toBytes(char out[diskSize]) const;
  // Writes the 560 bytes at the stream's position.
  void write(TqorStream& s) const;

  int32_t sizeX;    // NAXIS1
  int32_t sizeY;    // NAXIS2
  uint16_t coding;  // BITPIX
  int32_t notFound;
};

// ---------------------------------------------------------------- descriptor

class QOR_API TAstroLUMFileInfo : public TFileInfo {
public:
  TAstroLUMFileInfo() = default;
  // A new file of samples of coding bits (16) and the size.
  TAstroLUMFileInfo(int coding, int sizeX, int sizeY);
  ~TAstroLUMFileInfo() override;
  QOR_DESCRIBES(head.coding, head.sizeX, head.sizeY, 1);

  TAstroLUMHead head;
  // The coding asked for, kept besides the head's 16 bits so that a coding
  // the head cannot hold is refused, not cut.
  int32_t requestedCoding = 0;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiAstroFileInfo(int coding, int sizeX, int sizeY);

// ---------------------------------------------------------------- driver

// Moves a whole image in readImage / writeImage, one row at a time; only
// signed 16-bit images (stSShort) are read and written, and files of header
// blocks are also read into double images (stDouble).
class TAstroLUMFormatDriver : public TFileFormatDriver {
public:
  TAstroLUMFormatDriver();
  ~TAstroLUMFormatDriver() override;
  // recognizeFormat claims every stream with "SIMPLE" in its first 560 bytes.
  QOR_FILE_DRIVER_STEPS(fileInfo);
  // The image has moved whole: no chunk is ever left.
  int readNextChunk() override { return 1; }
  int writeNextChunk() override { return 1; }

private:
  // How a file of 2880-byte header blocks stores its samples.
  struct Blocked {
    bool on = false;
    int64_t dataOffset = 0;
    double bzero = 0;  // a sample means bzero + bscale x stored value
    double bscale = 1;
  };
  // One row of samples as stored.
  void allocateRow();
  int rowBytes() const;
  // Reads the header of a file of header blocks into the descriptor; false,
  // with nothing changed, when the file is not of that kind.
  bool readBlockedHeader(const char* what);
  void readBlockedImage(TqorImageBase* image);

  TAstroLUMFileInfo fileInfo;
  Blocked blocked;
  std::vector<unsigned char> row;
  std::vector<double> values;  // one row of a file of header blocks, scaled
};

#endif
