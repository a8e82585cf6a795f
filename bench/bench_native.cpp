// Reading and writing 2048 x 2048 native files in each coding, against fread.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "zqorall.h"

namespace {

constexpr int side = 2048;

std::string pathFor(int coding) { return "/tmp/qor_bench_native_" + std::to_string(coding) + ".kav"; }

TQORDataManager* manager = getQorDataManager();

void makeFile(int coding) {
  TImageEnsemble e(pathFor(coding).c_str(), fiKavFileInfo(coding, side, side, 1, "bench"), manager);
  std::vector<double> pixels(size_t(side) * side);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = double(i % 251);
  e.writeDoubleImage(0, pixels.data());
}

void BM_ReadNativeToUChar(benchmark::State& state) {
  makeFile(stUChar);
  std::vector<unsigned char> pixels(size_t(side) * side);
  for (auto _ : state) {
    TImageEnsemble e(pathFor(stUChar).c_str(), manager);
    e.readUCharImage(0, pixels.data());
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * side * side);
}
BENCHMARK(BM_ReadNativeToUChar)->Unit(benchmark::kMillisecond);

// The same bytes through plain fread, for comparison.
void BM_FreadSameBytes(benchmark::State& state) {
  makeFile(stUChar);
  std::vector<unsigned char> bytes(size_t(side + 1) * side);
  for (auto _ : state) {
    FILE* f = std::fopen(pathFor(stUChar).c_str(), "rb");
    size_t n = std::fread(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * side * side);
}
BENCHMARK(BM_FreadSameBytes)->Unit(benchmark::kMillisecond);

void BM_ReadNativeToDouble(benchmark::State& state) {
  int coding = int(state.range(0));
  makeFile(coding);
  std::vector<double> pixels(size_t(side) * side);
  for (auto _ : state) {
    TImageEnsemble e(pathFor(coding).c_str(), manager);
    e.readDoubleImage(0, pixels.data());
    benchmark::DoNotOptimize(pixels.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * side * side);
}
BENCHMARK(BM_ReadNativeToDouble)
    ->Arg(stDouble)->Arg(stSChar)->Arg(stSShort)->Arg(stUChar)->Arg(stUShort)->Arg(stSLong)->Arg(stULong)
    ->Unit(benchmark::kMillisecond);

void BM_WriteNativeFromDouble(benchmark::State& state) {
  int coding = int(state.range(0));
  std::vector<double> pixels(size_t(side) * side);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = double(i % 1000) - 300.5;
  for (auto _ : state) {
    TImageEnsemble e(pathFor(coding).c_str(), fiKavFileInfo(coding, side, side, 1, "bench"), manager);
    e.writeDoubleImage(0, pixels.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * side * side);
}
BENCHMARK(BM_WriteNativeFromDouble)
    ->Arg(stDouble)->Arg(stSChar)->Arg(stSShort)->Arg(stUChar)->Arg(stUShort)->Arg(stSLong)->Arg(stULong)
    ->Unit(benchmark::kMillisecond);

}  // namespace
