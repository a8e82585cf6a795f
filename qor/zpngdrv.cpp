#include "zpngdrv.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include "zbitconv.h"
#include "zpngenc.h"

// ---------------------------------------------------------------- on-disk layout

namespace {

using uchar = unsigned char;

constexpr int signatureBytes = 8;

bool writableCoding(int coding) { return coding == 1 || coding == 4 || coding == 8 || coding == 24; }

// The coding a file of this colour type and depth is delivered in.
int codingOf(int colourType, int depth) {
  if (depth == 1 || depth == 4) return depth;
  if (depth == 2) return 8;
  return (colourType & PNG_COLOR_MASK_COLOR) && colourType != PNG_COLOR_TYPE_PALETTE ? 24 : 8;
}

// The IHDR of a file of the descriptor's coding; 8-bit files are grey when grey.
TPngHeader headerOf(const TPngFileInfo& f, bool grey) {
  TPngHeader h;
  h.width = uint32_t(f.sizeX_);
  h.height = uint32_t(f.sizeY_);
  h.depth = f.coding_ == 24 ? 8 : f.coding_;
  h.colourType = f.coding_ == 24 ? PNG_COLOR_TYPE_RGB
                 : f.coding_ == 1 || grey ? PNG_COLOR_TYPE_GRAY
                                          : PNG_COLOR_TYPE_PALETTE;
  h.interlaced = f.interlace != 0;
  return h;
}

}  // namespace

// ---------------------------------------------------------------- descriptor

TPngFileInfo::TPngFileInfo(int coding, int sizeX, int sizeY, int interlace, int level)
    : coding_(coding), sizeX_(sizeX), sizeY_(sizeY), interlace(interlace), level(level) {}

TPngFileInfo::~TPngFileInfo() = default;

int TPngFileInfo::formatID() { return idPNG(); }

TFileInfo* fiPngFileInfo(int coding, int sizeX, int sizeY, int interlace, int level) {
  return qorOwnedFileInfo<TPngFileInfo>(coding, sizeX, sizeY, interlace, level);
}

// ---------------------------------------------------------------- row codec

// One libpng read object. Errors leave libpng through its jump buffer with
// their text in message.
struct TPngCodec {
  png_structp png = nullptr;
  png_infop info = nullptr;
  TqorStream* stream = nullptr;
  char message[250] = "";
};

void TPngCodecRelease::operator()(TPngCodec* c) const {
  if (c->png) png_destroy_read_struct(&c->png, &c->info, nullptr);
  delete c;
}

struct TPngFormatDriver::FileHeader {
  png_uint_32 width;
  png_uint_32 height;
  int depth;
  int colourType;
  int interlace;
  int paletteEntries;
  png_colorp palette;  // owned by the info object
};

namespace {

// Runs one step of libpng work under the jump buffer: false when libpng
// failed, with its message in c.message. Nothing here or in the steps has a
// destructor, so the jump crosses no frame that needs one.
template <class Step>
bool guarded(TPngCodec& c, Step step) {
  if (setjmp(png_jmpbuf(c.png))) return false;
  step();
  return true;
}

void readData(png_structp png, png_bytep data, size_t length) {
  TPngCodec* c = static_cast<TPngCodec*>(png_get_io_ptr(png));
  if (qorStreamRead(c->stream, data, int64_t(length)) != int64_t(length)) png_error(png, "Read Error");
}

void failed(png_structp png, png_const_charp text) {
  TPngCodec* c = static_cast<TPngCodec*>(png_get_error_ptr(png));
  std::snprintf(c->message, sizeof c->message, "%s", text ? text : "");
  png_longjmp(png, 1);
}

void warned(png_structp, png_const_charp) {}

}  // namespace

// ---------------------------------------------------------------- converter tables

TPngConverters::TPngConverters()
    : TSharedConverterTables(qorTableRows::rgbSamplesToMemory, qorTableRows::rgbSamplesToDisk) {}

TImgConvertA2B* TPngFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return readConverter(TPngConverters::tables(), fileInfo.coding(), image, oneBitColours);
}

TImgConvertA2B* TPngFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return writeConverter(TPngConverters::tables(), image, fileInfo.coding());
}

// ---------------------------------------------------------------- driver

TPngFormatDriver::TPngFormatDriver() = default;

TPngFormatDriver::~TPngFormatDriver() = default;

int TPngFormatDriver::hasPalette() { return fileInfo.coding() != 24; }

int TPngFormatDriver::paletteSize() { return paletteEntriesOf(fileInfo.coding()); }

int TPngFormatDriver::recognizeFormat() {
  png_byte bytes[signatureBytes] = {};
  return readPrefix(bytes, signatureBytes) && png_sig_cmp(bytes, 0, signatureBytes) == 0;
}

void TPngFormatDriver::releaseImageState() {
  codec.reset();
  writer.reset();
  whole.reset();
}

void TPngFormatDriver::codecFailed(const char* text) {
  char message[sizeof TPngCodec::message] = "";
  std::snprintf(message, sizeof message, "%s", text ? text : codec ? codec->message : "");
  releaseImageState();
  QOR_RAISE("Error reading PNG file%s", message);
}

unsigned char** TPngFormatDriver::rowPointers(unsigned char* first, int count) {
  try {
    if (rows.size() < size_t(count)) rows.resize(size_t(count));
  } catch (const std::bad_alloc&) {
    releaseImageState();
    QOR_RAISE_MEMORY();
  }
  for (int k = 0; k < count; ++k) rows[size_t(k)] = first + size_t(k) * size_t(layout.rowBytes);
  return rows.data();
}

void TPngFormatDriver::startReading(FileHeader& h) {
  releaseImageState();
  codec.reset(new (std::nothrow) TPngCodec());
  if (!codec) QOR_RAISE_MEMORY();
  TPngCodec& c = *codec;
  c.stream = stream;
  c.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &c, failed, warned);
  if (c.png) c.info = png_create_info_struct(c.png);
  if (!c.info) codecFailed("");
  if (!seekTo(0)) codecFailed("Read Error");
  const bool ok = guarded(c, [&c, &h] {
    png_set_read_fn(c.png, &c, readData);
    // ancillary chunks are passed over unread into memory: a text chunk claiming
    // hundreds of megabytes would otherwise be allocated before the file ends
    png_set_keep_unknown_chunks(c.png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_read_info(c.png, c.info);
    png_get_IHDR(c.png, c.info, &h.width, &h.height, &h.depth, &h.colourType, &h.interlace, nullptr, nullptr);
    if (!png_get_PLTE(c.png, c.info, &h.palette, &h.paletteEntries)) h.paletteEntries = 0;
  });
  if (!ok) codecFailed();
}

int TPngFormatDriver::readHeader() {
  fillPaletteAsGrey();
  FileHeader h{};
  startReading(h);
  const int coding = codingOf(h.colourType, h.depth);
  checkGeometry(paddedRow(coding, h.width), h.width, h.height, "PNG header", coding);
  fileInfo.coding_ = coding;  // the palette is the info object's until the codec goes
  fileInfo.sizeX_ = int32_t(h.width);
  fileInfo.sizeY_ = int32_t(h.height);
  const int entries = h.paletteEntries < 256 ? h.paletteEntries : 256;
  for (int i = 0; i < entries; ++i) palette[i] = TqorPaletteItem{h.palette[i].red, h.palette[i].green, h.palette[i].blue};
  if (h.depth == 1) {
    // the file's colours show in images read into stRGB
    oneBitColours[0] = entries > 0 ? palette[0] : TqorPaletteItem{0, 0, 0};
    oneBitColours[1] = entries > 1 ? palette[1] : TqorPaletteItem{255, 255, 255};
    palette[0] = TqorPaletteItem{0, 0, 0};
    palette[1] = palette[255] = TqorPaletteItem{255, 255, 255};
  }
  if (h.colourType == PNG_COLOR_TYPE_GRAY && h.depth == 4)
    for (int i = 0; i < 16; ++i) palette[i] = TqorPaletteItem{uchar(17 * i), uchar(17 * i), uchar(17 * i)};
  codec.reset();
  passCount = 0;
  waiting = false;
  return 0;
}

int TPngFormatDriver::readImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  std::unique_ptr<TImgConvertA2B> converted(getConverterDisk2Memory(image));
  if (!converted) QOR_RAISE_MEMORY();
  FileHeader h{};
  startReading(h);
  // a header read again must describe the file that was opened
  if (int64_t(h.width) != fileInfo.sizeX() || int64_t(h.height) != fileInfo.sizeY() ||
      codingOf(h.colourType, h.depth) != fileInfo.coding()) {
    codec.reset();
    QOR_RAISE("Error reading PNG file: the header no longer describes the %d x %d image of %d bits per pixel opened.",
              fileInfo.sizeX(), fileInfo.sizeY(), fileInfo.coding());
  }
  TPngCodec& c = *codec;
  size_t& delivered = deliveredRow;
  delivered = 0;
  const bool ok = guarded(c, [this, &c, &h, &delivered] {
    if (h.depth == 16) png_set_strip_16(c.png);
    if (h.depth == 2 && h.colourType == PNG_COLOR_TYPE_PALETTE) png_set_packing(c.png);
    if (h.depth == 2 && h.colourType == PNG_COLOR_TYPE_GRAY) png_set_expand_gray_1_2_4_to_8(c.png);
    if (h.colourType & PNG_COLOR_MASK_ALPHA) png_set_strip_alpha(c.png);
    passCount = png_set_interlace_handling(c.png);
    png_read_update_info(c.png, c.info);
    delivered = png_get_rowbytes(c.png, c.info);
  });
  if (!ok) codecFailed();
  const int64_t row = paddedRow(fileInfo.coding(), fileInfo.sizeX());
  if (delivered == 0 || int64_t(delivered) > row) codecFailed(": libpng delivers rows of an unexpected length.");
  takeConverter(converted.release(), int(row));

  setRowLayout({int(row), fileInfo.sizeX(), fileInfo.sizeY(), false});
  if (passCount > 1) {
    // every pass goes into one image, whose rows are then handed out chunk by chunk
    whole.reset(new (std::nothrow) uchar[size_t(row) * size_t(layout.sizeY)]());
    if (!whole) {
      releaseImageState();
      QOR_RAISE_MEMORY();
    }
    png_bytepp all = rowPointers(whole.get(), layout.sizeY);
    if (!guarded(c, [&c, all] {
          png_read_image(c.png, all);
          png_read_end(c.png, c.info);
        }))
      codecFailed();
    codec.reset();
  }
  transferImage(image, false);
  return 0;
}

int TPngFormatDriver::readNextChunk() {
  const int r = moveRowChunk(false);
  if (r == 0 && blockIndex >= chunksNumber()) finishReading();
  return r;
}

void TPngFormatDriver::finishReading() {
  whole.reset();
  if (codec && !guarded(*codec, [c = codec.get()] { png_read_end(c->png, c->info); })) codecFailed();
  codec.reset();
}

void TPngFormatDriver::fetchRows(unsigned char* out, int count) {
  const size_t stride = size_t(layout.rowBytes);
  if (whole) {
    std::memcpy(out, whole.get() + size_t(bufferFirstRow) * stride, size_t(count) * stride);
    return;
  }
  if (!codec) {
    std::memset(out, 0, size_t(count) * stride);
    QOR_RAISE("Error reading PNG file: no image of the file is being read.");
  }
  png_bytepp to = rowPointers(out, count);
  // the padding of image rows holds zeros like that of the chunk buffer; libpng
  // keeps the bits after the last pixel of a byte as they are
  const size_t kept = int64_t(deliveredRow) * 8 == int64_t(fileInfo.coding()) * fileInfo.sizeX() ? deliveredRow
                                                                                                : deliveredRow - 1;
  if (kept < stride)
    for (int k = 0; k < count; ++k) std::memset(to[k] + kept, 0, stride - kept);
  TPngCodec& c = *codec;
  if (!guarded(c, [&c, to, count] { png_read_rows(c.png, to, nullptr, png_uint_32(count)); })) codecFailed();
}

int TPngFormatDriver::createFile(TFileInfo* info) {
  const TPngFileInfo wanted =
      coerceDescriptor(info, TPngFileInfo(info->coding(), info->sizeX(), info->sizeY(), 0));
  if (!writableCoding(wanted.coding_)) QOR_RAISE("Unsupported value of bitsPerSample for PNG.");
  if (wanted.level < TPngStreamWriter::minLevel || wanted.level > TPngStreamWriter::maxLevel)
    QOR_RAISE("PNG compression level %d is not one of %d to %d.", int(wanted.level), TPngStreamWriter::minLevel,
              TPngStreamWriter::maxLevel);
  const char* what = "Cannot create a PNG file";
  checkGeometry(paddedRow(wanted.coding_, wanted.sizeX_), wanted.sizeX_, wanted.sizeY_, what, wanted.coding_);
  releaseImageState();
  waiting = false;
  // no larger than PNG readers take by default
  if (wanted.sizeX_ > TPngStreamWriter::maxSide || wanted.sizeY_ > TPngStreamWriter::maxSide)
    codecFailed("Invalid IHDR data");
  checkImageBytes(TPngStreamWriter(headerOf(wanted, false), wanted.level).largestBuffer(), what);
  adoptDescriptor(fileInfo, wanted);
  passCount = 0;
  waiting = true;
  return 0;
}

int TPngFormatDriver::writeImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  if (!waiting) QOR_RAISE("No PNG file waits for this image: a PNG file is written once, after it is created.");
  const int coding = fileInfo.coding();
  const int64_t row = paddedRow(coding, fileInfo.sizeX());
  // the converter first: a pair without one leaves the file unwritten and ready
  takeConverter(getConverterMemory2Disk(image), int(row));
  const int entries = coding == 4 || coding == 8 ? paletteSize() : 0;
  uchar colours[3 * 256];
  bool greyRamp = coding == 8;
  for (int i = 0; i < entries; ++i) {
    const TqorPaletteItem& e = palette[i];
    colours[3 * i] = e.red, colours[3 * i + 1] = e.green, colours[3 * i + 2] = e.blue;
    greyRamp = greyRamp && e.red == i && e.green == i && e.blue == i;
  }
  waiting = false;
  writer.reset(new (std::nothrow) TPngStreamWriter(headerOf(fileInfo, greyRamp), fileInfo.level));
  if (!writer || !writer->allocate()) {
    writer.reset();
    QOR_RAISE_MEMORY();
  }
  if (!writer->writeHeader(stream, colours, entries)) codecFailed("Write Error");
  passCount = fileInfo.interlace ? 7 : 1;

  setRowLayout({int(row), fileInfo.sizeX(), fileInfo.sizeY(), false});
  transferImage(image, true);
  return 0;
}

int TPngFormatDriver::writeNextChunk() {
  const int r = moveRowChunk(true);
  if (r == 0 && blockIndex >= chunksNumber()) finishWriting();
  return r;
}

void TPngFormatDriver::storeRows(const unsigned char* from, int count) {
  if (!writer) QOR_RAISE("Error reading PNG file: no image of the file is being written.");
  writer->addRows(from, count, layout.rowBytes);
}

void TPngFormatDriver::finishWriting() {
  if (!writer) return;
  const bool ok = writer->finish(stream);
  writer.reset();
  if (!ok) codecFailed("Write Error");
}
