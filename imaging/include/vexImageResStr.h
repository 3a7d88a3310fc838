// The library's own texts: error messages and the display names of the
// format and compression numbers.
#pragma once

#include "vexImageTypeDef.h"

#include <string>

// Message of an error code; codes that are not assigned give an empty text.
const std::string& vexErrorMessage(TvexErrorCode code);
// Display name of a format number 0..24; other numbers give an empty text.
const std::string& vexFormatName(TvexFileFormat format);
// Display name of a compression number 0..26; other numbers give an empty text.
const std::string& vexCompressionName(TvexCompression compression);
