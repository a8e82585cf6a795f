// Fixed rows x columns table of pointers; cells start empty.
#ifndef ZMATRIX_H
#define ZMATRIX_H

#include <cstdlib>

#include "zovnutil.h"

template <class T>
class TqorMatrix {
public:
  TqorMatrix(long rows, long columns)
      : rows_(rows > 0 && columns > 0 ? rows : 0), columns_(rows > 0 && columns > 0 ? columns : 0) {
    long count;
    if (__builtin_mul_overflow(rows_, columns_, &count) || count > (1L << 40)) QOR_RAISE_MEMORY();
    cells_ = static_cast<T**>(std::calloc(count ? count : 1, sizeof(T*)));
    if (!cells_) QOR_RAISE_MEMORY();
  }
  ~TqorMatrix() { std::free(cells_); }
  TqorMatrix(const TqorMatrix&) = delete;
  TqorMatrix& operator=(const TqorMatrix&) = delete;

  long rows() const { return rows_; }
  long columns() const { return columns_; }
  long count() const { return rows_ * columns_; }

  T*& operator[](long i) {
    if (i < 0 || i >= count())
      QOR_RAISE("Index range check error in TqorMatrix object i = %ld, i must be 0 <= i < %ld", i,
                count());
    return cells_[i];
  }
  T*& operator()(long r, long s) {
    if (r < 0 || r >= rows_ || s < 0 || s >= columns_)
      QOR_RAISE("Index range check error r = %ld s = %ld", r, s);
    return cells_[r * columns_ + s];
  }

private:
  long rows_;
  long columns_;
  T** cells_;
};

#endif
