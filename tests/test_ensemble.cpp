// The image ensemble: image cells and their errors, opening failures, a
// destroyed manager, deletion on close, files shared by several ensembles,
// full disks, caching strategies and in-memory ensembles.

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <functional>
#include <memory>

#include "testutil.h"

namespace {

using namespace qortest;

const char* const kDeletedManager =
    "The main struct of the QOR library - TQORDataManager was  deleted you could not perform the requested "
    "operation.";

std::string indexError(int i, int n, const std::string& file) {
  return "\n index out of range: i = " + std::to_string(i) + ", numberOfImages = " + std::to_string(n) +
         " file: " + file + ".";
}

// A file of two 10 x 4 unsigned-byte images with the shared pattern.
struct NativeFile : testing::Test {
  TempDir dir;
  Manager mgr;
  std::string path = dir.file("two.kav");
  void SetUp() override { makeNative(mgr.m, path, stUChar, 10, 4, 2); }
  std::vector<unsigned char> fileImage(int i) {  // the rows of image i as they are on disk
    Bytes b = readFile(path), out;
    for (size_t row = size_t(i * 230 + 46); row < size_t(i * 230 + 230); row += 46) out.insert(out.end(), &b[row], &b[row + 10]);
    return out;
  }
};

// ---------------------------------------------------------------- image cells

TEST_F(NativeFile, SameTypeTwiceIsTheHeldObjectAnotherTypeIsRefused) {
  TImageEnsemble e(path.c_str(), mgr.m);
  TUCharImage* first = e.getUCharImage(0);
  first->elements()[0] = 250;  // not in the file: a second read would undo it
  TUCharImage* second = e.getUCharImage(0);
  EXPECT_EQ(second, first);
  EXPECT_EQ(second->elements()[0], 250);
  EXPECT_TRUE(raises([&] { e.getDoubleImage(0); }, 3,
                     "You could not load one image twice with different coding in memory\n Image N 0 is being loaded "
                     "second time.",
                     "zsigens1"));
  EXPECT_EQ(e.freeImage(0), 0);
  EXPECT_EQ(e.imageIsLoaded(0), 0);
  EXPECT_EQ(e.getDoubleImage(0)->elements()[0], 3.0);
}

TEST_F(NativeFile, EmptyImageIsNotReadButGetsThePalette) {
  TImageEnsemble e(path.c_str(), mgr.m);
  e.getPalette()[5] = TqorPaletteItem{1, 2, 3};
  std::vector<unsigned char> buf(40, 0xAB);
  TUCharImage* img = e.getEmptyUCharImage(1, buf.data());
  EXPECT_EQ(img->ptr(), buf.data());
  EXPECT_EQ(buf, std::vector<unsigned char>(40, 0xAB));
  EXPECT_EQ(img->getPalette()[5].green, 2);
  EXPECT_EQ(img->getPalette()[7].red, 7);
  EXPECT_EQ(img->paletteSize(), e.paletteSize());
}

TEST_F(NativeFile, PutAndFreeOfAnUnrequestedImageAreRefused) {
  TImageEnsemble e(path.c_str(), mgr.m);
  EXPECT_TRUE(raises([&] { e.putImage(1); }, 3,
                     "There is no TqorImageBase inherited object with image = 1 in memory( and fileName = " + path +
                         " ).(Hint: use imageIsLoaded(int)to determine wheather some image is still in memory.",
                     "zsigens1"));
  EXPECT_TRUE(raises([&] { e.freeImage(1); }, 3, "There is no TqorImageBase inherited object with image = 1 in memory.",
                     "zsigens1"));
}

class IndexCheck : public testing::TestWithParam<int> {};

TEST_P(IndexCheck, IndexesOutsideTheFileAreRefused) {
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("i.kav");
  makeNative(mgr.m, path, stUChar, 3, 2, 2);
  TImageEnsemble e(path.c_str(), mgr.m);
  const int i = GetParam();
  EXPECT_TRUE(raises([&] { e.getUCharImage(i); }, 3, indexError(i, 2, path), "zsigens1"));
  EXPECT_TRUE(raises([&] { e.imageIsLoaded(i); }, 3, indexError(i, 2, path), "zsigens1"));
  EXPECT_TRUE(raises([&] { e.freeImage(i); }, 3, indexError(i, 2, path), "zsigens1"));
}

INSTANTIATE_TEST_SUITE_P(Ensemble, IndexCheck, testing::Values(-1, 2, 1000),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param < 0 ? std::string("Minus1") : "Index" + std::to_string(info.param);
                         });

TEST_F(NativeFile, FailedReadLeavesNoImageInTheCell) {
  const std::string shorts = dir.file("s.kav");
  makeNative(mgr.m, shorts, stSShort, 10, 4, 1);
  TImageEnsemble e(shorts.c_str(), mgr.m);
  EXPECT_TRUE(raises([&] { e.getUCharImage(0); }, 3, unknownConverter(stSShort, stUChar), "zsigens2"));
  EXPECT_EQ(e.imageIsLoaded(0), 0);
  EXPECT_NO_THROW(e.getSShortImage(0));
}

TEST_F(NativeFile, FailedWriteLeavesNoImageInTheCell) {
  const std::string shorts = dir.file("s.kav");
  makeNative(mgr.m, shorts, stSShort, 10, 4, 1);
  TImageEnsemble e(shorts.c_str(), mgr.m);
  {
    std::vector<unsigned char> bytes(40, 1);
    EXPECT_TRUE(
        raises([&] { e.writeUCharImage(0, bytes.data()); }, 3, unknownConverter(stSShort, stUChar), "zsigens2"));
  }  // the caller's buffer is gone; no cell may still point into it
  EXPECT_EQ(e.imageIsLoaded(0), 0);
  std::vector<short> in(40, 321), out(40, 0);
  EXPECT_NO_THROW(e.writeSShortImage(0, in.data()));
  EXPECT_NO_THROW(e.readSShortImage(0, out.data()));
  EXPECT_EQ(out, in);
}

TEST_F(NativeFile, BufferTransfersUseTheCallersBufferWhileTheImageIsHeld) {
  TImageEnsemble e(path.c_str(), mgr.m);
  e.getUCharImage(0);
  std::vector<unsigned char> got(40, 0xEE);
  e.readUCharImage(0, got.data());
  EXPECT_EQ(got, nativePattern(0, 40)) << "readUCharImage must fill the caller's buffer";
  e.getUCharImage(1);
  std::vector<unsigned char> mine(40, 9);
  e.writeUCharImage(1, mine.data());
  e.close();
  EXPECT_EQ(fileImage(1), mine) << "writeUCharImage must write the caller's buffer";
}

// ---------------------------------------------------------------- opening failures

class OpenFailure : public testing::TestWithParam<std::string> {};

TEST_P(OpenFailure, RaisesAndLeavesNothingOpen) {
  TempDir dir;
  Manager mgr;
  const std::string kind = GetParam();
  const std::string path = kind == "Directory" ? dir.path() : dir.file(kind == "UnknownBytesNamedPng" ? "bad.PNG" : "bad");
  if (kind == "EmptyFile") writeFile(path, {});
  if (kind.rfind("UnknownBytes", 0) == 0) writeFile(path, Bytes(100, 'x'));
  const int code = kind == "EmptyFile" || kind.rfind("UnknownBytes", 0) == 0 ? 3 : 2;
  const std::string text =
      kind == "EmptyFile"      ? "Size of file \"" + path + "\" equals to zero!"
      : kind == "UnknownBytes" ? "Unknown type of file " + path + "\n or code has not been generated for this format( see file zqorcfg)."
      // a name of a known format's extension: the message names that format
      : kind == "UnknownBytesNamedPng"
          ? "Unknown type of file " + path + ": it is named as a PNG file, but no driver of this library reads it as one."
          : "Can't open file " + path + "\n";
  const int descriptors = openDescriptors();
  TImageEnsemble e(mgr.m);
  EXPECT_TRUE(raises([&] { e.open(path.c_str()); }, code, text, "zsigens1"));
  EXPECT_FALSE(e.is_open());
  EXPECT_TRUE(raises([&] { TImageEnsemble again(path.c_str(), mgr.m); }, code, text, "zsigens1"));
  EXPECT_EQ(openDescriptors(), descriptors);
}

INSTANTIATE_TEST_SUITE_P(Ensemble, OpenFailure, testing::Values("EmptyFile", "UnknownBytes", "UnknownBytesNamedPng", "Directory", "Missing"),
                         [](const testing::TestParamInfo<std::string>& info) { return info.param; });

// ---------------------------------------------------------------- a destroyed manager

TEST(EnsembleManager, DestroyedManagerIsReportedByEveryImageCall) {
  TempDir dir;
  const std::string path = dir.file("m.kav");
  TQORDataManager* m = getQorDataManager();
  makeNative(m, path, stUChar, 10, 4, 2);
  const int descriptors = openDescriptors();
  auto e = std::make_unique<TImageEnsemble>(path.c_str(), m);
  e->getUCharImage(0);
  destroyQORDataManager(m);
  m = nullptr;
  std::vector<unsigned char> buf(40);
  const std::vector<std::pair<const char*, std::function<void()>>> calls = {
      {"getUCharImage", [&] { e->getUCharImage(1); }},
      {"getEmptyDoubleImage", [&] { e->getEmptyDoubleImage(1); }},
      {"readUCharImage", [&] { e->readUCharImage(1, buf.data()); }},
      {"writeUCharImage", [&] { e->writeUCharImage(1, buf.data()); }},
      {"putImage", [&] { e->putImage(0); }},
      {"freeImage", [&] { e->freeImage(0); }},
      {"imageIsLoaded", [&] { e->imageIsLoaded(0); }},
      {"rejectAllImagesFromMemory", [&] { e->rejectAllImagesFromMemory(); }},
      {"open", [&] { e->open(path.c_str()); }},
      {"create", [&] { e->open(path.c_str(), fiKavFileInfo(stUChar, 1, 1, 1, "")); }},
  };
  for (const auto& call : calls) EXPECT_TRUE(raises(call.second, 3, kDeletedManager, "zsigens1")) << call.first;
  EXPECT_NO_THROW(e->close());
  EXPECT_FALSE(e->is_open());
  EXPECT_NO_THROW(e.reset());
  EXPECT_EQ(openDescriptors(), descriptors);
}

// ---------------------------------------------------------------- deletion on close

// Changes the working directory and restores it.
struct CwdGuard {
  char saved[4096] = "/";
  explicit CwdGuard(const std::string& to) {
    if (!getcwd(saved, sizeof saved)) ADD_FAILURE() << "getcwd";
    move(to);
  }
  ~CwdGuard() { move(saved); }
  void move(const std::string& to) { ASSERT_EQ(chdir(to.c_str()), 0) << to; }
};

class DeleteOnClose : public testing::TestWithParam<bool> {};

TEST_P(DeleteOnClose, RemovesTheFileItOpened) {
  TempDir dir, elsewhere;
  Manager mgr;
  writeFile(elsewhere.file("gone.kav"), Bytes(10, 1));  // same name, other directory
  CwdGuard cwd(dir.path());
  makeNative(mgr.m, "gone.kav", stUChar, 4, 4, 1);
  TImageEnsemble e("gone.kav", mgr.m);
  e.setf(qorDeleteOnClose);
  if (GetParam()) cwd.move(elsewhere.path());
  e.close();
  EXPECT_FALSE(fileExists(dir.file("gone.kav")));
  EXPECT_TRUE(fileExists(elsewhere.file("gone.kav")));
}

INSTANTIATE_TEST_SUITE_P(Ensemble, DeleteOnClose, testing::Bool(), [](const testing::TestParamInfo<bool>& info) {
  return std::string(info.param ? "AfterChangingDirectory" : "InTheSameDirectory");
});

// ---------------------------------------------------------------- one file, several ensembles

TEST_F(NativeFile, TwoEnsemblesOnOneFileShareTheCells) {
  TImageEnsemble a(path.c_str(), mgr.m), b(path.c_str(), mgr.m);
  TUCharImage* img = a.getUCharImage(0);
  EXPECT_EQ(b.imageIsLoaded(0), 1);
  EXPECT_EQ(b.getUCharImage(0), img);
}

TEST_F(NativeFile, ClosingOneOfTwoEnsemblesKeepsTheFilesHandle) {
  const std::string second = dir.file("other.kav");
  makeNative(mgr.m, second, stUChar, 10, 4, 1);
  Bytes bytes = readFile(second);
  for (int y = 0; y < 4; ++y) std::fill(&bytes[size_t((y + 1) * 46)], &bytes[size_t((y + 1) * 46 + 10)], 77);
  writeFile(second, bytes);
  TImageEnsemble a(path.c_str(), mgr.m), b(path.c_str(), mgr.m);
  a.close();
  TUCharImage* mine = b.getUCharImage(0);
  TImageEnsemble c(second.c_str(), mgr.m);
  EXPECT_EQ(c.imageIsLoaded(0), 0) << "the third file must not see the first file's image";
  TUCharImage* theirs = c.getUCharImage(0);
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(theirs->elements()[0], 77);
  EXPECT_EQ(mine->elements()[0], 3);
}

TEST_F(NativeFile, ASecondEnsembleSeesTheFullLengthOfANewOrGrownFile) {
  const std::string fresh = dir.file("fresh.kav");
  TImageEnsemble creator(fresh.c_str(), fiKavFileInfo(stUChar, 10, 4, 2, ""), mgr.m);
  TImageEnsemble reader(fresh.c_str(), mgr.m);
  EXPECT_EQ(reader.numberOfImages(), 2);
  creator.increaseImagesNumber(3);
  TImageEnsemble late(fresh.c_str(), mgr.m);
  EXPECT_EQ(late.numberOfImages(), 5);
}

// ---------------------------------------------------------------- full disks

struct DiskFull {
  const char* label;
  long limit;  // largest file the child may write
  bool grow;   // grow a small file instead of creating a large one
  const char* message;
  const char* unit;
};

void PrintTo(const DiskFull& p, std::ostream* os) { *os << p.label; }

class FullDisk : public testing::TestWithParam<DiskFull> {};

// The file size limit is set in a child process, which reports by its exit status.
TEST_P(FullDisk, WritesPastTheFileSizeLimitAreReported) {
  const DiskFull& p = GetParam();
  TempDir dir;
  const std::string path = dir.file("full.kav");
  std::fflush(nullptr);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    limit.rlim_cur = limit.rlim_max = rlim_t(p.limit);
    setrlimit(RLIMIT_FSIZE, &limit);
    TQORDataManager* m = getQorDataManager();
    testing::AssertionResult r = raises(
        [&] {
          TFileInfo* info = p.grow ? fiKavFileInfo(stUChar, 10, 4, 2, "") : fiKavFileInfo(stDouble, 100, 3, 1, "");
          TImageEnsemble e(path.c_str(), info, m);
          if (p.grow) e.increaseImagesNumber(5);
        },
        3, p.message, p.unit);
    if (!r) std::fprintf(stderr, "child: %s\n", r.message());
    _exit(r ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "see the child's report above";
}

INSTANTIATE_TEST_SUITE_P(Ensemble, FullDisk,
                         testing::Values(DiskFull{"CreatingPastTheLimit", 2000, false,
                                                  "Error while writing to disk(output stream). Disk full?", "zkavdrv"},
                                         DiskFull{"GrowingPastTheLimit", 1000, true,
                                                  "Error while writing to disk. Disk full?", "zkavdrv"}),
                         [](const testing::TestParamInfo<DiskFull>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------- handles of long names

TEST(EnsembleHandles, LongNamesAreComparedInFull) {
  Manager mgr;
  const std::string stem(255, 'n');
  const std::string a = stem + "-first-of-two-long-names", b = stem + "-second-of-two-long-names";
  mgr.m->setCachingStrategy(a.c_str(), qorKeepInMemory);
  {
    TImageEnsemble e(a.c_str(), fiKavMemEnsInfo(2, 2, 1), mgr.m);
    e.getDoubleImage(0);
  }
  TImageEnsemble e(b.c_str(), fiKavMemEnsInfo(2, 2, 1), mgr.m);
  EXPECT_EQ(e.imageIsLoaded(0), 0);
  EXPECT_EQ(mgr.m->cachingStrategy(b.c_str()), 0);
  EXPECT_EQ(mgr.m->cachingStrategy(a.c_str()), qorKeepInMemory);
  mgr.m->setCachingStrategy(a.c_str(), 0);
}

// ---------------------------------------------------------------- caching strategies

TEST_F(NativeFile, KeepInMemoryReturnsTheSameImageAfterReopening) {
  mgr.m->setCachingStrategy(path.c_str(), qorKeepInMemory);
  TImageEnsemble e(path.c_str(), mgr.m);
  TUCharImage* img = e.getUCharImage(0);
  EXPECT_EQ(e.freeImage(0), 0);
  EXPECT_EQ(e.imageIsLoaded(0), 1);
  e.close();
  Bytes b = readFile(path);
  b[46] = 200;  // a read would see this
  writeFile(path, b);
  e.open(path.c_str());
  EXPECT_EQ(e.imageIsLoaded(0), 1);
  EXPECT_EQ(e.getUCharImage(0), img);
  EXPECT_EQ(img->elements()[0], 3);
  mgr.m->setCachingStrategy(path.c_str(), 0);
  EXPECT_EQ(e.imageIsLoaded(0), 0);
  EXPECT_EQ(e.getUCharImage(0)->elements()[0], 200);
}

TEST_F(NativeFile, DoNotWriteLeavesTheFileAlone) {
  const Bytes before = readFile(path);
  mgr.m->setCachingStrategy(path.c_str(), qorDoNotWrite);
  {
    TImageEnsemble e(path.c_str(), mgr.m);
    TUCharImage* img = e.getUCharImage(0);
    img->elements()[3] = 1;
    EXPECT_EQ(e.putImage(0), 0);
    std::vector<unsigned char> other(40, 4);
    e.writeUCharImage(1, other.data());
    EXPECT_EQ(e.imageIsLoaded(1), 0);
  }
  EXPECT_EQ(readFile(path), before);
}

TEST(EnsembleCaching, DisabledStrategiesChangeNothing) {
  Manager mgr;
  mgr.m->setCachingStrategy("kept", qorKeepInMemory);
  mgr.m->disableStrategies();
  for (int k = 0; k < 25; ++k) mgr.m->setCachingStrategy(("name" + std::to_string(k)).c_str(), qorKeepInMemory);
  EXPECT_EQ(mgr.m->maxHandles(), 20) << "no handle may be made while strategies are disabled";
  EXPECT_EQ(mgr.m->cachingStrategy("name3"), 0);
  mgr.m->setCachingStrategy("kept", 0);
  EXPECT_EQ(mgr.m->cachingStrategy("kept"), qorKeepInMemory);
  mgr.m->enableStrategies();
  mgr.m->setCachingStrategy("kept", qorDoNotWrite);
  EXPECT_EQ(mgr.m->cachingStrategy("kept"), qorDoNotWrite);
}

TEST(EnsembleCaching, GuardSetsAndClearsTheStrategyOfTheDefaultManager) {
  const char* name = "guarded scratch";
  TQORDataManager* def = getDefaultQorDataManager();
  { TKavEnsCaching nothing; }
  EXPECT_EQ(def->cachingStrategy(name), 0);
  {
    TKavEnsCaching guard(name, qorKeepInMemory);
    EXPECT_EQ(def->cachingStrategy(name), qorKeepInMemory);
    TDoubleImage* img;
    {
      TImageEnsemble e(name, fiKavMemEnsInfo(3, 3, 2));
      img = e.getDoubleImage(1);
    }
    TImageEnsemble e(name, fiKavMemEnsInfo(3, 3, 2));
    EXPECT_EQ(e.getDoubleImage(1), img);
  }
  EXPECT_EQ(def->cachingStrategy(name), 0);
  TImageEnsemble e(name, fiKavMemEnsInfo(3, 3, 2));
  EXPECT_EQ(e.imageIsLoaded(1), 0);
}

TEST(EnsembleCaching, BufferTransfersOfCachedImagesCopyThePixels) {
  Manager mgr;
  mgr.m->setCachingStrategy("cache", qorKeepInMemory);
  TImageEnsemble e("cache", fiKavMemEnsInfo(4, 2, 2), mgr.m);
  {
    std::vector<double> written = {1, 2, 3, 4, 5, 6, 7, 8};
    e.writeDoubleImage(0, written.data());
    std::fill(written.begin(), written.end(), -1.0);
  }  // the caller's buffer is gone
  std::vector<double> got(8, 0);
  e.readDoubleImage(0, got.data());
  EXPECT_EQ(got, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8}));
  e.getDoubleImage(0)->elements()[7] = 80;
  e.readDoubleImage(0, got.data());
  EXPECT_EQ(got[7], 80);
  mgr.m->setCachingStrategy("cache", 0);
}

TEST_F(NativeFile, ReadingACachedFileImageFillsTheBuffer) {
  mgr.m->setCachingStrategy(path.c_str(), qorKeepInMemory);
  TImageEnsemble e(path.c_str(), mgr.m);
  std::vector<unsigned char> got(40, 0);
  e.readUCharImage(1, got.data());
  EXPECT_EQ(got, nativePattern(1, 40));
  e.getUCharImage(1)->elements()[0] = 99;
  e.readUCharImage(1, got.data());
  EXPECT_EQ(got[0], 99);
  mgr.m->setCachingStrategy(path.c_str(), 0);
}

// ---------------------------------------------------------------- in-memory ensembles

TEST(InMemory, CodingIsDoubleWhateverTheImages) {
  Manager mgr;
  TImageEnsemble e("mem", fiKavMemEnsInfo(5, 3, 4), mgr.m);
  e.getUCharImage(0);
  e.getSCharImage(1);
  e.getRGBImage(2);
  e.getOneBitImage(3);
  EXPECT_EQ(e.coding(), stDouble);
  EXPECT_EQ(e.formatID(), idKAVMEM());
  EXPECT_EQ(e.sizeX(), 5);
  EXPECT_EQ(e.sizeY(), 3);
  EXPECT_EQ(e.putImage(2), 0);
}

TEST(InMemory, WithoutCachingAFreedImageIsGone) {
  Manager mgr;
  TImageEnsemble e("mem", fiKavMemEnsInfo(2, 2, 1), mgr.m);
  double a[4], b[4];
  EXPECT_EQ(e.getDoubleImage(0, a)->ptr(), a);
  e.freeImage(0);
  EXPECT_EQ(e.imageIsLoaded(0), 0);
  EXPECT_EQ(e.getDoubleImage(0, b)->ptr(), b);
}

TEST(InMemory, WithCachingARecreatedEnsembleFindsTheImage) {
  Manager mgr;
  mgr.m->setCachingStrategy("kept", qorKeepInMemory);
  TImageEnsemble e("kept", fiKavMemEnsInfo(2, 2, 3), mgr.m);
  TUCharImage* img = e.getUCharImage(2);
  e.close();
  e.open("kept", fiKavMemEnsInfo(2, 2, 3));
  EXPECT_EQ(e.getUCharImage(2), img);
  mgr.m->setCachingStrategy("kept", 0);
  EXPECT_EQ(e.imageIsLoaded(2), 0);
}

TEST(InMemory, ClosingWithCachedImagesBeyondTheCountSucceeds) {
  Manager mgr;
  mgr.m->setCachingStrategy("shrunk", qorKeepInMemory);
  {
    TImageEnsemble big("shrunk", fiKavMemEnsInfo(2, 2, 6), mgr.m);
    big.getDoubleImage(5);
  }
  TImageEnsemble small("shrunk", fiKavMemEnsInfo(2, 2, 2), mgr.m);
  small.getDoubleImage(1);
  EXPECT_NO_THROW(small.close());
  EXPECT_FALSE(small.is_open());
  mgr.m->setCachingStrategy("shrunk", 0);
}

TEST(InMemory, IncreaseImagesNumberMakesIndexesValid) {
  Manager mgr;
  TImageEnsemble e("grow", fiKavMemEnsInfo(2, 2, 4), mgr.m);
  EXPECT_EQ(e.increaseImagesNumber(2), 6);
  EXPECT_NO_THROW(e.getDoubleImage(5));
  EXPECT_TRUE(raises([&] { e.getDoubleImage(6); }, 3, indexError(6, 6, "grow"), "zsigens1"));
  EXPECT_EQ(e.increaseImagesNumber(-3), 6);
}

TEST(InMemory, DetectionNeverSelectsIt) {
  TempDir dir;
  Manager mgr;
  TImageEnsemble mem("alive", fiKavMemEnsInfo(2, 2, 1), mgr.m);
  const std::string path = dir.file("plain");
  writeFile(path, Bytes(64, 'x'));
  TImageEnsemble e(mgr.m);
  EXPECT_TRUE(raises([&] { e.open(path.c_str()); }, 3,
                     "Unknown type of file " + path + "\n or code has not been generated for this format( see file zqorcfg).",
                     "zsigens1"));
  makeNative(mgr.m, path, stUChar, 10, 4, 1);
  Bytes native = readFile(path);
  TqorMemoryStream s(native.data(), int(native.size()));
  TKavMemEnsFormatDriver d;
  d.init(nullptr, &s);
  EXPECT_EQ(d.recognizeFormat(), 0);
}

struct MemRefusal { const char* label; int sizeX, sizeY, images; const char* message; };

void PrintTo(const MemRefusal& p, std::ostream* os) { *os << p.label; }

class InMemoryCreate : public testing::TestWithParam<MemRefusal> {};

TEST_P(InMemoryCreate, RefusesImpossibleGeometry) {
  const MemRefusal& p = GetParam();
  Manager mgr;
  TImageEnsemble e(mgr.m);
  EXPECT_TRUE(raises([&] { e.open("m", fiKavMemEnsInfo(p.sizeX, p.sizeY, p.images)); }, 3,
                     std::string("Cannot create an in-memory ensemble: ") + p.message, "zmemdrv"));
  EXPECT_FALSE(e.is_open());
}

INSTANTIATE_TEST_SUITE_P(
    Ensemble, InMemoryCreate,
    testing::Values(MemRefusal{"ZeroWidth", 0, 5, 1, "image size 0 x 5 is outside 1..65535."},
                    MemRefusal{"TallerThan65535", 5, 70000, 1, "image size 5 x 70000 is outside 1..65535."},
                    MemRefusal{"NegativeCount", 5, 5, -2, "negative number of images -2."}),
    [](const testing::TestParamInfo<MemRefusal>& info) { return std::string(info.param.label); });

}  // namespace
