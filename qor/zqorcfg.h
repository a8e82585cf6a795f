// Build configuration: the library version and the formats compiled in.
#ifndef ZQORCFG_H
#define ZQORCFG_H

#define QOR_VERSION 3334

#if defined(_WIN32)
#define QOR_API __declspec(dllexport)
#else
#define QOR_API __attribute__((visibility("default")))
#endif

#endif
