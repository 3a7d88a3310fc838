#include "file_filter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct FilterCase {
  const char* name;
  bool is_folder;
  bool shown;
};

TEST(ImageFileFilter, ShowsFoldersAndImageFilesOnly) {
  const FilterCase cases[] = {
      // every extension of the list, in any case
      {"a.jpg", false, true},
      {"photo.JPEG", false, true},
      {"b.Gif", false, true},
      {"c.tif", false, true},
      {"d.TGA", false, true},
      {"e.png", false, true},
      {"f.bmp", false, true},
      {"g.pcx", false, true},
      {"h.KDC", false, true},
      {"i.dib", false, true},
      // only the last extension counts
      {"holiday.photo.png", false, true},
      {"archive.png.zip", false, false},
      // near misses
      {"photo.jpeg2000", false, false},
      {"scan.tiff", false, false},
      {"x.jpe", false, false},
      {"x.jp", false, false},
      {"x.jpg ", false, false},
      {"README", false, false},
      {".", false, false},
      {"ends.with.dot.", false, false},
      {"", false, false},
      // a hidden file named only by its extension is still a picture
      {".png", false, true},
      // the extension is taken after the last separator
      {"dir.jpg/readme", false, false},
      {"c:photo", false, false},
      {"pics\\x.bmp", false, true},
      // extensions longer than the filter looks at
      {"x.jpgaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", false, false},
      // folders whatever their names
      {"email", true, true},
      {"photos.zip", true, true},
      {".", true, true},
      {"", true, true},
  };
  for (const FilterCase& c : cases)
    EXPECT_EQ(ImageFileFilter(c.name, c.is_folder), c.shown)
        << '"' << c.name << "\" folder=" << c.is_folder;
}

TEST(ImageFileFilter, NonAsciiNamesAreSafe) {
  EXPECT_TRUE(ImageFileFilter("\xc3\xa9t\xc3\xa9.JPG", false));
  EXPECT_FALSE(ImageFileFilter("photo.\xc3\xa9pg", false));
  EXPECT_FALSE(ImageFileFilter(std::string("pic\0.png", 8).substr(0, 4), false));
}

} // namespace
