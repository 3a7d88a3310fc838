// Runs a libFuzzer target over files and folders given on the command line,
// so that the seeds and past crashers replay under the sanitizers in ctest.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
int run_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return 1;
}
} // namespace

int main(int argc, char** argv) {
  int count = 0;
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (auto& e : std::filesystem::recursive_directory_iterator(p, ec))
        if (e.is_regular_file()) count += run_file(e.path());
    } else if (std::filesystem::is_regular_file(p, ec)) {
      count += run_file(p);
    }
  }
  std::printf("replayed %d inputs\n", count);
  return 0;
}
