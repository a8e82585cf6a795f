// Pixels between image ensembles and array memory: which library image type
// a requested layout reads, the mapping that follows (palettes applied by the
// module), and writes from array memory with a palette.
#ifndef QORIMAGE_PY_ARRAYS_H
#define QORIMAGE_PY_ARRAYS_H

#include <string>

#include "zqorall.h"

// The layouts imread and Ensemble.read give.
enum class Mode { natural, rgb, grey, uint8, int8, int16, float64 };

// Mode from its name: "rgb", "L", "uint8", "int8", "int16", "float64"; false when unknown.
bool parseMode(const std::string& name, Mode* mode);

// The file coding of an open ensemble: what its images are.
enum class Kind { indices, colour, scalar };
Kind kindOf(TImageEnsemble& e);

struct ReadPlan {
  int type = stUChar;  // the library image type read into the array's memory
  int channels = 1;    // 3 for (H, W, 3) arrays
  // throughLut: indices through lut; rgbToGrey: an RGB image read aside and
  // reduced to grey levels, (77 R + 151 G + 28 B) >> 8, as the library's
  // colour-to-grey converters do (which not every colour depth has)
  enum Map { none, throughLut, rgbToGrey } map = none;
  unsigned char lut[256][3] = {};  // index to RGB, or to grey in lut[v][0], for throughLut
  int width = 0;
  int height = 0;
};

// How image pixels of e reach an array of the mode.
ReadPlan planRead(TImageEnsemble& e, Mode mode);
// Reads image i into out, laid out by the plan (height x width x channels elements of the plan's type).
void readPixels(TImageEnsemble& e, int i, const ReadPlan& plan, void* out);
// Bytes of one element of an image type's memory (1 for stRGB: a sample).
int elementBytes(int type);

// Writes image i from memory of an image type; palette (entries red, green,
// blue) goes with index images, and a null palette stands for the grey levels
// of the coding (0/255 for one bit, k x 17 for four).
void writePixels(TImageEnsemble& e, int i, int type, void* data, const unsigned char* palette, int paletteSize);

#endif
