// Row throughput of the coding converters (zsigens2), in pixels per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "zsigens2.h"

namespace {

constexpr int rowPixels = 2048;
constexpr int rows = 64;
constexpr int pixels = rowPixels * rows;

template <class T>
std::vector<T> sourceImage() {
  std::vector<T> v(pixels);
  std::uint32_t x = 12345;
  for (int i = 0; i < pixels; ++i) {
    x = x * 1664525u + 1013904223u;
    if constexpr (sizeof(T) == 8)
      v[i] = static_cast<T>(static_cast<double>(x >> 8) / (1 << 24) * 2000.0 - 1000.0);
    else
      v[i] = static_cast<T>(x >> 16);
  }
  return v;
}

template <class A, class B>
void runRows(benchmark::State& state, TImgConvertA2B& c) {
  std::vector<A> src = sourceImage<A>();
  std::vector<B> dest(pixels);
  for (auto _ : state) {
    for (int r = 0; r < rows; ++r)
      c.convert(dest.data() + r * rowPixels, src.data() + r * rowPixels, rowPixels);
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() * pixels * static_cast<int64_t>(sizeof(A)));
}

// The floor for the copy converters: memcpy of the same rows.
template <class T>
void BM_Memcpy(benchmark::State& state) {
  std::vector<T> src = sourceImage<T>();
  std::vector<T> dest(pixels);
  for (auto _ : state) {
    for (int r = 0; r < rows; ++r)
      std::memcpy(dest.data() + r * rowPixels, src.data() + r * rowPixels, rowPixels * sizeof(T));
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * pixels);
  state.SetBytesProcessed(state.iterations() * pixels * static_cast<int64_t>(sizeof(T)));
}
BENCHMARK_TEMPLATE(BM_Memcpy, unsigned char);
BENCHMARK_TEMPLATE(BM_Memcpy, short);
BENCHMARK_TEMPLATE(BM_Memcpy, double);

void BM_CopyUChar(benchmark::State& state) {
  TUImgConvertA2B<unsigned char, unsigned char> c(255, 0, 0, 1);
  runRows<unsigned char, unsigned char>(state, c);
}
BENCHMARK(BM_CopyUChar);

void BM_CopySShort(benchmark::State& state) {
  TUImgConvertA2B<short, short> c(32767, -32768, 0, 1);
  runRows<short, short>(state, c);
}
BENCHMARK(BM_CopySShort);

void BM_CopyDouble(benchmark::State& state) {
  TUImgConvertA2B<double, double> c(1.7976931348623157e308, -1.7976931348623157e308, 0, 1);
  runRows<double, double>(state, c);
}
BENCHMARK(BM_CopyDouble);

// Writing a double image into a signed 16-bit file: scaled and rounded.
void BM_DoubleToSShortScaled(benchmark::State& state) {
  TUImgConvertA2B<double, short> c(32767, -32768, 1, 0);
  c.setSourceRange(1000, -1000);
  runRows<double, short>(state, c);
}
BENCHMARK(BM_DoubleToSShortScaled);

// The same with a scale that is no power of two (division kept per element).
void BM_DoubleToSShortOddScale(benchmark::State& state) {
  TUImgConvertA2B<double, short> c(32767, -32768, 1, 0);
  c.setScale(1, 0.03);
  runRows<double, short>(state, c);
}
BENCHMARK(BM_DoubleToSShortOddScale);

void BM_DoubleToUCharRounded(benchmark::State& state) {
  TUImgConvertA2B<double, unsigned char> c(255, 0, 0, 0);
  runRows<double, unsigned char>(state, c);
}
BENCHMARK(BM_DoubleToUCharRounded);

// Reading an unsigned 8-bit file into a double image.
void BM_UCharToDouble(benchmark::State& state) {
  TUImgConvertA2B<unsigned char, double> c(1.7976931348623157e308, -1.7976931348623157e308, 1, 1);
  runRows<unsigned char, double>(state, c);
}
BENCHMARK(BM_UCharToDouble);

void BM_SShortToDouble(benchmark::State& state) {
  TUImgConvertA2B<short, double> c(1.7976931348623157e308, -1.7976931348623157e308, 1, 1);
  c.setScale(1, 0.5);
  runRows<short, double>(state, c);
}
BENCHMARK(BM_SShortToDouble);

void BM_SCharToUChar(benchmark::State& state) {
  TImgConvertSChar2UChar c;
  runRows<signed char, unsigned char>(state, c);
}
BENCHMARK(BM_SCharToUChar);

void BM_UCharToSChar(benchmark::State& state) {
  TImgConvertUChar2SChar c;
  runRows<unsigned char, signed char>(state, c);
}
BENCHMARK(BM_UCharToSChar);

}  // namespace
