// Limits of what the library takes on: the image-size limit of the manager,
// files of 2 GiB or more, zero-filled pixel memory, and a default manager
// created by another unit's static initialiser.
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "testutil.h"

namespace {

using qortest::raises;

// Made before the library's own static objects are constructed (this unit
// comes first in the link): the default manager must survive them.
TQORDataManager* const earlyDefaultManager = getDefaultQorDataManager();

TEST(DefaultManager, MadeByEarlierStaticInitialiserIsKept) {
  ASSERT_NE(earlyDefaultManager, nullptr);
  EXPECT_EQ(getDefaultQorDataManager(), earlyDefaultManager);
}

// ---------------------------------------------------------------- image-size limit

struct LimitCase {
  const char* name;
  bool bmp;     // a 24-bit BMP file, otherwise a native file of bytes
  int type;     // memory type asked for
  int64_t bytes;  // what an image of 33 x 3 pixels takes in that type
};

std::string limitCaseName(const testing::TestParamInfo<LimitCase>& p) { return p.param.name; }

class ImageLimit : public testing::TestWithParam<LimitCase> {
protected:
  static constexpr int sizeX = 33;
  static constexpr int sizeY = 3;

  void SetUp() override {
    path = dir.file(GetParam().bmp ? "limit.bmp" : "limit.kav");
    TFileInfo* info = GetParam().bmp ? fiBmpFileInfo(24, sizeX, sizeY) : fiKavFileInfo(stUChar, sizeX, sizeY, 1, "l");
    TImageEnsemble e(path.c_str(), info, mgr.m);
  }

  TqorImageBase* get(TImageEnsemble& e, bool empty) {
    switch (GetParam().type) {
      case stUChar: return empty ? e.getEmptyUCharImage(0) : e.getUCharImage(0);
      case stSChar: return empty ? e.getEmptySCharImage(0) : e.getSCharImage(0);
      case stSShort: return empty ? e.getEmptySShortImage(0) : e.getSShortImage(0);
      case stDouble: return empty ? e.getEmptyDoubleImage(0) : e.getDoubleImage(0);
      case stRGB: return empty ? e.getEmptyRGBImage(0) : e.getRGBImage(0);
      case stOneBit: return empty ? e.getEmptyOneBitImage(0) : e.getOneBitImage(0);
      default: return empty ? e.getEmptyWinDibImage(0) : e.getWinDibImage(0);
    }
  }

  std::string message(int64_t limit) const {
    return "Image 0 of \"" + path + "\" would take " + std::to_string(GetParam().bytes) + " bytes, more than the " +
           std::to_string(limit) + " bytes one image may take (TQORDataManager::setMaxImageBytes).";
  }

  qortest::TempDir dir;
  qortest::Manager mgr;
  std::string path;
};

// The limit is set after opening: the drivers check the stored image against it
// at open, the ensemble checks the image in the memory type asked for.
TEST_P(ImageLimit, OneByteUnderRefusesReadAndEmptyImage) {
  const int64_t limit = GetParam().bytes - 1;
  TImageEnsemble e(path.c_str(), mgr.m);
  mgr.m->setMaxImageBytes(limit);
  EXPECT_TRUE(raises([&] { get(e, true); }, 3, message(limit), "zsigens1"));
  EXPECT_TRUE(raises([&] { get(e, false); }, 3, message(limit), "zsigens1"));
  EXPECT_FALSE(e.imageIsLoaded(0));
}

TEST_P(ImageLimit, ExactlyAtLimitMakesImage) {
  TImageEnsemble e(path.c_str(), mgr.m);
  mgr.m->setMaxImageBytes(GetParam().bytes);
  TqorImageBase* image = get(e, true);
  ASSERT_NE(image, nullptr);
  EXPECT_TRUE(image->valid());
}

INSTANTIATE_TEST_SUITE_P(
    Types, ImageLimit,
    testing::Values(LimitCase{"UChar", false, stUChar, 99}, LimitCase{"SChar", false, stSChar, 99},
                    LimitCase{"SShort", false, stSShort, 198}, LimitCase{"Double", false, stDouble, 792},
                    LimitCase{"RGB", true, stRGB, 297},
                    // 33 bits: 5 bytes, padded to 8
                    LimitCase{"OneBit", false, stOneBit, 24},
                    // 8 bits per pixel: 33 bytes, padded to 36
                    LimitCase{"WinDib8", false, stBitmap, 108},
                    // 24 bits per pixel: 99 bytes, padded to 100
                    LimitCase{"WinDib24", true, stBitmap, 300}),
    limitCaseName);

// ---------------------------------------------------------------- files of 2 GiB or more

struct LargeFileCase {
  const char* name;
  int64_t size;
  bool opens;
};

class LargeFile : public testing::TestWithParam<LargeFileCase> {};

// A valid 8-bit BMP, made sparse up to the size: nothing is written past the header and pixels.
TEST_P(LargeFile, RefusedAtOpenFromTwoGiB) {
  qortest::TempDir dir;
  qortest::Manager mgr;
  const std::string path = dir.file("large.bmp");
  {
    TImageEnsemble e(path.c_str(), fiBmpFileInfo(8, 4, 2), mgr.m);
    std::vector<unsigned char> pixels(8, 7);
    e.writeUCharImage(0, pixels.data());
  }
  ASSERT_EQ(truncate(path.c_str(), off_t(GetParam().size)), 0);
  const int descriptors = qortest::openDescriptors();
  TImageEnsemble e(mgr.m);
  if (GetParam().opens) {
    e.open(path.c_str());
    EXPECT_EQ(e.formatID(), idBMP());
    e.close();
  } else {
    EXPECT_TRUE(raises([&] { e.open(path.c_str()); }, 3,
                       "File \"" + path + "\" is too large: " + std::to_string(GetParam().size) +
                           " bytes; files of 2 GiB or more cannot be read.",
                       "zsigens1"));
    EXPECT_FALSE(e.is_open());
  }
  EXPECT_EQ(qortest::openDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Sizes, LargeFile,
                         testing::Values(LargeFileCase{"JustUnder2GiB", (int64_t(1) << 31) - 1, true},
                                         LargeFileCase{"Exactly2GiB", int64_t(1) << 31, false},
                                         // would pass for a file of 1078 + 8 bytes if the size were cut to 32 bits
                                         LargeFileCase{"FourGiBAndHeader", (int64_t(1) << 32) + 1086, false}),
                         qortest::caseName());

// ---------------------------------------------------------------- zero-filled pixel memory

struct ZeroCase {
  const char* name;
  qorFileInfo* (*info)();
  void (*write)(qorEnsemble* e);  // image 0 from no caller memory
  void (*read)(qorEnsemble* e, unsigned char* memory);
  size_t bytes;  // of image 0 read back (7 x 5 pixels)
};

// Heap blocks of the image's size, filled and freed, for the library's allocation to land on.
void dirtyHeap(size_t bytes) {
  std::vector<void*> blocks;
  for (int k = 0; k < 8; ++k) {
    void* p = std::malloc(bytes);
    if (p) std::memset(p, 0xA5, bytes);
    blocks.push_back(p);
  }
  for (void* p : blocks) std::free(p);
}

class ZeroFilled : public testing::TestWithParam<ZeroCase> {};

TEST_P(ZeroFilled, ImageNeverFilledIsWrittenAsZeros) {
  qortest::TempDir dir;
  qorManager* m = qorCreateManager();
  ASSERT_NE(m, nullptr);
  const std::string path = dir.file("zero");
  dirtyHeap(GetParam().bytes);
  qorEnsemble* e = qorEns_COpenNew(&m, path.c_str(), GetParam().info());
  ASSERT_NE(e, nullptr) << qorGetLastErrorMessage(m);
  GetParam().write(e);
  EXPECT_EQ(qorGetLastError(m), 0) << qorGetLastErrorMessage(m);
  qorEns_Destroy(e);

  std::vector<unsigned char> back(GetParam().bytes, 0x5A);
  e = qorEns_COpen(&m, path.c_str());
  ASSERT_NE(e, nullptr) << qorGetLastErrorMessage(m);
  GetParam().read(e, back.data());
  EXPECT_EQ(qorGetLastError(m), 0) << qorGetLastErrorMessage(m);
  EXPECT_EQ(back, std::vector<unsigned char>(GetParam().bytes, 0));
  qorEns_Destroy(e);
  qorDestroyManager(m);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ZeroFilled,
    testing::Values(
        ZeroCase{"UChar", [] { return qorKavInfo(stUChar, 7, 5, 1, "z"); },
                 [](qorEnsemble* e) { qorEns_WriteUCharImage(e, 0, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) { qorEns_ReadUCharImage(e, 0, p); }, 35},
        ZeroCase{"SChar", [] { return qorKavInfo(stUChar, 7, 5, 1, "z"); },
                 [](qorEnsemble* e) { qorEns_WriteSCharImage(e, 0, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) { qorEns_ReadSCharImage(e, 0, reinterpret_cast<signed char*>(p)); },
                 35},
        ZeroCase{"SShort", [] { return qorKavInfo(stSShort, 7, 5, 1, "z"); },
                 [](qorEnsemble* e) { qorEns_WriteSShortImage(e, 0, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) { qorEns_ReadSShortImage(e, 0, reinterpret_cast<short*>(p)); },
                 70},
        ZeroCase{"Double", [] { return qorKavInfo(stDouble, 7, 5, 1, "z"); },
                 [](qorEnsemble* e) { qorEns_WriteDoubleImage(e, 0, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) { qorEns_ReadDoubleImage(e, 0, reinterpret_cast<double*>(p)); },
                 280},
        ZeroCase{"RGB", [] { return qorBmpInfo(24, 7, 5); }, [](qorEnsemble* e) { qorEns_WriteRGBImage(e, 0, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) { qorEns_ReadRGBImage(e, 0, p); }, 105},
        ZeroCase{"OneBit", [] { return qorBmpInfo(1, 7, 5); },
                 [](qorEnsemble* e) { qorEns_WriteOneBitImage(e, 0, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) { qorEns_ReadOneBitImage(e, 0, p); }, 20},
        ZeroCase{"WinDib", [] { return qorBmpInfo(8, 7, 5); },
                 [](qorEnsemble* e) { qorEns_WriteWinDibImage(e, 0, nullptr, nullptr); },
                 [](qorEnsemble* e, unsigned char* p) {
                   // rows of 7 pixels padded to 8 bytes: the pixels only
                   std::vector<unsigned char> header(size_t(qorEns_WinDibInfoSize(e))), bits(40, 0x5A);
                   qorEns_ReadWinDibImage(e, 0, header.data(), bits.data());
                   for (int k = 0; k < 35; ++k) p[k] = bits[size_t(k / 7 * 8 + k % 7)];
                 },
                 35}),
    qortest::caseName());

}  // namespace

// ---------------------------------------------------------------- hostile files

namespace {

// Every file under data/crashers once made the library misbehave: each must
// open or read into a clean error 3.
TEST(Crashers, EveryFileFailsCleanly) {
  const std::string dir = std::string(QOR_TEST_DATA) + "/crashers/";
  int seen = 0;
  for (const char* name : {"tiff-geometry-overflow.tif"}) {
    qortest::Manager mgr;
    const std::string path = dir + name;
    const int code = qortest::raisedCode([&] {
      TImageEnsemble e(path.c_str(), mgr.m);
      e.getUCharImage(0);
    });
    EXPECT_EQ(code, 3) << name;
    ++seen;
  }
  EXPECT_GT(seen, 0);
}

// Rows a read buffers are bounded by bytes, not counted: a header-only BMP
// of very long rows reads into its short-file error while the process holds
// little more than the image and one stored row.
TEST(RowBuffers, BoundedByBytesNotRows) {
  constexpr int64_t width = 4000000, height = 16;
  constexpr int64_t row = width * 3;
  qortest::TempDir dir;
  const std::string path = dir.file("long_rows.bmp");
  qortest::Bytes b(54, 0);
  auto put32 = [&b](size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[at + size_t(k)] = static_cast<unsigned char>(v >> (8 * k));
  };
  b[0] = 'B';
  b[1] = 'M';
  put32(2, uint32_t(54 + row * height));
  put32(10, 54);
  put32(14, 40);
  put32(18, uint32_t(width));
  put32(22, uint32_t(height));
  qortest::put16(b, 26, 1);
  qortest::put16(b, 28, 24);
  qortest::writeFile(path, b);
  qortest::Manager mgr;
  TImageEnsemble e(path.c_str(), mgr.m);
  EXPECT_TRUE(raises([&] { e.getRGBImage(0); }, 3, "Error while reading from disk.", "zsigens1"));
  struct rusage use {};
  getrusage(RUSAGE_SELF, &use);
  // 15 buffered rows would add 180 MB to the 192 MB image
  const int64_t peak = int64_t(use.ru_maxrss) * 1024;
  EXPECT_LT(peak, row * height + 3 * row + (int64_t(64) << 20));
}

}  // namespace
