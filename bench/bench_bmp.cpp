// Reading and writing 2048 x 2048 bitmap files, 8 and 24 bits per pixel, and a
// 4096 x 4096 24-bit file read through the flat interface beside a memcpy of
// the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
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

constexpr int bigSide = 4096;
const std::string bigPath = "/tmp/qor_bench_bmp_4096.bmp";

// A 4096 x 4096 24-bit file read into one caller buffer, reused between runs.
void BM_FlatReadBmp24Into(benchmark::State& state) {
  std::vector<unsigned char> p(size_t(bigSide) * bigSide * 3);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>(i * 7 + i / 4099);
  {
    TImageEnsemble e(bigPath.c_str(), fiBmpFileInfo(24, bigSide, bigSide), manager);
    e.writeRGBImage(0, p.data());
  }
  qorManager* m = manager;
  for (auto _ : state) {
    qorEnsemble* e = qorEns_COpen(&m, bigPath.c_str());
    qorEns_ReadRGBImage(e, 0, p.data());
    qorEns_Destroy(e);
    benchmark::DoNotOptimize(p.data());
  }
  if (qorGetLastError(m) != 0) state.SkipWithError(qorGetLastErrorMessage(m));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(p.size()));
}
BENCHMARK(BM_FlatReadBmp24Into)->Unit(benchmark::kMillisecond)->UseRealTime();

// The bound the read above is held to: 3 x this.
void BM_MemcpyBmp24Bytes(benchmark::State& state) {
  std::vector<unsigned char> from(size_t(bigSide) * bigSide * 3, 1), to(from.size());
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(from.size()));
}
BENCHMARK(BM_MemcpyBmp24Bytes)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
