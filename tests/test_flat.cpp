// The flat interface: failure capture and its hook, calls that reach no
// manager, caller streams with missing functions, descriptors, identifiers,
// masked file names and the palette.

#define QOR_FLAT_INTERNAL
#include "zqorflat.h"

#include <gtest/gtest.h>

#include "casename.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "zkavdrv.h"
#include "zmemdrv.h"
#include "zsigens1.h"

namespace {

constexpr int width = 5;
constexpr int height = 3;
constexpr int pixels = width * height;

// A scratch file named after the running test, in the build tree.
std::string scratchPath() {
  const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(t->test_suite_name()) + "_" + t->name();
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return std::string(QOR_BUILD_DIR) + "/tests/flat_" + name + ".kav";
}

bool exists(const std::string& name) {
  FILE* f = std::fopen(name.c_str(), "rb");
  if (f) std::fclose(f);
  return f != nullptr;
}

// What the error hook saw; the hook finds it through the manager's user data.
struct HookLog {
  int calls = 0;
  qorManager* manager = nullptr;
  int code = 0;
  std::string message;
  int recordedCode = 0;         // lastError as the hook found it
  std::string recordedMessage;  // qorGetLastErrorMessage as the hook found it
  bool exceptionInFlight = false;
};

void logHook(qorManager* m, int code, const char* message) {
  auto* log = static_cast<HookLog*>(qorGetUsrDataPtr(m));
  ++log->calls;
  log->manager = m;
  log->code = code;
  log->message = message ? message : "(null)";
  log->recordedCode = m->lastError;
  log->recordedMessage = qorGetLastErrorMessage(m);
  log->exceptionInFlight = std::current_exception() != nullptr || std::uncaught_exceptions() != 0;
}

// A file in memory behind the custom-stream functions.
struct MemoryFile {
  std::vector<unsigned char> bytes;
  long position = 0;
  int calls = 0;  // of any function

  static MemoryFile& of(void* userData) {
    auto& f = *static_cast<MemoryFile*>(userData);
    ++f.calls;
    return f;
  }
  static int read(void* userData, void* buffer, int length) {
    MemoryFile& f = of(userData);
    long n = std::min<long>(length, long(f.bytes.size()) - f.position);
    if (n < 0) return -1;
    std::memcpy(buffer, f.bytes.data() + f.position, size_t(n));
    f.position += n;
    return int(n);
  }
  static int write(void* userData, const void* buffer, int length) {
    MemoryFile& f = of(userData);
    if (length <= 0) return 0;
    if (f.bytes.size() < size_t(f.position + length)) f.bytes.resize(size_t(f.position + length));
    std::memcpy(f.bytes.data() + f.position, buffer, size_t(length));
    f.position += length;
    return length;
  }
  static int seek(void* userData, long offset, int origin) {
    MemoryFile& f = of(userData);
    long base = origin == SEEK_SET ? 0 : origin == SEEK_CUR ? f.position : long(f.bytes.size());
    if (base + offset < 0) return -1;
    f.position = base + offset;
    return int(f.position);
  }
  static int tell(void* userData) { return int(of(userData).position); }
  static int size(void* userData) { return int(of(userData).bytes.size()); }
  static int close(void* userData) {
    of(userData);
    return 0;
  }
};

std::vector<unsigned char> ramp(int step) {
  std::vector<unsigned char> v(pixels);
  for (int k = 0; k < pixels; ++k) v[size_t(k)] = static_cast<unsigned char>(k * step);
  return v;
}

class Flat : public testing::Test {
protected:
  void SetUp() override {
    manager = qorCreateManager();
    ASSERT_NE(manager, nullptr);
    ASSERT_EQ(qorSetUserErrorHook(manager, logHook, &log, 64), 0);
    path = scratchPath();
  }

  void TearDown() override {
    for (qorEnsemble* e : ensembles) qorEns_Destroy(e);
    qorDestroyManager(manager);
    qorDestroyManager(orphanManager);
    std::remove(path.c_str());
  }

  qorEnsemble* keep(qorEnsemble* e) {
    if (e) ensembles.push_back(e);
    return e;
  }

  // A native file of two unsigned-byte images opened through managerVariable.
  qorEnsemble* nativeFile(qorManager*& managerVariable) {
    qorEnsemble* e = keep(qorEns_COpenNew(&managerVariable, path.c_str(), qorKavInfo(stUChar, width, height, 2, "t")));
    if (!e) return nullptr;
    std::vector<unsigned char> a = ramp(3), b = ramp(7);
    qorEns_WriteUCharImage(e, 0, a.data());
    qorEns_WriteUCharImage(e, 1, b.data());
    return e;
  }

  // An open ensemble whose manager was destroyed and its variable set to null.
  qorEnsemble* orphan() {
    orphanManager = qorCreateManager();
    qorEnsemble* e = nativeFile(orphanManager);
    qorDestroyManager(orphanManager);
    orphanManager = nullptr;
    return e;
  }

  qorManager* manager = nullptr;
  qorManager* orphanManager = nullptr;
  HookLog log;
  MemoryFile file;  // outlives the ensembles that read and write it
  std::string path;
  std::vector<qorEnsemble*> ensembles;
};

// ---------------------------------------------------------------- failure capture

struct Thrower {
  const char* name;
  std::function<void()> raise;
  int code;
  const char* text;
};
void PrintTo(const Thrower& t, std::ostream* os) { *os << t.name; }

class FlatCapture : public Flat, public testing::WithParamInterface<Thrower> {};

TEST_P(FlatCapture, RecordsThenCallsHookOutsideTheHandler) {
  const Thrower& t = GetParam();
  int r = qorFlat::guarded(manager, -7, [&t] {
    t.raise();
    return 1;
  });
  EXPECT_EQ(r, -7);
  EXPECT_EQ(qorGetLastError(manager), t.code);
  EXPECT_STREQ(qorGetLastErrorMessage(manager), t.text);
  ASSERT_EQ(log.calls, 1);
  EXPECT_EQ(log.manager, manager);
  EXPECT_EQ(log.code, t.code);
  EXPECT_EQ(log.message, t.text);
  // recorded before the hook, and no exception is alive while it runs
  EXPECT_EQ(log.recordedCode, t.code);
  EXPECT_EQ(log.recordedMessage, t.text);
  EXPECT_FALSE(log.exceptionInFlight);
}

TEST_P(FlatCapture, WithoutHookOnlyRecords) {
  const Thrower& t = GetParam();
  qorManager* quiet = qorCreateManager();
  ASSERT_NE(quiet, nullptr);
  qorFlat::guarded(quiet, [&t] { t.raise(); });
  EXPECT_EQ(log.calls, 0);
  EXPECT_EQ(qorGetLastError(quiet), t.code);
  EXPECT_STREQ(qorGetLastErrorMessage(quiet), t.text);
  qorDestroyManager(quiet);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, FlatCapture,
    testing::Values(Thrower{"LibraryError", [] { throw x_qor("Error! Bad head.", 5); }, 5, "Error! Bad head."},
                    Thrower{"OutOfMemory", [] { throw std::bad_alloc(); }, 32000, "Unknown error"},
                    Thrower{"StandardError", [] { throw std::runtime_error("boom"); }, 32000, "Unknown error"},
                    Thrower{"NonClassValue", [] { throw 42; }, 32000, "Unknown error"}),
    qortest::caseName());

TEST_F(Flat, ClassFailureReachesHookWithRecordedText) {
  qorEnsemble* e = keep(qorEns_Create(&manager));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(qorEns_Coding(e), -1);
  ASSERT_EQ(log.calls, 1);
  EXPECT_EQ(log.manager, manager);
  EXPECT_EQ(log.code, 3);
  EXPECT_NE(log.message.find("The ensemble is not open."), std::string::npos) << log.message;
  EXPECT_EQ(log.message, qorGetLastErrorMessage(manager));
  EXPECT_FALSE(log.exceptionInFlight);
}

TEST_F(Flat, SuccessLeavesErrorStateAlone) {
  qorEnsemble* e = nativeFile(manager);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(qorEns_FormatID(e), qorKAV_ID());
  qorEns_ReadUCharImage(e, 9, nullptr);
  const std::string text = qorGetLastErrorMessage(manager);
  std::vector<unsigned char> buffer(pixels);
  qorEns_ReadUCharImage(e, 1, buffer.data());
  EXPECT_EQ(buffer, ramp(7));
  EXPECT_EQ(qorGetLastError(manager), 3);
  EXPECT_EQ(qorGetLastErrorMessage(manager), text);
  EXPECT_EQ(log.calls, 1);
}

TEST_F(Flat, InstalledNullHookOnlyRecords) {
  ASSERT_EQ(qorSetUserErrorHook(manager, nullptr, nullptr, 8), 0);
  EXPECT_EQ(qorJumpIsSet(manager), 1);
  EXPECT_EQ(qorEns_FormatID(keep(qorEns_Create(&manager))), -1);
  EXPECT_EQ(qorGetLastError(manager), 3);
}

TEST_F(Flat, HookBlockKeptWhenAllocationFails) {
  qorManager* fresh = qorCreateManager();
  ASSERT_NE(fresh, nullptr);
  int a = 0, b = 0;
  // a size no allocation can meet: hook and user data are stored, nothing else changes
  EXPECT_EQ(qorSetUserErrorHook(fresh, logHook, &a, -1), -1);
  EXPECT_EQ(qorGetUsrDataPtr(fresh), &a);
  EXPECT_EQ(qorJumpIsSet(fresh), 0);
  EXPECT_EQ(qorGetJumpBuf(fresh), nullptr);
  ASSERT_EQ(qorSetUserErrorHook(fresh, logHook, &b, 32), 0);
  void* block = qorGetJumpBuf(fresh);
  EXPECT_NE(block, nullptr);
  EXPECT_EQ(qorSetUserErrorHook(fresh, logHook, &a, -5), -1);
  EXPECT_EQ(qorGetJumpBuf(fresh), block);
  EXPECT_EQ(qorJumpIsSet(fresh), 1);
  EXPECT_EQ(qorGetUsrDataPtr(fresh), &a);
  qorDestroyManager(fresh);
}

// ---------------------------------------------------------------- no manager to report to

struct GuardedCall {
  const char* name;
  // Makes the call and tells whether it gave its failure value and left the caller's memory alone.
  std::function<bool(qorEnsemble*)> failsQuietly;
};
void PrintTo(const GuardedCall& c, std::ostream* os) { *os << c.name; }

bool untouched(const std::vector<unsigned char>& v) {
  for (unsigned char c : v)
    if (c != 0xab) return false;
  return true;
}

template <class F>
bool leavesBufferAlone(F call) {
  std::vector<unsigned char> buffer(2048, 0xab);
  call(buffer.data());
  return untouched(buffer);
}

bool customOpenCallsNothing(qorEnsemble* e, bool creating) {
  MemoryFile file;
  file.bytes.assign(100, 0);
  if (creating)
    qorEns_CustomOpenNew(e, qorKavInfo(stUChar, width, height, 1, "t"), &file, MemoryFile::read,
                         MemoryFile::write, MemoryFile::seek, MemoryFile::tell, MemoryFile::close, MemoryFile::size);
  else
    qorEns_CustomOpen(e, &file, MemoryFile::read, MemoryFile::write, MemoryFile::seek, MemoryFile::tell,
                      MemoryFile::close, MemoryFile::size);
  return file.calls == 0;
}

const GuardedCall guardedCalls[] = {
    {"ReadUChar", [](qorEnsemble* e) {
       return leavesBufferAlone([e](unsigned char* p) { qorEns_ReadUCharImage(e, 0, p); });
     }},
    {"ReadSChar", [](qorEnsemble* e) {
       return leavesBufferAlone([e](unsigned char* p) { qorEns_ReadSCharImage(e, 0, reinterpret_cast<signed char*>(p)); });
     }},
    {"ReadSShort", [](qorEnsemble* e) {
       return leavesBufferAlone([e](unsigned char* p) { qorEns_ReadSShortImage(e, 0, reinterpret_cast<short*>(p)); });
     }},
    {"ReadDouble", [](qorEnsemble* e) {
       return leavesBufferAlone([e](unsigned char* p) { qorEns_ReadDoubleImage(e, 0, reinterpret_cast<double*>(p)); });
     }},
    {"ReadWinDib", [](qorEnsemble* e) {
       return leavesBufferAlone([e](unsigned char* p) { qorEns_ReadWinDibImage(e, 0, p, p + 1100); });
     }},
    {"GetWinDibInfo", [](qorEnsemble* e) {
       return leavesBufferAlone([e](unsigned char* p) { qorEns_GetWinDibInfo(e, p); });
     }},
    {"WriteUChar", [](qorEnsemble* e) {
       std::vector<unsigned char> v(pixels, 1);
       qorEns_WriteUCharImage(e, 0, v.data());
       return true;
     }},
    {"WinDibInfoSize", [](qorEnsemble* e) { return qorEns_WinDibInfoSize(e) == 0; }},
    {"WinDibBitsSize", [](qorEnsemble* e) { return qorEns_WinDibBitsSize(e) == 0; }},
    {"ReadNextChunk", [](qorEnsemble* e) { return qorEns_ReadNextChunk(e) == 0; }},
    {"WriteNextChunk", [](qorEnsemble* e) { return qorEns_WriteNextChunk(e) == 0; }},
    {"RowsPerChunk", [](qorEnsemble* e) { return qorEns_RowsPerChunk(e) == 0; }},
    {"ChunksNumber", [](qorEnsemble* e) { return qorEns_ChunksNumber(e) == 0; }},
    {"Top2BottomReading", [](qorEnsemble* e) { return qorEns_Top2BottomReading(e) == 0; }},
    {"SetF", [](qorEnsemble* e) { return qorEns_SetF(e, 1) == 0; }},
    {"GetF", [](qorEnsemble* e) { return qorEns_GetF(e) == 0; }},
    {"ClearF", [](qorEnsemble* e) { return qorEns_ClearF(e, 1) == 0; }},
    {"FileName", [](qorEnsemble* e) { return qorEns_FileName(e) == nullptr; }},
    {"GetEnsInfo", [](qorEnsemble* e) { return qorEns_getEnsInfo(e) == nullptr; }},
    {"FormatID", [](qorEnsemble* e) { return qorEns_FormatID(e) == -1; }},
    {"Coding", [](qorEnsemble* e) { return qorEns_Coding(e) == -1; }},
    {"BytesPerSizeX", [](qorEnsemble* e) { return qorEns_BytesPerSizeX(e) == 0; }},
    {"IncreaseImagesNumber", [](qorEnsemble* e) { return qorEns_IncreaseImagesNumber(e, 3) == 0; }},
    {"ImageIsLoaded", [](qorEnsemble* e) { return qorEns_ImageIsLoaded(e, 0) == 0; }},
    {"RejectAllImages", [](qorEnsemble* e) {
       qorEns_RejectAllImagesFromMemory(e);
       return true;
     }},
    {"GetPalette", [](qorEnsemble* e) { return qorEns_GetPalette(e) == nullptr; }},
    {"SetPalette", [](qorEnsemble* e) {
       std::vector<unsigned char> rgb(768, 9);
       return qorEns_SetPalette(e, rgb.data()) == nullptr;
     }},
    {"PaletteSize", [](qorEnsemble* e) { return qorEns_PaletteSize(e) == 0; }},
    {"FillPaletteAsGray", [](qorEnsemble* e) { return qorEns_FillPaletteAsGray(e) == 0; }},
    {"Open", [](qorEnsemble* e) {
       qorEns_Open(e, "no such file.kav");
       return true;
     }},
    // the descriptor is taken over and disposed of (the leak check sees it)
    {"OpenNew", [](qorEnsemble* e) {
       const std::string name = std::string(QOR_BUILD_DIR) + "/tests/flat_never_created.kav";
       qorEns_OpenNew(e, name.c_str(), qorKavInfo(stUChar, width, height, 1, "t"));
       return !exists(name);
     }},
    {"CustomOpen", [](qorEnsemble* e) { return customOpenCallsNothing(e, false); }},
    {"CustomOpenNew", [](qorEnsemble* e) { return customOpenCallsNothing(e, true); }},
};

enum Reach { nullEnsemble, orphanedEnsemble };

class FlatUnreachable : public Flat, public testing::WithParamInterface<std::tuple<Reach, GuardedCall>> {};

TEST_P(FlatUnreachable, GivesFailureValueAndRecordsNothing) {
  const Reach reach = std::get<0>(GetParam());
  const GuardedCall& call = std::get<1>(GetParam());
  qorEnsemble* e = nullptr;
  if (reach == orphanedEnsemble) {
    e = orphan();
    ASSERT_NE(e, nullptr);
  }
  EXPECT_TRUE(call.failsQuietly(e));
  EXPECT_EQ(log.calls, 0);
  EXPECT_EQ(qorGetLastError(manager), 0);
  EXPECT_STREQ(qorGetLastErrorMessage(manager), "");
}

INSTANTIATE_TEST_SUITE_P(Calls, FlatUnreachable,
                         testing::Combine(testing::Values(nullEnsemble, orphanedEnsemble),
                                          testing::ValuesIn(guardedCalls)),
                         [](const testing::TestParamInfo<std::tuple<Reach, GuardedCall>>& i) {
                           return std::string(std::get<0>(i.param) == nullEnsemble ? "NullEnsemble_"
                                                                                    : "OrphanedEnsemble_") +
                                  std::get<1>(i.param).name;
                         });

TEST_F(Flat, CloseAndDestroyStillReleaseOrphanedEnsemble) {
  qorEnsemble* e = orphan();
  ASSERT_NE(e, nullptr);
  ensembles.clear();
  EXPECT_EQ(qorEns_IsOpen(e), 1);
  qorEns_Close(e);
  EXPECT_EQ(qorEns_IsOpen(e), 0);
  qorEns_Destroy(e);
  qorEns_Close(nullptr);
  qorEns_Destroy(nullptr);
  EXPECT_EQ(log.calls, 0);
}

TEST_F(Flat, ManagerReferenceWithoutManager) {
  qorManager* none = nullptr;
  EXPECT_EQ(qorEns_COpen(nullptr, path.c_str()), nullptr);
  EXPECT_EQ(qorEns_COpen(&none, path.c_str()), nullptr);
  // the descriptors are taken over and disposed of; no file appears
  EXPECT_EQ(qorEns_COpenNew(nullptr, path.c_str(), qorKavInfo(stUChar, width, height, 1, "t")), nullptr);
  EXPECT_EQ(qorEns_COpenNew(&none, path.c_str(), qorKavInfo(stUChar, width, height, 1, "t")), nullptr);
  EXPECT_FALSE(exists(path));
  EXPECT_EQ(qorEns_Create(nullptr), nullptr);
  // an unopened ensemble needs no manager yet
  qorEnsemble* e = keep(qorEns_Create(&none));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(qorEns_IsOpen(e), 0);
  EXPECT_EQ(log.calls, 0);
  EXPECT_EQ(qorGetLastError(manager), 0);
}

// ---------------------------------------------------------------- unguarded calls on null

struct NullCall {
  const char* name;
  std::function<long()> call;
  long expected;
};
void PrintTo(const NullCall& c, std::ostream* os) { *os << c.name; }

class FlatNull : public testing::TestWithParam<NullCall> {};

TEST_P(FlatNull, GivesFixedValue) { EXPECT_EQ(GetParam().call(), GetParam().expected); }

long pointerIsNull(const void* p) { return p == nullptr; }

INSTANTIATE_TEST_SUITE_P(
    Handles, FlatNull,
    testing::Values(
        NullCall{"EnsIsOpen", [] { return long(qorEns_IsOpen(nullptr)); }, 0},
        NullCall{"EnsNumberOfImages", [] { return long(qorEns_NumberOfImages(nullptr)); }, 0},
        NullCall{"EnsSizeX", [] { return long(qorEns_SizeX(nullptr)); }, 0},
        NullCall{"EnsSizeY", [] { return long(qorEns_SizeY(nullptr)); }, 0},
        NullCall{"EnsSize", [] { return qorEns_Size(nullptr); }, 0},
        NullCall{"EnsDestroy", [] { return qorEns_Destroy(nullptr), 0L; }, 0},
        NullCall{"InfFormatID", [] { return long(qorInf_FormatID(nullptr)); }, -1},
        NullCall{"InfSizeY", [] { return long(qorInf_SizeY(nullptr)); }, -1},
        NullCall{"InfSizeX", [] { return long(qorInf_SizeX(nullptr)); }, -1},
        NullCall{"InfNumberOfImages", [] { return long(qorInf_NumberOfImages(nullptr)); }, -1},
        NullCall{"InfCoding", [] { return long(qorInf_Coding(nullptr)); }, -1},
        NullCall{"InfSize", [] { return qorInf_Size(nullptr); }, -1},
        NullCall{"DestroyManager", [] { return qorDestroyManager(nullptr), 0L; }, 0},
        NullCall{"SetUserErrorHook", [] { return long(qorSetUserErrorHook(nullptr, logHook, nullptr, 8)); }, -1},
        NullCall{"GetJumpBuf", [] { return pointerIsNull(qorGetJumpBuf(nullptr)); }, 1},
        NullCall{"JumpIsSet", [] { return long(qorJumpIsSet(nullptr)); }, 0},
        NullCall{"GetUsrDataPtr", [] { return pointerIsNull(qorGetUsrDataPtr(nullptr)); }, 1},
        NullCall{"GetLastError", [] { return long(qorGetLastError(nullptr)); }, 0},
        NullCall{"GetLastErrorMessage", [] { return pointerIsNull(qorGetLastErrorMessage(nullptr)); }, 1},
        NullCall{"GetMaskedFileName", [] { return pointerIsNull(qorGetMaskedFileName("a.b", "*.c", nullptr)); }, 1}),
    qortest::caseName());

// ---------------------------------------------------------------- descriptors and identifiers

struct InfoCase {
  const char* name;
  std::function<qorFileInfo*()> make;
  int formatID;
  int coding;
  int images;
};
void PrintTo(const InfoCase& c, std::ostream* os) { *os << c.name; }

class FlatDescriptor : public testing::TestWithParam<InfoCase> {};

TEST_P(FlatDescriptor, QueriesShowTheFactoryArguments) {
  const InfoCase& c = GetParam();
  qorFileInfo* info = c.make();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(qorInf_FormatID(info), c.formatID);
  EXPECT_EQ(qorInf_Coding(info), c.coding);
  EXPECT_EQ(qorInf_SizeX(info), 70);
  EXPECT_EQ(qorInf_SizeY(info), 40);
  EXPECT_EQ(qorInf_NumberOfImages(info), c.images);
  EXPECT_EQ(qorInf_Size(info), 2800);
  delete info;
}

INSTANTIATE_TEST_SUITE_P(
    Factories, FlatDescriptor,
    testing::Values(InfoCase{"Kav", [] { return qorKavInfo(stSShort, 70, 40, 3, "name"); }, idKAV(), stSShort, 3},
                    InfoCase{"KavMemEns", [] { return qorKavMemEnsInfo(70, 40, 3); }, idKAVMEM(), stDouble, 3},
                    InfoCase{"Bmp", [] { return qorBmpInfo(8, 70, 40); }, idBMP(), 8, 1},
                    InfoCase{"BmpOS2", [] { return qorBmpOS2Info(24, 70, 40); }, idBMPOS2(), 24, 1}),
    qortest::caseName());

struct IdCase {
  const char* name;
  int (*flat)(void);
  int (*classes)();
};
void PrintTo(const IdCase& c, std::ostream* os) { *os << c.name; }

class FlatIdentifier : public testing::TestWithParam<IdCase> {};

TEST_P(FlatIdentifier, MatchesClassInterface) { EXPECT_EQ(GetParam().flat(), GetParam().classes()); }

INSTANTIATE_TEST_SUITE_P(Formats, FlatIdentifier,
                         testing::Values(IdCase{"BMP", qorBMP_ID, idBMP}, IdCase{"BMPOS2", qorBMPOS2_ID, idBMPOS2},
                                         IdCase{"KAV", qorKAV_ID, idKAV}, IdCase{"KAVMEM", qorKAVMEM_ID, idKAVMEM},
                                         IdCase{"DCX", qorDCX_ID, idDCX}, IdCase{"JPEG", qorJPEG_ID, idJPEG},
                                         IdCase{"PCX", qorPCX_ID, idPCX}, IdCase{"PNG", qorPNG_ID, idPNG},
                                         IdCase{"TGA", qorTGA_ID, idTGA}, IdCase{"TIFF", qorTIFF_ID, idTIFF},
                                         IdCase{"IMGLIST", qorIMGLIST_ID, idIMGLIST}),
                         qortest::caseName());

TEST(FlatIdentifiers, AreDistinct) {
  int (*all[])(void) = {qorBMP_ID, qorBMPOS2_ID, qorKAV_ID, qorKAVMEM_ID, qorDCX_ID,    qorJPEG_ID,
                        qorPCX_ID, qorPNG_ID,    qorTGA_ID, qorTIFF_ID,   qorIMGLIST_ID};
  for (size_t i = 0; i < std::size(all); ++i)
    for (size_t j = i + 1; j < std::size(all); ++j) EXPECT_NE(all[i](), all[j]()) << i << " " << j;
}

// ---------------------------------------------------------------- masked file names

struct MaskCase {
  const char* name;
  const char* fileName;
  const char* mask;
  const char* expected;  // null: refused
};
void PrintTo(const MaskCase& c, std::ostream* os) { *os << c.name; }

class FlatMask : public Flat, public testing::WithParamInterface<MaskCase> {};

TEST_P(FlatMask, MakesNameInManagerBufferWithoutRecording) {
  const MaskCase& c = GetParam();
  char* r = qorGetMaskedFileName(c.fileName, c.mask, manager);
  if (!c.expected) {
    EXPECT_EQ(r, nullptr);
  } else {
    ASSERT_NE(r, nullptr);
    EXPECT_STREQ(r, c.expected);
    EXPECT_EQ(r, qorGetLastErrorMessage(manager));
  }
  EXPECT_EQ(qorGetLastError(manager), 0);
  EXPECT_EQ(log.calls, 0);
}

const std::string longMask = "*." + std::string(400, 'x');

INSTANTIATE_TEST_SUITE_P(Masks, FlatMask,
                         testing::Values(MaskCase{"StemKept", "  picture.kav", " *.tif ", "picture.tif"},
                                         MaskCase{"WithoutExtension", "noext", "*.png", "noext.png"},
                                         MaskCase{"PlainMask", "picture.kav", "out.bmp", "out.bmp"},
                                         MaskCase{"TooLong", "picture.kav", longMask.c_str(), nullptr}),
                         qortest::caseName());

// ---------------------------------------------------------------- caller streams

TEST_F(Flat, CustomStreamRoundTripWithoutClose) {
  qorEnsemble* w = keep(qorEns_Create(&manager));
  qorEns_CustomOpenNew(w, qorKavInfo(stUChar, width, height, 2, "mem"), &file, MemoryFile::read, MemoryFile::write,
                       MemoryFile::seek, MemoryFile::tell, nullptr, MemoryFile::size);
  ASSERT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
  std::vector<unsigned char> a = ramp(5), b = ramp(9);
  qorEns_WriteUCharImage(w, 0, a.data());
  qorEns_WriteUCharImage(w, 1, b.data());
  qorEns_Close(w);
  ASSERT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
  EXPECT_FALSE(file.bytes.empty());

  // read-only: no write and no close function
  file.position = 0;
  qorEnsemble* r = keep(qorEns_Create(&manager));
  qorEns_CustomOpen(r, &file, MemoryFile::read, nullptr, MemoryFile::seek, MemoryFile::tell, nullptr,
                    MemoryFile::size);
  ASSERT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
  EXPECT_EQ(qorEns_NumberOfImages(r), 2);
  EXPECT_STREQ(qorEns_FileName(r), "");
  std::vector<unsigned char> got(pixels);
  qorEns_ReadUCharImage(r, 1, got.data());
  EXPECT_EQ(got, b);
  qorEns_ReadUCharImage(r, 0, got.data());
  EXPECT_EQ(got, a);
  EXPECT_EQ(qorGetLastError(manager), 0);
}

// Which caller functions are missing, and how the open turns out.
enum Missing { noRead = 1, noWrite = 2, noSeek = 4, noTell = 8, noClose = 16, noSize = 32 };

struct StreamCase {
  const char* name;
  bool creating;
  int missing;
  int error;   // recorded by the open; 0: it opened
  int images;  // when it opened
};
void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class FlatMissingFunction : public Flat, public testing::WithParamInterface<StreamCase> {};

TEST_P(FlatMissingFunction, ActsAsFailingOperation) {
  const StreamCase& c = GetParam();
  if (!c.creating) {
    qorEnsemble* w = keep(qorEns_Create(&manager));
    qorEns_CustomOpenNew(w, qorKavInfo(stUChar, width, height, 2, "mem"), &file, MemoryFile::read,
                         MemoryFile::write, MemoryFile::seek, MemoryFile::tell, MemoryFile::close, MemoryFile::size);
    qorEns_Close(w);
    ASSERT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
    file.position = 0;
  }
  qorEnsemble* e = keep(qorEns_Create(&manager));
  qorReadFn read = c.missing & noRead ? nullptr : MemoryFile::read;
  qorWriteFn write = c.missing & noWrite ? nullptr : MemoryFile::write;
  qorSeekFn seek = c.missing & noSeek ? nullptr : MemoryFile::seek;
  qorTellFn tell = c.missing & noTell ? nullptr : MemoryFile::tell;
  qorCloseFn close = c.missing & noClose ? nullptr : MemoryFile::close;
  qorSizeFn size = c.missing & noSize ? nullptr : MemoryFile::size;
  if (c.creating)
    qorEns_CustomOpenNew(e, qorKavInfo(stUChar, width, height, 2, "mem"), &file, read, write, seek, tell, close,
                         size);
  else
    qorEns_CustomOpen(e, &file, read, write, seek, tell, close, size);
  EXPECT_EQ(qorGetLastError(manager), c.error) << qorGetLastErrorMessage(manager);
  EXPECT_EQ(qorEns_IsOpen(e), c.error == 0 ? 1 : 0);
  if (c.error == 0) {
    EXPECT_EQ(qorEns_NumberOfImages(e), c.images);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Functions, FlatMissingFunction,
    testing::Values(StreamCase{"ReadWithoutRead", false, noRead, 3, 0},
                    StreamCase{"ReadWithoutSeek", false, noSeek, 3, 0},
                    StreamCase{"ReadWithoutSize", false, noSize, 0, 0},  // size 0: no whole image
                    StreamCase{"ReadWithoutWriteTellClose", false, noWrite | noTell | noClose, 0, 2},
                    StreamCase{"CreateWithoutWrite", true, noWrite, 3, 0},
                    StreamCase{"CreateWithoutReadTellClose", true, noRead | noTell | noClose, 0, 2}),
    qortest::caseName());

// ---------------------------------------------------------------- palette and properties

TEST_F(Flat, PaletteRoundTrip) {
  qorEnsemble* e = nativeFile(manager);
  ASSERT_NE(e, nullptr);
  std::vector<unsigned char> rgb(768);
  for (size_t k = 0; k < rgb.size(); ++k) rgb[k] = static_cast<unsigned char>(k * 7 + 1);
  unsigned char* set = qorEns_SetPalette(e, rgb.data());
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(set, set + 768), rgb);
  unsigned char* got = qorEns_GetPalette(e);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::vector<unsigned char>(got, got + 768), rgb);
  EXPECT_EQ(qorEns_PaletteSize(e), 256);

  EXPECT_EQ(qorEns_SetPalette(e, nullptr), nullptr);
  EXPECT_EQ(qorGetLastError(manager), 3);
  EXPECT_EQ(std::vector<unsigned char>(got, got + 768), rgb);
}

TEST_F(Flat, FillPaletteAsGrayGivesZeroEitherWay) {
  qorEnsemble* unopened = keep(qorEns_Create(&manager));
  EXPECT_EQ(qorEns_FillPaletteAsGray(unopened), 0);
  EXPECT_EQ(qorGetLastError(manager), 3);

  qorEnsemble* e = nativeFile(manager);
  ASSERT_NE(e, nullptr);
  std::vector<unsigned char> rgb(768, 200);
  ASSERT_NE(qorEns_SetPalette(e, rgb.data()), nullptr);
  EXPECT_EQ(qorEns_FillPaletteAsGray(e), 0);
  EXPECT_EQ(qorGetLastError(manager), 0);
  const unsigned char* p = qorEns_GetPalette(e);
  ASSERT_NE(p, nullptr);
  for (int k = 0; k < 256; ++k) {
    EXPECT_EQ(p[3 * k], k);
    EXPECT_EQ(p[3 * k + 1], k);
    EXPECT_EQ(p[3 * k + 2], k);
  }
}

TEST_F(Flat, PropertiesOfOpenNativeFile) {
  qorEnsemble* e = nativeFile(manager);
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(qorEns_FileName(e), path.c_str());
  EXPECT_EQ(qorEns_getEnsInfo(e), e->getFileInfo());
  EXPECT_EQ(qorEns_FormatID(e), idKAV());
  EXPECT_EQ(qorEns_Coding(e), stUChar);
  EXPECT_EQ(qorEns_BytesPerSizeX(e), 4);  // 5 pixels of one bit, padded to 4 bytes
  EXPECT_EQ(qorEns_WinDibInfoSize(e), 40 + 4 * 256);
  EXPECT_EQ(qorEns_WinDibBitsSize(e), 8 * height);
  EXPECT_EQ(qorEns_ImageIsLoaded(e, 0), 0);
  EXPECT_EQ(qorEns_SetF(e, qorNoScaling), 0);
  EXPECT_EQ(qorEns_GetF(e), qorNoScaling);
  EXPECT_EQ(qorEns_ClearF(e, qorNoScaling), 0);
  EXPECT_EQ(qorEns_GetF(e), 0);
  EXPECT_EQ(qorEns_IncreaseImagesNumber(e, 3), 5);
  EXPECT_EQ(qorEns_NumberOfImages(e), 5);
  EXPECT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
  EXPECT_EQ(log.calls, 0);
}

TEST_F(Flat, ReopeningReplacesFileAndKeepsEnsemble) {
  qorEnsemble* e = nativeFile(manager);
  ASSERT_NE(e, nullptr);
  qorEns_Open(e, path.c_str());
  EXPECT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
  EXPECT_EQ(qorEns_NumberOfImages(e), 2);
  qorEns_OpenNew(e, path.c_str(), qorKavInfo(stDouble, 2, 2, 1, "d"));
  EXPECT_EQ(qorGetLastError(manager), 0) << qorGetLastErrorMessage(manager);
  EXPECT_EQ(qorEns_Coding(e), stDouble);
  EXPECT_EQ(qorEns_Size(e), 4);
  qorEns_Open(e, "no such directory/none.kav");
  EXPECT_EQ(qorGetLastError(manager), 2);
  EXPECT_EQ(qorEns_IsOpen(e), 0);
}

}  // namespace
