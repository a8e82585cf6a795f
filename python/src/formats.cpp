#include "formats.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace {

TFileInfo* makeNative(const std::string&, int c, int x, int y, int n, const WriteOptions& o) {
  return fiKavFileInfo(c, x, y, n, o.name.c_str());
}
TFileInfo* makeBmp(const std::string&, int c, int x, int y, int, const WriteOptions& o) {
  if (o.rle > 0) QOR_RAISE("BMP files are written uncompressed; run-length coding is not available.");
  return fiBmpFileInfo(c, x, y);
}
TFileInfo* makeOS2(const std::string&, int c, int x, int y, int, const WriteOptions&) {
  return fiBmpOS2FileInfo(c, x, y);
}
TFileInfo* makePcx(const std::string&, int c, int x, int y, int, const WriteOptions& o) {
  return fiPcxFileInfo(c, x, y, o.rle != 0 ? 1 : 0);
}
TFileInfo* makeDcx(const std::string&, int c, int x, int y, int n, const WriteOptions&) {
  return fiDcxFileInfo(c, x, y, n);
}
TFileInfo* makeTga(const std::string&, int c, int x, int y, int, const WriteOptions& o) {
  return fiTgaFileInfo(c, x, y, o.rle > 0 ? 1 : 0);
}
TFileInfo* makeAstro(const std::string&, int c, int x, int y, int, const WriteOptions&) {
  return fiAstroFileInfo(c, x, y);
}
// Members beside the list unless a mask is given: out.qil holds out-00.bmp, out-01.bmp, ...
TFileInfo* makeList(const std::string& path, int c, int x, int y, int n, const WriteOptions& o) {
  std::string mask = o.mask;
  if (mask.empty()) {
    mask = path;
    const size_t dot = mask.rfind('.'), slash = mask.rfind('/');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) mask.erase(dot);
    mask += "-" + std::string(size_t(std::max(2, (n + 9) / 10)), '?') + ".bmp";
  }
  return fiImgListFileInfo(mask.c_str(), fiBmpFileInfo(c, x, y), n);
}
#if QOR_WITH_JPEG
TFileInfo* makeJpeg(const std::string&, int c, int x, int y, int, const WriteOptions& o) {
  if (o.quality < 1 || o.quality > 100) QOR_RAISE("JPEG quality %d is outside 1 to 100.", o.quality);
  return fiJpegFileInfo(c, x, y, o.quality);
}
#endif
#if QOR_WITH_PNG
TFileInfo* makePng(const std::string&, int c, int x, int y, int, const WriteOptions& o) {
  return fiPngFileInfo(c, x, y, o.interlace ? 1 : 0);
}
#endif
#if QOR_WITH_TIFF
TFileInfo* makeTiff(const std::string&, int c, int x, int y, int, const WriteOptions&) {
  return fiTiffFileInfo(c, x, y);
}
#endif

std::vector<FormatRow> allRows() {
  const std::vector<int> bits{24, 8, 4, 1};
  return {
      {"native", idKAV, ".kav", true, {stUChar, stSChar, stSShort, stUShort, stSLong, stULong, stDouble}, {"name"},
       makeNative},
      {"memory", idKAVMEM, "", true, {}, {}, nullptr},
      {"bmp", idBMP, ".bmp .dib", false, bits, {"rle"}, makeBmp},
      {"os2bmp", idBMPOS2, "", false, bits, {}, makeOS2},
      {"pcx", idPCX, ".pcx", false, bits, {"rle"}, makePcx},
      {"dcx", idDCX, ".dcx", true, bits, {}, makeDcx},
      {"tga", idTGA, ".tga", false, {24, 8}, {"rle"}, makeTga},
      {"fits", idASTROLUM, ".fits .fit .fts", false, {16}, {}, makeAstro},
      {"list", idIMGLIST, ".qil", true, bits, {"mask"}, makeList},
#if QOR_WITH_JPEG
      {"jpeg", idJPEG, ".jpg .jpeg", false, {24, 8}, {"quality"}, makeJpeg},
#endif
#if QOR_WITH_PNG
      {"png", idPNG, ".png", false, bits, {"interlace"}, makePng},
#endif
#if QOR_WITH_TIFF
      {"tiff", idTIFF, ".tif .tiff", false, bits, {}, makeTiff},
#endif
  };
}

std::string lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

bool FormatRow::scalar() const { return id() == idKAV() || id() == idKAVMEM(); }

bool FormatRow::takes(const std::string& option) const {
  return std::any_of(options.begin(), options.end(), [&](const char* o) { return option == o; });
}

std::vector<std::string> FormatRow::extensionList() const {
  std::vector<std::string> list;
  std::istringstream words(extensions);
  for (std::string e; words >> e;) list.push_back(e);
  return list;
}

const std::vector<FormatRow>& formatTable() {
  static const std::vector<FormatRow> rows = [] {
    std::vector<FormatRow> kept;
    TQORDataManager* m = getQorDataManager();
    for (const FormatRow& r : allRows()) {
      try {
        if (m->getDriverWithID(r.id())) kept.push_back(r);
      } catch (const x_qor&) {
        // not registered in this build
      }
    }
    destroyQORDataManager(m);
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
  std::string n = lower(name);
  if (!n.empty() && n[0] == '.') n.erase(0, 1);
  for (const FormatRow& r : formatTable()) {
    if (n == r.name) return &r;
    for (const std::string& e : r.extensionList())
      if (n == e.substr(1)) return &r;
  }
  return nullptr;
}

const FormatRow* formatByExtension(const std::string& path) {
  const std::string p = lower(path);
  for (const FormatRow& r : formatTable())
    for (const std::string& e : r.extensionList())
      if (p.size() > e.size() && p.compare(p.size() - e.size(), e.size(), e) == 0) return &r;
  return nullptr;
}
