#include "commands.h"

#include "vexImageFile.h"

#include <iostream>
#include <memory>

namespace {

bool same_format(TvexFileFormat a, TvexFileFormat b) {
  auto family = [](TvexFileFormat f) -> int {
    if (f == FF_DIB) return FF_BMP;
    if (f == FF_CRI) return FF_TIFF;
    return f;
  };
  return family(a) == family(b);
}

} // namespace

int run_convert(const ConvertOptions& options, std::ostream& out, std::ostream& err) {
  TvexImageFileMgr manager;
  TvexFileFormat format = FF_DETECT;
  if (options.format) format = static_cast<TvexFileFormat>(*options.format);
  if (format == FF_DETECT) format = TvexImageFileMgr::FormatFromExtension(options.output);
  if (format >= FF_UNKNOWN) {
    err << "parvula-cli: cannot tell the format of " << options.output
        << " from its extension; give --format\n";
    return kExitUsage;
  }
  if (!manager.CreateFormat(format)) {
    err << "parvula-cli: no writer for format " << int{format} << " (" << vexFormatName(format)
        << ")\n";
    return kExitFailed;
  }

  TvexImage image;
  DibHandle dib = DibHandle::Null;
  try {
    dib = manager.LoadImage(options.input, FF_DETECT);
  } catch (const std::exception& e) {
    err << options.input << ": error " << int{EC_EXCEPTION} << " " << vexErrorMessage(EC_EXCEPTION)
        << " (" << e.what() << ")\n";
    return kExitFailed;
  }
  if (!vex::platform::is_null(dib)) image.SetDibHandle(dib);
  if (vex::platform::is_null(dib) || manager.GetLastError() != EC_OK) {
    const TvexErrorCode e = manager.GetLastError();
    err << options.input << ": error " << int{e} << " " << vexErrorMessage(e) << "\n";
    return kExitFailed;
  }
  const TvexFileFormat loaded = manager.GetImageInfo().FileFormat();

  // A load leaves the file's own settings in the manager; they carry over
  // only to a file of the same format.
  if (options.compression)
    manager.SetCompression(static_cast<TvexCompression>(*options.compression));
  else if (!same_format(loaded, format))
    // PCX knows no other storage than its run-length coding.
    manager.SetCompression(format == FF_JPEG  ? CP_JPEG_STD
                           : format == FF_PCX ? CP_PCX_RLE
                           : format == FF_PNG ? CP_DEFLATE
                                              : CP_NOCOMP);
  if (options.quality) manager.SetQuality(static_cast<std::uint16_t>(*options.quality));

  try {
    if (options.append) {
      const std::unique_ptr<TvexImageFile> file = vexMakeFormat(format, manager);
      if (!file || !file->GetCanAppend()) {
        err << "parvula-cli: format " << int{format} << " (" << vexFormatName(format)
            << ") holds one image a file\n";
        return kExitFailed;
      }
      file->SetCompression(manager.GetCompression());
      file->SetQuality(manager.GetQuality());
      file->AppendImage(options.output, image.GetDibHandle());
      if (file->GetError() != EC_OK) {
        const TvexErrorCode e = file->GetError();
        err << options.output << ": error " << int{e} << " " << vexErrorMessage(e) << "\n";
        return kExitFailed;
      }
    } else {
      manager.SaveImage(options.output, format, image.GetDibHandle());
    }
  } catch (const std::exception& e) {
    // A writer that lets its coder's exception out (the JPEG writer does).
    err << options.output << ": error " << int{manager.GetLastError()} << " (" << e.what() << ")\n";
    return kExitFailed;
  }
  const TvexErrorCode e = manager.GetLastError();
  if (e != EC_OK) {
    err << options.output << ": error " << int{e} << " " << vexErrorMessage(e) << "\n";
    return kExitFailed;
  }
  out << options.input << " -> " << options.output << " (" << vexFormatName(format) << ", "
      << vexCompressionName(manager.GetCompression()) << ")\n";
  return kExitOk;
}

void add_convert_command(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<ConvertOptions>();
  CLI::App* cmd = app.add_subcommand("convert", "Load an image file and save it in another format "
                                                "(by default the one of OUT's extension).");
  cmd->add_option("in", options->input, "File to read")->required();
  cmd->add_option("out", options->output, "File to write")->required();
  cmd->add_option("--format", options->format,
                  "Format number of OUT (0..24; 24 = from OUT's extension)")
      ->check(CLI::Range(0, 24));
  cmd->add_option("--compression", options->compression, "Compression number (0..26)")
      ->check(CLI::Range(0, 26));
  cmd->add_option("--quality", options->quality, "Quality 1..100 for lossy formats")
      ->check(CLI::Range(1, 100));
  cmd->add_flag("--append", options->append,
                "Add the picture as the next page of an existing OUT (TIFF)");
  cmd->callback([options, &exit_code] { exit_code = run_convert(*options, std::cout, std::cerr); });
}
