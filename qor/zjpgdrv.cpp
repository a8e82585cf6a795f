#include "zjpgdrv.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>

#include <jerror.h>
#include <jpeglib.h>

#include "zbitconv.h"

// ---------------------------------------------------------------- descriptor

TJpegFileInfo::TJpegFileInfo() : bits(0), width(0), height(0), quality(0) {}

TJpegFileInfo::TJpegFileInfo(int coding, int sizeX, int sizeY, int quality)
    : bits(coding), width(sizeX), height(sizeY), quality(quality) {}

TJpegFileInfo::~TJpegFileInfo() = default;

int TJpegFileInfo::formatID() { return idJPEG(); }

TFileInfo* fiJpegFileInfo(int coding, int sizeX, int sizeY, int quality) {
  return qorOwnedFileInfo<TJpegFileInfo>(coding, sizeX, sizeY, quality);
}

// ---------------------------------------------------------------- codec state

namespace {

// Bytes moved between the stream and libjpeg per call.
constexpr int streamBufferBytes = 64 * 1024;
// Scans a file may have; libjpeg would otherwise decode any number of them.
constexpr int maxScans = 1000;
// Quality of files made from descriptors of other formats (libjpeg's default).
constexpr int defaultQuality = 75;

}  // namespace

// Made zero-filled (new TJpegCodec()): libjpeg objects without memory are
// harmless to destroy, so every path may destroy both.
struct TJpegCodec {
  jpeg_error_mgr errors;
  jmp_buf jump;  // armed by guarded() around every libjpeg call
  char message[JMSG_LENGTH_MAX];
  jpeg_decompress_struct dec;
  jpeg_compress_struct enc;
  jpeg_source_mgr source;
  jpeg_destination_mgr destination;
  jpeg_progress_mgr progress;
  TqorStream* stream;
  bool reading;      // dec has started decompressing
  bool writable;     // enc is set up, its image not started
  bool writing;      // enc has started compressing
  bool startOfFile;  // nothing was read since the source was installed
  bool endOfData;    // the stream ran out before libjpeg was done with it
  char endMessage[JMSG_LENGTH_MAX];
  JOCTET input[streamBufferBytes];
  JOCTET output[streamBufferBytes];
};

namespace {

TJpegCodec& codecOf(j_common_ptr cinfo) { return *static_cast<TJpegCodec*>(cinfo->client_data); }

// Runs one step of libjpeg work under the jump buffer: false when libjpeg
// failed, with its message in c.message. Nothing here or in the steps has a
// destructor, so the jump crosses no frame that needs one.
template <class Step>
bool guarded(TJpegCodec& c, Step step) {
  if (setjmp(c.jump)) return false;
  step();
  return true;
}

[[noreturn]] void leave(TJpegCodec& c) { longjmp(c.jump, 1); }

void errorExit(j_common_ptr cinfo) {
  TJpegCodec& c = codecOf(cinfo);
  (*cinfo->err->format_message)(cinfo, c.message);
  leave(c);
}

// Warnings and traces are counted by libjpeg but never printed.
void outputMessage(j_common_ptr) {}

void watchScans(j_common_ptr cinfo) {
  if (!cinfo->is_decompressor) return;
  if (reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= maxScans) return;
  TJpegCodec& c = codecOf(cinfo);
  std::snprintf(c.message, sizeof c.message, "The JPEG file has more than %d scans.", maxScans);
  leave(c);
}

jpeg_error_mgr* errorManager(TJpegCodec& c, j_common_ptr cinfo) {
  cinfo->client_data = &c;
  jpeg_error_mgr* e = jpeg_std_error(&c.errors);
  e->error_exit = errorExit;
  e->output_message = outputMessage;
  return e;
}

// ---- source manager: the stream, 64 KiB at a time

void initSource(j_decompress_ptr cinfo) { codecOf(j_common_ptr(cinfo)).startOfFile = true; }

boolean fillInput(j_decompress_ptr cinfo) {
  TJpegCodec& c = codecOf(j_common_ptr(cinfo));
  int got = int(qorStreamRead(c.stream, c.input, streamBufferBytes));
  if (got <= 0) {
    if (c.startOfFile) ERREXIT(cinfo, JERR_INPUT_EMPTY);
    // an end-of-image marker ends what there is; the short file is a read error
    WARNMS(cinfo, JWRN_JPEG_EOF);
    if (!c.endOfData) (*cinfo->err->format_message)(j_common_ptr(cinfo), c.endMessage);
    c.endOfData = true;
    c.stream->markFailed();
    c.input[0] = 0xFF;
    c.input[1] = JPEG_EOI;
    got = 2;
  }
  c.source.next_input_byte = c.input;
  c.source.bytes_in_buffer = size_t(got);
  c.startOfFile = false;
  return TRUE;
}

void skipInput(j_decompress_ptr cinfo, long n) {
  if (n <= 0) return;
  jpeg_source_mgr& s = *cinfo->src;
  while (n > long(s.bytes_in_buffer)) {
    n -= long(s.bytes_in_buffer);
    fillInput(cinfo);
  }
  s.next_input_byte += n;
  s.bytes_in_buffer -= size_t(n);
}

void termSource(j_decompress_ptr) {}

// ---- destination manager: the stream, 64 KiB at a time

void initDestination(j_compress_ptr cinfo) {
  TJpegCodec& c = codecOf(j_common_ptr(cinfo));
  c.destination.next_output_byte = c.output;
  c.destination.free_in_buffer = streamBufferBytes;
}

boolean emptyOutput(j_compress_ptr cinfo) {
  TJpegCodec& c = codecOf(j_common_ptr(cinfo));
  if (qorStreamWrite(c.stream, c.output, streamBufferBytes) != streamBufferBytes) ERREXIT(cinfo, JERR_FILE_WRITE);
  c.destination.next_output_byte = c.output;
  c.destination.free_in_buffer = streamBufferBytes;
  return TRUE;
}

void termDestination(j_compress_ptr cinfo) {
  TJpegCodec& c = codecOf(j_common_ptr(cinfo));
  const int held = streamBufferBytes - int(c.destination.free_in_buffer);
  if (held > 0 && qorStreamWrite(c.stream, c.output, held) != held) ERREXIT(cinfo, JERR_FILE_WRITE);
  if (c.stream->fail()) ERREXIT(cinfo, JERR_FILE_WRITE);
}

void dropDecompression(TJpegCodec& c) {
  jpeg_destroy(j_common_ptr(&c.dec));
  c.reading = false;
}

void dropCompression(TJpegCodec& c) {
  jpeg_destroy(j_common_ptr(&c.enc));
  c.writable = c.writing = false;
}

// The most memory libjpeg may take for whole-image buffers (progressive
// files): a few times what the image itself may take.
long memoryFor(const TQORDataManager* m) {
  const int64_t limit = m ? m->maxImageBytes() : 0;
  return limit > 0 ? long(limit * 4 + (int64_t(64) << 20)) : 0;
}

// Files of four inks: CMYK, or YCCK which libjpeg turns into CMYK.
bool isInks(const TJpegCodec& c) {
  return c.dec.num_components == 4 && (c.dec.jpeg_color_space == JCS_CMYK || c.dec.jpeg_color_space == JCS_YCCK);
}

// Red, green, blue of count ink pixels: what the ink leaves of what the
// black leaves of white, nk - ink * nk / 255 with nk = 255 - black, rounded
// as other readers do; inverted files store 255 - ink.
void inksToRGB(unsigned char* rgb, const unsigned char* cmyk, int count, bool inverted) {
  const int flip = inverted ? 255 : 0;
  for (int i = 0; i < count; ++i, rgb += 3, cmyk += 4) {
    const int nk = 255 - (flip ^ cmyk[3]);
    for (int j = 0; j < 3; ++j) {
      const int t = (flip ^ cmyk[j]) * nk + 128;
      rgb[j] = (unsigned char)(nk - (((t >> 8) + t) >> 8));
    }
  }
}

}  // namespace


// ---------------------------------------------------------------- converter tables

namespace {

using uchar = unsigned char;
using qorTableRows::byteCopy;
using qorTableRows::make;

// disk coding -> memory type; libjpeg's colour samples are red, green, blue
const TConverterRow jpegToMemory[] = {
    {image8BitPerPix, stUChar, byteCopy},
    {image8BitPerPix, stSChar, make<TImgConvertUChar2SChar>},
    {image8BitPerPix, stBitmap, byteCopy},
    {image24BitPerPix, stUChar, make<TImgConvertRGB2UChar>},
    {image24BitPerPix, stSChar, make<TImgConvertRGB2SChar>},
    {image24BitPerPix, stRGB, make<TImgConvertRGB2RGB>},
    {image24BitPerPix, stBitmap, make<TImgConvertSwapBR>},
};

// memory type -> disk coding
const TConverterRow jpegToDisk[] = {
    {stUChar, image8BitPerPix, byteCopy},
    {stSChar, image8BitPerPix, make<TImgConvertSChar2UChar>},
    {stRGB, image24BitPerPix, make<TImgConvertRGB2RGB>},
    {stBitmap, image8BitPerPix, byteCopy},
    {stBitmap, image24BitPerPix, make<TImgConvertSwapBR>},
};

}  // namespace

TJpegConverters::TJpegConverters() : TSharedConverterTables(jpegToMemory, jpegToDisk) {}

TImgConvertA2B* TJpegFormatDriver::getConverterDisk2Memory(TqorImageBase* image) {
  return readConverter(TJpegConverters::tables(), fileInfo.bits, image);
}

TImgConvertA2B* TJpegFormatDriver::getConverterMemory2Disk(TqorImageBase* image) {
  return writeConverter(TJpegConverters::tables(), image, fileInfo.bits);
}

// ---------------------------------------------------------------- driver

TJpegFormatDriver::TJpegFormatDriver() = default;

TJpegFormatDriver::~TJpegFormatDriver() {
  if (state) {
    dropDecompression(*state);
    dropCompression(*state);
  }
}

int TJpegFormatDriver::hasPalette() { return fileInfo.bits == 8; }

int TJpegFormatDriver::paletteSize() { return fileInfo.bits == 8 || fileInfo.bits == 24 ? 256 : 0; }

TJpegCodec& TJpegFormatDriver::codec() {
  if (!state) {
    state.reset(new (std::nothrow) TJpegCodec());
    if (!state) QOR_RAISE_MEMORY();
  }
  return *state;
}

void TJpegFormatDriver::releaseImageState() {
  if (!state) return;
  dropDecompression(*state);
  if (state->writing) dropCompression(*state);
}

void TJpegFormatDriver::codecFailed(bool compressing) {
  TJpegCodec& c = *state;
  if (compressing)
    dropCompression(c);
  else
    dropDecompression(c);
  // libjpeg's complaint about a stream cut short is about the marker put in its place
  QOR_RAISE("%s", c.endOfData && !compressing ? c.endMessage : c.message);
}

int TJpegFormatDriver::recognizeFormat() {
  unsigned char bytes[3] = {};
  return readPrefix(bytes, 3) && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

int TJpegFormatDriver::startHeader() {
  TJpegCodec& c = codec();
  dropDecompression(c);
  if (!seekTo(0)) QOR_RAISE("The JPEG data of \"%s\" cannot be read from its start.", fileNameForMessages());
  c.stream = stream;
  c.endOfData = false;
  const long memory = memoryFor(manager);
  const bool ok = guarded(c, [&c, memory] {
    c.dec.err = errorManager(c, j_common_ptr(&c.dec));
    jpeg_create_decompress(&c.dec);
    c.dec.mem->max_memory_to_use = memory;
    c.source.init_source = initSource;
    c.source.fill_input_buffer = fillInput;
    c.source.skip_input_data = skipInput;
    c.source.resync_to_restart = jpeg_resync_to_restart;
    c.source.term_source = termSource;
    c.source.next_input_byte = nullptr;
    c.source.bytes_in_buffer = 0;
    c.dec.src = &c.source;
    c.progress.progress_monitor = watchScans;
    c.dec.progress = &c.progress;
    jpeg_read_header(&c.dec, TRUE);
  });
  if (!ok) codecFailed(false);
  if (c.endOfData) {
    dropDecompression(c);
    QOR_RAISE("%s", c.endMessage);
  }
  return c.dec.num_components;
}

int TJpegFormatDriver::readHeader() {
  fillPaletteAsGrey();
  const int components = startHeader();
  TJpegCodec& c = *state;
  const int64_t width = c.dec.image_width, height = c.dec.image_height;
  const bool inks = isInks(c);
  dropDecompression(c);
  if (components != 1 && components != 3 && !inks)
    QOR_RAISE("JPEG: %d components of colour space %d are not supported (%s).", components,
              int(c.dec.jpeg_color_space), fileNameForMessages());
  // ink files (CMYK, YCCK) read as colour
  const int bits = inks ? 24 : 8 * components;
  checkGeometry(width * components, width, height, "JPEG header");
  fileInfo = TJpegFileInfo(bits, int(width), int(height), -1);
  return 0;
}

void TJpegFormatDriver::rowLayout() {
  setRowLayout({fileInfo.width * (fileInfo.bits / 8), fileInfo.width, fileInfo.height, false});
}

int TJpegFormatDriver::readImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  takeConverter(getConverterDisk2Memory(image));
  const int components = startHeader();
  TJpegCodec& c = *state;
  inks = isInks(c);
  if ((inks ? 24 : 8 * components) != fileInfo.bits || int64_t(c.dec.image_width) != fileInfo.width ||
      int64_t(c.dec.image_height) != fileInfo.height) {
    dropDecompression(c);
    QOR_RAISE("The JPEG data of \"%s\" changed since its header was read.", fileNameForMessages());
  }
  c.dec.out_color_space = components == 1 ? JCS_GRAYSCALE : inks ? JCS_CMYK : JCS_RGB;
  // Adobe's files store inverted inks
  invertedInks = inks && c.dec.saw_Adobe_marker;
  if (inks) {
    try {
      inkRows.resize(size_t(fileInfo.width) * 4 * inkBatch);
    } catch (const std::bad_alloc&) {
      dropDecompression(c);
      QOR_RAISE_MEMORY();
    }
  }
  if (!guarded(c, [&c] { jpeg_start_decompress(&c.dec); })) codecFailed(false);
  if (c.dec.output_components != components) {
    dropDecompression(c);
    QOR_RAISE("Unsupported color space in JPEG file.");
  }
  c.reading = true;
  rowLayout();
  transferImage(image, false);
  return 0;
}

void TJpegFormatDriver::fetchRows(unsigned char* rows, int count) {
  const size_t stride = size_t(layout.rowBytes);
  decodeRows(count, [rows, stride](int k) { return rows + size_t(k) * stride; });
}

template <class RowAt>
void TJpegFormatDriver::decodeRows(int count, RowAt rowAt) {
  TJpegCodec* c = state.get();
  if (!c || !c->reading) QOR_RAISE("No JPEG image of \"%s\" is being read.", fileNameForMessages());
  int done = 0;
  bool finished = false;
  unsigned char* ink = inks ? inkRows.data() : nullptr;
  const size_t inkRow = size_t(fileInfo.width) * 4;
  const int width = fileInfo.width;
  const bool inverted = invertedInks;
  const bool ok = guarded(*c, [&] {
    JSAMPROW pointers[inkBatch];
    while (done < count) {
      const int batch = count - done < inkBatch ? count - done : inkBatch;
      for (int k = 0; k < batch; ++k) pointers[k] = ink ? ink + size_t(k) * inkRow : rowAt(done + k);
      const int got = int(jpeg_read_scanlines(&c->dec, pointers, JDIMENSION(batch)));
      if (got <= 0) break;
      for (int k = 0; ink && k < got; ++k) inksToRGB(rowAt(done + k), pointers[k], width, inverted);
      done += got;
    }
    if (c->dec.output_scanline >= c->dec.output_height) {
      jpeg_finish_decompress(&c->dec);
      finished = true;
    }
  });
  if (!ok) codecFailed(false);
  // rows libjpeg did not deliver are zeros, and the read fails
  if (done < count) {
    for (int k = done; k < count; ++k) std::memset(rowAt(k), 0, size_t(layout.rowBytes));
    stream->markFailed();
  }
  if (finished) {
    dropDecompression(*c);
    fillPaletteAsGrey();
  }
}

int TJpegFormatDriver::createFile(TFileInfo* info) {
  const char* what = "Cannot create a JPEG file";
  const TJpegFileInfo wanted =
      coerceDescriptor(info, TJpegFileInfo(info->coding(), info->sizeX(), info->sizeY(), defaultQuality));
  if (wanted.bits != 8 && wanted.bits != 24) QOR_RAISE("Unsupported value of bitsPerSample for JPEG");
  const int components = wanted.bits / 8;
  checkGeometry(int64_t(wanted.width) * components, wanted.width, wanted.height, what);
  if (wanted.width > JPEG_MAX_DIMENSION || wanted.height > JPEG_MAX_DIMENSION)
    QOR_RAISE("%s: %d x %d pixels; a JPEG image has at most %d in either direction.", what, int(wanted.width),
              int(wanted.height), int(JPEG_MAX_DIMENSION));
  adoptDescriptor(fileInfo, wanted);
  TJpegCodec& c = codec();
  dropCompression(c);
  c.stream = stream;
  const TJpegFileInfo& f = fileInfo;
  const bool ok = guarded(c, [&c, &f, components] {
    c.enc.err = errorManager(c, j_common_ptr(&c.enc));
    jpeg_create_compress(&c.enc);
    c.destination.init_destination = initDestination;
    c.destination.empty_output_buffer = emptyOutput;
    c.destination.term_destination = termDestination;
    c.enc.dest = &c.destination;
    c.enc.image_width = JDIMENSION(f.width);
    c.enc.image_height = JDIMENSION(f.height);
    c.enc.input_components = components;
    c.enc.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&c.enc);
    jpeg_set_quality(&c.enc, f.quality, FALSE);
  });
  if (!ok) codecFailed(true);
  c.writable = true;
  return 0;
}

int TJpegFormatDriver::writeImage(TqorImageBase* image, int) {
  if (!image->ptr()) return 0;
  TJpegCodec* c = state.get();
  if (!c || !c->writable)
    QOR_RAISE("The JPEG file \"%s\" takes one image, written once after the file is created.",
              fileNameForMessages());
  takeConverter(getConverterMemory2Disk(image));
  if (!seekTo(0)) QOR_RAISE("The JPEG file \"%s\" cannot be written from its start.", fileNameForMessages());
  c->stream = stream;
  if (!guarded(*c, [c] { jpeg_start_compress(&c->enc, TRUE); })) codecFailed(true);
  c->writable = false;
  c->writing = true;
  rowLayout();
  transferImage(image, true);
  return 0;
}

void TJpegFormatDriver::storeRows(const unsigned char* rows, int count) {
  const size_t stride = size_t(layout.rowBytes);
  encodeRows(count, [rows, stride](int k) { return const_cast<unsigned char*>(rows + size_t(k) * stride); });
}

template <class RowAt>
void TJpegFormatDriver::encodeRows(int count, RowAt rowAt) {
  TJpegCodec* c = state.get();
  if (!c || !c->writing) QOR_RAISE("No JPEG image of \"%s\" is being written.", fileNameForMessages());
  bool finished = false;
  const bool ok = guarded(*c, [&] {
    JSAMPROW pointers[16];
    int done = 0;
    while (done < count) {
      const int batch = count - done < 16 ? count - done : 16;
      for (int k = 0; k < batch; ++k) pointers[k] = rowAt(done + k);
      const int put = int(jpeg_write_scanlines(&c->enc, pointers, JDIMENSION(batch)));
      if (put <= 0) break;
      done += put;
    }
    if (c->enc.next_scanline >= c->enc.image_height) {
      jpeg_finish_compress(&c->enc);
      finished = true;
    }
  });
  if (!ok) codecFailed(true);
  if (finished) dropCompression(*c);
}
