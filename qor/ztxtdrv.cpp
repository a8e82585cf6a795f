#include "ztxtdrv.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "zstream.h"

// ---------------------------------------------------------------- on-disk layout

// Plain text; lines end in CR LF as written, at LF when read (a CR before it
// is trailing white space):
//   line 1  the signature (a reader looks at its first 33 characters only)
//   line 2  the number of images N, then " - Number of images "
//   line 3  the file-name mask the names were made from
//   line 4 to N + 3  the member file names, image 0 first
namespace imgListLayout {
inline constexpr char signature[] = "QOR IMAGE-LIST ENSEMBLE SIGNATURE";
inline constexpr int signatureSize = 33;
inline constexpr char lineEnd[] = "\r\n";
// A line holds at most this many characters before its LF (its CR included).
inline constexpr int maxLine = 99;
// The mask field of the descriptor, its terminating NUL included.
inline constexpr int maskSize = int(sizeof TImgListFileInfo::mask);
// Each '?' of a mask numbers ten files.
inline constexpr int namesPerMark = 10;
}  // namespace imgListLayout

namespace {

inline bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// Removes trailing white space from text in place.
void trimTrailing(char* text) {
  size_t n = std::strlen(text);
  while (n > 0 && isBlank(text[n - 1])) text[--n] = '\0';
}

const char* skipLeading(const char* text) {
  while (*text && isBlank(*text)) ++text;
  return text;
}

// A stream that takes every byte written and keeps none: the second
// ensemble's file, which only has to hold a copy of the member descriptor,
// whatever the member format writes when a file is created.
class TDiscardStream : public TqorStream {
protected:
  int readMethod(void*, int) override { return 0; }
  int writeMethod(const void*, int length) override {
    if (length <= 0) return 0;
    position += length;
    if (position > length_) length_ = position;
    return length;
  }
  int seekMethod(long offset, int origin) override {
    const int64_t base = origin == SEEK_CUR ? position : origin == SEEK_END ? length_ : 0;
    const int64_t at = base + offset;
    if (at < 0 || at > INT_MAX) return -1;
    position = at;
    return int(at);
  }
  int tellMethod() override { return int(position); }
  int closeMethod() override { return 0; }
  int sizeMethod() override { return int(length_); }

private:
  int64_t position = 0;
  int64_t length_ = 0;
};

// The lines of a list, read from the start of its stream.
class LineReader {
public:
  LineReader(TqorStream* s, const char* file) : file(file) { in.init(s); }

  // Line number line, without its LF, into out. A line cut short by the end
  // of the data, or longer than a line may be, raises error 3: a longer line
  // would otherwise end up as the next name.
  void next(char (&out)[imgListLayout::maxLine + 1], int line) {
    int n = 0;
    for (;;) {
      const unsigned char c = in.get();
      if (in.exhausted())
        QOR_RAISE("Image list \"%s\": the file ends inside line %d; every line of a list ends with a line feed.",
                  file, line);
      ++consumed_;
      if (c == '\n') break;
      if (n == imgListLayout::maxLine)
        QOR_RAISE("Image list \"%s\": line %d is longer than %d characters; a list line holds one file name of at "
                  "most %d characters and its CR.",
                  file, line, imgListLayout::maxLine, imgListLayout::maxLine - 1);
      out[n++] = char(c);
    }
    out[n] = '\0';
  }
  // Bytes read so far.
  int64_t consumed() const { return consumed_; }

private:
  TSmartReadBytes in;
  const char* file;
  int64_t consumed_ = 0;
};

// The count of line 2: a decimal number after blanks, text after it ignored;
// 0 when there is none, INT64_MAX for one beyond 64 bits.
int64_t leadingNumber(const char* text) {
  const char* p = skipLeading(text);
  bool negative = false;
  if (*p == '-' || *p == '+') negative = *p++ == '-';
  int64_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) n = n <= INT_MAX ? n * 10 + (*p - '0') : n;
  return negative ? -n : n;
}

}  // namespace

// ---------------------------------------------------------------- descriptor

TImgListFileInfo::TImgListFileInfo() : inner(nullptr), numberOfImages_(0), mask(), maskLength(0), ownsInner(false) {}

TImgListFileInfo::TImgListFileInfo(const char* m, TFileInfo* in, int n)
    : inner(in), numberOfImages_(n), mask(), maskLength(0),
      ownsInner(in && (in->getf() & TFileInfo::ownedByEnsemble)) {
  if (!m) m = "";
  const size_t length = std::strlen(m);
  maskLength = length > INT32_MAX ? INT32_MAX : int32_t(length);
  const size_t kept = length < sizeof mask ? length : sizeof mask - 1;
  std::memcpy(mask, m, kept);
  mask[kept] = '\0';
}

TImgListFileInfo::TImgListFileInfo(const TImgListFileInfo& other)
    : TFileInfo(other), inner(other.inner), numberOfImages_(other.numberOfImages_), maskLength(other.maskLength),
      ownsInner(false) {
  std::memcpy(mask, other.mask, sizeof mask);
}

TImgListFileInfo& TImgListFileInfo::operator=(const TImgListFileInfo& other) {
  if (this == &other) return *this;
  if (ownsInner) delete inner;
  TFileInfo::operator=(other);
  inner = other.inner;
  numberOfImages_ = other.numberOfImages_;
  std::memcpy(mask, other.mask, sizeof mask);
  maskLength = other.maskLength;
  ownsInner = false;
  return *this;
}

TImgListFileInfo::~TImgListFileInfo() {
  if (ownsInner) delete inner;
}

int TImgListFileInfo::formatID() { return idIMGLIST(); }

TFileInfo* TImgListFileInfo::takeInner() {
  TFileInfo* taken = inner;
  if (ownsInner) {
    ownsInner = false;
    inner = nullptr;
  }
  return taken;
}

TFileInfo* fiImgListFileInfo(const char* mask, TFileInfo* inner, int numberOfImages) {
  TFileInfo* info = new TImgListFileInfo(mask, inner, numberOfImages);
  if (!info) {
    if (inner && (inner->getf() & TFileInfo::ownedByEnsemble)) delete inner;
    QOR_RAISE_MEMORY();
  }
  info->setf(TFileInfo::ownedByEnsemble);
  return info;
}

// ---------------------------------------------------------------- row codec

// None: rows move through the inner ensemble and the member's own driver.

// ---------------------------------------------------------------- converter tables

// None: getConverterDisk2Memory and getConverterMemory2Disk keep the base's
// answer, since the images move through the inner ensemble.

// ---------------------------------------------------------------- driver

TImgListFormatDriver::TImgListFormatDriver() = default;

TImgListFormatDriver::~TImgListFormatDriver() {
  fileInfo.inner = nullptr;
  try {
    replacing.clear();
    abandonNested();
    second.reset();
    inner.reset();
  } catch (...) {
  }
}

int TImgListFormatDriver::recognizeFormat() {
  char first[imgListLayout::signatureSize];
  if (!readPrefix(first, imgListLayout::signatureSize)) return 0;
  return std::memcmp(first, imgListLayout::signature, imgListLayout::signatureSize) == 0;
}

void TImgListFormatDriver::makeEnsembles() {
  if (!ensemble) QOR_RAISE("Image list: the driver serves no ensemble.");
  fileInfo.inner = nullptr;
  second.reset();
  inner.reset();
  TQORDataManager*& managerRef = ensemble->managerReference();
  inner.reset(new TImageEnsemble(managerRef));
  if (!inner) QOR_RAISE_MEMORY();
  second.reset(new TImageEnsemble(managerRef));
  if (!second) QOR_RAISE_MEMORY();
}

void TImgListFormatDriver::takePaletteOfInner() {
  if (innerOpen()) std::memcpy(palette, inner->getPalette(), sizeof palette);
}

int TImgListFormatDriver::readHeader() {
  fillPaletteAsGrey();
  makeEnsembles();
  fileInfo = TImgListFileInfo();
  names.clear();
  const char* file = fileNameForMessages();
  if (!seekTo(0)) QOR_RAISE("Image list \"%s\": the stream cannot be positioned at its start.", file);
  LineReader lines(stream, file);
  char line[imgListLayout::maxLine + 1];
  lines.next(line, 1);
  lines.next(line, 2);
  const int64_t n = leadingNumber(line);
  if (n < 1) QOR_RAISE("File list number <= 0! ");
  lines.next(line, 3);
  trimTrailing(line);
  std::strcpy(fileInfo.mask, skipLeading(line));
  fileInfo.maskLength = int32_t(std::strlen(fileInfo.mask));
  // every name takes a line, and a line at least its LF
  const int64_t size = stream->size();
  const int64_t left = size > 0 ? size - lines.consumed() : INT64_MAX;
  if (n > INT_MAX || n > left)
    QOR_RAISE("Image list \"%s\": line 2 announces %lld images, more names than the %lld bytes after line 3 can "
              "hold.",
              file, (long long)n, (long long)(size > 0 ? left : 0));
  fileInfo.numberOfImages_ = int32_t(n);
  try {
    // a stream that does not tell its size is read until its lines run out
    names.reserve(size_t(n < 4096 ? n : 4096));
    for (int i = 0; i < n; ++i) {
      lines.next(line, i + 4);
      trimTrailing(line);
      names.emplace_back(line);
    }
  } catch (const std::bad_alloc&) {
    QOR_RAISE_MEMORY();
  }
  stream->clear();
  {
    NestedOpen nested("Image list", file);
    inner->open(names[0].c_str());
  }
  fileInfo.inner = inner->getFileInfo();
  takePaletteOfInner();
  return 0;
}

void TImgListFormatDriver::updateFileInfo(int index) {
  if (!inner || index < 0 || index >= int(names.size()))
    QOR_RAISE("Image list \"%s\": there is no image %d.", fileNameForMessages(), index);
  fileInfo.inner = nullptr;
  {
    NestedOpen nested("Image list", fileNameForMessages());
    inner->open(names[size_t(index)].c_str());
  }
  fileInfo.inner = inner->getFileInfo();
  takePaletteOfInner();
}

void TImgListFormatDriver::generateNames() {
  using namespace imgListLayout;
  if (fileInfo.maskLength >= maskSize)
    QOR_RAISE("The given filename mask of %d characters is longer than the %d characters a list keeps.",
              int(fileInfo.maskLength), maskSize - 1);
  trimTrailing(fileInfo.mask);
  fileInfo.maskLength = int32_t(std::strlen(fileInfo.mask));
  const int n = fileInfo.numberOfImages_;
  const char* mask = skipLeading(fileInfo.mask);
  const char* first = std::strchr(mask, '?');
  int marks = 0;
  for (const char* p = mask; *p; ++p) marks += *p == '?';
  if (int64_t(namesPerMark) * marks < n)
    QOR_RAISE("The given filename mask: \"%s\" does not permit to generate filename with number %d.", mask, n);
  // the mask line and every name line, with its CR, must read back whole
  if (fileInfo.maskLength + 1 > maxLine)
    QOR_RAISE("The given filename mask: \"%s\" has %d characters; a list line holds at most %d and its CR.", mask,
              int(fileInfo.maskLength), maxLine - 1);
  names.clear();
  names.reserve(size_t(n));
  const size_t at = size_t(first - mask);
  for (int j = 0; j < n; ++j) {
    // j in marks digits, zero-padded: j < 10 x marks never needs more
    std::string name(mask);
    int value = j;
    for (size_t k = size_t(marks); k-- > 0; value /= 10) name[at + k] = char('0' + value % 10);
    names.push_back(name);
  }
}

void TImgListFormatDriver::checkNotSelf(const std::string& name) {
  const char* own = ensemble ? ensemble->fileName() : nullptr;
  if (!own || !*own) return;
  bool same = name == own;
  struct stat a, b;
  if (!same && stat(own, &a) == 0 && stat(name.c_str(), &b) == 0) same = a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  if (same)
    QOR_RAISE("Image list \"%s\": the generated name \"%s\" is the list's own file; writing that member would "
              "overwrite the list.",
              own, name.c_str());
}

int TImgListFormatDriver::createFile(TFileInfo* source) {
  const char* what = "Cannot create an image list";
  auto* list = dynamic_cast<TImgListFileInfo*>(source);
  if (!list) QOR_RAISE("%s: the descriptor given is not one of an image list.", what);
  if (list->numberOfImages_ < 1) QOR_RAISE("File list number <= 0! ");
  if (!list->inner) QOR_RAISE("%s: no descriptor of the member files was given.", what);
  makeEnsembles();
  fileInfo = *list;
  fileInfo.clearf(TFileInfo::ownedByEnsemble);
  fileInfo.inner = nullptr;
  generateNames();
  for (const std::string& name : names) checkNotSelf(name);

  std::string text;
  char head[3 * imgListLayout::maskSize];
  std::snprintf(head, sizeof head, "%s%s%d - Number of images %s%s%s", imgListLayout::signature,
                imgListLayout::lineEnd, int(fileInfo.numberOfImages_), imgListLayout::lineEnd, fileInfo.mask,
                imgListLayout::lineEnd);
  text += head;
  for (const std::string& name : names) text += name + imgListLayout::lineEnd;
  writeAtStart(text.data(), int(text.size()));

  TFileInfo* member = list->takeInner();
  {
    NestedOpen nested("Image list", fileNameForMessages());
    inner->open(names[0].c_str(), member);
  }
  fileInfo.inner = inner->getFileInfo();
  return 0;
}

int TImgListFormatDriver::readImage(TqorImageBase* image, int) {
  if (!innerOpen()) QOR_RAISE("Image list \"%s\": no member file is open.", fileNameForMessages());
  {
    NestedOpen nested("Image list", fileNameForMessages());
    readNested(image);
  }
  // the member's palette, also when its rows are still to come chunk by chunk
  takePaletteOfInner();
  std::memcpy(image->getPalette(), palette, sizeof palette);
  return 0;
}

namespace {
// A name beside file that no other write of this process uses now.
std::string partName(const std::string& file) {
  static std::atomic<unsigned> counter{0};
  return file + ".part-" + std::to_string(long(getpid())) + "-" + std::to_string(counter++);
}
}  // namespace

int TImgListFormatDriver::writeImage(TqorImageBase* image, int index) {
  if (!inner || index < 0 || index >= int(names.size()))
    QOR_RAISE("Image list \"%s\": there is no image %d to write.", fileNameForMessages(), index);
  if (!innerOpen() || !fileInfo.inner)
    QOR_RAISE("Image list \"%s\": no member descriptor to write image %d with.", fileNameForMessages(), index);
  NestedOpen nested("Image list", fileNameForMessages());
  abandonNested();
  // a copy of the member descriptor that outlives the member now open
  auto* sink = new TDiscardStream;
  if (!sink) QOR_RAISE_MEMORY();
  second->open(sink, fileInfo.inner);
  fileInfo.inner = nullptr;
  replacing = names[size_t(index)];
  writingTo = partName(replacing);
  try {
    inner->open(writingTo.c_str(), second->getFileInfo());
    fileInfo.inner = inner->getFileInfo();
  } catch (...) {
    abandonNested();
    throw;
  }
  writeNested(image);
  return 0;
}

void TImgListFormatDriver::commitNested() {
  if (writingTo.empty()) return;
  const std::string from = writingTo, to = replacing;
  writingTo.clear();
  if (std::rename(from.c_str(), to.c_str()) != 0) {
    const int error = errno;
    std::remove(from.c_str());
    QOR_RAISE("Image list \"%s\": member \"%s\" cannot be replaced: %s.", fileNameForMessages(), to.c_str(),
              std::strerror(error));
  }
}

void TImgListFormatDriver::abandonNested() {
  if (writingTo.empty()) return;
  const std::string part = writingTo;
  writingTo.clear();
  fileInfo.inner = nullptr;
  try {
    if (inner) inner->close();
  } catch (const x_qor&) {
  }
  std::remove(part.c_str());
  // the member as it was stays open, so that the list can still be written
  try {
    if (inner && !replacing.empty()) {
      inner->open(replacing.c_str());
      fileInfo.inner = inner->getFileInfo();
    }
  } catch (const x_qor&) {
    fileInfo.inner = nullptr;
  }
}

void TImgListFormatDriver::nestedReadDone() {
  takePaletteOfInner();
  std::memcpy(currentImage->getPalette(), palette, sizeof palette);
}

int TImgListFormatDriver::hasPalette() {
  return bitsHavePalette(fileInfo.coding());
}

int TImgListFormatDriver::paletteSize() {
  return paletteEntriesOf(fileInfo.coding());
}
