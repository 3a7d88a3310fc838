// Deflate against the system Python's zlib: every stream it makes (levels
// 0..9, each strategy, small and full windows, flushes in the middle) must
// inflate here, whole and in 8192-byte pieces; every stream made here must
// inflate there to the original.
#include "test_support.h"
#include "vexImageCompress.h"

#include "peer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using testing_support::Rng;

bool have_zlib() {
  return std::system("/usr/bin/python3 -c 'import zlib' >/dev/null 2>&1") == 0;
}

std::string run(const std::string& mode, const fs::path& dir) {
  const std::string cmd = "/usr/bin/python3 '" +
                          (testing_support::differential_dir() / "zlib_peer.py").string() + "' " +
                          mode + " '" + dir.string() + "'";
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// Inputs by name: small, noisy, repetitive, mostly zero, and a corpus bitmap.
fs::path write_inputs(const std::string& scratch) {
  const fs::path dir = testing_support::scratch_dir(scratch);
  Rng rng(3);
  Bytes noise(40000), pattern(150000), zeros(100000);
  for (auto& b : noise) b = static_cast<std::uint8_t>(rng.next());
  for (std::size_t i = 0; i < pattern.size(); ++i)
    pattern[i] = i > 300 && rng.uniform(0, 15)
                     ? pattern[i - static_cast<std::size_t>(rng.uniform(1, 300))]
                     : static_cast<std::uint8_t>(rng.uniform(0, 9));
  for (auto& b : zeros) b = rng.uniform(0, 50) ? 0 : static_cast<std::uint8_t>(rng.next());
  testing_support::write_file(dir / "empty.raw", {});
  testing_support::write_file(dir / "one.raw", {42});
  testing_support::write_file(dir / "noise.raw", noise);
  testing_support::write_file(dir / "pattern.raw", pattern);
  testing_support::write_file(dir / "zeros.raw", zeros);
  const fs::path bmp = testing_support::corpus_dir() / "bmp/bmpsuite/g/rgb24.bmp";
  if (fs::exists(bmp)) fs::copy_file(bmp, dir / "bitmap.raw");
  return dir;
}

TEST(ZlibPeer, PeerStreamsInflate) {
  if (!have_zlib()) GTEST_SKIP() << "/usr/bin/python3 has no zlib";
  const fs::path dir = write_inputs("zlib_peer_inflate");
  run("compress", dir);
  int streams = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".z") continue;
    ++streams;
    const std::string name = e.path().filename().string();
    const Bytes z = testing_support::read_file(e.path());
    const Bytes raw = testing_support::read_file(dir / (name.substr(0, name.find('.')) + ".raw"));
    Bytes out;
    ASSERT_EQ(TvexInflater::InflateBuffer(z.data(), z.size(), out, raw.size()), EC_OK) << name;
    ASSERT_EQ(out, raw) << name;
    // As IDAT chunks: 8192 bytes a piece.
    TvexInflater pieces;
    std::size_t at = std::min<std::size_t>(z.size(), 8192);
    pieces.SetInput(z.data(), at, [&](const std::uint8_t*& d, std::size_t& n) {
      if (at >= z.size()) return false;
      d = z.data() + at;
      n = std::min<std::size_t>(z.size() - at, 8192);
      at += n;
      return true;
    });
    Bytes again(raw.size());
    pieces.StartInflate();
    pieces.Inflate(again.data(), again.size());
    pieces.FinishInflate();
    ASSERT_EQ(again, raw) << name;
  }
  EXPECT_GE(streams, 500);
}

TEST(ZlibPeer, OurStreamsInflateInPeer) {
  if (!have_zlib()) GTEST_SKIP() << "/usr/bin/python3 has no zlib";
  const fs::path dir = write_inputs("zlib_peer_deflate");
  int written = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.path().extension() != ".raw") continue;
    const Bytes raw = testing_support::read_file(e.path());
    for (int quality : {0, 30, 60, 100}) {
      Bytes z;
      ASSERT_EQ(TvexDeflater::DeflateBuffer(raw.data(), raw.size(), quality, z), EC_OK);
      testing_support::write_file(
          dir / (e.path().stem().string() + "." + std::to_string(quality) + ".ours"), z);
      ++written;
    }
  }
  const std::string report = run("check", dir);
  EXPECT_EQ(report.find("BAD"), std::string::npos) << report;
  EXPECT_NE(report.find("checked " + std::to_string(written)), std::string::npos) << report;
}

} // namespace
