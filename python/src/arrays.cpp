#include "arrays.h"

#include <cstring>
#include <vector>

bool parseMode(const std::string& name, Mode* mode) {
  static const struct {
    const char* name;
    Mode mode;
  } names[] = {{"rgb", Mode::rgb},     {"RGB", Mode::rgb},     {"L", Mode::grey},      {"uint8", Mode::uint8},
               {"int8", Mode::int8},   {"int16", Mode::int16}, {"float64", Mode::float64}};
  for (const auto& n : names)
    if (name == n.name) {
      *mode = n.mode;
      return true;
    }
  return false;
}

Kind kindOf(TImageEnsemble& e) {
  const int id = e.formatID();
  if (id == idKAV() || id == idKAVMEM() || id == idASTROLUM()) return Kind::scalar;
  return e.coding() <= image8BitPerPix ? Kind::indices : Kind::colour;
}

namespace {

// The natural element type of a native or astronomical file.
int scalarType(TImageEnsemble& e) {
  if (e.formatID() == idASTROLUM()) return stSShort;
  switch (e.coding()) {
    case stUChar: return stUChar;
    case stSChar: return stSChar;
    case stSShort: return stSShort;
    default: return stDouble;
  }
}

// The colours of an index file: its palette, or grey levels where it has none
// (0 and 255 for one bit).
void indexColours(TImageEnsemble& e, unsigned char lut[256][3]) {
  if (e.hasPalette()) {
    const TqorPaletteItem* p = e.getPalette();
    for (int k = 0; k < 256; ++k) {
      lut[k][0] = p[k].red;
      lut[k][1] = p[k].green;
      lut[k][2] = p[k].blue;
    }
    return;
  }
  const int step = e.coding() == image1BitPerPix ? 255 : 1;
  for (int k = 0; k < 256; ++k) {
    const int v = k * step > 255 ? 255 : k * step;
    lut[k][0] = lut[k][1] = lut[k][2] = (unsigned char)v;
  }
}

}  // namespace

ReadPlan planRead(TImageEnsemble& e, Mode mode) {
  ReadPlan p;
  p.width = e.sizeX();
  p.height = e.sizeY();
  const Kind kind = kindOf(e);
  switch (mode) {
    case Mode::natural:
      p.type = kind == Kind::scalar ? scalarType(e) : kind == Kind::colour ? stRGB : stUChar;
      p.channels = p.type == stRGB ? 3 : 1;
      break;
    case Mode::rgb:
      p.channels = 3;
      if (kind == Kind::colour) {
        p.type = stRGB;
        break;
      }
      p.type = stUChar;
      p.map = ReadPlan::throughLut;
      if (kind == Kind::indices) {
        indexColours(e, p.lut);
      } else {
        for (int k = 0; k < 256; ++k) p.lut[k][0] = p.lut[k][1] = p.lut[k][2] = (unsigned char)k;
      }
      break;
    case Mode::grey:
      p.type = stUChar;
      if (kind == Kind::colour) p.map = ReadPlan::rgbToGrey;
      if (kind == Kind::indices) {
        p.map = ReadPlan::throughLut;
        indexColours(e, p.lut);
        for (auto& c : p.lut) c[0] = (unsigned char)qorGrayLevel(TqorPaletteItem{c[0], c[1], c[2]});
      }
      break;
    case Mode::uint8: p.type = stUChar; break;
    case Mode::int8: p.type = stSChar; break;
    case Mode::int16: p.type = stSShort; break;
    case Mode::float64: p.type = stDouble; break;
  }
  return p;
}

int elementBytes(int type) {
  switch (type) {
    case stSShort: return 2;
    case stDouble: return 8;
    default: return 1;
  }
}

void readPixels(TImageEnsemble& e, int i, const ReadPlan& plan, void* out) {
  const size_t n = size_t(plan.width) * size_t(plan.height);
  if (plan.map == ReadPlan::rgbToGrey) {
    std::vector<unsigned char> rgb(3 * n);
    e.readRGBImage(i, rgb.data());
    unsigned char* grey = static_cast<unsigned char*>(out);
    for (size_t k = 0; k < n; ++k)
      grey[k] = (unsigned char)((77 * rgb[3 * k] + 151 * rgb[3 * k + 1] + 28 * rgb[3 * k + 2]) >> 8);
    return;
  }
  switch (plan.type) {
    case stUChar:
      // indices to be spread over three channels go to the last third of the
      // memory; the expansion below never overtakes the index it reads
      if (plan.map == ReadPlan::throughLut && plan.channels == 3)
        e.readUCharImage(i, static_cast<unsigned char*>(out) + 2 * n);
      else
        e.readUCharImage(i, static_cast<unsigned char*>(out));
      break;
    case stSChar: e.readSCharImage(i, static_cast<signed char*>(out)); break;
    case stSShort: e.readSShortImage(i, static_cast<short*>(out)); break;
    case stDouble: e.readDoubleImage(i, static_cast<double*>(out)); break;
    case stRGB: e.readRGBImage(i, static_cast<unsigned char*>(out)); break;
    default: QOR_RAISE("Image type %d is not read into arrays.", plan.type);
  }
  if (plan.map != ReadPlan::throughLut) return;
  unsigned char* px = static_cast<unsigned char*>(out);
  if (plan.channels == 1) {
    for (size_t k = 0; k < n; ++k) px[k] = plan.lut[px[k]][0];
    return;
  }
  const unsigned char* index = px + 2 * n;
  for (size_t k = 0; k < n; ++k) {
    const unsigned char* c = plan.lut[index[k]];
    px[3 * k] = c[0];
    px[3 * k + 1] = c[1];
    px[3 * k + 2] = c[2];
  }
}

namespace {

TqorImageBase* emptyImage(TImageEnsemble& e, int i, int type, void* data) {
  switch (type) {
    case stUChar: return e.getEmptyUCharImage(i, data);
    case stSChar: return e.getEmptySCharImage(i, data);
    case stSShort: return e.getEmptySShortImage(i, data);
    case stDouble: return e.getEmptyDoubleImage(i, data);
    case stRGB: return e.getEmptyRGBImage(i, data);
    default: QOR_RAISE("Image type %d is not written from arrays.", type);
  }
}

// Grey levels of a coding: the palette a grey image is written with.
void greyPalette(int coding, TqorPaletteItem* p, int* size) {
  const int entries = coding == image1BitPerPix ? 2 : coding == image4BitPerPix ? 16 : 256;
  const int step = 255 / (entries - 1);
  for (int k = 0; k < 256; ++k) {
    const unsigned char v = (unsigned char)(k < entries ? k * step : 0);
    p[k] = TqorPaletteItem{v, v, v};
  }
  *size = entries;
}

}  // namespace

void writePixels(TImageEnsemble& e, int i, int type, void* data, const unsigned char* palette, int paletteSize) {
  TqorImageBase* image = emptyImage(e, i, type, data);
  try {
    if (type == stUChar) {
      TqorPaletteItem* p = image->getPalette();
      if (palette) {
        for (int k = 0; k < 256; ++k)
          p[k] = k < paletteSize ? TqorPaletteItem{palette[3 * k], palette[3 * k + 1], palette[3 * k + 2]}
                                 : TqorPaletteItem{0, 0, 0};
        image->setPaletteSize(paletteSize);
      } else if (kindOf(e) == Kind::indices) {
        int size = 0;
        greyPalette(e.coding(), p, &size);
        image->setPaletteSize(size);
      }
    }
    e.putImage(i);
  } catch (...) {
    e.freeImage(i);
    throw;
  }
  e.freeImage(i);
}
