#include "io/image_io.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "io/atomic_file.h"
#include "io/file_integrity.h"
#include "io/fits_io.h"
#include "base/message_log.h"
#include "base/parallel.h"
#include "io/ppm_writer.h"
#include "base/sample_format.h"

namespace {

using quen_merge::ForEachPiece;
using quen_merge::kFloatToSample;
using quen_merge::kFrameChannels;
using quen_merge::kLoadingBytesPerPixel;
using quen_merge::kMaxSample;
using quen_merge::Say;
using quen_merge::Stream;

constexpr uint64_t kMaxSamples = uint64_t(1) << 32;  // sample counts are 32-bit

// EXIF tags that make up the exposure value, and the bit each sets once read.
constexpr WORD kTagExposureTime = 0x829A;
constexpr WORD kTagFNumber = 0x829D;
constexpr WORD kTagIsoSpeed = 0x8827;
constexpr unsigned kFoundExposureTime = 1;
constexpr unsigned kFoundFNumber = 2;
constexpr unsigned kFoundIso = 4;
constexpr unsigned kFoundAll = kFoundExposureTime | kFoundFNumber | kFoundIso;

// ---- libtiff messages -------------------------------------------------------

using TiffHandler = void (*)(const char* module, const char* fmt, va_list ap);
using TiffSetHandler = TiffHandler (*)(TiffHandler);

TiffHandler previous_tiff_error = nullptr;
TiffHandler previous_tiff_warning = nullptr;
// libtiff errors met by this thread; a load that meets one read a damaged file.
thread_local unsigned tiff_errors = 0;

// FreeImage asks libtiff for EXIF tags that libtiff's directory does not
// know, and libtiff complains about each one on every load.
bool IsUnknownTagNoise(const char* module, const char* fmt) {
    return module && fmt && std::strcmp(module, "TIFFFieldWithTag") == 0 &&
           std::strstr(fmt, "unknown tag") != nullptr;
}

// A frame decoded ahead of its turn keeps its messages for later; they are
// worded as libtiff's own handlers word them.
void SayTiff(const char* module, const char* kind, const char* fmt, va_list ap) {
    if (module) Say(Stream::kErr, "%s: ", module);
    Say(Stream::kErr, "%s", kind);
    quen_merge::SayV(Stream::kErr, fmt, ap);
    Say(Stream::kErr, ".\n");
}

void FilteredTiffError(const char* module, const char* fmt, va_list ap) {
    if (IsUnknownTagNoise(module, fmt)) return;
    ++tiff_errors;
    if (quen_merge::CaptureMessages::Active())
        SayTiff(module, "", fmt, ap);
    else if (previous_tiff_error)
        previous_tiff_error(module, fmt, ap);
}

void FilteredTiffWarning(const char* module, const char* fmt, va_list ap) {
    if (IsUnknownTagNoise(module, fmt)) return;
    if (quen_merge::CaptureMessages::Active())
        SayTiff(module, "Warning, ", fmt, ap);
    else if (previous_tiff_warning)
        previous_tiff_warning(module, fmt, ap);
}

// ---- loading ----------------------------------------------------------------

// Formats whose plugins were checked to load different files on several
// threads at once (helgrind over concurrent loads, ARCHITECTURE.md).
bool LoadsSideBySide(FREE_IMAGE_FORMAT format) {
    switch (format) {
    case FIF_TIFF: case FIF_PNG: case FIF_JPEG: case FIF_BMP:
    case FIF_PBM: case FIF_PBMRAW: case FIF_PGM: case FIF_PGMRAW: case FIF_PPM: case FIF_PPMRAW:
        return true;
    default:
        return false;
    }
}

// Held while a file of any other format is read: such files load one at a time.
std::unique_lock<std::mutex> DecoderTurn(FREE_IMAGE_FORMAT format) {
    static std::mutex lone_decoder;
    return LoadsSideBySide(format) ? std::unique_lock<std::mutex>() : std::unique_lock<std::mutex>(lone_decoder);
}

uint64_t PhysicalMemory() {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGE_SIZE);
    return pages > 0 && page_size > 0 ? uint64_t(pages) * uint64_t(page_size) : UINT64_MAX;
}

// The most pixels a frame may have: sample counts stay below 2^32, and this
// machine must be able to load and then stack it at stacking_bytes_per_pixel.
// A header that announces more is refused before anything is allocated for it.
uint64_t MaxPixels(unsigned stacking_bytes_per_pixel) {
    const uint64_t by_count = (kMaxSamples - 1) / kFrameChannels;
    const uint64_t by_memory = PhysicalMemory() / (kLoadingBytesPerPixel + stacking_bytes_per_pixel);
    return by_count < by_memory ? by_count : by_memory;
}

bool IsTooLarge(FIBITMAP* bitmap, unsigned stacking_bytes_per_pixel) {
    const uint64_t pixels = uint64_t(FreeImage_GetWidth(bitmap)) * FreeImage_GetHeight(bitmap);
    return pixels > MaxPixels(stacking_bytes_per_pixel);
}

enum class HeaderCheck { kFits, kTooLarge, kUnreadable };

// Reads only the header where the format allows it, so that a file announcing
// absurd dimensions is refused before its pixels are decoded, and a file whose
// header cannot be read is not decoded (and complained about) a second time.
HeaderCheck CheckHeader(FREE_IMAGE_FORMAT format, const char* filename,
                        unsigned stacking_bytes_per_pixel) {
    if (!FreeImage_FIFSupportsNoPixels(format)) return HeaderCheck::kFits;
    FIBITMAP* header = FreeImage_Load(format, filename, FIF_LOAD_NOPIXELS);
    if (!header) return HeaderCheck::kUnreadable;
    const bool too_large = IsTooLarge(header, stacking_bytes_per_pixel);
    FreeImage_Unload(header);
    return too_large ? HeaderCheck::kTooLarge : HeaderCheck::kFits;
}

// Whether the file may be decoded: its header announces plain dimensions
// that this machine can load and stack, and its pixel data is all there.
// Prints why not on standard error.
bool MayDecode(FREE_IMAGE_FORMAT format, const char* filename, unsigned stacking_bytes_per_pixel) {
    const FileIntegrity integrity = CheckFileIntegrity(format, filename);
    if (integrity == FileIntegrity::kBadDimensions) {
        Say(Stream::kErr, "file %s has invalid dimensions\n", filename);
        return false;
    }
    const HeaderCheck header = CheckHeader(format, filename, stacking_bytes_per_pixel);
    if (header == HeaderCheck::kUnreadable) return false;
    if (header == HeaderCheck::kTooLarge) {
        Say(Stream::kErr, "file %s is too large\n", filename);
        return false;
    }
    if (integrity == FileIntegrity::kTruncated) {
        Say(Stream::kErr, "file %s is truncated\n", filename);
        return false;
    }
    return true;
}

// The decoded bitmap, or null after the decoder's or this function's
// message: libtiff reports a damaged file but may still hand over a bitmap
// filled with black where the data was missing.
FIBITMAP* Decode(FREE_IMAGE_FORMAT format, const char* filename, unsigned stacking_bytes_per_pixel) {
    const unsigned errors_before = tiff_errors;
    FIBITMAP* loaded = FreeImage_Load(format, filename, 0);
    if (!loaded) return nullptr;
    const char* refusal = tiff_errors != errors_before ? "is damaged"
                          : IsTooLarge(loaded, stacking_bytes_per_pixel) ? "is too large"
                                                                         : nullptr;
    if (!refusal) return loaded;
    Say(Stream::kErr, "file %s %s\n", filename, refusal);
    FreeImage_Unload(loaded);
    return nullptr;
}

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

// log2(f^2 / (iso x t)) when the file carries exposure time, f-number and ISO;
// 0.0 otherwise.
double ExposureValue(FIBITMAP* bitmap) {
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
    if (found != kFoundAll) return 0.0;
    return std::log2(fnumber * fnumber / (iso * exposure_time));
}

// Reverses the order of the samples of each of n three-sample pixels: red,
// green, blue to blue, green, red and back.
void ReverseTriples(const uint16_t* src, uint16_t* dst, size_t n) {
    for (size_t i = 0; i < 3 * n; i += 3) {
        dst[i] = src[i + 2];
        dst[i + 1] = src[i + 1];
        dst[i + 2] = src[i];
    }
}

// Copies an FIT_RGB16 bitmap into a BGR image, flipping FreeImage's
// bottom-up scan lines: into spare when it has the bitmap's size, else into
// a new image.
Image16* CopyRGB16(FIBITMAP* rgb, std::unique_ptr<Image16>& spare) {
    const unsigned width = FreeImage_GetWidth(rgb);
    const unsigned height = FreeImage_GetHeight(rgb);
    const bool fits = spare && spare->width == width && spare->height == height && spare->channels == 3;
    Image16* image = fits ? spare.release() : new Image16(width, height, 3, ostrel::uninitialised);
    for (unsigned r = 0; r < height; ++r) {
        // An FIRGB16 is red, green, blue: each pixel's three samples reversed.
        const uint16_t* src = reinterpret_cast<const uint16_t*>(FreeImage_GetScanLine(rgb, height - 1 - r));
        ReverseTriples(src, image->Pixel(0, r), width);
    }
    return image;
}

// ---- saving -----------------------------------------------------------------

// A FreeImage output stream over a stdio file that remembers a short write,
// which FreeImage_Save itself would not report. Writers such as the PNM one
// hand over one sample at a time; the stream gathers them into large writes.
class SaveStream {
public:
    explicit SaveStream(FILE* file) : file(file), pending(new char[kGatherBytes]) {}

    unsigned Write(const void* data, unsigned size, unsigned count) {
        const size_t bytes = size_t(size) * count;
        if (used + bytes > kGatherBytes && !Flush()) return 0;
        if (bytes >= kGatherBytes) {
            const size_t written = std::fwrite(data, size, count, file);
            failed = failed || written != count;
            return unsigned(written);
        }
        std::memcpy(pending.get() + used, data, bytes);
        used += bytes;
        return count;
    }
    // Everything written so far goes to the file; false after any short write.
    bool Flush() {
        if (used && std::fwrite(pending.get(), 1, used, file) != used) failed = true;
        used = 0;
        return !failed;
    }
    FILE* File() {
        Flush();
        return file;
    }
    bool Failed() const { return failed; }

private:
    static constexpr size_t kGatherBytes = 1 << 20;
    FILE* file;
    std::unique_ptr<char[]> pending;
    size_t used = 0;
    bool failed = false;
};

unsigned DLL_CALLCONV StreamWrite(void* buffer, unsigned size, unsigned count, fi_handle h) {
    return static_cast<SaveStream*>(h)->Write(buffer, size, count);
}

unsigned DLL_CALLCONV StreamRead(void* buffer, unsigned size, unsigned count, fi_handle h) {
    return unsigned(std::fread(buffer, size, count, static_cast<SaveStream*>(h)->File()));
}

int DLL_CALLCONV StreamSeek(fi_handle h, long offset, int origin) {
    return std::fseek(static_cast<SaveStream*>(h)->File(), offset, origin);
}

long DLL_CALLCONV StreamTell(fi_handle h) {
    return std::ftell(static_cast<SaveStream*>(h)->File());
}

// PNG at zlib's fastest level: its default level takes several times as long
// for a file only a few percent smaller (docs/BENCHMARKS.md); the pixels are
// the same.
int SaveFlags(FREE_IMAGE_FORMAT format) { return format == FIF_PNG ? PNG_Z_BEST_SPEED : 0; }

// Saves through FreeImage into a file written whole or not at all.
bool SaveAtomically(FREE_IMAGE_FORMAT format, FIBITMAP* bitmap, const char* filename) {
    return WriteAtomically(filename, [&](FILE* file) {
        SaveStream stream(file);
        FreeImageIO io{StreamRead, StreamWrite, StreamSeek, StreamTell};
        const bool saved = FreeImage_SaveToHandle(format, bitmap, &io, &stream, SaveFlags(format));
        return stream.Flush() && saved;
    });
}

uint16_t FloatToSample(float v) {
    if (v <= 0) return 0;
    if (v >= 1) return kMaxSample;
    if (std::isnan(v)) return 0;
    const int s = int(std::floor(v * kFloatToSample));
    return uint16_t(s > kMaxSample ? kMaxSample : s);
}

constexpr size_t kRowsPerPiece = 32;  // rows converted per piece of work when saving

// A new 16-bit RGB bitmap of a 3-channel image, FreeImage's bottom-up scan
// lines filled by fill_row(image row, scan line) on every CPU; null when none
// can be allocated.
template <typename T, typename FillRow>
FIBITMAP* ToBitmap(const ostrel::image<T>* image, const FillRow& fill_row) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGB16, image->width, image->height);
    if (!bitmap) return nullptr;
    const unsigned height = image->height;
    ForEachPiece(height, kRowsPerPiece, [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r)
            fill_row(uint32_t(r), reinterpret_cast<uint16_t*>(FreeImage_GetScanLine(bitmap, height - 1 - unsigned(r))));
    });
    return bitmap;
}

bool SaveBitmap(const char* filename, FIBITMAP* bitmap) {
    if (!bitmap) return false;
    const bool saved = SaveAtomically(GetFileType(filename), bitmap, filename);
    FreeImage_Unload(bitmap);
    return saved;
}

// Saves a 3-channel image in the format its name picks (not FITS), each row
// turned into red, green, blue samples by fill(source row, samples, width).
template <typename T, typename Fill>
bool SaveRows(const char* filename, const ostrel::image<T>* image, Fill fill) {
    const auto fill_row = [&](uint32_t r, uint16_t* rgb) {
        if (image->data)
            fill(image->Pixel(0, r), rgb, image->width);
        else
            std::fill_n(rgb, size_t(image->width) * kFrameChannels, uint16_t(0));
    };
    if (GetFileType(filename) == FIF_PPM)
        return quen_merge::WritePpm16(filename, image->width, image->height, fill_row);
    return SaveBitmap(filename, ToBitmap(image, fill_row));
}

}  // namespace

FREE_IMAGE_FORMAT GetFileType(const char* filename) {
    const char* dot = std::strrchr(filename, '.');
    if (!dot) return FIF_PNG;
    for (const char* ext : {".tif", ".TIF", ".TIFF", ".tiff"})
        if (std::strcmp(dot, ext) == 0) return FIF_TIFF;
    for (const char* ext : {".ppm", ".PPM"})
        if (std::strcmp(dot, ext) == 0) return FIF_PPM;
    return FIF_PNG;
}

void FilterTiffMessages() {
    auto set_error = reinterpret_cast<TiffSetHandler>(dlsym(RTLD_DEFAULT, "TIFFSetErrorHandler"));
    auto set_warning =
        reinterpret_cast<TiffSetHandler>(dlsym(RTLD_DEFAULT, "TIFFSetWarningHandler"));
    if (set_error) previous_tiff_error = set_error(FilteredTiffError);
    if (set_warning) previous_tiff_warning = set_warning(FilteredTiffWarning);
}

namespace quen_merge {

namespace {

ImageData* LoadFitsFrame(const char* filename, unsigned stacking_bytes_per_pixel) {
    FitsFrame fits;
    if (!LoadFits(filename, MaxPixels(stacking_bytes_per_pixel), fits)) return nullptr;
    Say(Stream::kOut, "image_type = %i\n", fits.image_type);
    return new ImageData(filename, fits.image, fits.ev);
}

}  // namespace

ImageData* LoadImageData(const char* filename, unsigned stacking_bytes_per_pixel) {
    std::unique_ptr<Image16> none;
    return LoadImageData(filename, stacking_bytes_per_pixel, none);
}

ImageData* LoadImageData(const char* filename, unsigned stacking_bytes_per_pixel, std::unique_ptr<Image16>& spare) {
    struct stat status;
    if (stat(filename, &status) != 0 || !S_ISREG(status.st_mode)) {
        Say(Stream::kErr, "file %s does not exist\n", filename);
        return nullptr;
    }
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(filename, 0);
    if (format == FIF_UNKNOWN && LooksLikeFits(filename)) return LoadFitsFrame(filename, stacking_bytes_per_pixel);
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        Say(Stream::kErr, "file %s is not supported\n", filename);
        return nullptr;
    }
    const std::unique_lock<std::mutex> turn = DecoderTurn(format);
    if (!MayDecode(format, filename, stacking_bytes_per_pixel)) return nullptr;
    FIBITMAP* loaded = Decode(format, filename, stacking_bytes_per_pixel);
    if (!loaded) return nullptr;
    const double ev = ExposureValue(loaded);
    const FREE_IMAGE_TYPE stored_type = FreeImage_GetImageType(loaded);
    Say(Stream::kOut, "image_type = %i\n", int(stored_type));
    // A 16-bit RGB file needs no conversion; converting would only clone it.
    const bool is_rgb16 = stored_type == FIT_RGB16;
    FIBITMAP* rgb = is_rgb16 ? loaded : FreeImage_ConvertToRGB16(loaded);
    if (!rgb) {
        Say(Stream::kErr, "Failed to convert bitmap %p to 32 bit.\n", static_cast<void*>(loaded));
        FreeImage_Unload(loaded);
        return nullptr;
    }
    Image16* image = CopyRGB16(rgb, spare);
    if (!is_rgb16) FreeImage_Unload(rgb);
    ImageData* frame = new ImageData(filename, image, ev);
    FreeImage_Unload(loaded);
    return frame;
}

bool WriteImageLDR(const char* filename, const Image16* image, const StackHistory& history) {
    if (!image || !filename || image->channels != kFrameChannels) return false;
    if (IsFitsName(filename)) return WriteFits(filename, image, history);
    return SaveRows(filename, image, ReverseTriples);
}

bool WriteImageLDR(const char* filename, const FloatImage* image, const StackHistory& history) {
    if (!image || !filename || image->channels != kFrameChannels) return false;
    if (IsFitsName(filename)) {
        Image16 samples(image->width, image->height, kFrameChannels, ostrel::uninitialised);
        const size_t piece = kRowsPerPiece * image->width * kFrameChannels;
        ForEachPiece(image->ElementCount(), piece, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) samples.data[i] = FloatToSample(image->data[i]);
        });
        return WriteFits(filename, &samples, history);
    }
    // Converted straight into the file's rows: the same samples as through a
    // temporary 16-bit image, without one.
    return SaveRows(filename, image, [](const float* src, uint16_t* dst, size_t n) {
        for (size_t i = 0; i < 3 * n; i += 3) {
            dst[i] = FloatToSample(src[i + 2]);
            dst[i + 1] = FloatToSample(src[i + 1]);
            dst[i + 2] = FloatToSample(src[i]);
        }
    });
}

}  // namespace quen_merge
