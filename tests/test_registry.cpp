// The format registry: the fixed format numbers and the detection order of the
// drivers a fresh manager registers.
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using namespace qortest;

struct Format {
  const char* label;
  int (*id)();
  int (*flatId)();  // null for the astronomical format, which the flat interface has no identifier for
  int number;
  bool built;       // false when the build left the format's codec library out
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.label; }

// Every format in detection order: the first driver whose test accepts a file serves it.
const Format kDetectionOrder[] = {
    {"KAV", idKAV, qorKAV_ID, 3, true},
    {"KAVMEM", idKAVMEM, qorKAVMEM_ID, 6, true},
    {"PCX", idPCX, qorPCX_ID, 7, true},
    {"JPEG", idJPEG, qorJPEG_ID, 5, QOR_WITH_JPEG != 0},
    {"BMP", idBMP, qorBMP_ID, 1, true},
    {"BMPOS2", idBMPOS2, qorBMPOS2_ID, 2, true},
    {"ASTROLUM", idASTROLUM, nullptr, 0, true},
    {"IMGLIST", idIMGLIST, qorIMGLIST_ID, 11, true},
    {"TIFF", idTIFF, qorTIFF_ID, 10, QOR_WITH_TIFF != 0},
    {"DCX", idDCX, qorDCX_ID, 4, true},
    {"PNG", idPNG, qorPNG_ID, 8, QOR_WITH_PNG != 0},
    {"TGA", idTGA, qorTGA_ID, 9, true},
};

class FormatNumbers : public testing::TestWithParam<Format> {};

TEST_P(FormatNumbers, AreFixed) {
  EXPECT_EQ(GetParam().id(), GetParam().number);
  if (GetParam().flatId) {
    EXPECT_EQ(GetParam().flatId(), GetParam().number);
  }
}

INSTANTIATE_TEST_SUITE_P(Registry, FormatNumbers, testing::ValuesIn(kDetectionOrder),
                         [](const testing::TestParamInfo<Format>& info) { return std::string(info.param.label); });

// All twelve drivers when every codec library is built in; a format left out
// by the build is absent and the others keep their order.
TEST(Registry, DriversFollowTheDetectionOrder) {
  Manager mgr;
  std::vector<int> want, got;
  for (const Format& f : kDetectionOrder)
    if (f.built) want.push_back(f.number);
  for (int i = 0; i < mgr.m->driversNumber(); ++i) {
    TFileFormatDriver* d = mgr.m->getDriver(i);
    const int id = d->getFileInfo()->formatID();
    got.push_back(id);
    EXPECT_EQ(mgr.m->getDriverWithID(id), d) << "format " << id;
  }
  EXPECT_EQ(got, want);
  EXPECT_EQ(int(want.size()), 9 + (QOR_WITH_TIFF != 0) + (QOR_WITH_JPEG != 0) + (QOR_WITH_PNG != 0));
}

}  // namespace
