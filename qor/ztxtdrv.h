// Image lists: a text file naming one single-image file per line, seen as
// one ensemble whose image k is the image of the k-th named file. The driver
// moves no pixels itself: an inner ensemble opened on the member file does.
#ifndef ZTXTDRV_H
#define ZTXTDRV_H

#include <memory>
#include <string>
#include <vector>

#include "zsigens1.h"
#include "zsigens2.h"

// ---------------------------------------------------------------- on-disk layout

// Plain text; lines end in CR LF as written, at LF when read (a CR before it
// is trailing white space):
//   line 1  the signature (a reader looks at its first 33 characters only)
//   line 2  the number of images N, then " - Number of images "
//   line 3  the file-name mask the names were made from
//   line 4 to N + 3  the member file names, image 0 first
namespace imgListLayout {
inline constexpr char signature[] = "QOR IMAGE-LIST ENSEMBLE SIGNATURE";
inline constexpr int signatureSize = 33;
inline constexpr char lineEnd[] = "\r\n";
// A line holds at most this many characters before its LF (its CR included).
inline constexpr int maxLine = 99;
// The mask field of the descriptor, its terminating NUL included.
inline constexpr int maskSize = 256;
// Each '?' of a mask numbers ten files.
inline constexpr int namesPerMark = 10;
}  // namespace imgListLayout

// ---------------------------------------------------------------- descriptor

class QOR_API TImgListFileInfo : public TFileInfo {
public:
  TImgListFileInfo();
  // A new list of numberOfImages member files, named from mask, each
  // created as inner describes. A factory-made inner (flag bit 0) belongs to
  // this descriptor until a list is created with it.
  TImgListFileInfo(const char* mask, TFileInfo* inner, int numberOfImages);
  // Copies share the inner descriptor without owning it.
  TImgListFileInfo(const TImgListFileInfo& other);
  TImgListFileInfo& operator=(const TImgListFileInfo& other);
  ~TImgListFileInfo() override;
  // The size and coding of the member open now; 0 when none is.
  QOR_DESCRIBES(inner ? inner->coding() : 0, inner ? inner->sizeX() : 0, inner ? inner->sizeY() : 0, numberOfImages_);

  // The inner descriptor for a create: an owned one passes to the caller
  // (its flag bit 0 makes the ensemble it is opened with delete it).
  TFileInfo* takeInner();

  TFileInfo* inner;          // descriptor of the member file open now
  int32_t numberOfImages_;   // N
  char mask[imgListLayout::maskSize];
  int32_t maskLength;        // characters of the mask asked for, also when they did not fit

private:
  bool ownsInner;
};

// A descriptor of a new list, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiImgListFileInfo(const char* mask, TFileInfo* inner, int numberOfImages);

// ---------------------------------------------------------------- driver

class TImgListFormatDriver : public TFileFormatDriver {
public:
  TImgListFormatDriver();
  ~TImgListFormatDriver() override;
  QOR_FORMAT_DRIVER_STEPS;
  TFileInfo* getFileInfo() override { return &fileInfo; }
  // Opens member index in the inner ensemble.
  void updateFileInfo(int index) override;
  int readNextChunk() override { return readNestedChunk(); }
  int writeNextChunk() override { return writeNestedChunk(); }
  int hasPalette() override;
  int paletteSize() override;
  int queryState() override { return 1; }

  // The member file names, image 0 first.
  const std::vector<std::string>& memberNames() const { return names; }

private:
  // Fresh inner and second ensembles on the outer ensemble's manager variable.
  void makeEnsembles();
  bool innerOpen() const { return inner && inner->is_open(); }
  TImageEnsemble* nestedImages() override { return innerOpen() ? inner.get() : nullptr; }
  void nestedReadDone() override;
  void takePaletteOfInner();
  // Generates the member names from the descriptor's mask.
  void generateNames();
  // Refuses a member name that is the list's own file.
  void checkNotSelf(const std::string& name);
  // A member is written into a new file beside it, which replaces the
  // member only once the write is complete: a refused write leaves it as it was.
  void commitNested() override;
  void abandonNested() override;

  TImgListFileInfo fileInfo;
  std::unique_ptr<TImageEnsemble> inner;   // the member file open now
  std::unique_ptr<TImageEnsemble> second;  // while writing: holds a copy of the member descriptor
  std::vector<std::string> names;
  std::string writingTo;    // the new file of the member being written
  std::string replacing;    // the member file it replaces
};

#endif
