#include "zpngdrv.h"

#include <png.h>

#include <climits>
#include <cstring>
#include <new>

#include "zbitconv.h"

// ---------------------------------------------------------------- codec state

// One libpng read or write object with what its procedures need. Errors leave
// libpng through the jump buffer with their text in message.
struct TPngCodec {
  png_structp png;
  png_infop info;
  TqorStream* stream;
  int writing;  // a write object
  int begun;    // writing: the header went out, the object serves that one image
  char message[250];
};

namespace {

using uchar = unsigned char;

// Stream calls behind the procedures: nothing may leave them but a result.
bool streamRead(TqorStream* s, void* data, size_t length) noexcept {
  if (!s || length > size_t(INT_MAX)) return false;
  try {
    return s->read(data, int(length)) == int(length);
  } catch (...) {
    return false;
  }
}

bool streamWrite(TqorStream* s, const void* data, size_t length) noexcept {
  if (!s || length > size_t(INT_MAX)) return false;
  try {
    return s->write(data, int(length)) == int(length);
  } catch (...) {
    return false;
  }
}

// What the header of a file says.
struct PngHeader {
  png_uint_32 width;
  png_uint_32 height;
  int depth;
  int colourType;
  int interlace;
  int paletteEntries;
  png_colorp palette;  // owned by the info object
};

// Transformations that bring a file down to one of the library's codings.
struct PngTransforms {
  int strip16;
  int packing;     // palette indices of 2 bits: one byte each
  int greyTo8;     // grey of 2 bits: scaled to bytes
  int stripAlpha;
  int passes;      // out: passes libpng delivers
  size_t rowBytes; // out: bytes of a delivered row
};

}  // namespace

// The procedures handed to libpng and the codec calls. Each call arms the
// jump buffer and answers 1, or 0 when libpng failed; their locals are
// trivial, so the jump crosses no frame that has anything to clean up.
extern "C" {

static void qorPngRead(png_structp png, png_bytep data, size_t length) {
  TPngCodec* c = static_cast<TPngCodec*>(png_get_io_ptr(png));
  if (!streamRead(c ? c->stream : nullptr, data, length)) png_error(png, "Read Error");
}

static void qorPngWrite(png_structp png, png_bytep data, size_t length) {
  TPngCodec* c = static_cast<TPngCodec*>(png_get_io_ptr(png));
  if (!streamWrite(c ? c->stream : nullptr, data, length)) png_error(png, "Write Error");
}

static void qorPngFlush(png_structp) {}

static void qorPngError(png_structp png, png_const_charp text) {
  TPngCodec* c = static_cast<TPngCodec*>(png_get_error_ptr(png));
  if (c) {
    size_t n = 0;
    for (; text && text[n] && n + 1 < sizeof c->message; ++n) c->message[n] = text[n];
    c->message[n] = '\0';
  }
  png_longjmp(png, 1);
}

static void qorPngWarning(png_structp, png_const_charp) {}

static int qorPngCreate(TPngCodec* c) {
  if (c->writing)
    c->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, c, qorPngError, qorPngWarning);
  else
    c->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, c, qorPngError, qorPngWarning);
  if (!c->png) return 0;
  c->info = png_create_info_struct(c->png);
  return c->info != nullptr;
}

static void qorPngDestroy(TPngCodec* c) {
  if (!c->png) return;
  if (c->writing)
    png_destroy_write_struct(&c->png, &c->info);
  else
    png_destroy_read_struct(&c->png, &c->info, nullptr);
  c->png = nullptr;
  c->info = nullptr;
}

static int qorPngReadInfo(TPngCodec* c, PngHeader* h) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_set_read_fn(c->png, c, qorPngRead);
  png_read_info(c->png, c->info);
  png_get_IHDR(c->png, c->info, &h->width, &h->height, &h->depth, &h->colourType, &h->interlace, nullptr,
               nullptr);
  h->paletteEntries = 0;
  h->palette = nullptr;
  if (!png_get_PLTE(c->png, c->info, &h->palette, &h->paletteEntries)) {
    h->paletteEntries = 0;
    h->palette = nullptr;
  }
  return 1;
}

static int qorPngTransform(TPngCodec* c, PngTransforms* t) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  if (t->strip16) png_set_strip_16(c->png);
  if (t->packing) png_set_packing(c->png);
  if (t->greyTo8) png_set_expand_gray_1_2_4_to_8(c->png);
  if (t->stripAlpha) png_set_strip_alpha(c->png);
  t->passes = png_set_interlace_handling(c->png);
  png_read_update_info(c->png, c->info);
  t->rowBytes = png_get_rowbytes(c->png, c->info);
  return 1;
}

static int qorPngReadRows(TPngCodec* c, png_bytepp rows, png_uint_32 count) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_read_rows(c->png, rows, nullptr, count);
  return 1;
}

static int qorPngReadImage(TPngCodec* c, png_bytepp rows) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_read_image(c->png, rows);
  return 1;
}

static int qorPngReadEnd(TPngCodec* c) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_read_end(c->png, c->info);
  return 1;
}

static int qorPngSetHeader(TPngCodec* c, png_uint_32 width, png_uint_32 height, int depth, int colourType,
                           int interlace) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_set_write_fn(c->png, c, qorPngWrite, qorPngFlush);
  png_set_IHDR(c->png, c->info, width, height, depth, colourType, interlace, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  return 1;
}

static int qorPngWriteHeader(TPngCodec* c, png_const_colorp palette, int entries, int* passes) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  if (entries > 0) png_set_PLTE(c->png, c->info, palette, entries);
  png_write_info(c->png, c->info);
  *passes = png_set_interlace_handling(c->png);
  return 1;
}

static int qorPngWriteRows(TPngCodec* c, png_bytepp rows, png_uint_32 count) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_write_rows(c->png, rows, count);
  return 1;
}

static int qorPngWriteImage(TPngCodec* c, png_bytepp rows) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_write_image(c->png, rows);
  return 1;
}

static int qorPngWriteEnd(TPngCodec* c) {
  if (setjmp(png_jmpbuf(c->png))) return 0;
  png_write_end(c->png, c->info);
  return 1;
}

}  // extern "C"

// ---------------------------------------------------------------- descriptor

TPngFileInfo::TPngFileInfo(int coding, int sizeX, int sizeY, int interlace)
    : coding_(coding), sizeX_(sizeX), sizeY_(sizeY), interlace(interlace) {}

TPngFileInfo::~TPngFileInfo() = default;

int TPngFileInfo::formatID() { return idPNG(); }

TFileInfo* fiPngFileInfo(int coding, int sizeX, int sizeY, int interlace) {
  return qorOwnedFileInfo<TPngFileInfo>(coding, sizeX, sizeY, interlace);
}

// ---------------------------------------------------------------- converter tables


TPngConverters::TPngConverters()
    : TConverterTables(qorTableRows::rgbSamplesToMemory, qorTableRows::rgbSamplesToDisk) {}

const TPngConverters& TPngConverters::tables() {
  static const TPngConverters converters;
  return converters;
}

TImgConvertA2B* TPngFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return TPngConverters::tables().disk2Memory().get(fileInfo.coding(), image->coding());
}

TImgConvertA2B* TPngFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return TPngConverters::tables().memory2Disk().get(image->coding(), fileInfo.coding());
}

// ---------------------------------------------------------------- driver

namespace {

// Bytes of a row of width pixels at bits per pixel, padded to 32 bits.
int64_t paddedRow(int64_t bits, int64_t width) { return (bits * width + 31) / 32 * 4; }

bool writableCoding(int coding) { return coding == 1 || coding == 4 || coding == 8 || coding == 24; }

// The coding a file of this colour type and depth is delivered in.
int codingOf(int colourType, int depth) {
  if (depth == 1 || depth == 4) return depth;
  if (depth == 2) return 8;
  return (colourType & PNG_COLOR_MASK_COLOR) && colourType != PNG_COLOR_TYPE_PALETTE ? 24 : 8;
}

}  // namespace

TPngFormatDriver::TPngFormatDriver() : codec(nullptr), passCount(0), storedRow(0), direct(false) {}

TPngFormatDriver::~TPngFormatDriver() {
  releaseImageState();
  destroyCodec();
}

TFileFormatDriver* TPngFormatDriver::createInstance() { return new TPngFormatDriver; }

int TPngFormatDriver::recognizeFormat() {
  png_byte bytes[8] = {};
  if (!seekTo(0)) return 0;
  if (stream->read(bytes, int(sizeof bytes)) != int(sizeof bytes)) return 0;
  return png_sig_cmp(bytes, 0, sizeof bytes) == 0;
}

int TPngFormatDriver::paletteSize() {
  return paletteEntriesOf(fileInfo.coding());
}

void TPngFormatDriver::destroyCodec() {
  if (!codec) return;
  qorPngDestroy(codec);
  delete codec;
  codec = nullptr;
}

void TPngFormatDriver::releaseImageState() {
  // a write object not yet used still waits for its image
  if (codec && (!codec->writing || codec->begun)) destroyCodec();
  whole.reset();
  direct = false;
}

void TPngFormatDriver::codecFailed() {
  char text[sizeof codec->message] = "";
  if (codec) std::memcpy(text, codec->message, sizeof text);
  text[sizeof text - 1] = '\0';
  destroyCodec();
  whole.reset();
  direct = false;
  QOR_RAISE("Error reading PNG file%s", text);
}

namespace {
// A zero-initialised codec object for reading or writing on stream.
TPngCodec* newCodec(TqorStream* s, bool writing) {
  TPngCodec* c = new (std::nothrow) TPngCodec();
  if (!c) QOR_RAISE_MEMORY();
  c->stream = s;
  c->writing = writing;
  return c;
}
}  // namespace

void TPngFormatDriver::startReading(int* colourType, int* bitDepth, int* interlaced) {
  destroyCodec();
  whole.reset();
  direct = false;
  codec = newCodec(stream, false);
  if (!qorPngCreate(codec)) {
    destroyCodec();
    QOR_RAISE("Error reading PNG file");
  }
  PngHeader h{};
  if (!seekTo(0)) {
    std::strcpy(codec->message, "Read Error");
    codecFailed();
  }
  if (!qorPngReadInfo(codec, &h)) codecFailed();
  const int coding = codingOf(h.colourType, h.depth);
  if (bitDepth) {
    // a header read again must describe the file that was opened
    if (int64_t(h.width) != fileInfo.sizeX() || int64_t(h.height) != fileInfo.sizeY() || coding != fileInfo.coding()) {
      destroyCodec();
      QOR_RAISE("Error reading PNG file: the header no longer describes the %d x %d image of %d bits per pixel opened.",
                fileInfo.sizeX(), fileInfo.sizeY(), fileInfo.coding());
    }
    *colourType = h.colourType;
    *bitDepth = h.depth;
    *interlaced = h.interlace != PNG_INTERLACE_NONE;
    return;
  }
  // the header of the file being opened
  checkGeometry(paddedRow(coding, h.width), h.width, h.height, "PNG header", coding);
  fileInfo.coding_ = coding;
  fileInfo.sizeX_ = int32_t(h.width);
  fileInfo.sizeY_ = int32_t(h.height);
  storedRow = int(paddedRow(coding, h.width));
  fillPaletteAsGrey();
  const int entries = h.palette ? (h.paletteEntries < 256 ? h.paletteEntries : 256) : 0;
  for (int i = 0; i < entries; ++i) palette[i] = TqorPaletteItem{h.palette[i].red, h.palette[i].green, h.palette[i].blue};
  if (h.depth == 1) {
    palette[0] = TqorPaletteItem{0, 0, 0};
    palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
  }
  if (h.colourType == PNG_COLOR_TYPE_GRAY && h.depth == 4)
    for (int i = 0; i < 16; ++i) palette[i] = TqorPaletteItem{uchar(17 * i), uchar(17 * i), uchar(17 * i)};
}

int TPngFormatDriver::readHeader() {
  releaseImageState();
  destroyCodec();
  fillPaletteAsGrey();
  try {
    startReading(nullptr, nullptr, nullptr);
  } catch (...) {
    destroyCodec();
    throw;
  }
  destroyCodec();
  passCount = 0;
  return 0;
}

int TPngFormatDriver::readImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  std::unique_ptr<TImgConvertA2B> c(getConverterDisk2Memory(image));
  if (!c) QOR_RAISE_MEMORY();
  int colourType = 0, depth = 0, interlaced = 0;
  startReading(&colourType, &depth, &interlaced);
  PngTransforms t{};
  t.strip16 = depth == 16;
  t.packing = colourType == PNG_COLOR_TYPE_PALETTE && depth == 2;
  t.greyTo8 = colourType == PNG_COLOR_TYPE_GRAY && depth == 2;
  t.stripAlpha = (colourType & PNG_COLOR_MASK_ALPHA) != 0;
  if (!qorPngTransform(codec, &t)) codecFailed();
  passCount = t.passes;
  const int64_t row = paddedRow(fileInfo.coding(), fileInfo.sizeX());
  if (int64_t(t.rowBytes) > row + 64 || t.rowBytes == 0) {
    std::strcpy(codec->message, ": libpng delivers rows of an unexpected length.");
    codecFailed();
  }
  storedRow = int(int64_t(t.rowBytes) > row ? int64_t(t.rowBytes) : row);
  takeConverter(c.release(), storedRow);

  RowLayout l;
  l.rowBytes = storedRow;
  l.sizeX = fileInfo.sizeX();
  l.sizeY = fileInfo.sizeY();
  setRowLayout(l);
  if (interlaced) {
    // every pass goes into one image, whose rows are then handed out chunk by chunk
    const size_t bytes = size_t(storedRow) * size_t(l.sizeY);
    whole.reset(new (std::nothrow) unsigned char[bytes]());
    if (!whole) {
      destroyCodec();
      QOR_RAISE_MEMORY();
    }
    reserveRows(l.sizeY);
    for (int k = 0; k < l.sizeY; ++k) rows[size_t(k)] = whole.get() + size_t(k) * size_t(storedRow);
    if (!qorPngReadImage(codec, rows.data()) || !qorPngReadEnd(codec)) codecFailed();
    destroyCodec();
  } else {
    direct = converterCopiesBytes();
  }
  transferImage(image, false);
  return 0;
}

void TPngFormatDriver::reserveRows(int count) {
  if (rows.size() < size_t(count)) {
    try {
      rows.resize(size_t(count));
    } catch (const std::bad_alloc&) {
      destroyCodec();
      QOR_RAISE_MEMORY();
    }
  }
}

int TPngFormatDriver::readNextChunk() {
  const int r = direct ? directChunk(false) : moveRowChunk(false);
  if (r == 0 && blockIndex >= chunksNumber()) finishReading();
  return r;
}

void TPngFormatDriver::finishReading() {
  whole.reset();
  direct = false;
  if (!codec) return;
  if (!codec->writing && !qorPngReadEnd(codec)) codecFailed();
  destroyCodec();
}

void TPngFormatDriver::fetchRows(unsigned char* chunk, int count) {
  const int first = bufferFirstRow;
  if (whole) {
    std::memcpy(chunk, whole.get() + size_t(first) * size_t(storedRow), size_t(count) * size_t(storedRow));
    return;
  }
  if (!codec || codec->writing) {
    std::memset(chunk, 0, size_t(count) * size_t(storedRow));
    QOR_RAISE("Error reading PNG file: no image of the file is being read.");
  }
  reserveRows(count);
  for (int k = 0; k < count; ++k) rows[size_t(k)] = chunk + size_t(k) * size_t(storedRow);
  if (!qorPngReadRows(codec, rows.data(), png_uint_32(count))) codecFailed();
}

int TPngFormatDriver::directChunk(bool write) {
  if (!currentImage || !converter || blockIndex >= chunksNumber()) return 1;
  if (!codec || (codec->writing != 0) != write) {
    QOR_RAISE(write ? "Error reading PNG file: no image of the file is being written."
                    : "Error reading PNG file: no image of the file is being read.");
  }
  const int per = rowsPerChunk();
  const int first = per * blockIndex;
  const int count = first + per < layout.sizeY ? per : layout.sizeY - first;
  reserveRows(count);
  for (int k = 0; k < count; ++k) rows[size_t(k)] = static_cast<unsigned char*>(currentImage->rowPtr(first + k));
  const int ok = write ? qorPngWriteRows(codec, rows.data(), png_uint_32(count))
                       : qorPngReadRows(codec, rows.data(), png_uint_32(count));
  if (!ok) codecFailed();
  ++blockIndex;
  return 0;
}

int TPngFormatDriver::createFile(TFileInfo* info) {
  const char* what = "Cannot create a PNG file";
  TPngFileInfo wanted;
  if (auto* png = dynamic_cast<TPngFileInfo*>(info)) {
    wanted = *png;
  } else {
    wanted = TPngFileInfo(info->coding(), info->sizeX(), info->sizeY(), 0);
    wanted.TFileInfo::operator=(*info);
  }
  if (!writableCoding(wanted.coding())) QOR_RAISE("Unsupported value of bitsPerSample for PNG.");
  const int64_t row = paddedRow(wanted.coding(), wanted.sizeX());
  checkGeometry(row, wanted.sizeX(), wanted.sizeY(), what, wanted.coding());
  releaseImageState();
  destroyCodec();
  adoptDescriptor(fileInfo, wanted);
  storedRow = int(row);
  passCount = 0;

  const int coding = fileInfo.coding();
  const int colourType = coding == 1 ? PNG_COLOR_TYPE_GRAY : coding == 24 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_PALETTE;
  codec = newCodec(stream, true);
  if (!qorPngCreate(codec)) {
    destroyCodec();
    QOR_RAISE("Error reading PNG file");
  }
  if (!qorPngSetHeader(codec, png_uint_32(fileInfo.sizeX()), png_uint_32(fileInfo.sizeY()), coding == 24 ? 8 : coding,
                       colourType, fileInfo.interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE))
    codecFailed();
  return 0;
}

int TPngFormatDriver::writeImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  if (!codec || !codec->writing || codec->begun)
    QOR_RAISE("No PNG file waits for this image: a PNG file is written once, after it is created.");
  // the converter first: a pair without one leaves the file unwritten and ready
  takeConverter(getConverterMemory2Disk(image), storedRow);
  const int coding = fileInfo.coding();
  png_color entries[256] = {};
  const int n = coding == 4 || coding == 8 ? paletteSize() : 0;
  for (int i = 0; i < n; ++i) entries[i] = png_color{palette[i].red, palette[i].green, palette[i].blue};
  codec->begun = 1;
  int passes = 1;
  if (!qorPngWriteHeader(codec, entries, n, &passes)) codecFailed();
  passCount = passes;

  RowLayout l;
  l.rowBytes = storedRow;
  l.sizeX = fileInfo.sizeX();
  l.sizeY = fileInfo.sizeY();
  setRowLayout(l);
  if (passCount > 1) {
    // the rows are gathered and go out pass by pass after the last chunk
    whole.reset(new (std::nothrow) unsigned char[size_t(storedRow) * size_t(l.sizeY)]());
    if (!whole) {
      destroyCodec();
      QOR_RAISE_MEMORY();
    }
    direct = false;
  } else {
    direct = converterCopiesBytes();
  }
  transferImage(image, true);
  return 0;
}

int TPngFormatDriver::writeNextChunk() {
  const int r = direct ? directChunk(true) : moveRowChunk(true);
  if (r == 0 && blockIndex >= chunksNumber()) finishWriting();
  return r;
}

void TPngFormatDriver::storeRows(const unsigned char* chunk, int count) {
  const int first = bufferFirstRow;
  if (whole) {
    std::memcpy(whole.get() + size_t(first) * size_t(storedRow), chunk, size_t(count) * size_t(storedRow));
    return;
  }
  if (!codec || !codec->writing) QOR_RAISE("Error reading PNG file: no image of the file is being written.");
  reserveRows(count);
  for (int k = 0; k < count; ++k) rows[size_t(k)] = const_cast<unsigned char*>(chunk) + size_t(k) * size_t(storedRow);
  if (!qorPngWriteRows(codec, rows.data(), png_uint_32(count))) codecFailed();
}

void TPngFormatDriver::finishWriting() {
  direct = false;
  if (!codec || !codec->writing) return;
  if (whole) {
    const int h = fileInfo.sizeY();
    reserveRows(h);
    for (int k = 0; k < h; ++k) rows[size_t(k)] = whole.get() + size_t(k) * size_t(storedRow);
    if (!qorPngWriteImage(codec, rows.data())) codecFailed();
    whole.reset();
  }
  if (!qorPngWriteEnd(codec)) codecFailed();
  destroyCodec();
}
