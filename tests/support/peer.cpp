#include "peer.h"

#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace testing_support {

namespace {
constexpr const char* kPython = "/usr/bin/python3";

std::string quote(const std::string& s) {
  std::string q(1, '\'');
  for (char c : s) {
    if (c == '\'') {
      q += '\'';
      q += '\\';
      q += '\'';
    }
    q += c;
  }
  q += '\'';
  return q;
}
} // namespace

std::filesystem::path differential_dir() {
  return std::filesystem::path(PARVULA_SOURCE_DIR) / "tests" / "differential";
}

bool peer_available() {
  static const bool available = [] {
    const std::string cmd = std::string(kPython) + " -c 'import PIL' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0;
  }();
  return available;
}

bool magick_available() {
  static const bool available =
      peer_available() && std::system("/usr/bin/convert -version >/dev/null 2>&1") == 0;
  return available;
}

std::vector<PeerImage> peer_decode(const std::vector<std::filesystem::path>& files, Peer peer) {
  std::vector<PeerImage> result;
  if (files.empty()) return result;
  // A folder of this process's own: tests run in parallel, and scratch_dir
  // empties the folder it hands out.
  static std::atomic<int> calls{0};
  char name[64];
  std::snprintf(name, sizeof name, "peer_decode_%ld_%d", static_cast<long>(getpid()), calls++);
  const auto out = scratch_dir(name) / "peer.bin";
  std::string cmd = kPython;
  cmd += ' ';
  cmd += quote((differential_dir() / "peer_decode.py").string());
  if (peer == Peer::Magick) cmd += " --magick";
  cmd += ' ';
  cmd += quote(out.string());
  for (const auto& f : files) {
    cmd += ' ';
    cmd += quote(f.string());
  }
  if (std::system(cmd.c_str()) != 0) return result;
  std::ifstream in(out, std::ios::binary);
  for (std::size_t i = 0; i < files.size(); ++i) {
    std::string line;
    if (!std::getline(in, line)) return {};
    PeerImage p;
    if (line.rfind("ok ", 0) == 0) {
      std::istringstream ss(line);
      std::string word;
      ss >> word >> p.width >> p.height;
      p.ok = true;
      p.rgb.resize(static_cast<std::size_t>(p.width) * static_cast<std::size_t>(p.height) * 3);
      in.read(reinterpret_cast<char*>(p.rgb.data()), static_cast<std::streamsize>(p.rgb.size()));
    } else {
      p.error = line;
    }
    result.push_back(std::move(p));
  }
  return result;
}

bool netpbm_available() {
  static const bool available = std::filesystem::exists("/usr/bin/pamtopnm") &&
                                std::filesystem::exists("/usr/bin/sgitopnm") &&
                                std::filesystem::exists("/usr/bin/pamdepth");
  return available;
}

std::vector<PeerImage> netpbm_decode(const std::vector<std::filesystem::path>& files,
                                     const std::string& command) {
  static std::atomic<int> calls{0};
  char name[64];
  std::snprintf(name, sizeof name, "netpbm_decode_%ld_%d", static_cast<long>(getpid()), calls++);
  const auto dir = scratch_dir(name);
  std::vector<std::filesystem::path> outputs;
  for (std::size_t i = 0; i < files.size(); ++i) {
    outputs.push_back(dir / (std::to_string(i) + ".pnm"));
    const std::string cmd = "/usr/bin/" + command + " " + quote(files[i].string()) + " > " +
                            quote(outputs.back().string()) + " 2>/dev/null";
    if (std::system(cmd.c_str()) != 0) std::filesystem::remove(outputs.back());
  }
  return peer_decode(outputs);
}

std::vector<std::uint8_t> image_rgb(TvexImage& image) {
  const int w = image.Width(), h = std::abs(image.Height());
  std::vector<std::uint8_t> rgb;
  if (!image.Bits() || w <= 0 || h <= 0) return rgb;
  rgb.reserve(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const std::uint32_t c = pixel_rgb(image, x, y);
      rgb.push_back(static_cast<std::uint8_t>(c >> 16));
      rgb.push_back(static_cast<std::uint8_t>(c >> 8));
      rgb.push_back(static_cast<std::uint8_t>(c));
    }
  return rgb;
}

PixelDiff compare_rgb(const std::vector<std::uint8_t>& ours, const PeerImage& peer, int bits) {
  PixelDiff d;
  const int shift = 8 - std::clamp(bits, 1, 8);
  const std::size_t n = std::min(ours.size(), peer.rgb.size()) / 3;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* a = &ours[3 * i];
    const std::uint8_t* b = &peer.rgb[3 * i];
    if ((a[0] >> shift) == (b[0] >> shift) && (a[1] >> shift) == (b[1] >> shift) &&
        (a[2] >> shift) == (b[2] >> shift))
      continue;
    if (d.count++ == 0) {
      d.first_x = peer.width > 0 ? static_cast<int>(i % static_cast<std::size_t>(peer.width)) : 0;
      d.first_y = peer.width > 0 ? static_cast<int>(i / static_cast<std::size_t>(peer.width)) : 0;
      d.ours = (std::uint32_t{a[0]} << 16) | (std::uint32_t{a[1]} << 8) | a[2];
      d.peers = (std::uint32_t{b[0]} << 16) | (std::uint32_t{b[1]} << 8) | b[2];
    }
  }
  d.count += static_cast<std::int64_t>((std::max(ours.size(), peer.rgb.size()) / 3) - n);
  return d;
}

std::map<std::string, Expectation> read_expectations(const std::filesystem::path& tsv) {
  std::map<std::string, Expectation> rows;
  std::ifstream in(tsv);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> cols;
    std::istringstream ss(line);
    std::string col;
    while (std::getline(ss, col, '\t')) cols.push_back(col);
    if (cols.size() < 3) continue;
    Expectation e;
    e.code = std::atoi(cols[1].c_str());
    e.peer = cols[2];
    e.why = cols.size() > 3 ? cols[3] : "";
    rows[cols[0]] = e;
  }
  return rows;
}

} // namespace testing_support
