// Fitting a selection into one mail: one quality and, when that is not
// enough, one longer side for every picture, so that the outputs once
// base64-encoded stay under a budget.
#pragma once

#include "batch.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Bytes a file of `n` bytes takes in a mail: base64 (4 characters for every
// 3 bytes or part of them) in lines of at most 76 characters, each ended by
// CR LF. The part headers of the mail are not counted.
std::uint64_t MailEncodedSize(std::uint64_t n);

// "20M", "500K", "3G", "2Mi", "1048576": bytes (K, M, G are powers of 1000,
// Ki, Mi, Gi powers of 1024; lower case is accepted). Empty when malformed,
// zero or too large.
std::optional<std::uint64_t> ParseByteSize(const std::string& text);

// The settings tried, best first: quality from high to low at size_high,
// then sizes from size_high down to size_low.
struct FitRange {
  std::uint16_t quality_high = kMailQuality, quality_low = 40;
  std::int32_t size_high = kMailSizeLimit, size_low = 640;
};

struct FitItem {
  std::string source, output;
  ConvertResult result;            // converted: the picture was prepared and encoded
  long superseded_by = -1;         // a later source writes the same output
  std::vector<std::uint8_t> bytes; // the JPEG file at the chosen setting
};

struct FitReport {
  bool fits = false;
  std::uint16_t quality = 0;
  std::int32_t size = 0;
  std::uint64_t total = 0; // mail size of the outputs at the chosen setting,
                           // or at the smallest setting when nothing fits
  unsigned tries = 0;      // settings encoded
  std::vector<FitItem> items;
};

// Decodes every file once and searches the settings; writes nothing.
// `outputs[i]` names the output of `files[i]` (empty: MailFileName).
FitReport FitMail(const std::vector<std::string>& files, const std::vector<std::string>& outputs,
                  std::uint64_t budget, unsigned workers, const FitRange& range = {},
                  const MailOptions& options = {});

// Writes the bytes of every fitted item (folders created as needed); the
// results of items that could not be written are updated.
void WriteFitOutputs(FitReport& report);
