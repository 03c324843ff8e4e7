// The image formats tarnic reads and writes, in one table: which names
// choose each as the output, which decode side by side on several threads,
// and how a file is checked to be whole before it is decoded.
#pragma once

#include <FreeImage.h>

namespace quen_merge {

// How a file of a format is checked before decoding (file_integrity.h).
enum class IntegrityCheck { kDecoder, kPnm, kBmp, kJpeg };

struct ImageFormat {
    const char* name;
    // FIF_UNKNOWN for FITS, which is read and written through cfitsio.
    FREE_IMAGE_FORMAT format;
    // Checked to decode different files on several threads at once
    // (helgrind over concurrent loads, ARCHITECTURE.md).
    bool loads_side_by_side;
    IntegrityCheck integrity;
    // The extensions that choose the format for a result, in exact case
    // unless any_case; a format without any is never written.
    const char* output_extensions[4];
    bool any_case;
};

// The table's row of a FreeImage format; null for formats outside it, which
// load one at a time and are left to their decoder.
const ImageFormat* FormatOf(FREE_IMAGE_FORMAT format);
// filename's extension from its last dot (".png"), or null when it has none;
// a dot in a folder's name starts no extension.
const char* ExtensionOf(const char* filename);
// The format a result named filename is written in: the row whose output
// extension ends the name, PNG for any other name.
const ImageFormat& OutputFormatOf(const char* filename);
// True when filename has an extension that chooses no format (as .jpg):
// such a result is written as PNG all the same.
bool HasForeignExtension(const char* filename);
// True for the FITS row.
bool IsFits(const ImageFormat& format);

}  // namespace quen_merge
