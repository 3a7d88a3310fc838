// The run-length codecs of BMP files: a shared line planner (TvexImageRLE)
// and the 4- and 8-bit codecs.
#pragma once

#include "vexImageCompress.h"

#include <cstdint>
#include <vector>

// Plans one row as runs and literal stretches for the run-length encoders.
class TvexImageRLE : public TvexImageCompress {
public:
  struct Segment {
    std::int32_t start = 0;
    std::int32_t length = 0;
    bool run = false;
  };
  // Number of items from `start` equal to the item at `start` (at least 1,
  // never past `end`).
  using ScanFunction = std::int32_t (*)(const std::uint8_t* data, std::int32_t start,
                                        std::int32_t end);

  TvexImageRLE();
  void SetImage(DibHandle dib) override;
  void Clear() override;

  // Plans the items [start, end) of `data`; the non-empty segments of the
  // plan are in GetSegments() (the sentinel and emptied segments have length 0).
  void PlanLine(const std::uint8_t* data, std::int32_t start, std::int32_t end);
  const std::vector<Segment>& GetSegments() const { return Segments; }
  void SetScanFunctions(int item_bits);

  // The last Decompress ran out of data inside the picture, before an
  // end-of-bitmap code: the file was cut.
  bool GetDataRanOut() const { return DataRanOut; }

  std::int32_t MinRun = 4;
  std::int32_t MinSplit = 5;
  std::int32_t MinLiteral = 3;

protected:
  std::vector<Segment> Segments;
  bool DataRanOut = false;
  ScanFunction RunLength = nullptr;
  ScanFunction LiteralLength = nullptr;
};

// RLE4: runs and literals of 4-bit pixels, counts in pixels.
class TvexImageRLE4 : public TvexImageRLE {
public:
  TvexImageRLE4();
  void SetImage(DibHandle dib) override;
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;
};

// RLE8: runs and literals of bytes.
class TvexImageRLE8 : public TvexImageRLE {
public:
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;
};
