// Growable array of pointers; the owner decides what the pointers mean.
#ifndef ZTVECTOR_H
#define ZTVECTOR_H

#include <cstdlib>

#include "zovnutil.h"

template <class T>
class TqorVector {
public:
  explicit TqorVector(int count = 0) : count_(0), items_(nullptr) { resize(count); }
  ~TqorVector() { std::free(items_); }
  TqorVector(const TqorVector&) = delete;
  TqorVector& operator=(const TqorVector&) = delete;

  int count() const { return count_; }

  // Grows or shrinks to n slots; new slots are empty, old ones keep their contents.
  void resize(int n) {
    if (n < 0) n = 0;
    T** grown = static_cast<T**>(std::realloc(items_, (n ? n : 1) * sizeof(T*)));
    if (!grown) QOR_RAISE_MEMORY();
    for (int i = count_; i < n; ++i) grown[i] = nullptr;
    items_ = grown;
    count_ = n;
  }

  // Appends one slot holding p.
  void append(T* p) {
    resize(count_ + 1);
    items_[count_ - 1] = p;
  }

  T*& operator[](int i) {
    if (i < 0 || i >= count_)
      QOR_RAISE("Index range check error j = %ld, j must be 0 <= j < %ld.", static_cast<long>(i),
                static_cast<long>(count_));
    return items_[i];
  }

private:
  int count_;
  T** items_;
};

#endif
