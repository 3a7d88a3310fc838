// JPEG encoding: 1024 x 768 and 4000 x 3000 24-bit pictures at quality 80
// with 4:2:0 chroma (the batch's settings), baseline and progressive, into
// memory; and the forward DCT kernels (SIMD and portable) per block.
//
// With PARVULA_BENCH_IMAGE=<binary PPM> it also encodes that picture.
// `jpeg_encode_bench --encode IN.ppm OUT.jpg [quality]` encodes one file and
// exits (a stand-in for the command line in bench/run_jpeg_encode_compare.sh).
#include "vexDCT.h"
#include "vexImageFile.h"

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

std::size_t encode(TvexImage& image, TvexCompression compression, unsigned quality = 80) {
  TvexJPEGImage jpeg(1);
  jpeg.SetQuality(static_cast<std::uint16_t>(quality));
  jpeg.SetCompression(compression);
  vex::platform::MemoryStream out;
  jpeg.SaveToStream(out, image.GetDibHandle());
  if (jpeg.GetError() != EC_OK) return 0;
  return static_cast<std::size_t>(out.Size());
}

void BM_Encode(benchmark::State& state, int w, int h, TvexCompression compression) {
  auto image = bench_support::make_picture(w, h, 7);
  std::size_t bytes = 0;
  for (auto _ : state) {
    bytes = encode(*image, compression);
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
  state.counters["MPix/s"] = benchmark::Counter(
      static_cast<double>(w) * h * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK_CAPTURE(BM_Encode, 1024x768_q80_420, 1024, 768, CP_JPEG_STD)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, 4000x3000_q80_420, 4000, 3000, CP_JPEG_STD)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, 1024x768_q80_420_progressive, 1024, 768, CP_JPEG_PROG)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Encode, 4000x3000_q80_420_progressive, 4000, 3000, CP_JPEG_PROG)
    ->Unit(benchmark::kMillisecond);

void BM_EncodeFile(benchmark::State& state) {
  const char* path = std::getenv("PARVULA_BENCH_IMAGE");
  auto image = path ? read_ppm(path) : nullptr;
  if (!image) {
    state.SkipWithError("set PARVULA_BENCH_IMAGE to a binary PPM");
    return;
  }
  std::size_t bytes = 0;
  for (auto _ : state) bytes = encode(*image, CP_JPEG_STD);
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_EncodeFile)->Unit(benchmark::kMillisecond);

void BM_ForwardDCT(benchmark::State& state, bool simd) {
  TvexDCT dct;
  dct.SetForwardTable(
      vex::jpeg::MakeQuantTable(vex::jpeg::LuminanceBase, vex::jpeg::QualityScale(80), 0));
  std::vector<std::uint8_t> samples(64 * 1024);
  std::uint32_t s = 7;
  for (auto& v : samples) v = static_cast<std::uint8_t>((s = s * 1103515245u + 12345u) >> 24);
  std::int16_t out[64];
  if (simd && !vex::jpeg::detail::ForwardDCTSimd(dct, samples.data(), 8, out)) {
    state.SkipWithError("no SIMD kernels");
    return;
  }
  for (auto _ : state) {
    for (std::size_t b = 0; b < samples.size(); b += 64) {
      if (simd)
        vex::jpeg::detail::ForwardDCTSimd(dct, samples.data() + b, 8, out);
      else
        vex::jpeg::detail::ForwardDCTPortable(dct, samples.data() + b, 8, out);
      benchmark::DoNotOptimize(out);
    }
  }
  state.SetItemsProcessed(state.iterations() * 1024);
}
BENCHMARK_CAPTURE(BM_ForwardDCT, simd, true);
BENCHMARK_CAPTURE(BM_ForwardDCT, portable, false);

} // namespace

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--encode") == 0) {
    auto image = read_ppm(argv[2]);
    if (!image) {
      std::fprintf(stderr, "cannot read %s\n", argv[2]);
      return 1;
    }
    TvexJPEGImage jpeg(1);
    jpeg.SetQuality(static_cast<std::uint16_t>(argc >= 5 ? std::atoi(argv[4]) : 80));
    jpeg.SetCompression(CP_JPEG_STD);
    jpeg.SaveToFile(argv[3], image->GetDibHandle());
    return jpeg.GetError() == EC_OK ? 0 : 1;
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
