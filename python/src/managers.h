// Data managers for the threads working in the library. A manager is not
// shared between threads; every call without an ensemble of its own borrows
// one for its duration, so that calls on many threads never meet in one.
#ifndef QORIMAGE_PY_MANAGERS_H
#define QORIMAGE_PY_MANAGERS_H

#include "zqorall.h"

// A manager variable lent to one caller until the lease ends; managers are
// made as concurrent callers need them and kept for the next ones.
class ManagerLease {
public:
  ManagerLease();
  ~ManagerLease();
  ManagerLease(const ManagerLease&) = delete;
  ManagerLease& operator=(const ManagerLease&) = delete;
  // The variable ensembles opened under this lease follow.
  TQORDataManager*& manager() { return *slot; }

private:
  TQORDataManager** slot;
};

// A manager variable owned by one open ensemble of the module's Ensemble class.
class OwnManager {
public:
  OwnManager();
  ~OwnManager();
  OwnManager(const OwnManager&) = delete;
  OwnManager& operator=(const OwnManager&) = delete;
  TQORDataManager*& manager() { return variable; }

private:
  TQORDataManager* variable;
};

#endif
