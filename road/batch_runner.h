// Runs the batch road over many files on several workers, each with its own
// format manager. The files written are the same whatever the number of
// workers: files that name the same output are converted in their given
// order by one worker, so the last one wins as in a sequential run.
#pragma once

#include "batch.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Files of `paths` in the order a sequential run takes them: a file as given;
// a folder contributes the files the window's list would show, sorted by
// name; with `recursive`, sub-folders too (never `email` folders, which hold
// outputs). Paths that do not exist are returned in `missing`.
std::vector<std::string> CollectBatchFiles(const std::vector<std::string>& paths, bool recursive,
                                           std::vector<std::string>* missing = nullptr);

// A file to convert and the folder it was found under: the PATH given, or
// the file's own folder for a file given by name.
struct BatchSource {
  std::string file;
  std::string root;
};
// CollectBatchFiles, keeping where each file came from.
std::vector<BatchSource> CollectBatchSources(const std::vector<std::string>& paths, bool recursive,
                                             std::vector<std::string>* missing = nullptr);
// The output of `source` in `out_dir`, keeping the folders between its root and
// the file: <out_dir>/<folders below root>/<stem>.jpg.
std::string OutputUnder(const BatchSource& source, const std::string& out_dir);

struct BatchOutcome {
  std::string source;
  ConvertResult result;
  // Index (in the input) of a later source that writes the same output, or -1.
  long superseded_by = -1;
  // False when the run was stopped before this file's turn: nothing was
  // written for it and `result` says nothing.
  bool started = false;
};

// Called after each file, serialised: files done so far, total, file just handled.
using BatchProgressFn =
    std::function<void(std::size_t done, std::size_t total, const std::string& file)>;

// What a caller may add to a run.
struct BatchControl {
  // Checked before each file starts: once set, files not yet started are left
  // alone (those under way finish, so no output is left half-written).
  const std::atomic<bool>* stop = nullptr;
  // Called after each file, serialised, with its index in the input.
  std::function<void(std::size_t index, const BatchOutcome& outcome)> file_done;
  // Converts one file with the worker's own manager; empty: ConvertFile.
  std::function<ConvertResult(const std::string& file, TvexImageFileMgr& manager,
                              const MailSettings& settings)>
      convert;
};

// Creates each output folder, converts every file and returns one outcome per
// input file, in input order.
std::vector<BatchOutcome> RunBatch(const std::vector<std::string>& files, unsigned workers,
                                   const BatchProgressFn& progress = {},
                                   const MailOptions& options = {});
// The same with the output of each file given (`outputs[i]` for `files[i]`;
// an empty one is MailFileName) and the size and quality of `settings`.
std::vector<BatchOutcome> RunBatch(const std::vector<std::string>& files,
                                   const std::vector<std::string>& outputs,
                                   const MailSettings& settings, unsigned workers,
                                   const BatchProgressFn& progress = {},
                                   const BatchControl& control = {});
// Index of the later source writing the same output for each of `outputs`, or -1.
std::vector<long> SupersededBy(const std::vector<std::string>& outputs);
// Runs `work(i)` for i in [0, count) on up to `workers` threads.
void ParallelFor(std::size_t count, unsigned workers, const std::function<void(std::size_t)>& work);
