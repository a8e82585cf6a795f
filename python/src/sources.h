// Where images come from and go to: files, the caller's bytes, and a growing
// buffer for encoding into bytes.
#ifndef QORIMAGE_PY_SOURCES_H
#define QORIMAGE_PY_SOURCES_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "zqorall.h"

// A file path, or bytes the caller keeps alive while the ensemble is open.
struct Source {
  bool memory = false;
  std::string path;
  const unsigned char* data = nullptr;
  size_t size = 0;
};

// A new ensemble following the manager variable, opened on the source.
std::unique_ptr<TImageEnsemble> openSource(const Source& source, TQORDataManager*& manager);

// A stream over a byte vector that grows as it is written; seeks may pass the
// end, and the gap reads as zeros once written over. The vector is shared, so
// it outlives the stream, which the ensemble deletes.
class GrowingStream : public TqorStream {
public:
  explicit GrowingStream(std::shared_ptr<std::vector<unsigned char>> bytes);

protected:
  int readMethod(void* buffer, int length) override;
  int writeMethod(const void* buffer, int length) override;
  int seekMethod(long offset, int origin) override;
  int tellMethod() override { return int(position); }
  int closeMethod() override { return 0; }
  int sizeMethod() override { return int(bytes->size()); }

private:
  std::shared_ptr<std::vector<unsigned char>> bytes;
  size_t position = 0;
};

// A new ensemble following the manager variable, created on a growing stream
// over bytes with the descriptor (taken over whatever happens).
std::unique_ptr<TImageEnsemble> createInMemory(std::shared_ptr<std::vector<unsigned char>> bytes, TFileInfo* info,
                                               TQORDataManager*& manager);
// A new ensemble following the manager variable, creating the file with the descriptor.
std::unique_ptr<TImageEnsemble> createFile(const std::string& path, TFileInfo* info, TQORDataManager*& manager);

#endif
