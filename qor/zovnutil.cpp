#include "zovnutil.h"

#include <sys/stat.h>

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "zsigens1.h"
#include "zsigens2.h"
#include "zstream.h"

// ---------------------------------------------------------------- objects

TqorObject::~TqorObject() = default;

void* TqorObject::operator new(std::size_t size) noexcept { return std::malloc(size ? size : 1); }

void TqorObject::operator delete(void* p) noexcept { std::free(p); }

x_qor::x_qor(const char* text, int c) : code(c) {
  std::snprintf(message, sizeof message, "%s", text ? text : "");
}

x_qor::x_qor(const x_qor& other) : TqorObject(other), code(other.code) {
  std::snprintf(message, sizeof message, "%s", other.message);
}

x_qor& x_qor::operator=(const x_qor& other) {
  std::memcpy(message, other.message, sizeof message);
  code = other.code;
  return *this;
}

x_qor::~x_qor() = default;

TciString::TciString() : text(new (std::nothrow) char[x_qor::messageSize]) {
  if (text) text[0] = '\0';
}

TciString::~TciString() { delete[] text; }

// Zero-filled: an image written before anything was put into it writes zeros,
// never what the heap held before.
void* ovnfarmalloc(long size) { return size < 0 ? nullptr : std::calloc(size ? size_t(size) : 1, 1); }

void ovnfarfree(void* p) { std::free(p); }

// ---------------------------------------------------------------- raising

char* compilingInfo(const char* file, int line, TciString* holder) {
  static char fallback[1] = "";
  if (!holder || !holder->text) return fallback;
  std::snprintf(holder->text, x_qor::messageSize, " This error occured in file \"%s\" on line %d.",
                file ? file : "", line);
  return holder->text;
}

void qorErrorHook(int code, const char* text, const char* where) {
  char buffer[x_qor::messageSize];
  if (!text) text = "";
  if (!where) where = "";
  switch (code) {
    case 1: std::snprintf(buffer, sizeof buffer, "Error! Not enough memory%s", where); break;
    case 2: std::snprintf(buffer, sizeof buffer, "Error! Can't open file %s\n%s", text, where); break;
    case 3: std::snprintf(buffer, sizeof buffer, "Error! %s%s", text, where); break;
    default: std::snprintf(buffer, sizeof buffer, "Error! %s", where); break;
  }
  throw x_qor(buffer, code);
}

namespace {

// "dir/zsignal1.cpp" -> "zsignal1"
void unitName(const char* file, char* out, std::size_t outSize) {
  const char* base = std::strrchr(file, '/');
  base = base ? base + 1 : file;
  const char* dot = std::strchr(base, '.');
  std::size_t n = dot ? static_cast<std::size_t>(dot - base) : std::strlen(base);
  if (n >= outSize) n = outSize - 1;
  std::memcpy(out, base, n);
  out[n] = '\0';
}

[[noreturn]] void raise(const char* file, int line, int code, const char* text) {
  char unit[64];
  unitName(file, unit, sizeof unit);
  TciString holder;
  qorErrorHook(code, text, compilingInfo(unit, line, &holder));
}

}  // namespace

void qorRaiseFormatted(const char* file, int line, int code, const char* format, ...) {
  char message[x_qor::messageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  raise(file, line, code, message);
}

void qorRaiseText(const char* file, int line, int code, const char* text) {
  raise(file, line, code, text);
}

void qorCheckIndex(long j, long n) {
  if (j < 0 || j >= n) QOR_RAISE("Index range check error j = %ld, j must be 0 <= j < %ld.", j, n);
}

// ---------------------------------------------------------------- file utilities

void showMemAvail() {}

namespace {

constexpr size_t copyBlock = 512;

[[noreturn]] void diskFull() { QOR_RAISE("Error while writing to disk. Disk full?"); }

// Writes n bytes, or raises the disk-full error.
void writeAll(FILE* f, const unsigned char* p, size_t n) {
  if (n && std::fwrite(p, 1, n, f) != n) diskFull();
}

}  // namespace

void saveOneFileAsOther(const char* destination, const char* source) {
  FILE* in = std::fopen(source, "rb");
  if (!in) QOR_RAISE_OPEN(source);
  // copying a file onto itself would truncate it before it is read
  struct stat a, b;
  if (fstat(fileno(in), &a) == 0 && stat(destination, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
    std::fclose(in);
    return;
  }
  FILE* out = std::fopen(destination, "wb");
  if (!out) {
    std::fclose(in);
    QOR_RAISE_OPEN(destination);
  }
  unsigned char block[copyBlock];
  bool failed = false;
  for (;;) {
    size_t n = std::fread(block, 1, sizeof block, in);
    if (n == 0) break;
    if (std::fwrite(block, 1, n, out) != n) {
      failed = true;
      break;
    }
  }
  std::fclose(in);
  if (std::fclose(out) != 0 || failed) diskFull();
}

void filecopy(const char* destination, TqorStream& stream) {
  FILE* out = std::fopen(destination, "wb");
  if (!out) QOR_RAISE_OPEN(destination);
  unsigned char block[copyBlock];
  long length = stream.size();
  stream.seek(0, SEEK_SET);
  try {
    while (length > 0) {
      int want = int(length < long(copyBlock) ? length : long(copyBlock));
      int n = stream.read(block, want);
      if (n <= 0) break;
      writeAll(out, block, size_t(n));
      length -= n;
    }
  } catch (...) {
    std::fclose(out);
    throw;
  }
  if (std::fclose(out) != 0) diskFull();
}

TEnsembleInfo getEnsembleInfo(const char* fileName, TQORDataManager* manager) {
  TQORDataManager* m = manager;
  TImageEnsemble e(fileName, m);
  return TEnsembleInfo{e.numberOfImages(), e.sizeY(), e.sizeX(), e.getFileInfo()->coding()};
}

char* ovnGetFileName(const char* name, const char* mask, TQORDataManager* manager) {
  if (!manager) QOR_RAISE("No data manager was given for the file name of mask \"%s\".", mask ? mask : "");
  if (!name) name = "";
  if (!mask) mask = "";
  while (std::isspace(static_cast<unsigned char>(*mask))) ++mask;
  const char* givenMask = mask;
  std::string result;
  if (*mask != '*') {
    while (*mask && !std::isspace(static_cast<unsigned char>(*mask))) result += *mask++;
  } else {
    while (std::isspace(static_cast<unsigned char>(*name))) ++name;
    while (*name && *name != '.') result += *name++;
    for (++mask; *mask && !std::isspace(static_cast<unsigned char>(*mask));) result += *mask++;
  }
  // a cut name would name another file
  if (result.size() > 299)
    QOR_RAISE("The file name made from mask \"%.40s\" is %lu characters long; at most 299 fit.", givenMask,
              static_cast<unsigned long>(result.size()));
  std::memcpy(manager->lastErrorMessage, result.c_str(), result.size() + 1);
  return manager->lastErrorMessage;
}
