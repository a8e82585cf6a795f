#include "zovnutil.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

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

void* ovnfarmalloc(long size) { return size < 0 ? nullptr : std::malloc(size ? size_t(size) : 1); }

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
