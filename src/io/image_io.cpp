#include "io/image_io.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/memory_pages.h"
#include "base/message_log.h"
#include "base/parallel.h"
#include "base/sample_format.h"
#include "io/exif_exposure.h"
#include "io/file_integrity.h"
#include "io/fits_io.h"
#include "io/freeimage_save.h"
#include "io/image_formats.h"
#include "io/load_limits.h"
#include "io/ppm_writer.h"
#include "io/tiff_messages.h"

namespace {

using quen_merge::ExposureValue;
using quen_merge::FloatToSample;
using quen_merge::ForEachPiece;
using quen_merge::FrameFacts;
using quen_merge::kFrameChannels;
using quen_merge::CaptureMessages;
using quen_merge::MaxPixels;
using quen_merge::MessageLog;
using quen_merge::Stream;

// Held while a file is read whose format is not known to load side by side:
// such files load one at a time.
std::unique_lock<std::mutex> DecoderTurn(FREE_IMAGE_FORMAT format) {
    static std::mutex lone_decoder;
    const quen_merge::ImageFormat* known = quen_merge::FormatOf(format);
    return known && known->loads_side_by_side ? std::unique_lock<std::mutex>() : std::unique_lock<std::mutex>(lone_decoder);
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
// Says why not into log.
bool MayDecode(FREE_IMAGE_FORMAT format, const char* filename, unsigned stacking_bytes_per_pixel,
               MessageLog& log) {
    const FileIntegrity integrity = CheckFileIntegrity(format, filename);
    if (integrity == FileIntegrity::kBadDimensions) {
        log.Say(Stream::kErr, "file %s has invalid dimensions\n", filename);
        return false;
    }
    const HeaderCheck header = CheckHeader(format, filename, stacking_bytes_per_pixel);
    if (header == HeaderCheck::kUnreadable) return false;
    if (header == HeaderCheck::kTooLarge) {
        log.Say(Stream::kErr, "file %s is too large\n", filename);
        return false;
    }
    if (integrity == FileIntegrity::kTruncated) {
        log.Say(Stream::kErr, "file %s is truncated\n", filename);
        return false;
    }
    return true;
}

// The decoded bitmap, or null after the decoder's or this function's
// message: libtiff reports a damaged file but may still hand over a bitmap
// filled with black where the data was missing.
FIBITMAP* Decode(FREE_IMAGE_FORMAT format, const char* filename, unsigned stacking_bytes_per_pixel,
                 MessageLog& log) {
    const unsigned errors_before = quen_merge::TiffErrorCount();
    FIBITMAP* loaded = FreeImage_Load(format, filename, 0);
    if (!loaded) return nullptr;
    const char* refusal = quen_merge::TiffErrorCount() != errors_before ? "is damaged"
                          : IsTooLarge(loaded, stacking_bytes_per_pixel) ? "is too large"
                                                                         : nullptr;
    if (!refusal) return loaded;
    log.Say(Stream::kErr, "file %s %s\n", filename, refusal);
    FreeImage_Unload(loaded);
    return nullptr;
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

// Hands the whole pages inside [begin, begin + bytes) back to the system: a
// frame's buffer goes back to the heap, where small allocations may split
// it before the next frame needs that much, and its pages would then stay
// resident beside the next frame's. Touched again, they come back zeroed.
// Whole huge pages only, so that none is split into small ones.
void ReleasePages(void* begin, size_t bytes) { quen_merge::AdviseWholeHugePages(begin, bytes, MADV_DONTNEED); }

// A frame whose samples stay in the FreeImage bitmap they were decoded into,
// turned in place into the image layout (top row first; blue, green, red): a
// frame then costs one buffer, not a bitmap and a copy of it.
class DecodedImage16 : public Image16 {
public:
    // Takes an FIT_RGB16 bitmap whose scan lines have no padding.
    explicit DecodedImage16(FIBITMAP* rgb)
        : Image16(FreeImage_GetWidth(rgb), FreeImage_GetHeight(rgb), kFrameChannels,
                  reinterpret_cast<uint16_t*>(FreeImage_GetBits(rgb))),
          bitmap(rgb) {
        // FreeImage's scan lines run bottom-up, each pixel red, green, blue.
        const size_t row = size_t(width) * kFrameChannels;
        std::vector<uint16_t> swap(row);
        for (uint32_t top = 0, bottom = height - 1; top < bottom; ++top, --bottom) {
            uint16_t* upper = data + size_t(top) * row;
            uint16_t* lower = data + size_t(bottom) * row;
            ReverseTriples(upper, swap.data(), width);
            ReverseTriples(lower, upper, width);
            std::copy(swap.begin(), swap.end(), lower);
        }
        if (height % 2) {
            uint16_t* middle = data + size_t(height / 2) * row;
            ReverseTriples(middle, swap.data(), width);
            std::copy(swap.begin(), swap.end(), middle);
        }
    }
    ~DecodedImage16() override {
        ReleasePages(data, ElementCount() * sizeof(uint16_t));
        data = nullptr;
        FreeImage_Unload(bitmap);
    }
    DecodedImage16(const DecodedImage16&) = delete;
    DecodedImage16& operator=(const DecodedImage16&) = delete;

    // Whether rgb's scan lines lie end to end, as an image's rows must.
    static bool Fits(FIBITMAP* rgb) {
        return FreeImage_GetPitch(rgb) == FreeImage_GetWidth(rgb) * kFrameChannels * sizeof(uint16_t);
    }

private:
    FIBITMAP* bitmap;
};

// Copies an FIT_RGB16 bitmap into a new BGR image, flipping FreeImage's
// bottom-up scan lines: for bitmaps whose scan lines are padded.
Image16* CopyRGB16(FIBITMAP* rgb) {
    const unsigned width = FreeImage_GetWidth(rgb);
    const unsigned height = FreeImage_GetHeight(rgb);
    Image16* image = new Image16(width, height, kFrameChannels, ostrel::uninitialised);
    for (unsigned r = 0; r < height; ++r) {
        // An FIRGB16 is red, green, blue: each pixel's three samples reversed.
        const uint16_t* src = reinterpret_cast<const uint16_t*>(FreeImage_GetScanLine(rgb, height - 1 - r));
        ReverseTriples(src, image->Pixel(0, r), width);
    }
    return image;
}

// The frame of a 16-bit RGB bitmap, which it takes.
Image16* FrameOf(FIBITMAP* rgb) {
    if (DecodedImage16::Fits(rgb)) return new DecodedImage16(rgb);
    Image16* image = CopyRGB16(rgb);
    FreeImage_Unload(rgb);
    return image;
}

// A new 16-bit RGB bitmap of a 3-channel image, FreeImage's bottom-up scan
// lines filled by fill_row(image row, scan line) on every CPU; null when none
// can be allocated.
template <typename T, typename FillRow>
FIBITMAP* ToBitmap(const ostrel::image<T>* image, const FillRow& fill_row) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGB16, image->width, image->height);
    if (!bitmap) return nullptr;
    const unsigned height = image->height;
    ForEachPiece(height, quen_merge::kSaveRowsPerPiece, [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r)
            fill_row(uint32_t(r), reinterpret_cast<uint16_t*>(FreeImage_GetScanLine(bitmap, height - 1 - unsigned(r))));
    });
    return bitmap;
}

bool SaveBitmap(const char* filename, FIBITMAP* bitmap) {
    if (!bitmap) return false;
    const bool saved = quen_merge::SaveBitmapAtomically(GetFileType(filename), bitmap, filename);
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

// Saves a 3-channel float image as a TIFF of 32-bit floating-point red, green
// and blue samples, as they are.
bool SaveFloatTiff(const char* filename, const FloatImage& image) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGBF, image.width, image.height);
    if (!bitmap) return false;
    ForEachPiece(image.height, quen_merge::kSaveRowsPerPiece, [&](size_t begin, size_t end) {
        for (size_t r = begin; r < end; ++r) {
            FIRGBF* line = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(bitmap, image.height - 1 - unsigned(r)));
            const float* src = image.Pixel(0, uint32_t(r));
            for (uint32_t x = 0; x < image.width; ++x, src += kFrameChannels) line[x] = FIRGBF{src[2], src[1], src[0]};
        }
    });
    return SaveBitmap(filename, bitmap);
}

}  // namespace

FREE_IMAGE_FORMAT GetFileType(const char* filename) {
    const quen_merge::ImageFormat& format = quen_merge::OutputFormatOf(filename);
    return format.format == FIF_UNKNOWN ? FIF_PNG : format.format;
}

namespace quen_merge {

namespace {

ImageData* LoadFitsFrame(const char* filename, unsigned stacking_bytes_per_pixel, MessageLog& log) {
    FitsFrame fits;
    if (!LoadFits(filename, MaxPixels(stacking_bytes_per_pixel), fits, log)) return nullptr;
    log.Say(Stream::kOut, "image_type = %i\n", fits.image_type);
    ImageData* frame = new ImageData(filename, fits.image, fits.ev);
    frame->SetFacts(std::move(fits.facts));
    return frame;
}

// LoadImageData, saying everything into log.
ImageData* Load(const char* filename, unsigned stacking_bytes_per_pixel, MessageLog& log) {
    struct stat status;
    const bool found = stat(filename, &status) == 0;
    if (!found || !S_ISREG(status.st_mode)) {
        log.Say(Stream::kErr, "file %s does not exist\n", filename);
        if (found && S_ISDIR(status.st_mode)) log.Say(Stream::kErr, "tarnic: %s is a folder: name the frames in it\n", filename);
        return nullptr;
    }
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(filename, 0);
    if (format == FIF_UNKNOWN && LooksLikeFits(filename)) return LoadFitsFrame(filename, stacking_bytes_per_pixel, log);
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        log.Say(Stream::kErr, "file %s is not supported\n", filename);
        return nullptr;
    }
    const std::unique_lock<std::mutex> turn = DecoderTurn(format);
    if (!MayDecode(format, filename, stacking_bytes_per_pixel, log)) return nullptr;
    FIBITMAP* loaded = Decode(format, filename, stacking_bytes_per_pixel, log);
    if (!loaded) return nullptr;
    FrameFacts facts;
    const double ev = ExposureValue(loaded, &facts.exposure);
    facts.start = quen_merge::ExposureStart(loaded);
    facts.mono = FreeImage_GetColorType(loaded) == FIC_MINISBLACK;
    const FREE_IMAGE_TYPE stored_type = FreeImage_GetImageType(loaded);
    log.Say(Stream::kOut, "image_type = %i\n", int(stored_type));
    // A 16-bit RGB file needs no conversion; converting would only clone it.
    FIBITMAP* rgb = stored_type == FIT_RGB16 ? loaded : FreeImage_ConvertToRGB16(loaded);
    if (!rgb) {
        log.Say(Stream::kErr, "Failed to convert bitmap %p to 32 bit.\n", static_cast<void*>(loaded));
        FreeImage_Unload(loaded);
        return nullptr;
    }
    if (rgb != loaded) FreeImage_Unload(loaded);
    Image16* image = FrameOf(rgb);
    ImageData* frame = new ImageData(filename, image, ev);
    frame->SetFacts(std::move(facts));
    return frame;
}

}  // namespace

ImageData* LoadImageData(const char* filename, unsigned stacking_bytes_per_pixel) {
    MessageLog now(true);
    return LoadImageData(filename, stacking_bytes_per_pixel, now);
}

ImageData* LoadImageData(const char* filename, unsigned stacking_bytes_per_pixel, MessageLog& log) {
    // What FreeImage and libtiff say while the file is read goes there too.
    const CaptureMessages library_messages(log);
    return Load(filename, stacking_bytes_per_pixel, log);
}

bool ReadFrameHeader(const char* filename, FrameHeader& header) {
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(filename, 0);
    MessageLog quiet;  // a frame that does not load says why when it is stacked
    const CaptureMessages library_messages(quiet);
    if (format != FIF_UNKNOWN && FreeImage_FIFSupportsNoPixels(format)) {
        FIBITMAP* bitmap = FreeImage_Load(format, filename, FIF_LOAD_NOPIXELS);
        if (!bitmap) return false;
        header.width = FreeImage_GetWidth(bitmap);
        header.height = FreeImage_GetHeight(bitmap);
        ExposureValue(bitmap, &header.exposure);
        FreeImage_Unload(bitmap);
        return true;
    }
    const std::unique_ptr<ImageData> frame(Load(filename, 0, quiet));
    if (!frame || !frame->Image()) return false;
    header.width = frame->Image()->width;
    header.height = frame->Image()->height;
    header.exposure = frame->Facts().exposure;
    header.filter = CardValue(frame->Facts().cards, "FILTER");
    return true;
}

bool WriteImageLDR(const char* filename, const Image16* image, const StackHistory& history) {
    if (!image || !filename || image->channels != kFrameChannels) return false;
    if (IsFitsName(filename)) return WriteFits(filename, image, history);
    return SaveRows(filename, image, ReverseTriples);
}

bool WriteImageLDR(const char* filename, const FloatImage* image, const StackHistory& history,
                   bool float_samples) {
    if (!image || !filename || image->channels != kFrameChannels) return false;
    if (IsFitsName(filename)) return WriteFits(filename, image, history, float_samples);
    if (float_samples && GetFileType(filename) == FIF_TIFF) return SaveFloatTiff(filename, *image);
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
