// qorimg convert: one file into another format, or many files into a folder
// with several workers, each with a data manager of its own.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "formats.h"
#include "picture.h"
#include "qorimg.h"

namespace {

const char convertText[] =
    "usage: qorimg convert IN OUT [options]\n"
    "       qorimg convert --to FORMAT --out-dir DIR [--jobs N] [options] FILE...\n"
    "The format of OUT follows its extension, or --to FORMAT. Every image of a\n"
    "multi-image source goes into a multi-image target (native, dcx); other\n"
    "targets take image 0, or the one --image picks.\n"
    "  --to FORMAT    the output format (see the list below)\n"
    "  --coding N     the disk coding of OUT: 24 colour, 8 or 4 palette or grey,\n"
    "                 1 bilevel; an element coding (6 to 12) for native files.\n"
    "                 By default the source's, or the nearest OUT can hold:\n"
    "                 palette and bilevel pixels expand through their palette\n"
    "                 to colour or grey where OUT has no palettes\n"
    "  --grey         lets colour reduce to grey levels (with --coding 8)\n"
    "  --quality Q    JPEG quality, 1 to 100 (default 90)\n"
    "  --level N      PNG compression, 1 fastest to 12 smallest (default 6)\n"
    "  --rle          run-length encoded TGA (PCX and DCX are by default)\n"
    "  --raw          PCX without run-length encoding (DCX pages are always\n"
    "                 encoded); TGA is raw by default\n"
    "  --image N      only image N of the source\n"
    "  --out-dir DIR  batch: each FILE becomes DIR/<its stem>.<the format's extension>\n"
    "  --jobs N       batch: N files at a time (default 1)\n";

// A conversion the tool refuses before the library is asked.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Options {
  const FormatRow* to = nullptr;
  int coding = -1;
  bool grey = false;
  int image = -1;
  WriteOptions write;
  std::string outDir;
  int jobs = 1;
  std::vector<std::string> files;
};

// ---------------------------------------------------------------- picture transforms

// One bit per pixel to one index byte per pixel, with the same palette.
Picture oneBitToIndices(const Picture& p) {
  Picture u = makePicture(stUChar, p.sizeX, p.sizeY);
  std::memcpy(u.palette, p.palette, sizeof u.palette);
  u.paletteSize = p.paletteSize;
  for (int y = 0; y < p.sizeY; ++y)
    for (int x = 0; x < p.sizeX; ++x) u.bytes[size_t(y) * size_t(p.sizeX) + size_t(x)] = (unsigned char)p.index(x, y);
  return u;
}

// Indices whose palette is the grey ramp hold their grey level already.
bool holdsGreyLevels(const Picture& p) {
  for (int y = 0; y < p.sizeY; ++y)
    for (int x = 0; x < p.sizeX; ++x) {
      const int v = p.index(x, y);
      const TqorPaletteItem c = p.palette[v];
      if (c.red != v || c.green != v || c.blue != v) return false;
    }
  return true;
}

// Indices as grey levels: through a grey palette, or a colour one with --grey.
Picture greyLevels(const Picture& p, bool grey) {
  if (holdsGreyLevels(p)) return p;
  Picture g = toGrey(p);
  if (!grey)
    for (int y = 0; y < p.sizeY; ++y)
      for (int x = 0; x < p.sizeX; ++x) {
        const TqorPaletteItem c = p.colour(x, y);
        if (c.red != c.green || c.green != c.blue)
          throw Refusal("the target holds grey levels, and colours reduce to grey only when asked (--grey)");
      }
  return g;
}

// Grey levels as the element values of a native or astronomical image.
Picture greyToElements(const Picture& g, int type) {
  Picture p = makePicture(type, g.sizeX, g.sizeY);
  const size_t n = size_t(g.sizeX) * size_t(g.sizeY);
  for (size_t k = 0; k < n; ++k) {
    const int v = g.bytes[k];
    if (type == stSChar) reinterpret_cast<signed char*>(p.bytes.data())[k] = (signed char)(v - 128);
    if (type == stSShort) reinterpret_cast<short*>(p.bytes.data())[k] = short(v);
    if (type == stDouble) reinterpret_cast<double*>(p.bytes.data())[k] = v;
  }
  return p;
}

// The picture read in the source's own type, brought to the type the target
// coding is written from.
Picture bringTo(Picture p, int type, const FormatRow& target, bool grey) {
  if (p.type == type && type != stUChar) return p;
  if (p.type == stOneBit && type != stRGB) p = oneBitToIndices(p);
  if (type == stRGB) return p.type == stRGB ? p : greyToColour(p);
  if (p.type == stRGB) {
    if (!grey) throw Refusal("colour reduces to grey levels only when asked (--grey)");
    p = toGrey(p);
  }
  if (type == stUChar || type == stOneBit) return target.palettes ? p : greyLevels(p, grey);
  return greyToElements(greyLevels(p, grey), type);
}

// ---------------------------------------------------------------- planning

struct Plan {
  int coding;    // of the new file
  int readType;  // the source's images are read as
  int writeType; // and written as
};

int scalarType(int coding) {
  return coding == stUChar || coding == stSChar || coding == stSShort ? coding : stDouble;
}

// The memory type a target coding is written from.
int typeForCoding(const FormatRow& target, int coding, Kind kind) {
  if (target.scalar()) return scalarType(coding);
  if (target.id() == idASTROLUM()) return stSShort;
  if (coding == 1) return kind == Kind::bilevel ? stOneBit : stUChar;
  if (coding == 4 || coding == 8) return stUChar;
  return stRGB;
}

// The default coding of the target for a source of kind and coding.
int defaultCoding(const FormatRow& target, Kind kind, int sourceCoding, bool sourceScalar, bool grey) {
  if (target.scalar()) {
    if (sourceScalar) return sourceCoding;
    return kind == Kind::scalar ? stSShort : stUChar;  // 16-bit samples stay 16-bit
  }
  if (target.codings.empty()) return sourceCoding;
  if (target.codings.size() == 1) return target.codings[0];
  switch (kind) {
    case Kind::colour: return grey && !target.writes(24) ? 8 : 24;
    case Kind::bilevel:
      if (target.palettes && target.writes(1)) return 1;
      return target.writes(8) ? 8 : 24;
    case Kind::palette:
    case Kind::grey:
      if ((target.palettes || kind == Kind::grey) && !sourceScalar && target.writes(sourceCoding)) return sourceCoding;
      if (target.palettes || kind == Kind::grey) return target.writes(8) ? 8 : 24;
      return 24;  // colours through the palette
    case Kind::scalar: return 8;
  }
  return 24;
}

Plan plan(TImageEnsemble& source, const FormatRow& target, const Options& o) {
  const FormatRow* sourceRow = formatById(source.formatID());
  const bool sourceScalar = sourceRow && sourceRow->scalar();
  const Kind kind = kindOf(source);
  Plan p;
  p.coding = o.coding >= 0 ? o.coding : defaultCoding(target, kind, source.coding(), sourceScalar, o.grey);
  p.writeType = typeForCoding(target, p.coding, kind);
  if (sourceScalar || kind == Kind::scalar)
    // element codings convert in the library, which refuses what it cannot hold
    p.readType = target.scalar() || target.id() == idASTROLUM() ? p.writeType : stUChar;
  else
    // palette, grey and bilevel files come into colour targets through the library
    p.readType = p.writeType == stRGB ? stRGB : naturalType(source);
  return p;
}

// ---------------------------------------------------------------- one file

// What the source's images become: the list of image numbers to copy.
std::vector<int> imagesToCopy(TImageEnsemble& source, const FormatRow& target, const Options& o,
                              const std::string& in) {
  const int count = source.numberOfImages();
  if (count < 1) throw Refusal("the file holds no image");
  if (o.image >= 0) {
    if (o.image >= count)
      throw Refusal("--image " + std::to_string(o.image) + " asks for more than its " + std::to_string(count) +
                    " images");
    return {o.image};
  }
  std::vector<int> all;
  for (int i = 0; i < (target.multiImage ? count : 1); ++i) all.push_back(i);
  if (count > 1 && !target.multiImage)
    std::fprintf(stderr, "qorimg: %s: %d images; the %s target takes image 0 (--image N picks another)\n",
                 in.c_str(), count, target.name);
  return all;
}

void convertOne(const std::string& in, const std::string& out, const FormatRow& target, const Options& o,
                TQORDataManager*& manager) {
  std::error_code ec;
  if (std::filesystem::equivalent(in, out, ec)) throw Refusal("the output is the input itself");
  if (!target.make) throw Refusal(std::string("files of the ") + target.name + " format cannot be made");
  TImageEnsemble source(in.c_str(), manager);
  const std::vector<int> images = imagesToCopy(source, target, o, in);
  const Plan p = plan(source, target, o);
  // every image is converted before anything is written, so that a refusal leaves no file
  std::vector<Picture> pictures;
  for (int i : images) pictures.push_back(bringTo(readPicture(source, i, p.readType), p.writeType, target, o.grey));
  const int sizeX = pictures[0].sizeX, sizeY = pictures[0].sizeY;
  source.close();
  try {
    TImageEnsemble output(out.c_str(),
                          target.make(out.c_str(), p.coding, sizeX, sizeY, int(images.size()),
                                      o.write),
                          manager);
    for (size_t k = 0; k < pictures.size(); ++k) writePicture(output, int(k), pictures[k]);
    output.close();
  } catch (...) {
    std::remove(out.c_str());
    throw;
  }
}

// Converts one file and reports a failure; true when it was converted.
bool convertReported(const std::string& in, const std::string& out, const FormatRow& target, const Options& o,
                     TQORDataManager*& manager) {
  try {
    convertOne(in, out, target, o, manager);
    return true;
  } catch (const x_qor& x) {
    reportFailure(in, x.msg());
  } catch (const std::exception& x) {
    reportFailure(in, x.what());
  }
  return false;
}

// ---------------------------------------------------------------- batch

int convertBatch(const Options& o) {
  std::error_code ec;
  std::filesystem::create_directories(o.outDir, ec);
  if (!std::filesystem::is_directory(o.outDir)) {
    reportFailure(o.outDir, "cannot create the folder");
    return 1;
  }
  const size_t total = o.files.size();
  // two inputs of one stem would write one output from two workers: the later is refused
  std::vector<std::string> outputs(total);
  std::vector<bool> duplicate(total, false);
  std::set<std::string> taken;
  for (size_t k = 0; k < total; ++k) {
    const std::filesystem::path in = o.files[k];
    outputs[k] = (std::filesystem::path(o.outDir) / (in.stem().string() + o.to->firstExtension())).string();
    duplicate[k] = !taken.insert(outputs[k]).second;
  }
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex progressLock;
  size_t done = 0;
  TCMDPerformanceIndicator progress;
  const std::string title = "converting " + std::to_string(total) + " file" + (total == 1 ? "" : "s") + " to " +
                            o.to->name;
  progress.setTitle(title.c_str());
  {
    TqorTimer timer;
    progress.draw(0.0);
    std::fflush(stdout);
    std::vector<std::thread> workers;
    auto work = [&] {
      ManagerGuard manager;
      for (size_t k; (k = next.fetch_add(1)) < total;) {
        bool ok = false;
        if (duplicate[k])
          reportFailure(o.files[k], ("its output " + outputs[k] + " is that of an earlier file").c_str());
        else
          ok = convertReported(o.files[k], outputs[k], *o.to, o, manager.m);
        std::lock_guard<std::mutex> lock(progressLock);
        if (!ok) failed = true;
        progress.draw(double(++done) / double(total));
        std::fflush(stdout);
      }
    };
    const int n = std::max(1, std::min<int>(o.jobs, int(total)));
    for (int t = 0; t < n; ++t) workers.emplace_back(work);
    for (std::thread& t : workers) t.join();
  }
  return failed ? 1 : 0;
}

Options parse(const Args& args) {
  Options o;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    auto value = [&]() -> const std::string& {
      if (k + 1 >= args.size()) throw UsageError(a + " needs a value");
      return args[++k];
    };
    if (a == "--to") {
      const std::string& v = value();
      o.to = formatByName(v);
      if (!o.to || !o.to->make) throw UsageError("unknown output format \"" + v + "\"; formats: " + formatNames());
    } else if (a == "--coding") {
      o.coding = intOption(a, value(), 1, 32);
    } else if (a == "--grey" || a == "--gray") {
      o.grey = true;
    } else if (a == "--quality") {
      o.write.quality = intOption(a, value(), 1, 100);
    } else if (a == "--level") {
      o.write.level = intOption(a, value(), 1, 12);
    } else if (a == "--rle" || a == "--raw") {
      const auto asked = a == "--rle" ? WriteOptions::RunLength::encoded : WriteOptions::RunLength::raw;
      if (o.write.runLength != WriteOptions::RunLength::usual && o.write.runLength != asked)
        throw UsageError("--rle and --raw exclude each other");
      o.write.runLength = asked;
    } else if (a == "--image") {
      o.image = intOption(a, value(), 0, 1 << 30);
    } else if (a == "--out-dir") {
      o.outDir = value();
      if (o.outDir.empty()) throw UsageError("--out-dir needs a folder");
    } else if (a == "--jobs") {
      o.jobs = intOption(a, value(), 1, 256);
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else {
      o.files.push_back(a);
    }
  }
  return o;
}

}  // namespace

int runConvert(const Args& args) {
  Options o = parse(args);
  if (!o.outDir.empty()) {
    if (!o.to) throw UsageError("a batch needs --to FORMAT");
    if (o.files.empty()) throw UsageError("no file named");
    return convertBatch(o);
  }
  if (o.jobs != 1) throw UsageError("--jobs goes with --out-dir");
  if (o.files.size() != 2) throw UsageError("convert takes IN and OUT");
  const FormatRow* target = o.to ? o.to : formatByExtension(o.files[1]);
  if (!target || !target->make)
    throw UsageError("the extension of \"" + o.files[1] + "\" names no format; use --to FORMAT (" + formatNames() +
                     ")");
  ManagerGuard manager;
  return convertReported(o.files[0], o.files[1], *target, o, manager.m) ? 0 : 1;
}

std::string convertUsage() { return convertText + ("formats: " + formatNames() + "\n"); }
