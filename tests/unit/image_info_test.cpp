// Metadata record: defaults, change tracking, resolution units.
#include "vexImage.h"

#include <gtest/gtest.h>

TEST(ImageInfoRecord, ClearRestoresDefaults) {
  TvexImageInfo info;
  info.SetArtist("a");
  info.SetPageNumber(7);
  info.SetFileFormat(FF_PNG);
  info.SetResolutionUnit(RU_INCH);
  info.SetXResolution(300);
  info.Clear();
  EXPECT_EQ(info.FileFormat(), FF_BMP);
  EXPECT_EQ(info.PageNumber(), 1);
  EXPECT_EQ(info.AspectNumerator(), 1);
  EXPECT_EQ(info.AspectDenominator(), 1);
  EXPECT_EQ(info.ResolutionUnit(), RU_METER);
  EXPECT_EQ(info.XResolution(), 0);
  EXPECT_TRUE(info.Artist().empty());
  EXPECT_FALSE(info.Modified());
}

TEST(ImageInfoRecord, ModifiedOnlyOnRealChanges) {
  TvexImageInfo info;
  info.SetDescription("x");
  EXPECT_TRUE(info.Modified());
  info.SetModified(false);
  info.SetDescription("x");
  info.SetPageNumber(1);
  info.SetResolutionUnit(RU_METER);
  info.SetXResolution(0);
  EXPECT_FALSE(info.Modified());
  info.SetDateTime(info.DateTime()); // a date always counts as set
  EXPECT_TRUE(info.Modified());
}

TEST(ImageInfoRecord, ResolutionUnitsConvertThroughPerMetre) {
  struct Case {
    TvexResolutionUnit unit;
    double written;
    double stored_per_metre;
  };
  const Case cases[] = {
      {RU_INCH, 300, 300 / 0.0254},   {RU_CENTIMETER, 118, 11800},
      {RU_METER, 2835, 2835},         {RU_PICA, 50, 50 * 6 / 0.0254},
      {RU_POINT, 4, 4 * 72 / 0.0254}, {RU_TWIP, 0.25, 0.25 * 1440 / 0.0254},
  };
  for (const Case& c : cases) {
    TvexImageInfo info;
    info.SetResolutionUnit(c.unit);
    info.SetXResolution(c.written);
    info.SetYPosition(c.written);
    EXPECT_NEAR(info.XResolution(), c.written, 1e-9 * c.written) << int(c.unit);
    EXPECT_NEAR(info.YPosition(), c.written, 1e-9 * c.written);
    info.SetResolutionUnit(RU_METER);
    EXPECT_NEAR(info.XResolution(), c.stored_per_metre, 1e-6) << int(c.unit);
  }
  TvexImageInfo inch;
  inch.SetResolutionUnit(RU_INCH);
  inch.SetXResolution(300);
  inch.SetResolutionUnit(RU_METER);
  EXPECT_NEAR(inch.XResolution(), 11811.0236, 1e-4);
}

TEST(ImageInfoRecord, UnitsWithoutMeaningStoreAndReadZero) {
  for (TvexResolutionUnit unit :
       {TvexResolutionUnit(RU_NONE), TvexResolutionUnit(7), TvexResolutionUnit(200)}) {
    TvexImageInfo info;
    info.SetXResolution(500); // per metre
    info.SetResolutionUnit(unit);
    EXPECT_EQ(info.XResolution(), 0);
    info.SetXResolution(72);
    info.SetResolutionUnit(RU_METER);
    EXPECT_EQ(info.XResolution(), 0);
  }
}

TEST(ImageInfoRecord, AssignCopiesStoredValuesAndMarksModified) {
  TvexImageInfo a;
  a.SetResolutionUnit(RU_INCH);
  a.SetXResolution(96);
  a.SetModel("cam");
  TvexImageInfo b;
  b.Assign(a);
  EXPECT_TRUE(b.Modified());
  EXPECT_EQ(b.Model(), "cam");
  b.SetResolutionUnit(RU_METER);
  a.SetResolutionUnit(RU_METER);
  EXPECT_EQ(b.XResolution(), a.XResolution());
}
