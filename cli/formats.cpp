#include "formats.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

#include "qorimg.h"

namespace {

// A native file names its images; qorimg's carry the tool's name.
TFileInfo* makeNative(const char*, int c, int x, int y, int n, const WriteOptions&) {
  return fiKavFileInfo(c, x, y, n, "qorimg");
}
TFileInfo* makeBmp(const char*, int c, int x, int y, int, const WriteOptions&) { return fiBmpFileInfo(c, x, y); }
TFileInfo* makeOS2(const char*, int c, int x, int y, int, const WriteOptions&) {
  return fiBmpOS2FileInfo(c, x, y);
}
TFileInfo* makePcx(const char*, int c, int x, int y, int, const WriteOptions& o) {
  return fiPcxFileInfo(c, x, y, o.encoded(true) ? 1 : 0);
}
TFileInfo* makeDcx(const char*, int c, int x, int y, int n, const WriteOptions&) {
  return fiDcxFileInfo(c, x, y, n);
}
TFileInfo* makeTga(const char*, int c, int x, int y, int, const WriteOptions& o) {
  return fiTgaFileInfo(c, x, y, o.encoded(false) ? 1 : 0);
}
TFileInfo* makeAstro(const char*, int c, int x, int y, int, const WriteOptions&) { return fiAstroFileInfo(c, x, y); }
// Members beside the list, named after it: out.qil holds out-00.bmp, out-01.bmp, ...
TFileInfo* makeList(const char* path, int c, int x, int y, int n, const WriteOptions&) {
  std::string mask = path;
  const size_t dot = mask.rfind('.'), slash = mask.rfind('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) mask.erase(dot);
  mask += "-" + std::string(size_t(std::max(2, (n + 9) / 10)), '?') + ".bmp";
  return fiImgListFileInfo(mask.c_str(), fiBmpFileInfo(c, x, y), n);
}
#if QOR_WITH_JPEG
TFileInfo* makeJpeg(const char*, int c, int x, int y, int, const WriteOptions& o) {
  return fiJpegFileInfo(c, x, y, o.quality);
}
#endif
#if QOR_WITH_PNG
TFileInfo* makePng(const char*, int c, int x, int y, int, const WriteOptions& o) {
  return fiPngFileInfo(c, x, y, 0, o.level);
}
#endif
#if QOR_WITH_TIFF
TFileInfo* makeTiff(const char*, int c, int x, int y, int, const WriteOptions&) { return fiTiffFileInfo(c, x, y); }
#endif

const int scalarCodings[] = {stUChar, stSChar, stSShort, stUShort, stSLong, stULong, stDouble};

// Every format the tool can name; a format joins with one row.
std::vector<FormatRow> allRows() {
  const std::vector<int> native(std::begin(scalarCodings), std::end(scalarCodings));
  return {
      {"native", idKAV, ".kav", true, false, native, makeNative},
      {"memory", idKAVMEM, "", true, false, {}, nullptr},
      {"bmp", idBMP, ".bmp .dib", false, true, {24, 8, 4, 1}, makeBmp},
      {"os2bmp", idBMPOS2, "", false, true, {24, 8, 4, 1}, makeOS2},
      {"pcx", idPCX, ".pcx", false, true, {24, 8, 4, 1}, makePcx},
      {"dcx", idDCX, ".dcx", true, true, {24, 8, 4, 1}, makeDcx},
      {"tga", idTGA, ".tga", false, true, {24, 8}, makeTga},
      {"fits", idASTROLUM, ".fits .fit .fts", false, false, {16}, makeAstro},
      {"list", idIMGLIST, ".qil", true, true, {24, 8, 4, 1}, makeList},
#if QOR_WITH_JPEG
      {"jpeg", idJPEG, ".jpg .jpeg", false, false, {24, 8}, makeJpeg},
#endif
#if QOR_WITH_PNG
      {"png", idPNG, ".png", false, true, {24, 8, 4, 1}, makePng},
#endif
#if QOR_WITH_TIFF
      {"tiff", idTIFF, ".tif .tiff", false, true, {24, 8, 4, 1}, makeTiff},
#endif
  };
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool FormatRow::scalar() const { return id() == idKAV() || id() == idKAVMEM(); }

bool FormatRow::writes(int coding) const {
  return std::find(codings.begin(), codings.end(), coding) != codings.end();
}

std::string FormatRow::firstExtension() const {
  std::string e = extensions;
  return e.substr(0, e.find(' '));
}

const std::vector<FormatRow>& formatTable() {
  static const std::vector<FormatRow> rows = [] {
    std::vector<FormatRow> kept;
    ManagerGuard manager;
    for (const FormatRow& r : allRows()) {
      try {
        if (manager.m->getDriverWithID(r.id())) kept.push_back(r);
      } catch (const x_qor&) {
        // not registered in this build
      }
    }
    std::sort(kept.begin(), kept.end(), [](const FormatRow& a, const FormatRow& b) { return a.id() < b.id(); });
    return kept;
  }();
  return rows;
}

const FormatRow* formatById(int id) {
  for (const FormatRow& r : formatTable())
    if (r.id() == id) return &r;
  return nullptr;
}

const FormatRow* formatByName(const std::string& name) {
  const std::string n = lower(name);
  for (const FormatRow& r : formatTable()) {
    if (n == r.name) return &r;
    std::istringstream exts(r.extensions);
    std::string e;
    while (exts >> e)
      if (n == e.substr(1)) return &r;  // "jpg", "tif" name their formats too
  }
  return nullptr;
}

const FormatRow* formatByExtension(const std::string& path) {
  const std::string p = lower(path);
  for (const FormatRow& r : formatTable()) {
    std::istringstream exts(r.extensions);
    std::string e;
    while (exts >> e)
      if (p.size() > e.size() && p.compare(p.size() - e.size(), e.size(), e) == 0) return &r;
  }
  return nullptr;
}

std::string formatNames() {
  std::string s;
  for (const FormatRow& r : formatTable()) {
    if (!r.make) continue;
    if (!s.empty()) s += ", ";
    s += r.name;
  }
  return s;
}

std::string codingName(int coding, bool scalar) {
  try {
    return scalar ? stCodingName(coding) : bitsCodingName(coding);
  } catch (const x_qor&) {
    return std::to_string(coding);
  }
}
