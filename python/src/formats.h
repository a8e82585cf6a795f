// The formats the module names: one row per format, found by its number, its
// name or a file name's extension. Rows of formats the library was built
// without are left out.
#ifndef QORIMAGE_PY_FORMATS_H
#define QORIMAGE_PY_FORMATS_H

#include <string>
#include <vector>

#include "zqorall.h"

// What a new file of some formats takes besides its coding and size.
struct WriteOptions {
  int quality = 90;        // JPEG
  // PCX, TGA (BMP accepts only false: it writes uncompressed); PCX files are
  // run-length unless asked otherwise, as other readers expect them
  int rle = -1;
  bool interlace = false;  // PNG
  std::string name = "qorimage";  // native: the name in every image's head
  std::string mask;        // image list: member names; empty for "<stem>-??.bmp"
};

struct FormatRow {
  const char* name;
  int (*id)();
  const char* extensions;    // blank-separated, the first one for new files
  bool multiImage;           // a file holds many images
  std::vector<int> codings;  // disk codings it writes
  std::vector<const char*> options;  // the WriteOptions fields it takes
  // A descriptor of a new file of n images; the library raises what it refuses.
  TFileInfo* (*make)(const std::string& path, int coding, int sizeX, int sizeY, int n, const WriteOptions& o);

  bool scalar() const;  // codings are element codings (stXXX), not bits per pixel
  bool writes() const { return make != nullptr; }
  bool takes(const std::string& option) const;
  std::vector<std::string> extensionList() const;
};

// The rows of the formats registered in this build, in number order.
const std::vector<FormatRow>& formatTable();
const FormatRow* formatById(int id);
// By name ("png", "tiff") or extension without the dot ("jpg", "tif").
const FormatRow* formatByName(const std::string& name);
// The row whose extension path ends with (case-insensitive), or null.
const FormatRow* formatByExtension(const std::string& path);

#endif
