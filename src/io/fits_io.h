// FITS, the astronomers' file format, read and written through cfitsio:
// astronomy cameras and capture programs store their frames in it.
#pragma once

#include <memory>
#include <string>

#include "base/message_log.h"
#include "io/image_data.h"
#include "io/stack_history.h"
#include "ostrel/image.h"

namespace quen_merge {

// True when the file starts like FITS, with the card "SIMPLE  =".
bool LooksLikeFits(const char* filename);

// True for names ending in .fit, .fits or .fts, in any case.
bool IsFitsName(const char* filename);

// What a loaded FITS frame brings besides its pixels.
struct FitsFrame {
    Image16* image = nullptr;  // owned by the caller
    double ev = 0.0;           // log2(1 / (ISO x EXPTIME)); 0 without EXPTIME
    int image_type = 0;        // the FreeImage type that matches the stored data
    FrameFacts facts;          // one plane or three, EXPTIME, the cards a result carries over
};

// Reads the primary image, or the first image extension when the primary HDU
// is empty: 2-D (mono, copied to all three channels) or 3-D with three planes
// (red, green, blue), BITPIX 8, 16, 32, -32 or -64, with BZERO and BSCALE
// applied. Integers are clipped to 0..65535; floating-point data within
// [0, 1] are scaled by 65535, other floating-point data clipped. The bottom
// row, stored first, becomes the last row. Refuses, with a message on
// standard error (through log), what it cannot read whole, and frames whose
// pixels would need more than max_pixels; returns false then.
bool LoadFits(const char* filename, unsigned long long max_pixels, FitsFrame& frame, MessageLog& log);

// Writes a 3-channel image (blue, green, red) as 16-bit unsigned FITS
// (BITPIX 16, BZERO 32768): NAXIS3 = 3 planes of red, green and blue, or for
// a mono history one plane (NAXIS 2); bottom row first; with the history's
// cards (NFRAMES, STACKTYP, CREATOR, and EXPTIME as the total integration,
// SUBEXP as the one exposure of every frame, DATE-OBS of the first frame and
// the cards every frame had alike, where known); whole or not at all.
bool WriteFits(const char* filename, const Image16* image, const StackHistory& history);
// As above from floats in [0, 1), mapped to 16 bits as WriteImageLDR maps
// them; or, with float_samples, the floats themselves as BITPIX -32. A
// history of a calibration master adds MASTER (its kind) and, for a flat,
// BIASSUB.
bool WriteFits(const char* filename, const FloatImage* image, const StackHistory& history, bool float_samples);

// A calibration master read back as it was written: its samples as floats,
// its kind, how many frames it holds and their exposure.
struct MasterFrame {
    std::unique_ptr<FloatImage> image;
    std::string kind;
    unsigned frames = 0;
    double exposure = 0;  // s, of each of its frames (SUBEXP); 0 when unknown
    bool bias_subtracted = false;
};

// The kind of calibration master the file holds (its MASTER card), or ""
// when it is no FITS file or no master.
std::string MasterKindOf(const char* filename);
// Reads a master that WriteFits wrote; false, after saying why on standard
// error through log, when it cannot be read whole.
bool LoadMaster(const char* filename, MasterFrame& master, MessageLog& log);

}  // namespace quen_merge
