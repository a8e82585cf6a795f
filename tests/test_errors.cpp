// Error road: message composition, the where-text, the raise helpers, the
// exception's copies and the index checks of the container templates.

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <regex>
#include <string>
#include <type_traits>

#include "zmatrix.h"
#include "zovnutil.h"
#include "ztvector.h"

#include "testutil.h"

using qortest::raises;

namespace {

const std::string kWhere = " This error occured in file \"";

// The x_qor that f raises.
template <class F>
x_qor caught(F&& f) {
  try {
    f();
  } catch (const x_qor& e) {
    return e;
  }
  ADD_FAILURE() << "nothing was raised";
  return x_qor("", 0);
}

// ---------------------------------------------------------------- composition

struct HookCase {
  int code;
  const char* text;
  const char* where;
  const char* expected;
};
void PrintTo(const HookCase& c, std::ostream* os) { *os << "code " << c.code; }

class ErrorHook : public testing::TestWithParam<HookCase> {};

TEST_P(ErrorHook, ComposesPrefixBodyAndWhere) {
  const HookCase& c = GetParam();
  x_qor e = caught([&] { qorErrorHook(c.code, c.text, c.where); });
  EXPECT_STREQ(e.msg(), c.expected);
  EXPECT_EQ(e.error(), c.code);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ErrorHook,
    testing::Values(HookCase{1, "ignored", " W.", "Error! Not enough memory W."},  // no line feed
                    HookCase{2, "pic.bmp", " W.", "Error! Can't open file pic.bmp\n W."},
                    HookCase{3, "Bad header.", " W.", "Error! Bad header. W."},
                    HookCase{7, "ignored", " W.", "Error!  W."}, HookCase{0, "ignored", " W.", "Error!  W."},
                    HookCase{2, "", "", "Error! Can't open file \n"}, HookCase{3, nullptr, nullptr, "Error! "},
                    HookCase{2, nullptr, " W.", "Error! Can't open file \n W."}));

// Long parts: the message is the first 299 characters of the full composition.
struct LongCase {
  int code;
  size_t textLength;
  size_t whereLength;
  const char* intro;
};

class ErrorHookLong : public testing::TestWithParam<LongCase> {};

TEST_P(ErrorHookLong, CutsAt299Characters) {
  const LongCase& c = GetParam();
  const std::string text(c.textLength, 'n'), where(c.whereLength, 'w');
  x_qor e = caught([&] { qorErrorHook(c.code, text.c_str(), where.c_str()); });
  const std::string msg = e.msg();
  EXPECT_EQ(msg.size(), 299u);
  EXPECT_EQ(msg.rfind(c.intro, 0), 0u) << msg;
  EXPECT_EQ(e.error(), c.code);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ErrorHookLong,
                         testing::Values(LongCase{2, 1000, 60, "Error! Can't open file nnnn"},
                                         LongCase{3, 1000, 60, "Error! nnnn"},
                                         LongCase{3, 10, 1000, "Error! nnnnnnnnnnwww"},
                                         LongCase{1, 0, 1000, "Error! Not enough memorywww"},
                                         LongCase{9, 0, 5000, "Error! www"},
                                         LongCase{3, 292, 0, "Error! nnn"},  // exactly fits
                                         LongCase{3, 293, 0, "Error! nnn"}));

TEST(CompilingInfo, WritesBoundedWhereTextIntoHolder) {
  TciString holder;
  char* where = compilingInfo("zsignal1", 417, &holder);
  EXPECT_EQ(where, holder.text);
  EXPECT_STREQ(where, " This error occured in file \"zsignal1\" on line 417.");

  const std::string name(1000, 'f');
  const std::string longWhere = compilingInfo(name.c_str(), 5, &holder);
  EXPECT_EQ(longWhere.size(), 299u);
  EXPECT_EQ(longWhere.rfind(kWhere + "ffff", 0), 0u);

  EXPECT_STREQ(compilingInfo("zsignal1", 1, nullptr), "");
  delete[] holder.text;
  holder.text = nullptr;
  EXPECT_STREQ(compilingInfo("zsignal1", 1, &holder), "");
}

// ---------------------------------------------------------------- raise helpers

struct UnitCase {
  const char* file;
  const char* unit;
};

class RaiseUnit : public testing::TestWithParam<UnitCase> {};

TEST_P(RaiseUnit, WhereNamesUnitWithoutDirectoryOrExtension) {
  const UnitCase& c = GetParam();
  x_qor e = caught([&] { qorRaiseFormatted(c.file, 42, 3, "Bad %s %d.", "value", 9); });
  EXPECT_EQ(std::string(e.msg()), "Error! Bad value 9." + kWhere + c.unit + "\" on line 42.");
  EXPECT_EQ(e.error(), 3);
}

INSTANTIATE_TEST_SUITE_P(Files, RaiseUnit,
                         testing::Values(UnitCase{"/work/main/qor/zsignal1.cpp", "zsignal1"},
                                         UnitCase{"qor/zmatrix.h", "zmatrix"}, UnitCase{"zstream.cpp", "zstream"},
                                         UnitCase{"build.d/x.y/ztvector.h", "ztvector"},
                                         UnitCase{"zpack.tar.gz", "zpack"}, UnitCase{"noext", "noext"}));

TEST(RaiseHelpers, CodesAndTexts) {
  EXPECT_TRUE(raises([] { qorRaiseText("a/zjpgdrv.cpp", 3, 2, "photo.jpg"); }, 2, "Can't open file photo.jpg\n",
                     "zjpgdrv"));
  EXPECT_TRUE(raises([] { qorRaiseText("a/zpngdrv.cpp", 3, 1, ""); }, 1, "Not enough memory", "zpngdrv"));
  // a plain text is not a format
  EXPECT_TRUE(raises([] { qorRaiseText("a/zpcxdrv.cpp", 3, 3, "Plain %d."); }, 3, "Plain %d.", "zpcxdrv"));
  EXPECT_TRUE(raises([] { QOR_RAISE("Value %d out of %s.", 12, "range"); }, 3, "Value 12 out of range.",
                     "test_errors"));
}

TEST(RaiseHelpers, LongFileNamesAndMessagesAreBounded) {
  const std::string file = "/src/" + std::string(1000, 'u') + ".cpp";
  std::string msg = caught([&] { qorRaiseFormatted(file.c_str(), 77, 3, "%s", "Short."); }).msg();
  EXPECT_LE(msg.size(), 299u);
  EXPECT_EQ(msg.rfind("Error! Short." + kWhere + "uuuu", 0), 0u) << msg;

  const std::string big(2000, 'm');
  msg = caught([&] { qorRaiseFormatted("zsigens1.cpp", 1, 3, "%s%s", big.c_str(), big.c_str()); }).msg();
  EXPECT_EQ(msg.size(), 299u);
  EXPECT_EQ(msg.rfind("Error! mmm", 0), 0u);
}

// ---------------------------------------------------------------- the exception object

TEST(Exception, KeepsAtMost299CharactersAndCopies) {
  static_assert(std::is_copy_constructible_v<x_qor> && std::is_copy_assignable_v<x_qor>);
  const std::string text(500, 'z');
  EXPECT_EQ(std::string(x_qor(text.c_str(), 3).msg()), text.substr(0, 299));
  EXPECT_STREQ(x_qor(nullptr, 1).msg(), "");

  x_qor original("Error! Something broke.", 3);
  x_qor copy(original);
  EXPECT_STREQ(copy.msg(), "Error! Something broke.");
  EXPECT_EQ(copy.error(), 3);
  x_qor target("Error! A much longer message that will be replaced entirely.", 2);
  target = original;
  EXPECT_STREQ(target.msg(), "Error! Something broke.");
  EXPECT_EQ(target.error(), 3);

  const std::string longest(299, 'k');
  x_qor full(longest.c_str(), 1);
  EXPECT_EQ(std::string(x_qor(full).msg()), longest);
  target = full;
  EXPECT_EQ(std::string(target.msg()), longest);
  EXPECT_EQ(target.error(), 1);
}

// ---------------------------------------------------------------- index checks

std::string linearError(long j, long n) {
  return "Index range check error j = " + std::to_string(j) + ", j must be 0 <= j < " + std::to_string(n) + ".";
}

TEST(CheckIndex, RaisesOutsideRange) {
  EXPECT_NO_THROW(qorCheckIndex(0, 1));
  EXPECT_NO_THROW(qorCheckIndex(9, 10));
  const long bad[][2] = {{10, 10}, {-1, 10}, {0, 0}, {LONG_MIN, LONG_MAX}};
  for (const auto& b : bad) EXPECT_TRUE(raises([&] { qorCheckIndex(b[0], b[1]); }, 3, linearError(b[0], b[1]), "zovnutil"));
}

static_assert(!std::is_copy_constructible_v<TqorMatrix<int>> && !std::is_copy_constructible_v<TqorVector<int>>);

TEST(Matrix, CellsStartEmptyAndMapRowMajor) {
  TqorMatrix<int> m(3, 4);
  int values[12];
  for (long i = 0; i < 12; ++i) {
    EXPECT_EQ(m[i], nullptr);
    m[i] = &values[i];
  }
  EXPECT_EQ(m(1, 2), &values[6]);
  EXPECT_EQ(m(2, 3), &values[11]);
}

TEST(Matrix, IndexMessages) {
  TqorMatrix<int> m(3, 4);
  const std::string linear = "Index range check error in TqorMatrix object i = ";
  EXPECT_TRUE(raises([&] { m[12]; }, 3, linear + "12, i must be 0 <= i < 12", "zmatrix"));
  EXPECT_TRUE(raises([&] { m[-1]; }, 3, linear + "-1, i must be 0 <= i < 12", "zmatrix"));
  // (1, 5) lies inside the 12 cells but outside a row
  const long bad[][2] = {{3, 0}, {0, 4}, {-1, -1}, {1, 5}};
  for (const auto& b : bad) {
    const std::string text =
        "Index range check error r = " + std::to_string(b[0]) + " s = " + std::to_string(b[1]);
    EXPECT_TRUE(raises([&] { m(b[0], b[1]); }, 3, text, "zmatrix"));
  }
}

TEST(Matrix, NegativeDimensionsHaveNoCells) {
  // a table with a negative dimension holds no cells: no linear index may reach its storage
  const long dims[][2] = {{-2, 3}, {3, -2}, {-2, -3}, {0, 5}};
  for (const auto& d : dims) {
    TqorMatrix<int> m(d[0], d[1]);
    for (long i = 0; i < 6; ++i) EXPECT_THROW(m[i], x_qor) << "rows " << d[0] << " columns " << d[1] << " i " << i;
    EXPECT_THROW(m(0, 0), x_qor);
  }
}

TEST(Vector, GrowsKeepingContentsAndShrinks) {
  int a = 1, b = 2;
  TqorVector<int> v(2);
  v[0] = &a;
  v.append(&b);
  ASSERT_EQ(v.count(), 3);
  EXPECT_EQ(v[0], &a);
  EXPECT_EQ(v[1], nullptr);
  EXPECT_EQ(v[2], &b);
  v.resize(1);
  v.resize(3);
  EXPECT_EQ(v[0], &a);
  EXPECT_EQ(v[2], nullptr);
  v.resize(-4);
  EXPECT_EQ(v.count(), 0);
}

TEST(Vector, IndexMessage) {
  TqorVector<int> v(3), empty;
  EXPECT_TRUE(raises([&] { v[3]; }, 3, linearError(3, 3), "ztvector"));
  EXPECT_TRUE(raises([&] { v[-2]; }, 3, linearError(-2, 3), "ztvector"));
  EXPECT_TRUE(raises([&] { empty[0]; }, 3, linearError(0, 0), "ztvector"));
}

}  // namespace
