// Runs the batch road over many files on several workers, each with its own
// format manager. The files written are the same whatever the number of
// workers: files that name the same output are converted in their given
// order by one worker, so the last one wins as in a sequential run.
#pragma once

#include "batch.h"

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

struct BatchOutcome {
  std::string source;
  ConvertResult result;
  // Index (in the input) of a later source that writes the same output, or -1.
  long superseded_by = -1;
};

// Called after each file, serialised: files done so far, total, file just handled.
using BatchProgressFn =
    std::function<void(std::size_t done, std::size_t total, const std::string& file)>;

// Creates each output folder, converts every file and returns one outcome per
// input file, in input order.
std::vector<BatchOutcome> RunBatch(const std::vector<std::string>& files, unsigned workers,
                                   const BatchProgressFn& progress = {},
                                   const MailOptions& options = {});
