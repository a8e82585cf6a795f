// Writing a 4096 x 4096 photo-like RGB picture as PNG at compression levels 1,
// 6 and 12, beside libpng at its defaults (zlib level 6, every filter), and
// reading the file written back. The counters give the file's bytes.
#include <benchmark/benchmark.h>
#include <png.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "zqorall.h"

namespace {

constexpr int side = 4096;

TQORDataManager* manager = getQorDataManager();

// Gradients with a wave, shaded discs and sensor-like noise.
const std::vector<unsigned char>& picture() {
  static const std::vector<unsigned char> rgb = [] {
    std::vector<unsigned char> p(size_t(side) * side * 3);
    uint32_t seed = 20240611;
    auto noise = [&seed] {
      seed = seed * 1664525u + 1013904223u;
      return int(seed >> 29) - 3;
    };
    for (int y = 0; y < side; ++y) {
      const float v = float(y) / side;
      for (int x = 0; x < side; ++x) {
        const float u = float(x) / side;
        float c[3] = {40 + 150 * u + 20 * std::sin(5 * v + 3 * u), 70 + 110 * v + 25 * std::cos(7 * u * v + 1),
                      210 - 140 * std::sqrt((u - 0.6f) * (u - 0.6f) + (v - 0.25f) * (v - 0.25f))};
        for (int k = 0; k < 12; ++k) {
          const float cx = 0.1f + 0.07f * k, cy = 0.15f + 0.06f * float((k * 5) % 12), r = 0.04f + 0.01f * float(k % 4);
          const float d = (u - cx) * (u - cx) + (v - cy) * (v - cy);
          if (d < r * r) c[k % 3] = 30 + 200 * (1 - d / (r * r));
        }
        unsigned char* px = &p[(size_t(y) * side + size_t(x)) * 3];
        for (int k = 0; k < 3; ++k) {
          const int value = int(c[k]) + noise();
          px[k] = static_cast<unsigned char>(value < 0 ? 0 : value > 255 ? 255 : value);
        }
      }
    }
    return p;
  }();
  return rgb;
}

std::string pathFor(int level) { return "/tmp/qor_bench_png_" + std::to_string(level) + ".png"; }

long fileBytes(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 0;
  std::fseek(f, 0, SEEK_END);
  const long n = std::ftell(f);
  std::fclose(f);
  return n;
}

void write(int level) {
  TImageEnsemble e(pathFor(level).c_str(), fiPngFileInfo(24, side, side, 0, level), manager);
  e.writeRGBImage(0, const_cast<unsigned char*>(picture().data()));
}

void BM_WritePng24(benchmark::State& state) {
  const int level = int(state.range(0));
  picture();
  for (auto _ : state) write(level);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(picture().size()));
  state.counters["file_bytes"] = double(fileBytes(pathFor(level)));
}
BENCHMARK(BM_WritePng24)->Arg(1)->Arg(6)->Arg(12)->Unit(benchmark::kMillisecond);

// The same picture through libpng at its defaults, as a plain C program writes it.
void BM_WritePng24Libpng(benchmark::State& state) {
  const std::string path = "/tmp/qor_bench_png_libpng.png";
  const std::vector<unsigned char>& rgb = picture();
  for (auto _ : state) {
    FILE* f = std::fopen(path.c_str(), "wb");
    png_structp p = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(p);
    if (setjmp(png_jmpbuf(p))) {
      state.SkipWithError("libpng failed");
      png_destroy_write_struct(&p, &info);
      std::fclose(f);
      return;
    }
    png_init_io(p, f);
    png_set_IHDR(p, info, side, side, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(p, info);
    for (int y = 0; y < side; ++y) png_write_row(p, rgb.data() + size_t(y) * side * 3);
    png_write_end(p, nullptr);
    png_destroy_write_struct(&p, &info);
    std::fclose(f);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(rgb.size()));
  state.counters["file_bytes"] = double(fileBytes(path));
}
BENCHMARK(BM_WritePng24Libpng)->Unit(benchmark::kMillisecond);

void BM_ReadPng24(benchmark::State& state) {
  write(TPngFileInfo::defaultLevel);
  std::vector<unsigned char> rgb(picture().size());
  for (auto _ : state) {
    TImageEnsemble e(pathFor(TPngFileInfo::defaultLevel).c_str(), manager);
    e.readRGBImage(0, rgb.data());
    benchmark::DoNotOptimize(rgb.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(rgb.size()));
}
BENCHMARK(BM_ReadPng24)->Unit(benchmark::kMillisecond);

}  // namespace
