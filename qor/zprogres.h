// Console progress percentage and operation timing, for applications.
#ifndef ZPROGRES_H
#define ZPROGRES_H

#include <ctime>

#include "zqorcfg.h"

class QOR_API TBasePerformanceIndicator {
public:
  TBasePerformanceIndicator() { title[0] = '\0'; }
  TBasePerformanceIndicator(const TBasePerformanceIndicator& other);
  TBasePerformanceIndicator& operator=(const TBasePerformanceIndicator& other);
  // Keeps at most 199 characters of the text.
  virtual void setTitle(const char* text);
  // Shows the fraction done (0.0 at the start, 1.0 at the end).
  virtual void draw(double) {}
  virtual ~TBasePerformanceIndicator();
  const char* getTitle() const { return title; }

protected:
  char title[200];
};

// Redraws "title -    NN%" in place on standard output.
class QOR_API TCMDPerformanceIndicator : public TBasePerformanceIndicator {
public:
  void draw(double fraction) override;
};

// The library's one indicator.
QOR_API TBasePerformanceIndicator* performanceIndicator();

// Prints when it was made and, when destroyed, how long it lived.
class QOR_API TqorTimer {
public:
  TqorTimer();
  ~TqorTimer();
  TqorTimer(const TqorTimer&) = default;
  TqorTimer& operator=(const TqorTimer&) = default;

  // The closing line for a span of whole seconds.
  static void formatSpan(double seconds, char* out, int outSize);

private:
  time_t start;
  time_t finish;
};

#endif
