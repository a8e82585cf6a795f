// qorimg: information about image files, conversion between the library's
// formats, pixel dumps, and a tour of every format on a synthesised picture.
#include "qorimg.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "formats.h"
#include "picture.h"

namespace {

const char infoUsage[] =
    "usage: qorimg info [--json] FILE...\n"
    "One line per file: format name and number, size, number of images, disk\n"
    "coding, palette size; --json prints one JSON object per file instead.\n"
    "A file that fails is reported on standard error and the others go on;\n"
    "the exit status is 1 when any failed.\n";

const char dumpUsage[] =
    "usage: qorimg dump FILE [--image N] [--type TYPE] [--palette]\n"
    "Writes to standard output the pixel memory of image N (default 0) as the\n"
    "image object of TYPE holds it: uchar, schar, sshort, double, rgb, onebit\n"
    "or dib (the bitmap's pixel rows, bottom row first). TYPE defaults to the\n"
    "file's own: rgb for colour files, onebit for bilevel ones, uchar for\n"
    "palette and grey ones, the element type for native files. --palette\n"
    "writes the image's 768-byte palette (red, green, blue per entry) instead.\n";

struct TypeName {
  const char* name;
  int type;
};
const TypeName typeNames[] = {{"uchar", stUChar}, {"schar", stSChar}, {"sshort", stSShort}, {"double", stDouble},
                              {"rgb", stRGB},     {"onebit", stOneBit}, {"dib", stBitmap}};

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + "\"";
}

}  // namespace

bool wantsHelp(const Args& args) {
  for (const std::string& a : args)
    if (a == "--help" || a == "-h") return true;
  return false;
}

int intOption(const std::string& option, const std::string& value, int low, int high) {
  char* end = nullptr;
  long v = std::strtol(value.c_str(), &end, 10);
  if (value.empty() || *end || v < low || v > high)
    throw UsageError(option + " takes a number from " + std::to_string(low) + " to " + std::to_string(high) +
                     ", not \"" + value + "\"");
  return int(v);
}

void reportFailure(const std::string& file, const char* message) {
  std::fprintf(stderr, "qorimg: %s: %s\n", file.c_str(), message);
}

// ---------------------------------------------------------------- info

int runInfo(const Args& args) {
  bool json = false;
  std::vector<std::string> files;
  for (const std::string& a : args) {
    if (a == "--json")
      json = true;
    else if (a.size() > 1 && a[0] == '-')
      throw UsageError("unknown option " + a);
    else
      files.push_back(a);
  }
  if (files.empty()) throw UsageError("no file named");
  ManagerGuard manager;
  int status = 0;
  for (const std::string& f : files) {
    try {
      TImageEnsemble e(f.c_str(), manager.m);
      const int id = e.formatID();
      const FormatRow* row = formatById(id);
      const std::string name = row ? row->name : "format " + std::to_string(id);
      const int coding = e.coding();
      const std::string cname = codingName(coding, row && row->scalar());
      const int palette = e.hasPalette() ? e.paletteSize() : 0;
      if (json)
        std::printf("{\"file\": %s, \"format\": %s, \"formatID\": %d, \"sizeX\": %d, \"sizeY\": %d, "
                    "\"images\": %d, \"coding\": %d, \"codingName\": %s, \"paletteSize\": %d}\n",
                    jsonString(f).c_str(), jsonString(name).c_str(), id, e.sizeX(), e.sizeY(), e.numberOfImages(),
                    coding, jsonString(cname).c_str(), palette);
      else
        std::printf("%s: %s (%d), %d x %d, %d image%s, coding %s (%d), palette %d\n", f.c_str(), name.c_str(), id,
                    e.sizeX(), e.sizeY(), e.numberOfImages(), e.numberOfImages() == 1 ? "" : "s", cname.c_str(),
                    coding, palette);
    } catch (const x_qor& x) {
      std::fflush(stdout);
      reportFailure(f, x.msg());
      status = 1;
    }
  }
  return status;
}

// ---------------------------------------------------------------- dump

int runDump(const Args& args) {
  std::string file;
  int image = 0;
  int type = -1;
  bool palette = false;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string& a = args[k];
    if (a == "--image" || a == "--type") {
      if (k + 1 >= args.size()) throw UsageError(a + " needs a value");
      const std::string& v = args[++k];
      if (a == "--image") {
        image = intOption(a, v, 0, 1 << 30);
      } else {
        type = -1;
        for (const TypeName& t : typeNames)
          if (v == t.name) type = t.type;
        if (type < 0) throw UsageError("--type takes uchar, schar, sshort, double, rgb, onebit or dib, not " + v);
      }
    } else if (a == "--palette") {
      palette = true;
    } else if (a.size() > 1 && a[0] == '-') {
      throw UsageError("unknown option " + a);
    } else if (file.empty()) {
      file = a;
    } else {
      throw UsageError("dump takes one file");
    }
  }
  if (file.empty()) throw UsageError("no file named");
  ManagerGuard manager;
  int status = 0;
  try {
    TImageEnsemble e(file.c_str(), manager.m);
    if (type < 0) type = naturalType(e);
    if (type == stBitmap) {
      TWinDibImage* dib = e.getWinDibImage(image);
      std::fwrite(palette ? static_cast<const void*>(dib->getPalette()) : dib->ptr(), 1,
                  palette ? 768 : size_t(dib->bitmapBitsSize()), stdout);
      e.freeImage(image);
    } else {
      Picture p = readPicture(e, image, type);
      if (palette)
        std::fwrite(p.palette, 1, 768, stdout);
      else
        std::fwrite(p.bytes.data(), 1, p.bytes.size(), stdout);
    }
    if (std::fflush(stdout) != 0) {
      reportFailure(file, "cannot write to standard output");
      status = 1;
    }
  } catch (const x_qor& x) {
    reportFailure(file, x.msg());
    status = 1;
  }
  return status;
}

// ---------------------------------------------------------------- commands

namespace {

// One form of a command's line and what it does, for the program's usage.
struct Form {
  const char* synopsis;
  const char* help;
};

struct Command {
  const char* name;
  int (*run)(const Args&);
  std::string (*usage)();  // the text of COMMAND --help
  std::vector<Form> forms;
};

const Command commands[] = {
    {"info", runInfo, [] { return std::string(infoUsage); },
     {{"FILE...", "format, size, images, coding and palette of each file"}}},
    {"convert", runConvert, convertUsage,
     {{"IN OUT", "one file into another format"},
      {"--to FORMAT --out-dir DIR [--jobs N] FILE...", "many files, N at a time"}}},
    {"dump", runDump, [] { return std::string(dumpUsage); },
     {{"FILE", "pixel memory of an image on standard output"}}},
    {"tour", runTour, tourUsage, {{"[DIR]", "every format and coding on a synthesised picture"}}},
};

const Command* findCommand(const std::string& name) {
  for (const Command& c : commands)
    if (name == c.name) return &c;
  return nullptr;
}

// Every form of every command, the help text from column 26 (on a line of
// its own after a longer form).
std::string programUsage() {
  constexpr size_t helpColumn = 26;
  std::string text = "usage: qorimg COMMAND [ARGS]\n";
  for (const Command& c : commands)
    for (const Form& f : c.forms) {
      std::string line = std::string("  ") + c.name + " " + f.synopsis;
      line += line.size() < helpColumn ? std::string(helpColumn - line.size(), ' ')
                                       : "\n" + std::string(helpColumn, ' ');
      text += line + f.help + "\n";
    }
  return text + "qorimg COMMAND --help describes each command.\n";
}

}  // namespace

// ---------------------------------------------------------------- main

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // File after file, images and stream buffers of the same sizes come and go:
  // freed memory is kept for the next file instead of being handed back to
  // the system and faulted in again (which also serialises the workers).
  mallopt(M_MMAP_THRESHOLD, 64 << 20);
  mallopt(M_TRIM_THRESHOLD, 256 << 20);
#endif
  if (argc < 2) {
    std::fputs(programUsage().c_str(), stderr);
    return 2;
  }
  const std::string name = argv[1];
  const Args args(argv + 2, argv + argc);
  if (name == "--help" || name == "-h" || name == "help") {
    std::fputs(programUsage().c_str(), stdout);
    return 0;
  }
  const Command* command = findCommand(name);
  if (!command) {
    std::fprintf(stderr, "qorimg: unknown command \"%s\"\n%s", name.c_str(), programUsage().c_str());
    return 2;
  }
  if (wantsHelp(args)) {
    std::fputs(command->usage().c_str(), stdout);
    return 0;
  }
  try {
    return command->run(args);
  } catch (const UsageError& u) {
    std::fprintf(stderr, "qorimg %s: %s\n%s", name.c_str(), u.what(), command->usage().c_str());
    return 2;
  } catch (const x_qor& x) {
    std::fprintf(stderr, "qorimg: %s\n", x.msg());
    return 1;
  }
}
