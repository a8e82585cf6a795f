#include "zdcxdrv.h"

#include <climits>
#include <cstring>
#include <new>

#include "zpcxdrv.h"
#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

// Offsets from the start of the file; all words little-endian, 32 bits.
namespace dcxLayout {
inline constexpr int magic = 0;      // 0x3ADE68B1
inline constexpr int pageTable = 4;  // page offsets, then a 0 word
inline constexpr uint32_t magicWord = 0x3ADE68B1u;
inline constexpr int wordBytes = 4;
inline constexpr int maxPages = 1024;
}  // namespace dcxLayout

// ---------------------------------------------------------------- descriptor

TDcxFileInfo::~TDcxFileInfo() = default;

int TDcxFileInfo::formatID() { return idDCX(); }

TFileInfo* fiDcxFileInfo(int coding, int sizeX, int sizeY, int numberOfImages) {
  return qorOwnedFileInfo<TDcxFileInfo>(coding, sizeX, sizeY, numberOfImages);
}

// ---------------------------------------------------------------- driver

TDcxFormatDriver::TDcxFormatDriver() : tableEntries(0), dataEnd(0), pageManager(nullptr) {}

TDcxFormatDriver::~TDcxFormatDriver() {
  try {
    pages.reset();
  } catch (...) {
  }
}

void TDcxFormatDriver::makePageEnsemble() {
  pages.reset();
  // the pages follow the manager variable of the file's ensemble, so they
  // close against the manager it still knows
  pageManager = manager;
  pages.reset(new TImageEnsemble(ensemble ? ensemble->managerReference() : pageManager));
  if (!pages) QOR_RAISE_MEMORY();
  if (!table) {
    table.reset(new (std::nothrow) uint32_t[dcxLayout::maxPages + 1]);
    if (!table) QOR_RAISE_MEMORY();
  }
  std::memset(table.get(), 0, sizeof(uint32_t) * (dcxLayout::maxPages + 1));
  tableEntries = 0;
}

int TDcxFormatDriver::recognizeFormat() {
  unsigned char bytes[dcxLayout::wordBytes];
  if (!readPrefix(bytes, dcxLayout::wordBytes)) return 0;
  return qorLE::get32(bytes) == dcxLayout::magicWord;
}

int TDcxFormatDriver::readHeader() {
  fillPaletteAsGrey();
  makePageEnsemble();
  fileInfo = TDcxFileInfo();
  // a caller's stream may not know its size (0): the last page then runs as far as it reads
  dataEnd = stream->size() > 0 ? stream->size() : INT32_MAX;
  unsigned char word[dcxLayout::wordBytes];
  if (!readPrefix(word, dcxLayout::wordBytes) || qorLE::get32(word) != dcxLayout::magicWord)
    QOR_RAISE("DCX file \"%s\" does not begin with the DCX magic word.", fileNameForMessages());
  // the table ends at its first 0 word, after maxPages entries or where the file ends
  unsigned char words[dcxLayout::maxPages * dcxLayout::wordBytes];
  const int got = stream->read(words, int(sizeof words));
  const int whole = got > 0 ? got / dcxLayout::wordBytes : 0;
  int n = 0;
  while (n < whole && n < dcxLayout::maxPages) {
    const uint32_t at = qorLE::get32(words + n * dcxLayout::wordBytes);
    if (at == 0) break;
    table[size_t(n)] = at;
    ++n;
  }
  tableEntries = n;
  fileInfo.numberOfImages_ = n;
  stream->clear();
  // a file without pages has nothing to select
  if (n > 0) updateFileInfo(0);
  return 0;
}

int64_t TDcxFormatDriver::pageEnd(int page) const {
  const uint32_t from = table[size_t(page)];
  int64_t end = dataEnd;
  for (int k = 0; k < tableEntries; ++k)
    if (table[size_t(k)] > from && table[size_t(k)] < end) end = table[size_t(k)];
  return end;
}

void TDcxFormatDriver::updateFileInfo(int page) {
  if (!pages || page < 0 || page >= tableEntries)
    QOR_RAISE("DCX file \"%s\": there is no page %d.", fileNameForMessages(), page);
  const int64_t from = table[size_t(page)];
  const int64_t tableEnd = dcxLayout::pageTable + int64_t(tableEntries) * dcxLayout::wordBytes;
  if (from == 0) QOR_RAISE("DCX file \"%s\": page %d was never written.", fileNameForMessages(), page);
  if (from < tableEnd || from >= dataEnd)
    QOR_RAISE("DCX file \"%s\": page %d starts at offset %lld, outside the page data (%lld to %lld).",
              fileNameForMessages(), page, (long long)from, (long long)tableEnd, (long long)dataEnd);
  const int64_t end = pageEnd(page);
  if (from > INT32_MAX || end - from > INT32_MAX)
    QOR_RAISE("DCX file \"%s\": page %d lies beyond 2 GiB.", fileNameForMessages(), page);
  {
    NestedOpen nested("DCX file", fileNameForMessages());
    auto* window = new TqorRestrictedStream(stream, int(from), int(end - from));
    if (!window) QOR_RAISE_MEMORY();
    if (!seekTo(from)) stream->seek(long(from), SEEK_SET);
    pages->open(window);
  }
  fileInfo.sizeX_ = pages->sizeX();
  fileInfo.sizeY_ = pages->sizeY();
  fileInfo.coding_ = pages->coding();
  std::memcpy(palette, pages->getPalette(), sizeof palette);
}

int TDcxFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create a DCX file";
  const int n = source->numberOfImages();
  const int coding = source->coding();
  const int64_t width = source->sizeX(), height = source->sizeY();
  if (n < 0 || n > dcxLayout::maxPages)
    QOR_RAISE("%s: %d pages asked for; a DCX file holds 0 to %d.", what, n, dcxLayout::maxPages);
  if (coding != 1 && coding != 4 && coding != 8 && coding != 24)
    QOR_RAISE("%s: %d bits per pixel cannot be written; the pages store 1, 4, 8 or 24.", what, coding);
  if (width < 1 || width > TPcxHead::maxSide || height < 1 || height > TPcxHead::maxSide)
    QOR_RAISE("%s: the size %lld x %lld is outside 1 to %d pixels a side, which a page holds.", what,
              (long long)width, (long long)height, TPcxHead::maxSide);
  makePageEnsemble();
  adoptDescriptor(fileInfo, withCallerFields(TDcxFileInfo(coding, int(width), int(height), n), source));
  tableEntries = n;
  unsigned char bytes[dcxLayout::wordBytes * (dcxLayout::maxPages + 2)] = {};
  qorLE::put32(bytes, dcxLayout::magicWord);
  const int headerBytes = dcxLayout::pageTable + (n + 1) * dcxLayout::wordBytes;
  writeAtStart(bytes, headerBytes);
  dataEnd = headerBytes;
  return 0;
}

int TDcxFormatDriver::writeImage(TqorImageBase* image, int page) {
  if (!pages || page < 0 || page >= tableEntries)
    QOR_RAISE("DCX file \"%s\": there is no page %d to write.", fileNameForMessages(), page);
  if (dataEnd > INT32_MAX) QOR_RAISE("DCX file \"%s\": pages cannot begin beyond 2 GiB.", fileNameForMessages());
  const uint32_t at = uint32_t(dataEnd);
  pendingPage = -1;
  if (!seekTo(at)) QOR_RAISE("DCX file \"%s\": the end of the data cannot be reached.", fileNameForMessages());
  {
    NestedOpen nested("DCX file", fileNameForMessages());
    auto* window = new TqorRestrictedStream(stream, int(at), 0);
    if (!window) QOR_RAISE_MEMORY();
    pages->open(window, fiPcxFileInfo(fileInfo.coding_, fileInfo.sizeX_, fileInfo.sizeY_, 1));
    std::memcpy(pages->getPalette(), palette, sizeof palette);
    pendingPage = page;
    pendingAt = at;
    writeNested(image);
  }
  return 0;
}

void TDcxFormatDriver::commitNested() {
  if (pendingPage < 0) return;
  const int page = pendingPage;
  pendingPage = -1;
  const int64_t end = stream->tell();
  if (end > dataEnd) dataEnd = end;
  table[size_t(page)] = pendingAt;
  unsigned char word[dcxLayout::wordBytes];
  qorLE::put32(word, pendingAt);
  if (!seekTo(dcxLayout::pageTable + int64_t(page) * dcxLayout::wordBytes))
    QOR_RAISE("DCX file \"%s\": the page table cannot be reached.", fileNameForMessages());
  stream->write(word, dcxLayout::wordBytes);
  if (!seekTo(dataEnd)) stream->seek(0, SEEK_END);
}

int TDcxFormatDriver::readImage(TqorImageBase* image, int) {
  if (!pagesOpen()) QOR_RAISE("DCX file \"%s\": no page is selected.", fileNameForMessages());
  {
    NestedOpen nested("DCX file", fileNameForMessages());
    readNested(image);
  }
  // the page's palette, also when the rows are still to come chunk by chunk
  std::memcpy(palette, pages->getPalette(), sizeof palette);
  std::memcpy(image->getPalette(), palette, sizeof palette);
  return 0;
}

void TDcxFormatDriver::nestedReadDone() {
  std::memcpy(palette, pages->getPalette(), sizeof palette);
  std::memcpy(currentImage->getPalette(), palette, sizeof palette);
}

void TDcxFormatDriver::abandonNested() {
  pendingPage = -1;
  // what the page left past the end of the data goes; a caller's stream keeps its length
  if (auto* file = dynamic_cast<TqorFileStream*>(stream))
    if (file->size() > dataEnd) file->truncate(int(dataEnd));
}

int TDcxFormatDriver::hasPalette() {
  return bitsHavePalette(fileInfo.coding_);
}

int TDcxFormatDriver::paletteSize() {
  return paletteEntriesOf(fileInfo.coding_);
}
