// What the fuzz targets share: one manager and a read of an image in every type.
#ifndef FUZZ_COMMON_H
#define FUZZ_COMMON_H

#include "zqorall.h"

namespace fuzzcommon {

// The ensembles keep the address of this variable.
inline TQORDataManager* manager = getQorDataManager();

// Reads image i in every image type; each type is tried on its own, since a
// coding without a converter raises.
inline void readAllTypes(TImageEnsemble& e, int i) {
  try { e.getUCharImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getSCharImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getSShortImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getDoubleImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getRGBImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getOneBitImage(i); e.freeImage(i); } catch (const x_qor&) {}
  try { e.getWinDibImage(i); e.freeImage(i); } catch (const x_qor&) {}
}

}  // namespace fuzzcommon

#endif
