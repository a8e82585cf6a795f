// Console progress indicator and operation timer.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <regex>
#include <string>

#include "zprogres.h"

namespace {

// ---------------------------------------------------------------- titles

TEST(Indicator, StartsWithEmptyTitle) {
  TBasePerformanceIndicator base;
  EXPECT_STREQ(base.getTitle(), "");
  TCMDPerformanceIndicator console;
  EXPECT_STREQ(console.getTitle(), "");
}

struct TitleCase {
  size_t length;  // of the text given; SIZE_MAX: a null text
  size_t kept;
};

class Title : public testing::TestWithParam<TitleCase> {};

TEST_P(Title, KeepsAtMost199Characters) {
  const TitleCase& c = GetParam();
  std::string text(c.length == SIZE_MAX ? 0 : c.length, 'x');
  for (size_t i = 0; i < text.size(); ++i) text[i] = char('a' + i % 26);
  TBasePerformanceIndicator indicator;
  indicator.setTitle("previous");
  indicator.setTitle(c.length == SIZE_MAX ? nullptr : text.c_str());
  EXPECT_EQ(std::string(indicator.getTitle()), text.substr(0, c.kept));
}

INSTANTIATE_TEST_SUITE_P(Lengths, Title,
                         testing::Values(TitleCase{0, 0}, TitleCase{5, 5}, TitleCase{198, 198}, TitleCase{199, 199},
                                         TitleCase{200, 199}, TitleCase{1000, 199}, TitleCase{SIZE_MAX, 0}));

TEST(Indicator, CopiesCarryTheTitle) {
  TCMDPerformanceIndicator a;
  a.setTitle("Converting");
  TCMDPerformanceIndicator b(a);
  EXPECT_STREQ(b.getTitle(), "Converting");
  TCMDPerformanceIndicator c;
  c.setTitle("Other");
  c = a;
  EXPECT_STREQ(c.getTitle(), "Converting");
  a.setTitle("Changed");
  EXPECT_STREQ(b.getTitle(), "Converting");
}

TEST(Indicator, LibraryHasOneConsoleIndicator) {
  TBasePerformanceIndicator* p = performanceIndicator();
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p, performanceIndicator());
  EXPECT_NE(dynamic_cast<TCMDPerformanceIndicator*>(p), nullptr);
}

// ---------------------------------------------------------------- drawing

std::string drawn(TBasePerformanceIndicator& indicator, double fraction) {
  testing::internal::CaptureStdout();
  indicator.draw(fraction);
  return testing::internal::GetCapturedStdout();
}

struct DrawCase {
  const char* title;
  double fraction;
  const char* output;
};

class Draw : public testing::TestWithParam<DrawCase> {};

TEST_P(Draw, WritesPercentageInPlace) {
  const DrawCase& c = GetParam();
  TCMDPerformanceIndicator indicator;
  indicator.setTitle(c.title);
  EXPECT_EQ(drawn(indicator, c.fraction), c.output);
}

INSTANTIATE_TEST_SUITE_P(
    Fractions, Draw,
    testing::Values(DrawCase{"Load", 0.0, "Load -      \b\b\b\b  0%"}, DrawCase{"", 0.0, " -      \b\b\b\b  0%"},
                    DrawCase{"Load", 1e-11, "Load -      \b\b\b\b  0%"}, DrawCase{"Load", 0.5, "\b\b\b\b 50%"},
                    DrawCase{"Load", 0.07, "\b\b\b\b  7%"}, DrawCase{"Load", 0.999, "\b\b\b\b 99%"},
                    DrawCase{"Load", 1.0, "\b\b\b\b100%\n"}, DrawCase{"Load", 1.0 - 1e-12, "\b\b\b\b 99%\n"}));

TEST(Draw, BaseIndicatorDrawsNothing) {
  TBasePerformanceIndicator base;
  base.setTitle("Silent");
  EXPECT_EQ(drawn(base, 0.0), "");
  EXPECT_EQ(drawn(base, 1.0), "");
}

TEST(Draw, SequenceThroughLibraryIndicator) {
  TBasePerformanceIndicator* p = performanceIndicator();
  p->setTitle("Saving");
  std::string out = drawn(*p, 0.0) + drawn(*p, 0.25) + drawn(*p, 1.0);
  EXPECT_EQ(out, "Saving -      \b\b\b\b  0%\b\b\b\b 25%\b\b\b\b100%\n");
  p->setTitle("");
}

// ---------------------------------------------------------------- timing

struct SpanCase {
  double seconds;
  const char* tail;  // what follows "Operation have done for "
};

class Span : public testing::TestWithParam<SpanCase> {};

TEST_P(Span, FormatsWholeSecondsAndClock) {
  char out[200];
  TqorTimer::formatSpan(GetParam().seconds, out, sizeof out);
  EXPECT_EQ(std::string(out), std::string("Operation have done for ") + GetParam().tail);
}

INSTANTIATE_TEST_SUITE_P(Spans, Span,
                         testing::Values(SpanCase{3725, "3725 seconds(01:02:05).\n"},
                                         SpanCase{0.4, "0   seconds(00:00:00).\n"},
                                         SpanCase{0, "0   seconds(00:00:00).\n"},
                                         SpanCase{59.9, "59  seconds(00:00:59).\n"},
                                         SpanCase{3599, "3599 seconds(00:59:59).\n"},
                                         SpanCase{3600, "3600 seconds(01:00:00).\n"},
                                         SpanCase{7199.5, "7199 seconds(01:59:59).\n"},
                                         SpanCase{86399, "86399 seconds(23:59:59).\n"},
                                         SpanCase{90061, "90061 seconds(25:01:01).\n"}));

TEST(Span, SmallOutputIsCutNotOverrun) {
  char out[40];
  std::memset(out, '#', sizeof out);
  TqorTimer::formatSpan(3725, out, 12);
  EXPECT_STREQ(out, "Operation h");
  for (size_t i = 12; i < sizeof out; ++i) EXPECT_EQ(out[i], '#') << i;
}

TEST(Timer, PrintsBeginningAndSpan) {
  testing::internal::CaptureStdout();
  { TqorTimer timer; }
  const std::string out = testing::internal::GetCapturedStdout();
  static const std::regex shape(
      "^Operation begins on [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{2}:[0-9]{2}:[0-9]{2} [0-9]{4}\n"
      "Operation have done for [0-9]+ +seconds\\([0-9]{2}:[0-9]{2}:[0-9]{2}\\)\\.\n$");
  EXPECT_TRUE(std::regex_match(out, shape)) << out;
}

}  // namespace
