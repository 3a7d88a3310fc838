#include "vexImageResStr.h"

#include <array>

namespace {

const std::string kEmpty;

const std::array<std::string, 56>& error_messages() {
  static const std::array<std::string, 56> table = [] {
    std::array<std::string, 56> t{};
    t[EC_OK] = "No error.";
    t[EC_WINDOWS] = "A Windows function didn't return an expected value.";
    t[EC_NOMEMORY] = "Failed to allocate memory.";
    t[EC_OPENFILE] = "Cannot open image file.";
    t[EC_CREATEFILE] = "Cannot create file.";
    t[EC_FILENOTOPEN] = "File was not open for read or write.";
    t[EC_READFROMFILE] = "Error reading data from file.";
    t[EC_WRITETOFILE] = "Error writing data to file.";
    t[EC_BADFORMAT] = "Un-supported or incorrect file format.";
    t[EC_UNKNOWNFORMAT] = "Format not supported.";
    t[EC_ENDOFFILE] = "Unexpected end of file.";
    t[EC_DISKFULL] = "Insufficient disk space.";
    t[EC_BADCOMPRESS] = "Un-supported compression scheme.";
    t[EC_BADDECOMPRESS] = "Un-supported decompression scheme,\ror incorrect compressed data.";
    t[EC_COMPRESSION] = "Compression error.";
    t[EC_DECOMPRESSION] = "Decompression error.";
    t[EC_ENDOFDATA] = "Unexpected end of data.";
    t[EC_COLORFORMAT] = "Color format is not supported by compression scheme.";
    t[EC_BITORDER] = "Bit order is not supported.";
    t[EC_BITDEPTH] = "Un-supported bit depth.";
    t[EC_TIFFTAG] = "Un-supported or Unknown TIFF Tag.";
    t[EC_INVALIDHANDLE] = "Invalid image handle.";
    t[EC_CRC] = "CRC did not match, data may be incorrect.";
    t[EC_HUFFMANNOTDEF] = "Huffman codes are not defined.";
    t[EC_HUFFMANSIZE] = "Number of huffman codes exceed allowed size.";
    t[EC_JFIF_ZEROFREQ] = "JFIF, Horizontal or vertical sample frequency is zero.";
    t[EC_JFIF_HFREQ] = "JFIF, Fractional horizontal frequency.";
    t[EC_JFIF_VFREQ] = "JFIF, Fractional vertical frequency.";
    t[EC_JFIF_SUCCAPPROX] = "JFIF, Successive approximation extends range.";
    t[EC_JFIF_HUFFTABLES] = "JFIF, Too many huffman tables.";
    t[EC_JPEG_PROGRESSIVE] = "JPEG, Progressive JPEG is not supported.";
    t[EC_JFIF_LOSSLESS] = "JFIF, Lossless Huffman coding is not supported.";
    t[EC_JFIF_DIFFSEQ] = "JFIF, Differential sequential Huffman coding is not supported.";
    t[EC_JFIF_DIFFPROG] = "JFIF, Differential progressive Huffman coding is not supported.";
    t[EC_JFIF_DIFFLOSSLESS] = "JFIF, Differential lossless Huffman coding is not supported.";
    t[EC_JFIF_COMPONENTS] = "JFIF, Incorrect number of components.";
    t[EC_JFIF_DHP] = "JFIF, Hierarchical progression (DHP marker) is not supported.";
    t[EC_JFIF_COMPID] = "JFIF, Invalid component identifier or identifier is out of order.";
    t[EC_JFIF_SOSBEFORESOF] = "JFIF, Start Of Scan reached before Start Of Field.";
    t[EC_JFIF_MISSINGTABLE] = "JFIF, One or more tables are missing (AC, DC or Quantification).";
    t[EC_JFIF_DCANDAC] = "JFIF, Progressive scan contains both DC and AC data.";
    t[EC_DUPLICATESCAN] = "Duplicate component scan.";
    t[EC_ARITHMETIC] = "Arithmetic coding is covered by patents, and is therefore not supported.";
    t[EC_PREDICTOR] = "Difference Predictor does not support image bit depth.";
    t[EC_NOSUBIMAGE] = "Additional sub-images are not available.";
    t[EC_NOAPPEND] =
        "Could not append image to file. File format does not support multiple images.";
    t[EC_NOSOURCE] = "A source image is not assigned.";
    t[EC_NORESULT] = "A result image is not assigned or could not be created.";
    t[EC_DIMENSIONS] = "Target image does not have correct spatial dimensions.";
    t[EC_MISMATCH] = "Source images does not have matching formats (Color, Height or Width).";
    t[EC_UNKNOWNMETHOD] = "Method parameter is unknown.";
    t[EC_IMAGEFORMAT] = "Image color format (bit depth) is not supported.";
    t[EC_INTERPOLATION] = "Unknown interpolation method.";
    t[EC_USERCANCEL] = "User canceled operation";
    t[EC_EXCEPTION] = "Error is unknown (Exception).";
    return t;
  }();
  return table;
}

const std::array<std::string, kFileFormatCount> kFormatNames = {
    "CompuServe Graphics Interchange",
    "Computer Graphics Metafile",
    "CRI",
    "Digital Imaging and Communications in Medicine",
    "Dr. Halo",
    "FlashPix",
    "GEM Paint",
    "Joint Photographics Expert Group",
    "Kodak Digital Camera File",
    "Kodak Photo CD",
    "Machintosh PICT",
    "Paint Shop Pro",
    "Portable Bitmap",
    "Portable Greymap",
    "Portable Network Graphics",
    "Portable Pixelmap",
    "Silicon Graphics Image",
    "Tag Image File Format",
    "Truevision Targa",
    "Windows Icon",
    "Windows or OS/2 Bitmap",
    "Windows or OS/2 DIB",
    "Zsoft Paintbrush",
    "Unknown",
    "All image file formats",
};

const std::array<std::string, kCompressionCount> kCompressionNames = {
    "None",
    "Run length, 4 bit",
    "Run length, 8 bit",
    "Run length, 8 & 24 bit",
    "Run length, 1, 4, 8 & 24 bit",
    "Run length, 8, 24 & 32 bit",
    "ASCII",
    "Binary",
    "ASCII",
    "Binary",
    "ASCII",
    "Binary",
    "Huffman",
    "Pack bits",
    "Modified Huffman",
    "Modified Huffman, word aligned",
    "CCITT Group 3, one dimensional",
    "CCITT Group 3, two dimensional",
    "CCITT Group 4",
    "LZW",
    "Thunderscan",
    "Standard",
    "Progressive",
    "JPEG 2000",
    "LZW",
    "LZW",
    "Deflate (LZ77)",
};

} // namespace

const std::string& vexErrorMessage(TvexErrorCode code) {
  const auto& t = error_messages();
  return code < t.size() ? t[code] : kEmpty;
}

const std::string& vexFormatName(TvexFileFormat format) {
  return format < kFormatNames.size() ? kFormatNames[format] : kEmpty;
}

const std::string& vexCompressionName(TvexCompression compression) {
  return compression < kCompressionNames.size() ? kCompressionNames[compression] : kEmpty;
}
