// Which entries the window's file list shows: every folder, and the files
// whose extension names a picture format the program reads.
#pragma once

#include <string>

// `display_name` is the entry's name inside its folder. The extension is the
// text from the last '.' after the last separator; it must be one of JPG,
// JPEG, GIF, TIF, TGA, PNG, BMP, PCX, KDC, DIB in any case.
bool ImageFileFilter(const std::string& display_name, bool is_folder);
