// Pillow and ImageMagick as references for the format tests: Pillow decodes a
// file into side files that the tests compare with what this library reads,
// and either tool writes files of a format from the oracle's source images.
// Tests skip (GTEST_SKIP) when havePillow() or haveMagick() says no.
#ifndef QOR_TESTS_ORACLE_H
#define QOR_TESTS_ORACLE_H

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "testutil.h"

namespace qortest {

inline constexpr const char* kPython = "/usr/bin/python3";
inline constexpr const char* kMagick = "/usr/bin/convert";

inline bool haveTool(const char* path) { return access(path, X_OK) == 0; }

inline bool havePillow() {
  static const bool ok =
      haveTool(kPython) && std::system((std::string(kPython) + " -c 'import PIL, numpy' 2>/dev/null").c_str()) == 0;
  return ok;
}

inline bool haveMagick() { return haveTool(kMagick); }

// "decode FILE...": for each FILE, FILE.meta holds "width height mode",
// FILE.idx the palette index (or grey level) of each pixel of palette and
// grey images, FILE.rgb the colour of each pixel and FILE.pal the palette as
// red, green, blue bytes.
// "make SOURCE DEST TOOL FORMAT ARG...": writes the source image SOURCE.png
// next to DEST, has TOOL (magick or pillow) write DEST from it and decodes
// DEST. ImageMagick takes ARG... as options and FORMAT as the prefix of DEST;
// Pillow saves with format FORMAT (by extension when empty) and ARG...
// as key=value options.
inline const char* const oracleScript = R"PY(
import os, subprocess, sys
import numpy as np
from PIL import Image

def decode(path):
    im = Image.open(path)
    im.load()
    with open(path + '.meta', 'w') as f:
        f.write('%d %d %s\n' % (im.size[0], im.size[1], im.mode))
    if im.mode in ('P', 'L', '1'):
        np.asarray(im).astype(np.uint8).tofile(path + '.idx')
        if im.mode == 'P':
            pal = bytes(im.getpalette())
        elif im.mode == 'L':
            pal = bytes(v for i in range(256) for v in (i, i, i))
        else:
            pal = bytes([0, 0, 0, 255, 255, 255])
        open(path + '.pal', 'wb').write(pal)
    open(path + '.rgb', 'wb').write(im.convert('RGB').tobytes())

def source(name, path):
    rng = np.random.default_rng(20240611)
    h, w = 23, 61
    # blocks of equal pixels give run-length writers runs as well as literal stretches
    idx = np.repeat(rng.integers(0, 200, (h, 16)), 4, axis=1)[:, :w].astype(np.uint8)
    idx[::3] = rng.integers(0, 200, (len(idx[::3]), w))
    pal = rng.integers(0, 256, 768).astype(np.uint8)
    rgb = rng.integers(0, 256, (h, w, 3)).astype(np.uint8)
    if name == 'p8':
        im = Image.fromarray(idx, 'P'); im.putpalette(pal.tobytes())
    elif name == 'p4':
        im = Image.fromarray((idx % 16).astype(np.uint8), 'P'); im.putpalette(pal[:48].tobytes())
    elif name == 'b1':
        im = Image.fromarray(((idx % 2) * 255).astype(np.uint8)).convert('1')
    elif name == 'grey':
        im = Image.fromarray(idx)
    elif name == 'rgb':
        im = Image.fromarray(rgb)
    elif name == 'cmyk':
        im = Image.fromarray(rgb)
        im.save(path)
        return im.convert('CMYK')
    elif name == 'rgba':
        im = Image.fromarray(np.dstack([rgb, rgb[:, :, :1]]))
    elif name == 'few':
        im = Image.fromarray(rgb).quantize(40)
        im.putpalette(im.getpalette()[:120])  # 40 entries: a short colour table
    else:
        raise SystemExit('no source image ' + name)
    im.save(path)
    return im

def make(name, dest, tool, fmt, args):
    src = os.path.join(os.path.dirname(dest), name + '.png')
    im = source(name, src)
    if tool == 'magick':
        subprocess.run(['/usr/bin/convert', src] + args + [fmt + ':' + dest if fmt else dest], check=True)
    else:
        opts = {}
        for a in args:
            k, v = a.split('=', 1)
            opts[k] = int(v) if v.lstrip('-').isdigit() else v
        im.save(dest, format=fmt or None, **opts)
    decode(dest)

if sys.argv[1] == 'make':
    make(sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5], sys.argv[6:])
else:
    for f in sys.argv[2:]:
        decode(f)
)PY";

// The folder of the oracle's script and of the files the tools write; it goes
// when the test program ends.
inline const TempDir& oracleDir() {
  static const TempDir dir;
  static const bool written = [] {
    std::ofstream(dir.file("oracle.py")) << oracleScript;
    return true;
  }();
  (void)written;
  return dir;
}

inline bool runOracle(const std::vector<std::string>& args) {
  std::string command = std::string(kPython) + " '" + oracleDir().file("oracle.py") + "'";
  for (const std::string& a : args) command += " '" + a + "'";
  return std::system(command.c_str()) == 0;
}

inline bool pillowDecode(const std::string& file) { return runOracle({"decode", file}); }

enum class Tool { magick, pillow };

// Pillow decodes what every test compares with; ImageMagick is asked for as a writer or reader too.
inline bool haveOracle(Tool tool) { return havePillow() && (tool != Tool::magick || haveMagick()); }

// Skips the running test when the oracle tool (and Pillow, which decodes for every test) is missing.
#define QOR_REQUIRE_ORACLE(tool)                                                                       \
  do {                                                                                                 \
    if (!::qortest::haveOracle(tool))                                                                  \
      GTEST_SKIP() << ((tool) == ::qortest::Tool::magick ? "ImageMagick or Pillow" : "Pillow") << " is missing"; \
  } while (0)

// Has the tool write oracleDir()/name from the source image ("p8", "p4", "b1",
// "grey", "rgb", "rgba", "few": 61 x 23 pixels) and Pillow decode it; the
// path written, "" when a tool failed.
inline std::string toolWrite(Tool tool, const std::string& source, const std::string& name,
                             const std::string& format, const std::vector<std::string>& args = {}) {
  const std::string dest = oracleDir().file(name);
  std::vector<std::string> all = {"make", source, dest, tool == Tool::magick ? "magick" : "pillow", format};
  all.insert(all.end(), args.begin(), args.end());
  return runOracle(all) ? dest : std::string();
}

// What Pillow made of a file.
struct Decoded {
  int width = 0;
  int height = 0;
  std::string mode;
  Bytes idx, rgb, pal;
};

inline Decoded pillowResult(const std::string& file) {
  Decoded d;
  std::ifstream(file + ".meta") >> d.width >> d.height >> d.mode;
  d.idx = readFile(file + ".idx");
  d.rgb = readFile(file + ".rgb");
  d.pal = readFile(file + ".pal");
  return d;
}

// How this library presents a file of some format.
struct PillowView {
  int bits;               // stored bits per pixel: up to 8 palette indices or grey levels, above colour
  bool colourToGrey;      // colour files read into UChar and SChar images as grey levels
  int bitmapDepth;        // bits per pixel of the bitmap rows read, 0 when bitmaps are refused
  size_t paletteEntries;  // palette entries compared with Pillow's
};

// Image 0 of e, read in every image type, against Pillow's decoding d: a
// type the view gives nothing for must be refused as an unknown converter.
inline void expectSameAsPillow(TImageEnsemble& e, const Decoded& d, const PillowView& v) {
  ASSERT_EQ(e.sizeX(), d.width);
  ASSERT_EQ(e.sizeY(), d.height);
  const int w = d.width, h = d.height;
  const size_t n = size_t(w) * size_t(h);
  const bool indexed = v.bits <= 8;
  if (indexed) {
    ASSERT_EQ(d.idx.size(), n) << "Pillow decoded " << d.mode;
  }
  ASSERT_EQ(d.rgb.size(), 3 * n);
  // grey levels of Pillow's colours, the way this library computes them
  Bytes grey(n);
  for (size_t i = 0; i < n; ++i)
    grey[i] = uint8_t((77 * d.rgb[3 * i] + 151 * d.rgb[3 * i + 1] + 28 * d.rgb[3 * i + 2]) >> 8);
  const Bytes& levels = indexed ? d.idx : grey;
  for (int type : {stDouble, stSChar, stSShort, stUChar, stRGB, stOneBit, stBitmap}) {
    SCOPED_TRACE(stCodingName(type));
    Bytes want;
    if (type == stUChar && (indexed || v.colourToGrey)) want = levels;
    if (type == stSChar && (indexed || v.colourToGrey))
      for (unsigned char x : levels) want.push_back(uint8_t(x ^ 0x80));
    // palette, grey and bilevel files read into RGB through their palette
    if (type == stRGB) want = d.rgb;
    if (type == stOneBit && v.bits == 1) {
      const size_t row = size_t(TOneBitImage::getSizeOfRow(w));
      want.assign(row * size_t(h), 0);
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) want[y * row + x / 8] |= uint8_t((d.idx[size_t(y * w + x)] & 1) << (7 - x % 8));
    }
    if (type == stBitmap && v.bitmapDepth) {
      // bottom-up rows padded to 32 bits: packed bits, bytes or blue, green, red
      const int depth = v.bitmapDepth;
      const size_t stride = size_t((depth * w + 31) / 32 * 4), used = size_t((depth * w + 7) / 8);
      const Bytes got = readPixels(e, stBitmap);
      ASSERT_EQ(got.size(), stride * size_t(h));
      for (int y = h - 1; y >= 0; --y) {
        Bytes line(used, 0);
        for (int x = 0; x < w; ++x) {
          const size_t i = size_t(y * w + x);
          if (depth == 24)
            for (int k = 0; k < 3; ++k) line[size_t(3 * x + k)] = d.rgb[3 * i + 2 - k];
          else if (depth == 8)
            line[size_t(x)] = d.idx[i];
          else
            line[size_t(x / 8)] |= uint8_t((d.idx[i] & 1) << (7 - x % 8));
        }
        const size_t at = size_t(h - 1 - y) * stride;
        EXPECT_TRUE(std::equal(line.begin(), line.end(), got.begin() + long(at))) << "row " << y;
      }
      continue;
    }
    if (want.empty()) {
      std::string text;
      try {
        readPixels(e, type);
      } catch (const x_qor& x) {
        text = x.msg();
      }
      EXPECT_NE(text.find("Unknown converter srcN = "), std::string::npos) << text;
    } else {
      EXPECT_EQ(readPixels(e, type), want);
    }
  }
  const TqorPaletteItem* p = e.getPalette();
  for (size_t i = 0; i < v.paletteEntries; ++i) {
    ASSERT_GE(d.pal.size(), 3 * i + 3);
    EXPECT_EQ(p[i].red, d.pal[3 * i]) << "entry " << i;
    EXPECT_EQ(p[i].green, d.pal[3 * i + 1]) << "entry " << i;
    EXPECT_EQ(p[i].blue, d.pal[3 * i + 2]) << "entry " << i;
  }
}

}  // namespace qortest

#endif
