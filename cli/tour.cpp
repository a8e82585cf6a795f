// qorimg tour: a colour, a grey and a bilevel picture, synthesised, written
// into every writable format and coding, read back through format detection
// and compared.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "formats.h"
#include "picture.h"
#include "qorimg.h"

namespace {

const char tourText[] =
    "usage: qorimg tour [DIR]\n"
    "Synthesises a colour picture (320 x 240), a grey and a bilevel one, writes\n"
    "them into every writable format and coding in DIR (default: a new temporary\n"
    "folder, whose path is printed), reads every file back through format\n"
    "detection and prints format, coding, bytes, write and read time and the\n"
    "round trip: exact, or the PSNR in dB for lossy JPEG. The exit status is 1\n"
    "when a lossless round trip differs or a file fails.\n";

constexpr int width = 320;
constexpr int height = 240;

// ---------------------------------------------------------------- the pictures

// Gradients under a disc, a bar and a ring.
Picture colourPicture() {
  Picture p = makePicture(stRGB, width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int r = x * 255 / (width - 1), g = y * 255 / (height - 1), b = 255 - (x + y) * 255 / (width + height - 2);
      const int dx = x - 110, dy = y - 120, d2 = dx * dx + dy * dy;
      if (d2 < 60 * 60) r = 240, g = 200, b = 40;                     // disc
      if (x > 190 && x < 290 && y > 40 && y < 90) r = 30, g = 60, b = 200;  // bar
      const int ex = x - 240, ey = y - 170, e2 = ex * ex + ey * ey;
      if (e2 < 45 * 45 && e2 > 30 * 30) r = 20, g = 160, b = 60;      // ring
      unsigned char* d = p.bytes.data() + (size_t(y) * width + size_t(x)) * 3;
      d[0] = (unsigned char)r;
      d[1] = (unsigned char)g;
      d[2] = (unsigned char)b;
    }
  return p;
}

// The colour picture on a 6 x 6 x 6 colour cube: indices and palette.
Picture palettePicture(const Picture& colour) {
  Picture p = makePicture(stUChar, width, height);
  for (int k = 0; k < 216; ++k)
    p.palette[k] = TqorPaletteItem{(unsigned char)(k / 36 * 51), (unsigned char)(k / 6 % 6 * 51), (unsigned char)(k % 6 * 51)};
  p.paletteSize = 256;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const TqorPaletteItem c = colour.colour(x, y);
      p.bytes[size_t(y) * width + size_t(x)] =
          (unsigned char)((c.red + 25) / 51 * 36 + (c.green + 25) / 51 * 6 + (c.blue + 25) / 51);
    }
  return p;
}

// Grey levels in 16 steps, on a 16-entry grey palette.
Picture sixteenGreys(const Picture& grey) {
  Picture p = makePicture(stUChar, width, height);
  for (int k = 0; k < 16; ++k) p.palette[k] = TqorPaletteItem{(unsigned char)(17 * k), (unsigned char)(17 * k), (unsigned char)(17 * k)};
  p.paletteSize = 16;
  for (size_t k = 0; k < p.bytes.size(); ++k) p.bytes[k] = (unsigned char)(grey.bytes[k] >> 4);
  return p;
}

// Grey levels ordered-dithered to black and white.
Picture bilevelPicture(const Picture& grey) {
  static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  Picture p = makePicture(stOneBit, width, height);
  p.palette[0] = TqorPaletteItem{0, 0, 0};
  p.palette[1] = TqorPaletteItem{255, 255, 255};
  p.paletteSize = 2;
  const long stride = rowBytes(stOneBit, width);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      if (grey.bytes[size_t(y) * width + size_t(x)] * 16 / 256 > bayer[y % 4][x % 4])
        p.bytes[size_t(y * stride + x / 8)] |= (unsigned char)(0x80 >> (x % 8));
  return p;
}

// Grey levels as elements of a native coding, spread over its range.
Picture elements(const Picture& grey, int coding) {
  const int type = coding == stUChar || coding == stSChar || coding == stSShort ? coding : stDouble;
  Picture p = makePicture(type, width, height);
  fillGreyPalette(p);
  for (size_t k = 0; k < grey.bytes.size(); ++k) {
    const int v = grey.bytes[k];
    switch (coding) {
      case stUChar: p.bytes[k] = (unsigned char)v; break;
      case stSChar: reinterpret_cast<signed char*>(p.bytes.data())[k] = (signed char)(v - 128); break;
      case stSShort: reinterpret_cast<short*>(p.bytes.data())[k] = short(v * 250 - 32000); break;
      case stUShort: reinterpret_cast<double*>(p.bytes.data())[k] = v * 257.0; break;
      case stSLong: reinterpret_cast<double*>(p.bytes.data())[k] = v * 8000000.0 - 1000000000.0; break;
      case stULong: reinterpret_cast<double*>(p.bytes.data())[k] = v * 16000000.0; break;
      default: reinterpret_cast<double*>(p.bytes.data())[k] = std::sqrt(double(v)) / 3.0; break;
    }
  }
  return p;
}

struct Pictures {
  Picture colour, palette, grey, sixteen, bilevel;
};

// The picture a format's coding is written from.
Picture pictureFor(const FormatRow& row, int coding, const Pictures& all) {
  if (row.scalar()) return elements(all.grey, coding);
  if (row.id() == idASTROLUM()) return elements(all.grey, stSShort);
  switch (coding) {
    case 1: return all.bilevel;
    case 4: return all.sixteen;
    case 8: return row.palettes ? all.palette : all.grey;
    default: return all.colour;
  }
}

// ---------------------------------------------------------------- comparing

// Squared differences of the colours shown, or of the elements; 0 when equal.
double meanSquareError(const Picture& a, const Picture& b) {
  if (a.sizeX != b.sizeX || a.sizeY != b.sizeY) return 1e9;
  if (a.type != stRGB && a.type != stUChar && a.type != stOneBit)
    return a.type == b.type && a.bytes == b.bytes ? 0 : 1e9;
  double sum = 0;
  for (int y = 0; y < a.sizeY; ++y)
    for (int x = 0; x < a.sizeX; ++x) {
      const TqorPaletteItem p = a.colour(x, y), q = b.colour(x, y);
      const double dr = p.red - q.red, dg = p.green - q.green, db = p.blue - q.blue;
      sum += dr * dr + dg * dg + db * db;
    }
  return sum / (3.0 * a.sizeX * a.sizeY);
}

double millisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// The bytes of an image list's members, named "<list without extension>-NN...".
long long memberBytes(const std::string& list) {
  const std::filesystem::path p(list);
  const std::string prefix = p.stem().string() + "-";
  long long total = 0;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(p.parent_path(), ec))
    if (entry.path().filename().string().rfind(prefix, 0) == 0) total += (long long)entry.file_size(ec);
  return total;
}

std::string freshFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qorimg-tour-XXXXXX";
  if (!mkdtemp(pattern.data())) return "";
  return pattern;
}

}  // namespace

std::string tourUsage() { return tourText; }

int runTour(const Args& args) {
  if (args.size() > 1) throw UsageError("tour takes at most one folder");
  for (const std::string& a : args)
    if (a.size() > 1 && a[0] == '-') throw UsageError("unknown option " + a);
  std::string dir = args.empty() ? freshFolder() : args[0];
  std::error_code ec;
  if (!dir.empty()) std::filesystem::create_directories(dir, ec);
  if (dir.empty() || !std::filesystem::is_directory(dir)) {
    reportFailure(dir.empty() ? "temporary folder" : dir, "cannot create the folder");
    return 1;
  }
  std::printf("qorimg tour: files in %s\n\n", dir.c_str());

  Pictures all;
  all.colour = colourPicture();
  all.grey = toGrey(all.colour);
  all.palette = palettePicture(all.colour);
  all.sixteen = sixteenGreys(all.grey);
  all.bilevel = bilevelPicture(all.grey);

  ManagerGuard manager;
  int failures = 0;
  std::printf("%-8s %-18s %9s %9s %9s  %s\n", "format", "coding", "bytes", "write ms", "read ms", "round trip");
  for (const FormatRow& row : formatTable()) {
    if (!row.make) continue;
    for (int coding : row.codings) {
      const std::string cname = codingName(coding, row.scalar());
      const std::string ext = row.firstExtension().empty() ? ".bmp" : row.firstExtension();
      const std::string path = dir + "/tour-" + row.name + "-" + std::to_string(coding) + ext;
      const Picture picture = pictureFor(row, coding, all);
      const int images = row.multiImage ? 2 : 1;
      std::string verdict;
      double writeMs = 0, readMs = 0;
      long long bytes = 0;
      bool lossless = row.id() != idJPEG();
      try {
        auto start = std::chrono::steady_clock::now();
        {
          TImageEnsemble out(path.c_str(), row.make(path.c_str(), coding, width, height, images, WriteOptions()),
                             manager.m);
          for (int i = 0; i < images; ++i) writePicture(out, i, picture);
        }
        writeMs = millisecondsSince(start);
        bytes = (long long)std::filesystem::file_size(path, ec);
        if (row.id() == idIMGLIST()) bytes += memberBytes(path);
        start = std::chrono::steady_clock::now();
        double worst = 0;
        {
          TImageEnsemble in(path.c_str(), manager.m);  // the format is detected
          if (in.formatID() != row.id()) {
            const FormatRow* other = formatById(in.formatID());
            throw std::runtime_error(std::string("detected as ") + (other ? other->name : "another format"));
          }
          if (in.numberOfImages() != images)
            throw std::runtime_error(std::to_string(in.numberOfImages()) + " images read back");
          for (int i = 0; i < images; ++i) {
            const Picture back = readPicture(in, i, picture.type);
            worst = std::max(worst, meanSquareError(picture, back));
          }
        }
        readMs = millisecondsSince(start);
        if (worst == 0) {
          verdict = "exact";
        } else if (!lossless) {
          char text[40];
          std::snprintf(text, sizeof text, "PSNR %.1f dB", 10 * std::log10(255.0 * 255.0 / worst));
          verdict = text;
        } else {
          verdict = "DIFFERS";
          ++failures;
        }
      } catch (const x_qor& x) {
        verdict = std::string("FAILED: ") + x.msg();
        ++failures;
      } catch (const std::exception& x) {
        verdict = std::string("FAILED: ") + x.what();
        ++failures;
      }
      std::printf("%-8s %-18s %9lld %9.1f %9.1f  %s\n", row.name, cname.c_str(), bytes, writeMs, readMs,
                  verdict.c_str());
    }
  }
  std::printf("\n%s\n", failures ? "some round trips failed" : "every lossless round trip is exact");
  return failures ? 1 : 0;
}
