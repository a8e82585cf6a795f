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
  char mask[256];
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
  // updateFileInfo opens member index in the inner ensemble.
  QOR_NESTED_DRIVER_STEPS(fileInfo);

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
