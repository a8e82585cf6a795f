#include "zsigens1.h"

#include <strings.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "zcodings.h"
#include "zkavdrv.h"
#include "zsigens2.h"
#include "zsignal1.h"
#include "zstream.h"

// ---------------------------------------------------------------- helpers

namespace {

char* copyText(const char* text) {
  if (!text) text = "";
  size_t n = std::strlen(text) + 1;
  char* copy = new (std::nothrow) char[n];
  if (!copy) QOR_RAISE_MEMORY();
  std::memcpy(copy, text, n);
  return copy;
}

int elementBytes(int type) {
  switch (type) {
    case stDouble: return 8;
    case stSShort: return 2;
    default: return 1;
  }
}

// The memory of an image: pixels, and for a bitmap also the header block.
struct ImageMemory {
  void* pixels;
  size_t pixelBytes;
  void* header;
  size_t headerBytes;
};

ImageMemory memoryOf(TqorImageBase* image, int type) {
  if (type == stBitmap) {
    auto* dib = static_cast<TWinDibImage*>(image);
    return {dib->getPixelData(), size_t(dib->bitmapBitsSize()), dib->getBITMAPINFOHEADER(),
            size_t(dib->bitmapInfoSize())};
  }
  return {image->ptr(), size_t(image->size()) * size_t(elementBytes(type)), nullptr, 0};
}

void copyBytes(void* to, const void* from, size_t n) {
  if (to && from && to != from && n) std::memmove(to, from, n);
}

// Caller buffers of one transfer; for bitmaps buf is the header block and buf2 the bits.
void copyOut(TqorImageBase* image, int type, void* buf, void* buf2) {
  ImageMemory m = memoryOf(image, type);
  if (type == stBitmap) {
    copyBytes(buf, m.header, m.headerBytes);
    copyBytes(buf2, m.pixels, m.pixelBytes);
  } else {
    copyBytes(buf, m.pixels, m.pixelBytes);
  }
}

void copyIn(TqorImageBase* image, int type, const void* buf, const void* buf2) {
  ImageMemory m = memoryOf(image, type);
  if (type == stBitmap) {
    copyBytes(m.header, buf, m.headerBytes);
    copyBytes(m.pixels, buf2, m.pixelBytes);
  } else {
    copyBytes(m.pixels, buf, m.pixelBytes);
  }
}

// Bytes of one row of an image of type in memory; -1 for a negative width or an unknown type.
int64_t memoryRowBytes(int type, int sizeX, int bitsPerPixel) {
  if (sizeX < 0) return -1;
  int64_t w = sizeX;
  switch (type) {
    case stDouble: return 8 * w;
    case stSShort: return 2 * w;
    case stUChar:
    case stSChar: return w;
    case stRGB: return 3 * w;
    case stOneBit: return (w + 31) / 32 * 4;
    case stBitmap: {
      int64_t bpp = TWinDibImage::conformBitsPerPixel2SupportedValue(bitsPerPixel);
      return bpp > 0 ? (bpp * w + 31) / 32 * 4 : -1;
    }
    default: return -1;
  }
}

// Largest file that can be read: sizes and offsets of streams are ints.
constexpr int64_t largestReadableFile = INT32_MAX;

// Ends a written file where the driver's last write ended, when the driver's
// write ends the file's data; other streams keep their length.
void finishWrite(TFileFormatDriver& d, TqorStream* s) {
  auto* file = dynamic_cast<TqorFileStream*>(s);
  if (!file) return;
  if (d.writeEndsFile() && !file->fail()) {
    const int end = file->tell();
    if (end > 0 && end < file->size()) file->truncate(end);
    else if (end >= 0) file->seek(end, SEEK_SET);
  }
  file->flush();
}

}  // namespace

// ---------------------------------------------------------------- construction

TImageEnsemble::TImageEnsemble(TQORDataManager*& m)
    : managerRef(&m), handle(-1), fileName_(nullptr), stream_(nullptr), driver(nullptr),
      paletteBuffer(nullptr), numberOfImages_(0), sizeX_(0), sizeY_(0), size_(0), absolutePath(nullptr) {}

TImageEnsemble::TImageEnsemble(const char* name, TQORDataManager*& m) : TImageEnsemble(m) { open(name); }

TImageEnsemble::TImageEnsemble(const char* name, TFileInfo* info, TQORDataManager*& m) : TImageEnsemble(m) {
  open(name, info);
}

TImageEnsemble::TImageEnsemble(const char* name, int n, const TKavEnsembleHead& head, TQORDataManager*& m)
    : TImageEnsemble(m) {
  open(name, n, head);
}

TImageEnsemble::~TImageEnsemble() {
  try {
    close();
  } catch (...) {
    // a destructor never throws; close() frees what it can before any failure
  }
  delete[] paletteBuffer;
  delete driver;
  delete stream_;
  delete[] fileName_;
  std::free(absolutePath);
}

// ---------------------------------------------------------------- checks

void TImageEnsemble::checkQORMgr(TQORDataManager*& ref) {
  if (!ref)
    QOR_RAISE("The main struct of the QOR library - TQORDataManager was  deleted you could not perform the "
              "requested operation.");
}

TQORDataManager& TImageEnsemble::mgr() {
  checkQORMgr(*managerRef);
  return **managerRef;
}

void TImageEnsemble::checkIndex(int i) {
  if (i < 0 || i >= numberOfImages_)
    QOR_RAISE("\n index out of range: i = %d, numberOfImages = %d file: %s.", i, numberOfImages_,
              fileName_ ? fileName_ : "");
}

TFileFormatDriver& TImageEnsemble::requireDriver() {
  if (!driver) QOR_RAISE("The ensemble is not open.");
  return *driver;
}

TFileInfo* TImageEnsemble::getFileInfo() { return requireDriver().getFileInfo(); }

void TImageEnsemble::initSizes() {
  TFileInfo* info = getFileInfo();
  numberOfImages_ = info->numberOfImages();
  sizeX_ = info->sizeX();
  sizeY_ = info->sizeY();
  size_ = long(sizeX_) * sizeY_;
}

int TImageEnsemble::findCellWithImageOrEmptyCell(int i, int* found) {
  TQORDataManager& m = mgr();
  checkIndex(i);
  return m.findCellWithImageOrEmptyCell(handle, i, found);
}

int TImageEnsemble::imageIsLoaded(int i) {
  int found = 0;
  findCellWithImageOrEmptyCell(i, &found);
  return found;
}

int TImageEnsemble::cachesImages() { return mgr().handleStrategy(handle) & qorKeepInMemory; }

// ---------------------------------------------------------------- opening

int TImageEnsemble::open(const char* name, TQORDataManager*) {
  checkQORMgr(*managerRef);
  if (is_open()) close();
  delete[] fileName_;
  fileName_ = nullptr;
  fileName_ = copyText(name);
  std::free(absolutePath);
  absolutePath = nullptr;

  // only regular files: a directory would open for reading on this platform
  struct stat st;
  if (stat(fileName_, &st) == 0 && !S_ISREG(st.st_mode)) QOR_RAISE_OPEN(fileName_);
  FILE* f = std::fopen(fileName_, "r+b");
  if (!f) f = std::fopen(fileName_, "rb");
  if (!f) QOR_RAISE_OPEN(fileName_);
  // stream sizes and offsets are ints: a larger file would read as a truncated one
  // (a build with a 32-bit off_t learns of such a file only through EOVERFLOW)
  struct stat opened;
  if (fstat(fileno(f), &opened) != 0) {
    bool tooLarge = errno == EOVERFLOW;
    std::fclose(f);
    if (tooLarge) QOR_RAISE("File \"%s\" is too large: files of 2 GiB or more cannot be read.", fileName_);
    QOR_RAISE_OPEN(fileName_);
  }
  if (int64_t(opened.st_size) > largestReadableFile) {
    std::fclose(f);
    QOR_RAISE("File \"%s\" is too large: %lld bytes; files of 2 GiB or more cannot be read.", fileName_,
              static_cast<long long>(opened.st_size));
  }
  auto* s = new TqorFileStream(f);
  if (!s) {
    std::fclose(f);
    QOR_RAISE_MEMORY();
  }
  s->useOwnBuffer();
  if (s->size() == 0) {
    s->close();
    delete s;
    QOR_RAISE("Size of file \"%s\" equals to zero!", fileName_);
  }
  absolutePath = realpath(fileName_, nullptr);
  return open(static_cast<TqorStream*>(s));
}

int TImageEnsemble::open(TqorStream* s, TQORDataManager*) {
  adoptStream(s);
  checkQORMgr(*managerRef);
  if (!fileName_) fileName_ = copyText("");
  handle = mgr().openHandle(fileName_);
  try {
    int id = getFormatContainedInFile();
    TFileFormatDriver* d = getDriver(id);
    delete driver;
    driver = d;
    if (!driver->uses_iostream() && stream_) stream_->close();
    driver->releaseImageState();
    driver->readHeader();
    initSizes();
    dropStaleImages(false);
  } catch (...) {
    release();
    throw;
  }
  return 0;
}

void TImageEnsemble::adoptStream(TqorStream* s) {
  // the stream is the ensemble's from the first moment, whatever fails afterwards
  if (is_open()) close();
  if (stream_ != s) delete stream_;
  stream_ = s;
}

namespace {

// The format a file name's extension announces, null for other names.
const char* formatOfExtension(const char* name) {
  static const struct {
    const char* extension;
    const char* format;
  } known[] = {{"bmp", "BMP"},  {"dib", "BMP"},   {"pcx", "PCX"},  {"dcx", "DCX"},  {"tga", "TGA"},
               {"tif", "TIFF"}, {"tiff", "TIFF"}, {"jpg", "JPEG"}, {"jpeg", "JPEG"}, {"png", "PNG"},
               {"fts", "astronomical (FITS)"}, {"fits", "astronomical (FITS)"}, {"fit", "astronomical (FITS)"}};
  const char* dot = name ? std::strrchr(name, '.') : nullptr;
  if (!dot || std::strchr(dot, '/')) return nullptr;
  for (const auto& k : known)
    if (strcasecmp(dot + 1, k.extension) == 0) return k.format;
  return nullptr;
}

}  // namespace

int TImageEnsemble::getFormatContainedInFile() {
  TQORDataManager& m = mgr();
  for (int n = 0; n < m.driversNumber(); ++n) {
    std::unique_ptr<TFileFormatDriver> d(m.getDriver(n)->createInstance());
    if (!d) continue;
    d->init(this, stream_);
    if (stream_->fail()) stream_->clear();
    int recognised = 0;
    try {
      recognised = d->recognizeFormat();
    } catch (const x_qor&) {
      recognised = 0;  // a detection test that trips over the data is a "no"
    }
    stream_->clear();
    if (recognised) return d->getFileInfo()->formatID();
  }
  if (const char* looks = formatOfExtension(fileName_))
    QOR_RAISE("Unknown type of file %s: it is named as a %s file, but no driver of this library reads it as one.",
              fileName_, looks);
  QOR_RAISE("Unknown type of file %s\n or code has not been generated for this format( see file zqorcfg).",
            fileName_ ? fileName_ : "");
}

TFileFormatDriver* TImageEnsemble::getDriver(int id) {
  TFileFormatDriver* d = mgr().getDriverWithID(id)->createInstance();
  if (!d) QOR_RAISE_MEMORY();
  d->init(this, stream_);
  return d;
}

namespace {
// Deletes a descriptor that the ensemble owns (flag bit 0) when the open ends, however it ends.
struct OwnedInfo {
  TFileInfo* info;
  ~OwnedInfo() {
    if (info && (info->getf() & TFileInfo::ownedByEnsemble)) delete info;
  }
};
}  // namespace

int TImageEnsemble::open(const char* name, TFileInfo* info, TQORDataManager*) {
  OwnedInfo owned{info};
  checkQORMgr(*managerRef);
  if (is_open()) close();
  if (!info) QOR_RAISE("No file descriptor was given to create \"%s\".", name ? name : "");
  delete[] fileName_;
  fileName_ = nullptr;
  fileName_ = copyText(name);
  std::free(absolutePath);
  absolutePath = nullptr;
  TqorStream* s;
  if (info->formatID() == idKAVMEM()) {
    // an in-memory ensemble has no bytes: an empty window stands in for its stream
    s = new TqorMemoryStream(nullptr, 0);
    if (!s) QOR_RAISE_MEMORY();
  } else {
    struct stat st;
    if (stat(fileName_, &st) == 0 && !S_ISREG(st.st_mode)) QOR_RAISE_OPEN(fileName_);
    FILE* f = std::fopen(fileName_, "w+b");
    if (!f) QOR_RAISE_OPEN(fileName_);
    auto* file = new TqorFileStream(f);
    if (!file) {
      std::fclose(f);
      QOR_RAISE_MEMORY();
    }
    file->useOwnBuffer();
    s = file;
    absolutePath = realpath(fileName_, nullptr);
  }
  if (info->formatID() == idKAVMEM()) {
    create(s, info);
    return 0;
  }
  // a create that fails leaves no file behind
  const std::string made = absolutePath ? absolutePath : fileName_;
  try {
    create(s, info);
  } catch (...) {
    std::remove(made.c_str());
    throw;
  }
  createdHere = true;
  return 0;
}

int TImageEnsemble::open(TqorStream* s, TFileInfo* info, TQORDataManager*) {
  OwnedInfo owned{info};
  checkQORMgr(*managerRef);
  if (!info) QOR_RAISE("No file descriptor was given to create a file.");
  create(s, info);
  return 0;
}

void TImageEnsemble::create(TqorStream* s, TFileInfo* info) {
  adoptStream(s);
  checkQORMgr(*managerRef);
  if (!fileName_) fileName_ = copyText("");
  handle = mgr().openHandle(fileName_);
  try {
    int id = info->formatID();
    bool inMemory = id == idKAVMEM();
    // images kept from the file this one replaces are not its images; an
    // in-memory ensemble's kept images are its data
    if (!inMemory) dropStaleImages(true);
    TFileFormatDriver* d = getDriver(id);
    delete driver;
    driver = d;
    if ((inMemory || !driver->uses_iostream()) && stream_) stream_->close();
    driver->createFile(info);
    if (!inMemory && driver->uses_iostream() && stream_ && stream_->fail())
      QOR_RAISE("Error while writing to disk(output stream). Disk full?");
    initSizes();
    if (inMemory) dropStaleImages(false);
  } catch (...) {
    release();
    throw;
  }
}

int TImageEnsemble::open(const char* name, int n, const TKavEnsembleHead& head, TQORDataManager*) {
  TKavFileInfo info(head, n);
  return open(name, &info);
}

// ---------------------------------------------------------------- closing

void TImageEnsemble::close() {
  if (handle == -1) return;
  TQORDataManager* m = *managerRef;
  if (m) {
    pending = Pending();
    rejectAllImagesFromMemory();
    // images left cached no longer belong to this ensemble
    for (TImageCell& cell : m->imageCells)
      if (cell.used && cell.handle == handle && cell.image && cell.image->ensemble == this)
        cell.image->ensemble = nullptr;
  }
  release();
}

void TImageEnsemble::release() {
  int flags = 0;
  int format = -1;
  if (driver) {
    flags = driver->getf();
    format = driver->getFileInfo()->formatID();
  }
  delete driver;
  driver = nullptr;
  if (stream_ && format != idKAVMEM() && !(flags & qorKeepStreamOpen)) stream_->close();
  if (((flags & qorDeleteOnClose) || removeOnClose) && (absolutePath || fileName_))
    std::remove(absolutePath ? absolutePath : fileName_);
  if (flags & qorCallerStream) stream_ = nullptr;
  delete[] fileName_;
  fileName_ = nullptr;
  std::free(absolutePath);
  absolutePath = nullptr;
  if (TQORDataManager* m = *managerRef) m->freeHandle(handle);
  handle = -1;
  createdHere = removeOnClose = chunkFailed = false;
  pending = Pending();
  numberOfImages_ = sizeX_ = sizeY_ = 0;
  size_ = 0;
}

// ---------------------------------------------------------------- images

int64_t TImageEnsemble::bytesAtSize(int type) {
  if (sizeY_ < 0) return -1;
  int bitsPerPixel = type == stBitmap ? getFileInfo()->bitsPerPixel() : 0;
  int64_t rowBytes = memoryRowBytes(type, sizeX_, bitsPerPixel);
  return rowBytes < 0 ? -1 : rowBytes * sizeY_;
}

void TImageEnsemble::checkBufferRoom(int i, int type) {
  const int64_t bytes = bytesAtSize(type);
  if (type == stBitmap && headerRoom >= 0 && winDibInfoSize() > headerRoom)
    QOR_RAISE("Image %d of \"%s\" has a bitmap header of %d bytes; the buffer given for it was sized for %lld "
              "bytes. Ask the image's size once it is open (getXxxImage).",
              i, fileName_ ? fileName_ : "", winDibInfoSize(), static_cast<long long>(headerRoom));
  if (bufferRoom >= 0 && bytes > bufferRoom)
    QOR_RAISE("Image %d of \"%s\" is %d x %d pixels and takes %lld bytes; the buffer given for it was sized for "
              "%lld bytes. Ask the image's size once it is open (getXxxImage).",
              i, fileName_ ? fileName_ : "", sizeX_, sizeY_, static_cast<long long>(bytes),
              static_cast<long long>(bufferRoom));
}

void TImageEnsemble::checkImageBytes(int i, int type) {
  int64_t limit = mgr().maxImageBytes();
  if (limit <= 0) return;
  int64_t bytes = bytesAtSize(type);  // -1: the image class refuses such a geometry itself
  if (bytes > limit)
    QOR_RAISE("Image %d of \"%s\" would take %lld bytes, more than the %lld bytes one image may take "
              "(TQORDataManager::setMaxImageBytes).",
              i, fileName_ ? fileName_ : "", static_cast<long long>(bytes), static_cast<long long>(limit));
}

TqorImageBase* TImageEnsemble::makeImageObject(int i, int type, void* p, void* q) {
  switch (type) {
    case stDouble: return new TDoubleImage(this, sizeY_, sizeX_, i, p);
    case stSChar: return new TSCharImage(this, sizeY_, sizeX_, i, p);
    case stSShort: return new TSShortImage(this, sizeY_, sizeX_, i, p);
    case stUChar: return new TUCharImage(this, sizeY_, sizeX_, i, p);
    case stRGB: return new TRGBImage(this, sizeY_, sizeX_, i, p);
    case stOneBit: return new TOneBitImage(this, sizeY_, sizeX_, i, p);
    case stBitmap: return new TWinDibImage(this, sizeY_, sizeX_, i, p, q, getFileInfo()->bitsPerPixel());
    default: return nullptr;
  }
}

TqorImageBase* TImageEnsemble::getImage(int i, int empty, int type, void* p, void* q) {
  int found = 0;
  int c = findCellWithImageOrEmptyCell(i, &found);
  TQORDataManager& m = mgr();
  if (found) {
    TqorImageBase* cached = m.imageCells[size_t(c)].image;
    if (cached->coding() != type)
      QOR_RAISE("You could not load one image twice with different coding in memory\n Image N %d is being "
                "loaded second time.",
                i);
    cached->ensemble = this;
    return cached;
  }
  TFileFormatDriver& d = requireDriver();
  if (!empty) {
    d.updateFileInfo(i);
    initSizes();
  }
  checkImageBytes(i, type);
  checkBufferRoom(i, type);
  TqorImageBase* image = makeImageObject(i, type, p, q);
  if (!image) QOR_RAISE_MEMORY();
  m.imageCells[size_t(c)] = TImageCell{1, handle, i, image, d.getFileInfo()->coding(), numberOfImages_};
  if (!empty) chunkFailed = false;
  try {
    if (!image->valid()) QOR_RAISE_MEMORY();
    if (stream_) stream_->clear();
    if (!empty) {
      d.releaseImageState();
      d.readImage(image, i);
    }
    std::memcpy(image->palette, d.getPalette(), sizeof image->palette);
    image->paletteSize_ = d.paletteSize();
    if (!empty) image->updateAfterReading();
    if (stream_ && stream_->fail()) QOR_RAISE("Error while reading from disk.");
  } catch (...) {
    // the cell must not hand out an image that was never read
    d.forgetImage(image);
    m.freeCell(c);
    throw;
  }
  return image;
}

int TImageEnsemble::putImage(int i) {
  int found = 0;
  int c = findCellWithImageOrEmptyCell(i, &found);
  TQORDataManager& m = mgr();
  if (!found)
    QOR_RAISE("There is no TqorImageBase inherited object with image = %d in memory( and fileName = %s ).(Hint: "
              "use imageIsLoaded(int)to determine wheather some image is still in memory.",
              i, fileName_ ? fileName_ : "");
  TqorImageBase* image = m.imageCells[size_t(c)].image;
  image->updateBeforeWriting();
  if (m.handleStrategy(handle) & qorDoNotWrite) return 0;
  TFileFormatDriver& d = requireDriver();
  if (stream_) stream_->clear();
  chunkFailed = false;
  std::memcpy(d.getPalette(), image->palette, sizeof image->palette);
  int r = 0;
  try {
    r = d.writeImage(image, i);
    // bytes still in the file buffer must reach the disk now, not silently in close()
    if (!(d.getf() & qorChunkMode)) finishWrite(d, stream_);
    if (stream_ && stream_->fail()) QOR_RAISE("Error while writing to disk. Disk full?");
  } catch (...) {
    writeFailed();
    throw;
  }
  if (!(d.getf() & qorChunkMode)) writeDone();
  return r;
}

int TImageEnsemble::freeImage(int i) {
  int found = 0;
  int c = findCellWithImageOrEmptyCell(i, &found);
  TQORDataManager& m = mgr();
  if (!found) QOR_RAISE("There is no TqorImageBase inherited object with image = %d in memory.", i);
  if (m.handleStrategy(handle) & qorKeepInMemory) return 0;
  if (driver) driver->forgetImage(m.imageCells[size_t(c)].image);
  m.freeCell(c);
  if (pending.index == i) pending = Pending();
  return 0;
}

void TImageEnsemble::rejectAllImagesFromMemory() {
  TQORDataManager& m = mgr();
  // straight through the cells: a cached image may lie beyond today's image count
  if (m.handleStrategy(handle) & qorKeepInMemory) return;
  for (size_t c = 0; c < m.imageCells.size(); ++c) {
    TImageCell& cell = m.imageCells[c];
    if (!cell.used || cell.handle != handle) continue;
    if (driver) driver->forgetImage(cell.image);
    m.freeCell(int(c));
  }
  pending = Pending();
}

int TImageEnsemble::increaseImagesNumber(int n) {
  TFileFormatDriver& d = requireDriver();
  if (n > 0 && d.imageNumberIncreasingIsPossible()) {
    d.increaseImagesNumber(n);
    numberOfImages_ = d.getFileInfo()->numberOfImages();
  }
  return numberOfImages_;
}

// ---------------------------------------------------------------- transfers through caller buffers

namespace {
// True when the image's memory is the caller's buffer itself.
bool wrapsBuffer(TqorImageBase* image, int type, const void* buf, const void* buf2) {
  ImageMemory m = memoryOf(image, type);
  return type == stBitmap ? m.pixels == buf2 && m.header == buf : m.pixels == buf;
}
}  // namespace

namespace {
// The room of the caller's buffer, for the length of one transfer.
struct BufferRoom {
  BufferRoom(int64_t& r, int64_t& h, int64_t bytes, int64_t header) : room(r), headerRoom(h) {
    room = bytes;
    headerRoom = header;
  }
  ~BufferRoom() { room = headerRoom = -1; }
  int64_t& room;
  int64_t& headerRoom;
};
}  // namespace

void TImageEnsemble::readInto(int i, int type, void* buf, void* buf2) {
  // an image held before the call stays held; a cached image owns its pixels:
  // in both cases the caller's buffer is filled from the image
  bool held = imageIsLoaded(i);
  bool cached = cachesImages();
  BufferRoom room(bufferRoom, headerRoom, driver ? bytesAtSize(type) : -1,
                  driver && type == stBitmap ? winDibInfoSize() : -1);
  TqorImageBase* image = held || cached ? getImage(i, 0, type, nullptr) : getImage(i, 0, type, buf, buf2);
  bool copy = !wrapsBuffer(image, type, buf, buf2);
  if (copy) checkBufferRoom(i, type);
  if ((requireDriver().getf() & qorChunkMode) && !held) {
    pending.index = i;
    pending.reading = 1;
    pending.copyOut = copy;
    pending.buf = buf;
    pending.buf2 = buf2;
    pending.type = type;
    return;
  }
  if (copy) copyOut(image, type, buf, buf2);
  if (!held) freeImage(i);
}

void TImageEnsemble::writeFrom(int i, int type, void* buf, void* buf2) {
  bool held = imageIsLoaded(i);
  bool cached = cachesImages();
  TqorImageBase* image = held || cached ? getImage(i, 1, type, nullptr) : getImage(i, 1, type, buf, buf2);
  try {
    if (!wrapsBuffer(image, type, buf, buf2)) copyIn(image, type, buf, buf2);
    putImage(i);
  } catch (...) {
    // a refused write must not leave an image over the caller's buffer in a cell
    if (!held && !cached) dropImage(i);
    throw;
  }
  if (requireDriver().getf() & qorChunkMode) {
    pending.index = held ? -1 : i;
    pending.reading = 0;
    pending.copyOut = 0;
    pending.type = type;
    return;
  }
  if (!held) freeImage(i);
}

void TImageEnsemble::dropImage(int i) {
  TQORDataManager& m = mgr();
  int found = 0;
  int c = m.findCellWithImageOrEmptyCell(handle, i, &found);
  if (!found) return;
  if (driver) driver->forgetImage(m.imageCells[size_t(c)].image);
  m.freeCell(c);
}

void TImageEnsemble::finishPending() {
  Pending done = pending;
  pending = Pending();
  if (done.index < 0 || !imageIsLoaded(done.index)) return;
  if (done.copyOut) {
    int found = 0;
    int c = findCellWithImageOrEmptyCell(done.index, &found);
    copyOut(mgr().imageCells[size_t(c)].image, done.type, done.buf, done.buf2);
  }
  freeImage(done.index);
}

#define QOR_ENSEMBLE_IMAGE_TYPE(Xxx, Cls, Elem, code)                                                  \
  Cls* TImageEnsemble::get##Xxx##Image(int i, void* buf) {                                             \
    return static_cast<Cls*>(getImage(i, 0, code, buf));                                               \
  }                                                                                                      \
  Cls* TImageEnsemble::getEmpty##Xxx##Image(int i, void* buf) {                                        \
    return static_cast<Cls*>(getImage(i, 1, code, buf));                                               \
  }                                                                                                      \
  void TImageEnsemble::read##Xxx##Image(int i, Elem* buf) { readInto(i, code, buf, nullptr); }           \
  void TImageEnsemble::write##Xxx##Image(int i, Elem* buf) { writeFrom(i, code, buf, nullptr); }
QOR_ENSEMBLE_IMAGE_TYPE(UChar, TUCharImage, unsigned char, stUChar)
QOR_ENSEMBLE_IMAGE_TYPE(SChar, TSCharImage, signed char, stSChar)
QOR_ENSEMBLE_IMAGE_TYPE(SShort, TSShortImage, short, stSShort)
QOR_ENSEMBLE_IMAGE_TYPE(Double, TDoubleImage, double, stDouble)
QOR_ENSEMBLE_IMAGE_TYPE(RGB, TRGBImage, unsigned char, stRGB)
QOR_ENSEMBLE_IMAGE_TYPE(OneBit, TOneBitImage, unsigned char, stOneBit)
#undef QOR_ENSEMBLE_IMAGE_TYPE

TWinDibImage* TImageEnsemble::getWinDibImage(int i, void* header, void* bits) {
  return static_cast<TWinDibImage*>(getImage(i, 0, stBitmap, header, bits));
}
TWinDibImage* TImageEnsemble::getEmptyWinDibImage(int i, void* header, void* bits) {
  return static_cast<TWinDibImage*>(getImage(i, 1, stBitmap, header, bits));
}
void TImageEnsemble::readWinDibImage(int i, void* header, void* bits) { readInto(i, stBitmap, header, bits); }
void TImageEnsemble::writeWinDibImage(int i, void* header, void* bits) { writeFrom(i, stBitmap, header, bits); }

// ---------------------------------------------------------------- native heads

TKavEnsembleHead& TImageEnsemble::head() {
  auto* info = dynamic_cast<TKavFileInfo*>(getFileInfo());
  if (!info) QOR_RAISE("Head records exist only in native files; \"%s\" is not one.", fileName_ ? fileName_ : "");
  return info->head;
}

TKavEnsembleHead& TImageEnsemble::head(int i) {
  auto* kav = dynamic_cast<TKavFormatDriver*>(driver);
  if (!kav || getFileInfo()->formatID() != idKAV())
    QOR_RAISE("Head records exist only in native files; \"%s\" is not one.", fileName_ ? fileName_ : "");
  if (i < 0 || i >= numberOfImages_)
    QOR_RAISE("\n index out of range: i = %d, numberOfImages = %d file: %s.", i, numberOfImages_,
              fileName_ ? fileName_ : "");
  return kav->readHead(i);
}

// ---------------------------------------------------------------- palette, flags, chunks

TqorPaletteItem* TImageEnsemble::getPalette() { return requireDriver().getPalette(); }
int TImageEnsemble::paletteSize() { return requireDriver().paletteSize(); }
int TImageEnsemble::hasPalette() { return requireDriver().hasPalette(); }
void TImageEnsemble::fillPaletteAsGray() { requireDriver().fillPaletteAsGrey(); }

unsigned char* TImageEnsemble::get_palette_c() {
  if (!paletteBuffer) {
    paletteBuffer = new (std::nothrow) unsigned char[768];
    if (!paletteBuffer) QOR_RAISE_MEMORY();
  }
  const TqorPaletteItem* p = requireDriver().getPalette();
  for (int k = 0; k < 256; ++k) {
    paletteBuffer[3 * k] = p[k].red;
    paletteBuffer[3 * k + 1] = p[k].green;
    paletteBuffer[3 * k + 2] = p[k].blue;
  }
  return paletteBuffer;
}

int TImageEnsemble::setf(int bits) { return requireDriver().setf(bits); }
int TImageEnsemble::getf() { return requireDriver().getf(); }
void TImageEnsemble::clearf(int bits) { requireDriver().clearf(bits); }

void TImageEnsemble::checkChunkStream(bool write) {
  if (!chunkFailed && !(stream_ && stream_->fail())) return;
  chunkFailed = true;
  // the rows that were there reach the caller's buffer
  if (pending.index >= 0 && pending.reading != write) finishPending();
  if (write) {
    writeFailed();
    QOR_RAISE("Error while writing to disk. Disk full?");
  }
  QOR_RAISE("Error while reading from disk.");
}

int TImageEnsemble::readNextChunk() {
  TFileFormatDriver& d = requireDriver();
  checkChunkStream(false);
  int r = 1;
  try {
    r = d.readNextChunk();
  } catch (...) {
    chunkFailed = true;
    if (pending.index >= 0 && pending.reading) finishPending();
    throw;
  }
  checkChunkStream(false);
  if (r == 1 && pending.index >= 0 && pending.reading) finishPending();
  return r;
}

int TImageEnsemble::writeNextChunk() {
  TFileFormatDriver& d = requireDriver();
  checkChunkStream(true);
  int r = 1;
  try {
    r = d.writeNextChunk();
    if (r == 1) finishWrite(d, stream_);
  } catch (...) {
    chunkFailed = true;
    writeFailed();
    throw;
  }
  checkChunkStream(true);
  if (r == 1) writeDone();
  if (r == 1 && pending.index >= 0 && !pending.reading) finishPending();
  return r;
}

void TImageEnsemble::writeFailed() {
  if (createdHere) removeOnClose = true;
}

void TImageEnsemble::writeDone() { createdHere = removeOnClose = false; }

void TImageEnsemble::dropStaleImages(bool all) {
  TQORDataManager* m = *managerRef;
  if (!m || handle < 0) return;
  const int coding = !all && driver ? driver->getFileInfo()->coding() : 0;
  for (size_t c = 0; c < m->imageCells.size(); ++c) {
    TImageCell& cell = m->imageCells[c];
    if (!cell.used || cell.handle != handle || !cell.image) continue;
    // an image another ensemble holds open is its own, whatever the file is now
    if (cell.image->ensemble && cell.image->ensemble != this) continue;
    const bool stale = all || cell.index >= numberOfImages_ || cell.fileCoding != coding ||
                       cell.fileImages != numberOfImages_ || cell.image->sizeX() != sizeX_ ||
                       cell.image->sizeY() != sizeY_;
    if (stale) m->freeCell(int(c));
  }
}

int TImageEnsemble::rowsPerChunk() { return requireDriver().rowsPerChunk(); }
int TImageEnsemble::chunksNumber() { return requireDriver().chunksNumber(); }
int TImageEnsemble::top2BottomReading() { return requireDriver().top2BottomReading(); }

// ---------------------------------------------------------------- device-independent bitmaps

int64_t TImageEnsemble::imageBytes(int type) {
  TFileFormatDriver& d = requireDriver();
  int bitsPerPixel = type == stBitmap ? getFileInfo()->bitsPerPixel() : 0;
  int64_t rowBytes = memoryRowBytes(type, sizeX_, bitsPerPixel);
  if (rowBytes < 0 || sizeY_ < 0)
    QOR_RAISE("No image of type %d can be made of \"%s\" (%d x %d pixels).", type, fileName_ ? fileName_ : "",
              sizeX_, sizeY_);
  // A probe image over borrowed bytes asks the driver for its converter; a
  // driver that reads through an inner ensemble has none and finds out there.
  unsigned char scratch[8] = {};
  std::unique_ptr<TqorImageBase> probe(makeImageObject(-1, type, scratch, scratch));
  if (!probe) QOR_RAISE_MEMORY();
  std::unique_ptr<TImgConvertA2B> converter(type == stBitmap ? d.getTWinDibImageConverter(probe.get(), 0)
                                                             : d.getConverterDisk2Memory(probe.get()));
  return rowBytes * sizeY_;
}

int TImageEnsemble::winDibInfoSize() { return TWinDibImage::bitmapInfoSize(getFileInfo()->bitsPerPixel()); }

long TImageEnsemble::winDibBitsSize() {
  long b = TWinDibImage::conformBitsPerPixel2SupportedValue(getFileInfo()->bitsPerPixel());
  return ((b * sizeX_ + 31) / 32) * 4 * long(sizeY_);
}

void TImageEnsemble::getWinDibInfo(void* p) {
  TWinDibImage::writeBitmapInfo(sizeX_, sizeY_, getFileInfo()->bitsPerPixel(), requireDriver().getPalette(), p);
}
