// The data manager: growth of the handle and cell tables, the driver registry
// and its errors, format numbers, native descriptors and their ownership.

#include <memory>

#include "testutil.h"

namespace {

using namespace qortest;

// ---------------------------------------------------------------- tables

TEST(ManagerTables, HandleTableGrowsByTwentyAtThe21stName) {
  Manager mgr;
  EXPECT_EQ(mgr.m->maxHandles(), 20);
  mgr.m->setCachingStrategy("name0", qorKeepInMemory);
  std::vector<std::unique_ptr<TImageEnsemble>> open;
  for (int k = 0; k < 21; ++k) {
    open.push_back(std::make_unique<TImageEnsemble>(mgr.m));
    open.back()->open(("name" + std::to_string(k)).c_str(), fiKavMemEnsInfo(1, 1, 1));
    EXPECT_EQ(mgr.m->maxHandles(), k < 20 ? 20 : 40) << "after " << k + 1 << " names";
  }
  TDoubleImage* first = open[0]->getDoubleImage(0);
  open.clear();
  TImageEnsemble again("name0", fiKavMemEnsInfo(1, 1, 1), mgr.m);
  EXPECT_EQ(again.getDoubleImage(0), first) << "the first name kept its handle";
  mgr.m->setCachingStrategy("name0", 0);
}

TEST(ManagerTables, ClearedStrategiesReleaseTheirHandles) {
  Manager mgr;
  for (int round = 0; round < 3; ++round) {
    for (int k = 0; k < 20; ++k) mgr.m->setCachingStrategy(("r" + std::to_string(round) + "n" + std::to_string(k)).c_str(), 1);
    for (int k = 0; k < 20; ++k) mgr.m->setCachingStrategy(("r" + std::to_string(round) + "n" + std::to_string(k)).c_str(), 0);
  }
  EXPECT_EQ(mgr.m->maxHandles(), 20);
}

TEST(ManagerTables, CellTableGrowsByHundredAtThe51stImage) {
  Manager mgr;
  TImageEnsemble e("cells", fiKavMemEnsInfo(1, 1, 60), mgr.m);
  std::vector<TDoubleImage*> held;
  for (int i = 0; i < 51; ++i) {
    held.push_back(e.getDoubleImage(i));
    held.back()->elements()[0] = i;
    EXPECT_EQ(mgr.m->maxImages(), i < 50 ? 50 : 150) << "after " << i + 1 << " images";
  }
  for (int i = 0; i < 51; ++i) {
    EXPECT_EQ(e.getDoubleImage(i), held[size_t(i)]);
    EXPECT_EQ(held[size_t(i)]->elements()[0], i);
  }
}

TEST(ManagerTables, RejectAllImagesEmptiesEveryCell) {
  Manager mgr;
  TImageEnsemble a("a", fiKavMemEnsInfo(2, 2, 2), mgr.m), b("b", fiKavMemEnsInfo(2, 2, 2), mgr.m);
  mgr.m->setCachingStrategy("b", qorKeepInMemory);
  a.getDoubleImage(0);
  b.getUCharImage(1);
  mgr.m->rejectAllImagesFromMemory();
  EXPECT_EQ(a.imageIsLoaded(0), 0);
  EXPECT_EQ(b.imageIsLoaded(1), 0);
  EXPECT_EQ(mgr.m->cachingStrategy("b"), qorKeepInMemory) << "handles are left alone";
  mgr.m->setCachingStrategy("b", 0);
}

// ---------------------------------------------------------------- driver registry

// -2 stands for the first number past the registry.
class DriverNumber : public testing::TestWithParam<int> {};

TEST_P(DriverNumber, NumbersOutsideTheRegistryAreRefused) {
  Manager mgr;
  const int n = GetParam() == -2 ? mgr.m->driversNumber() : GetParam();
  EXPECT_TRUE(
      raises([&] { mgr.m->getDriver(n); }, 3, "No format driver with number " + std::to_string(n) + ".", "zsigens2"));
}

INSTANTIATE_TEST_SUITE_P(Manager, DriverNumber, testing::Values(-1, -2, 99), [](const testing::TestParamInfo<int>& info) {
  return info.param == -1 ? std::string("Minus1") : info.param == -2 ? "DriversNumber" : "Number" + std::to_string(info.param);
});

class DriverID : public testing::TestWithParam<int> {};

TEST_P(DriverID, IdentifiersWithoutADriverAreRefused) {
  Manager mgr;
  const int id = GetParam();
  EXPECT_TRUE(raises([&] { mgr.m->getDriverWithID(id); }, 3,
                     "No format driver with requested ID = " + std::to_string(id) + " was registered.", "zsigens2"));
}

INSTANTIATE_TEST_SUITE_P(Manager, DriverID, testing::Values(-1, 12, 99),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param < 0 ? std::string("Minus1") : "ID" + std::to_string(info.param);
                         });

TEST(ManagerDrivers, ManagerWithoutDriversSaysSo) {
  TempDir dir;
  const std::string path = dir.file("x.kav");
  {
    Manager mgr;
    makeNative(mgr.m, path, stUChar, 2, 2, 1);
  }
  TQORDataManager* bare = new TQORDataManager;
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->driversNumber(), 1);
  EXPECT_EQ(bare->maxHandles(), 20);
  EXPECT_EQ(bare->maxImages(), 50);
  const std::string none = "No format drivers registered, library was linked incorrectly.";
  EXPECT_TRUE(raises([&] { bare->getDriver(0); }, 3, none, "zsigens2"));
  EXPECT_TRUE(raises([&] { bare->getDriver(1); }, 3, "No format driver with number 1.", "zsigens2"));
  EXPECT_TRUE(raises([&] { bare->getDriverWithID(idKAV()); }, 3,
                     "No format driver with requested ID = 3 was registered.", "zsigens2"));
  {
    TImageEnsemble e(bare);
    EXPECT_TRUE(raises([&] { e.open(path.c_str()); }, 3, none, "zsigens2"));
    EXPECT_FALSE(e.is_open());
  }
  destroyQORDataManager(bare);
}

TEST(ManagerDrivers, FormatIdentifiersCountUpByOne) {
  const int first = qorGetNextFormatID();
  EXPECT_GE(first, 0);
  EXPECT_EQ(qorGetNextFormatID(), first + 1);
  EXPECT_EQ(qorGetNextFormatID(), first + 2);
}

// ---------------------------------------------------------------- descriptors

TEST(ManagerDescriptors, FactoryDescriptorsBelongToTheEnsemble) {
  TempDir dir;
  Manager mgr;
  TFileInfo* made = fiKavFileInfo(stSShort, 7, 3, 4, "own");
  EXPECT_EQ(made->getf(), TFileInfo::ownedByEnsemble);
  EXPECT_EQ(made->formatID(), idKAV());
  EXPECT_EQ(made->signalsNumber(), 4);
  TImageEnsemble e(dir.file("own.kav").c_str(), made, mgr.m);  // deletes `made`; a leak shows under ASan
  EXPECT_EQ(e.numberOfImages(), 4);
  EXPECT_EQ(e.getFileInfo()->getf() & TFileInfo::ownedByEnsemble, 0) << "the driver's copy is not the caller's";
  TKavFileInfo mine(stUChar, 2, 2, 1, "mine");
  EXPECT_EQ(mine.getf(), 0);
  e.open(dir.file("mine.kav").c_str(), &mine);
  EXPECT_EQ(mine.coding(), stUChar) << "a caller's descriptor survives the open";
  TFileInfo* refused = fiKavFileInfo(5, 2, 2, 1, "");
  EXPECT_TRUE(raises([&] { e.open(dir.file("no.kav").c_str(), refused); }, 3,
                     "Cannot create a native file: coding 5 is not one of 6..13.", "zkavdrv"));
  TFileInfo* memory = fiKavMemEnsInfo(3, 2, 5);
  EXPECT_EQ(memory->getf(), TFileInfo::ownedByEnsemble);
  e.open("memory", memory);
  EXPECT_EQ(e.numberOfImages(), 5);
}

struct Bits { int coding, bits; };

void PrintTo(const Bits& p, std::ostream* os) { *os << stCodingName(p.coding) << " " << p.bits; }

class BitsPerPixel : public testing::TestWithParam<Bits> {};

TEST_P(BitsPerPixel, FollowsTheCoding) {
  TKavFileInfo info(GetParam().coding, 4, 4, 1, "");
  EXPECT_EQ(info.bitsPerPixel(), GetParam().bits);
}

INSTANTIATE_TEST_SUITE_P(Manager, BitsPerPixel,
                         testing::Values(Bits{stDouble, 64}, Bits{stSChar, 8}, Bits{stSShort, 16}, Bits{stUChar, 8},
                                         Bits{stUShort, 16}, Bits{stSLong, 32}, Bits{stULong, 32}, Bits{stRGB, 24}),
                         [](const testing::TestParamInfo<Bits>& info) {
                           return std::string(stCodingName(info.param.coding));
                         });

TEST(ManagerDescriptors, InMemoryDescriptorIsDoubleWhateverItCopies) {
  TKavFileInfo bytes(stUChar, 9, 4, 3, "src");
  TKavMemEnsInfo copy(&bytes);
  EXPECT_EQ(copy.formatID(), idKAVMEM());
  EXPECT_EQ(copy.coding(), stDouble);
  EXPECT_EQ(copy.bitsPerPixel(), 64);
  EXPECT_EQ(copy.sizeX(), 9);
  EXPECT_EQ(copy.sizeY(), 4);
  EXPECT_EQ(copy.numberOfImages(), 3);
  EXPECT_EQ(copy.head.name[0], '\0');
}

}  // namespace
