// Deflate: inflating and deflating the rows of a photograph as a PNG writer
// would hand them over (a filter byte and the row with the Sub filter).
//
// `deflate_bench --dump DIR` writes the rows (rows.raw) and their stream at
// quality 60 (rows.z) for timing other inflaters on the same data.
#include "vexImageCompress.h"
#include "vexImageFile.h"

#include "bench_support.h"
#include "platform/file_stream.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes filtered_rows(TvexImage& image) {
  Bytes out;
  const int w = image.Width(), h = std::abs(image.Height());
  for (int y = 0; y < h; ++y) {
    const std::uint8_t* row = image.ScanLine(y);
    out.push_back(1);
    for (int i = 0; i < 3 * w; ++i)
      out.push_back(static_cast<std::uint8_t>(row[i] - (i >= 3 ? row[i - 3] : 0)));
  }
  return out;
}

const Bytes& rows() {
  static const Bytes data = [] {
    const char* corpus = std::getenv("PARVULA_CORPUS");
    const fs::path photo =
        (corpus ? fs::path(corpus) : fs::path(__FILE__).parent_path() / "../../shared/corpus") /
        "photos/debian-lomiri-wallpapers/Dragonfly_by_Bolly.jpg";
    if (fs::exists(photo)) {
      TvexJPEGImage reader;
      const DibHandle dib = reader.LoadFromFile(photo.string());
      TvexImage image;
      image.SetDibHandle(dib);
      if (reader.GetError() == EC_OK && image.BitCount() == 24) return filtered_rows(image);
    }
    return filtered_rows(*bench_support::make_picture(3000, 2000));
  }();
  return data;
}

const Bytes& stream() {
  static const Bytes z = [] {
    Bytes out;
    TvexDeflater::DeflateBuffer(rows().data(), rows().size(), 60, out);
    return out;
  }();
  return z;
}

void BM_Inflate(benchmark::State& state) {
  const Bytes& z = stream();
  Bytes out;
  for (auto _ : state)
    benchmark::DoNotOptimize(TvexInflater::InflateBuffer(z.data(), z.size(), out, rows().size()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(rows().size()));
}
BENCHMARK(BM_Inflate)->Unit(benchmark::kMillisecond);

void BM_Deflate(benchmark::State& state) {
  const Bytes& data = rows();
  for (auto _ : state) {
    Bytes out;
    benchmark::DoNotOptimize(TvexDeflater::DeflateBuffer(data.data(), data.size(),
                                                         static_cast<int>(state.range(0)), out));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_Deflate)->Arg(10)->Arg(40)->Arg(60)->Arg(90)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--dump") == 0) {
    std::ofstream(fs::path(argv[2]) / "rows.raw", std::ios::binary)
        .write(reinterpret_cast<const char*>(rows().data()),
               static_cast<std::streamsize>(rows().size()));
    std::ofstream(fs::path(argv[2]) / "rows.z", std::ios::binary)
        .write(reinterpret_cast<const char*>(stream().data()),
               static_cast<std::streamsize>(stream().size()));
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
