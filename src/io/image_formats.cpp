#include "io/image_formats.h"

#include <strings.h>

#include <cstring>

namespace quen_merge {

namespace {

constexpr ImageFormat kPng{"PNG", FIF_PNG, true, IntegrityCheck::kDecoder, {}, false};
constexpr ImageFormat kFits{"FITS", FIF_UNKNOWN, false, IntegrityCheck::kDecoder, {".fit", ".fits", ".fts"}, true};

constexpr ImageFormat kFormats[] = {
    kPng,
    {"TIFF", FIF_TIFF, true, IntegrityCheck::kDecoder, {".tif", ".TIF", ".tiff", ".TIFF"}, false},
    {"PPM", FIF_PPM, true, IntegrityCheck::kPnm, {".ppm", ".PPM"}, false},
    {"PPM", FIF_PPMRAW, true, IntegrityCheck::kPnm, {}, false},
    {"PGM", FIF_PGM, true, IntegrityCheck::kPnm, {}, false},
    {"PGM", FIF_PGMRAW, true, IntegrityCheck::kPnm, {}, false},
    {"PBM", FIF_PBM, true, IntegrityCheck::kPnm, {}, false},
    {"PBM", FIF_PBMRAW, true, IntegrityCheck::kPnm, {}, false},
    {"JPEG", FIF_JPEG, true, IntegrityCheck::kJpeg, {}, false},
    {"BMP", FIF_BMP, true, IntegrityCheck::kBmp, {}, false},
    kFits,
};

// The row of PNG, the format of every name that chooses no other.
const ImageFormat& PngRow() { return kFormats[0]; }

bool EndsWith(const ImageFormat& format, const char* extension) {
    for (const char* e : format.output_extensions) {
        if (!e) break;
        if (format.any_case ? strcasecmp(extension, e) == 0 : std::strcmp(extension, e) == 0) return true;
    }
    return false;
}

}  // namespace

const char* ExtensionOf(const char* filename) {
    const char* dot = std::strrchr(filename, '.');
    return dot && !std::strchr(dot, '/') ? dot : nullptr;
}

const ImageFormat* FormatOf(FREE_IMAGE_FORMAT format) {
    if (format == FIF_UNKNOWN) return nullptr;
    for (const ImageFormat& f : kFormats)
        if (f.format == format) return &f;
    return nullptr;
}

const ImageFormat& OutputFormatOf(const char* filename) {
    const char* dot = ExtensionOf(filename);
    if (!dot) return PngRow();
    for (const ImageFormat& f : kFormats)
        if (EndsWith(f, dot)) return f;
    return PngRow();
}

bool HasForeignExtension(const char* filename) {
    const char* dot = ExtensionOf(filename);
    return dot && &OutputFormatOf(filename) == &PngRow() && strcasecmp(dot, ".png") != 0;
}

bool IsFits(const ImageFormat& format) { return std::strcmp(format.name, kFits.name) == 0; }

}  // namespace quen_merge
