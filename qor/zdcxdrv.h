// DCX files: a page table followed by one complete PCX file per page. The
// driver moves no pixels itself: each page is read or written through a
// second ensemble opened on a window of the file that covers the page.
#ifndef ZDCXDRV_H
#define ZDCXDRV_H

#include <memory>

#include "zsigens1.h"
#include "zsigens2.h"

// ---------------------------------------------------------------- on-disk layout

// ---------------------------------------------------------------- descriptor

class QOR_API TDcxFileInfo : public TFileInfo {
public:
  TDcxFileInfo() : sizeX_(0), sizeY_(0), coding_(0), numberOfImages_(0) {}
  // A new file of numberOfImages pages, each a run-length encoded PCX file
  // of the coding (1, 4, 8 or 24) and size.
  TDcxFileInfo(int coding, int sizeX, int sizeY, int numberOfImages)
      : sizeX_(sizeX), sizeY_(sizeY), coding_(coding), numberOfImages_(numberOfImages) {}
  ~TDcxFileInfo() override;
  QOR_DESCRIBES(coding_, sizeX_, sizeY_, numberOfImages_);

  // When a file is read, the size and coding are those of the page selected last.
  int32_t sizeX_;
  int32_t sizeY_;
  int32_t coding_;
  int32_t numberOfImages_;
};

// A descriptor of a new file, deleted by the ensemble that opens with it.
QOR_API TFileInfo* fiDcxFileInfo(int coding, int sizeX, int sizeY, int numberOfImages);

// ---------------------------------------------------------------- driver

class TDcxFormatDriver : public TFileFormatDriver {
public:
  TDcxFormatDriver();
  ~TDcxFormatDriver() override;
  // updateFileInfo selects a page: its window is opened in the page ensemble.
  QOR_NESTED_DRIVER_STEPS(fileInfo);

  // The page table: offsets of the pages, 0 for pages not written.
  const uint32_t* pageTable() const { return table.get(); }

private:
  // A fresh page ensemble bound to the manager of the file's ensemble.
  void makePageEnsemble();
  bool pagesOpen() const { return pages && pages->is_open(); }
  TImageEnsemble* nestedImages() override { return pagesOpen() ? pages.get() : nullptr; }
  void nestedReadDone() override;
  // First byte after page i: the smallest table entry above its own, else
  // the end of the data.
  int64_t pageEnd(int page) const;
  // Enters the page written last into the table once all of its data is
  // out: a page that fails leaves the table and the end of data as they were.
  void commitNested() override;
  // Forgets the page being written and cuts a file back to the end of its data.
  void abandonNested() override;

  TDcxFileInfo fileInfo;
  std::unique_ptr<uint32_t[]> table;  // maxPages + 1 words, zeroed
  int tableEntries;                   // entries of the table on disk (pages announced or read)
  int64_t dataEnd;                    // end of the file's data
  TQORDataManager* pageManager;      // the pages' manager variable when no ensemble is served
  std::unique_ptr<TImageEnsemble> pages;
  int pendingPage = -1;     // the page being written, not yet in the table
  uint32_t pendingAt = 0;   // where its data begins
};

#endif
