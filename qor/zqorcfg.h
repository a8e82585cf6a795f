// Build configuration: the library version and the formats compiled in.
#ifndef ZQORCFG_H
#define ZQORCFG_H

#define QOR_VERSION 3334

// Formats that need a codec library are switched by the build (CMake options
// QOR_WITH_TIFF, QOR_WITH_JPEG and QOR_WITH_PNG, passed to the library's units
// as 0 or 1). A switch that is 0 leaves the driver out of the registry and the
// codec library out of the link: files of that format are then of unknown type.
// Units compiled without the definitions see every format as built in.
#ifndef QOR_WITH_TIFF
#define QOR_WITH_TIFF 1
#endif
#ifndef QOR_WITH_JPEG
#define QOR_WITH_JPEG 1
#endif
#ifndef QOR_WITH_PNG
#define QOR_WITH_PNG 1
#endif

#if defined(_WIN32)
#define QOR_API __declspec(dllexport)
#else
#define QOR_API __attribute__((visibility("default")))
#endif

#endif
