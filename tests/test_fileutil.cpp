// File utilities: whole-file copies, the shape of an ensemble on disk, file
// names made from masks, and the version number.

#include <sys/stat.h>

#include "testutil.h"

namespace {

using namespace qortest;

Bytes pattern(size_t n) {
  Bytes b(n);
  for (size_t k = 0; k < n; ++k) b[k] = static_cast<unsigned char>(k * 13 + 5);
  return b;
}

// ---------------------------------------------------------------- saveOneFileAsOther

class SaveAsOther : public testing::TestWithParam<size_t> {};

TEST_P(SaveAsOther, DestinationIsAByteCopy) {
  TempDir dir;
  const std::string from = dir.file("source.bmp"), to = dir.file("copy.tif");
  writeFile(from, pattern(GetParam()));
  writeFile(to, Bytes(3000, 'x'));  // an older, longer destination is replaced
  saveOneFileAsOther(to.c_str(), from.c_str());
  EXPECT_EQ(readFile(to), pattern(GetParam()));
  EXPECT_EQ(readFile(from), pattern(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(FileUtil, SaveAsOther, testing::Values(0, 1, 511, 512, 513, 1000, 5000),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return "Bytes" + std::to_string(info.param);
                         });

enum class SameFile { SamePath, DotSlash, HardLink };

std::string sameFileName(const testing::TestParamInfo<SameFile>& info) {
  const char* names[] = {"SamePath", "DotSlash", "HardLink"};
  return names[int(info.param)];
}
void PrintTo(SameFile f, std::ostream* os) { *os << sameFileName(testing::TestParamInfo<SameFile>(f, 0)); }

class SaveOntoItself : public testing::TestWithParam<SameFile> {};

TEST_P(SaveOntoItself, LeavesTheFileIntact) {
  TempDir dir;
  const std::string path = dir.file("one.dat");
  writeFile(path, pattern(1000));
  std::string other = path;
  if (GetParam() == SameFile::DotSlash) other = dir.path() + "/./one.dat";
  if (GetParam() == SameFile::HardLink) {
    other = dir.file("link.dat");
    ASSERT_EQ(link(path.c_str(), other.c_str()), 0);
  }
  EXPECT_NO_THROW(saveOneFileAsOther(other.c_str(), path.c_str()));
  EXPECT_EQ(readFile(path), pattern(1000));
  EXPECT_NO_THROW(saveOneFileAsOther(path.c_str(), other.c_str()));
  EXPECT_EQ(readFile(path), pattern(1000));
}

INSTANTIATE_TEST_SUITE_P(FileUtil, SaveOntoItself,
                         testing::Values(SameFile::SamePath, SameFile::DotSlash, SameFile::HardLink), sameFileName);

TEST(FileUtilErrors, MissingSourceOrUncreatableDestination) {
  TempDir dir;
  const std::string from = dir.file("there"), missing = dir.file("missing"), nowhere = dir.file("no/such/dir");
  writeFile(from, pattern(10));
  EXPECT_TRUE(raises([&] { saveOneFileAsOther(nowhere.c_str(), missing.c_str()); }, 2,
                     "Can't open file " + missing + "\n", "zovnutil"));
  EXPECT_TRUE(raises([&] { saveOneFileAsOther(nowhere.c_str(), from.c_str()); }, 2,
                     "Can't open file " + nowhere + "\n", "zovnutil"));
  EXPECT_EQ(readFile(from), pattern(10));
  unsigned char bytes[4] = {1, 2, 3, 4};
  TqorMemoryStream s(bytes, 4);
  EXPECT_TRUE(raises([&] { filecopy(nowhere.c_str(), s); }, 2, "Can't open file " + nowhere + "\n", "zovnutil"));
}

// ---------------------------------------------------------------- filecopy

class FileCopy : public testing::TestWithParam<size_t> {};

TEST_P(FileCopy, WritesTheWholeStream) {
  TempDir dir;
  Bytes content = pattern(GetParam());
  TqorMemoryStream s(content.data(), int(content.size()));
  s.seek(long(content.size() / 2), SEEK_SET);  // the copy starts at the beginning anyway
  const std::string to = dir.file("stream.out");
  filecopy(to.c_str(), s);
  EXPECT_EQ(readFile(to), content);
  EXPECT_EQ(s.tell(), int(content.size()));
  EXPECT_EQ(s.fail(), 0);
}

INSTANTIATE_TEST_SUITE_P(FileUtil, FileCopy, testing::Values(0, 512, 1000, 1536),
                         [](const testing::TestParamInfo<size_t>& info) {
                           return "Bytes" + std::to_string(info.param);
                         });

// ---------------------------------------------------------------- getEnsembleInfo

TEST(FileUtilInfo, ReportsTheShapeOfANativeFile) {
  TempDir dir;
  Manager mgr;
  const std::string path = dir.file("shape.kav");
  makeNative(mgr.m, path, stSShort, 10, 4, 3);
  TEnsembleInfo info = getEnsembleInfo(path.c_str(), mgr.m);
  EXPECT_EQ(info.numberOfImages, 3);
  EXPECT_EQ(info.sizeY, 4);
  EXPECT_EQ(info.sizeX, 10);
  EXPECT_EQ(info.coding, stSShort);
  const int descriptors = openDescriptors();
  getEnsembleInfo(path.c_str(), mgr.m);
  EXPECT_EQ(openDescriptors(), descriptors) << "the file is closed again";
  const std::string missing = dir.file("missing.kav");
  EXPECT_TRUE(raises([&] { getEnsembleInfo(missing.c_str(), mgr.m); }, 2, "Can't open file " + missing + "\n",
                     "zsigens1"));
}

// ---------------------------------------------------------------- ovnGetFileName

struct Masked { const char *label, *name, *mask, *result; };

void PrintTo(const Masked& p, std::ostream* os) { *os << p.label; }

class MaskedName : public testing::TestWithParam<Masked> {};

TEST_P(MaskedName, FollowsTheMask) {
  Manager mgr;
  char* result = ovnGetFileName(GetParam().name, GetParam().mask, mgr.m);
  EXPECT_STREQ(result, GetParam().result);
  EXPECT_EQ(result, mgr.m->lastErrorMessage);
}

INSTANTIATE_TEST_SUITE_P(
    FileUtil, MaskedName,
    testing::Values(Masked{"NewExtension", "picture.bmp", "*.tif", "picture.tif"},
                    Masked{"Suffix", "scan.001", "*_small.bmp", "scan_small.bmp"},
                    Masked{"FixedName", "whatever.bmp", "out.png", "out.png"},
                    Masked{"NameWithoutDot", "picture", "*.tif", "picture.tif"},
                    Masked{"LeadingBlanks", "   picture.bmp", "  *.tif", "picture.tif"},
                    Masked{"MaskCutAtBlank", "picture.bmp", "*.tif and more", "picture.tif"},
                    Masked{"FixedNameCutAtBlank", "a.b", " out.png trailing", "out.png"},
                    Masked{"FirstDotCuts", "archive.tar.gz", "*.zip", "archive.zip"},
                    Masked{"StarOnly", "picture.bmp", "*", "picture"}, Masked{"EmptyMask", "picture.bmp", "", ""}),
    [](const testing::TestParamInfo<Masked>& info) { return std::string(info.param.label); });

TEST(FileUtilNames, ResultsLongerThan299CharactersAreRefused) {
  Manager mgr;
  const std::string fits(299, 'f');
  EXPECT_EQ(std::string(ovnGetFileName("x", fits.c_str(), mgr.m)), fits);
  const std::string stem(295, 's');
  EXPECT_EQ(std::string(ovnGetFileName((stem + ".bmp").c_str(), "*.tif", mgr.m)), stem + ".tif");
  const std::string tooLong(300, 'm');
  EXPECT_TRUE(raises([&] { ovnGetFileName("x", tooLong.c_str(), mgr.m); }, 3,
                     "The file name made from mask \"" + tooLong.substr(0, 40) + "\" is 300 characters long; at most 299 fit.",
                     "zovnutil"));
  EXPECT_TRUE(raises([&] { ovnGetFileName((stem + ".bmp").c_str(), "*.tiff", mgr.m); }, 3,
                     "The file name made from mask \"*.tiff\" is 300 characters long; at most 299 fit.", "zovnutil"));
  EXPECT_TRUE(raises([&] { ovnGetFileName("a.b", "*.tif", nullptr); }, 3,
                     "No data manager was given for the file name of mask \"*.tif\".", "zovnutil"));
}

TEST(FileUtilNames, VersionNumber) { EXPECT_EQ(_qorVersion(), 3334); }

}  // namespace
