/* The flat interface as a C program sees it: a native file written and read
 * back in every element type, one-bit, 8-bit and 24-bit bitmaps read into
 * buffers sized by qorEns_ImageBytes, a read through the caller's own stream
 * functions, the image-size limit, and the error state with a hook that
 * leaves by longjmp.
 *
 * Usage: flat_c_test <scratch file name>. Prints "N passed, M failed" and
 * exits non-zero when anything failed. */
#include <setjmp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "zqorflat.h"

static int passed;
static int failed;

static void check(int ok, const char* what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAILED line %d: %s\n", line, what);
  }
}

#define CHECK(cond) check((cond) ? 1 : 0, #cond, __LINE__)

/* The test file: four images of 5 x 3 pixels, each written from another type. */
enum { width = 5, height = 3, pixels = width * height, images = 4 };

/* The byte stored for pixel k of image i. */
static int storedByte(int i, int k) {
  switch (i) {
    case 0: return k * 17;       /* written as unsigned char */
    case 1: return k * 13;       /* written as double */
    case 2: return k * 11;       /* written as short */
    default: return k * 9 + 68;  /* written as signed char k * 9 - 60, stored plus 128 */
  }
}

static qorManager* manager;

/* ---------------------------------------------------------------- writing and reading a native file */

static void writeFile(const char* path) {
  unsigned char u[pixels];
  double d[pixels];
  short s[pixels];
  signed char c[pixels];
  qorFileInfo* info;
  qorEnsemble* e;
  int k;

  info = qorKavInfo(qorCodingUChar, width, height, images, "flat");
  CHECK(info != NULL);
  CHECK(qorInf_FormatID(info) == qorKAV_ID());
  CHECK(qorInf_SizeX(info) == width);
  CHECK(qorInf_SizeY(info) == height);
  CHECK(qorInf_NumberOfImages(info) == images);
  CHECK(qorInf_Coding(info) == qorCodingUChar);
  CHECK(qorInf_Size(info) == pixels);

  e = qorEns_COpenNew(&manager, path, info);
  CHECK(e != NULL);
  CHECK(qorGetLastError(manager) == 0);
  CHECK(qorEns_IsOpen(e) == 1);
  CHECK(qorEns_NumberOfImages(e) == images);
  CHECK(qorEns_SizeX(e) == width);
  CHECK(qorEns_SizeY(e) == height);
  CHECK(qorEns_Size(e) == pixels);

  for (k = 0; k < pixels; ++k) {
    u[k] = (unsigned char)storedByte(0, k);
    d[k] = storedByte(1, k);
    s[k] = (short)storedByte(2, k);
    c[k] = (signed char)(storedByte(3, k) - 128);
  }
  qorEns_WriteUCharImage(e, 0, u);
  qorEns_WriteDoubleImage(e, 1, d);
  qorEns_WriteSShortImage(e, 2, s);
  qorEns_WriteSCharImage(e, 3, c);
  CHECK(qorGetLastError(manager) == 0);
  qorEns_Close(e);
  CHECK(qorEns_IsOpen(e) == 0);
  qorEns_Destroy(e);
}

/* Every image in every type the native tables convert a file of unsigned bytes to. */
static void readEveryType(qorEnsemble* e) {
  unsigned char u[pixels];
  signed char c[pixels];
  short s[pixels];
  double d[pixels];
  int i, k, same;

  for (i = 0; i < images; ++i) {
    qorEns_ReadUCharImage(e, i, u);
    qorEns_ReadSCharImage(e, i, c);
    qorEns_ReadSShortImage(e, i, s);
    qorEns_ReadDoubleImage(e, i, d);
    CHECK(qorGetLastError(manager) == 0);
    same = 1;
    for (k = 0; k < pixels; ++k) same = same && u[k] == storedByte(i, k);
    check(same, "unsigned char image", __LINE__);
    same = 1;
    for (k = 0; k < pixels; ++k) same = same && c[k] == storedByte(i, k) - 128;
    check(same, "signed char image", __LINE__);
    same = 1;
    for (k = 0; k < pixels; ++k) same = same && s[k] == storedByte(i, k);
    check(same, "short image", __LINE__);
    same = 1;
    for (k = 0; k < pixels; ++k) same = same && d[k] == storedByte(i, k);
    check(same, "double image", __LINE__);
  }
}

/* The bitmap of image 0: header and grey colour table as GetWinDibInfo gives
 * them, rows of 8 bytes from the bottom row up. */
static void readBitmap(qorEnsemble* e) {
  int infoSize = qorEns_WinDibInfoSize(e);
  long bitsSize = qorEns_WinDibBitsSize(e);
  int stride = (width + 3) / 4 * 4;
  unsigned char* header;
  unsigned char* expectedHeader;
  unsigned char* bits;
  int row, x, same;

  CHECK(infoSize == 40 + 256 * 4);
  CHECK(bitsSize == (long)stride * height);
  header = malloc((size_t)infoSize);
  expectedHeader = malloc((size_t)infoSize);
  bits = malloc((size_t)bitsSize);
  if (!header || !expectedHeader || !bits) {
    CHECK(!"memory for the bitmap");
  } else {
    qorEns_ReadWinDibImage(e, 0, header, bits);
    qorEns_GetWinDibInfo(e, expectedHeader);
    CHECK(qorGetLastError(manager) == 0);
    CHECK(memcmp(header, expectedHeader, (size_t)infoSize) == 0);
    CHECK(header[0] == 40 && header[4] == width && header[8] == height && header[14] == 8);
    same = 1;
    for (row = 0; row < height; ++row)
      for (x = 0; x < width; ++x) same = same && bits[(height - 1 - row) * stride + x] == storedByte(0, row * width + x);
    check(same, "bitmap rows", __LINE__);
  }
  free(header);
  free(expectedHeader);
  free(bits);
}

static void writeAndReadBack(const char* path) {
  qorEnsemble* e;

  writeFile(path);
  e = qorEns_COpen(&manager, path);
  CHECK(e != NULL);
  CHECK(qorGetLastError(manager) == 0);
  CHECK(qorEns_FormatID(e) == qorKAV_ID());
  CHECK(qorEns_Coding(e) == qorCodingUChar);
  CHECK(qorEns_NumberOfImages(e) == images);
  CHECK(qorEns_FileName(e) != NULL && strcmp(qorEns_FileName(e), path) == 0);
  readEveryType(e);
  readBitmap(e);
  qorEns_Destroy(e);
}

/* ---------------------------------------------------------------- bitmaps sized by the library */

/* 13 x 3 pixels: a one-bit row takes 2 bytes and is padded to 4 in memory. */
enum { bmpWidth = 13, bmpHeight = 3, bmpPixels = bmpWidth * bmpHeight };

static int bmpValue(int k) { return (k * 7 + 3) % 256; }

/* Writes a BMP of depth bits from bytes (indices, or red, green, blue per pixel). */
static void writeBmp(const char* path, int bits, int type, unsigned char* bytes) {
  qorEnsemble* e = qorEns_COpenNew(&manager, path, qorBmpInfo(bits, bmpWidth, bmpHeight));
  CHECK(e != NULL);
  if (bits <= 8) qorEns_FillPaletteAsGray(e);
  if (type == qorCodingOneBit) qorEns_WriteOneBitImage(e, 0, bytes);
  else if (type == qorCodingUChar) qorEns_WriteUCharImage(e, 0, bytes);
  else qorEns_WriteRGBImage(e, 0, bytes);
  CHECK(qorGetLastError(manager) == 0);
  qorEns_Destroy(e);
}

/* Opens path and reads image 0 as type into a buffer of exactly the size the
 * library asks for (ASan sees any byte written past it); the caller frees it. */
static unsigned char* readSized(const char* path, int type, long long expectedBytes) {
  unsigned char* buffer = NULL;
  long long bytes;
  qorEnsemble* e = qorEns_COpen(&manager, path);
  CHECK(e != NULL && qorEns_FormatID(e) == qorBMP_ID());
  bytes = qorEns_ImageBytes(e, type);
  CHECK(bytes == expectedBytes);
  if (bytes > 0) buffer = malloc((size_t)bytes);
  if (buffer) {
    memset(buffer, 0, (size_t)bytes);
    if (type == qorCodingOneBit) qorEns_ReadOneBitImage(e, 0, buffer);
    else if (type == qorCodingUChar) qorEns_ReadUCharImage(e, 0, buffer);
    else qorEns_ReadRGBImage(e, 0, buffer);
    CHECK(qorGetLastError(manager) == 0);
  }
  qorEns_Destroy(e);
  return buffer;
}

static void bitmaps(const char* scratch) {
  enum { rowBytes = 4 }; /* one-bit rows of 13 pixels: 2 bytes, padded to 4 */
  char path[1024];
  unsigned char bitsIn[rowBytes * bmpHeight];
  unsigned char grey[bmpPixels];
  unsigned char rgb[3 * bmpPixels];
  unsigned char* back;
  qorEnsemble* e;
  qorFileInfo* unused;
  int k;

  snprintf(path, sizeof path, "%s.bmp", scratch);
  memset(bitsIn, 0, sizeof bitsIn);
  for (k = 0; k < bmpHeight; ++k) {
    bitsIn[k * rowBytes] = (unsigned char)(0xA5 ^ k);
    bitsIn[k * rowBytes + 1] = (unsigned char)((0x3C + k * 0x11) & 0xF8); /* 5 pixels, 3 bits past the row */
  }
  for (k = 0; k < bmpPixels; ++k) grey[k] = (unsigned char)bmpValue(k);
  for (k = 0; k < 3 * bmpPixels; ++k) rgb[k] = (unsigned char)bmpValue(k + 11);

  writeBmp(path, qorCoding1BitPerPix, qorCodingOneBit, bitsIn);
  back = readSized(path, qorCodingOneBit, rowBytes * bmpHeight);
  CHECK(back != NULL && memcmp(back, bitsIn, sizeof bitsIn) == 0);
  free(back);

  writeBmp(path, qorCoding8BitPerPix, qorCodingUChar, grey);
  back = readSized(path, qorCodingUChar, bmpPixels);
  CHECK(back != NULL && memcmp(back, grey, sizeof grey) == 0);
  free(back);

  writeBmp(path, qorCoding24BitPerPix, qorCodingRGB, rgb);
  back = readSized(path, qorCodingRGB, 3 * bmpPixels);
  CHECK(back != NULL && memcmp(back, rgb, sizeof rgb) == 0);
  free(back);

  /* every type's size, and a type the 24-bit file cannot be read as */
  e = qorEns_COpen(&manager, path);
  CHECK(qorEns_Coding(e) == qorCoding24BitPerPix);
  CHECK(qorEns_ImageBytes(e, qorCodingUChar) == bmpPixels); /* as grey levels */
  CHECK(qorEns_ImageBytes(e, qorCodingBitmap) == qorEns_WinDibBitsSize(e));
  CHECK(qorEns_WinDibBitsSize(e) == (3 * bmpWidth + 3) / 4 * 4 * bmpHeight);
  CHECK(qorEns_ImageBytes(e, qorCodingOneBit) == 0);
  CHECK(qorGetLastError(manager) == 3);
  CHECK(strstr(qorGetLastErrorMessage(manager), "Unknown converter") != NULL);
  CHECK(qorEns_ImageBytes(e, 99) == 0 && qorGetLastError(manager) == 3);
  qorEns_Close(e);
  CHECK(qorEns_ImageBytes(e, qorCodingUChar) == 0 && qorGetLastError(manager) == 3);
  qorEns_Destroy(e);
  CHECK(qorEns_ImageBytes(NULL, qorCodingUChar) == 0);

  /* a descriptor never given to an open is freed; the ensemble's own is not */
  unused = qorBmpInfo(qorCoding8BitPerPix, bmpWidth, bmpHeight);
  CHECK(unused != NULL && qorInf_Coding(unused) == qorCoding8BitPerPix);
  qorInf_Destroy(unused);
  qorInf_Destroy(NULL);
  e = qorEns_COpen(&manager, path);
  qorInf_Destroy(qorEns_getEnsInfo(e));
  CHECK(qorInf_SizeX(qorEns_getEnsInfo(e)) == bmpWidth);
  qorEns_Destroy(e);
  remove(path);
}

/* ---------------------------------------------------------------- reading through caller functions */

struct Memory {
  unsigned char* data;
  long size;
  long position;
};

static int memRead(void* userData, void* buffer, int length) {
  struct Memory* m = userData;
  long n = m->size - m->position;
  if (length < 0) return -1;
  if (n > length) n = length;
  memcpy(buffer, m->data + m->position, (size_t)n);
  m->position += n;
  return (int)n;
}

static int memSeek(void* userData, long offset, int origin) {
  struct Memory* m = userData;
  long base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? m->position : m->size;
  if (offset < -base || offset > m->size - base) return -1;
  m->position = base + offset;
  return (int)m->position;
}

static int memTell(void* userData) { return (int)((struct Memory*)userData)->position; }

static int memSize(void* userData) { return (int)((struct Memory*)userData)->size; }

static int loadFile(const char* path, struct Memory* m) {
  FILE* f = fopen(path, "rb");
  m->data = NULL;
  m->size = m->position = 0;
  if (!f) return 0;
  if (fseek(f, 0, SEEK_END) == 0) m->size = ftell(f);
  rewind(f);
  if (m->size > 0) m->data = malloc((size_t)m->size);
  if (m->data && fread(m->data, 1, (size_t)m->size, f) != (size_t)m->size) {
    free(m->data);
    m->data = NULL;
  }
  fclose(f);
  return m->data != NULL;
}

/* Read-only: no write and no close function. */
static void readThroughCallbacks(const char* path) {
  struct Memory memory;
  qorEnsemble* e;

  CHECK(loadFile(path, &memory));
  e = qorEns_Create(&manager);
  CHECK(e != NULL);
  CHECK(qorEns_IsOpen(e) == 0);
  qorEns_CustomOpen(e, &memory, memRead, NULL, memSeek, memTell, NULL, memSize);
  CHECK(qorGetLastError(manager) == 0);
  CHECK(qorEns_IsOpen(e) == 1);
  CHECK(qorEns_FormatID(e) == qorKAV_ID());
  CHECK(qorEns_NumberOfImages(e) == images);
  CHECK(qorEns_SizeX(e) == width && qorEns_SizeY(e) == height);
  readEveryType(e);
  qorEns_Destroy(e);
  free(memory.data);
}

/* ---------------------------------------------------------------- image-size limit */

/* Image 0 takes 15 bytes as unsigned chars. */
static void imageLimit(const char* path) {
  unsigned char u[pixels];
  qorEnsemble* e = qorEns_COpen(&manager, path);

  CHECK(qorGetMaxImageBytes(NULL) == -1 && qorSetMaxImageBytes(NULL, 100) == -1);
  CHECK(qorSetMaxImageBytes(manager, pixels - 1) == 1LL << 30);
  CHECK(qorGetMaxImageBytes(manager) == pixels - 1);
  qorEns_ReadUCharImage(e, 0, u);
  CHECK(qorGetLastError(manager) == 3);
  CHECK(strstr(qorGetLastErrorMessage(manager), "would take 15 bytes, more than the 14 bytes") != NULL);
  /* a negative limit counts as 0, no limit */
  CHECK(qorSetMaxImageBytes(manager, -5) == pixels - 1 && qorGetMaxImageBytes(manager) == 0);
  qorEns_ReadUCharImage(e, 0, u);
  CHECK(qorGetLastError(manager) == 0 && u[2] == storedByte(0, 2));
  qorSetMaxImageBytes(manager, 1LL << 30);
  qorEns_Destroy(e);
}

/* ---------------------------------------------------------------- error state */

struct HookRecord {
  int calls;
  qorManager* manager;
  int code;
  char message[400];
};

static void recordingHook(qorManager* m, int code, const char* message) {
  struct HookRecord* r = qorGetUsrDataPtr(m);
  ++r->calls;
  r->manager = m;
  r->code = code;
  strncpy(r->message, message, sizeof r->message - 1);
  r->message[sizeof r->message - 1] = '\0';
}

/* The code of the failure the jumping hook left with. */
static int jumpedWith;

static void jumpingHook(qorManager* m, int code, const char* message) {
  (void)message;
  jumpedWith = code;
  longjmp(*(jmp_buf*)qorGetJumpBuf(m), 1);
}

static void errorState(const char* path) {
  unsigned char buffer[pixels];
  struct HookRecord first, second;
  void* firstBlock;
  qorEnsemble* e = qorEns_COpen(&manager, path);
  CHECK(e != NULL);

  /* without a hook a failure is only recorded; the code is handed out once */
  CHECK(qorJumpIsSet(manager) == 0);
  qorEns_ReadUCharImage(e, images, buffer);
  CHECK(qorGetLastError(manager) == 3);
  CHECK(qorGetLastError(manager) == 0);
  CHECK(strstr(qorGetLastErrorMessage(manager), "index out of range") != NULL);

  /* the hook sees the manager, the code and the recorded text */
  memset(&first, 0, sizeof first);
  CHECK(qorSetUserErrorHook(manager, recordingHook, &first, (int)sizeof(jmp_buf)) == 0);
  CHECK(qorJumpIsSet(manager) == 1);
  CHECK(qorGetUsrDataPtr(manager) == &first);
  firstBlock = qorGetJumpBuf(manager);
  CHECK(firstBlock != NULL);
  CHECK(qorEns_COpen(&manager, "no such directory/no such file.kav") == NULL);
  CHECK(first.calls == 1);
  CHECK(first.manager == manager);
  CHECK(first.code == 2);
  CHECK(strcmp(first.message, qorGetLastErrorMessage(manager)) == 0);
  CHECK(strstr(first.message, "no such file.kav") != NULL);
  CHECK(qorGetLastError(manager) == 2);

  /* a second hook replaces the first and comes with a new block */
  memset(&second, 0, sizeof second);
  CHECK(qorSetUserErrorHook(manager, recordingHook, &second, (int)sizeof(jmp_buf)) == 0);
  CHECK(qorGetJumpBuf(manager) != NULL);
  CHECK(qorGetJumpBuf(manager) != firstBlock);
  CHECK(qorGetUsrDataPtr(manager) == &second);
  qorEns_ReadSShortImage(e, -1, NULL);
  CHECK(first.calls == 1);
  CHECK(second.calls == 1 && second.code == 3);
  CHECK(qorGetLastError(manager) == 3);

  /* a hook that jumps back to the caller: raised while reading, while
   * constructing an ensemble, and while detecting the format of a stream */
  CHECK(qorSetUserErrorHook(manager, jumpingHook, NULL, (int)sizeof(jmp_buf)) == 0);
  {
    volatile int reachedAfter = 0;
    volatile int jumped = 0;
    jumpedWith = 0;
    if (setjmp(*(jmp_buf*)qorGetJumpBuf(manager)) == 0) {
      qorEns_ReadDoubleImage(e, images + 1, NULL);
      reachedAfter = 1;
    } else {
      jumped = 1;
    }
    CHECK(jumped == 1 && jumpedWith == 3);
    CHECK(reachedAfter == 0);
    CHECK(qorGetLastError(manager) == 3);
  }
  {
    qorEnsemble* volatile opened = NULL;
    volatile int jumped = 0;
    jumpedWith = 0;
    if (setjmp(*(jmp_buf*)qorGetJumpBuf(manager)) == 0)
      opened = qorEns_COpen(&manager, "no such directory/no such file.kav");
    else
      jumped = 1;
    CHECK(jumped == 1 && jumpedWith == 2);
    CHECK(opened == NULL);
    CHECK(qorGetLastError(manager) == 2);
  }
  {
    static unsigned char junk[100];
    struct Memory memory;
    qorEnsemble* custom = qorEns_Create(&manager);
    volatile int jumped = 0;
    memory.data = junk;
    memory.size = sizeof junk;
    memory.position = 0;
    jumpedWith = 0;
    if (setjmp(*(jmp_buf*)qorGetJumpBuf(manager)) == 0)
      qorEns_CustomOpen(custom, &memory, memRead, NULL, memSeek, memTell, NULL, memSize);
    else
      jumped = 1;
    CHECK(jumped == 1 && jumpedWith == 3);
    CHECK(qorEns_IsOpen(custom) == 0);
    CHECK(qorGetLastError(manager) == 3);
    CHECK(strstr(qorGetLastErrorMessage(manager), "Unknown type of file") != NULL);
    qorEns_Destroy(custom);
  }
  /* the ensemble still works after the jumps */
  qorEns_ReadUCharImage(e, 0, buffer);
  CHECK(qorGetLastError(manager) == 0);
  CHECK(buffer[1] == storedByte(0, 1));
  qorEns_Destroy(e);
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <scratch file name>\n", argv[0]);
    return 2;
  }
  manager = qorCreateManager();
  CHECK(manager != NULL);
  if (manager) {
    writeAndReadBack(argv[1]);
    readThroughCallbacks(argv[1]);
    imageLimit(argv[1]);
    bitmaps(argv[1]);
    errorState(argv[1]); /* last: it leaves a hook that jumps installed */
  }
  qorDestroyManager(manager);
  remove(argv[1]);
  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 && passed > 0 ? 0 : 1;
}
