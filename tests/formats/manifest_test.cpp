// One suite for every format: each manifest in tests/manifests/ lists corpus
// files with the code their reader must give and the digest of the pixels.
// Every file is read through a file stream, through a memory stream with
// tiny and default buffers, and cut at a spread of lengths. A new format
// gets all of this by adding its manifest.
//
// Manifest rows: path (under the corpus, or tests/... in the source tree), code, digest ("-"
// without a bitmap), bound ("-", or the largest channel difference allowed against the peer
// decoder). A line "#! format N" names the format number whose class reads the files.
// PARVULA_MANIFEST_UPDATE=1 rewrites codes and digests.
#include "peer.h"
#include "test_support.h"

#include "vexImageFile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
namespace pf = vex::platform;
using namespace testing_support;

namespace {

struct Row {
  std::string path, code, digest, bound;
};

struct Manifest {
  fs::path file;
  int format = -1;
  std::vector<std::string> head; // comment lines, kept on update
  std::vector<Row> rows;
};

fs::path manifests_dir() {
  return fs::path(PARVULA_SOURCE_DIR) / "tests" / "manifests";
}

Manifest read_manifest(const fs::path& file) {
  Manifest m;
  m.file = file;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    if (line[0] == '#') {
      if (line.rfind("#! format ", 0) == 0) m.format = std::atoi(line.c_str() + 10);
      m.head.push_back(line);
      continue;
    }
    std::istringstream fields(line);
    Row r;
    std::getline(fields, r.path, '\t');
    std::getline(fields, r.code, '\t');
    std::getline(fields, r.digest, '\t');
    std::getline(fields, r.bound, '\t');
    if (r.code.empty()) r.code = "0";
    if (r.digest.empty()) r.digest = "-";
    if (r.bound.empty()) r.bound = "-";
    m.rows.push_back(r);
  }
  return m;
}

void write_manifest(const Manifest& m) {
  std::ofstream out(m.file);
  for (const auto& h : m.head) out << h << '\n';
  for (const auto& r : m.rows)
    out << r.path << '\t' << r.code << '\t' << r.digest << '\t' << r.bound << '\n';
}

// What one read gave.
struct Outcome {
  int code = 0;
  std::string digest = "-";
  int width = 0, height = 0;
};

// Reads with a fresh object of the manifest's class: through the file, or
// through a memory stream over `bytes` with the given buffer size (0: the
// default).
Outcome load(int format, const fs::path& path, const std::vector<std::uint8_t>* bytes,
             std::int64_t buffer_size = 0) {
  TvexImageFileMgr mgr;
  auto reader = vexMakeFormat(static_cast<TvexFileFormat>(format), mgr);
  if (!reader) return {EC_UNKNOWNFORMAT};
  TvexImageInfo info;
  reader->SetImageInfo(&info);
  DibHandle dib;
  if (bytes) {
    pf::MemoryStream stream(bytes->data(), bytes->size());
    if (buffer_size > 0) reader->GetBufferStream().SetBufferSize(buffer_size);
    dib = reader->LoadFromStream(stream);
  } else {
    dib = reader->LoadFromFile(path.string());
  }
  Outcome o;
  o.code = reader->GetError();
  if (!pf::is_null(dib)) {
    TvexImage image;
    image.SetDibHandle(dib);
    o.digest = pixel_digest(image);
    o.width = image.Width();
    o.height = image.Height();
  }
  return o;
}

// The buffered stream's sweeps take every size; big files (photographs) are
// read once only, or a sanitizer run would take an hour.
constexpr std::uintmax_t kSweepLimit = 256 * 1024;

class ManifestTest : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    manifest_ = read_manifest(manifests_dir() / GetParam());
    ASSERT_GE(manifest_.format, 0) << GetParam() << " has no '#! format N' line";
    if (!fs::is_directory(corpus_dir()))
      GTEST_SKIP() << "corpus folder " << corpus_dir().string() << " missing: " << GetParam()
                   << " not checked";
  }
  // Rows starting "tests/" name files of the source tree (made for formats
  // the corpus lacks).
  fs::path full(const Row& r) const {
    if (r.path.rfind("tests/", 0) == 0) return fs::path(PARVULA_SOURCE_DIR) / r.path;
    return corpus_dir() / r.path;
  }
  Manifest manifest_;
};

TEST_P(ManifestTest, FilesGiveTheirCodesAndPixels) {
  const bool update = std::getenv("PARVULA_MANIFEST_UPDATE") != nullptr;
  for (Row& r : manifest_.rows) {
    SCOPED_TRACE(r.path);
    ASSERT_TRUE(fs::exists(full(r))) << "listed but missing";
    const Outcome o = load(manifest_.format, full(r), nullptr);
    if (update) {
      r.code = std::to_string(o.code);
      r.digest = o.digest;
      continue;
    }
    EXPECT_EQ(std::to_string(o.code), r.code);
    EXPECT_EQ(o.digest, r.digest);
  }
  if (update) write_manifest(manifest_);
}

TEST_P(ManifestTest, EveryBufferSizeReadsTheSame) {
  for (const Row& r : manifest_.rows) {
    if (fs::file_size(full(r)) > kSweepLimit) continue;
    SCOPED_TRACE(r.path);
    const auto bytes = read_file(full(r));
    for (const std::int64_t size : {1, 2, 3, 7, 64, 0}) {
      const Outcome o = load(manifest_.format, full(r), &bytes, size);
      EXPECT_EQ(std::to_string(o.code), r.code) << "buffer " << size;
      EXPECT_EQ(o.digest, r.digest) << "buffer " << size;
    }
  }
}

// A cut file never crashes; a bitmap it gives has the picture's size; and a
// read that reports no error must have had all it needed, so its pixels are
// the whole file's.
TEST_P(ManifestTest, CutFilesKeepWhatTheyHave) {
  for (const Row& r : manifest_.rows) {
    if (fs::file_size(full(r)) > kSweepLimit) continue;
    SCOPED_TRACE(r.path);
    const auto bytes = read_file(full(r));
    const Outcome whole = load(manifest_.format, full(r), &bytes);
    std::vector<std::size_t> cuts = {0, 1, 2, 4, 8, 16, 32, 64, 128, 512};
    for (int eighth = 1; eighth < 8; ++eighth) cuts.push_back(bytes.size() * eighth / 8);
    if (!bytes.empty()) cuts.push_back(bytes.size() - 1);
    for (const std::size_t cut : cuts) {
      if (cut >= bytes.size()) continue;
      const std::vector<std::uint8_t> part(bytes.begin(), bytes.begin() + std::ptrdiff_t(cut));
      const Outcome o = load(manifest_.format, full(r), &part);
      if (o.digest == "-") continue;
      EXPECT_EQ(o.width, whole.width) << "cut at " << cut;
      EXPECT_EQ(o.height, whole.height) << "cut at " << cut;
      if (o.code == EC_OK) {
        EXPECT_EQ(o.digest, whole.digest) << "cut at " << cut << " reads as whole";
      }
    }
  }
}

// Lossy formats and formats whose rows the peer widens differently: the
// peer's pixels within the manifest's bound (small files: the photographs
// are compared with the peers in tests/differential).
TEST_P(ManifestTest, PeerAgreesWithinTheBound) {
  const bool update = std::getenv("PARVULA_MANIFEST_UPDATE") != nullptr;
  std::vector<Row*> rows;
  std::vector<fs::path> files;
  for (Row& r : manifest_.rows)
    if (r.bound != "-" && r.digest != "-" && fs::file_size(full(r)) <= kSweepLimit) {
      rows.push_back(&r);
      files.push_back(full(r));
    }
  if (rows.empty()) return;
  if (!peer_available()) GTEST_SKIP() << "peer decoder (Pillow) missing";
  const auto peers = peer_decode(files);
  ASSERT_EQ(peers.size(), rows.size());
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i]->path);
    if (update && !peers[i].ok) rows[i]->bound = "-";
    if (update && !peers[i].ok) continue;
    ASSERT_TRUE(peers[i].ok) << peers[i].error;
    TvexImageFileMgr mgr;
    auto reader = vexMakeFormat(static_cast<TvexFileFormat>(manifest_.format), mgr);
    TvexImage image;
    image.SetDibHandle(reader->LoadFromFile(files[i].string()));
    const auto ours = image_rgb(image);
    ASSERT_EQ(ours.size(), peers[i].rgb.size());
    int worst = 0;
    for (std::size_t k = 0; k < ours.size(); ++k)
      worst = std::max(worst, std::abs(int{ours[k]} - int{peers[i].rgb[k]}));
    if (update) rows[i]->bound = std::to_string(worst);
    EXPECT_LE(worst, std::atoi(rows[i]->bound.c_str()));
  }
  if (update) write_manifest(manifest_);
}

std::vector<std::string> manifest_names() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(manifests_dir()))
    if (e.path().extension() == ".tsv") names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Formats, ManifestTest, ::testing::ValuesIn(manifest_names()),
                         [](const auto& info) {
                           return info.param.substr(0, info.param.find('.'));
                         });

} // namespace
