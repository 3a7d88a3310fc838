// parvula-cli email: the window's "Execute!" for files and folders named on
// the command line.
#include "commands.h"

#include "batch_runner.h"
#include "mail_fit.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
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
  std::int32_t size = kMailSizeLimit;
  std::uint16_t quality = kMailQuality;
  std::string output_dir;
  bool dry_run = false;
  std::string fit;
  bool keep_orientation = false;
  bool whole_bitmap = false;
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

void report_collision(const std::string& source, const std::string& later,
                      const std::string& output) {
  std::fprintf(stderr, "parvula-cli: %s and %s both write %s; the later one is kept.\n",
               source.c_str(), later.c_str(), output.c_str());
}

// Lists the outputs a run would write, and where; touches nothing.
int dry_run(const std::vector<std::string>& files, const std::vector<std::string>& outputs,
            std::size_t missing) {
  const std::vector<long> superseded = SupersededBy(outputs);
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (superseded[i] >= 0)
      report_collision(files[i], files[static_cast<std::size_t>(superseded[i])], outputs[i]);
    else
      std::printf("%s -> %s\n", files[i].c_str(), outputs[i].c_str());
  }
  std::printf("%zu to convert, nothing written\n", files.size());
  return missing ? 1 : 0;
}

int run_fit(const EmailOptions& opt, std::uint64_t budget, const std::vector<std::string>& files,
            const std::vector<std::string>& outputs, unsigned jobs, std::size_t missing) {
  MailOptions mail;
  mail.keep_orientation = opt.keep_orientation;
  mail.stream = !opt.whole_bitmap;
  FitReport report = FitMail(files, outputs, budget, jobs, {}, mail);
  if (!report.fits) {
    std::fprintf(stderr,
                 "parvula-cli: the pictures do not fit in %llu bytes: even quality %u at size %d "
                 "takes %llu bytes in a mail; nothing written.\n",
                 static_cast<unsigned long long>(budget), unsigned{report.quality}, report.size,
                 static_cast<unsigned long long>(report.total));
    return 1;
  }
  if (!opt.dry_run) WriteFitOutputs(report);
  std::size_t converted = 0, failed = missing;
  for (const FitItem& item : report.items) {
    if (item.superseded_by >= 0) {
      report_collision(item.source,
                       report.items[static_cast<std::size_t>(item.superseded_by)].source,
                       item.output);
    } else if (!item.result.converted) {
      ++failed;
      std::fprintf(stderr, "parvula-cli: %s: %s\n", item.source.c_str(),
                   item.result.message.c_str());
    } else {
      ++converted;
      if (opt.dry_run)
        std::printf("%s -> %s (%zu bytes)\n", item.source.c_str(), item.output.c_str(),
                    item.bytes.size());
    }
  }
  std::printf("quality %u, size %d: %llu bytes in a mail of at most %llu, settings tried: %u\n",
              unsigned{report.quality}, report.size, static_cast<unsigned long long>(report.total),
              static_cast<unsigned long long>(budget), report.tries);
  if (opt.dry_run)
    std::printf("%zu to convert, nothing written\n", converted);
  else
    std::printf("%zu converted, %zu not converted\n", converted, failed);
  return failed ? 1 : 0;
}

int run_email(const EmailOptions& opt) {
  std::optional<std::uint64_t> budget;
  if (!opt.fit.empty() && !(budget = ParseByteSize(opt.fit))) {
    std::fprintf(stderr, "parvula-cli: --fit: not a number of bytes: %s\n", opt.fit.c_str());
    return kExitUsage;
  }
  std::vector<std::string> missing;
  const std::vector<BatchSource> sources = CollectBatchSources(opt.paths, opt.recursive, &missing);
  for (const std::string& m : missing)
    std::fprintf(stderr, "parvula-cli: %s: No such file or folder.\n", m.c_str());
  std::vector<std::string> files, outputs;
  for (const BatchSource& s : sources) {
    files.push_back(s.file);
    outputs.push_back(opt.output_dir.empty() ? MailFileName(s.file)
                                             : OutputUnder(s, opt.output_dir));
  }

  const unsigned jobs = opt.jobs ? opt.jobs : std::max(1u, std::thread::hardware_concurrency());
  if (budget) return run_fit(opt, *budget, files, outputs, jobs, missing.size());
  if (opt.dry_run) return dry_run(files, outputs, missing.size());

  const bool bar = !opt.quiet && isatty(STDERR_FILENO);
  BatchProgressFn progress;
  if (bar) progress = draw_progress;
  MailSettings settings;
  settings.size = opt.size;
  settings.quality = opt.quality;
  settings.keep_orientation = opt.keep_orientation;
  settings.stream = !opt.whole_bitmap;
  const std::vector<BatchOutcome> outcomes = RunBatch(files, outputs, settings, jobs, progress);
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
      report_collision(o.source, outcomes[static_cast<std::size_t>(o.superseded_by)].source,
                       o.result.output);
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
  cmd->add_flag("--whole-bitmap", opt->whole_bitmap,
                "Decode every picture into one bitmap before resizing (JPEG files are otherwise "
                "decoded in bands straight into the resize; the outputs are the same)");
  CLI::Option* size =
      cmd->add_option("-s,--size", opt->size,
                      "Longer side of the outputs; larger pictures are resized (default 1024)")
          ->check(CLI::Range(1, 65535));
  CLI::Option* quality =
      cmd->add_option("--quality", opt->quality, "JPEG quality 1..100 (default 80)")
          ->check(CLI::Range(1, 100));
  cmd->add_option("-o,--output", opt->output_dir,
                  "Write every output into DIR, keeping the folders below each PATH");
  cmd->add_flag("-n,--dry-run", opt->dry_run,
                "List what would be written, and where; write nothing");
  cmd->add_option("--fit", opt->fit,
                  "Choose one quality (80 down to 40), then one size (1024 down to 640), so that "
                  "the outputs sent in one mail take at most BYTES (suffixes K, M, G, Ki, Mi, Gi)")
      ->excludes(size)
      ->excludes(quality);
  cmd->callback([opt, &exit_code] { exit_code = run_email(*opt); });
}
