// The Debian package that `cpack -G DEB` makes in the build folder: its
// control fields, its files, and programs that run from it.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;
using namespace testing_support;

namespace {

std::string output_of(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

// A shell word (built by appending: g++ 12 warns falsely on chains of string additions).
std::string quoted(const fs::path& p) {
  std::string q(1, '\'');
  q += p.string();
  q += '\'';
  return q;
}

fs::path find_package() {
  for (auto& e : fs::directory_iterator(PARVULA_BINARY_DIR))
    if (e.path().extension() == ".deb" && e.path().filename().string().rfind("parvula_", 0) == 0)
      return e.path();
  return {};
}

} // namespace

TEST(Package, DeclaresItsDependenciesAndHoldsWindowCliManualAndCompletion) {
  const fs::path deb = find_package();
  if (deb.empty()) GTEST_SKIP() << "no package: run cpack -G DEB in " << PARVULA_BINARY_DIR;
  if (std::system("command -v dpkg-deb >/dev/null 2>&1") != 0) GTEST_SKIP() << "no dpkg-deb";
  const std::string q = quoted(deb);

  const std::string info = output_of("dpkg-deb --info " + q);
  for (const char* field : {"Package: parvula\n", "Section: graphics\n", "Depends: ", "libc6 ",
                            "libstdc++6 ", "libqt6widgets6 ", "Architecture: "})
    EXPECT_NE(info.find(field), std::string::npos) << field << "\n" << info;

  const std::string contents = output_of("dpkg-deb --contents " + q);
  for (const char* file :
       {"./usr/bin/parvula\n", "./usr/bin/parvula-cli\n", "./usr/share/man/man1/parvula-cli.1",
        "./usr/share/bash-completion/completions/parvula-cli\n",
        "./usr/share/applications/parvula.desktop\n",
        "./usr/share/icons/hicolor/scalable/apps/parvula.svg\n"})
    EXPECT_NE(contents.find(file), std::string::npos) << file << "\n" << contents;

  const fs::path root = scratch_dir("package");
  std::string extract = "dpkg-deb -x " + q;
  extract += ' ';
  extract += quoted(root);
  ASSERT_EQ(std::system(extract.c_str()), 0);
  std::string run = quoted(root / "usr/bin/parvula-cli");
  run += " --version";
  const std::string version = output_of(run);
  EXPECT_EQ(version.rfind("parvula-cli ", 0), 0u) << version;
  EXPECT_NE(info.find("Version: " + version.substr(12)), std::string::npos) << version << info;

  const std::vector<std::uint8_t> desktop =
      read_file(root / "usr/share/applications/parvula.desktop");
  const std::string entry(desktop.begin(), desktop.end());
  EXPECT_NE(entry.find("Exec=parvula %f\n"), std::string::npos) << entry;
  for (const char* type : {"image/jpeg;", "image/gif;", "image/tiff;", "image/x-tga;", "image/png;",
                           "image/bmp;", "image/x-pcx;", "image/x-kodak-kdc;"})
    EXPECT_NE(entry.find(type), std::string::npos) << type;
  std::string check = "bash -n ";
  check += quoted(root / "usr/share/bash-completion/completions/parvula-cli");
  EXPECT_EQ(std::system(check.c_str()), 0);
}
