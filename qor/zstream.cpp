#include "zstream.h"

#include <unistd.h>

#include <cstring>
#include <new>

// ---------------------------------------------------------------- TqorStream

TqorStream::~TqorStream() = default;

int TqorStream::read(void* buffer, int length) {
  gcount_ = readMethod(buffer, length);
  if (gcount_ == -1) state |= 1;
  return gcount_;
}

int TqorStream::write(const void* buffer, int length) {
  int n = writeMethod(buffer, length);
  if (n != length) state |= 1;
  return n;
}

TqorStream& TqorStream::get(char* buffer, int count, char delimiter) {
  // Stores at most count - 1 characters and the terminator; stops at the
  // delimiter or at the end of the data. A count below 1 still consumes a byte.
  if (count < 1) {
    char c;
    read(&c, 1);
    return *this;
  }
  int stored = 0;
  for (;;) {
    char c;
    if (read(&c, 1) != 1 || c == delimiter || stored == count - 1) break;
    buffer[stored++] = c;
  }
  buffer[stored] = '\0';
  return *this;
}

int TqorStream::get() {
  unsigned char c;
  return read(&c, 1) == 1 ? c : 0;
}

// ---------------------------------------------------------------- TqorFileStream

int TqorFileStream::readMethod(void* buffer, int length) {
  if (!handle || length <= 0) return handle ? 0 : -1;
  return static_cast<int>(std::fread(buffer, 1, static_cast<size_t>(length), file()));
}

int TqorFileStream::writeMethod(const void* buffer, int length) {
  if (!handle || length <= 0) return 0;
  return static_cast<int>(std::fwrite(buffer, 1, static_cast<size_t>(length), file()));
}

int TqorFileStream::seekMethod(long offset, int origin) {
  if (!handle || std::fseek(file(), offset, origin) != 0) return -1;
  return static_cast<int>(std::ftell(file()));
}

int TqorFileStream::flush() {
  if (handle && std::fflush(file()) != 0) state |= 1;
  return fail() ? -1 : 0;
}

int TqorFileStream::truncate(int length) {
  if (!handle || length < 0 || flush() != 0) return -1;
  if (ftruncate(fileno(file()), off_t(length)) != 0 || std::fseek(file(), long(length), SEEK_SET) != 0) state |= 1;
  return fail() ? -1 : 0;
}

TqorFileStream::~TqorFileStream() {
  // the file's buffer is ours: the file must not outlive it
  if (ownBuffer && handle) std::fclose(file());
  delete[] ownBuffer;
}

void TqorFileStream::useOwnBuffer() {
  if (!handle || ownBuffer) return;
  char* b = new (std::nothrow) char[ownBufferSize];
  if (!b) return;  // the C library's own buffer will do
  if (std::setvbuf(file(), b, _IOFBF, ownBufferSize) != 0) {
    delete[] b;
    return;
  }
  ownBuffer = b;
}

int TqorFileStream::tellMethod() { return handle ? static_cast<int>(std::ftell(file())) : -1; }

int TqorFileStream::closeMethod() {
  if (!handle) return 0;
  int r = std::fclose(file());
  handle = nullptr;
  delete[] ownBuffer;
  ownBuffer = nullptr;
  return r;
}

int TqorFileStream::sizeMethod() {
  if (!handle || std::fseek(file(), 0, SEEK_END) != 0) return -1;
  return static_cast<int>(std::ftell(file()));
}

// ---------------------------------------------------------------- TqorMemoryStream

TqorMemoryStream::TqorMemoryStream(const TqorMemoryStream& other) : TqorStream(other), info(other.info) {
  if (other.handle) handle = &info;
}

TqorMemoryStream& TqorMemoryStream::operator=(const TqorMemoryStream& other) {
  TqorStream::operator=(other);
  gcount_ = other.gcount_;
  state = other.state;
  info = other.info;
  handle = other.handle ? &info : nullptr;
  return *this;
}

void TqorMemoryStream::init(void* buffer, int size) {
  info = TqorMemStreamInfo(buffer, size < 0 ? 0 : size);
  handle = &info;
}

int TqorMemoryStream::available(int length) const {
  if (!handle || length <= 0) return 0;
  int64_t left = int64_t(info.size) - info.position;
  return left <= 0 ? 0 : static_cast<int>(left < length ? left : length);
}

int TqorMemoryStream::readMethod(void* buffer, int length) {
  if (!handle) return -1;
  int n = available(length);
  if (n) std::memcpy(buffer, info.buffer + info.position, static_cast<size_t>(n));
  info.position += n;
  return n;
}

int TqorMemoryStream::writeMethod(const void* buffer, int length) {
  int n = available(length);
  if (n) std::memcpy(info.buffer + info.position, buffer, static_cast<size_t>(n));
  info.position += n;
  return n;
}

int TqorMemoryStream::seekMethod(long offset, int origin) {
  if (!handle) return -1;
  long base;
  switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = info.position; break;
    case SEEK_END: base = info.size; break;
    default: return info.position;
  }
  long target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > info.size) return -1;
  info.position = static_cast<int32_t>(target);
  return info.position;
}

int TqorMemoryStream::tellMethod() { return info.position; }
int TqorMemoryStream::closeMethod() { return 0; }
int TqorMemoryStream::sizeMethod() { return info.size; }

// ---------------------------------------------------------------- TqorRestrictedStream
// Transfers go straight to the inner stream's methods: the inner stream's
// count and fail bit stay as they were, and the window does not clip them.

int TqorRestrictedStream::readMethod(void* buffer, int n) {
  return inner ? inner->readMethod(buffer, n) : -1;
}

int TqorRestrictedStream::writeMethod(const void* buffer, int n) {
  return inner ? inner->writeMethod(buffer, n) : 0;
}

int TqorRestrictedStream::seekMethod(long offset, int origin) {
  if (!inner) return -1;
  long target;
  switch (origin) {
    case SEEK_SET:
      if (__builtin_add_overflow(long(start), offset, &target)) return -1;
      return inner->seekMethod(target, SEEK_SET);
    case SEEK_CUR: return inner->seekMethod(offset, SEEK_CUR);
    case SEEK_END:
      // the offset counts back from the end of the window
      if (__builtin_sub_overflow(long(start) + length, offset, &target)) return -1;
      return inner->seekMethod(target, SEEK_SET);
    default: return 0;
  }
}

int TqorRestrictedStream::tellMethod() { return inner ? inner->tellMethod() - start : -1; }
int TqorRestrictedStream::closeMethod() { return 0; }
int TqorRestrictedStream::sizeMethod() { return length; }

// ---------------------------------------------------------------- TSmartReadBytes

TSmartReadBytes::~TSmartReadBytes() { delete[] buffer; }

void TSmartReadBytes::init(TqorStream* s) {
  unsigned char* fresh = new (std::nothrow) unsigned char[bufferSize];
  if (!fresh) QOR_RAISE_MEMORY();
  delete[] buffer;
  buffer = fresh;
  cursor = buffer;
  available = 0;
  stream = s;
  ranDry = false;
}

int TSmartReadBytes::readMore() {
  if (!buffer || !stream) return 0;
  int n = stream->read(buffer, bufferSize);
  if (stream->fail() && n < bufferSize) stream->clear();
  cursor = buffer;
  // a stream that claims more than was asked for cannot make the reader leave its buffer
  available = n <= 0 ? 0 : n > bufferSize ? int(bufferSize) : n;
  if (available == 0) ranDry = true;
  return available;
}

int TSmartReadBytes::read(void* destination, int length) {
  if (length <= 0) return 0;
  unsigned char* out = static_cast<unsigned char*>(destination);
  if (available >= length) {
    std::memcpy(out, cursor, static_cast<size_t>(length));
    cursor += length;
    available -= length;
    return length;
  }
  int copied = available;
  if (copied) std::memcpy(out, cursor, static_cast<size_t>(copied));
  cursor += copied;
  available = 0;
  int more = stream ? stream->read(out + copied, length - copied) : 0;
  if (more < length - copied) ranDry = true;
  return copied + (more > 0 ? more : 0);
}

// ---------------------------------------------------------------- codec bindings

namespace {

int64_t transfer(TqorStream* s, unsigned char* data, int64_t bytes, bool write) noexcept {
  if (!s || bytes < 0) return -1;
  int64_t done = 0;
  try {
    while (done < bytes) {
      const int part = int(bytes - done < (int64_t(1) << 30) ? bytes - done : int64_t(1) << 30);
      const int n = write ? s->write(data + done, part) : s->read(data + done, part);
      if (n <= 0) break;
      done += n;
      if (n < part) break;
    }
  } catch (...) {
    if (write) s->markFailed();
    return done > 0 ? done : -1;
  }
  return done;
}

}  // namespace

int64_t qorStreamRead(TqorStream* s, void* data, int64_t bytes) noexcept {
  return transfer(s, static_cast<unsigned char*>(data), bytes, false);
}

int64_t qorStreamWrite(TqorStream* s, const void* data, int64_t bytes) noexcept {
  return transfer(s, static_cast<unsigned char*>(const_cast<void*>(data)), bytes, true);
}
