// The header applications include: the whole class interface of the library.
#ifndef ZQORALL_H
#define ZQORALL_H

#include "zqorcfg.h"
#include "zovnutil.h"
#include "zmatrix.h"
#include "ztvector.h"
#include "zstream.h"
#include "zprogres.h"
#include "zsignal1.h"
#include "zsigens2.h"
#include "zsigens1.h"
#include "zkavdrv.h"
#include "zmemdrv.h"
#include "zqorflat.h"
#include "zbitconv.h"
#include "zbmpdrv.h"
#include "zbmpos2.h"
#include "zpcxdrv.h"
#include "zdcxdrv.h"
#include "ztgadrv.h"
#include "zastro.h"
#include "ztxtdrv.h"
#if QOR_WITH_TIFF
#include "ztiffdrv.h"
#endif
#if QOR_WITH_PNG
#include "zpngdrv.h"
#endif
#if QOR_WITH_JPEG
#include "zjpgdrv.h"
#endif

#endif
