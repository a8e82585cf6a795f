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
  std::printf("%3d%%", static_cast<int>(fraction * 100));
  if (std::fabs(fraction - 1) < 1e-10) std::printf("\n");
  std::fflush(stdout);
}

namespace {
TCMDPerformanceIndicator theIndicator;
}

TBasePerformanceIndicator* performanceIndicator() { return &theIndicator; }

TqorTimer::TqorTimer() : start(std::time(nullptr)), finish(start) {
  std::printf("Operation begins on %s", std::ctime(&start));
}

void TqorTimer::formatSpan(double s, char* out, int outSize) {
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
