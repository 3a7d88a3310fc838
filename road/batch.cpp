#include "batch.h"

#include "channel_stretch.h"
#include "depth_expand.h"
#include "mail_stream.h"
#include "orientation.h"
#include "vexImageFile.h"
#include "vexImageResStr.h"
#include "vexImageTransform.h"

#include "platform/rounding.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <system_error>

namespace {

// The extension as the text from the last "." after the last "/", dot included.
std::string extension_of(const std::string& file_name) {
  const std::size_t slash = file_name.rfind('/');
  const std::size_t dot = file_name.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  return file_name.substr(dot);
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

ConvertResult failure(ConvertResult r, TvexErrorCode code, std::string message = {}) {
  r.converted = false;
  r.error = code;
  r.message = message.empty() ? vexErrorMessage(code) : std::move(message);
  return r;
}

} // namespace

TvexFileFormat LoadFormatFromName(const std::string& file_name) {
  // Only the first four letters after the dot count: .jpeg2000 reads as JPEG.
  std::string ext = upper(extension_of(file_name).substr(0, 5));
  if (!ext.empty()) ext.erase(0, 1);
  struct Entry {
    const char* ext;
    TvexFileFormat format;
  };
  static constexpr Entry kTable[] = {
      {"JPG", FF_JPEG}, {"JPEG", FF_JPEG}, {"GIF", FF_GIF}, {"TIF", FF_TIFF}, {"TGA", FF_TARGA},
      {"PNG", FF_PNG},  {"BMP", FF_BMP},   {"PCX", FF_PCX}, {"KDC", FF_KDC},  {"DIB", FF_DIB},
  };
  for (const Entry& e : kTable)
    if (ext == e.ext) return e.format;
  return FF_JPEG;
}

DibHandle LoadByExtension(const std::string& file_name, TvexImageFileMgr& manager) {
  try {
    return manager.LoadImage(file_name, LoadFormatFromName(file_name));
  } catch (...) {
    return DibHandle::Null;
  }
}

std::string MailFileName(const std::string& file_name) {
  const std::size_t slash = file_name.rfind('/');
  const std::string dir =
      slash == std::string::npos ? std::string() : file_name.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? file_name : file_name.substr(slash + 1);
  const std::string ext = extension_of(name);
  const std::string stem = name.substr(0, name.size() - ext.size());
  return dir + "email/" + stem + ".jpg";
}

std::string MailFileNameIn(const std::string& file_name, const std::string& folder) {
  const std::size_t slash = file_name.rfind('/');
  const std::string name = slash == std::string::npos ? file_name : file_name.substr(slash + 1);
  const std::string stem = name.substr(0, name.size() - extension_of(name).size());
  std::string out = folder;
  if (!out.empty() && out.back() != '/') out += '/';
  return out + stem + ".jpg";
}

void MailSize(std::int32_t w, std::int32_t h, std::int32_t& out_w, std::int32_t& out_h,
              std::int32_t limit) {
  out_w = w;
  out_h = h;
  if (std::max(w, h) <= limit) return;
  // side * limit in 64 bits (no wrap for any side), divided in extended precision.
  if (w < h) {
    out_w = vex::round_to_int32(static_cast<long double>(std::int64_t{w} * limit) / h);
    out_h = limit;
  } else {
    out_w = limit;
    out_h = vex::round_to_int32(static_cast<long double>(std::int64_t{h} * limit) / w);
  }
}

std::int32_t BatchProgress(std::int32_t done, std::int32_t selected) {
  if (selected <= 0) return 0;
  return vex::round_to_int32(static_cast<long double>(done) * 100.0L / selected);
}

void TurnMetadataUpright(TvexImageInfo& info, int orientation) {
  if (!SwapsSides(orientation)) return;
  const double x = info.XResolution(), y = info.YResolution();
  info.SetXResolution(y);
  info.SetYResolution(x);
  const std::int16_t n = info.AspectNumerator(), d = info.AspectDenominator();
  info.SetAspectNumerator(d);
  info.SetAspectDenominator(n);
}

ConvertResult PrepareMailPicture(const std::string& file_name, TvexImageFileMgr& manager,
                                 std::int32_t size, TvexImage& picture,
                                 const MailOptions& options) {
  ConvertResult result;
  if (StreamMailPicture(file_name, manager, size, picture, options, result)) return result;
  TvexImage& source = picture;
  source.SetDibHandle(LoadByExtension(file_name, manager));
  if (vex::platform::is_null(source.GetDibHandle())) {
    const TvexErrorCode code = manager.GetLastError();
    return failure(result, code == EC_OK ? TvexErrorCode{EC_BADFORMAT} : code);
  }
  // A reader that found no memory for the picture leaves a blank bitmap, not
  // what the file holds: nothing is written.
  if (manager.GetLastError() == EC_NOMEMORY) return failure(result, EC_NOMEMORY);
  result.load_error = manager.GetLastError();
  if (result.load_error != EC_OK) result.load_message = vexErrorMessage(result.load_error);
  // The resize and the writer take 8, 24 and 32 bits: other depths are
  // widened to 24, and so are colour palettes that must be resized.
  const bool resize = std::max(source.Width(), std::abs(source.Height())) > size;
  if (!ExpandForMail(source, resize)) return failure(result, EC_NOMEMORY);
  const std::int32_t depth = source.BitCount();
  if (depth != 8 && depth != 24 && depth != 32) return failure(result, EC_BITDEPTH);

  TvexImageInfo& info = manager.GetImageInfo();
  const int orientation = info.Orientation();
  if (!options.keep_orientation && orientation != 1) {
    if (!TurnUpright(source, orientation)) return failure(result, EC_NOMEMORY);
    TurnMetadataUpright(info, orientation);
    // The output carries no Exif segment: its pixels stand upright as they are.
    info.SetOrientation(1);
  }

  manager.SetCompression(CP_JPEG_STD);
  manager.SetQuality(kMailQuality);

  TvexImage resized;
  const std::int32_t w = source.Width(), h = std::abs(source.Height());
  result.source_width = w;
  result.source_height = h;
  if (std::max(w, h) > size) {
    std::int32_t rw = 0, rh = 0;
    MailSize(w, h, rw, rh, size);
    resized.SetWidth(rw);
    resized.SetHeight(rh);
    TvexImageTransform transform(nullptr);
    transform.SetSourceImage(0, &source);
    transform.SetResultImage(&resized);
    if (!transform.Resize(IP_BICUBIC) || vex::platform::is_null(resized.GetDibHandle())) {
      const TvexErrorCode code =
          transform.Error() != EC_OK ? transform.Error() : TvexErrorCode{EC_NORESULT};
      return failure(result, code);
    }
    source.SetDibHandle(resized.ReleaseHandle());
  }
  StretchChannels(picture);
  result.converted = true;
  return result;
}

ConvertResult ConvertFile(const std::string& file_name, TvexImageFileMgr& manager,
                          const MailOptions& options) {
  MailSettings settings;
  static_cast<MailOptions&>(settings) = options;
  return ConvertFile(file_name, manager, settings);
}

ConvertResult ConvertFile(const std::string& file_name, TvexImageFileMgr& manager,
                          const MailSettings& settings) {
  TvexImage picture;
  ConvertResult result = PrepareMailPicture(file_name, manager, settings.size, picture, settings);
  result.output = settings.output.empty() ? MailFileName(file_name) : settings.output;
  if (!result.converted) return result;
  result.converted = false;
  manager.SetQuality(settings.quality);

  // Written under a temporary name and renamed on success, so that a failed
  // save (a full disk, a refused picture) leaves neither a partial file nor a
  // damaged earlier output behind.
  const std::string partial = result.output + ".part";
  std::error_code ec;
  std::filesystem::remove(partial, ec);
  TvexErrorCode code = EC_OK;
  std::string message;
  // A spare core (one picture, two workers) lets the writer make its
  // coefficients on a helper thread while this one codes them.
  const std::int32_t helpers = manager.GetHelpers();
  manager.SetHelpers(settings.helpers);
  try {
    manager.SaveImage(partial, FF_JPEG, picture.GetDibHandle());
    code = manager.GetLastError();
  } catch (const std::exception& e) {
    code = EC_EXCEPTION;
    message = e.what();
  }
  manager.SetHelpers(helpers);
  if (code == EC_OK && !std::filesystem::is_regular_file(partial, ec)) code = EC_CREATEFILE;
  if (code == EC_OK) {
    std::filesystem::rename(partial, result.output, ec);
    if (ec) {
      code = EC_CREATEFILE;
      message = vexErrorMessage(EC_CREATEFILE) + " " + ec.message();
    }
  }
  if (code != EC_OK) {
    std::filesystem::remove(partial, ec);
    return failure(result, code, message);
  }
  result.converted = true;
  return result;
}
