// Reading and writing 2048 x 2048 bitmap files, 8 and 24 bits per pixel.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "zqorall.h"

namespace {

constexpr int side = 2048;

TQORDataManager* manager = getQorDataManager();

std::string pathFor(int bits) { return "/tmp/qor_bench_bmp_" + std::to_string(bits) + ".bmp"; }

std::vector<unsigned char> pixels(int bits) {
  std::vector<unsigned char> p(size_t(side) * side * (bits == 24 ? 3 : 1));
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(i * 7 + i / 4099);
  return p;
}

void write(int bits, std::vector<unsigned char>& p) {
  TImageEnsemble e(pathFor(bits).c_str(), fiBmpFileInfo(bits, side, side), manager);
  if (bits == 24)
    e.writeRGBImage(0, p.data());
  else
    e.writeUCharImage(0, p.data());
}

void BM_WriteBmp(benchmark::State& state) {
  const int bits = int(state.range(0));
  std::vector<unsigned char> p = pixels(bits);
  for (auto _ : state) write(bits, p);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size()));
}
BENCHMARK(BM_WriteBmp)->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);

void BM_ReadBmp(benchmark::State& state) {
  const int bits = int(state.range(0));
  std::vector<unsigned char> p = pixels(bits);
  write(bits, p);
  for (auto _ : state) {
    TImageEnsemble e(pathFor(bits).c_str(), manager);
    if (bits == 24)
      e.readRGBImage(0, p.data());
    else
      e.readUCharImage(0, p.data());
    benchmark::DoNotOptimize(p.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size()));
}
BENCHMARK(BM_ReadBmp)->Arg(8)->Arg(24)->Unit(benchmark::kMillisecond);

// 24-bit rows into grey levels: the colour-to-grey converter on every pixel.
void BM_ReadBmp24AsGrey(benchmark::State& state) {
  std::vector<unsigned char> p = pixels(24);
  write(24, p);
  std::vector<unsigned char> grey(size_t(side) * side);
  for (auto _ : state) {
    TImageEnsemble e(pathFor(24).c_str(), manager);
    e.readUCharImage(0, grey.data());
    benchmark::DoNotOptimize(grey.data());
  }
  state.SetItemsProcessed(int64_t(state.iterations()) * side * side);
}
BENCHMARK(BM_ReadBmp24AsGrey)->Unit(benchmark::kMillisecond);

}  // namespace
