// The formats qorimg knows: one row per format, found by its number, its name
// or a file name's extension. Rows of formats the library was built without
// are left out.
#ifndef QORIMG_FORMATS_H
#define QORIMG_FORMATS_H

#include <string>
#include <vector>

#include "zqorall.h"

// What a new file of some formats needs besides its coding and size.
struct WriteOptions {
  // Run-length encoding as the format usually has it (PCX and DCX encoded,
  // TGA raw), or as asked.
  enum class RunLength { usual, encoded, raw };
  int quality = 90;  // JPEG
  int level = 6;     // PNG compression, 1 fastest to 12 smallest
  RunLength runLength = RunLength::usual;
  bool encoded(bool usual) const { return runLength == RunLength::usual ? usual : runLength == RunLength::encoded; }
};

struct FormatRow {
  const char* name;        // for --to and the info line
  int (*id)();             // the library's format number
  const char* extensions;  // blank-separated, the first one for new files
  bool multiImage;         // one file holds many images
  bool palettes;           // its 1-, 4- and 8-bit files carry a palette (else 8 bits are grey levels)
  std::vector<int> codings;  // disk codings it writes, the first the default
  // A descriptor of a new file of n images (the library raises what it refuses).
  TFileInfo* (*make)(const char* path, int coding, int sizeX, int sizeY, int n, const WriteOptions& options);
  bool scalar() const;     // codings are element codings (stXXX), not bits per pixel
  bool writes(int coding) const;
  std::string firstExtension() const;
};

// The rows of the formats registered in this build's managers, in number order.
const std::vector<FormatRow>& formatTable();
const FormatRow* formatById(int id);
const FormatRow* formatByName(const std::string& name);
// The row whose extension path ends with (case-insensitive), or null.
const FormatRow* formatByExtension(const std::string& path);
// The names of every row, for usage texts.
std::string formatNames();
// A coding's name ("stUChar", "image24BitPerPix"), or its number.
std::string codingName(int coding, bool scalar);

#endif
