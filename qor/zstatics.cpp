// The registry of format drivers, the format numbers, the manager factory and
// the process-wide default manager.
#include <mutex>

#include "zastro.h"
#include "zbmpdrv.h"
#include "zbmpos2.h"
#include "zdcxdrv.h"
#include "zkavdrv.h"
#include "zmemdrv.h"
#include "zpcxdrv.h"
#include "zovnutil.h"
#include "zqorcfg.h"
#include "zsigens2.h"
#include "ztgadrv.h"
#include "ztxtdrv.h"
// The codec drivers, each under its build switch (see zqorcfg.h).
#if QOR_WITH_TIFF
#include "ztiffdrv.h"
#endif
#if QOR_WITH_JPEG
#include "zjpgdrv.h"
#endif
#if QOR_WITH_PNG
#include "zpngdrv.h"
#endif

// ---------------------------------------------------------------- format numbers

// Numbers are fixed for the build: stored files, the flat interface and
// registry lookups exchange them.
namespace formatNumber {
inline constexpr int astroLum = 0;
inline constexpr int bmp = 1;
inline constexpr int bmpOS2 = 2;
inline constexpr int kav = 3;
inline constexpr int dcx = 4;
inline constexpr int jpeg = 5;
inline constexpr int kavMem = 6;
inline constexpr int pcx = 7;
inline constexpr int png = 8;
inline constexpr int tga = 9;
inline constexpr int tiff = 10;
inline constexpr int imgList = 11;
}  // namespace formatNumber

int idASTROLUM() { return formatNumber::astroLum; }
int idBMP() { return formatNumber::bmp; }
int idBMPOS2() { return formatNumber::bmpOS2; }
int idKAV() { return formatNumber::kav; }
int idDCX() { return formatNumber::dcx; }
int idJPEG() { return formatNumber::jpeg; }
int idKAVMEM() { return formatNumber::kavMem; }
int idPCX() { return formatNumber::pcx; }
int idPNG() { return formatNumber::png; }
int idTGA() { return formatNumber::tga; }
int idTIFF() { return formatNumber::tiff; }
int idIMGLIST() { return formatNumber::imgList; }

int _qorVersion() { return QOR_VERSION; }

// ---------------------------------------------------------------- registry

namespace {

// Registry version compiled into this unit; the factory refuses a library of another.
constexpr int registryVersion = 3334;

template <class Driver>
void registerDriver(TQORDataManager* m) {
  TFileFormatDriver* d = new Driver;
  if (!d) QOR_RAISE_MEMORY();
  m->addFormatDriver(d);
}

}  // namespace

TQORDataManager* getQorDataManager() {
  if (_qorVersion() != registryVersion)
    QOR_RAISE("Your files zqorcfg, zqorall and statics  are of different version than QOR library file "
              "qor.lib(qor.a).");
  TQORDataManager* m = allocateQORDataManager();
  if (!m) QOR_RAISE_MEMORY();
  try {
    // The order is the order of format detection: the first driver whose test
    // accepts a file serves it.
    registerDriver<TKavFormatDriver>(m);        // 0: native multi-image files
    registerDriver<TKavMemEnsFormatDriver>(m);  // 1: in-memory ensembles (never detected)
    registerDriver<TPcxFormatDriver>(m);        // 2: PCX (first byte 10, a window)
#if QOR_WITH_JPEG
    registerDriver<TJpegFormatDriver>(m);       // 3: JPEG (start-of-image marker FF D8 FF)
#endif
    registerDriver<TBmpFormatDriver>(m);        // 4: Windows bitmaps (40-byte info header)
    registerDriver<TBmpOS2FormatDriver>(m);     // 5: OS/2 bitmaps (12-byte core header)
    registerDriver<TAstroLUMFormatDriver>(m);   // 6: astronomical cards ("SIMPLE" in the first 560 bytes)
    registerDriver<TImgListFormatDriver>(m);    // 7: image lists (signature line)
    // Drivers of codec libraries are registered only when their switch is on;
    // switched off, their files are reported as of unknown type.
#if QOR_WITH_TIFF
    registerDriver<TTiffFormatDriver>(m);       // 8: TIFF (byte order "II" or "MM")
#endif
    registerDriver<TDcxFormatDriver>(m);        // 9: DCX (magic word, pages through nested ensembles)
#if QOR_WITH_PNG
    registerDriver<TPngFormatDriver>(m);        // 10: PNG (eight-byte signature)
#endif
    registerDriver<TTgaFormatDriver>(m);        // 11: Targa (no magic number: asked last)
  } catch (...) {
    destroyQORDataManager(m);
    throw;
  }
  return m;
}

// ---------------------------------------------------------------- default manager

namespace {

// Constant-initialised: null before any dynamic initialiser of any unit runs,
// so a static initialiser elsewhere may create the default manager before
// initQOR is constructed, and initQOR leaves it in place.
TQORDataManager* defaultManager = nullptr;

// Destroys the default manager when the library is unloaded.
struct TInitQOR {
  TInitQOR() = default;
  ~TInitQOR() {
    destroyQORDataManager(defaultManager);
    defaultManager = nullptr;
  }
  TInitQOR(const TInitQOR&) = delete;
  TInitQOR& operator=(const TInitQOR&) = delete;
};

TInitQOR initQOR;

}  // namespace

// Threads that ask for the default manager at once make it once. Constant-
// initialised like the pointer, so it works before any dynamic initialiser.
namespace {
std::mutex defaultManagerLock;
}  // namespace

TQORDataManager*& getDefaultQorDataManager() {
  std::lock_guard<std::mutex> lock(defaultManagerLock);
  if (!defaultManager) defaultManager = getQorDataManager();
  return defaultManager;
}
