// Pixel codings shared by the image classes, the converters and the drivers.
#ifndef ZCODINGS_H
#define ZCODINGS_H

// Element codings of memory images and of disk files (the stXXX family).
inline constexpr int stDouble = 6;   // 64-bit floating point
inline constexpr int stSChar = 7;    // signed 8-bit
inline constexpr int stSShort = 8;   // signed 16-bit
inline constexpr int stUChar = 9;    // unsigned 8-bit
inline constexpr int stUShort = 10;  // unsigned 16-bit
inline constexpr int stSLong = 11;   // signed 32-bit
inline constexpr int stULong = 12;   // unsigned 32-bit
inline constexpr int stRGB = 13;     // three unsigned 8-bit samples
inline constexpr int stOneBit = 14;  // one bit per pixel, packed
inline constexpr int stBitmap = 17;  // device-independent bitmap
inline constexpr int stCodingCount = 10;

// Disk codings of palette and true-colour bitmap formats (bits per pixel).
inline constexpr int image1BitPerPix = 1;
inline constexpr int image4BitPerPix = 4;
inline constexpr int image8BitPerPix = 8;
inline constexpr int image15BitPerPix = 15;
inline constexpr int image16BitPerPix = 16;
inline constexpr int image24BitPerPix = 24;
inline constexpr int image32BitPerPix = 32;
inline constexpr int bitsCodingCount = 7;

#endif
