// Bicubic resize of the batch's sizes: 4000 x 3000 and 6000 x 4000 24-bit
// pictures down to a longer side of 1024, through the SIMD kernels (when the
// processor has them) and the portable ones. Every benchmark first checks
// that both give the same bytes.
//
// With PARVULA_BENCH_IMAGE=<binary PPM> and PARVULA_BENCH_SIZE=<w>x<h> it also
// times that picture (bench/run_resize_compare.sh uses this to compare with
// a peer on the very same pixels).
#include "vexImageTransform.h"

#include "ops/resize_rows.h"
#include "platform/cpu_features.h"

#include <benchmark/benchmark.h>

#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using bench_support::read_ppm;

// The resize through the transform, as the batch calls it.
std::unique_ptr<TvexImage> resize(TvexImage& source, int w, int h, bool* used_simd = nullptr) {
  auto result = std::make_unique<TvexImage>();
  result->SetWidth(w);
  result->SetHeight(h);
  TvexImageTransform t(nullptr);
  t.SetSourceImage(0, &source);
  t.SetResultImage(result.get());
  if (!t.Resize(IP_BICUBIC)) return nullptr;
  if (used_simd) *used_simd = t.UsedSimd();
  return result;
}

// The same scale through the scaler's kernels of one kind.
std::unique_ptr<TvexImage> resize_with(TvexImage& source, int w, int h, const TvexFixedMatrix& m,
                                       bool simd) {
  auto result = std::make_unique<TvexImage>();
  result->SetWidth(w);
  result->SetHeight(h);
  result->SetBitCount(24);
  vex::resize::SourceView view;
  view.top = source.ScanLine(0);
  view.stride = source.ScanLine(1) - source.ScanLine(0);
  view.width = source.Width();
  view.height = source.Height();
  view.bytes_per_pixel = 3;
  std::vector<std::int32_t> ix(static_cast<std::size_t>(w));
  std::vector<std::uint8_t> fx(ix.size());
  for (int x = 0; x < w; ++x) {
    const std::int64_t X = static_cast<std::int64_t>(m.a) * x;
    ix[x] = static_cast<std::int32_t>(std::min<std::int64_t>(X >> 10, source.Width() - 1));
    fx[x] = X >> 10 > source.Width() - 1 ? 0 : static_cast<std::uint8_t>((X >> 2) & 255);
  }
  vex::resize::BicubicScaler scaler(view, ix.data(), fx.data(), w, simd);
  for (int y = 0; y < h; ++y) {
    const std::int64_t Y = static_cast<std::int64_t>(m.d) * y;
    const bool past = (Y >> 10) > source.Height() - 1;
    scaler.Row(past ? source.Height() - 1 : static_cast<std::int32_t>(Y >> 10),
               past ? 0 : static_cast<std::uint8_t>((Y >> 2) & 255), result->ScanLine(y));
  }
  return result;
}

bool same_pixels(TvexImage& a, TvexImage& b) {
  for (int y = 0; y < a.Height(); ++y)
    if (std::memcmp(a.ScanLine(y), b.ScanLine(y), static_cast<std::size_t>(a.Width()) * 3) != 0)
      return false;
  return true;
}

// Verifies the transform, the SSE2 kernels and the portable kernels agree.
bool verify(TvexImage& source, int w, int h) {
  auto out = std::make_unique<TvexImage>();
  out->SetWidth(w);
  out->SetHeight(h);
  TvexImageTransform t;
  t.SetSourceImage(0, &source);
  t.SetResultImage(out.get());
  if (!t.Resize(IP_BICUBIC)) return false;
  auto portable = resize_with(source, w, h, t.FixedMatrix(), false);
  auto simd = resize_with(source, w, h, t.FixedMatrix(), true);
  return same_pixels(*out, *portable) && same_pixels(*out, *simd);
}

struct Picture {
  std::unique_ptr<TvexImage> image;
  bool verified = false;
};

Picture& picture(int w, int h, int rw, int rh) {
  static std::unique_ptr<Picture> cache[2];
  const int slot = w == 4000 ? 0 : 1;
  if (!cache[slot]) {
    cache[slot] = std::make_unique<Picture>();
    cache[slot]->image = bench_support::make_picture(w, h, 15);
    cache[slot]->verified = verify(*cache[slot]->image, rw, rh);
  }
  return *cache[slot];
}

void run(benchmark::State& state, TvexImage& source, int rw, int rh) {
  bool used_simd = false;
  for (auto _ : state) {
    auto result = resize(source, rw, rh, &used_simd);
    benchmark::DoNotOptimize(result->Bits());
  }
  state.SetLabel(used_simd ? vex::platform::simd_level_name(vex::platform::simd_level())
                           : "portable");
  state.counters["Mpix_in/s"] =
      benchmark::Counter(static_cast<double>(source.Width()) * source.Height() / 1e6,
                         benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Bicubic_4000x3000_to_1024x768(benchmark::State& state) {
  Picture& p = picture(4000, 3000, 1024, 768);
  if (!p.verified) return state.SkipWithError("fast and portable kernels differ");
  run(state, *p.image, 1024, 768);
}

void BM_Bicubic_6000x4000_to_1024x683(benchmark::State& state) {
  Picture& p = picture(6000, 4000, 1024, 683);
  if (!p.verified) return state.SkipWithError("fast and portable kernels differ");
  run(state, *p.image, 1024, 683);
}

// The portable kernels alone (what PARVULA_SIMD=none runs).
void BM_BicubicPortable_4000x3000_to_1024x768(benchmark::State& state) {
  Picture& p = picture(4000, 3000, 1024, 768);
  if (!p.verified) return state.SkipWithError("fast and portable kernels differ");
  TvexFixedMatrix m;
  m.a = m.d = 4000;
  for (auto _ : state) {
    auto result = resize_with(*p.image, 1024, 768, m, false);
    benchmark::DoNotOptimize(result->Bits());
  }
}

BENCHMARK(BM_Bicubic_4000x3000_to_1024x768)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Bicubic_6000x4000_to_1024x683)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BicubicPortable_4000x3000_to_1024x768)->Unit(benchmark::kMillisecond);

void register_file_benchmark() {
  const char* path = std::getenv("PARVULA_BENCH_IMAGE");
  const char* size = std::getenv("PARVULA_BENCH_SIZE");
  int rw = 0, rh = 0;
  if (!path || !size || std::sscanf(size, "%dx%d", &rw, &rh) != 2 || rw <= 0 || rh <= 0) return;
  static std::unique_ptr<TvexImage> image = read_ppm(path);
  if (!image) {
    std::fprintf(stderr, "cannot read %s as a binary PPM\n", path);
    std::exit(1);
  }
  static const bool verified = verify(*image, rw, rh);
  benchmark::RegisterBenchmark("BM_Bicubic_File", [rw, rh](benchmark::State& state) {
    if (!verified) return state.SkipWithError("fast and portable kernels differ");
    run(state, *image, rw, rh);
  })->Unit(benchmark::kMillisecond);
}

} // namespace

int main(int argc, char** argv) {
  register_file_benchmark();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
