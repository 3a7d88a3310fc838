#include "cli_runner.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sys/wait.h>

namespace testing_support {

std::string cli_path() {
  if (const char* p = std::getenv("PARVULA_CLI")) return p;
  return (std::filesystem::path(PARVULA_BINARY_DIR) / "cli" / "parvula-cli").string();
}

CliRun run_cli(const std::string& args) {
  CliRun r;
  std::string cmd = cli_path();
  cmd += ' ';
  cmd += args;
  cmd += " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  std::array<char, 4096> buf{};
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int raw = pclose(p);
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return r;
}

} // namespace testing_support
