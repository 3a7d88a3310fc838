// The streaming road of the e-mail conversion: a JPEG source that must be
// resized is decoded row by row straight into the resize, so that memory no
// longer grows with the source (and pictures too large for one bitmap still
// convert). The output picture is byte for byte the whole-bitmap road's.
#pragma once

#include "batch.h"

#include <cstdint>
#include <string>

class TvexImageFileMgr;

// Makes the picture PrepareMailPicture makes, by streaming. False (with
// `picture` and `result` untouched) when the file does not take this road:
// not a JPEG by its name, not a colour picture that needs a resize, or a
// picture that never began; the caller then takes the whole-bitmap road.
bool StreamMailPicture(const std::string& file_name, TvexImageFileMgr& manager, std::int32_t size,
                       TvexImage& picture, const MailOptions& options, ConvertResult& result);
