// JPEG files (zjpgdrv): failures and the codec's messages, Exif and other
// streams that are not JFIF, reading an image again, writing only once,
// quality bounds, streams that fail, and interchange with Pillow and
// ImageMagick in both directions.
#include "zqorcfg.h"

#if QOR_WITH_JPEG

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "oracle.h"

namespace {

using namespace qortest;

TQORDataManager* manager = getQorDataManager();

// ---------------------------------------------------------------- helpers

// A smooth colour picture (gradients and a soft disc), red, green, blue.
Bytes smoothRGB(int w, int h) {
  Bytes px(size_t(3) * size_t(w) * size_t(h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double d = std::hypot(x - w / 2.0, y - h / 2.0) / (w / 3.0);
      unsigned char* p = &px[3 * (size_t(y) * size_t(w) + size_t(x))];
      p[0] = uint8_t(255.0 * x / (w - 1));
      p[1] = uint8_t(255.0 * y / (h - 1));
      p[2] = uint8_t(d < 1 ? 200 - 150 * d : 50);
    }
  return px;
}

Bytes greyOf(const Bytes& rgb) {
  Bytes g(rgb.size() / 3);
  for (size_t i = 0; i < g.size(); ++i)
    g[i] = uint8_t((77 * rgb[3 * i] + 151 * rgb[3 * i + 1] + 28 * rgb[3 * i + 2]) >> 8);
  return g;
}

double psnr(const Bytes& a, const Bytes& b) {
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += double(int(a[i]) - int(b[i])) * double(int(a[i]) - int(b[i]));
  return sum == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

// The bytes of a file this library writes from px (type stUChar or stRGB).
Bytes written(int coding, int w, int h, int quality, const Bytes& px) {
  TempDir dir;
  const std::string path = dir.file("w.jpg");
  {
    TImageEnsemble e(path.c_str(), fiJpegFileInfo(coding, w, h, quality), manager);
    writePixels(e, coding == 8 ? stUChar : stRGB, px);
  }
  return readFile(path);
}

std::unique_ptr<TImageEnsemble> openBytes(Bytes& b) {
  auto e = std::make_unique<TImageEnsemble>(manager);
  b.reserve(1);
  e->open(new TqorMemoryStream(b.data(), int(b.size())));
  return e;
}

// A four-component (CMYK) file, made with libjpeg.
Bytes cmykFile() {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = 8;
  c.image_height = 8;
  c.input_components = 4;
  c.in_color_space = JCS_CMYK;
  jpeg_set_defaults(&c);
  jpeg_start_compress(&c, TRUE);
  unsigned char row[32] = {};
  JSAMPROW rows[1] = {row};
  while (c.next_scanline < c.image_height) jpeg_write_scanlines(&c, rows, 1);
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  Bytes b(out, out + size);
  std::free(out);
  return b;
}

// The file with its JFIF segment replaced by an Exif one, as cameras write them.
Bytes asExif(const Bytes& jfif) {
  EXPECT_EQ(jfif[3], 0xE0);
  const size_t app0 = 4 + (size_t(jfif[4]) << 8 | jfif[5]);
  const Bytes tiff = {'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Bytes b = {0xFF, 0xD8, 0xFF, 0xE1, 0, uint8_t(tiff.size() + 2)};
  b.insert(b.end(), tiff.begin(), tiff.end());
  b.insert(b.end(), jfif.begin() + long(app0), jfif.end());
  return b;
}

const Bytes& colourFile() {
  static const Bytes b = written(24, 40, 24, 90, smoothRGB(40, 24));
  return b;
}

// ---------------------------------------------------------------- failures of reading

struct ReadFailure {
  const char* name;
  Bytes (*bytes)();
  bool driverAlone;  // the bytes are not claimed as JPEG: ask the driver itself
  const char* text;
  const char* unit;
};

void PrintTo(const ReadFailure& f, std::ostream* os) { *os << f.name; }

const ReadFailure kReadFailures[] = {
    {"Empty", [] { return Bytes(); }, true, "Empty input file", "zjpgdrv"},
    {"NotJpeg", [] { return Bytes{'G', 'I', 'F', '8', '9', 'a'}; }, true, "Not a JPEG file: starts with 0x47 0x49",
     "zjpgdrv"},
    {"DataCut", [] { return Bytes(colourFile().begin(), colourFile().end() - 60); }, false,
     "Error while reading from disk.", "zsigens1"},
    {"EndMarkerMissing", [] { return Bytes(colourFile().begin(), colourFile().end() - 2); }, false,
     "Error while reading from disk.", "zsigens1"},
};

class ReadFails : public testing::TestWithParam<ReadFailure> {};

TEST_P(ReadFails, WithItsMessage) {
  const ReadFailure& f = GetParam();
  Bytes b = f.bytes();
  b.reserve(1);
  EXPECT_TRUE(raises(
      [&] {
        if (f.driverAlone) {
          TqorMemoryStream s(b.data(), int(b.size()));
          TJpegFormatDriver d;
          d.init(nullptr, &s);
          ASSERT_FALSE(d.recognizeFormat());
          d.readHeader();
        } else {
          auto e = openBytes(b);
          readPixels(*e, e->coding() == 8 ? stUChar : stRGB);
        }
      },
      3, f.text, f.unit));
}

INSTANTIATE_TEST_SUITE_P(Jpeg, ReadFails, testing::ValuesIn(kReadFailures),
                         qortest::caseName());

TEST(Reading, ImageLargerThanTheManagerAllowsIsRefusedAtOpen) {
  Bytes b = colourFile();
  TQORDataManager* small = getQorDataManager();
  small->setMaxImageBytes(1000);
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(small);
        e.open(new TqorMemoryStream(b.data(), int(b.size())));
      },
      3, "JPEG header: the image takes 2880 bytes, more than the 1000 bytes one image may take.", "zsigens2"));
  destroyQORDataManager(small);
}

// A stream that hands out its bytes and then answers reads with -1 (or 0).
class FailingStream : public TqorMemoryStream {
public:
  FailingStream(Bytes& b, int answer) : TqorMemoryStream(b.data(), int(b.size())), answer(answer) {}

protected:
  int readMethod(void* buffer, int length) override {
    const int got = TqorMemoryStream::readMethod(buffer, length);
    return got > 0 ? got : answer;
  }
  int answer;
};

TEST(Reading, StreamThatFailsAfterItsBytesEndsTheDataAsAReadError) {
  for (int answer : {0, -1}) {
    Bytes b(colourFile().begin(), colourFile().end() - 60);
    TImageEnsemble e(manager);
    e.open(new FailingStream(b, answer));
    EXPECT_EQ(raisedCode([&] { readPixels(e, stRGB); }), 3) << answer;
  }
}

// ---------------------------------------------------------------- failures of writing

struct WriteFailure {
  const char* name;
  int coding, sizeX, sizeY;
  int bytes;  // room of the memory the file goes to
  const char* text;
  const char* unit = "zjpgdrv";
};

void PrintTo(const WriteFailure& f, std::ostream* os) { *os << f.name; }

const WriteFailure kWriteFailures[] = {
    {"OneBit", 1, 16, 16, 100000, "Unsupported value of bitsPerSample for JPEG"},
    {"FourBits", 4, 16, 16, 100000, "Unsupported value of bitsPerSample for JPEG"},
    {"SixteenBits", 16, 16, 16, 100000, "Unsupported value of bitsPerSample for JPEG"},
    {"TooWide", 8, 70000, 2, 100000,
     "Cannot create a JPEG file: 70000 x 2 pixels; a JPEG image has at most 65500 in either direction."},
    {"Empty", 24, 0, 5, 100000, "Cannot create a JPEG file: the image size 0 x 5 is empty.", "zsigens2"},
    {"DiskFull", 24, 64, 64, 300, "Output file write error --- out of disk space?"},
};

class WriteFails : public testing::TestWithParam<WriteFailure> {};

TEST_P(WriteFails, WithItsMessage) {
  const WriteFailure& f = GetParam();
  Bytes memory(size_t(f.bytes), 0);
  const Bytes px = smoothRGB(f.sizeX > 0 && f.sizeX < 1000 ? f.sizeX : 1, f.sizeY);
  EXPECT_TRUE(raises(
      [&] {
        TImageEnsemble e(manager);
        e.open(new TqorMemoryStream(memory.data(), int(memory.size())),
               fiJpegFileInfo(f.coding, f.sizeX, f.sizeY, 90));
        writePixels(e, stRGB, px);
      },
      3, f.text, f.unit));
}

INSTANTIATE_TEST_SUITE_P(Jpeg, WriteFails, testing::ValuesIn(kWriteFailures),
                         qortest::caseName());

// ---------------------------------------------------------------- what the driver does instead

// libjpeg's CMYK files carry Adobe's marker: their stored inks are inverted, so zeros are full ink.
TEST(Reading, InkFilesReadAsColour) {
  Bytes b = cmykFile();
  auto e = openBytes(b);
  EXPECT_EQ(e->coding(), 24);
  EXPECT_EQ(readPixels(*e, stRGB), Bytes(8 * 8 * 3, 0));
}

TEST(Detection, ExifAndOtherStreamsOfTheStartMarkerAreJpeg) {
  Bytes exif = asExif(colourFile());
  Bytes jfif = colourFile();
  EXPECT_EQ(readPixels(*openBytes(exif), stRGB), readPixels(*openBytes(jfif), stRGB));
}

TEST(Reading, AnImageReadAgainDecodesFromTheStart) {
  Bytes b = colourFile();
  TImageEnsemble e(manager);
  e.open(new TqorMemoryStream(b.data(), int(b.size())));
  EXPECT_EQ(e.coding(), 24);
  const Bytes rgb = readPixels(e, stRGB);
  EXPECT_EQ(readPixels(e, stUChar), greyOf(rgb));
  EXPECT_EQ(readPixels(e, stRGB), rgb);
  EXPECT_EQ(e.getFileInfo()->coding(), 24);
  EXPECT_EQ(static_cast<TJpegFileInfo*>(e.getFileInfo())->quality, -1);
}

TEST(Reading, ChunkByChunkGivesTheSameRowsAndAnUnfinishedReadIsDropped) {
  Bytes b = colourFile();
  const Bytes whole = [&] {
    auto e = openBytes(b);
    return readPixels(*e, stRGB);
  }();
  Bytes rows(whole.size(), 0);
  {
    TImageEnsemble e(manager);
    e.open(new TqorMemoryStream(b.data(), int(b.size())));
    e.setf(qorChunkMode);
    e.readRGBImage(0, rows.data());
    while (e.readNextChunk() == 0) {
    }
  }
  EXPECT_EQ(rows, whole);
  // a read stopped after one chunk, then the ensemble closed
  TImageEnsemble e(manager);
  e.open(new TqorMemoryStream(b.data(), int(b.size())));
  e.setf(qorChunkMode);
  e.readRGBImage(0, rows.data());
  EXPECT_EQ(e.readNextChunk(), 0);
}

TEST(Writing, FileOpenedForReadingOrWrittenOnceTakesNoImage) {
  TempDir dir;
  const std::string path = dir.file("once.jpg");
  const Bytes px = smoothRGB(16, 8);
  const std::string text = "The JPEG file \"" + path + "\" takes one image, written once after the file is created.";
  {
    TImageEnsemble e(path.c_str(), fiJpegFileInfo(24, 16, 8, 90), manager);
    writePixels(e, stRGB, px);
    EXPECT_TRUE(raises([&] { writePixels(e, stRGB, px); }, 3, text, "zjpgdrv"));
  }
  const Bytes file = readFile(path);
  TImageEnsemble e(path.c_str(), manager);
  EXPECT_TRUE(raises([&] { writePixels(e, stRGB, px); }, 3, text, "zjpgdrv"));
  EXPECT_EQ(readFile(path), file);
}

TEST(Writing, SignedBytesGoThroughTheConverterToTheSameFile) {
  const int w = 37, h = 21;
  const Bytes grey = greyOf(smoothRGB(w, h));
  Bytes shifted = grey;
  for (unsigned char& v : shifted) v ^= 0x80;
  TempDir dir;
  const std::string path = dir.file("s.jpg");
  {
    TImageEnsemble e(path.c_str(), fiJpegFileInfo(8, w, h, 90), manager);
    writePixels(e, stSChar, shifted);
  }
  EXPECT_EQ(readFile(path), written(8, w, h, 90, grey));
}

// Qualities libjpeg takes as the nearer end of 1 to 100, and descriptors of other formats.
TEST(Writing, QualityOutsideTheScaleIsItsNearerEnd) {
  const Bytes px = smoothRGB(24, 16);
  EXPECT_EQ(written(24, 24, 16, -1, px), written(24, 24, 16, 1, px));
  EXPECT_EQ(written(24, 24, 16, 1000, px), written(24, 24, 16, 100, px));
  EXPECT_NE(written(24, 24, 16, 1, px), written(24, 24, 16, 100, px));
}

// ---------------------------------------------------------------- interchange

struct ToolCase {
  const char* name;
  Tool tool;
  const char* source;  // "grey" or "rgb"
  std::vector<std::string> args;
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

const ToolCase kToolCases[] = {
    {"PillowGrey", Tool::pillow, "grey", {"quality=90"}},
    {"PillowColour", Tool::pillow, "rgb", {"quality=90"}},
    {"PillowProgressive", Tool::pillow, "rgb", {"quality=75", "progressive=1"}},
    {"PillowGreyProgressive", Tool::pillow, "grey", {"progressive=1"}},
    {"PillowColour444", Tool::pillow, "rgb", {"quality=95", "subsampling=0"}},
    {"MagickColour", Tool::magick, "rgb", {"-quality", "85"}},
    {"MagickProgressive", Tool::magick, "rgb", {"-interlace", "JPEG"}},
    {"MagickGrey", Tool::magick, "grey", {"-quality", "70"}},
    {"PillowCmyk", Tool::pillow, "cmyk", {"quality=95"}},
    {"MagickCmyk", Tool::magick, "rgb", {"-colorspace", "CMYK", "-quality", "95"}},
};

class ToolWritten : public testing::TestWithParam<ToolCase> {};

TEST_P(ToolWritten, ReadsAsPillowDecodes) {
  const ToolCase& c = GetParam();
  QOR_REQUIRE_ORACLE(c.tool);
  const std::string path =
      toolWrite(c.tool, c.source, std::string(c.name) + ".jpg", "JPEG", c.args);
  ASSERT_FALSE(path.empty());
  const Decoded d = pillowResult(path);
  TImageEnsemble e(path.c_str(), manager);
  const bool grey = std::string(c.source) == "grey";
  EXPECT_EQ(e.coding(), grey ? 8 : 24);
  expectSameAsPillow(e, d, grey ? PillowView{8, false, 8, 256} : PillowView{24, true, 24, 0});
  // the same stream as cameras write it, an Exif segment in place of the JFIF one
  const Bytes b = readFile(path);
  if (b.size() < 6 || b[3] != 0xE0) return;
  const std::string exif = path + ".exif.jpg";
  writeFile(exif, asExif(b));
  ASSERT_TRUE(pillowDecode(exif));
  const Decoded x = pillowResult(exif);
  TImageEnsemble ex(exif.c_str(), manager);
  EXPECT_EQ(readPixels(ex, grey ? stUChar : stRGB), grey ? x.idx : x.rgb);
}

INSTANTIATE_TEST_SUITE_P(Jpeg, ToolWritten, testing::ValuesIn(kToolCases),
                         qortest::caseName());

TEST(Interchange, FilesWrittenHereArePillowsPixelsCloseToTheSource) {
  QOR_REQUIRE_ORACLE(Tool::pillow);
  const int w = 203, h = 77;
  const Bytes rgb = smoothRGB(w, h);
  for (int coding : {8, 24}) {
    SCOPED_TRACE(coding);
    const Bytes source = coding == 8 ? greyOf(rgb) : rgb;
    const std::string path = oracleDir().file("here" + std::to_string(coding) + ".jpg");
    writeFile(path, written(coding, w, h, 90, source));
    ASSERT_TRUE(pillowDecode(path));
    const Decoded d = pillowResult(path);
    ASSERT_EQ(d.width, w);
    ASSERT_EQ(d.height, h);
    EXPECT_EQ(d.mode, coding == 8 ? "L" : "RGB");
    const Bytes& theirs = coding == 8 ? d.idx : d.rgb;
    TImageEnsemble e(path.c_str(), manager);
    EXPECT_EQ(readPixels(e, coding == 8 ? stUChar : stRGB), theirs);
    EXPECT_GE(psnr(theirs, source), 38.0);
  }
}

}  // namespace

#endif
