// Runs parvula-cli as a user would and captures what it prints.
#pragma once

#include <string>

namespace testing_support {

struct CliRun {
  int status = -1;
  std::string out; // stdout and stderr together
};

// Path of the parvula-cli under test (PARVULA_CLI, else the build tree's).
std::string cli_path();
// Runs `parvula-cli <args>` through the shell; the arguments are taken as written.
CliRun run_cli(const std::string& args);

} // namespace testing_support
