// JPEG decoding: each photograph of the corpus (baseline and progressive, 9 to
// 20 megapixels) from memory into a bitmap, and the colour conversion kernels
// per row (SIMD and portable).
//
// `jpeg_decode_bench --decode FILE...` reads and decodes the files and exits
// (the driver bench/run_jpeg_decode_compare.sh times against djpeg).
#include "vexImageFile.h"

#include "formats/jpeg_reader_internal.h"
#include "platform/file_stream.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

std::vector<std::uint8_t> read_file(const fs::path& path) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(fs::file_size(path)));
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// Decodes the bytes; returns the error code and frees the bitmap.
int decode(const std::vector<std::uint8_t>& bytes) {
  vex::platform::MemoryStream ms(bytes.data(), bytes.size());
  TvexJPEGImage reader;
  const DibHandle dib = reader.LoadFromStream(ms);
  if (dib != DibHandle::Null) vex::platform::DeleteDIBSection(dib);
  return reader.GetError();
}

void BM_DecodePhoto(benchmark::State& state, const fs::path& path) {
  const std::vector<std::uint8_t> bytes = read_file(path);
  for (auto _ : state) benchmark::DoNotOptimize(decode(bytes));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(bytes.size()));
}

void BM_YccRow(benchmark::State& state) {
  vex::jpeg::YccTables t;
  t.Build();
  const int width = 4096;
  std::vector<std::uint8_t> y(width), cb(width), cr(width), out(3 * width);
  for (int i = 0; i < width; ++i) {
    y[i] = static_cast<std::uint8_t>(i * 7);
    cb[i] = static_cast<std::uint8_t>(i * 3);
    cr[i] = static_cast<std::uint8_t>(i * 5);
  }
  const bool simd = state.range(0) != 0;
  for (auto _ : state) {
    if (simd)
      vex::jpeg::ycc_to_bgr_row(t, y.data(), cb.data(), cr.data(), out.data(), width);
    else
      vex::jpeg::ycc_to_bgr_row_portable(t, y.data(), cb.data(), cr.data(), out.data(), width);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * width);
}
BENCHMARK(BM_YccRow)->Arg(0)->Arg(1);

} // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "--decode") == 0) {
    int status = 0;
    for (int i = 2; i < argc; ++i) {
      // The reader's own file path: a buffered file stream, as the command line uses it.
      TvexJPEGImage reader;
      const DibHandle dib = reader.LoadFromFile(argv[i]);
      if (dib != DibHandle::Null) vex::platform::DeleteDIBSection(dib);
      const int code = reader.GetError();
      if (code != 0) {
        std::fprintf(stderr, "%s: error %d\n", argv[i], code);
        status = 1;
      }
    }
    return status;
  }
  const char* corpus = std::getenv("PARVULA_CORPUS");
  const fs::path photos =
      (corpus ? fs::path(corpus) : fs::path(__FILE__).parent_path() / "../../shared/corpus") /
      "photos";
  std::vector<fs::path> files;
  if (fs::exists(photos))
    for (const auto& e : fs::recursive_directory_iterator(photos))
      if (e.is_regular_file() && e.path().extension() == ".jpg") files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const fs::path& f : files)
    benchmark::RegisterBenchmark(("BM_DecodePhoto/" + f.filename().string()).c_str(),
                                 BM_DecodePhoto, f)
        ->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
