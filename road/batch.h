// The batch road: one picture file in, one e-mail sized JPEG out. Shared by
// the window's "Execute!" and `parvula-cli email`; no GUI code here.
#pragma once

#include "vexImage.h"

#include <cstdint>
#include <string>

class TvexImageFileMgr;

// Longer side of every output picture.
inline constexpr std::int32_t kMailSizeLimit = 1024;
// Quality and compression set on the manager before every save.
inline constexpr std::uint16_t kMailQuality = 80;

struct ConvertResult {
  bool converted = false;      // a JPEG was written and the save left no error
  std::string output;          // the output path (MailFileName)
  TvexErrorCode error = EC_OK; // why not, when not converted
  std::string message;         // the library's message for `error`, or another reason
  // A reader that kept part of a damaged file (a cut JPEG, say) still gives a
  // picture; its code and message are kept here so that the user hears of it.
  TvexErrorCode load_error = EC_OK;
  std::string load_message;
  // Size of the picture as loaded (before any resize).
  std::int32_t source_width = 0, source_height = 0;
};

struct MailOptions {
  // Keep the stored pixel order of a photograph instead of turning it upright.
  bool keep_orientation = false;
  // Decode JPEG sources that need a resize in bands straight into it (the
  // same output bytes, far less memory); false holds the whole bitmap.
  bool stream = true;
  // Threads besides its own one conversion may use (streaming JPEG decodes
  // overlap their entropy decoding with the rest on one).
  int helpers = 0;
};

// Format number the batch loads a file with, from its extension ("JPG" and
// unknown ones give 7; the manager falls back to every reader anyway).
TvexFileFormat LoadFormatFromName(const std::string& file_name);
// Loads through `manager`; null when nothing could read the file (exceptions included).
DibHandle LoadByExtension(const std::string& file_name, TvexImageFileMgr& manager);
// Swaps the resolutions and aspect terms of `info` when `orientation` swaps the sides.
void TurnMetadataUpright(TvexImageInfo& info, int orientation);
// <dir>/email/<stem>.jpg
std::string MailFileName(const std::string& file_name);
// <folder>/<stem>.jpg: the output name of `file_name` in another folder.
std::string MailFileNameIn(const std::string& file_name, const std::string& folder);
// Size of the output picture for a source of w x h: unchanged up to `limit`,
// else the longer side becomes `limit`.
void MailSize(std::int32_t w, std::int32_t h, std::int32_t& out_w, std::int32_t& out_h,
              std::int32_t limit = kMailSizeLimit);
// Progress position after `done` of `selected` files: Round(done * 100 / selected).
std::int32_t BatchProgress(std::int32_t done, std::int32_t selected);
// What a conversion writes; the defaults are the window's.
struct MailSettings : MailOptions {
  // Not an aggregate, so that ConvertFile(f, m, {true}) means MailOptions.
  MailSettings() = default;
  std::int32_t size = kMailSizeLimit; // longer side, at least 1
  std::uint16_t quality = kMailQuality;
  std::string output; // empty: MailFileName
};

// Loads `file_name` and makes the picture the road saves into `picture`:
// turned upright (unless `options` keep the stored order), resized to `size`
// when larger, and stretched. The manager keeps the file's metadata for the
// save. Not converted (with the reason) when there is no picture.
ConvertResult PrepareMailPicture(const std::string& file_name, TvexImageFileMgr& manager,
                                 std::int32_t size, TvexImage& picture,
                                 const MailOptions& options = {});
// Converts one file through `manager`: a photograph is first turned upright
// as its metadata says (unless `options` keep the stored order), so that the
// size rule applies to the upright picture.
ConvertResult ConvertFile(const std::string& file_name, TvexImageFileMgr& manager,
                          const MailOptions& options = {});
// The same with another size, quality or output.
ConvertResult ConvertFile(const std::string& file_name, TvexImageFileMgr& manager,
                          const MailSettings& settings);
