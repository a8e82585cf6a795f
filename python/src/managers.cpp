#include "managers.h"

#include <mutex>
#include <new>
#include <vector>

namespace {

std::mutex poolLock;
// Variables of managers no lease holds now; each lives as long as the process.
std::vector<TQORDataManager**>& idle() {
  static auto* slots = new std::vector<TQORDataManager**>();
  return *slots;
}

TQORDataManager* makeManager() {
  TQORDataManager* m = getQorDataManager();
  if (!m) throw std::bad_alloc();
  return m;
}

}  // namespace

ManagerLease::ManagerLease() : slot(nullptr) {
  {
    std::lock_guard<std::mutex> hold(poolLock);
    if (!idle().empty()) {
      slot = idle().back();
      idle().pop_back();
    }
  }
  if (!slot) slot = new TQORDataManager*(makeManager());
}

ManagerLease::~ManagerLease() {
  std::lock_guard<std::mutex> hold(poolLock);
  idle().push_back(slot);
}

OwnManager::OwnManager() : variable(makeManager()) {}

OwnManager::~OwnManager() {
  destroyQORDataManager(variable);
  variable = nullptr;
}
