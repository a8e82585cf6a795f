// The image ensemble: one open file (or stream, or in-memory set) of images
// that share one size and one disk coding.
#ifndef ZSIGENS1_H
#define ZSIGENS1_H

#include "zsigens2.h"
#include "zsignal1.h"
#include "zstream.h"

struct TKavEnsembleHead;

class QOR_API TImageEnsemble : public TqorObject {
public:
  explicit TImageEnsemble(TQORDataManager*& mgr = getDefaultQorDataManager());
  TImageEnsemble(const char* name, TQORDataManager*& mgr = getDefaultQorDataManager());
  TImageEnsemble(const char* name, TFileInfo* info, TQORDataManager*& mgr = getDefaultQorDataManager());
  TImageEnsemble(const char* name, int n, const TKavEnsembleHead& head,
                 TQORDataManager*& mgr = getDefaultQorDataManager());
  ~TImageEnsemble() override;
  TImageEnsemble(const TImageEnsemble&) = delete;
  TImageEnsemble& operator=(const TImageEnsemble&) = delete;

  // Opens an existing file, detecting its format.
  int open(const char* name, TQORDataManager* mgr = nullptr);
  // Opens an existing file on a stream, which the ensemble takes over.
  int open(TqorStream* s, TQORDataManager* mgr = nullptr);
  // Creates a file described by info.
  int open(const char* name, TFileInfo* info, TQORDataManager* mgr = nullptr);
  // Creates a file on a stream, which the ensemble takes over.
  int open(TqorStream* s, TFileInfo* info, TQORDataManager* mgr = nullptr);
  // Creates a native file of n images headed by head.
  int open(const char* name, int n, const TKavEnsembleHead& head, TQORDataManager* mgr = nullptr);
  void close();

  int is_open() const { return handle != -1; }
  const char* fileName() const { return fileName_; }
  TqorStream& stream() { return *stream_; }
  int numberOfImages() const { return numberOfImages_; }
  int signalsNumber() const { return numberOfImages_; }
  int sizeX() const { return sizeX_; }
  int sizeY() const { return sizeY_; }
  long size() const { return size_; }
  TFileInfo* getFileInfo();
  int formatID() { return getFileInfo()->formatID(); }
  int coding() { return getFileInfo()->coding(); }
  TQORDataManager* getQORDataManager() const { return *managerRef; }
  // The caller's manager variable this ensemble follows; ensembles a driver
  // opens inside this one follow the same variable.
  TQORDataManager*& managerReference() const { return *managerRef; }
  // 1 when image i of this file is held in a manager cell.
  int imageIsLoaded(int i);

  // Native format only: the head of the last image read or written, or of image i.
  TKavEnsembleHead& head();
  TKavEnsembleHead& head(int i);

  // Images: get reads image i, getEmpty makes an unread image to fill and write;
  // with a buffer the image wraps the caller's memory.
#define QOR_ENSEMBLE_IMAGE_TYPE(Xxx, Cls, Elem)                 \
  Cls* get##Xxx##Image(int i, void* buf = nullptr);             \
  Cls* getEmpty##Xxx##Image(int i, void* buf = nullptr);        \
  void read##Xxx##Image(int i, Elem* buf);                        \
  void write##Xxx##Image(int i, Elem* buf);                       \
  Cls* get##Xxx##Signal(int i, void* buf = nullptr) { return get##Xxx##Image(i, buf); }            \
  Cls* getEmpty##Xxx##Signal(int i, void* buf = nullptr) { return getEmpty##Xxx##Image(i, buf); }  \
  void read##Xxx##Signal(int i, Elem* buf) { read##Xxx##Image(i, buf); }                            \
  void write##Xxx##Signal(int i, Elem* buf) { write##Xxx##Image(i, buf); }
  QOR_ENSEMBLE_IMAGE_TYPE(UChar, TUCharImage, unsigned char)
  QOR_ENSEMBLE_IMAGE_TYPE(SChar, TSCharImage, signed char)
  QOR_ENSEMBLE_IMAGE_TYPE(SShort, TSShortImage, short)
  QOR_ENSEMBLE_IMAGE_TYPE(RGB, TRGBImage, unsigned char)
  QOR_ENSEMBLE_IMAGE_TYPE(OneBit, TOneBitImage, unsigned char)
#undef QOR_ENSEMBLE_IMAGE_TYPE

  TDoubleImage* getDoubleImage(int i, void* buf = nullptr);
  TDoubleImage* getEmptyDoubleImage(int i, void* buf = nullptr);
  void readDoubleImage(int i, double* buf);
  void writeDoubleImage(int i, double* buf);
  TDoubleImage* getSignal(int i, void* buf = nullptr) { return getDoubleImage(i, buf); }
  TDoubleImage* getEmptySignal(int i, void* buf = nullptr) { return getEmptyDoubleImage(i, buf); }
  void readSignal(int i, double* buf) { readDoubleImage(i, buf); }
  void writeSignal(int i, double* buf) { writeDoubleImage(i, buf); }

  // Device-independent bitmaps take the header block and the pixel bits.
  TWinDibImage* getWinDibImage(int i, void* header = nullptr, void* bits = nullptr);
  TWinDibImage* getEmptyWinDibImage(int i, void* header = nullptr, void* bits = nullptr);
  void readWinDibImage(int i, void* header, void* bits);
  void writeWinDibImage(int i, void* header, void* bits);

  // Writes the image held for index i to the file.
  int putImage(int i);
  int putSignal(int i) { return putImage(i); }
  // Releases the image held for index i (kept under caching strategy bit 0).
  int freeImage(int i);
  int freeSignal(int i) { return freeImage(i); }
  void rejectAllImagesFromMemory();
  void rejectAllSignalsFromMemory() { rejectAllImagesFromMemory(); }
  // Appends n images where the format allows; returns the image count.
  int increaseImagesNumber(int n);
  int increaseSignalsNumber(int n) { return increaseImagesNumber(n); }

  // Palette and flags of the driver.
  TqorPaletteItem* getPalette();
  int paletteSize();
  int hasPalette();
  void fillPaletteAsGray();
  // The palette as 768 bytes, red, green, blue per entry.
  unsigned char* get_palette_c();
  int setf(int bits);
  int getf();
  void clearf(int bits);

  // Chunks: with driver flag 2 the caller moves rowsPerChunk() rows per call
  // until a call returns 1.
  int readNextChunk();
  int writeNextChunk();
  int rowsPerChunk();
  int chunksNumber();
  int top2BottomReading();

  // Bytes of the pixel memory of one image of type (stXXX) at the ensemble's
  // size (for stBitmap the pixel bits; the header is winDibInfoSize()).
  // Raises error 3 when the driver cannot deliver the file's coding as type.
  int64_t imageBytes(int type);

  // Device-independent bitmap of the file's depth.
  int winDibInfoSize();
  long winDibBitsSize();
  void getWinDibInfo(void* p);

private:
  TqorImageBase* getImage(int i, int empty, int type, void* p, void* q = nullptr);
  TFileFormatDriver* getDriver(int id);
  int getFormatContainedInFile();
  int findCellWithImageOrEmptyCell(int i, int* found);
  void initSizes();
  void checkIndex(int i);
  void checkQORMgr(TQORDataManager*& ref);
  TFileFormatDriver& requireDriver();
  TQORDataManager& mgr();
  // Raises error 3 when image i in memory type would pass the manager's image-size limit.
  void checkImageBytes(int i, int type);
  // Bytes of an image of type at the ensemble's size now; -1 when the type
  // cannot hold such an image.
  int64_t bytesAtSize(int type);
  // Raises error 3 when image i of type, at the size of the image open now,
  // needs more than the bufferRoom bytes of the caller's buffer.
  void checkBufferRoom(int i, int type);
  TqorImageBase* makeImageObject(int i, int type, void* p, void* q);
  void create(TqorStream* s, TFileInfo* info);
  // Closes an open ensemble and takes the stream over.
  void adoptStream(TqorStream* s);
  int cachesImages();
  // Transfers between the caller's buffer and image i: the engine of readXxx / writeXxx.
  void readInto(int i, int type, void* buf, void* buf2);
  void writeFrom(int i, int type, void* buf, void* buf2);
  void finishPending();
  // Deletes the image of index i, if one is held, whatever the caching strategy.
  void dropImage(int i);
  // Deletes the driver, closes the stream and releases the handle.
  void release();
  // Deletes the images kept for this file name that no longer match the file
  // as it is open now (all of them when the file was made anew).
  void dropStaleImages(bool all);
  // A write that failed: a file this ensemble created, into which no write
  // has succeeded yet, is removed when it closes.
  void writeFailed();
  void writeDone();
  // Raises the short-file or failed-write error of a chunk transfer.
  void checkChunkStream(bool write);

  TQORDataManager** managerRef;
  int handle;
  char* fileName_;
  TqorStream* stream_;
  TFileFormatDriver* driver;
  unsigned char* paletteBuffer;
  int numberOfImages_;
  int sizeX_;
  int sizeY_;
  long size_;
  char* absolutePath;  // for driver flag 4
  // A read or write through the caller's buffer waiting for its chunks (chunk mode).
  struct Pending {
    int index = -1;
    int reading = 0;
    int copyOut = 0;
    int type = 0;
    void* buf = nullptr;
    void* buf2 = nullptr;
  } pending;
  // Bytes of the caller's buffer in the transfer under way, sized by the
  // size the ensemble reported before it (the members of an image list
  // differ); -1 outside such a transfer.
  int64_t bufferRoom = -1;
  int64_t headerRoom = -1;  // bitmaps: bytes of the caller's header buffer
  bool createdHere = false;   // the file was created by this ensemble's open, and no write succeeded yet
  bool removeOnClose = false; // a write into that file failed
  bool chunkFailed = false;   // a chunk of the transfer under way failed: later chunks fail too
};

#endif
