// The exposure value of a frame from its EXIF tags.
#pragma once

#include <FreeImage.h>

#include <string>

namespace quen_merge {

// log2(f^2 / (iso x t)) when the bitmap's EXIF data carry exposure time,
// f-number and ISO (a later tag of the same ID overriding an earlier one, a
// zero denominator giving no value); 0.0 otherwise. seconds (may be null)
// receives the exposure time t, or 0 when the data carry none.
double ExposureValue(FIBITMAP* bitmap, double* seconds = nullptr);

// When the exposure started, from EXIF DateTimeOriginal, as
// "YYYY-MM-DDThh:mm:ss" (camera time); empty when the data carry none.
std::string ExposureStart(FIBITMAP* bitmap);

}  // namespace quen_merge
