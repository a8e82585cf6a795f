/* The flat interface: the library as plain functions with unmangled names, for
 * callers that cannot use the classes or catch exceptions. This header is C99
 * and C++.
 *
 * Handles are the library's own objects: a manager is a TQORDataManager, an
 * ensemble a TImageEnsemble and a descriptor a TFileInfo. C sees them as
 * incomplete structures; C++ sees the classes themselves.
 *
 * A guarded function never lets a failure out. It records the code and the
 * text in the manager of the ensemble concerned (qorGetLastError,
 * qorGetLastErrorMessage), calls the hook installed with qorSetUserErrorHook
 * once the failure has been recorded, and returns its failure value. When no
 * manager can be reached (a null ensemble, a null manager reference, or a
 * manager variable set to null after qorDestroyManager), the function does
 * nothing and returns its failure value; nothing is recorded and no hook is
 * called. The hook may leave by longjmp through the block of qorGetJumpBuf:
 * no library object is waiting for cleanup when it is called.
 */
#ifndef ZQORFLAT_H
#define ZQORFLAT_H

#include "zqorcfg.h"

#ifdef __cplusplus
class TQORDataManager;
class TImageEnsemble;
class TFileInfo;
typedef TQORDataManager qorManager;
typedef TImageEnsemble qorEnsemble;
typedef TFileInfo qorFileInfo;
extern "C" {
#else
typedef struct TQORDataManager qorManager;
typedef struct TImageEnsemble qorEnsemble;
typedef struct TFileInfo qorFileInfo;
#endif

/* ---------------------------------------------------------------- codings */

/* Element codings of images in memory and of native files (the type argument
 * of qorEns_ImageBytes, the coding of qorKavInfo and of qorEns_Coding for
 * native files), and the disk codings in bits per pixel of the other formats
 * (their qorEns_Coding and the coding of their descriptor factories). Named apart from the C++ constants (stUChar,
 * image8BitPerPix, ...) so that both headers can be included together. */
enum {
  qorCodingDouble = 6,   /* 64-bit floating point */
  qorCodingSChar = 7,    /* signed 8-bit */
  qorCodingSShort = 8,   /* signed 16-bit */
  qorCodingUChar = 9,    /* unsigned 8-bit */
  qorCodingUShort = 10,  /* unsigned 16-bit (native files) */
  qorCodingSLong = 11,   /* signed 32-bit (native files) */
  qorCodingULong = 12,   /* unsigned 32-bit (native files) */
  qorCodingRGB = 13,     /* red, green, blue bytes per pixel */
  qorCodingOneBit = 14,  /* one bit per pixel, packed */
  qorCodingBitmap = 17,  /* device-independent bitmap */
  qorCoding1BitPerPix = 1,
  qorCoding4BitPerPix = 4,
  qorCoding8BitPerPix = 8,
  qorCoding15BitPerPix = 15,
  qorCoding16BitPerPix = 16,
  qorCoding24BitPerPix = 24,
  qorCoding32BitPerPix = 32
};

/* The error hook: the manager that recorded the failure, its code and its text
 * (the text qorGetLastErrorMessage returns). */
typedef void (*qorUserHook)(qorManager* manager, int code, const char* message);

/* Custom-stream callbacks; userData is the pointer given to the custom open.
 * A null callback acts as a failing operation: read, seek and tell give -1,
 * write, size and close give 0. */
typedef int (*qorReadFn)(void* userData, void* buffer, int length);         /* bytes read, -1 on error */
typedef int (*qorWriteFn)(void* userData, const void* buffer, int length);  /* bytes written */
typedef int (*qorSeekFn)(void* userData, long offset, int origin);          /* new position, -1 on error */
typedef int (*qorTellFn)(void* userData);                                   /* position */
typedef int (*qorCloseFn)(void* userData);                                  /* close result */
typedef int (*qorSizeFn)(void* userData);                                   /* size in bytes */

/* ---------------------------------------------------------------- managers */

/* A new manager with every format driver registered, or null. */
QOR_API qorManager* qorCreateManager(void);
/* Destroys a manager; null is ignored. Set the caller's variable to null
 * afterwards: ensembles still holding its address then find no manager. */
QOR_API void qorDestroyManager(qorManager* manager);

/* The most bytes one image may take in memory (0: no limit); opening or making
 * a larger image fails with code 3. Set returns the previous limit, a negative
 * bytes counts as 0; both give -1 for a null manager. */
QOR_API long long qorSetMaxImageBytes(qorManager* manager, long long bytes);
QOR_API long long qorGetMaxImageBytes(qorManager* manager);

/* ---------------------------------------------------------------- ensemble lifetime */

/* managerRef is the address of the caller's variable holding the manager; the
 * ensemble keeps it. Descriptors made by the factories below are taken over
 * by the function they are given to, whether it succeeds or not; one that is
 * never given to an open is freed with qorInf_Destroy. */
QOR_API qorEnsemble* qorEns_Create(qorManager** managerRef);
QOR_API qorEnsemble* qorEns_COpen(qorManager** managerRef, const char* fileName);
QOR_API qorEnsemble* qorEns_COpenNew(qorManager** managerRef, const char* fileName, qorFileInfo* info);
QOR_API void qorEns_Open(qorEnsemble* ensemble, const char* fileName);
QOR_API void qorEns_OpenNew(qorEnsemble* ensemble, const char* fileName, qorFileInfo* info);
QOR_API void qorEns_CustomOpen(qorEnsemble* ensemble, void* userData, qorReadFn readFn, qorWriteFn writeFn,
                               qorSeekFn seekFn, qorTellFn tellFn, qorCloseFn closeFn, qorSizeFn sizeFn);
QOR_API void qorEns_CustomOpenNew(qorEnsemble* ensemble, qorFileInfo* info, void* userData, qorReadFn readFn,
                                  qorWriteFn writeFn, qorSeekFn seekFn, qorTellFn tellFn, qorCloseFn closeFn,
                                  qorSizeFn sizeFn);
/* Close and Destroy still release the ensemble when its manager is gone. */
QOR_API void qorEns_Close(qorEnsemble* ensemble);
QOR_API void qorEns_Destroy(qorEnsemble* ensemble);

/* ---------------------------------------------------------------- image transfers */

/* Image i into or from the caller's memory. W is qorEns_SizeX, H is
 * qorEns_SizeY; rows follow each other from the top row down, except in the
 * bitmap. The memory must hold at least the bytes below; qorEns_ImageBytes
 * gives them for each type, so a caller need not compute them:
 *
 *   UChar, SChar  W bytes a row, no padding                    W x H bytes
 *   SShort        W shorts a row, no padding                   2 x W x H bytes
 *   Double        W doubles a row, no padding                  8 x W x H bytes
 *   RGB           red, green, blue bytes a pixel, no padding   3 x W x H bytes
 *   OneBit        one bit a pixel (the palette index), the leftmost pixel in
 *                 the most significant bit; every row padded to a multiple of 4 bytes:
 *                 R = ((W + 7) / 8 + 3) / 4 x 4 (qorEns_BytesPerSizeX)
 *                                                              R x H bytes
 *                 (so (W + 7) / 8 x H bytes is too small unless (W + 7) / 8
 *                 is a multiple of 4)
 *   WinDib        two blocks. header: the 40-byte BITMAPINFOHEADER
 *                 (little-endian) followed, for files of 1, 4 and 8 bits a
 *                 pixel, by the colour table, 4 bytes an entry (blue, green,
 *                 red, 0): qorEns_WinDibInfoSize bytes. bits: D bits a pixel,
 *                 D being the file's depth with 4 read as 8 and 15, 16 and 32
 *                 read as 24 (24-bit pixels are blue, green, red); rows from
 *                 the bottom row up, each padded to a multiple of 4 bytes:
 *                 S = (D x W + 31) / 32 x 4                    S x H bytes
 *                 (qorEns_WinDibBitsSize, qorEns_ImageBytes)
 *
 * SChar images of unsigned data hold each value minus 128. Images of palette files
 * (and one-bit files) hold palette indices, not colours: qorEns_GetPalette
 * gives the colours. */
QOR_API void qorEns_ReadUCharImage(qorEnsemble* ensemble, int i, unsigned char* memory);
QOR_API void qorEns_WriteUCharImage(qorEnsemble* ensemble, int i, unsigned char* memory);
QOR_API void qorEns_ReadSCharImage(qorEnsemble* ensemble, int i, signed char* memory);
QOR_API void qorEns_WriteSCharImage(qorEnsemble* ensemble, int i, signed char* memory);
QOR_API void qorEns_ReadSShortImage(qorEnsemble* ensemble, int i, short* memory);
QOR_API void qorEns_WriteSShortImage(qorEnsemble* ensemble, int i, short* memory);
QOR_API void qorEns_ReadDoubleImage(qorEnsemble* ensemble, int i, double* memory);
QOR_API void qorEns_WriteDoubleImage(qorEnsemble* ensemble, int i, double* memory);
QOR_API void qorEns_ReadRGBImage(qorEnsemble* ensemble, int i, unsigned char* memory);
QOR_API void qorEns_WriteRGBImage(qorEnsemble* ensemble, int i, unsigned char* memory);
QOR_API void qorEns_ReadOneBitImage(qorEnsemble* ensemble, int i, unsigned char* memory);
QOR_API void qorEns_WriteOneBitImage(qorEnsemble* ensemble, int i, unsigned char* memory);
QOR_API void qorEns_ReadWinDibImage(qorEnsemble* ensemble, int i, void* header, void* bits);
QOR_API void qorEns_WriteWinDibImage(qorEnsemble* ensemble, int i, void* header, void* bits);

/* Device-independent bitmap of the file's depth: the bytes of the header
 * block and of the bits block laid out as above (0 on failure), and the header
 * block itself written into destination, which must hold
 * qorEns_WinDibInfoSize bytes. */
QOR_API int qorEns_WinDibInfoSize(qorEnsemble* ensemble);
QOR_API long qorEns_WinDibBitsSize(qorEnsemble* ensemble);
QOR_API void qorEns_GetWinDibInfo(qorEnsemble* ensemble, void* destination);

/* Bytes of the memory one image of type (qorCodingUChar, qorCodingSChar,
 * qorCodingSShort, qorCodingDouble, qorCodingRGB, qorCodingOneBit, or
 * qorCodingBitmap for the bits block of a WinDib image) takes for the open
 * ensemble, as laid out above. 0 with the failure recorded when the ensemble
 * is not open, the type is unknown, or the file's coding cannot be delivered
 * as that type (a colour file as OneBit, for instance). */
QOR_API long long qorEns_ImageBytes(qorEnsemble* ensemble, int type);

/* ---------------------------------------------------------------- chunks and flags (0 on failure) */

/* A chunk that meets the end of a short file, or fails to be written, records
 * the error after the rows that were there reached the caller's buffer, and
 * returns 0 like every later chunk call of that image: a loop over chunks
 * checks qorGetLastError as well as the result 1. */

QOR_API int qorEns_ReadNextChunk(qorEnsemble* ensemble);
QOR_API int qorEns_WriteNextChunk(qorEnsemble* ensemble);
QOR_API int qorEns_RowsPerChunk(qorEnsemble* ensemble);
QOR_API int qorEns_ChunksNumber(qorEnsemble* ensemble);
QOR_API int qorEns_Top2BottomReading(qorEnsemble* ensemble);
/* SetF returns the previous flags; ClearF always returns 0. */
QOR_API int qorEns_SetF(qorEnsemble* ensemble, int flags);
QOR_API int qorEns_GetF(qorEnsemble* ensemble);
QOR_API int qorEns_ClearF(qorEnsemble* ensemble, int flags);

/* ---------------------------------------------------------------- ensemble properties */

QOR_API const char* qorEns_FileName(qorEnsemble* ensemble);          /* null on failure */
QOR_API qorFileInfo* qorEns_getEnsInfo(qorEnsemble* ensemble);       /* null on failure; the ensemble's own */
QOR_API int qorEns_FormatID(qorEnsemble* ensemble);                  /* -1 on failure */
QOR_API int qorEns_Coding(qorEnsemble* ensemble);                    /* -1 on failure */
QOR_API int qorEns_BytesPerSizeX(qorEnsemble* ensemble);             /* packed one-bit row of sizeX pixels */
QOR_API int qorEns_IncreaseImagesNumber(qorEnsemble* ensemble, int count); /* the image count; 0 on failure */
QOR_API int qorEns_ImageIsLoaded(qorEnsemble* ensemble, int i);
QOR_API void qorEns_RejectAllImagesFromMemory(qorEnsemble* ensemble);

/* Palette as 768 bytes, red, green, blue per entry, kept by the ensemble;
 * SetPalette copies 768 such bytes in. Both return null on failure. */
QOR_API unsigned char* qorEns_GetPalette(qorEnsemble* ensemble);
QOR_API unsigned char* qorEns_SetPalette(qorEnsemble* ensemble, const unsigned char* palette);
QOR_API int qorEns_PaletteSize(qorEnsemble* ensemble);
/* Returns 0 whether it succeeded or not. */
QOR_API int qorEns_FillPaletteAsGray(qorEnsemble* ensemble);

/* Unguarded: the counts as stored; 0 for a null ensemble. */
QOR_API int qorEns_IsOpen(qorEnsemble* ensemble);
QOR_API int qorEns_NumberOfImages(qorEnsemble* ensemble);
QOR_API int qorEns_SizeX(qorEnsemble* ensemble);
QOR_API int qorEns_SizeY(qorEnsemble* ensemble);
QOR_API long qorEns_Size(qorEnsemble* ensemble);

/* ---------------------------------------------------------------- descriptors */

/* Unguarded: -1 for a null descriptor. */
QOR_API int qorInf_FormatID(qorFileInfo* info);
QOR_API int qorInf_SizeY(qorFileInfo* info);
QOR_API int qorInf_SizeX(qorFileInfo* info);
QOR_API int qorInf_NumberOfImages(qorFileInfo* info);
QOR_API int qorInf_Coding(qorFileInfo* info);
QOR_API long qorInf_Size(qorFileInfo* info);

/* Frees a descriptor made by a factory below that was never given to an open;
 * null, and the descriptor an ensemble owns (qorEns_getEnsInfo), are ignored. */
QOR_API void qorInf_Destroy(qorFileInfo* info);

/* Descriptors of new files, or null; nothing is recorded. */
/* native file: element coding, width, height, image count, name of the images */
QOR_API qorFileInfo* qorKavInfo(int coding, int sizeX, int sizeY, int n, const char* name);
/* in-memory ensemble: width, height, image count */
QOR_API qorFileInfo* qorKavMemEnsInfo(int sizeX, int sizeY, int n);
/* Windows bitmap: bits per pixel (1, 4, 8 or 24), width, height */
QOR_API qorFileInfo* qorBmpInfo(int coding, int sizeX, int sizeY);
/* OS/2 bitmap: bits per pixel (1, 4, 8 or 24), width, height */
QOR_API qorFileInfo* qorBmpOS2Info(int coding, int sizeX, int sizeY);
/* PCX, run-length encoded: bits per pixel (1, 4, 8 or 24), width, height */
QOR_API qorFileInfo* qorPcxInfo(int coding, int sizeX, int sizeY);
/* DCX of run-length encoded PCX pages: bits per pixel (1, 4, 8 or 24), width, height, page count */
QOR_API qorFileInfo* qorDcxInfo(int coding, int sizeX, int sizeY, int numberOfImages);
/* Targa: bits per pixel (8 colour-mapped or 24), width, height, run-length encoding when rle is not 0 */
QOR_API qorFileInfo* qorTgaInfo(int coding, int sizeX, int sizeY, int rle);
/* JPEG: bits per pixel (8 grey or 24 colour), width, height, quality (1 to 100);
 * null when the library is built without JPEG */
QOR_API qorFileInfo* qorJpegInfo(int coding, int sizeX, int sizeY, int quality);
/* PNG: bits per pixel (1 grey, 4 or 8 palette, 24 colour), width, height, Adam7
 * interlacing when interlace is not 0; null when the library is built without PNG */
QOR_API qorFileInfo* qorPngInfo(int coding, int sizeX, int sizeY, int interlace);
/* PNG as qorPngInfo, compressed at level (1 fastest to 12 smallest; qorPngInfo's
 * files take 6); null when the library is built without PNG */
QOR_API qorFileInfo* qorPngInfoLevel(int coding, int sizeX, int sizeY, int interlace, int level);
/* TIFF: bits per pixel (1 grey written with PackBits, 4 or 8 palette, 24 colour),
 * width, height; null when the library is built without TIFF */
QOR_API qorFileInfo* qorTiffInfo(int coding, int sizeX, int sizeY);
/* image list: file-name mask with a run of '?' (each numbers ten members), the
 * descriptor every member file is created with (one made by a qor...Info
 * function passes to the list descriptor), number of images */
QOR_API qorFileInfo* qorImgListInfo(const char* mask, qorFileInfo* inner, int numberOfImages);

/* Format identifiers. */
QOR_API int qorBMP_ID(void);
QOR_API int qorBMPOS2_ID(void);
QOR_API int qorKAV_ID(void);
QOR_API int qorKAVMEM_ID(void);
QOR_API int qorDCX_ID(void);
QOR_API int qorJPEG_ID(void);
QOR_API int qorPCX_ID(void);
QOR_API int qorPNG_ID(void);
QOR_API int qorTGA_ID(void);
QOR_API int qorTIFF_ID(void);
QOR_API int qorIMGLIST_ID(void);

/* ---------------------------------------------------------------- error state */

/* Installs hook and userData and a new jump block of jumpBufferSize bytes
 * (the previous block is freed). 0 on success; -1 when the block cannot be
 * allocated (hook and userData are stored, the previous block stays) or when
 * the manager is null. */
QOR_API int qorSetUserErrorHook(qorManager* manager, qorUserHook hook, void* userData, int jumpBufferSize);
QOR_API void* qorGetJumpBuf(qorManager* manager);
QOR_API int qorJumpIsSet(qorManager* manager);
QOR_API void* qorGetUsrDataPtr(qorManager* manager);
/* The code of the last failure, then 0 until the next failure. */
QOR_API int qorGetLastError(qorManager* manager);
/* The text of the last failure; it stays until the next failure. */
QOR_API const char* qorGetLastErrorMessage(qorManager* manager);
/* (The managers' getters give 0 or null for a null manager.) */

/* ---------------------------------------------------------------- file names */

/* The file name mask makes from name ("*.tif" keeps the stem of name), kept
 * in the manager's text buffer (the one qorGetLastErrorMessage shows); null on
 * failure, nothing recorded. */
QOR_API char* qorGetMaskedFileName(const char* name, const char* mask, qorManager* manager);

#ifdef __cplusplus
}  /* extern "C" */
#endif

#if defined(__cplusplus) && defined(QOR_FLAT_INTERNAL)
/* Library side of the failure capture; seen by the library and its tests only,
 * never exported. */
#include <type_traits>
#include <utility>

namespace qorFlat {

/* Runs op(context). A failure is recorded in manager and reported to its hook
 * after the exception handling has ended; with no manager it is only
 * swallowed. True when op completed. */
bool runGuarded(TQORDataManager* manager, void (*op)(void* context), void* context) noexcept;

template <class F>
void invokeClosure(void* closure) {
  (*static_cast<F*>(closure))();
}

/* The guard of every flat function: the value of op(), or failure when op
 * raised or no manager can be reached. The hook may longjmp out of this
 * frame and the flat function's one, so everything in them is trivially
 * destructible. */
template <class R, class F>
R guarded(TQORDataManager* manager, R failure, F&& op) noexcept {
  static_assert(std::is_trivially_destructible<R>::value, "a flat result must survive a long jump");
  static_assert(std::is_trivially_destructible<typename std::decay<F>::type>::value,
                "a flat operation must survive a long jump");
  if (!manager) return failure;
  R result = failure;
  auto call = [&result, &op] { result = op(); };
  return runGuarded(manager, &invokeClosure<decltype(call)>, &call) ? result : failure;
}

/* The same for operations without a result. */
template <class F>
void guarded(TQORDataManager* manager, F&& op) noexcept {
  static_assert(std::is_trivially_destructible<typename std::decay<F>::type>::value,
                "a flat operation must survive a long jump");
  if (!manager) return;
  auto call = [&op] { op(); };
  runGuarded(manager, &invokeClosure<decltype(call)>, &call);
}

}  // namespace qorFlat
#endif

#endif
