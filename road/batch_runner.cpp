#include "batch_runner.h"

#include "file_filter.h"
#include "vexImageFile.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <exception>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace {

// Case-insensitive name order, as a sorted file list shows names.
bool name_less(const fs::path& a, const fs::path& b) {
  const std::string x = a.filename().string(), y = b.filename().string();
  const auto lower = [](unsigned char c) { return std::tolower(c); };
  const bool less = std::lexicographical_compare(
      x.begin(), x.end(), y.begin(), y.end(),
      [&](unsigned char p, unsigned char q) { return lower(p) < lower(q); });
  const bool greater = std::lexicographical_compare(
      y.begin(), y.end(), x.begin(), x.end(),
      [&](unsigned char p, unsigned char q) { return lower(p) < lower(q); });
  return less || (!greater && x < y);
}

void collect_folder(const fs::path& dir, bool recursive, std::vector<std::string>& out,
                    std::vector<std::string>* roots = nullptr, const std::string& root = {}) {
  std::vector<fs::path> files, folders;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path p = it->path();
    std::error_code ec2;
    if (it->is_directory(ec2)) {
      if (recursive && p.filename() != "email") folders.push_back(p);
    } else if (ImageFileFilter(p.filename().string(), false)) {
      files.push_back(p);
    }
  }
  std::sort(files.begin(), files.end(), name_less);
  std::sort(folders.begin(), folders.end(), name_less);
  for (const auto& f : files) {
    out.push_back(f.string());
    if (roots) roots->push_back(root);
  }
  for (const auto& d : folders) collect_folder(d, recursive, out, roots, root);
}

// The folder of a bare file name is empty, which fs::absolute refuses.
fs::path absolute_normal(const fs::path& path) {
  return fs::absolute(path.empty() ? fs::path(".") : path).lexically_normal();
}

std::string normal_path(const std::string& path) {
  return absolute_normal(path).string();
}

} // namespace

std::vector<std::string> CollectBatchFiles(const std::vector<std::string>& paths, bool recursive,
                                           std::vector<std::string>* missing) {
  std::vector<std::string> out;
  for (BatchSource& s : CollectBatchSources(paths, recursive, missing))
    out.push_back(std::move(s.file));
  return out;
}

std::vector<BatchSource> CollectBatchSources(const std::vector<std::string>& paths, bool recursive,
                                             std::vector<std::string>* missing) {
  std::vector<std::string> files, roots;
  for (const std::string& p : paths) {
    std::error_code ec;
    const auto status = fs::status(p, ec);
    if (ec || !fs::exists(status)) {
      if (missing) missing->push_back(p);
    } else if (fs::is_directory(status)) {
      collect_folder(p, recursive, files, &roots, p);
    } else {
      files.push_back(p);
      roots.push_back(fs::path(p).parent_path().string());
    }
  }
  std::vector<BatchSource> out(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) out[i] = {files[i], roots[i]};
  return out;
}

std::string OutputUnder(const BatchSource& source, const std::string& out_dir) {
  const fs::path root = source.root.empty() ? fs::path(".") : fs::path(source.root);
  const fs::path below = absolute_normal(fs::path(source.file).parent_path())
                             .lexically_relative(absolute_normal(root));
  fs::path folder = fs::path(out_dir);
  if (!below.empty() && below != ".") folder /= below;
  return MailFileNameIn(source.file, folder.lexically_normal().string());
}

std::vector<long> SupersededBy(const std::vector<std::string>& outputs) {
  std::map<std::string, long> last;
  for (std::size_t i = 0; i < outputs.size(); ++i)
    last[normal_path(outputs[i])] = static_cast<long>(i);
  std::vector<long> by(outputs.size(), -1);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const long l = last[normal_path(outputs[i])];
    if (l != static_cast<long>(i)) by[i] = l;
  }
  return by;
}

void ParallelFor(std::size_t count, unsigned workers,
                 const std::function<void(std::size_t)>& work) {
  std::atomic<std::size_t> next{0};
  auto run = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < count;) work(i);
  };
  workers =
      std::clamp<unsigned>(workers, 1, static_cast<unsigned>(std::max<std::size_t>(count, 1)));
  if (workers == 1) return run();
  std::vector<std::thread> pool;
  for (unsigned w = 0; w < workers; ++w) pool.emplace_back(run);
  for (auto& t : pool) t.join();
}

std::vector<BatchOutcome> RunBatch(const std::vector<std::string>& files, unsigned workers,
                                   const BatchProgressFn& progress, const MailOptions& options) {
  MailSettings settings;
  static_cast<MailOptions&>(settings) = options;
  return RunBatch(files, std::vector<std::string>(files.size()), settings, workers, progress);
}

std::vector<BatchOutcome> RunBatch(const std::vector<std::string>& files,
                                   const std::vector<std::string>& outputs,
                                   const MailSettings& settings, unsigned workers,
                                   const BatchProgressFn& progress, const BatchControl& control) {
  std::vector<BatchOutcome> outcomes(files.size());
  std::vector<MailSettings> each(files.size(), settings);
  // Files that write the same output form one group, converted in order.
  std::map<std::string, std::vector<std::size_t>> by_output;
  std::vector<std::vector<std::size_t>> groups;
  for (std::size_t i = 0; i < files.size(); ++i) {
    outcomes[i].source = files[i];
    each[i].output =
        i < outputs.size() && !outputs[i].empty() ? outputs[i] : MailFileName(files[i]);
    by_output[normal_path(each[i].output)].push_back(i);
  }
  std::set<std::string> folders;
  for (auto& [output, members] : by_output) {
    for (std::size_t k = 0; k + 1 < members.size(); ++k)
      outcomes[members[k]].superseded_by = static_cast<long>(members.back());
    groups.push_back(members);
    folders.insert(fs::path(output).parent_path().string());
  }
  // Groups in the order of their first file, so progress follows the input.
  std::sort(groups.begin(), groups.end(),
            [](const auto& a, const auto& b) { return a.front() < b.front(); });
  for (const std::string& folder : folders) {
    std::error_code ec;
    fs::create_directories(folder, ec); // a failure shows as a failed save of each file
  }

  // Fewer pictures than workers (one big photo, say): each conversion may
  // use a second core for its own decoding.
  if (workers > groups.size())
    for (MailSettings& s : each) s.helpers = std::max(s.helpers, 1);

  std::atomic<std::size_t> next{0};
  std::mutex report;
  std::size_t done = 0;
  auto work = [&] {
    TvexImageFileMgr manager;
    for (std::size_t g; (g = next.fetch_add(1)) < groups.size();) {
      for (std::size_t i : groups[g]) {
        if (control.stop && control.stop->load()) return;
        outcomes[i].started = true;
        try {
          outcomes[i].result = control.convert ? control.convert(files[i], manager, each[i])
                                               : ConvertFile(files[i], manager, each[i]);
        } catch (const std::exception& e) {
          // One file that fails this way (out of memory, say) must not end the run.
          outcomes[i].result.converted = false;
          outcomes[i].result.output = each[i].output;
          outcomes[i].result.message = e.what();
        } catch (...) {
          outcomes[i].result.converted = false;
          outcomes[i].result.output = each[i].output;
          outcomes[i].result.message = "the conversion failed";
        }
        std::lock_guard lock(report);
        ++done;
        if (progress) progress(done, files.size(), files[i]);
        if (control.file_done) control.file_done(i, outcomes[i]);
      }
    }
  };
  workers = std::clamp<unsigned>(workers, 1,
                                 static_cast<unsigned>(std::max<std::size_t>(groups.size(), 1)));
  if (workers == 1) {
    work();
  } else {
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < workers; ++w) pool.emplace_back(work);
    for (auto& t : pool) t.join();
  }
  return outcomes;
}
