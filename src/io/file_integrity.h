// Checks, before a frame is decoded, that its file holds every pixel its
// header announces: some decoders fill a file that ends early with black and
// report success, and a stack must not take such a frame for a whole one.
#pragma once

#include <FreeImage.h>

enum class FileIntegrity {
    kWhole,           // complete as far as the format can tell
    kTruncated,       // the pixel data ends before the header's dimensions say
    kBadDimensions,   // the header's width or height is not a plain positive number
};

// Checks a file by its structure where the format table names a check (PNM,
// binary and text; BMP; JPEG); every other format is left to its decoder and
// reported whole.
FileIntegrity CheckFileIntegrity(FREE_IMAGE_FORMAT format, const char* filename);
