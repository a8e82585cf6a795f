// The format registry: the fixed format numbers and the detection order of the
// drivers a fresh manager registers.
#include <iterator>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using namespace qortest;

struct Format {
  const char* label;
  int (*id)();
  int number;
};

void PrintTo(const Format& f, std::ostream* os) { *os << f.label; }

// Every format in detection order: the first driver whose test accepts a file serves it.
const Format kDetectionOrder[] = {
    {"KAV", idKAV, 3},     {"KAVMEM", idKAVMEM, 6},     {"PCX", idPCX, 7},       {"JPEG", idJPEG, 5},
    {"BMP", idBMP, 1},     {"BMPOS2", idBMPOS2, 2},     {"ASTROLUM", idASTROLUM, 0}, {"IMGLIST", idIMGLIST, 11},
    {"TIFF", idTIFF, 10},  {"DCX", idDCX, 4},           {"PNG", idPNG, 8},       {"TGA", idTGA, 9},
};

class FormatNumbers : public testing::TestWithParam<Format> {};

TEST_P(FormatNumbers, AreFixed) { EXPECT_EQ(GetParam().id(), GetParam().number); }

INSTANTIATE_TEST_SUITE_P(Registry, FormatNumbers, testing::ValuesIn(kDetectionOrder),
                         [](const testing::TestParamInfo<Format>& info) { return std::string(info.param.label); });

// The drivers not built yet are absent; the others keep their places.
TEST(Registry, DriversFollowTheDetectionOrder) {
  Manager mgr;
  const int n = mgr.m->driversNumber();
  ASSERT_GE(n, 2);
  size_t place = 0;
  for (int i = 0; i < n; ++i) {
    TFileFormatDriver* d = mgr.m->getDriver(i);
    const int id = d->getFileInfo()->formatID();
    while (place < std::size(kDetectionOrder) && kDetectionOrder[place].id() != id) ++place;
    ASSERT_LT(place, std::size(kDetectionOrder)) << "driver " << i << " of format " << id << " is out of order";
    ++place;
    EXPECT_EQ(mgr.m->getDriverWithID(id), d) << "format " << id;
  }
  EXPECT_EQ(mgr.m->getDriver(0)->getFileInfo()->formatID(), idKAV());
  EXPECT_EQ(mgr.m->getDriver(1)->getFileInfo()->formatID(), idKAVMEM());
}

}  // namespace
