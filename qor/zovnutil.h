// Error road of the library: the root object, the exception and the raise helpers.
#ifndef ZOVNUTIL_H
#define ZOVNUTIL_H

#include <cstddef>
#include <cstdint>

#include "zqorcfg.h"

// Root of the library's objects. Allocation goes to the general heap and a
// failed `new` yields null instead of throwing, so callers test the result.
class QOR_API TqorObject {
public:
  TqorObject() = default;
  TqorObject(const TqorObject&) {}
  TqorObject& operator=(const TqorObject&) { return *this; }
  virtual ~TqorObject();

  static void* operator new(std::size_t size) noexcept;
  static void operator delete(void* p) noexcept;
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}
};

// The one exception type of the class interface.
class QOR_API x_qor : public TqorObject {
public:
  enum { messageSize = 300 };
  x_qor(const char* message, int code);
  x_qor(const x_qor& other);
  x_qor& operator=(const x_qor& other);
  ~x_qor() override;

  const char* msg() const { return message; }
  int error() const { return code; }

private:
  char message[messageSize];
  int32_t code;
};

// Holder of the heap text into which compilingInfo writes the where-text.
class QOR_API TciString {
public:
  TciString();
  ~TciString();
  TciString(const TciString&) = delete;
  TciString& operator=(const TciString&) = delete;
  char* text;
};

// Writes " This error occured in file ..." for a unit and line into the holder.
QOR_API char* compilingInfo(const char* file, int line, TciString* holder);
// Composes "Error! " + text + where and throws x_qor with the code.
[[noreturn]] QOR_API void qorErrorHook(int code, const char* text, const char* where);
// Raises the linear-index error unless 0 <= j < n.
QOR_API void qorCheckIndex(long j, long n);

// Raise helpers: every raising site goes through these macros, which pass the
// site's source file (reduced to its unit name) and line.
[[noreturn]] QOR_API void qorRaiseFormatted(const char* file, int line, int code,
                                            const char* format, ...)
    __attribute__((format(printf, 4, 5)));
[[noreturn]] QOR_API void qorRaiseText(const char* file, int line, int code, const char* text);

// The heap pair used for pixel memory: allocate zero-filled bytes (null for a
// negative size) and free.
QOR_API void* ovnfarmalloc(long size);
QOR_API void ovnfarfree(void* p);

// ---------------------------------------------------------------- file utilities

class TqorStream;
class TQORDataManager;

struct QOR_API TEnsembleInfo {
  int32_t numberOfImages;
  int32_t sizeY;
  int32_t sizeX;
  int32_t coding;
};

// Does nothing; kept for applications that report free memory.
QOR_API void showMemAvail();
// Byte copy of the file source into the file destination.
QOR_API void saveOneFileAsOther(const char* destination, const char* source);
// Copies the whole content of stream into the file destination.
QOR_API void filecopy(const char* destination, TqorStream& stream);
// Opens fileName as an ensemble and reports its shape.
QOR_API TEnsembleInfo getEnsembleInfo(const char* fileName, TQORDataManager* manager);
// The file name a mask makes from name ("*.tif" keeps the name's stem), in the manager's text buffer.
QOR_API char* ovnGetFileName(const char* name, const char* mask, TQORDataManager* manager);

#define QOR_RAISE(...) qorRaiseFormatted(__FILE__, __LINE__, 3, __VA_ARGS__)
#define QOR_RAISE_MEMORY() qorRaiseText(__FILE__, __LINE__, 1, "")
#define QOR_RAISE_OPEN(name) qorRaiseText(__FILE__, __LINE__, 2, (name))

#endif
