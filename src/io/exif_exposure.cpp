#include "io/exif_exposure.h"

#include <cstring>

#include <cmath>
#include <cstddef>

namespace quen_merge {

namespace {

// EXIF tags that make up the exposure value, and the bit each sets once read.
constexpr WORD kTagExposureTime = 0x829A;
constexpr WORD kTagFNumber = 0x829D;
constexpr WORD kTagIsoSpeed = 0x8827;
constexpr unsigned kFoundExposureTime = 1;
constexpr unsigned kFoundFNumber = 2;
constexpr unsigned kFoundIso = 4;
constexpr unsigned kFoundAll = kFoundExposureTime | kFoundFNumber | kFoundIso;

// Reads a tag value of at least `bytes` bytes, or null.
const void* TagValue(FITAG* tag, size_t bytes) {
    if (FreeImage_GetTagLength(tag) < bytes) return nullptr;
    return FreeImage_GetTagValue(tag);
}

// A rational tag's value; false for a zero denominator, which gives no value.
bool ReadRational(const void* value, double& out) {
    const DWORD* parts = static_cast<const DWORD*>(value);
    if (parts[1] == 0) return false;
    out = double(parts[0]) / double(parts[1]);
    return true;
}

}  // namespace

double ExposureValue(FIBITMAP* bitmap, double* seconds) {
    if (seconds) *seconds = 0;
    if (FreeImage_GetMetadataCount(FIMD_EXIF_EXIF, bitmap) == 0) return 0.0;
    double exposure_time = 1.0, fnumber = 1.0, iso = 100;
    unsigned found = 0;
    FITAG* tag = nullptr;
    FIMETADATA* walk = FreeImage_FindFirstMetadata(FIMD_EXIF_EXIF, bitmap, &tag);
    if (!walk) return 0.0;
    do {
        const WORD id = FreeImage_GetTagID(tag);
        const void* rational = TagValue(tag, 2 * sizeof(DWORD));
        const void* word = TagValue(tag, sizeof(WORD));
        // A later tag of the same ID overrides an earlier one.
        if (id == kTagExposureTime && rational && ReadRational(rational, exposure_time)) {
            found |= kFoundExposureTime;
        } else if (id == kTagFNumber && rational && ReadRational(rational, fnumber)) {
            found |= kFoundFNumber;
        } else if (id == kTagIsoSpeed && word) {
            iso = *static_cast<const WORD*>(word);
            found |= kFoundIso;
        }
    } while (FreeImage_FindNextMetadata(walk, &tag));
    FreeImage_FindCloseMetadata(walk);
    if (seconds && (found & kFoundExposureTime) && exposure_time > 0) *seconds = exposure_time;
    if (found != kFoundAll) return 0.0;
    return std::log2(fnumber * fnumber / (iso * exposure_time));
}

std::string ExposureStart(FIBITMAP* bitmap) {
    FITAG* tag = nullptr;
    if (!FreeImage_GetMetadata(FIMD_EXIF_EXIF, bitmap, "DateTimeOriginal", &tag) || !tag ||
        FreeImage_GetTagType(tag) != FIDT_ASCII)
        return "";
    const char* text = static_cast<const char*>(FreeImage_GetTagValue(tag));
    // "YYYY:MM:DD hh:mm:ss", 19 characters.
    std::string start(text ? text : "", text ? strnlen(text, FreeImage_GetTagLength(tag)) : 0);
    if (start.size() < 19 || start[4] != ':' || start[7] != ':' || start[10] != ' ') return "";
    start = start.substr(0, 19);
    start[4] = start[7] = '-';
    start[10] = 'T';
    return start;
}

}  // namespace quen_merge
