// Pixel codings, row converters and converter sets shared by the format drivers.
//
// A converter turns one row of elements of one coding into another: clipping to
// the destination bounds, optional power-of-two scaling and rounding. Drivers
// keep prototype converters in a TConverters set indexed by (source coding,
// destination coding) and hand a clone of the prototype to every image.
#ifndef ZSIGENS2_H
#define ZSIGENS2_H

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <type_traits>
#include <utility>

#include <string>
#include <vector>

#include "zcodings.h"
#include "zmatrix.h"
#include "zovnutil.h"
#include "zsignal1.h"
#include "ztvector.h"

// ---------------------------------------------------------------- codings

// Name ("stDouble", "image1BitPerPix", ...) and matrix index of a coding.
// Unknown values raise error 3.
QOR_API const char* stCodingName(int code);
QOR_API const char* bitsCodingName(int bits);
QOR_API int stCodingIndex(int code);
QOR_API int bitsCodingIndex(int bits);

// ---------------------------------------------------------------- converters

// Base of all row converters.
class QOR_API TImgConvertA2B : public TqorObject {
public:
  TImgConvertA2B(double destMax, double destMin);
  ~TImgConvertA2B() override;

  // Converts count elements (pixels for packed-bit converters) from src into
  // dest and returns count.
  virtual int convert(void* dest, const void* src, int count) = 0;
  // Bytes per source / destination element.
  virtual int sourceSize() const = 0;
  virtual int destSize() const = 0;
  // A new converter of the same class with the same bounds and flags, scale 1
  // and no source range; null if memory ran out.
  virtual TImgConvertA2B* clone() const = 0;
  // Sets the scaling flag and the scale; returns the previous flag.
  virtual int setScale(int on, double s);
  // Sets the scaling flag; returns the previous flag.
  virtual int enableScaling(int on);
  virtual int scalingEnabled() const;
  // Stores the value range of the data to convert; with scaling enabled it
  // also chooses the scale.
  virtual void setSourceRange(double max, double min);
  virtual double scale() const;
  // True when convert() copies a row's bytes unchanged, so a row codec may
  // move stored rows straight into or out of the image.
  virtual bool copiesBytes() const { return false; }

  // Fixed byte count per call for packed-bit converters (0: use count).
  // Returns the previous value.
  int setRowBytes(int n);

  // Power-of-two scale for data in [min, max] written into [destMin, destMax]:
  // the data divided by it fills as much of the destination range as it can
  // without leaving it (1 for an all-zero range). The negative side counts
  // only when destMin is below zero; otherwise negative values clip to destMin.
  static double powerOfTwoScale(double max, double min, double destMax, double destMin);

  double destMax;    // upper clipping bound
  double destMin;    // lower clipping bound
  double sourceMax;  // value range of the data, from setSourceRange
  double sourceMin;
  int rowBytes;
};

namespace qorConvertRow {

// Converts count elements: each is divided by scale when scaled, clipped to
// [lo, hi] (crossed bounds clip below lo first, then above hi), rounded half
// away from zero when round, and stored; NaN becomes 0 in integral
// destinations. Defined for the element types of the library: unsigned and
// signed 8-, 16- and 32-bit integers and double.
template <class A, class B>
void convertRow(B* dest, const A* src, int count, bool scaled, double scale, bool round, double lo, double hi);

// True when s is a power of two whose reciprocal is exact, so that v / s and
// v * (1 / s) round the same real number.
QOR_API bool reciprocalIsExact(double s);

}  // namespace qorConvertRow

// Row converter from elements of type A to elements of type B. Each element is
// divided by the scale when scaling is on, clipped to [destMin, destMax] (and
// to B's own range), rounded half away from zero unless noRounding is 1, and
// stored. NaN becomes 0 in integral destinations.
template <class A, class B>
class TUImgConvertA2B : public TImgConvertA2B {
  static_assert((std::is_integral_v<A> && !std::is_same_v<A, bool> && sizeof(A) <= 4) ||
                    std::is_same_v<A, double>,
                "double or integral source elements of at most 32 bits");
  static_assert((std::is_integral_v<B> && !std::is_same_v<B, bool> && sizeof(B) <= 4) ||
                    std::is_same_v<B, double>,
                "double or integral destination elements of at most 32 bits");

public:
  TUImgConvertA2B(double max, double min, int scalingOn, int truncate)
      : TImgConvertA2B(max, min), scaling(scalingOn), scaleFactor(1.0), noRounding(truncate) {}

  bool copiesBytes() const override { return isPlainCopy(scaling && scaleFactor != 1.0); }

  int convert(void* dest, const void* src, int count) override {
    if (count <= 0) return count;
    B* d = static_cast<B*>(dest);
    const A* s = static_cast<const A*>(src);
    const bool scaled = scaling && scaleFactor != 1.0;
    if (isPlainCopy(scaled)) {
      if (dest != src) std::memcpy(d, s, static_cast<std::size_t>(count) * sizeof(A));
      return count;
    }
    double lo = destMin;
    double hi = destMax;
    if constexpr (std::is_integral_v<B> || sizeof(B) < sizeof(double)) {
      // Keep every stored value representable in B, whatever the bounds say.
      constexpr double low = static_cast<double>(std::numeric_limits<B>::lowest());
      constexpr double high = static_cast<double>(std::numeric_limits<B>::max());
      lo = lo >= low ? (lo <= high ? lo : high) : low;
      hi = hi <= high ? (hi >= low ? hi : low) : high;
    }
    qorConvertRow::convertRow<A, B>(d, s, count, scaled, scaleFactor, noRounding != 1, lo, hi);
    return count;
  }

  int sourceSize() const override { return static_cast<int>(sizeof(A)); }
  int destSize() const override { return static_cast<int>(sizeof(B)); }

  TImgConvertA2B* clone() const override {
    return new TUImgConvertA2B<A, B>(destMax, destMin, scaling, noRounding);
  }

  int setScale(int on, double s) override {
    const int old = scaling;
    scaling = on;
    scaleFactor = s;
    return old;
  }
  int enableScaling(int on) override {
    const int old = scaling;
    scaling = on;
    return old;
  }
  int scalingEnabled() const override { return scaling; }

  void setSourceRange(double max, double min) override {
    sourceMax = max;
    sourceMin = min;
    if (scaling) scaleFactor = powerOfTwoScale(max, min, destMax, destMin);
  }
  double scale() const override { return scaleFactor; }

  int scaling;         // divide by scaleFactor when not 0
  double scaleFactor;  // 1.0 at construction
  int noRounding;      // 1: truncate instead of rounding

private:
  // Same element type, bounds covering the whole type, and nothing that could
  // alter a value: the row is a byte copy.
  bool isPlainCopy(bool scaled) const {
    if constexpr (std::is_same_v<A, B>) {
      if (scaled) return false;
      if (std::is_floating_point_v<B> && noRounding != 1) return false;
      return destMin <= static_cast<double>(std::numeric_limits<B>::lowest()) &&
             destMax >= static_cast<double>(std::numeric_limits<B>::max());
    } else {
      (void)scaled;
      return false;
    }
  }
};

// Stores each byte minus 128 (unsigned 8-bit to signed 8-bit).
class QOR_API TImgConvertUChar2SChar : public TImgConvertA2B {
public:
  TImgConvertUChar2SChar();
  int convert(void* dest, const void* src, int count) override;
  int sourceSize() const override;
  int destSize() const override;
  TImgConvertA2B* clone() const override;
};

// Stores each byte plus 128 (signed 8-bit to unsigned 8-bit).
class QOR_API TImgConvertSChar2UChar : public TImgConvertA2B {
public:
  TImgConvertSChar2UChar();
  int convert(void* dest, const void* src, int count) override;
  int sourceSize() const override;
  int destSize() const override;
  TImgConvertA2B* clone() const override;
};

// Copies packed one-bit rows: count is in pixels; copies rowBytes bytes when
// rowBytes is set, otherwise count / 8 rounded up.
class QOR_API TImgConvertOneBit2OneBit : public TImgConvertA2B {
public:
  TImgConvertOneBit2OneBit();
  int convert(void* dest, const void* src, int count) override;
  int sourceSize() const override;
  int destSize() const override;
  TImgConvertA2B* clone() const override;
};

// ---------------------------------------------------------------- converter sets

// One entry of a driver's converter table: the prototype for (source coding,
// destination coding) is made by make().
struct QOR_API TConverterRow {
  int source;
  int destination;
  TImgConvertA2B* (*make)();
};

// Prototype converters indexed by (source coding, destination coding). Rows and
// columns are indexed by the bits-per-pixel family when the matching flag is
// set, by the stXXX family otherwise. The set owns its prototypes.
class QOR_API TConverters {
public:
  TConverters(int srcIsBits, int destIsBits);
  // The set of the table rows[0..count); when an entry fails, every prototype
  // made so far is deleted and the error leaves. The rows must outlive the set.
  TConverters(int srcIsBits, int destIsBits, const TConverterRow* rows, int count);
  template <int N>
  TConverters(int srcIsBits, int destIsBits, const TConverterRow (&rows)[N])
      : TConverters(srcIsBits, destIsBits, rows, N) {}
  ~TConverters();
  TConverters(const TConverters&) = delete;
  TConverters& operator=(const TConverters&) = delete;

  // A new converter cloned from the prototype for (src, dest); the caller owns it.
  TImgConvertA2B* get(int src, int dest) const;
  // True when the set holds a prototype for (src, dest); never raises.
  bool has(int src, int dest) const;
  // Stores c as the prototype for (src, dest); the set takes c over, also when
  // it raises (c is then deleted).
  void set(int src, int dest, TImgConvertA2B* c);

  int sourceIsBits() const { return srcIsBits; }
  int destinationIsBits() const { return destIsBits; }
  // The table the set was built from (null for sets filled by set()).
  const TConverterRow* tableRows() const { return rows; }
  int tableSize() const { return rowCount; }

private:
  void deletePrototypes();
  long rowIndex(int src) const;
  long columnIndex(int dest) const;
  const char* rowName(int src) const;
  const char* columnName(int dest) const;

  int srcIsBits;
  int destIsBits;
  mutable TqorMatrix<TImgConvertA2B> prototypes;
  const TConverterRow* rows = nullptr;
  int rowCount = 0;
};

// A converter prototype of class C made with its default constructor, for table rows.
template <class C>
TImgConvertA2B* qorMakeConverter() {
  return new C;
}

// Makers the drivers' converter tables share.
namespace qorTableRows {
// A byte copy: the whole unsigned range, no scaling, no rounding.
QOR_API TImgConvertA2B* byteCopy();
// The converter class C, default-constructed.
template <class C>
inline constexpr TImgConvertA2B* (*make)() = qorMakeConverter<C>;
}  // namespace qorTableRows

// The two converter sets of a driver whose files store bits per pixel, built
// once from its tables: disk to memory indexed by (bits per pixel, stXXX
// type), memory to disk by (stXXX type, bits per pixel).
class QOR_API TConverterTables {
public:
  const TConverters& disk2Memory() const { return toMemory; }
  const TConverters& memory2Disk() const { return toDisk; }
  TConverterTables(const TConverterTables&) = delete;
  TConverterTables& operator=(const TConverterTables&) = delete;

protected:
  template <int M, int D>
  TConverterTables(const TConverterRow (&toMemoryRows)[M], const TConverterRow (&toDiskRows)[D])
      : toMemory(1, 0, toMemoryRows), toDisk(0, 1, toDiskRows) {}

private:
  TConverters toMemory;
  TConverters toDisk;
};

// A driver's converter tables, made once on first use: class Self names its
// rows in its (private) default constructor.
template <class Self>
class TSharedConverterTables : public TConverterTables {
public:
  static const Self& tables() {
    static const Self shared;
    return shared;
  }

protected:
  using TConverterTables::TConverterTables;
};

class TImageEnsemble;
class TQORDataManager;
class TqorStream;

// ---------------------------------------------------------------- format descriptors

// What a file is or is to be: format, coding, image count and size.
class QOR_API TFileInfo : public TqorObject {
public:
  TFileInfo() : flags(0) {}
  TFileInfo(const TFileInfo& other) : TqorObject(other), flags(other.flags) {}
  TFileInfo& operator=(const TFileInfo& other) {
    flags = other.flags;
    return *this;
  }
  ~TFileInfo() override;

  virtual int formatID() = 0;
  virtual int sizeY() = 0;
  virtual int sizeX() = 0;
  virtual int numberOfImages() = 0;
  // Disk coding: an stXXX code or a bits-per-pixel code, by format.
  virtual int coding() = 0;

  int setf(int bits) {
    int old = flags;
    flags |= bits;
    return old;
  }
  int getf() const { return flags; }
  void clearf(int bits) { flags &= ~bits; }
  int signalsNumber() { return numberOfImages(); }
  // Bits per pixel on disk; for the native and in-memory formats mapped from the coding.
  int bitsPerPixel();

  // Flag bit 0: the ensemble deletes the descriptor after opening with it.
  enum { ownedByEnsemble = 1 };

protected:
  int32_t flags;
};

// What a format's descriptor tells of a file, each read from its fields:
// declared once in every descriptor class.
#define QOR_DESCRIBES(codingOf, sizeXOf, sizeYOf, imagesOf) \
  int formatID() override;                                  \
  int coding() override { return codingOf; }                \
  int sizeX() override { return sizeXOf; }                  \
  int sizeY() override { return sizeYOf; }                  \
  int numberOfImages() override { return imagesOf; }

// The size and byte conversions of a header record, read and written field by
// field (little-endian unless its format says otherwise): declared once in
// every record struct.
#define QOR_DISK_RECORD(bytes)                          \
  static constexpr int diskSize = bytes;                \
  static int diskSizeOf() { return diskSize; }          \
  void toBytes(unsigned char out[diskSize]) const;      \
  void fromBytes(const unsigned char in[diskSize])

// A new descriptor of class Info made from args, deleted by the ensemble that
// opens with it: what every fiXXX factory returns.
template <class Info, class... Args>
TFileInfo* qorOwnedFileInfo(Args&&... args) {
  TFileInfo* info = new Info(std::forward<Args>(args)...);
  if (!info) QOR_RAISE_MEMORY();
  info->setf(TFileInfo::ownedByEnsemble);
  return info;
}

// Format numbers, fixed for every build.
QOR_API int idASTROLUM();
QOR_API int idBMP();
QOR_API int idBMPOS2();
QOR_API int idKAV();
QOR_API int idDCX();
QOR_API int idJPEG();
QOR_API int idKAVMEM();
QOR_API int idPCX();
QOR_API int idPNG();
QOR_API int idTGA();
QOR_API int idTIFF();
QOR_API int idIMGLIST();

// ---------------------------------------------------------------- format driver base

// Driver flag bits.
enum {
  qorNoScaling = 1,      // native format: write without scaling
  qorChunkMode = 2,      // readImage / writeImage only prepare; the caller moves chunks
  qorDeleteOnClose = 4,  // remove the file when the ensemble closes
  qorKeepStreamOpen = 8, // do not close the stream when the ensemble closes
  qorCallerStream = 16   // the stream is the caller's: forgotten on close, never deleted
};

// The steps every format driver implements, declared once in its class.
#define QOR_FORMAT_DRIVER_STEPS                                                     \
  TFileFormatDriver* createInstance() override { return new std::decay_t<decltype(*this)>; } \
  int recognizeFormat() override;                          \
  int readHeader() override;                               \
  int createFile(TFileInfo* info) override;                \
  int readImage(TqorImageBase* image, int index) override; \
  int writeImage(TqorImageBase* image, int index) override

// The steps of a file format driver that keeps its descriptor in infoMember
// and converts rows through converter tables.
#define QOR_FILE_DRIVER_STEPS(infoMember)                                     \
  QOR_FORMAT_DRIVER_STEPS;                                                    \
  TFileInfo* getFileInfo() override { return &infoMember; }                  \
  int queryState() override { return 1; }                                     \
  TImgConvertA2B* getConverterDisk2Memory(TqorImageBase* image) override;     \
  TImgConvertA2B* getConverterMemory2Disk(TqorImageBase* image) override;     \
  int hasPalette() override;                                                  \
  int paletteSize() override

// In readHeader: fills the array bytes from the start of the stream, or
// raises error 3 (where-text of the driver's unit) naming what and the part
// ("header", "headers") the stream ends inside.
#define QOR_READ_HEADER_BYTES(bytes, what, part)                                                     \
  do {                                                                                               \
    const int got_ = readAtStart(bytes, int(sizeof bytes));                                          \
    if (got_ < int(sizeof bytes))                                                                    \
      QOR_RAISE("%s: the file ends after %d bytes, inside the %d bytes of the " part ".", what, got_, \
                int(sizeof bytes));                                                                  \
  } while (0)

// In readHeader: the header record (a QOR_DISK_RECORD) from the start of the
// stream, or error 3 as QOR_READ_HEADER_BYTES raises it.
#define QOR_READ_HEADER_RECORD(record, what)                                                     \
  do {                                                                                           \
    unsigned char recordBytes_[std::remove_reference_t<decltype(record)>::diskSize] = {};        \
    QOR_READ_HEADER_BYTES(recordBytes_, what, "header");                                         \
    (record).fromBytes(recordBytes_);                                                            \
  } while (0)

// The chunk steps of a driver whose rows move through moveRowChunk.
#define QOR_ROW_CHUNK_STEPS                                             \
  int readNextChunk() override { return moveRowChunk(false); }          \
  int writeNextChunk() override { return moveRowChunk(true); }

// The steps of a driver whose images are those of a nested ensemble
// (nestedImages), selected by updateFileInfo; its descriptor is infoMember.
#define QOR_NESTED_DRIVER_STEPS(infoMember)                                   \
  QOR_FORMAT_DRIVER_STEPS;                                                    \
  TFileInfo* getFileInfo() override { return &infoMember; }                  \
  int queryState() override { return 1; }                                     \
  void updateFileInfo(int index) override;                                    \
  int readNextChunk() override { return readNestedChunk(); }                  \
  int writeNextChunk() override { return writeNestedChunk(); }                \
  int hasPalette() override;                                                  \
  int paletteSize() override

// Base of every format driver. The manager keeps one prototype per format;
// ensembles work on instances made by createInstance().
class QOR_API TFileFormatDriver : public TqorObject {
public:
  TFileFormatDriver();
  ~TFileFormatDriver() override;
  TFileFormatDriver(const TFileFormatDriver&) = delete;
  TFileFormatDriver& operator=(const TFileFormatDriver&) = delete;

  virtual TFileFormatDriver* createInstance() = 0;
  virtual void init(TImageEnsemble* e, TqorStream* s);
  // 0 when the driver reads and writes the file itself by name.
  virtual int uses_iostream() { return 1; }
  // Cheap test of the stream from wherever the format needs; never raises on short data.
  virtual int recognizeFormat() = 0;
  // Reads and validates the header into the descriptor and palette.
  virtual int readHeader() = 0;
  // Starts a new file described by info and writes its header.
  virtual int createFile(TFileInfo* info) = 0;
  virtual TFileInfo* getFileInfo() = 0;
  virtual int readImage(TqorImageBase* image, int index) = 0;
  // Moves the next rowsPerChunk() rows; 1 when no chunk is left.
  virtual int readNextChunk() { return 0; }
  virtual int rowsPerChunk();
  virtual int chunksNumber();
  virtual int top2BottomReading();
  virtual int writeImage(TqorImageBase* image, int index) = 0;
  virtual int writeNextChunk() { return 0; }
  virtual int hasPalette() = 0;
  virtual TqorPaletteItem* getPalette();
  virtual int paletteSize() { return 256; }
  virtual int queryState() = 0;
  virtual int imageNumberIncreasingIsPossible() { return 0; }
  virtual int increaseImagesNumber(int n);
  // Called before image index is read; formats whose images differ in size update the descriptor.
  virtual void updateFileInfo(int) {}
  // True when a finished write of the file's image ends the file's data:
  // a file written back after reading is then cut where the write ended.
  virtual bool writeEndsFile() { return false; }
  virtual TImgConvertA2B* getConverterDisk2Memory(TqorImageBase*) { return nullptr; }
  virtual TImgConvertA2B* getConverterMemory2Disk(TqorImageBase*) { return nullptr; }

  int setf(int bits) {
    int old = flags;
    flags |= bits;
    return old;
  }
  int getf() const { return flags; }
  void clearf(int bits) { flags &= ~bits; }
  void fillPaletteAsGrey();
  TImgConvertA2B* OneBit2Disk(int bits);
  TImgConvertA2B* disk2OneBit(int bits);
  // Converter for a TWinDibImage through the driver's ordinary converter sets.
  TImgConvertA2B* getTWinDibImageConverter(TqorImageBase* image, int toDisk);
  // Drops the chunk state of an image that is about to be deleted.
  void forgetImage(TqorImageBase* image);
  // Releases what a codec holds for the image being read or written. Called
  // when that image is dropped and before every readHeader and readImage;
  // drivers that hold codec state also call it from their destructor.
  virtual void releaseImageState();

  // Ensembles a driver opens inside its own work (DCX pages, image-list
  // members) go at most this deep, counted over every driver of the thread.
  static constexpr int maxNesting = 8;

protected:
  // Counts one nested ensemble for the time of a scope; a chain of files that
  // leads back to itself stops at maxNesting with error 3, naming the file
  // of the given kind, instead of recursing without end.
  class NestedOpen {
  public:
    NestedOpen(const char* kind, const char* file);
    ~NestedOpen();
    NestedOpen(const NestedOpen&) = delete;
    NestedOpen& operator=(const NestedOpen&) = delete;
  };

  // ---- images held by a nested ensemble (DCX pages, image-list members)

  // The open ensemble whose image is this driver's current one, null for
  // drivers that move rows themselves. Chunk sizes, the reading order and the
  // release of images then follow it.
  virtual TImageEnsemble* nestedImages() { return nullptr; }
  // Reads image from the nested ensemble in this driver's chunk mode.
  void readNested(TqorImageBase* image);
  // Writes image into the nested ensemble in this driver's chunk mode: a
  // failure abandons the nested image, a whole image is committed.
  void writeNested(TqorImageBase* image);
  // The next chunk of the nested image; 1 when none is left.
  int readNestedChunk();
  int writeNestedChunk();
  // After the last chunk read; when a written image is whole; when writing it failed.
  virtual void nestedReadDone() {}
  virtual void commitNested() {}
  virtual void abandonNested() {}

  // Replaces the current converter; a null result leaves the old one in place.
  void replaceConverter(TImgConvertA2B* c);
  // Takes the converter for the coming transfer; a packed row length is set
  // when rowBytes is above 0.
  void takeConverter(TImgConvertA2B* c, int rowBytes = 0);

  // ---- helpers every driver shares

  // The ensemble's file name for messages, "" for unnamed streams.
  const char* fileNameForMessages() const;
  // Copies a descriptor into the driver's own; the owned-descriptor flag
  // belongs to the caller's descriptor and is cleared.
  template <class Info>
  static void adoptDescriptor(Info& mine, const Info& theirs) {
    mine = theirs;
    mine.clearf(TFileInfo::ownedByEnsemble);
  }
  // Checks a geometry read from a file or asked of a create: raises error 3,
  // naming what, for an empty or negative size, a row or an image that does
  // not fit in 32 bits, or an image of more bytes than the manager allows
  // (imageBytes: what one image of this geometry takes in memory, 0 for
  // storedRowBytes x height). bitsPerPixel, when above 0, is named with a
  // row that is too long.
  void checkGeometry(int64_t storedRowBytes, int64_t width, int64_t height, const char* what,
                     int bitsPerPixel = 0, int64_t imageBytes = 0) const;
  // Positions the stream at offset; false when it cannot get there. A
  // window's seek answers with its position in the stream beneath, so the
  // position is confirmed with tell() when the answers differ.
  bool seekTo(int64_t offset);
  // Raises error 3 when bytes passes the manager's image-size limit.
  void checkImageBytes(int64_t bytes, const char* what) const;
  // Palette entries of a file of bits per pixel: 2, 16 or 256 for 1, 4 and 8
  // bits, 256 for 24 bits (the palette of the images written from it), else 0.
  static int paletteEntriesOf(int bits);
  // Files of 1, 4 and 8 bits per pixel hold palette indices.
  static bool bitsHavePalette(int bits) {
    return bits == image1BitPerPix || bits == image4BitPerPix || bits == image8BitPerPix;
  }
  // The converter moves a row's bytes unchanged, so rows may go straight to the image.
  bool converterCopiesBytes() const { return converter && converter->copiesBytes(); }
  // Bytes of a row of width pixels at bits per pixel, padded to 32 bits.
  static int64_t paddedRow(int64_t bits, int64_t width) { return (bits * width + 31) / 32 * 4; }
  // The first count bytes of the stream, for recognizeFormat: false when the
  // stream is shorter or cannot be positioned; never raises.
  bool readPrefix(void* bytes, int count);
  // The record at the start of the stream, for recognizeFormat: false when
  // the stream is shorter; never raises.
  template <class Record>
  bool readPrefixRecord(Record& r) {
    unsigned char bytes[Record::diskSize] = {};
    if (!readPrefix(bytes, Record::diskSize)) return false;
    r.fromBytes(bytes);
    return true;
  }
  // Up to count bytes from the start of the stream, for readHeader: how many
  // it holds (no more than its known size; 0 when it cannot be positioned).
  int readAtStart(void* bytes, int count);
  // Takes the converter of image for a read or a write (a packed row length
  // when rowBytes is above 0); false when the image has no pixels to move.
  bool startImage(TqorImageBase* image, bool write, int rowBytes = 0);
  // Positions the stream at its start and writes a header (or a header
  // written again once the data behind it is known).
  void writeAtStart(const void* bytes, int count);
  // The caller's descriptor when it is an Info, else fallback carrying the
  // caller's common descriptor fields: what createFile starts from.
  template <class Info>
  static Info coerceDescriptor(const TFileInfo* info, Info fallback) {
    if (auto* own = dynamic_cast<const Info*>(info)) return *own;
    return withCallerFields(fallback, info);
  }
  // A descriptor of the driver's own made afresh, with the caller's common
  // descriptor fields.
  template <class Info>
  static Info withCallerFields(Info fresh, const TFileInfo* info) {
    if (info) fresh.TFileInfo::operator=(*info);
    return fresh;
  }
  // The read converter of a file of fileCoding into image from the driver's
  // tables. Files of 1, 4 and 8 bits read into stRGB through the palette
  // (grey levels when the file has none) when the tables have no such cell.
  // oneBitColours, when given, are a one-bit file's own two colours, which
  // its palette (black and white whatever the file says) does not show.
  TImgConvertA2B* readConverter(const TConverterTables& t, int fileCoding, TqorImageBase* image,
                                const TqorPaletteItem* oneBitColours = nullptr);
  // The converter of a file of 1, 4 or 8 bits to its palette indices (grey
  // levels), for the expansion into RGB: the tables' stUChar cell unless the
  // driver's rows need another.
  virtual TImgConvertA2B* indexConverter(const TConverterTables& t, int fileCoding) {
    return t.disk2Memory().get(fileCoding, stUChar);
  }
  // The write converter of image into a file of fileCoding.
  TImgConvertA2B* writeConverter(const TConverterTables& t, TqorImageBase* image, int fileCoding);
  // Reads count palette entries of entryBytes from the stream into the
  // palette (blue first when blueFirst); returns the whole entries read.
  int readPalette(int count, int entryBytes, bool blueFirst);
  // Writes the first count palette entries as entryBytes each.
  void writePalette(int count, int entryBytes, bool blueFirst);

  // ---- chunked row transfer

  // How the stored rows of the current image lie: bytes of one stored row,
  // pixels per row, rows, and whether the first stored row is the bottom one.
  struct RowLayout {
    int rowBytes = 0;
    int sizeX = 0;
    int sizeY = 0;
    bool bottomUp = false;
  };
  // Starts a transfer of image and, unless the caller drives the chunks
  // (flag qorChunkMode), moves every chunk through readNextChunk /
  // writeNextChunk. The converter must be taken before.
  void transferImage(TqorImageBase* image, bool write);
  // The stored rows of the chunk blockIndex.
  struct ChunkRange {
    int first = 0;
    int count = 0;
  };
  ChunkRange chunkRange();
  // The chunk body of every row driver: the chunk's stored rows move between
  // the file and the image, rowsPerBuffer() rows per fetchRows or storeRows
  // call. They pass through the chunk buffer and the converter, or, when the
  // driver takes image rows and the converter copies bytes, go straight to
  // the image's rows. Returns 1 when no chunk is left. After the last chunk
  // of a write, writeTrailer adds what follows the rows.
  int moveRowChunk(bool write);
  virtual void writeTrailer() {}
  // True when fetchRows / storeRows may be handed the image's own rows: a run
  // of count rows lying layout.rowBytes apart (count 1 when they do not).
  // Such a driver moves exactly layout.rowBytes bytes a row.
  virtual bool takesImageRows() const { return false; }
  // Stored rows into rows (count x layout.rowBytes bytes). The default is one
  // stream read; rows the stream does not hold are zeros, and the stream's
  // failed state is left set.
  virtual void fetchRows(unsigned char* rows, int count);
  // Stored rows out of rows; the default is one stream write.
  virtual void storeRows(const unsigned char* rows, int count);
  // Sets the row layout of the coming transfers; the chunk buffer follows.
  void setRowLayout(const RowLayout& l);
  // Stored rows one fetchRows / storeRows call moves at most: a chunk's
  // rows, fewer when they would take more than rowBufferBudget bytes, and
  // never less than one. Buffers of a row codec are sized by it.
  int rowsPerBuffer();
  static constexpr int64_t rowBufferBudget = int64_t(1) << 20;
  // The stored row of the first row handed to the running fetchRows / storeRows call.
  int bufferFirstRow = 0;
  // Writable bytes after the last row of the chunk buffer, for decoders that
  // store a few bytes past a row's end.
  static constexpr int chunkSlack = 64;

  RowLayout layout;

  int32_t flags;
  TImageEnsemble* ensemble;
  TQORDataManager* manager;
  TqorStream* stream;
  int32_t blockIndex;
  TImgConvertA2B* converter;
  TqorImageBase* currentImage;
  TqorPaletteItem palette[256];

private:
  TqorImageBase* getTqorImageBaseCompatibleObject(int bits, unsigned char* data);
  // rowsPerBuffer() stored rows, zeroed once at allocation.
  unsigned char* chunkBuffer();
  // The rows of the current chunk, for moveRowChunk.
  void moveChunkRows(bool write);

  std::unique_ptr<unsigned char[]> chunk;
  size_t chunkBytes = 0;
  bool chunkHoldsFileBytes = false;  // a read left file bytes in the padding
  std::unique_ptr<double[]> alignedRow;  // one row of elements, for stored rows that break alignment
  size_t alignedRowBytes = 0;
};

// ---------------------------------------------------------------- data manager

// One image held in memory, keyed by (handle, index).
struct QOR_API TImageCell {
  int used;
  int handle;
  int index;
  TqorImageBase* image;  // owned
  int fileCoding = 0;    // the file's disk coding and image count when the image was made
  int fileImages = 0;
};

// One file name that is open or cached.
struct QOR_API TEnsmbleProperty {
  TEnsmbleProperty() : used(0), strategy(0), openCount(0) {}
  int used;
  std::string fileName;  // compared in full; empty for unnamed streams
  int strategy;          // bit 0: keep images when freed; bit 1: do not write back
  int openCount;         // ensembles open on this handle
};

// Caching strategy bits.
enum { qorKeepInMemory = 1, qorDoNotWrite = 2 };

typedef void (*TqorUserHook)(TQORDataManager* manager, int code, const char* message);

// The registry of format drivers, the handle table and the image cells, and the
// error state of the flat interface.
class QOR_API TQORDataManager {
public:
  TQORDataManager();
  ~TQORDataManager();
  TQORDataManager(const TQORDataManager&) = delete;
  TQORDataManager& operator=(const TQORDataManager&) = delete;

  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* p) noexcept;

  // Appends a driver prototype; the manager owns it, and deletes it when it
  // cannot be appended.
  void addFormatDriver(TFileFormatDriver* d);
  int driversNumber() { return drivers.count(); }
  TFileFormatDriver* getDriver(int n);
  TFileFormatDriver* getDriverWithID(int id);

  void setCachingStrategy(const char* name, int strategy);
  // Strategy of a name, 0 when the name has no handle.
  int cachingStrategy(const char* name);
  void enableStrategies() { strategiesEnabled = 1; }
  void disableStrategies() { strategiesEnabled = 0; }
  void rejectAllImagesFromMemory();
  void rejectAllSignalsFromMemory() { rejectAllImagesFromMemory(); }

  int maxHandles() const { return int(handles.size()); }
  int maxImages() const { return int(imageCells.size()); }

  // The most bytes one image may take, checked against every size read from
  // a file before anything is allocated; 0 means no limit. Default 1 GiB.
  void setMaxImageBytes(int64_t bytes) { maxImageBytes_ = bytes > 0 ? bytes : 0; }
  int64_t maxImageBytes() const { return maxImageBytes_; }
  enum : int64_t { defaultMaxImageBytes = int64_t(1) << 30 };

  // Flat interface error state.
  int hookInstalled;
  void* jumpBuffer;  // owned
  void* userData;
  TqorUserHook userHook;
  int lastError;
  char lastErrorMessage[400];
  int allocationFailed;

private:
  friend class TImageEnsemble;
  int getHandle(const char* name);
  // A handle taken by an open ensemble; released by freeHandle.
  int openHandle(const char* name);
  void freeHandle(int h);
  int handleStrategy(int h) const { return h >= 0 && h < maxHandles() ? handles[size_t(h)].strategy : 0; }
  int findCellWithImageOrEmptyCell(int handle, int index, int* found);
  void freeCell(int c);

  int strategiesEnabled;
  int64_t maxImageBytes_ = defaultMaxImageBytes;
  std::vector<TImageCell> imageCells;
  std::vector<TEnsmbleProperty> handles;
  TqorVector<TFileFormatDriver> drivers;
  int noDriversYet;
};

// Scope guard: sets a caching strategy on the default manager and clears it again.
class QOR_API TKavEnsCaching {
public:
  TKavEnsCaching() : strategy(0) {}
  TKavEnsCaching(const char* name, int strategy);
  ~TKavEnsCaching();
  TKavEnsCaching(const TKavEnsCaching&) = delete;
  TKavEnsCaching& operator=(const TKavEnsCaching&) = delete;

private:
  std::string fileName;
  int strategy;
};

QOR_API TQORDataManager* allocateQORDataManager();
QOR_API void destroyQORDataManager(TQORDataManager* m);
// A new manager with every format driver registered; the caller owns it.
QOR_API TQORDataManager* getQorDataManager();
// The process-wide manager pointer, filled on first use.
QOR_API TQORDataManager*& getDefaultQorDataManager();
// 0 on the first call, then 1, 2, ...
QOR_API int qorGetNextFormatID();
QOR_API int _qorVersion();

#endif
