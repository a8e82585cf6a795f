// Byte streams over files, caller memory and windows of other streams, and a
// buffered byte reader for the run-length decoders.
#ifndef ZSTREAM_H
#define ZSTREAM_H

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "zovnutil.h"

// Little-endian fields of file headers.
namespace qorLE {
inline unsigned get16(const unsigned char* p) { return unsigned(p[0]) | unsigned(p[1]) << 8; }
inline uint32_t get32(const unsigned char* p) { return uint32_t(get16(p)) | uint32_t(get16(p + 2)) << 16; }
inline void put16(unsigned char* p, unsigned v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void put32(unsigned char* p, uint32_t v) {
  put16(p, v & 0xFFFFu);
  put16(p + 2, v >> 16);
}
}  // namespace qorLE

class QOR_API TqorStream : public TqorObject {
public:
  TqorStream() : gcount_(0), state(0), handle(nullptr) {}
  explicit TqorStream(void* h) : gcount_(0), state(0), handle(h) {}
  ~TqorStream() override;

  void init(void* h) { handle = h; }

  // Reads up to length bytes; remembers the count and sets the fail bit on -1.
  int read(void* buffer, int length);
  // Writes length bytes; sets the fail bit when fewer were written.
  int write(const void* buffer, int length);
  int seek(long offset, int origin) { return seekMethod(offset, origin); }
  int tell() { return tellMethod(); }
  int close() { return closeMethod(); }
  int size() { return sizeMethod(); }

  int fail() const { return state & 1; }
  void clear() { state = 0; }
  // Sets the failed state: data the reader needed was not there.
  void markFailed() { state |= 1; }
  int gcount() const { return gcount_; }

  // Reads bytes up to count - 1 characters, the delimiter or the end of the
  // data, and stores them NUL-terminated; the delimiter is consumed, not kept.
  TqorStream& get(char* buffer, int count, char delimiter);
  // Reads one byte as 0..255; 0 at the end of the data.
  int get();

protected:
  friend class TqorRestrictedStream;
  virtual int readMethod(void* buffer, int length) = 0;
  virtual int writeMethod(const void* buffer, int length) = 0;
  virtual int seekMethod(long offset, int origin) = 0;
  virtual int tellMethod() = 0;
  virtual int closeMethod() = 0;
  virtual int sizeMethod() = 0;

  int32_t gcount_;
  int32_t state;
  void* handle;
};

class QOR_API TqorFileStream : public TqorStream {
public:
  TqorFileStream() = default;
  explicit TqorFileStream(FILE* f) : TqorStream(f) {}
  ~TqorFileStream() override;
  TqorFileStream(const TqorFileStream&) = delete;
  TqorFileStream& operator=(const TqorFileStream&) = delete;
  void init(FILE* f) { handle = f; }
  FILE* file() const { return static_cast<FILE*>(handle); }
  // Pushes buffered bytes to the file; sets the fail bit when that fails.
  int flush();
  // Cuts the file to length bytes, after flushing, and leaves the position
  // there; sets the fail bit when that fails.
  int truncate(int length);
  // Gives a file this stream opened a 64 KiB buffer of its own (before any
  // I/O). Such a file is closed at the latest when the stream is destroyed.
  void useOwnBuffer();
  enum { ownBufferSize = 64 * 1024 };

protected:
  int readMethod(void* buffer, int length) override;
  int writeMethod(const void* buffer, int length) override;
  int seekMethod(long offset, int origin) override;
  int tellMethod() override;
  int closeMethod() override;
  int sizeMethod() override;

private:
  char* ownBuffer = nullptr;
};

struct QOR_API TqorMemStreamInfo {
  TqorMemStreamInfo() : buffer(nullptr), position(0), size(0) {}
  TqorMemStreamInfo(void* b, int s) : buffer(static_cast<unsigned char*>(b)), position(0), size(s) {}
  unsigned char* buffer;
  int32_t position;
  int32_t size;
};

// A stream over caller memory of fixed size; the memory never grows.
class QOR_API TqorMemoryStream : public TqorStream {
public:
  TqorMemoryStream() = default;
  TqorMemoryStream(void* buffer, int size) { init(buffer, size); }
  TqorMemoryStream(const TqorMemoryStream& other);
  TqorMemoryStream& operator=(const TqorMemoryStream& other);
  void init(void* buffer, int size);

protected:
  int readMethod(void* buffer, int length) override;
  int writeMethod(const void* buffer, int length) override;
  int seekMethod(long offset, int origin) override;
  int tellMethod() override;
  int closeMethod() override;
  int sizeMethod() override;

private:
  int available(int length) const;
  TqorMemStreamInfo info;
};

// A window [start, start + length) of another stream, which stays the caller's.
class QOR_API TqorRestrictedStream : public TqorStream {
public:
  TqorRestrictedStream() : inner(nullptr), start(0), length(0) {}
  TqorRestrictedStream(TqorStream* s, int st, int len) : inner(s), start(st), length(len) {}
  void init(TqorStream* s, int st, int len) {
    inner = s;
    start = st;
    length = len;
  }

protected:
  int readMethod(void* buffer, int length) override;
  int writeMethod(const void* buffer, int length) override;
  int seekMethod(long offset, int origin) override;
  int tellMethod() override;
  int closeMethod() override;
  int sizeMethod() override;

private:
  TqorStream* inner;
  int32_t start;
  int32_t length;
};

// Reads a stream 64 KiB at a time and hands the bytes out one by one.
class QOR_API TSmartReadBytes {
public:
  enum { bufferSize = 64 * 1024 };
  TSmartReadBytes() : buffer(nullptr), cursor(nullptr), available(0), stream(nullptr) {}
  explicit TSmartReadBytes(TqorStream* s) : TSmartReadBytes() { init(s); }
  ~TSmartReadBytes();
  TSmartReadBytes(const TSmartReadBytes&) = delete;
  TSmartReadBytes& operator=(const TSmartReadBytes&) = delete;

  void init(TqorStream* s);
  // Next byte, or 0 once the data is exhausted.
  unsigned char get() {
    if (available == 0 && !readMore()) return 0;
    --available;
    return *cursor++;
  }
  // Reads length bytes, from the buffer first and then from the stream.
  int read(void* destination, int length);
  // True once a byte was asked for past the end of the data.
  bool exhausted() const { return ranDry; }
  // The buffered bytes not handed out yet, [result, *end), refilled first
  // when none are left (empty at the end of the data). A decoder works on
  // them through its own pointer and hands back where it stopped with commit.
  const unsigned char* span(const unsigned char** end) {
    if (available == 0) readMore();
    *end = cursor + available;
    return cursor;
  }
  // The bytes before upTo, which lies within the last span, are consumed.
  void commit(const unsigned char* upTo) {
    available -= int32_t(upTo - cursor);
    cursor = const_cast<unsigned char*>(upTo);
  }

private:
  int readMore();
  bool ranDry = false;
  unsigned char* buffer;
  unsigned char* cursor;
  int32_t available;
  TqorStream* stream;
};

// A row decoder's own pointer into the buffered bytes of a TSmartReadBytes:
// the decoder's stores cannot alias it, so it stays in registers. Where it
// stopped is handed back when it goes. Past the end of the data nothing is read.
class TSmartReadCursor {
public:
  explicit TSmartReadCursor(TSmartReadBytes& b) : bytes(b) { p = bytes.span(&end); }
  ~TSmartReadCursor() { bytes.commit(p); }
  TSmartReadCursor(const TSmartReadCursor&) = delete;
  TSmartReadCursor& operator=(const TSmartReadCursor&) = delete;

  // The next byte; false at the end of the data.
  bool next(int& value) {
    if (p == end && !refill()) return false;
    value = *p++;
    return true;
  }
  // The next byte, 0 at the end of the data.
  int nextOrZero() {
    int value = 0;
    next(value);
    return value;
  }
  // The next n bytes when the buffer holds them already, else null; skip
  // consumes bytes looked at so.
  const unsigned char* buffered(int n) const { return end - p >= n ? p : nullptr; }
  void skip(int n) { p += n; }
  // Consumes up to n bytes, the first keep of them copied to dest; returns
  // the bytes consumed (fewer at the end of the data).
  int take(unsigned char* dest, int keep, int n) {
    if (keep >= n && end - p >= n) {
      std::memcpy(dest, p, size_t(n));
      p += n;
      return n;
    }
    int k = 0;
    while (k < n && (p != end || refill())) {
      const int chunk = int(end - p) < n - k ? int(end - p) : n - k;
      const int stored = chunk < keep - k ? chunk : keep - k;
      if (stored > 0) std::memcpy(dest + k, p, size_t(stored));
      p += chunk;
      k += chunk;
    }
    return k;
  }

private:
  bool refill() {
    bytes.commit(p);
    p = bytes.span(&end);
    return p != end;
  }
  TSmartReadBytes& bytes;
  const unsigned char* p;
  const unsigned char* end;
};

// Stream calls for codec callbacks, which nothing may leave but a result:
// bytes moves in parts of up to 1 GiB until a part comes back short; the
// bytes moved are returned, -1 when the stream raised before moving any. A
// write that raises leaves the stream failed.
int64_t qorStreamRead(TqorStream* s, void* data, int64_t bytes) noexcept;
int64_t qorStreamWrite(TqorStream* s, const void* data, int64_t bytes) noexcept;

#endif
