// The subcommands of qorimg and what they share.
#ifndef QORIMG_H
#define QORIMG_H

#include <stdexcept>
#include <string>
#include <vector>

#include "zqorall.h"

// A command line qorimg cannot follow: its text goes to standard error with
// the subcommand's usage, and the exit status is 2.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The arguments after the subcommand's name.
using Args = std::vector<std::string>;

// A data manager with every driver, destroyed with the guard. Ensembles keep
// the address of `m`: a guard outlives the ensembles opened on it.
struct ManagerGuard {
  TQORDataManager* m = getQorDataManager();
  ManagerGuard() = default;
  ~ManagerGuard() { destroyQORDataManager(m); }
  ManagerGuard(const ManagerGuard&) = delete;
  ManagerGuard& operator=(const ManagerGuard&) = delete;
};

// Each returns the exit status: 0 done, 1 a file failed; usage errors raise.
int runInfo(const Args& args);
int runConvert(const Args& args);
int runDump(const Args& args);
int runTour(const Args& args);

// The --help texts of the subcommands defined outside qorimg.cpp.
std::string convertUsage();
std::string tourUsage();

// The integer value of an option, or a usage error naming it.
int intOption(const std::string& option, const std::string& value, int low, int high);
// True when args holds --help or -h.
bool wantsHelp(const Args& args);
// "qorimg: FILE: message" on standard error.
void reportFailure(const std::string& file, const char* message);

#endif
