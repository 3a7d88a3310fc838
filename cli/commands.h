// The subcommands of parvula-cli. Each adds itself to the application and its
// callback stores the run's exit status in `exit_code` (1 for a file that
// failed, 2 for a usage error found after parsing); parse errors exit with 2.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// parvula-cli info FILE...: what the manager's readers make of each file.
struct InfoOptions {
  std::vector<std::string> files;
};
int run_info(const InfoOptions& options, std::ostream& out, std::ostream& err);
void add_info_command(CLI::App& app, int& exit_code);

// parvula-cli convert IN OUT [--format N] [--compression N] [--quality N].
struct ConvertOptions {
  std::string input;
  std::string output;
  std::optional<int> format;
  std::optional<int> compression;
  std::optional<int> quality;
  bool append = false; // add OUT's next page instead of replacing it
};
int run_convert(const ConvertOptions& options, std::ostream& out, std::ostream& err);
void add_convert_command(CLI::App& app, int& exit_code);

// parvula-cli email ...: the batch road (cli/cmd_email.cpp).
void add_email_command(CLI::App& app, int& exit_code);
