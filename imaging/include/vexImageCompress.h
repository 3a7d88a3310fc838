// Scan-line codecs: the base every codec derives from (TvexImageCompress)
// and the codecs themselves.
#pragma once

#include "codecs/compress_base.h"

// The codecs.
#include "codecs/crc32.h"
#include "codecs/deflate.h"
#include "codecs/fax.h"
#include "codecs/packbits.h"
#include "codecs/rle_bmp.h"
#include "codecs/rle_pcx.h"
#include "codecs/rle_sgi.h"
#include "codecs/rle_targa.h"
#include "vexHuffmanJPEG.h"
