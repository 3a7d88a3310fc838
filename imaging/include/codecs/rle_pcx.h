// The run-length codec of PCX files: a byte of 192 or more is a count (its
// low six bits) for the data byte after it, any other byte stands for itself.
// Each scan line holds one line of `BytesPerLine` bytes per plane.
#pragma once

#include "vexImageCompress.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace vex::codec {
class RunCursor;
}

class TvexImagePCXRLE : public TvexImageCompress {
public:
  TvexImagePCXRLE();
  ~TvexImagePCXRLE() override;

  // Binds to a DIB and takes the plane layout of its bit count: 1 bit x 1
  // plane, 1 bit x 4 planes (4-bit pixels), 8 bits x 1 plane, 8 bits x 3
  // planes (24 bits) or 8 bits x 4 planes (32 bits).
  void SetImage(DibHandle dib) override;
  void SetTopDown(bool value) override;
  void Clear() override;
  void SetBytesPerLine(std::int32_t n);
  // The file's layout when it differs from the one of the bit count (1 bit
  // x 2 or 3 planes and 2 or 4 bits x 1 plane decode into 4-bit pixels).
  // False for layouts the codec cannot place into the bound bitmap.
  bool SetLayout(int bits_per_plane, int planes);
  // With `invert`, 1-bit lines are stored inverted (a white-on-black palette
  // written as black on white).
  void SetInvert(bool invert) { Invert = invert; }

  // Codes RawCount / LineWidth rows from the row cursor on, top row first.
  TvexErrorCode Compress(const std::uint8_t*& data, std::int32_t& count,
                         std::int32_t& raw_count) override;
  // Runs go on across plane lines and scan lines; a run byte whose data byte
  // is not in this piece stays unconsumed. `produced` is the bitmap bytes of
  // the rows completed.
  TvexErrorCode Decompress(const std::uint8_t* data, std::int32_t& length,
                           std::int32_t& produced) override;

  // Places a scan line the data stopped inside of (the bytes that came).
  void Flush();
  // Every row of the bitmap has been decoded.
  bool Done() const;
  std::int32_t GetBytesPerLine() const { return BytesPerLine; }
  int GetPlanes() const { return Planes; }
  int GetBitsPerPlane() const { return BitsPerPlane; }

private:
  void StartLine();
  void PlaceLine();
  void BuildLine(const std::uint8_t* row);

  std::unique_ptr<vex::codec::RunCursor> Cursor;
  std::int32_t BytesPerLine = 0;
  int Planes = 1;
  int BitsPerPlane = 8;
  bool Invert = false;
  // One scan line, all planes.
  std::vector<std::uint8_t> Scan;
};
