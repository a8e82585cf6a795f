// The qorimg tool as a user runs it: info, convert (one file, and batches
// with two workers), dump, and the exit status of usage errors. Files are
// made and checked with the library.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "testutil.h"

#ifndef QORIMG_PATH
#error "QORIMG_PATH must name the qorimg binary"
#endif

namespace {

using namespace qortest;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

class Qorimg : public testing::Test {
protected:
  // qorimg with args (a shell word list), in the test's folder.
  Outcome run(const std::string& args) {
    const std::string cmd = "cd '" + dir.path() + "' && " QORIMG_PATH " " + args + " >'" + dir.file("out.txt") +
                            "' 2>'" + dir.file("err.txt") + "'";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : 128, slurp(dir.file("out.txt")), slurp(dir.file("err.txt"))};
  }
  // A 12 x 7 file of format, coding and image count, pixels from a seed.
  void make(const std::string& name, TFileInfo* info, int type, int seed, int images = 1) {
    TImageEnsemble e(dir.file(name).c_str(), info, manager.m);
    for (int i = 0; i < images; ++i) {
      if (type == stUChar) {
        TUCharImage* u = e.getEmptyUCharImage(i);
        for (int k = 0; k < u->size(); ++k) u->elements()[k] = (unsigned char)(k * 7 + seed + i);
        if (e.formatID() != idKAV()) {
          for (int c = 0; c < 256; ++c) u->getPalette()[c] = TqorPaletteItem{(unsigned char)c, (unsigned char)(255 - c), 60};
          u->setPaletteSize(256);
        }
      } else {
        TqorImageBase* img = type == stRGB      ? static_cast<TqorImageBase*>(e.getEmptyRGBImage(i))
                             : type == stSShort ? static_cast<TqorImageBase*>(e.getEmptySShortImage(i))
                                                : static_cast<TqorImageBase*>(e.getEmptyOneBitImage(i));
        const long n = long(e.imageBytes(type));
        for (long k = 0; k < n; ++k) static_cast<unsigned char*>(img->ptr())[k] = (unsigned char)(k * 13 + seed);
      }
      e.putImage(i);
      e.freeImage(i);
    }
  }
  // Image i of a file: format number, coding, count and the pixels as type.
  std::string describe(const std::string& name) {
    TImageEnsemble e(dir.file(name).c_str(), manager.m);
    return std::to_string(e.formatID()) + "/" + std::to_string(e.coding()) + "/" + std::to_string(e.numberOfImages());
  }
  Bytes pixels(const std::string& name, int type) {
    TImageEnsemble e(dir.file(name).c_str(), manager.m);
    return readPixels(e, type);
  }

  TempDir dir;
  Manager manager;
};

TEST_F(Qorimg, InfoOneLineOrJsonPerFileAndGoesOnAfterAFailure) {
  make("a.bmp", fiBmpFileInfo(8, 12, 7), stUChar, 1);
  make("n.kav", fiKavFileInfo(stUChar, 12, 7, 2, "n"), stUChar, 2, 2);
  Outcome r = run("info a.bmp missing.png n.kav");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out,
            "a.bmp: bmp (1), 12 x 7, 1 image, coding image8BitPerPix (8), palette 256\n"
            "n.kav: native (3), 12 x 7, 2 images, coding stUChar (9), palette 0\n");
  EXPECT_EQ(r.err.rfind("qorimg: missing.png: Error! Can't open file missing.png", 0), 0u) << r.err;
  r = run("info --json n.kav");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "{\"file\": \"n.kav\", \"format\": \"native\", \"formatID\": 3, \"sizeX\": 12, \"sizeY\": 7, \"images\": 2, "
            "\"coding\": 9, \"codingName\": \"stUChar\", \"paletteSize\": 0}\n");
}

// One source, one command line, what comes out: format/coding/images, or exit 1 and no file.
struct ConvertCase {
  const char* name;
  const char* source;
  const char* args;
  const char* output;
  const char* described;  // "" when refused
};

class QorimgConvert : public Qorimg, public testing::WithParamInterface<ConvertCase> {};

TEST_P(QorimgConvert, WritesTheFormatAndCodingAsked) {
  const ConvertCase& c = GetParam();
  make("pal.bmp", fiBmpFileInfo(8, 12, 7), stUChar, 3);
  make("rgb.bmp", fiBmpFileInfo(24, 12, 7), stRGB, 4);
  make("bw.bmp", fiBmpFileInfo(1, 12, 7), stOneBit, 5);
  make("two.kav", fiKavFileInfo(stUChar, 12, 7, 2, "n"), stUChar, 6, 2);
  make("s.fits", fiAstroFileInfo(16, 12, 7), stSShort, 7);
  Outcome r = run(std::string("convert ") + c.source + " " + c.output + " " + c.args);
  if (!*c.described) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_FALSE(fileExists(dir.file(c.output)));
    EXPECT_NE(r.err.find(std::string("qorimg: ") + c.source + ": "), std::string::npos) << r.err;
    return;
  }
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(describe(c.output), c.described);
}

const ConvertCase kConvertCases[] = {
    {"PaletteKeptInPcx", "pal.bmp", "", "o.pcx", "7/8/1"},
    {"ColourRunLengthTga", "rgb.bmp", "--rle", "o.tga", "9/24/1"},
    {"ColourToGreyOnlyWhenAsked", "rgb.bmp", "--coding 8", "o.pcx", ""},
    {"ColourToGreyAsked", "rgb.bmp", "--coding 8 --grey", "o.pcx", "7/8/1"},
    {"EveryImageIntoDcx", "two.kav", "", "o.dcx", "4/8/2"},
    {"ToNamedFormat", "rgb.bmp", "--to os2bmp", "o.img", "2/24/1"},
    {"ImageBeyondTheSource", "rgb.bmp", "--image 3", "o.tga", ""},
    {"SamplesStaySixteenBitsInNative", "s.fits", "", "o.kav", "3/8/1"},
    {"SamplesRefusedByEightBits", "s.fits", "", "o.bmp", ""},
    {"GreyIntoSamples", "rgb.bmp", "--grey", "o.fits", "0/16/1"},
#if QOR_WITH_PNG
    {"PaletteKeptInPng", "pal.bmp", "", "o.png", "8/8/1"},
    {"ColourPngAtLevel", "rgb.bmp", "--level 12", "o.png", "8/24/1"},
#endif
#if QOR_WITH_JPEG
    {"PaletteExpandsToColourInJpeg", "pal.bmp", "--quality 95", "o.jpg", "5/24/1"},
    {"BilevelExpandsToGreyInJpeg", "bw.bmp", "", "o.jpg", "5/8/1"},
#endif
#if QOR_WITH_TIFF
    {"PickedImageIntoTiff", "two.kav", "--image 1", "o.tif", "10/8/1"},
#endif
};
INSTANTIATE_TEST_SUITE_P(, QorimgConvert, testing::ValuesIn(kConvertCases),
                         qortest::caseName());

TEST_F(Qorimg, ConvertedPixelsAreTheSource) {
  make("pal.bmp", fiBmpFileInfo(8, 12, 7), stUChar, 3);
  make("rgb.bmp", fiBmpFileInfo(24, 12, 7), stRGB, 4);
  ASSERT_EQ(run("convert pal.bmp o.pcx").status, 0);
  ASSERT_EQ(run("convert pal.bmp raw.pcx --raw").status, 0);
  EXPECT_EQ(pixels("o.pcx", stUChar), pixels("pal.bmp", stUChar));
  EXPECT_EQ(pixels("raw.pcx", stUChar), pixels("pal.bmp", stUChar));
  EXPECT_EQ(readFile(dir.file("o.pcx")).at(2), 1) << "run-length encoded by default";
  EXPECT_EQ(readFile(dir.file("raw.pcx")).at(2), 0);
  ASSERT_EQ(run("convert rgb.bmp o.kav --coding 9 --grey").status, 0);
  ASSERT_EQ(run("convert rgb.bmp g.pcx --coding 8 --grey").status, 0);
  const Bytes rgb = pixels("rgb.bmp", stRGB), grey = pixels("o.kav", stUChar);
  for (size_t k = 0; k < grey.size(); ++k)
    EXPECT_EQ(grey[k], (77 * rgb[3 * k] + 151 * rgb[3 * k + 1] + 28 * rgb[3 * k + 2]) >> 8) << k;
  EXPECT_EQ(pixels("g.pcx", stUChar), grey);
}

TEST_F(Qorimg, BatchWithTwoJobsConvertsEveryFileAndReportsFailures) {
  constexpr int kFiles = 8;
  std::string names;
  for (int f = 0; f < kFiles; ++f) {
    make("in" + std::to_string(f) + ".bmp", fiBmpFileInfo(24, 12, 7), stRGB, f);
    names += " in" + std::to_string(f) + ".bmp";
  }
  writeFile(dir.file("broken.bmp"), Bytes{'B', 'M', 1, 2, 3});
  ASSERT_EQ(mkdir(dir.file("sub").c_str(), 0700), 0);
  make("sub/in0.bmp", fiBmpFileInfo(24, 12, 7), stRGB, 99);  // the stem of in0.bmp: refused, not mixed in
  Outcome r = run("convert --to tga --out-dir outs --jobs 2" + names + " broken.bmp sub/in0.bmp");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Operation begins on"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("100%"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Operation have done for"), std::string::npos) << r.out;
  EXPECT_NE(r.err.find("qorimg: broken.bmp: "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("qorimg: sub/in0.bmp: its output outs/in0.tga is that of an earlier file"), std::string::npos)
      << r.err;
  for (int f = 0; f < kFiles; ++f) {
    const std::string in = "in" + std::to_string(f) + ".bmp", out = "outs/in" + std::to_string(f) + ".tga";
    EXPECT_EQ(describe(out), "9/24/1");
    EXPECT_EQ(pixels(out, stRGB), pixels(in, stRGB)) << out;
  }
  EXPECT_FALSE(fileExists(dir.file("outs/broken.tga")));
}

TEST_F(Qorimg, DumpWritesThePixelMemoryOrThePalette) {
  make("bw.bmp", fiBmpFileInfo(1, 12, 7), stOneBit, 5);
  make("pal.bmp", fiBmpFileInfo(8, 12, 7), stUChar, 3);
  Outcome r = run("dump bw.bmp");
  EXPECT_EQ(r.status, 0);
  const Bytes bits = pixels("bw.bmp", stOneBit);
  EXPECT_EQ(r.out, std::string(bits.begin(), bits.end()));
  EXPECT_EQ(r.out.size(), 4u * 7);  // rows padded to 4 bytes
  r = run("dump pal.bmp --type schar");
  const Bytes indices = pixels("pal.bmp", stUChar);
  ASSERT_EQ(r.out.size(), indices.size());
  EXPECT_EQ((unsigned char)(r.out[5] + 128), indices[5]);
  r = run("dump pal.bmp --palette");
  ASSERT_EQ(r.out.size(), 768u);
  EXPECT_EQ(r.out.substr(3 * 200, 3), std::string("\xC8\x37\x3C", 3));
  r = run("dump pal.bmp --type rgb");  // the colours of the palette make(): (c, 255 - c, 60)
  ASSERT_EQ(r.out.size(), 3 * indices.size()) << r.err;
  EXPECT_EQ(r.out.substr(15, 3), std::string({char(indices[5]), char(255 - indices[5]), 60}));
}

TEST_F(Qorimg, UsageErrorsExitTwoAndHelpExitsZero) {
  for (const char* args : {"", "frob", "info", "info --bogus a.bmp", "convert a.bmp", "convert a.bmp b.png --jobs 2",
                           "convert --out-dir d a.bmp", "convert a.bmp b.zzz", "convert --to nope a b",
                           "convert a b --quality 0", "convert a b --rle --raw", "convert a b --level 13", "dump",
                           "dump a.bmp --type nope", "dump a b", "tour a b"})
    EXPECT_EQ(run(args).status, 2) << args;
  for (const char* command : {"info", "convert", "dump", "tour"}) {
    Outcome r = run(std::string(command) + " --help");
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_EQ(r.out.rfind(std::string("usage: qorimg ") + command, 0), 0u) << r.out;
  }
}

}  // namespace
