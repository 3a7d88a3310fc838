// Shared enumerations of the imaging library: format, compression, error,
// colour-format and interpolation numbers. The numbers are stored in files and
// passed between the manager and the format classes, so they never change.
#pragma once

#include <cstdint>

using TvexFileFormat = std::uint8_t;
enum : TvexFileFormat {
  FF_GIF = 0,
  FF_CGM = 1,
  FF_CRI = 2,
  FF_DICOM = 3,
  FF_DRHALO = 4,
  FF_FPX = 5,
  FF_GEM = 6,
  FF_JPEG = 7,
  FF_KDC = 8,
  FF_PCD = 9,
  FF_PICT = 10,
  FF_PSP = 11,
  FF_PBM = 12,
  FF_PGM = 13,
  FF_PNG = 14,
  FF_PPM = 15,
  FF_SGI = 16,
  FF_TIFF = 17,
  FF_TARGA = 18,
  FF_ICON = 19,
  FF_BMP = 20,
  FF_DIB = 21,
  FF_PCX = 22,
  FF_UNKNOWN = 23,
  FF_DETECT = 24,
};
inline constexpr int kFileFormatCount = 25;

using TvexCompression = std::uint8_t;
enum : TvexCompression {
  CP_NOCOMP = 0,
  CP_RLE4 = 1,
  CP_RLE8 = 2,
  CP_TARGA_RLE = 3,
  CP_PCX_RLE = 4,
  CP_SGI_RLE = 5,
  CP_PBM_ASCII = 6,
  CP_PBM_BINARY = 7,
  CP_PPM_ASCII = 8,
  CP_PPM_BINARY = 9,
  CP_PGM_ASCII = 10,
  CP_PGM_BINARY = 11,
  CP_HUFFMAN = 12,
  CP_PACKBITS = 13,
  CP_MODHUFF = 14,
  CP_MODHUFF_W = 15,
  CP_CCITTG3_1D = 16,
  CP_CCITTG3_2D = 17,
  CP_CCITTG4 = 18,
  CP_LZW = 19,
  CP_THUNDERSCAN = 20,
  CP_JPEG_STD = 21,
  CP_JPEG_PROG = 22,
  CP_JPEG2000 = 23,
  CP_LZW2 = 24,
  CP_LZW3 = 25,
  CP_DEFLATE = 26,
};
inline constexpr int kCompressionCount = 27;

using TvexErrorCode = std::uint8_t;
enum : TvexErrorCode {
  EC_OK = 0,
  EC_WINDOWS = 1,
  EC_NOMEMORY = 2,
  EC_OPENFILE = 3,
  EC_CREATEFILE = 4,
  EC_FILENOTOPEN = 5,
  EC_READFROMFILE = 6,
  EC_WRITETOFILE = 7,
  EC_BADFORMAT = 8,
  EC_UNKNOWNFORMAT = 9,
  EC_ENDOFFILE = 10,
  EC_DISKFULL = 11,
  EC_BADCOMPRESS = 12,
  EC_BADDECOMPRESS = 13,
  EC_COMPRESSION = 14,
  EC_DECOMPRESSION = 15,
  EC_ENDOFDATA = 16,
  EC_COLORFORMAT = 17,
  EC_BITORDER = 18,
  EC_BITDEPTH = 19,
  EC_TIFFTAG = 20,
  EC_INVALIDHANDLE = 21,
  EC_CRC = 22,
  EC_HUFFMANNOTDEF = 23,
  EC_HUFFMANSIZE = 24,
  EC_JFIF_ZEROFREQ = 25,
  EC_JFIF_HFREQ = 26,
  EC_JFIF_VFREQ = 27,
  EC_JFIF_SUCCAPPROX = 28,
  EC_JFIF_HUFFTABLES = 29,
  EC_JPEG_PROGRESSIVE = 30,
  EC_JFIF_LOSSLESS = 31,
  EC_JFIF_DIFFSEQ = 32,
  EC_JFIF_DIFFPROG = 33,
  EC_JFIF_DIFFLOSSLESS = 34,
  EC_JFIF_COMPONENTS = 35,
  EC_JFIF_DHP = 36,
  EC_JFIF_COMPID = 37,
  EC_JFIF_SOSBEFORESOF = 38,
  EC_JFIF_MISSINGTABLE = 39,
  EC_JFIF_DCANDAC = 40,
  EC_DUPLICATESCAN = 41,
  EC_ARITHMETIC = 42,
  EC_PREDICTOR = 43,
  EC_NOSUBIMAGE = 44,
  EC_NOAPPEND = 45,
  EC_NOSOURCE = 46,
  EC_NORESULT = 47,
  EC_DIMENSIONS = 48,
  EC_MISMATCH = 49,
  EC_UNKNOWNMETHOD = 50,
  EC_IMAGEFORMAT = 51,
  EC_INTERPOLATION = 52,
  EC_USERCANCEL = 53,
  EC_EXCEPTION = 55,
};

// Colour format of an image (TvexImage::ImageFormat).
using TvexImageFormat = std::uint8_t;
enum : TvexImageFormat {
  IF_BW = 0,
  IF_GREY4 = 1,
  IF_PAL4 = 2,
  IF_GREY8 = 3,
  IF_PAL8 = 4,
  IF_RGB15 = 5,
  IF_RGB16 = 6,
  IF_RGB24 = 7,
  IF_RGBA32 = 8,
  IF_RGB32 = 9,
  IF_NONE = 16,
};

// Interpolation of the resampling transform.
using TvexInterpolation = std::uint8_t;
enum : TvexInterpolation {
  IP_NEAREST = 0,
  IP_BILINEAR = 1,
  IP_QUADRATIC = 2,
  IP_BICUBIC = 3,
  IP_SMOOTH = 4,
};

// Units in which TvexImageInfo reads and writes resolutions and positions.
using TvexResolutionUnit = std::uint8_t;
enum : TvexResolutionUnit {
  RU_INCH = 0,
  RU_CENTIMETER = 1,
  RU_NONE = 5,
  RU_METER = 6,
};

// A colour as the library passes it around: red in the low byte, then green, then blue.
using TColor = std::uint32_t;
