// Reading frames from image files and writing stacked results, through FreeImage.
#pragma once

#include <FreeImage.h>

#include <memory>

#include "io/fits_io.h"
#include "base/message_log.h"
#include "io/image_data.h"
#include "io/load_limits.h"
#include "io/tiff_messages.h"
#include "ostrel/image.h"

// The output format for a file name, by its extension: PNG, TIFF or PPM; PNG for
// any other or no extension. Never FIF_UNKNOWN.
FREE_IMAGE_FORMAT GetFileType(const char* filename);

namespace quen_merge {

// Loads a file that FreeImage recognises and can convert to 16-bit RGB (so
// not floating-point images), or a FITS file, as 3-channel 16-bit BGR, top
// row first. Refuses
// a file whose header announces 2^32 samples or more, or more pixels than this
// machine's memory holds at the loader's own cost plus the caller's
// stacking_bytes_per_pixel; a file whose pixel data ends early; and a header
// whose dimensions are not plain positive numbers. Returns a new record owned
// by the caller (delete it), or null after printing why on standard error.
ImageData* LoadImageData(const char* filename, unsigned stacking_bytes_per_pixel = 0);
// As above; every message, FreeImage's and libtiff's among them, goes into
// log. The frame's samples stay in the buffer they were decoded into.
ImageData* LoadImageData(const char* filename, unsigned stacking_bytes_per_pixel, MessageLog& log);

// What a frame's file says of it without its pixels.
struct FrameHeader {
    uint32_t width = 0, height = 0;
    double exposure = 0;  // s; 0 when unknown
    std::string filter;   // the FITS FILTER card's value; empty when none
};
// Reads header from the file's header where its format allows, else from
// the loaded frame; false, silently, when the file does not load.
bool ReadFrameHeader(const char* filename, FrameHeader& header);

// Saves a 3-channel image as 16-bit RGB: as FITS, with the history in its
// header, for names ending in .fit, .fits or .fts (any case); otherwise in
// the format GetFileType picks. The file is written beside the target and
// renamed onto it only once complete, so a failed write leaves an existing
// file untouched. True when the file was saved.
bool WriteImageLDR(const char* filename, const Image16* image, const StackHistory& history = {});
// Maps samples in [0, 1) to 16 bits (x 65536, floored; 1 and above to 65535,
// negatives and NaN to 0) and writes them as above.
// With float_samples, FITS and TIFF results hold the floats themselves (32-bit
// floating point, negatives and all); other formats are written as above.
bool WriteImageLDR(const char* filename, const FloatImage* image, const StackHistory& history = {},
                   bool float_samples = false);

}  // namespace quen_merge
