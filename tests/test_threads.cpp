// Managers of their own in threads of their own: four threads write and read
// every writable format at once, and threads asking for the default manager
// together get one. Built with ThreadSanitizer by make tsan.
#include <atomic>
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

using namespace qortest;

constexpr int kThreads = 4;
constexpr int kRounds = 3;
constexpr int kWidth = 37;
constexpr int kHeight = 23;

// One writable format: a descriptor for a file in a folder, the image type
// moved and how far a lossy read may be from the written pixels.
struct Row {
  const char* name;
  int (*id)();
  TFileInfo* (*make)(const std::string& folder, int x, int y);
  int type;
  int tolerance;
};

const Row kRows[] = {
    {"native", idKAV, [](const std::string&, int x, int y) { return fiKavFileInfo(stSShort, x, y, 1, "t"); }, stSShort, 0},
    {"bmp", idBMP, [](const std::string&, int x, int y) { return fiBmpFileInfo(8, x, y); }, stUChar, 0},
    {"os2bmp", idBMPOS2, [](const std::string&, int x, int y) { return fiBmpOS2FileInfo(24, x, y); }, stRGB, 0},
    {"pcx", idPCX, [](const std::string&, int x, int y) { return fiPcxFileInfo(8, x, y, 1); }, stUChar, 0},
    {"dcx", idDCX, [](const std::string&, int x, int y) { return fiDcxFileInfo(24, x, y, 1); }, stRGB, 0},
    {"tga", idTGA, [](const std::string&, int x, int y) { return fiTgaFileInfo(24, x, y, 1); }, stRGB, 0},
    {"fits", idASTROLUM, [](const std::string&, int x, int y) { return fiAstroFileInfo(16, x, y); }, stSShort, 0},
    {"list", idIMGLIST,
     [](const std::string& f, int x, int y) { return fiImgListFileInfo((f + "/m?.bmp").c_str(), fiBmpFileInfo(8, x, y), 1); },
     stUChar, 0},
#if QOR_WITH_JPEG
    {"jpeg", idJPEG, [](const std::string&, int x, int y) { return fiJpegFileInfo(8, x, y, 100); }, stUChar, 2},
#endif
#if QOR_WITH_TIFF
    {"tiff", idTIFF, [](const std::string&, int x, int y) { return fiTiffFileInfo(24, x, y); }, stRGB, 0},
#endif
#if QOR_WITH_PNG
    {"png", idPNG, [](const std::string&, int x, int y) { return fiPngFileInfo(24, x, y, 0); }, stRGB, 0},
#endif
};

int bytesPerPixel(int type) { return type == stSShort ? 2 : type == stRGB ? 3 : 1; }

// Pixels that differ by thread, round and format; smooth enough for JPEG.
Bytes pattern(int type, int seed) {
  Bytes px(size_t(kWidth) * kHeight * size_t(bytesPerPixel(type)));
  for (size_t k = 0; k < px.size(); ++k) {
    const size_t pixel = k / size_t(bytesPerPixel(type));
    px[k] = (unsigned char)((pixel % kWidth) * 3 + (pixel / kWidth) * 5 + size_t(seed) * 7 + k % 2);
  }
  return px;
}

// What one thread found wrong, reported by the test's own thread.
struct Outcome {
  std::vector<std::string> faults;
};

void roundTrips(int thread, const std::string& folder, std::atomic<int>& ready, Outcome& out) {
  TQORDataManager* manager = getQorDataManager();
  ready.fetch_add(1);
  while (ready.load() < kThreads) std::this_thread::yield();  // all threads start together
  for (int round = 0; round < kRounds; ++round)
    for (const Row& row : kRows) {
      const std::string path = folder + "/" + row.name + ".img";
      const Bytes written = pattern(row.type, thread * kRounds + round);
      try {
        {
          TImageEnsemble e(path.c_str(), row.make(folder, kWidth, kHeight), manager);
          writePixels(e, row.type, written);
        }
        TImageEnsemble e(path.c_str(), manager);
        const Bytes back = readPixels(e, row.type);
        bool same = e.formatID() == row.id() && back.size() == written.size();
        for (size_t k = 0; same && k < back.size(); ++k) same = std::abs(int(back[k]) - int(written[k])) <= row.tolerance;
        if (!same) out.faults.push_back(std::string(row.name) + ": pixels differ");
      } catch (const x_qor& x) {
        out.faults.push_back(std::string(row.name) + ": " + x.msg());
      }
    }
  destroyQORDataManager(manager);
}

TEST(Threads, EveryFormatFromFourThreadsAtOnce) {
  TempDir dir;
  std::vector<std::string> folders;
  for (int t = 0; t < kThreads; ++t) {
    folders.push_back(dir.file("t" + std::to_string(t)));
    ASSERT_EQ(mkdir(folders.back().c_str(), 0700), 0);
  }
  std::atomic<int> ready{0};
  std::vector<Outcome> outcomes(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back(roundTrips, t, folders[size_t(t)], std::ref(ready), std::ref(outcomes[size_t(t)]));
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < kThreads; ++t)
    for (const std::string& f : outcomes[size_t(t)].faults) ADD_FAILURE() << "thread " << t << ": " << f;
}

// Every registered format that writes files has a row (the in-memory one keeps no file).
TEST(Threads, EveryWritableFormatHasARow) {
  TQORDataManager* m = getQorDataManager();
  for (int n = 0; n < m->driversNumber(); ++n) {
    const int id = m->getDriver(n)->getFileInfo()->formatID();
    if (id == idKAVMEM()) continue;
    bool found = false;
    for (const Row& r : kRows) found = found || r.id() == id;
    EXPECT_TRUE(found) << "format " << id;
  }
  destroyQORDataManager(m);
}

TEST(Threads, DefaultManagerIsMadeOnce) {
  std::atomic<int> ready{0};
  TQORDataManager* seen[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      seen[t] = getDefaultQorDataManager();
    });
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (int t = 1; t < kThreads; ++t) EXPECT_EQ(seen[t], seen[0]);
}

}  // namespace
