// One image as qorimg carries it between files: the pixel memory of one of
// the library's image types, with its palette.
#ifndef QORIMG_PICTURE_H
#define QORIMG_PICTURE_H

#include <string>
#include <vector>

#include "formats.h"

struct Picture {
  int sizeX = 0;
  int sizeY = 0;
  int type = stUChar;  // stUChar, stSChar, stSShort, stDouble, stRGB or stOneBit
  std::vector<unsigned char> bytes;  // laid out as the image class lays out its pixels
  TqorPaletteItem palette[256] = {};
  int paletteSize = 0;

  // Palette index (or value) of pixel (x, y) of an stUChar or stOneBit picture.
  int index(int x, int y) const;
  // The colour pixel (x, y) shows: through the palette for indices.
  TqorPaletteItem colour(int x, int y) const;
};

// A new picture of type, its pixel memory zeroed; row bytes as the library's.
Picture makePicture(int type, int sizeX, int sizeY);
// Bytes of one row of type in memory.
long rowBytes(int type, int sizeX);
// Image i of e read as type.
Picture readPicture(TImageEnsemble& e, int i, int type);
// Writes p as image i of e (created or opened for writing).
void writePicture(TImageEnsemble& e, int i, const Picture& p);

// True when the first n entries are grey levels i -> (v, v, v) of some v.
bool greyPalette(const TqorPaletteItem* palette, int n);
void fillGreyPalette(Picture& p);
// Colour or indices to grey levels, (77 R + 151 G + 28 B) >> 8.
Picture toGrey(const Picture& p);
// The grey levels of a native file's stUChar picture as colour.
Picture greyToColour(const Picture& p);

// What a file's images are, as convert treats them.
enum class Kind { colour, palette, grey, bilevel, scalar };
Kind kindOf(TImageEnsemble& e);
// The memory type the images of a kind of source move as.
int naturalType(TImageEnsemble& e);

#endif
