// Writes that must never lose a file: refused writes into image-list members
// and DCX pages, write-back that shortens a file, writes that fail on a file
// just created, the cache of kept images after a file is made again, and
// chunked reads of a short file.
#include <dirent.h>

#include <cstring>
#include <string>
#include <vector>

#include "oracle.h"
#include "testutil.h"
#include "zqorflat.h"

namespace {

using qortest::Bytes;
using qortest::readFile;

int filesIn(const std::string& folder) {
  int n = 0;
  if (DIR* d = opendir(folder.c_str())) {
    while (const dirent* entry = readdir(d)) n += entry->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

Bytes pattern(size_t n, unsigned seed) {
  Bytes b(n);
  for (size_t k = 0; k < n; ++k) b[k] = uint8_t(k * seed + (k >> 5) * 7);
  return b;
}

// A list of two 24-bit BMP members: member 1 read as grey has no way back
// into a colour file, and its file must stay as it was.
TEST(RefusedWrite, ImageListMemberStaysByteForByte) {
  qortest::TempDir dir;
  qortest::Manager mgr;
  const std::string list = dir.file("j.lst"), mask = dir.file("j?.bmp");
  {
    TImageEnsemble e(list.c_str(), fiImgListFileInfo(mask.c_str(), fiBmpFileInfo(24, 16, 8), 2), mgr.m);
    for (int i = 0; i < 2; ++i) e.writeRGBImage(i, pattern(16 * 8 * 3, 3 + i).data());
  }
  const std::string member = dir.file("j1.bmp");
  const Bytes before = readFile(member);
  ASSERT_FALSE(before.empty());
  TImageEnsemble e(list.c_str(), mgr.m);
  TUCharImage* grey = e.getUCharImage(1);
  ASSERT_NE(grey, nullptr);
  EXPECT_EQ(qortest::raisedCode([&] { e.putImage(1); }), 3);
  EXPECT_EQ(readFile(member), before);
  // the list still writes what its member can store
  e.freeImage(1);
  Bytes rgb = pattern(16 * 8 * 3, 11);
  e.writeRGBImage(1, rgb.data());
  TImageEnsemble m(member.c_str(), mgr.m);
  EXPECT_EQ(m.sizeX(), 16);
  // no file of a refused or finished write is left beside the members
  int files = 0;
  for (const char* name : {"j.lst", "j0.bmp", "j1.bmp"}) files += qortest::fileExists(dir.file(name));
  EXPECT_EQ(files, 3);
  EXPECT_EQ(filesIn(dir.file("")), 3);
}

// A page an existing DCX file cannot take leaves its table and pages alone.
TEST(RefusedWrite, ExistingDcxKeepsItsPages) {
  qortest::TempDir dir;
  qortest::Manager mgr;
  const std::string path = dir.file("q.dcx");
  {
    TImageEnsemble e(path.c_str(), fiDcxFileInfo(8, 9, 4, 2), mgr.m);
    for (int i = 0; i < 2; ++i) e.writeUCharImage(i, pattern(36, 5 + i).data());
  }
  const Bytes before = readFile(path);
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    ASSERT_NE(e.getEmptyDoubleImage(1), nullptr);
    EXPECT_EQ(qortest::raisedCode([&] { e.putImage(1); }), 3);
  }
  EXPECT_EQ(readFile(path), before);
}

// A write that fails on a file the ensemble created leaves no file behind.
TEST(RefusedWrite, FreshFileIsRemoved) {
  qortest::TempDir dir;
  qortest::Manager mgr;
  for (TFileInfo* (*make)() : {+[] { return fiBmpFileInfo(8, 5, 4); }, +[] { return fiPcxFileInfo(24, 5, 4, 1); },
                               +[] { return fiDcxFileInfo(8, 5, 4, 1); }}) {
    const std::string path = dir.file("fresh");
    {
      TImageEnsemble e(path.c_str(), make(), mgr.m);
      ASSERT_NE(e.getEmptyDoubleImage(0), nullptr);
      EXPECT_EQ(qortest::raisedCode([&] { e.putImage(0); }), 3);
    }
    EXPECT_FALSE(qortest::fileExists(path));
  }
  // written whole after all, it stays
  const std::string path = dir.file("again.bmp");
  {
    TImageEnsemble e(path.c_str(), fiBmpFileInfo(8, 5, 4), mgr.m);
    ASSERT_NE(e.getEmptyDoubleImage(0), nullptr);
    EXPECT_EQ(qortest::raisedCode([&] { e.putImage(0); }), 3);
    e.freeImage(0);
    e.writeUCharImage(0, pattern(20, 3).data());
  }
  EXPECT_TRUE(qortest::fileExists(path));
}

// Kept images belong to the file as it was when they were read.
TEST(Caching, FileMadeAgainDropsItsKeptImages) {
  qortest::TempDir dir;
  qortest::Manager mgr;
  const std::string path = dir.file("a.bmp");
  mgr.m->enableStrategies();
  mgr.m->setCachingStrategy(path.c_str(), qorKeepInMemory);
  { TImageEnsemble e(path.c_str(), fiBmpFileInfo(8, 10, 10), mgr.m); e.writeUCharImage(0, pattern(100, 3).data()); }
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    ASSERT_NE(e.getUCharImage(0), nullptr);
  }
  {
    TImageEnsemble e(path.c_str(), fiBmpFileInfo(8, 40, 40), mgr.m);
    TUCharImage* img = e.getEmptyUCharImage(0);
    ASSERT_EQ(img->sizeX(), 40);
    ASSERT_EQ(img->sizeY(), 40);
    std::memcpy(img->ptr(), pattern(1600, 7).data(), 1600);
    e.putImage(0);
  }
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    TUCharImage* img = e.getUCharImage(0);
    ASSERT_EQ(img->sizeX(), 40);
    EXPECT_EQ(Bytes(static_cast<unsigned char*>(img->ptr()), static_cast<unsigned char*>(img->ptr()) + 1600),
              pattern(1600, 7));
  }
  mgr.m->setCachingStrategy(path.c_str(), 0);
  Bytes px(1600);
  TImageEnsemble e(path.c_str(), mgr.m);
  e.readUCharImage(0, px.data());
  EXPECT_EQ(px, pattern(1600, 7));
  // made again at the same size with other pixels, and opened by a manager that keeps nothing
  e.close();
  { TImageEnsemble w(path.c_str(), fiBmpFileInfo(8, 40, 40), mgr.m); w.writeUCharImage(0, pattern(1600, 13).data()); }
  e.open(path.c_str());
  e.readUCharImage(0, px.data());
  EXPECT_EQ(px, pattern(1600, 13));
}

// A chunked read through the flat interface of a BMP cut after 10 of its 64
// rows records the short-file error at the chunk that meets the end, with the
// rows that were there in the caller's buffer; later chunks fail too.
TEST(ChunkedRead, ShortFileRecordsTheReadError) {
  qortest::TempDir dir;
  const std::string path = dir.file("cut.bmp");
  qortest::Manager mgr;
  { TImageEnsemble e(path.c_str(), fiBmpFileInfo(8, 64, 64), mgr.m); e.writeUCharImage(0, pattern(64 * 64, 5).data()); }
  Bytes whole = readFile(path);
  const size_t offset = qortest::get16(whole, 10);
  whole.resize(offset + 10 * 64);
  qortest::writeFile(path, whole);

  qorManager* m = qorCreateManager();
  qorEnsemble* e = qorEns_COpen(&m, path.c_str());
  ASSERT_NE(e, nullptr);
  qorEns_SetF(e, 2);
  Bytes buf(64 * 64, 0xEE);
  qorEns_ReadUCharImage(e, 0, buf.data());
  EXPECT_EQ(qorGetLastError(m), 0);
  // the first chunk of 15 rows meets the end
  EXPECT_EQ(qorEns_ReadNextChunk(e), 0);
  EXPECT_NE(std::string(qorGetLastErrorMessage(m)).find("Error while reading from disk."), std::string::npos);
  EXPECT_EQ(qorGetLastError(m), 3);
  // stored rows come bottom first: the last 10 rows of the image were there
  const Bytes want = pattern(64 * 64, 5);
  EXPECT_EQ(Bytes(buf.begin() + 54 * 64, buf.end()), Bytes(want.begin() + 54 * 64, want.end()));
  EXPECT_EQ(qorEns_ReadNextChunk(e), 0);
  EXPECT_EQ(qorGetLastError(m), 3);
  qorEns_Destroy(e);
  qorDestroyManager(m);
}

struct WriteBackCase {
  const char* name;
  TFileInfo* (*make)();
};

// A noisy file written back with one flat colour and a new palette ends where
// its new data ends, and Pillow reads the new palette and pixels.
class WriteBack : public testing::TestWithParam<WriteBackCase> {};

TEST_P(WriteBack, FileEndsWithItsNewData) {
  qortest::TempDir dir;
  qortest::Manager mgr;
  const std::string path = dir.file(std::string("w.") + GetParam().name);
  constexpr int w = 40, h = 30;
  {
    TImageEnsemble e(path.c_str(), GetParam().make(), mgr.m);
    TUCharImage* img = e.getEmptyUCharImage(0);
    std::memcpy(img->ptr(), pattern(w * h, 97).data(), w * h);
    e.putImage(0);
  }
  const size_t noisy = readFile(path).size();
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    TUCharImage* img = e.getUCharImage(0);
    std::memset(img->ptr(), 3, w * h);
    for (int i = 0; i < 256; ++i) img->getPalette()[i] = TqorPaletteItem{uint8_t(i), 10, uint8_t(255 - i)};
    e.putImage(0);
  }
  const size_t flat = readFile(path).size();
  EXPECT_LT(flat, noisy);
  {
    // a file made afresh from the same image has the same length
    TImageEnsemble again(dir.file(std::string("x.") + GetParam().name).c_str(), GetParam().make(), mgr.m);
    TUCharImage* img = again.getEmptyUCharImage(0);
    std::memset(img->ptr(), 3, w * h);
    again.putImage(0);
  }
  EXPECT_EQ(flat, readFile(dir.file(std::string("x.") + GetParam().name)).size());
  TImageEnsemble e(path.c_str(), mgr.m);
  Bytes px(w * h);
  e.readUCharImage(0, px.data());
  EXPECT_EQ(px, Bytes(w * h, 3));
  EXPECT_EQ(e.getPalette()[3].blue, 252);
  QOR_REQUIRE_ORACLE(qortest::Tool::pillow);
  ASSERT_TRUE(qortest::pillowDecode(path));
  const qortest::Decoded d = qortest::pillowResult(path);
  ASSERT_EQ(d.rgb.size(), size_t(3 * w * h));
  for (size_t k = 0; k < d.rgb.size(); k += 3) {
    ASSERT_EQ(d.rgb[k], 3);
    ASSERT_EQ(d.rgb[k + 1], 10);
    ASSERT_EQ(d.rgb[k + 2], 252);
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteBack,
                         testing::Values(WriteBackCase{"pcx", [] { return fiPcxFileInfo(8, 40, 30, 1); }},
                                         WriteBackCase{"tga", [] { return fiTgaFileInfo(8, 40, 30, 1); }}),
                         qortest::caseName());

}  // namespace
