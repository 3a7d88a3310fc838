#include "test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

std::filesystem::path corpus_dir() {
  if (const char* env = std::getenv("PARVULA_CORPUS")) return env;
  return PARVULA_CORPUS_DIR;
}

std::filesystem::path data_file(const std::string& name) {
  return std::filesystem::path(PARVULA_SOURCE_DIR) / "tests" / "data" / name;
}

std::filesystem::path scratch_dir(const std::string& name) {
  const auto dir = std::filesystem::path(PARVULA_BINARY_DIR) / "test-scratch" / name;
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
}

void make_random_image(TvexImage& image, int width, int height, int bit_count, std::uint32_t seed) {
  image.Clear();
  image.SetWidth(width);
  image.SetHeight(height);
  image.SetBitCount(static_cast<std::uint16_t>(bit_count));
  Rng rng(seed);
  if (bit_count <= 8) {
    TvexImage::LogPalette pal;
    pal.palNumEntries = static_cast<std::uint16_t>(1 << bit_count);
    for (int i = 0; i < pal.palNumEntries; ++i)
      pal.palPalEntry[i] = {static_cast<std::uint8_t>(rng.next()),
                            static_cast<std::uint8_t>(rng.next()),
                            static_cast<std::uint8_t>(rng.next()), 0};
    image.SetPaletteEntries(&pal);
  }
  for (int y = 0; y < height; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    for (int i = 0; i < image.LineWidth(); ++i) row[i] = static_cast<std::uint8_t>(rng.next());
  }
}

void make_runny_image(TvexImage& image, int w, int h, int bpp, std::uint32_t seed) {
  make_random_image(image, w, h, bpp, seed);
  Rng rng(seed + 1);
  for (int y = 0; y < h; ++y) {
    std::uint8_t* row = image.ScanLine(y);
    const int bytes = (w * bpp + 7) / 8;
    for (int x = 0; x < bytes;) {
      const int n = rng.uniform(1, 40);
      if (rng.uniform(0, 1)) {
        const auto v = static_cast<std::uint8_t>(rng.next());
        for (int k = 0; k < n && x < bytes; ++k) row[x++] = v;
      } else {
        x += n;
      }
    }
  }
}

namespace {
// FNV-1a, 64 bits: small and stable.
struct Fnv {
  std::uint64_t h = 0xcbf29ce484222325ull;
  void add(const void* p, std::size_t n) {
    const auto* b = static_cast<const std::uint8_t*>(p);
    for (std::size_t i = 0; i < n; ++i) {
      h ^= b[i];
      h *= 0x100000001b3ull;
    }
  }
};
} // namespace

std::string pixel_digest(TvexImage& image) {
  Fnv f;
  const std::int32_t w = image.Width(), h = std::abs(image.Height()), bpp = image.BitCount();
  f.add(&w, 4);
  f.add(&h, 4);
  f.add(&bpp, 4);
  if (bpp <= 8) f.add(image.Header()->bmiColors, static_cast<std::size_t>(4 << bpp));
  const std::size_t row_bytes = (static_cast<std::size_t>(w) * bpp + 7) / 8;
  for (int y = 0; y < h && image.Bits(); ++y) f.add(image.ScanLine(y), row_bytes);
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(f.h));
  return buf;
}

std::uint32_t pixel_rgb(TvexImage& image, int x, int y) {
  vex::platform::BitmapInfo info = *image.Header();
  info.bmiHeader.biHeight = std::abs(info.bmiHeader.biHeight);
  const vex::platform::Colour c = vex::platform::dib_pixel({&info, image.Bits()}, x, y);
  return ((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF);
}

std::vector<std::uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

void write_file(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

} // namespace testing_support
