// The flat interface: each function forwards to one operation of the classes
// under the failure capture of qorFlat::runGuarded.
#define QOR_FLAT_INTERNAL
#include "zqorflat.h"

#include <cstdlib>
#include <cstring>

#include "zbmpdrv.h"
#include "zbmpos2.h"
#if QOR_WITH_JPEG
#include "zjpgdrv.h"
#endif
#if QOR_WITH_TIFF
#include "ztiffdrv.h"
#endif
#if QOR_WITH_PNG
#include "zpngdrv.h"
#endif
#include "zdcxdrv.h"
#include "zpcxdrv.h"
#include "ztxtdrv.h"
#include "ztgadrv.h"
#include "zkavdrv.h"
#include "zmemdrv.h"
#include "zovnutil.h"
#include "zsigens1.h"
#include "zsigens2.h"
#include "zsignal1.h"
#include "zstream.h"

// The C names of the codings are the C++ ones.
static_assert(qorCodingDouble == stDouble && qorCodingSChar == stSChar && qorCodingSShort == stSShort &&
                  qorCodingUChar == stUChar && qorCodingUShort == stUShort && qorCodingSLong == stSLong &&
                  qorCodingULong == stULong && qorCodingRGB == stRGB && qorCodingOneBit == stOneBit &&
                  qorCodingBitmap == stBitmap,
              "element codings");
static_assert(qorCoding1BitPerPix == image1BitPerPix && qorCoding4BitPerPix == image4BitPerPix &&
                  qorCoding8BitPerPix == image8BitPerPix && qorCoding15BitPerPix == image15BitPerPix &&
                  qorCoding16BitPerPix == image16BitPerPix && qorCoding24BitPerPix == image24BitPerPix &&
                  qorCoding32BitPerPix == image32BitPerPix,
              "bits-per-pixel codings");

// ---------------------------------------------------------------- failure capture

namespace qorFlat {

namespace {

// Code and text of a failure that was not an x_qor.
constexpr int unknownErrorCode = 32000;
const char unknownErrorText[] = "Unknown error";

void record(TQORDataManager* m, int code, const char* text) {
  if (!text) text = "";
  size_t n = strnlen(text, sizeof m->lastErrorMessage - 1);
  std::memcpy(m->lastErrorMessage, text, n);
  m->lastErrorMessage[n] = '\0';
  m->lastError = code;
}

}  // namespace

bool runGuarded(TQORDataManager* manager, void (*op)(void* context), void* context) noexcept {
  int code = 0;
  try {
    op(context);
    return true;
  } catch (const x_qor& e) {
    code = e.error();
    if (manager) record(manager, code, e.msg());
  } catch (...) {
    code = unknownErrorCode;
    if (manager) record(manager, code, unknownErrorText);
  }
  // The exception is finished with; from here on the hook may leave by longjmp.
  if (manager && manager->hookInstalled && manager->userHook)
    manager->userHook(manager, code, manager->lastErrorMessage);
  return false;
}

}  // namespace qorFlat

namespace {

using qorFlat::guarded;

TQORDataManager* managerOf(TImageEnsemble* e) { return e ? e->getQORDataManager() : nullptr; }

// Close and destroy release the ensemble even when its manager is gone; a
// failure then has nowhere to go and is dropped.
template <class F>
void released(TQORDataManager* m, F op) noexcept {
  qorFlat::runGuarded(m, &qorFlat::invokeClosure<F>, &op);
}

// A descriptor the caller handed over to an open that never happened.
void disposeDescriptor(TFileInfo* info) {
  if (info && (info->getf() & TFileInfo::ownedByEnsemble)) delete info;
}

// A stream over the caller's functions. A missing function fails: read, seek
// and tell give -1, write, size and close give 0.
class TqorCInterfaceStream : public TqorStream {
public:
  TqorCInterfaceStream(void* data, qorReadFn r, qorWriteFn w, qorSeekFn s, qorTellFn t, qorCloseFn c,
                       qorSizeFn z)
      : userData(data), readFn(r), writeFn(w), seekFn(s), tellFn(t), closeFn(c), sizeFn(z) {}

protected:
  int readMethod(void* buffer, int length) override { return readFn ? readFn(userData, buffer, length) : -1; }
  int writeMethod(const void* buffer, int length) override {
    return writeFn ? writeFn(userData, buffer, length) : 0;
  }
  int seekMethod(long offset, int origin) override { return seekFn ? seekFn(userData, offset, origin) : -1; }
  int tellMethod() override { return tellFn ? tellFn(userData) : -1; }
  int closeMethod() override { return closeFn ? closeFn(userData) : 0; }
  int sizeMethod() override { return sizeFn ? sizeFn(userData) : 0; }

private:
  void* userData;
  qorReadFn readFn;
  qorWriteFn writeFn;
  qorSeekFn seekFn;
  qorTellFn tellFn;
  qorCloseFn closeFn;
  qorSizeFn sizeFn;
};

// Closes e and hands it a new caller stream; open takes the stream over at once.
TqorStream* freshStream(TImageEnsemble* e, void* userData, qorReadFn r, qorWriteFn w, qorSeekFn s, qorTellFn t,
                        qorCloseFn c, qorSizeFn z) {
  e->close();
  TqorStream* stream = new TqorCInterfaceStream(userData, r, w, s, t, c, z);
  if (!stream) QOR_RAISE_MEMORY();
  return stream;
}

}  // namespace

// ---------------------------------------------------------------- managers

extern "C" QOR_API qorManager* qorCreateManager(void) {
  try {
    return getQorDataManager();
  } catch (...) {
    return nullptr;
  }
}

extern "C" QOR_API void qorDestroyManager(qorManager* manager) {
  try {
    destroyQORDataManager(manager);
  } catch (...) {
    // nothing to report to: the manager held the error state
  }
}

extern "C" QOR_API long long qorSetMaxImageBytes(qorManager* manager, long long bytes) {
  if (!manager) return -1;
  long long previous = manager->maxImageBytes();
  manager->setMaxImageBytes(bytes);
  return previous;
}

extern "C" QOR_API long long qorGetMaxImageBytes(qorManager* manager) {
  return manager ? manager->maxImageBytes() : -1;
}

// ---------------------------------------------------------------- ensemble lifetime

extern "C" QOR_API qorEnsemble* qorEns_Create(qorManager** managerRef) {
  if (!managerRef) return nullptr;
  try {
    return new TImageEnsemble(*managerRef);
  } catch (...) {
    return nullptr;
  }
}

extern "C" QOR_API qorEnsemble* qorEns_COpen(qorManager** managerRef, const char* fileName) {
  TQORDataManager* m = managerRef ? *managerRef : nullptr;
  return guarded(m, static_cast<TImageEnsemble*>(nullptr), [=] {
    TImageEnsemble* e = new TImageEnsemble(fileName, *managerRef);
    if (!e) QOR_RAISE_MEMORY();
    return e;
  });
}

extern "C" QOR_API qorEnsemble* qorEns_COpenNew(qorManager** managerRef, const char* fileName, qorFileInfo* info) {
  TQORDataManager* m = managerRef ? *managerRef : nullptr;
  if (!m) {
    disposeDescriptor(info);
    return nullptr;
  }
  return guarded(m, static_cast<TImageEnsemble*>(nullptr), [=] {
    TImageEnsemble* e = new TImageEnsemble(fileName, info, *managerRef);
    if (!e) {
      disposeDescriptor(info);
      QOR_RAISE_MEMORY();
    }
    return e;
  });
}

extern "C" QOR_API void qorEns_Open(qorEnsemble* ensemble, const char* fileName) {
  TQORDataManager* m = managerOf(ensemble);
  guarded(m, [=] { ensemble->open(fileName, m); });
}

extern "C" QOR_API void qorEns_OpenNew(qorEnsemble* ensemble, const char* fileName, qorFileInfo* info) {
  TQORDataManager* m = managerOf(ensemble);
  if (!m) {
    disposeDescriptor(info);
    return;
  }
  guarded(m, [=] { ensemble->open(fileName, info, m); });
}

extern "C" QOR_API void qorEns_CustomOpen(qorEnsemble* ensemble, void* userData, qorReadFn readFn,
                                          qorWriteFn writeFn, qorSeekFn seekFn, qorTellFn tellFn,
                                          qorCloseFn closeFn, qorSizeFn sizeFn) {
  TQORDataManager* m = managerOf(ensemble);
  guarded(m, [=] {
    ensemble->open(freshStream(ensemble, userData, readFn, writeFn, seekFn, tellFn, closeFn, sizeFn), m);
  });
}

extern "C" QOR_API void qorEns_CustomOpenNew(qorEnsemble* ensemble, qorFileInfo* info, void* userData,
                                             qorReadFn readFn, qorWriteFn writeFn, qorSeekFn seekFn,
                                             qorTellFn tellFn, qorCloseFn closeFn, qorSizeFn sizeFn) {
  TQORDataManager* m = managerOf(ensemble);
  if (!m) {
    disposeDescriptor(info);
    return;
  }
  guarded(m, [=] {
    TqorStream* s;
    try {
      s = freshStream(ensemble, userData, readFn, writeFn, seekFn, tellFn, closeFn, sizeFn);
    } catch (...) {
      disposeDescriptor(info);
      throw;
    }
    ensemble->open(s, info, m);
  });
}

extern "C" QOR_API void qorEns_Close(qorEnsemble* ensemble) {
  if (!ensemble) return;
  released(managerOf(ensemble), [=] { ensemble->close(); });
}

extern "C" QOR_API void qorEns_Destroy(qorEnsemble* ensemble) {
  if (!ensemble) return;
  released(managerOf(ensemble), [=] { delete ensemble; });
}

// ---------------------------------------------------------------- image transfers

#define QOR_FLAT_TRANSFER(Xxx, Elem)                                                                  \
  extern "C" QOR_API void qorEns_Read##Xxx##Image(qorEnsemble* ensemble, int i, Elem* memory) {        \
    guarded(managerOf(ensemble), [=] { ensemble->read##Xxx##Image(i, memory); });                      \
  }                                                                                                    \
  extern "C" QOR_API void qorEns_Write##Xxx##Image(qorEnsemble* ensemble, int i, Elem* memory) {       \
    guarded(managerOf(ensemble), [=] { ensemble->write##Xxx##Image(i, memory); });                     \
  }
QOR_FLAT_TRANSFER(UChar, unsigned char)
QOR_FLAT_TRANSFER(SChar, signed char)
QOR_FLAT_TRANSFER(SShort, short)
QOR_FLAT_TRANSFER(Double, double)
QOR_FLAT_TRANSFER(RGB, unsigned char)
QOR_FLAT_TRANSFER(OneBit, unsigned char)
#undef QOR_FLAT_TRANSFER

extern "C" QOR_API void qorEns_ReadWinDibImage(qorEnsemble* ensemble, int i, void* header, void* bits) {
  guarded(managerOf(ensemble), [=] { ensemble->readWinDibImage(i, header, bits); });
}

extern "C" QOR_API void qorEns_WriteWinDibImage(qorEnsemble* ensemble, int i, void* header, void* bits) {
  guarded(managerOf(ensemble), [=] { ensemble->writeWinDibImage(i, header, bits); });
}

extern "C" QOR_API int qorEns_WinDibInfoSize(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->winDibInfoSize(); });
}

extern "C" QOR_API long qorEns_WinDibBitsSize(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0L, [=] { return ensemble->winDibBitsSize(); });
}

extern "C" QOR_API void qorEns_GetWinDibInfo(qorEnsemble* ensemble, void* destination) {
  guarded(managerOf(ensemble), [=] { ensemble->getWinDibInfo(destination); });
}

extern "C" QOR_API long long qorEns_ImageBytes(qorEnsemble* ensemble, int type) {
  return guarded(managerOf(ensemble), 0LL, [=] { return static_cast<long long>(ensemble->imageBytes(type)); });
}

// ---------------------------------------------------------------- chunks and flags

extern "C" QOR_API int qorEns_ReadNextChunk(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->readNextChunk(); });
}

extern "C" QOR_API int qorEns_WriteNextChunk(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->writeNextChunk(); });
}

extern "C" QOR_API int qorEns_RowsPerChunk(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->rowsPerChunk(); });
}

extern "C" QOR_API int qorEns_ChunksNumber(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->chunksNumber(); });
}

extern "C" QOR_API int qorEns_Top2BottomReading(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->top2BottomReading(); });
}

extern "C" QOR_API int qorEns_SetF(qorEnsemble* ensemble, int flags) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->setf(flags); });
}

extern "C" QOR_API int qorEns_GetF(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->getf(); });
}

extern "C" QOR_API int qorEns_ClearF(qorEnsemble* ensemble, int flags) {
  guarded(managerOf(ensemble), [=] { ensemble->clearf(flags); });
  return 0;
}

// ---------------------------------------------------------------- ensemble properties

extern "C" QOR_API const char* qorEns_FileName(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), static_cast<const char*>(nullptr), [=] { return ensemble->fileName(); });
}

extern "C" QOR_API qorFileInfo* qorEns_getEnsInfo(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), static_cast<TFileInfo*>(nullptr), [=] { return ensemble->getFileInfo(); });
}

extern "C" QOR_API int qorEns_FormatID(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), -1, [=] { return ensemble->formatID(); });
}

extern "C" QOR_API int qorEns_Coding(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), -1, [=] { return ensemble->coding(); });
}

extern "C" QOR_API int qorEns_BytesPerSizeX(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return TOneBitImage::getSizeOfRow(ensemble->sizeX()); });
}

extern "C" QOR_API int qorEns_IncreaseImagesNumber(qorEnsemble* ensemble, int count) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->increaseImagesNumber(count); });
}

extern "C" QOR_API int qorEns_ImageIsLoaded(qorEnsemble* ensemble, int i) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->imageIsLoaded(i); });
}

extern "C" QOR_API void qorEns_RejectAllImagesFromMemory(qorEnsemble* ensemble) {
  guarded(managerOf(ensemble), [=] { ensemble->rejectAllImagesFromMemory(); });
}

extern "C" QOR_API unsigned char* qorEns_GetPalette(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), static_cast<unsigned char*>(nullptr),
                 [=] { return ensemble->get_palette_c(); });
}

extern "C" QOR_API unsigned char* qorEns_SetPalette(qorEnsemble* ensemble, const unsigned char* palette) {
  return guarded(managerOf(ensemble), static_cast<unsigned char*>(nullptr), [=] {
    if (!palette) QOR_RAISE("No palette was given.");
    TqorPaletteItem* p = ensemble->getPalette();
    for (int k = 0; k < 256; ++k) {
      p[k].red = palette[3 * k];
      p[k].green = palette[3 * k + 1];
      p[k].blue = palette[3 * k + 2];
    }
    return ensemble->get_palette_c();
  });
}

extern "C" QOR_API int qorEns_PaletteSize(qorEnsemble* ensemble) {
  return guarded(managerOf(ensemble), 0, [=] { return ensemble->paletteSize(); });
}

extern "C" QOR_API int qorEns_FillPaletteAsGray(qorEnsemble* ensemble) {
  guarded(managerOf(ensemble), [=] { ensemble->fillPaletteAsGray(); });
  return 0;
}

extern "C" QOR_API int qorEns_IsOpen(qorEnsemble* ensemble) { return ensemble && ensemble->is_open() ? 1 : 0; }

extern "C" QOR_API int qorEns_NumberOfImages(qorEnsemble* ensemble) {
  return ensemble ? ensemble->numberOfImages() : 0;
}

extern "C" QOR_API int qorEns_SizeX(qorEnsemble* ensemble) { return ensemble ? ensemble->sizeX() : 0; }

extern "C" QOR_API int qorEns_SizeY(qorEnsemble* ensemble) { return ensemble ? ensemble->sizeY() : 0; }

extern "C" QOR_API long qorEns_Size(qorEnsemble* ensemble) { return ensemble ? ensemble->size() : 0; }

// ---------------------------------------------------------------- descriptors

namespace {

// A descriptor query: -1 for a null descriptor or one whose query raised.
template <class R, class F>
R infoQuery(TFileInfo* info, F query) noexcept {
  if (!info) return -1;
  try {
    return query(*info);
  } catch (...) {
    return -1;
  }
}

// A descriptor factory: null when it raised; nothing is recorded.
template <class F>
TFileInfo* made(F factory) noexcept {
  try {
    return factory();
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

extern "C" QOR_API int qorInf_FormatID(qorFileInfo* info) {
  return infoQuery<int>(info, [](TFileInfo& f) { return f.formatID(); });
}

extern "C" QOR_API int qorInf_SizeY(qorFileInfo* info) {
  return infoQuery<int>(info, [](TFileInfo& f) { return f.sizeY(); });
}

extern "C" QOR_API int qorInf_SizeX(qorFileInfo* info) {
  return infoQuery<int>(info, [](TFileInfo& f) { return f.sizeX(); });
}

extern "C" QOR_API int qorInf_NumberOfImages(qorFileInfo* info) {
  return infoQuery<int>(info, [](TFileInfo& f) { return f.numberOfImages(); });
}

extern "C" QOR_API int qorInf_Coding(qorFileInfo* info) {
  return infoQuery<int>(info, [](TFileInfo& f) { return f.coding(); });
}

extern "C" QOR_API long qorInf_Size(qorFileInfo* info) {
  return infoQuery<long>(info, [](TFileInfo& f) { return long(f.sizeX()) * f.sizeY(); });
}

extern "C" QOR_API void qorInf_Destroy(qorFileInfo* info) {
  try {
    disposeDescriptor(info);
  } catch (...) {
    // a descriptor's destructor has nothing to report
  }
}

extern "C" QOR_API qorFileInfo* qorKavInfo(int coding, int sizeX, int sizeY, int n, const char* name) {
  return made([=] { return fiKavFileInfo(coding, sizeX, sizeY, n, name); });
}

extern "C" QOR_API qorFileInfo* qorKavMemEnsInfo(int sizeX, int sizeY, int n) {
  return made([=] { return fiKavMemEnsInfo(sizeX, sizeY, n); });
}

extern "C" QOR_API qorFileInfo* qorBmpInfo(int coding, int sizeX, int sizeY) {
  return made([=] { return fiBmpFileInfo(coding, sizeX, sizeY); });
}

extern "C" QOR_API qorFileInfo* qorBmpOS2Info(int coding, int sizeX, int sizeY) {
  return made([=] { return fiBmpOS2FileInfo(coding, sizeX, sizeY); });
}

extern "C" QOR_API qorFileInfo* qorPcxInfo(int coding, int sizeX, int sizeY) {
  return made([=] { return fiPcxFileInfo(coding, sizeX, sizeY, 1); });
}

extern "C" QOR_API qorFileInfo* qorDcxInfo(int coding, int sizeX, int sizeY, int numberOfImages) {
  return made([=] { return fiDcxFileInfo(coding, sizeX, sizeY, numberOfImages); });
}

extern "C" QOR_API qorFileInfo* qorTgaInfo(int coding, int sizeX, int sizeY, int rle) {
  return made([=] { return fiTgaFileInfo(coding, sizeX, sizeY, rle); });
}

extern "C" QOR_API qorFileInfo* qorJpegInfo(int coding, int sizeX, int sizeY, int quality) {
#if QOR_WITH_JPEG
  return made([=] { return fiJpegFileInfo(coding, sizeX, sizeY, quality); });
#else
  (void)coding, (void)sizeX, (void)sizeY, (void)quality;
  return nullptr;
#endif
}

extern "C" QOR_API qorFileInfo* qorPngInfo(int coding, int sizeX, int sizeY, int interlace) {
#if QOR_WITH_PNG
  return made([=] { return fiPngFileInfo(coding, sizeX, sizeY, interlace); });
#else
  (void)coding, (void)sizeX, (void)sizeY, (void)interlace;
  return nullptr;
#endif
}

extern "C" QOR_API qorFileInfo* qorPngInfoLevel(int coding, int sizeX, int sizeY, int interlace, int level) {
#if QOR_WITH_PNG
  return made([=] { return fiPngFileInfo(coding, sizeX, sizeY, interlace, level); });
#else
  (void)coding, (void)sizeX, (void)sizeY, (void)interlace, (void)level;
  return nullptr;
#endif
}

extern "C" QOR_API qorFileInfo* qorTiffInfo(int coding, int sizeX, int sizeY) {
#if QOR_WITH_TIFF
  return made([=] { return fiTiffFileInfo(coding, sizeX, sizeY); });
#else
  (void)coding, (void)sizeX, (void)sizeY;
  return nullptr;
#endif
}

extern "C" QOR_API qorFileInfo* qorImgListInfo(const char* mask, qorFileInfo* inner, int numberOfImages) {
  return made([=] { return fiImgListFileInfo(mask, inner, numberOfImages); });
}

// ---------------------------------------------------------------- format identifiers

extern "C" QOR_API int qorBMP_ID(void) { return idBMP(); }
extern "C" QOR_API int qorBMPOS2_ID(void) { return idBMPOS2(); }
extern "C" QOR_API int qorKAV_ID(void) { return idKAV(); }
extern "C" QOR_API int qorKAVMEM_ID(void) { return idKAVMEM(); }
extern "C" QOR_API int qorDCX_ID(void) { return idDCX(); }
extern "C" QOR_API int qorJPEG_ID(void) { return idJPEG(); }
extern "C" QOR_API int qorPCX_ID(void) { return idPCX(); }
extern "C" QOR_API int qorPNG_ID(void) { return idPNG(); }
extern "C" QOR_API int qorTGA_ID(void) { return idTGA(); }
extern "C" QOR_API int qorTIFF_ID(void) { return idTIFF(); }
extern "C" QOR_API int qorIMGLIST_ID(void) { return idIMGLIST(); }

// ---------------------------------------------------------------- error state

extern "C" QOR_API int qorSetUserErrorHook(qorManager* manager, qorUserHook hook, void* userData,
                                           int jumpBufferSize) {
  if (!manager) return -1;
  manager->userHook = hook;
  manager->userData = userData;
  void* block = jumpBufferSize < 0 ? nullptr : std::calloc(jumpBufferSize > 0 ? size_t(jumpBufferSize) : 1, 1);
  if (!block) return -1;
  std::free(manager->jumpBuffer);
  manager->jumpBuffer = block;
  manager->hookInstalled = 1;
  return 0;
}

extern "C" QOR_API void* qorGetJumpBuf(qorManager* manager) { return manager ? manager->jumpBuffer : nullptr; }

extern "C" QOR_API int qorJumpIsSet(qorManager* manager) { return manager ? manager->hookInstalled : 0; }

extern "C" QOR_API void* qorGetUsrDataPtr(qorManager* manager) { return manager ? manager->userData : nullptr; }

extern "C" QOR_API int qorGetLastError(qorManager* manager) {
  if (!manager) return 0;
  int code = manager->lastError;
  manager->lastError = 0;
  return code;
}

extern "C" QOR_API const char* qorGetLastErrorMessage(qorManager* manager) {
  return manager ? manager->lastErrorMessage : nullptr;
}

// ---------------------------------------------------------------- file names

extern "C" QOR_API char* qorGetMaskedFileName(const char* name, const char* mask, qorManager* manager) {
  try {
    return ovnGetFileName(name, mask, manager);
  } catch (...) {
    return nullptr;
  }
}
