#include "sources.h"

#include <climits>
#include <cstring>
#include <new>

namespace {

std::unique_ptr<TImageEnsemble> newEnsemble(TQORDataManager*& manager) {
  std::unique_ptr<TImageEnsemble> e(new TImageEnsemble(manager));
  if (!e) throw std::bad_alloc();
  return e;
}

// Deletes a descriptor the ensemble never took over.
struct InfoGuard {
  TFileInfo* info;
  ~InfoGuard() {
    if (info && (info->getf() & TFileInfo::ownedByEnsemble)) delete info;
  }
};

}  // namespace

std::unique_ptr<TImageEnsemble> openSource(const Source& source, TQORDataManager*& manager) {
  std::unique_ptr<TImageEnsemble> e = newEnsemble(manager);
  if (!source.memory) {
    e->open(source.path.c_str());
    return e;
  }
  if (source.size > size_t(INT_MAX))
    QOR_RAISE("%zu bytes are more than a stream in memory holds (2 GiB).", source.size);
  auto* stream = new TqorMemoryStream(const_cast<unsigned char*>(source.data), int(source.size));
  if (!stream) throw std::bad_alloc();
  e->open(stream);
  return e;
}

GrowingStream::GrowingStream(std::shared_ptr<std::vector<unsigned char>> b) : TqorStream(this), bytes(std::move(b)) {}

int GrowingStream::readMethod(void* buffer, int length) {
  if (length <= 0 || position >= bytes->size()) return 0;
  const size_t n = std::min(size_t(length), bytes->size() - position);
  std::memcpy(buffer, bytes->data() + position, n);
  position += n;
  return int(n);
}

int GrowingStream::writeMethod(const void* buffer, int length) {
  if (length <= 0) return 0;
  if (position + size_t(length) > size_t(INT_MAX)) return 0;
  if (position + size_t(length) > bytes->size()) bytes->resize(position + size_t(length));
  std::memcpy(bytes->data() + position, buffer, size_t(length));
  position += size_t(length);
  return length;
}

int GrowingStream::seekMethod(long offset, int origin) {
  long base;
  switch (origin) {
    case SEEK_SET: base = 0; break;
    case SEEK_CUR: base = long(position); break;
    case SEEK_END: base = long(bytes->size()); break;
    default: return -1;
  }
  long target;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > INT_MAX) return -1;
  position = size_t(target);
  return int(target);
}

std::unique_ptr<TImageEnsemble> createInMemory(std::shared_ptr<std::vector<unsigned char>> bytes, TFileInfo* info,
                                               TQORDataManager*& manager) {
  InfoGuard guard{info};
  std::unique_ptr<TImageEnsemble> e = newEnsemble(manager);
  auto* stream = new GrowingStream(std::move(bytes));
  if (!stream) throw std::bad_alloc();
  guard.info = nullptr;
  e->open(stream, info);
  return e;
}

std::unique_ptr<TImageEnsemble> createFile(const std::string& path, TFileInfo* info, TQORDataManager*& manager) {
  InfoGuard guard{info};
  std::unique_ptr<TImageEnsemble> e = newEnsemble(manager);
  guard.info = nullptr;
  e->open(path.c_str(), info);
  return e;
}
