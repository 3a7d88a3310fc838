// Runs a libFuzzer target over files and folders given on the command line,
// so that the seeds and past crashers replay under the sanitizers in ctest.
// A path that is not there is named and passed over (the shared corpus may be
// missing); replaying nothing at all, or a file that cannot be read, fails.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {
bool run_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", p.string().c_str());
    return false;
  }
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  return true;
}
} // namespace

int main(int argc, char** argv) {
  int count = 0, unreadable = 0;
  const auto replay = [&](const std::filesystem::path& p) {
    if (run_file(p))
      ++count;
    else
      ++unreadable;
  };
  for (int i = 1; i < argc; ++i) {
    std::filesystem::path p(argv[i]);
    std::error_code ec;
    if (std::filesystem::is_directory(p, ec)) {
      for (auto& e : std::filesystem::recursive_directory_iterator(p, ec))
        if (e.is_regular_file()) replay(e.path());
      if (ec) {
        std::fprintf(stderr, "cannot list %s: %s\n", p.string().c_str(), ec.message().c_str());
        ++unreadable;
      }
    } else if (std::filesystem::is_regular_file(p, ec)) {
      replay(p);
    } else {
      std::printf("not found, passed over: %s\n", p.string().c_str());
    }
  }
  std::printf("replayed %d inputs\n", count);
  if (count == 0) std::fprintf(stderr, "no input replayed\n");
  return count == 0 || unreadable != 0 ? 1 : 0;
}
