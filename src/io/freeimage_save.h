// Saving a FreeImage bitmap so that a short write is noticed and a failed
// save leaves no partial file: FreeImage_Save itself reports success after
// a short write.
#pragma once

#include <FreeImage.h>

namespace quen_merge {

// Saves bitmap in format into filename, whole or not at all (atomic_file.h);
// true when the file was saved. PNG is written at zlib's fastest level.
bool SaveBitmapAtomically(FREE_IMAGE_FORMAT format, FIBITMAP* bitmap, const char* filename);

}  // namespace quen_merge
