#include "mail_fit.h"

#include "batch_runner.h"
#include "channel_stretch.h"
#include "vexImageFile.h"
#include "vexImageResStr.h"
#include "vexImageTransform.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>

namespace fs = std::filesystem;

namespace {

// One source during the search: its metadata (carried into the JFIF header
// like a save from the manager), its size when loaded and its picture at the
// size being searched.
struct Source {
  TvexImageInfo info;
  std::int32_t width = 0, height = 0;
  std::unique_ptr<TvexImage> picture;
};

bool encode(const Source& s, const TvexImage& picture, std::uint16_t quality,
            std::vector<std::uint8_t>& out) {
  TvexImageFileMgr settings;
  std::unique_ptr<TvexImageFile> writer = vexMakeFormat(FF_JPEG, settings);
  TvexImageInfo info;
  info.Assign(s.info);
  writer->SetImageInfo(&info);
  writer->SetCompression(CP_JPEG_STD);
  writer->SetQuality(quality);
  writer->SetInterlaced(false);
  vex::platform::MemoryStream stream;
  try {
    writer->SaveToStream(stream, const_cast<TvexImage&>(picture).GetDibHandle());
  } catch (...) {
    return false;
  }
  if (writer->GetError() != EC_OK) return false;
  out = stream.TakeBytes();
  return true;
}

// `source`'s picture at longer side `size`, resized from the picture kept and
// stretched like the road's; null when the resize fails.
std::unique_ptr<TvexImage> at_size(const Source& s, std::int32_t size) {
  std::int32_t w = 0, h = 0;
  MailSize(s.width, s.height, w, h, size);
  auto out = std::make_unique<TvexImage>();
  if (w == s.picture->Width() && h == std::abs(s.picture->Height())) {
    out->Assign(s.picture.get());
    return out;
  }
  out->SetWidth(w);
  out->SetHeight(h);
  TvexImageTransform transform(nullptr);
  transform.SetSourceImage(0, s.picture.get());
  transform.SetResultImage(out.get());
  if (!transform.Resize(IP_BICUBIC) || vex::platform::is_null(out->GetDibHandle())) return nullptr;
  StretchChannels(*out);
  return out;
}

class Search {
public:
  Search(FitReport& report, std::vector<Source>& sources, std::uint64_t budget, unsigned workers)
      : report_(report), sources_(sources), budget_(budget), workers_(workers) {}

  // Encodes every live item at `quality` (pictures made at `size` from the
  // kept ones unless `size` is theirs). Stops early once over the budget.
  // When it fits, the bytes become the items' and the setting the report's.
  bool fits(std::uint16_t quality, std::int32_t size, bool kept_size, bool stop_early = true) {
    ++report_.tries;
    std::atomic<std::uint64_t> total{0};
    std::atomic<bool> failed{false};
    std::vector<std::vector<std::uint8_t>> bytes(sources_.size());
    ParallelFor(sources_.size(), workers_, [&](std::size_t i) {
      if (!live(i) || (stop_early && total.load() > budget_)) return;
      std::unique_ptr<TvexImage> resized;
      const TvexImage* picture = sources_[i].picture.get();
      if (!kept_size) {
        resized = at_size(sources_[i], size);
        picture = resized.get();
      }
      if (!picture || !encode(sources_[i], *picture, quality, bytes[i])) {
        failed = true;
        return;
      }
      total += MailEncodedSize(bytes[i].size());
    });
    const bool ok = !failed && total.load() <= budget_;
    if (ok || !stop_early) {
      report_.total = total.load();
      report_.quality = quality;
      report_.size = size;
    }
    if (ok)
      for (std::size_t i = 0; i < sources_.size(); ++i)
        report_.items[i].bytes = std::move(bytes[i]);
    return ok;
  }

  // The highest quality in [low, high] that fits, `low` being known to fit
  // and `high` not.
  void best_quality(std::uint16_t low, std::uint16_t high, std::int32_t size) {
    while (high - low > 1) {
      const auto mid = static_cast<std::uint16_t>((low + high) / 2);
      if (fits(mid, size, true))
        low = mid;
      else
        high = mid;
    }
    // The last try that fitted was at `low`: its bytes and setting are kept.
  }

  bool live(std::size_t i) const {
    return sources_[i].picture && report_.items[i].superseded_by < 0;
  }

private:
  FitReport& report_;
  std::vector<Source>& sources_;
  std::uint64_t budget_;
  unsigned workers_;
};

} // namespace

std::uint64_t MailEncodedSize(std::uint64_t n) {
  const std::uint64_t chars = (n + 2) / 3 * 4;
  return chars + (chars + 75) / 76 * 2;
}

std::optional<std::uint64_t> ParseByteSize(const std::string& text) {
  std::size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  if (digits == 0 || digits > 15) return std::nullopt;
  std::uint64_t value = std::stoull(text.substr(0, digits));
  std::string unit = text.substr(digits);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const struct {
    const char* unit;
    std::uint64_t factor;
  } kUnits[] = {
      {"", 1},      {"K", 1000},         {"M", 1000 * 1000},        {"G", 1000 * 1000 * 1000},
      {"KI", 1024}, {"MI", 1024 * 1024}, {"GI", 1024 * 1024 * 1024}};
  for (const auto& u : kUnits) {
    if (unit != u.unit) continue;
    if (value == 0 || value > std::numeric_limits<std::uint64_t>::max() / u.factor / 4)
      return std::nullopt;
    return value * u.factor;
  }
  return std::nullopt;
}

FitReport FitMail(const std::vector<std::string>& files, const std::vector<std::string>& outputs,
                  std::uint64_t budget, unsigned workers, const FitRange& range,
                  const MailOptions& options) {
  FitReport report;
  report.items.resize(files.size());
  std::vector<std::string> named(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    named[i] = i < outputs.size() && !outputs[i].empty() ? outputs[i] : MailFileName(files[i]);
    report.items[i].source = files[i];
    report.items[i].output = named[i];
  }
  const std::vector<long> superseded = SupersededBy(named);

  // Each source decoded once, into its picture at the largest size searched;
  // the decoded picture is dropped as soon as that one exists.
  std::vector<Source> sources(files.size());
  ParallelFor(files.size(), workers, [&](std::size_t i) {
    FitItem& item = report.items[i];
    item.superseded_by = superseded[i];
    if (item.superseded_by >= 0) return;
    TvexImageFileMgr manager;
    auto picture = std::make_unique<TvexImage>();
    item.result = PrepareMailPicture(files[i], manager, range.size_high, *picture, options);
    item.result.output = item.output;
    if (!item.result.converted) return;
    Source& s = sources[i];
    s.info.Assign(manager.GetImageInfo());
    // The size as loaded decides the size of every try.
    s.width = item.result.source_width;
    s.height = item.result.source_height;
    s.picture = std::move(picture);
  });

  Search search(report, sources, budget, workers);
  if (search.fits(range.quality_high, range.size_high, true)) {
    report.fits = true;
  } else if (search.fits(range.quality_low, range.size_high, true)) {
    report.fits = true;
    search.best_quality(range.quality_low, range.quality_high, range.size_high);
  } else if (!search.fits(range.quality_low, range.size_low, false, false)) {
    report.fits = false; // the total of the smallest setting stays in the report
  } else {
    report.fits = true;
    std::int32_t low = range.size_low, high = range.size_high;
    while (high - low > 1) {
      const std::int32_t mid = (low + high) / 2;
      if (search.fits(range.quality_low, mid, false))
        low = mid;
      else
        high = mid;
    }
    // Keep the pictures at the size found only, then raise the quality there.
    for (std::size_t i = 0; i < sources.size(); ++i) {
      if (!sources[i].picture) continue;
      sources[i].picture = at_size(sources[i], low);
      if (!sources[i].picture) {
        report.items[i].result.converted = false;
        report.items[i].result.error = EC_NORESULT;
        report.items[i].result.message = vexErrorMessage(EC_NORESULT);
      }
    }
    if (!search.fits(range.quality_high, low, true))
      search.best_quality(range.quality_low, range.quality_high, low);
  }
  for (std::size_t i = 0; i < files.size(); ++i)
    if (report.items[i].result.converted && (!report.fits || !search.live(i)))
      report.items[i].bytes.clear();
  return report;
}

void WriteFitOutputs(FitReport& report) {
  if (!report.fits) return;
  for (FitItem& item : report.items) {
    if (!item.result.converted || item.superseded_by >= 0) continue;
    std::error_code ec;
    fs::create_directories(fs::path(item.output).parent_path(), ec);
    // Written under a temporary name and renamed, as the road does.
    const std::string partial = item.output + ".part";
    bool ok = false;
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(item.bytes.data()),
                static_cast<std::streamsize>(item.bytes.size()));
      out.close();
      ok = out.good();
    }
    if (ok) fs::rename(partial, item.output, ec);
    if (!ok || ec) {
      fs::remove(partial, ec);
      item.result.converted = false;
      item.result.error = EC_CREATEFILE;
      item.result.message = vexErrorMessage(EC_CREATEFILE);
    }
  }
}
