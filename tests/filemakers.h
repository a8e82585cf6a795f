// Files of the drivers' formats composed field by field, for the tests of one
// driver and for the rows of the all-drivers tables: Windows and OS/2
// bitmaps, Targa files, one-strip TIFF files and PNG files.
#ifndef QOR_TESTS_FILEMAKERS_H
#define QOR_TESTS_FILEMAKERS_H

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "testutil.h"
#include "zqorcfg.h"

#if QOR_WITH_PNG
#include <zlib.h>
#endif

namespace qortest::make {

// ---------------------------------------------------------------- bitmaps

inline Bytes greyQuads(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
  return b;
}

// Little-endian words of 2 or 4 bytes.
inline Bytes words(int bytes, const std::vector<uint32_t>& values) {
  Bytes b;
  for (uint32_t v : values) appendLE(b, v, bytes);
  return b;
}
inline Bytes masks(uint32_t red, uint32_t green, uint32_t blue) { return words(4, {red, green, blue}); }

// A Windows bitmap: headers, then table (palette or masks), then the pixel
// data at offBits (right after the table when offBits is 0).
struct WinFile {
  int bits;
  int32_t width;
  int32_t height;
  uint32_t compression;
  Bytes table;
  Bytes pixels;
  uint32_t clrUsed = 0;
  uint32_t offBits = 0;
  uint32_t infoSize = 40;

  Bytes bytes() const {
    Bytes b(14 + std::max<uint32_t>(infoSize, 40), 0);
    b[0] = 'B';
    b[1] = 'M';
    const uint32_t start = offBits ? offBits : uint32_t(b.size() + table.size());
    put32(b, 10, start);
    put32(b, 14, infoSize);
    put32(b, 18, uint32_t(width));
    put32(b, 22, uint32_t(height));
    put16(b, 26, 1);
    put16(b, 28, unsigned(bits));
    put32(b, 30, compression);
    put32(b, 46, clrUsed);
    b = b + table;
    if (b.size() < start && !pixels.empty()) b.resize(start, 0);
    if (b.size() == start) b = b + pixels;
    put32(b, 2, uint32_t(b.size()));
    return b;
  }
};

// A bitmap of a longer info header: the masks red, green, blue and (from 56
// bytes on) alpha written into it.
inline Bytes inHeader(const WinFile& f, const std::vector<uint32_t>& m) {
  Bytes b = f.bytes();
  for (size_t i = 0; i < m.size(); ++i) put32(b, 54 + 4 * i, m[i]);
  return b;
}

// An OS/2 bitmap: headers, three-byte palette entries, pixel rows.
inline Bytes os2File(int bits, int width, int height, const Bytes& palette, const Bytes& pixels) {
  Bytes b(26, 0);
  b[0] = 'B';
  b[1] = 'M';
  put32(b, 10, uint32_t(26 + palette.size()));
  put32(b, 14, 12);
  put16(b, 18, unsigned(width) & 0xFFFF);
  put16(b, 20, unsigned(height) & 0xFFFF);
  put16(b, 22, 1);
  put16(b, 24, unsigned(bits));
  b = b + palette + pixels;
  put32(b, 2, uint32_t(b.size()));
  return b;
}

// ---------------------------------------------------------------- Targa

struct Tga {
  Tga(int type, int width, int height, int depth, int descriptor, Bytes data = {})
      : type(type), width(width), height(height), depth(depth), descriptor(descriptor), data(std::move(data)) {}
  int type;
  int width, height, depth;
  int descriptor;
  Bytes data;
  int mapType = 0, mapFirst = 0, mapLength = 0, mapEntry = 0;
  Bytes map;
  Bytes id;

  Bytes bytes() const {
    Bytes b = {uint8_t(id.size()), uint8_t(mapType), uint8_t(type)};
    appendLE(b, uint32_t(mapFirst), 2);
    appendLE(b, uint32_t(mapLength), 2);
    b.push_back(uint8_t(mapEntry));
    appendLE(b, 0, 4);  // origin
    appendLE(b, uint32_t(width), 2);
    appendLE(b, uint32_t(height), 2);
    b.insert(b.end(), {uint8_t(depth), uint8_t(descriptor)});
    return b + id + map + data;
  }
};

// A colour map of n 24-bit entries, entry i being (i, 2i, 3i) in red, green, blue.
inline Bytes map24(int n) {
  Bytes b;
  for (int i = 0; i < n; ++i) b = b + Bytes{uint8_t(3 * i), uint8_t(2 * i), uint8_t(i)};
  return b;
}

// A colour-mapped file of one top-down row, data; its map holds entries of
// entryBits bits from index first.
inline Tga mapped(int entryBits, const Bytes& map, int entries, const Bytes& data, int first = 0) {
  Tga t{1, int(data.size()), 1, 8, 0x20, data};
  t.mapType = 1;
  t.mapFirst = first;
  t.mapEntry = entryBits;
  t.mapLength = entries;
  t.map = map;
  return t;
}

// ---------------------------------------------------------------- TIFF

struct Tag {
  uint16_t tag;
  std::vector<uint32_t> values;  // SHORT values unless long
  bool isLong = false;
};

// A little-endian file of one strip: header, pixels, then the directory and
// the values that do not fit in an entry. Strip offset and byte count are
// added unless tags give them.
inline Bytes tiff(std::vector<Tag> tags, const Bytes& pixels) {
  Bytes b = {'I', 'I', 42, 0};
  appendLE(b, 0, 4);
  b.insert(b.end(), pixels.begin(), pixels.end());
  if (b.size() & 1) b.push_back(0);
  auto has = [&](uint16_t t) {
    return std::any_of(tags.begin(), tags.end(), [&](const Tag& g) { return g.tag == t; });
  };
  if (!has(273)) tags.push_back({273, {8}, true});
  if (!has(279)) tags.push_back({279, {uint32_t(pixels.size())}, true});
  std::sort(tags.begin(), tags.end(), [](const Tag& a, const Tag& c) { return a.tag < c.tag; });
  const uint32_t ifd = uint32_t(b.size());
  b[4] = uint8_t(ifd), b[5] = uint8_t(ifd >> 8);
  uint32_t extra = ifd + 2 + 12 * uint32_t(tags.size()) + 4;
  Bytes tail;
  appendLE(b, uint32_t(tags.size()), 2);
  for (const Tag& g : tags) {
    const int size = g.isLong ? 4 : 2;
    appendLE(b, g.tag, 2);
    appendLE(b, g.isLong ? 4 : 3, 2);
    appendLE(b, uint32_t(g.values.size()), 4);
    Bytes data;
    for (uint32_t v : g.values) appendLE(data, v, size);
    if (data.size() <= 4) {
      data.resize(4, 0);
      b.insert(b.end(), data.begin(), data.end());
    } else {
      appendLE(b, extra + uint32_t(tail.size()), 4);
      tail.insert(tail.end(), data.begin(), data.end());
    }
  }
  appendLE(b, 0, 4);
  b.insert(b.end(), tail.begin(), tail.end());
  return b;
}

// A w x h grey file of bits per sample, photometric as given.
inline Bytes grey(int w, int h, int bits, int photometric, const Bytes& px, std::vector<Tag> more = {}) {
  more.push_back({256, {uint32_t(w)}});
  more.push_back({257, {uint32_t(h)}});
  if (std::none_of(more.begin(), more.end(), [](const Tag& t) { return t.tag == 258; }))
    more.push_back({258, {uint32_t(bits)}});
  more.push_back({262, {uint32_t(photometric)}});
  return tiff(more, px);
}

// A one-strip file of samples per pixel, bits each, planar configuration and photometric as given.
inline Bytes pixels(int w, int bits, int samples, int photometric, const Bytes& px, std::vector<Tag> more = {}) {
  more.push_back({258, std::vector<uint32_t>(size_t(samples), uint32_t(bits))});
  more.push_back({277, {uint32_t(samples)}});
  return grey(w, 1, bits, photometric, px, more);
}

// ---------------------------------------------------------------- PNG

#if QOR_WITH_PNG
inline void put32BE(Bytes& b, uint32_t v) {
  for (int k = 3; k >= 0; --k) b.push_back(uint8_t(v >> (8 * k)));
}

// A chunk: length, type, data and the checksum of type and data.
inline void chunk(Bytes& out, const char* type, const Bytes& data) {
  put32BE(out, uint32_t(data.size()));
  Bytes body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  out.insert(out.end(), body.begin(), body.end());
  put32BE(out, uint32_t(crc32(0, body.data(), uInt(body.size()))));
}

// A PNG file composed chunk by chunk; rows are given packed and unfiltered
// and are stored behind filter byte 0 in one IDAT chunk.
struct Png {
  explicit Png(int w = 1, int h = 1, int d = 8, int type = 0, Bytes r = {}, Bytes p = {}, Bytes t = {})
      : width(w), height(h), depth(d), colourType(type), rows(std::move(r)), plte(std::move(p)), trns(std::move(t)) {}
  int width, height, depth, colourType;
  Bytes rows;
  Bytes plte, trns;

  size_t rowBytes() const {
    const int channels[] = {1, 0, 3, 1, 2, 0, 4};
    return (size_t(width) * size_t(depth) * size_t(channels[colourType]) + 7) / 8;
  }
  Bytes idat() const {
    Bytes raw;
    const size_t n = rowBytes();
    for (int y = 0; y < height; ++y) {
      raw.push_back(0);
      for (size_t k = 0; k < n; ++k) {
        const size_t at = size_t(y) * n + k;
        raw.push_back(at < rows.size() ? rows[at] : 0);
      }
    }
    uLongf size = compressBound(uLong(raw.size()));
    Bytes packed(size);
    compress2(packed.data(), &size, raw.data(), uLong(raw.size()), 6);
    packed.resize(size);
    return packed;
  }
  Bytes bytes() const { return compose(idat()); }
  Bytes compose(const Bytes& data) const {
    Bytes out = {137, 80, 78, 71, 13, 10, 26, 10};
    Bytes ihdr;
    put32BE(ihdr, uint32_t(width));
    put32BE(ihdr, uint32_t(height));
    ihdr.insert(ihdr.end(), {uint8_t(depth), uint8_t(colourType), 0, 0, 0});
    chunk(out, "IHDR", ihdr);
    if (!plte.empty()) chunk(out, "PLTE", plte);
    if (!trns.empty()) chunk(out, "tRNS", trns);
    chunk(out, "IDAT", data);
    chunk(out, "IEND", {});
    return out;
  }
};
#endif

}  // namespace qortest::make

#endif
