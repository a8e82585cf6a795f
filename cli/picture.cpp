#include "picture.h"

#include <algorithm>
#include <cstring>

long rowBytes(int type, int sizeX) {
  const long w = sizeX;
  switch (type) {
    case stDouble: return 8 * w;
    case stSShort: return 2 * w;
    case stRGB: return 3 * w;
    case stOneBit: return (w + 31) / 32 * 4;
    default: return w;
  }
}

Picture makePicture(int type, int sizeX, int sizeY) {
  Picture p;
  p.type = type;
  p.sizeX = sizeX;
  p.sizeY = sizeY;
  p.bytes.assign(size_t(rowBytes(type, sizeX)) * size_t(sizeY), 0);
  return p;
}

int Picture::index(int x, int y) const {
  const unsigned char* row = bytes.data() + size_t(rowBytes(type, sizeX)) * size_t(y);
  if (type == stOneBit) return (row[x / 8] >> (7 - x % 8)) & 1;
  return row[x];
}

TqorPaletteItem Picture::colour(int x, int y) const {
  if (type == stRGB) {
    const unsigned char* p = bytes.data() + (size_t(y) * size_t(sizeX) + size_t(x)) * 3;
    return TqorPaletteItem{p[0], p[1], p[2]};
  }
  return palette[index(x, y)];
}

namespace {

TqorImageBase* getImage(TImageEnsemble& e, int i, int type, bool empty) {
  switch (type) {
    case stUChar: return empty ? e.getEmptyUCharImage(i) : e.getUCharImage(i);
    case stSChar: return empty ? e.getEmptySCharImage(i) : e.getSCharImage(i);
    case stSShort: return empty ? e.getEmptySShortImage(i) : e.getSShortImage(i);
    case stDouble: return empty ? e.getEmptyDoubleImage(i) : e.getDoubleImage(i);
    case stRGB: return empty ? e.getEmptyRGBImage(i) : e.getRGBImage(i);
    case stOneBit: return empty ? e.getEmptyOneBitImage(i) : e.getOneBitImage(i);
    default: return empty ? e.getEmptyWinDibImage(i) : e.getWinDibImage(i);
  }
}

}  // namespace

Picture readPicture(TImageEnsemble& e, int i, int type) {
  TqorImageBase* image = getImage(e, i, type, false);
  Picture p = makePicture(type, e.sizeX(), e.sizeY());
  if (!p.bytes.empty()) std::memcpy(p.bytes.data(), image->ptr(), p.bytes.size());
  std::memcpy(p.palette, image->getPalette(), sizeof p.palette);
  p.paletteSize = image->paletteSize();
  e.freeImage(i);
  return p;
}

void writePicture(TImageEnsemble& e, int i, const Picture& p) {
  TqorImageBase* image = getImage(e, i, p.type, true);
  if (!p.bytes.empty()) std::memcpy(image->ptr(), p.bytes.data(), p.bytes.size());
  std::memcpy(image->getPalette(), p.palette, sizeof p.palette);
  image->setPaletteSize(p.paletteSize);
  try {
    e.putImage(i);
  } catch (...) {
    e.freeImage(i);
    throw;
  }
  e.freeImage(i);
}

bool greyPalette(const TqorPaletteItem* palette, int n) {
  for (int k = 0; k < n; ++k)
    if (palette[k].red != palette[k].green || palette[k].green != palette[k].blue) return false;
  return true;
}

void fillGreyPalette(Picture& p) {
  for (int k = 0; k < 256; ++k) p.palette[k] = TqorPaletteItem{(unsigned char)(k), (unsigned char)(k), (unsigned char)(k)};
  p.paletteSize = 256;
}

Picture toGrey(const Picture& p) {
  Picture g = makePicture(stUChar, p.sizeX, p.sizeY);
  fillGreyPalette(g);
  for (int y = 0; y < p.sizeY; ++y)
    for (int x = 0; x < p.sizeX; ++x) g.bytes[size_t(y) * size_t(p.sizeX) + size_t(x)] = (unsigned char)(qorGrayLevel(p.colour(x, y)));
  return g;
}

Picture greyToColour(const Picture& p) {
  Picture c = makePicture(stRGB, p.sizeX, p.sizeY);
  for (size_t k = 0; k < p.bytes.size(); ++k) std::memset(&c.bytes[3 * k], p.bytes[k], 3);
  return c;
}

Kind kindOf(TImageEnsemble& e) {
  const FormatRow* row = formatById(e.formatID());
  const int c = e.coding();
  if (row && row->scalar()) return c == stUChar ? Kind::grey : Kind::scalar;
  switch (c) {
    case 1: return Kind::bilevel;
    case 4:
    case 8: return greyPalette(e.getPalette(), e.paletteSize() > 0 ? std::min(e.paletteSize(), 256) : 256)
                       ? Kind::grey
                       : Kind::palette;
    case 15:
    case 24:
    case 32: return Kind::colour;
    default: return e.formatID() == idASTROLUM() ? Kind::scalar : Kind::colour;
  }
}

int naturalType(TImageEnsemble& e) {
  switch (kindOf(e)) {
    case Kind::colour: return stRGB;
    case Kind::bilevel: return stOneBit;
    case Kind::scalar: {
      const int c = e.coding();
      if (c == stSChar || c == stSShort) return c;
      return e.formatID() == idASTROLUM() ? stSShort : stDouble;
    }
    default: return stUChar;
  }
}
