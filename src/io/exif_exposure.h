// The exposure value of a frame from its EXIF tags.
#pragma once

#include <FreeImage.h>

namespace quen_merge {

// log2(f^2 / (iso x t)) when the bitmap's EXIF data carry exposure time,
// f-number and ISO (a later tag of the same ID overriding an earlier one, a
// zero denominator giving no value); 0.0 otherwise.
double ExposureValue(FIBITMAP* bitmap);

}  // namespace quen_merge
