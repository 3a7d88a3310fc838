// parvula-cli email: the window's "Execute!" for files and folders named on
// the command line.
#include "commands.h"

#include "batch_runner.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct EmailOptions {
  std::vector<std::string> paths;
  bool recursive = false;
  unsigned jobs = 0;
  bool quiet = false;
  bool keep_orientation = false;
};

// One line redrawn in place on a terminal: a bar and the file being handled.
void draw_progress(std::size_t done, std::size_t total, const std::string& file) {
  constexpr int kWidth = 30;
  const int filled = total ? static_cast<int>(done * kWidth / total) : kWidth;
  std::string name = file;
  if (name.size() > 40) name = "..." + name.substr(name.size() - 37);
  std::fprintf(stderr, "\r[%s%s] %zu/%zu %-40s", std::string(filled, '#').c_str(),
               std::string(kWidth - filled, ' ').c_str(), done, total, name.c_str());
  std::fflush(stderr);
}

int run_email(const EmailOptions& opt) {
  std::vector<std::string> missing;
  const std::vector<std::string> files = CollectBatchFiles(opt.paths, opt.recursive, &missing);
  for (const std::string& m : missing)
    std::fprintf(stderr, "parvula-cli: %s: No such file or folder.\n", m.c_str());

  const unsigned jobs = opt.jobs ? opt.jobs : std::max(1u, std::thread::hardware_concurrency());
  const bool bar = !opt.quiet && isatty(STDERR_FILENO);
  BatchProgressFn progress;
  if (bar) progress = draw_progress;
  const std::vector<BatchOutcome> outcomes =
      RunBatch(files, jobs, progress, {opt.keep_orientation});
  if (bar && !files.empty()) std::fprintf(stderr, "\r%*s\r", 80, "");

  std::size_t converted = 0, failed = missing.size();
  for (const BatchOutcome& o : outcomes) {
    if (o.result.converted) {
      ++converted;
      if (o.result.load_error != EC_OK)
        std::fprintf(stderr, "parvula-cli: %s: converted what could be read: %s\n",
                     o.source.c_str(), o.result.load_message.c_str());
    } else {
      ++failed;
      std::fprintf(stderr, "parvula-cli: %s: %s\n", o.source.c_str(), o.result.message.c_str());
    }
    if (o.superseded_by >= 0)
      std::fprintf(stderr, "parvula-cli: %s and %s both write %s; the later one is kept.\n",
                   o.source.c_str(),
                   outcomes[static_cast<std::size_t>(o.superseded_by)].source.c_str(),
                   o.result.output.c_str());
  }
  std::printf("%zu converted, %zu not converted\n", converted, failed);
  return failed ? 1 : 0;
}

} // namespace

void add_email_command(CLI::App& app, int& exit_code) {
  auto opt = std::make_shared<EmailOptions>();
  CLI::App* cmd = app.add_subcommand(
      "email", "Convert pictures into e-mail sized JPEG files in an 'email' folder beside each");
  cmd->add_option("PATH", opt->paths, "Picture files, or folders whose pictures are converted")
      ->required();
  cmd->add_flag("-r,--recursive", opt->recursive,
                "Descend into sub-folders (never into 'email' folders)");
  cmd->add_option("-j,--jobs", opt->jobs, "Number of workers (default: the number of cores)")
      ->check(CLI::Range(1u, 256u));
  cmd->add_flag("-q,--quiet", opt->quiet, "No progress bar");
  cmd->add_flag("--keep-orientation", opt->keep_orientation,
                "Keep the stored pixel order of photographs instead of turning them upright");
  cmd->callback([opt, &exit_code] { exit_code = run_email(*opt); });
}
