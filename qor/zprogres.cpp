#include "zprogres.h"

#include <cmath>
#include <cstdio>
#include <cstring>

TBasePerformanceIndicator::TBasePerformanceIndicator(const TBasePerformanceIndicator& other) {
  std::memcpy(title, other.title, sizeof title);
}

TBasePerformanceIndicator& TBasePerformanceIndicator::operator=(const TBasePerformanceIndicator& other) {
  std::memcpy(title, other.title, sizeof title);
  return *this;
}

TBasePerformanceIndicator::~TBasePerformanceIndicator() = default;

void TBasePerformanceIndicator::setTitle(const char* text) {
  std::snprintf(title, sizeof title, "%s", text ? text : "");
}

void TCMDPerformanceIndicator::draw(double fraction) {
  if (std::fabs(fraction) < 1e-10) std::printf("%s -      ", title);
  std::printf("\b\b\b\b");
  double percent = fraction * 100;
  // NaN and values far outside 0..1 have no int value
  if (!(percent > -1e6)) percent = percent != percent ? 0 : -1e6;
  if (percent > 1e6) percent = 1e6;
  std::printf("%3d%%", static_cast<int>(percent));
  if (std::fabs(fraction - 1) < 1e-10) std::printf("\n");
  std::fflush(stdout);
}

namespace {
TCMDPerformanceIndicator theIndicator;
}

TBasePerformanceIndicator* performanceIndicator() { return &theIndicator; }

TqorTimer::TqorTimer() : start(std::time(nullptr)), finish(start) {
  // ctime_r: timers of different threads do not share ctime's buffer
  char text[64];
  std::printf("Operation begins on %s", ctime_r(&start, text) ? text : "?\n");
}

void TqorTimer::formatSpan(double s, char* out, int outSize) {
  if (!(s >= 0)) s = 0;
  if (s > 1e15) s = 1e15;
  long whole = static_cast<long>(s);
  int hours = static_cast<int>(s * (1.0 / 3600));
  int minutes = static_cast<int>((whole % 3600) / 60);
  int seconds = static_cast<int>((whole % 3600) % 60);
  std::snprintf(out, static_cast<size_t>(outSize),
                "Operation have done for %-3.1ld seconds(%02d:%02d:%02d).\n", whole, hours, minutes, seconds);
}

TqorTimer::~TqorTimer() {
  finish = std::time(nullptr);
  char line[200];
  formatSpan(std::difftime(finish, start), line, sizeof line);
  std::fputs(line, stdout);
}
