#include "commands.h"

#include "vexImageFile.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

const char* colour_format_name(TvexImageFormat f) {
  static const char* const kNames[] = {
      "black and white", "4-bit grey", "4-bit palette", "8-bit grey",  "8-bit palette",
      "15-bit RGB",      "16-bit RGB", "24-bit RGB",    "32-bit RGBA", "32-bit RGB"};
  return f <= IF_RGB32 ? kNames[f] : "unknown";
}

const char* unit_name(TvexResolutionUnit u) {
  switch (u) {
  case RU_INCH:
    return "inch";
  case RU_CENTIMETER:
    return "centimetre";
  case RU_PICA:
    return "pica";
  case RU_POINT:
    return "point";
  case RU_TWIP:
    return "twip";
  case RU_METER:
    return "metre";
  default:
    return "none";
  }
}

const char* orientation_name(int o) {
  static const char* const kNames[] = {"as stored",
                                       "mirrored left to right",
                                       "turned half round",
                                       "mirrored top to bottom",
                                       "mirrored along the main diagonal",
                                       "stored a quarter turn anticlockwise",
                                       "mirrored along the other diagonal",
                                       "stored a quarter turn clockwise"};
  return o >= 1 && o <= 8 ? kNames[o - 1] : "unknown";
}

// Days since 30 December 1899 as a UTC date and time.
std::string date_text(double days) {
  const double seconds = (days - 25569.0) * 86400.0; // 25569: 1 January 1970
  const auto t = static_cast<std::time_t>(std::floor(seconds));
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S UTC", &tm);
  return buf;
}

void print_metadata(const TvexImageInfo& info, std::ostream& out) {
  const std::pair<const char*, const std::string*> texts[] = {
      {"artist", &info.Artist()},
      {"copyright", &info.RightsNotice()},
      {"description", &info.Description()},
      {"document", &info.DocumentName()},
      {"host computer", &info.HostComputer()},
      {"make", &info.Make()},
      {"model", &info.Model()},
      {"software", &info.Software()},
      {"page name", &info.PageName()}};
  for (const auto& [label, text] : texts)
    if (!text->empty()) out << "  " << label << ": " << *text << "\n";
  if (info.XResolution() != 0 || info.YResolution() != 0)
    out << "  resolution: " << info.XResolution() << " x " << info.YResolution() << " per "
        << unit_name(info.ResolutionUnit()) << "\n";
  if (info.XPosition() != 0 || info.YPosition() != 0)
    out << "  position: " << info.XPosition() << ", " << info.YPosition() << "\n";
  if (info.Version() != 0) out << "  version: " << info.Version() << "\n";
  if (info.PageNumber() != 1) out << "  page: " << info.PageNumber() << "\n";
  if (info.AspectNumerator() != info.AspectDenominator())
    out << "  aspect: " << info.AspectNumerator() << ":" << info.AspectDenominator() << "\n";
  if (info.Orientation() != 1)
    out << "  orientation: " << int{info.Orientation()} << " "
        << orientation_name(info.Orientation()) << "\n";
  if (info.FileSize() != 0) out << "  file size: " << info.FileSize() << " bytes\n";
  if (info.DateTime() != 0) out << "  modified: " << date_text(info.DateTime()) << "\n";
}

} // namespace

int run_info(const InfoOptions& options, std::ostream& out, std::ostream& /*err*/) {
  int status = kExitOk;
  for (const std::string& file : options.files) {
    TvexImageFileMgr manager;
    TvexImage image;
    out << file << "\n";
    DibHandle dib = DibHandle::Null;
    try {
      dib = manager.LoadImage(file, FF_DETECT);
    } catch (const std::exception& e) {
      // A reader that raised: no image, as the window treats it.
      out << "  error: " << int{EC_EXCEPTION} << " " << vexErrorMessage(EC_EXCEPTION) << " ("
          << e.what() << ")\n";
      status = kExitFailed;
      continue;
    }
    if (!vex::platform::is_null(dib)) {
      image.SetDibHandle(dib);
      const TvexImageInfo& info = manager.GetImageInfo();
      out << "  format: " << int{info.FileFormat()} << " " << vexFormatName(info.FileFormat())
          << "\n";
      out << "  size: " << image.Width() << " x " << std::abs(image.Height()) << "\n";
      out << "  bit count: " << image.BitCount() << "\n";
      const TvexImageFormat colour = image.ImageFormat();
      out << "  colour format: " << int{colour} << " " << colour_format_name(colour) << "\n";
      out << "  compression: " << int{manager.GetCompression()} << " "
          << vexCompressionName(manager.GetCompression()) << "\n";
      if (manager.GetMoreImages()) out << "  more images: yes\n";
      print_metadata(info, out);
    }
    const TvexErrorCode error = manager.GetLastError();
    if (error != EC_OK || vex::platform::is_null(dib)) {
      out << "  error: " << int{error} << " " << vexErrorMessage(error) << "\n";
      status = kExitFailed;
    }
  }
  return status;
}

void add_info_command(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<InfoOptions>();
  CLI::App* cmd = app.add_subcommand("info", "Describe image files: format, size, depth, "
                                             "compression and metadata.");
  cmd->add_option("files", options->files, "Image files")->required();
  cmd->callback([options, &exit_code] { exit_code = run_info(*options, std::cout, std::cerr); });
}
