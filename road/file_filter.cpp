#include "file_filter.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace {

// Longest extension the filter looks at, dot included.
constexpr std::size_t kMaxExtension = 31;

constexpr std::array<std::string_view, 10> kImageExtensions = {"JPG", "JPEG", "GIF", "TIF", "TGA",
                                                               "PNG", "BMP",  "PCX", "KDC", "DIB"};

bool IsSeparator(char c) {
  return c == '/' || c == '\\' || c == ':';
}

} // namespace

bool ImageFileFilter(const std::string& display_name, bool is_folder) {
  if (is_folder) return true;
  std::size_t dot = std::string::npos;
  for (std::size_t i = display_name.size(); i-- > 0;) {
    if (IsSeparator(display_name[i])) break;
    if (display_name[i] == '.') {
      dot = i;
      break;
    }
  }
  if (dot == std::string::npos) return false;
  std::string ext = display_name.substr(dot, kMaxExtension);
  if (ext.size() <= 1) return false; // a bare dot
  // ASCII upper-casing only: the names compared are ASCII.
  for (char& c : ext)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  const std::string_view rest = std::string_view(ext).substr(1);
  for (std::string_view known : kImageExtensions)
    if (rest == known) return true;
  return false;
}
