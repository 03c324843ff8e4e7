#include "io/fits_io.h"

#include <fitsio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "io/atomic_file.h"
#include "io/fits_sections.h"
#include "io/image_formats.h"
#include "base/message_log.h"
#include "base/sample_format.h"

namespace quen_merge {

namespace {

constexpr char kSimpleCard[] = "SIMPLE  =";
constexpr int kMaxAxes = 4;             // enough to tell a 4-D image from the rest
constexpr int kColourPlanes = 3;        // red, green, blue
constexpr double kDefaultIso = 100;     // as for EXIF: what a file without ISO is taken at
constexpr char kCreator[] = "tarnic " TARNIC_VERSION;
// FreeImage's pixel types, printed for FITS frames as for every other frame.
constexpr int kTypeBitmap = 1, kTypeUint16 = 2, kTypeInt32 = 5, kTypeFloat = 6, kTypeDouble = 7,
              kTypeRgb16 = 9, kTypeRgbf = 11;

// Closes a cfitsio file on every path.
struct FitsCloser {
    void operator()(fitsfile* f) const {
        int status = 0;
        fits_close_file(f, &status);
    }
};
using FitsFile = std::unique_ptr<fitsfile, FitsCloser>;

// cfitsio's own words for status.
std::string FitsError(int status) {
    char text[FLEN_STATUS] = "";
    fits_get_errstatus(status, text);
    fits_clear_errmsg();
    return text;
}

// The image to read: its BITPIX, width, height and number of planes.
struct ImageShape {
    int bitpix = 0;
    long width = 0, height = 0, planes = 0;
};

// Moves to the primary image, or to the first image extension when the
// primary HDU holds no data. Empty reason on success.
std::string FindImage(fitsfile* f, ImageShape& shape) {
    int status = 0, naxis = 0, hdu_type = 0;
    long axes[kMaxAxes] = {0, 0, 0, 0};
    fits_get_img_param(f, kMaxAxes, &shape.bitpix, &naxis, axes, &status);
    while (status == 0 && naxis == 0) {
        if (fits_movrel_hdu(f, 1, &hdu_type, &status)) return "holds no image";
        if (hdu_type == IMAGE_HDU) fits_get_img_param(f, kMaxAxes, &shape.bitpix, &naxis, axes, &status);
    }
    if (status) return FitsError(status);
    if (naxis != 2 && naxis != 3) return "has " + std::to_string(naxis) + " axes, not 2 or 3";
    if (naxis == 3 && axes[2] != kColourPlanes) return "has a third axis of " + std::to_string(axes[2]) + ", not 3";
    if (axes[0] <= 0 || axes[1] <= 0) return "has invalid dimensions";
    shape.width = axes[0];
    shape.height = axes[1];
    shape.planes = naxis == 3 ? kColourPlanes : 1;
    return "";
}

// Whether the file holds the whole data unit its header announces: told
// before anything is allocated for the pixels.
bool DataUnitIsWhole(fitsfile* f, const char* filename) {
    LONGLONG header_start = 0, data_start = 0, data_end = 0;
    int status = 0;
    if (fits_get_hduaddrll(f, &header_start, &data_start, &data_end, &status)) return false;
    struct stat file;
    return stat(filename, &file) == 0 && LONGLONG(file.st_size) >= data_end;
}

bool IsFloat(int bitpix) { return bitpix < 0; }

int FreeImageTypeOf(const ImageShape& shape) {
    const bool colour = shape.planes == kColourPlanes;
    switch (shape.bitpix) {
        case BYTE_IMG: return colour ? kTypeRgb16 : kTypeBitmap;
        case SHORT_IMG: return colour ? kTypeRgb16 : kTypeUint16;
        case LONG_IMG: return colour ? kTypeRgbf : kTypeInt32;
        case FLOAT_IMG: return colour ? kTypeRgbf : kTypeFloat;
        default: return colour ? kTypeRgbf : kTypeDouble;
    }
}

// Reads one row (0 = first stored, the bottom) of one plane as doubles, with
// BZERO and BSCALE applied and blank or NaN values as 0.
bool ReadRow(fitsfile* f, const ImageShape& shape, long plane, long row, double* out, int& status) {
    long first[3] = {1, row + 1, plane + 1};
    double blank = 0;
    int any_blank = 0;
    return fits_read_pix(f, TDOUBLE, first, shape.width, &blank, out, &any_blank, &status) == 0;
}

// Floating-point data within [0, 1] are taken as fractions of full scale.
bool ScanUnitRange(fitsfile* f, const ImageShape& shape, bool& unit_range, int& status) {
    std::vector<double> row(size_t(shape.width));
    unit_range = true;
    for (long p = 0; p < shape.planes && unit_range; ++p)
        for (long r = 0; r < shape.height && unit_range; ++r) {
            if (!ReadRow(f, shape, p, r, row.data(), status)) return false;
            for (double v : row)
                if (!(v >= 0 && v <= 1) && !std::isnan(v)) unit_range = false;
        }
    return true;
}

unsigned short ToSample(double v, double scale) {
    if (std::isnan(v)) return 0;
    const double s = std::round(v * scale);
    return s <= 0 ? 0 : s >= kMaxSample ? (unsigned short)kMaxSample : (unsigned short)s;
}

// The image channels plane p fills: plane 0 is red, which is channel 2 of
// the image; a mono plane fills all three.
void ChannelsOfPlane(const ImageShape& shape, long p, unsigned& first, unsigned& last) {
    first = shape.planes == 1 ? 0 : unsigned(kColourPlanes - 1 - p);
    last = shape.planes == 1 ? kFrameChannels - 1 : first;
}

// What the header says of the frame's parts: the whole of it, or only its
// TRIMSEC, is the image; BIASSEC, when given, reads each row's bias.
struct FrameSections {
    Section image;
    bool has_overscan = false;
    Section overscan;
};

// A section card's text, or "" when the header has none.
std::string SectionCard(fitsfile* f, const char* key) {
    int status = 0;
    char value[FLEN_VALUE] = "";
    if (fits_read_key(f, TSTRING, key, value, nullptr, &status)) {
        fits_clear_errmsg();
        return "";
    }
    return value;
}

// The frame's sections; a card that does not describe a part of the frame
// is set aside with a message, and the frame read as if it were not there.
FrameSections SectionsOf(fitsfile* f, const ImageShape& shape, const char* filename, MessageLog& log) {
    FrameSections sections;
    sections.image = {0, shape.width - 1, 0, shape.height - 1};
    const std::string trim = SectionCard(f, "TRIMSEC"), overscan = SectionCard(f, "BIASSEC");
    if (!trim.empty() && !ParseSection(trim, shape.width, shape.height, sections.image)) {
        log.Say(Stream::kErr, "file %s: TRIMSEC %s is not a part of its %ld x %ld pixels; the frame is not trimmed\n",
                filename, trim.c_str(), shape.width, shape.height);
        sections.image = {0, shape.width - 1, 0, shape.height - 1};
    }
    if (!overscan.empty()) {
        sections.has_overscan = ParseSection(overscan, shape.width, shape.height, sections.overscan);
        if (!sections.has_overscan)
            log.Say(Stream::kErr,
                    "file %s: BIASSEC %s is not a part of its %ld x %ld pixels; its overscan is not used\n", filename,
                    overscan.c_str(), shape.width, shape.height);
    }
    return sections;
}

// Fills image (blue, green, red; top row first) from the FITS planes' image
// section, each row less its overscan level (kept above zero by the
// pedestal) when the frame has an overscan.
bool ReadPixels(fitsfile* f, const ImageShape& shape, double scale, const FrameSections& sections, Image16* image,
                int& status) {
    std::vector<double> row(size_t(shape.width));
    const Section& part = sections.image;
    for (long p = 0; p < shape.planes; ++p) {
        unsigned first_channel, last_channel;
        ChannelsOfPlane(shape, p, first_channel, last_channel);
        std::vector<double> levels;
        if (sections.has_overscan) {
            levels = OverscanLevels(sections.overscan, shape.width, shape.height, [&](long r, double* out) {
                return ReadRow(f, shape, p, r, out, status);
            });
            if (levels.empty()) return false;
        }
        const double pedestal = kOverscanPedestal / scale;
        for (long r = part.y0; r <= part.y1; ++r) {
            if (!ReadRow(f, shape, p, r, row.data(), status)) return false;
            const double less = levels.empty() ? 0.0 : levels[size_t(r)] - pedestal;
            unsigned short* out = image->Pixel(0, uint32_t(part.y1 - r));
            for (long x = part.x0; x <= part.x1; ++x) {
                const unsigned short v = ToSample(row[size_t(x)] - less, scale);
                for (unsigned c = first_channel; c <= last_channel; ++c)
                    out[size_t(x - part.x0) * kFrameChannels + c] = v;
            }
        }
    }
    return true;
}

// log2(1 / (ISO x EXPTIME)): the EXIF formula with an f-number of 1, which
// FITS does not record; 0 without a positive EXPTIME.
double ExposureValue(fitsfile* f) {
    int status = 0;
    double exposure = 0, iso = kDefaultIso;
    if (fits_read_key(f, TDOUBLE, "EXPTIME", &exposure, nullptr, &status) || !(exposure > 0)) {
        fits_clear_errmsg();
        return 0.0;
    }
    for (const char* key : {"ISO", "ISOSPEED"}) {
        status = 0;
        double value = 0;
        if (fits_read_key(f, TDOUBLE, key, &value, nullptr, &status) == 0 && value > 0) {
            iso = value;
            break;
        }
    }
    fits_clear_errmsg();
    return std::log2(1.0 / (iso * exposure));
}

// One plane or three, the exposure time (EXPTIME, else EXPOSURE) and the
// carried-over cards the header has; the reference pixel moved with the
// trimmed frame's origin.
FrameFacts FactsOf(fitsfile* f, const ImageShape& shape, const Section& image) {
    FrameFacts facts;
    facts.mono = shape.planes == 1;
    for (const char* key : {"EXPTIME", "EXPOSURE"}) {
        int status = 0;
        double seconds = 0;
        if (fits_read_key(f, TDOUBLE, key, &seconds, nullptr, &status) == 0 && seconds > 0) {
            facts.exposure = seconds;
            break;
        }
    }
    for (const std::string& key : CarriedKeys()) {
        int status = 0;
        char card[FLEN_CARD] = "";
        if (fits_read_card(f, const_cast<char*>(key.c_str()), card, &status)) continue;
        const long origin = key == "CRPIX1" ? image.x0 : key == "CRPIX2" ? image.y0 : 0;
        double pixel = 0;
        if (origin && fits_read_key(f, TDOUBLE, key.c_str(), &pixel, nullptr, &status) == 0)
            std::snprintf(card, sizeof card, "%-8s= %20.10G / reference pixel of the trimmed frame", key.c_str(),
                          pixel - double(origin));
        facts.cards.push_back(card);
    }
    fits_clear_errmsg();
    return facts;
}

// The cards that say how the result was made and what its frames said alike.
void WriteHistory(fitsfile* f, const StackHistory& history, int& status) {
    unsigned frames = history.frames;
    fits_write_key(f, TUINT, "NFRAMES", &frames, "frames in the stack", &status);
    // A comment that would not fit on the card is left off rather than cut.
    const char* how = "how the frames were combined";
    const bool fits = std::max<size_t>(history.merge_type.size() + 2, 20) + 10 + 3 + std::strlen(how) <= 80;
    fits_write_key(f, TSTRING, "STACKTYP", const_cast<char*>(history.merge_type.c_str()), fits ? how : nullptr,
                   &status);
    fits_write_key(f, TSTRING, "CREATOR", const_cast<char*>(kCreator), "program that made the file", &status);
    if (history.total_exposure > 0) {
        double total = history.total_exposure;
        fits_write_key(f, TDOUBLE, "EXPTIME", &total, "total integration of the stacked frames, s", &status);
    }
    if (history.single_exposure > 0) {
        double single = history.single_exposure;
        fits_write_key(f, TDOUBLE, "SUBEXP", &single, "exposure of each stacked frame, s", &status);
    }
    if (!history.master.empty()) {
        fits_write_key(f, TSTRING, "MASTER", const_cast<char*>(history.master.c_str()),
                       "calibration master: give it again as it is", &status);
        int bias_subtracted = history.bias_subtracted;
        if (history.master == "flat")
            fits_write_key(f, TLOGICAL, "BIASSUB", &bias_subtracted, "the master bias was taken off", &status);
    }
    for (const std::string& card : history.first_frame_cards) fits_write_record(f, card.c_str(), &status);
    for (const std::string& card : history.cards) fits_write_record(f, card.c_str(), &status);
    for (const std::string& note : history.notes) fits_write_history(f, note.c_str(), &status);
}

// A new image in f of the result's planes: one for a mono stack, else red,
// green and blue; bottom row first. row(channel, image row, out) gives one
// row of a channel in the file's sample type T (FITS type datatype).
template <typename T, typename Row>
void WriteImage(fitsfile* f, uint32_t width, uint32_t height, int bitpix, int datatype, const StackHistory& history,
                Row row, int& status) {
    const long planes = history.mono ? 1 : kColourPlanes;
    long axes[3] = {long(width), long(height), planes};
    fits_create_img(f, bitpix, planes == 1 ? 2 : 3, axes, &status);
    WriteHistory(f, history, status);
    std::vector<T> plane(size_t(width) * height);
    for (long p = 0; p < planes && status == 0; ++p) {
        // Red is channel 2; the one plane of a mono stack is any channel, all alike.
        const unsigned channel = unsigned(kColourPlanes - 1 - p);
        for (uint32_t r = 0; r < height; ++r) row(channel, height - 1 - r, plane.data() + size_t(r) * width);
        long first[3] = {1, 1, p + 1};
        fits_write_pix(f, datatype, first, long(plane.size()), plane.data(), &status);
    }
}

// Builds the file in memory with write(f, status), then writes it whole or
// not at all.
template <typename Write>
bool WriteFitsFile(const char* filename, Write write) {
    void* memory = nullptr;
    size_t size = 0;
    int status = 0;
    fitsfile* f = nullptr;
    if (fits_create_memfile(&f, &memory, &size, 0, realloc, &status)) {
        fits_clear_errmsg();
        return false;
    }
    write(f, status);
    fits_close_file(f, &status);  // closes whatever the status; memory then holds the file
    const bool written = status == 0 && WriteAtomically(filename, [&](FILE* file) {
        return std::fwrite(memory, 1, size, file) == size;
    });
    std::free(memory);
    if (status) fits_clear_errmsg();
    return written;
}

// Frames of other formats load side by side, FITS files one at a time:
// cfitsio sets up its own lock on first use without guarding that (the
// thread sanitizer catches two first opens at once).
std::mutex one_reader;

bool Refuse(const char* filename, const std::string& why, MessageLog& log) {
    log.Say(Stream::kErr, "file %s %s\n", filename, why.c_str());
    return false;
}

constexpr unsigned long long kNoPixelLimit = ~0ull;

// The file opened at its image, whose shape it gives; null, after saying
// why through log, for a file that is no readable FITS image, whose pixels
// would be more than max_pixels, or whose data unit is cut short.
FitsFile OpenImage(const char* filename, unsigned long long max_pixels, ImageShape& shape, MessageLog& log) {
    int status = 0;
    fitsfile* opened = nullptr;
    // The disk-file call takes the name literally: no cfitsio filename syntax.
    if (fits_open_diskfile(&opened, filename, READONLY, &status)) {
        Refuse(filename, "is not a readable FITS file: " + FitsError(status), log);
        return nullptr;
    }
    FitsFile f(opened);
    const std::string problem = FindImage(f.get(), shape);
    const unsigned long long pixels = (unsigned long long)shape.width * (unsigned long long)shape.height;
    const std::string refused = !problem.empty()          ? problem
                                : pixels > max_pixels     ? "is too large"
                                : !DataUnitIsWhole(f.get(), filename) ? "is truncated"
                                                                      : "";
    if (refused.empty()) return f;
    Refuse(filename, refused, log);
    return nullptr;
}

}  // namespace

bool LooksLikeFits(const char* filename) {
    char head[sizeof kSimpleCard - 1];
    FILE* f = std::fopen(filename, "rb");
    if (!f) return false;
    const bool read = std::fread(head, 1, sizeof head, f) == sizeof head;
    std::fclose(f);
    return read && std::memcmp(head, kSimpleCard, sizeof head) == 0;
}

bool IsFitsName(const char* filename) { return IsFits(OutputFormatOf(filename)); }

bool LoadFits(const char* filename, unsigned long long max_pixels, FitsFrame& frame, MessageLog& log) {
    const std::lock_guard<std::mutex> turn(one_reader);
    ImageShape shape;
    const FitsFile f = OpenImage(filename, max_pixels, shape, log);
    if (!f) return false;
    int status = 0;
    bool unit_range = false;
    if (IsFloat(shape.bitpix) && !ScanUnitRange(f.get(), shape, unit_range, status))
        return Refuse(filename, "is truncated: " + FitsError(status), log);
    const FrameSections sections = SectionsOf(f.get(), shape, filename, log);
    std::unique_ptr<Image16> image(
        new Image16(uint32_t(sections.image.Width()), uint32_t(sections.image.Height()), kFrameChannels));
    if (!ReadPixels(f.get(), shape, unit_range ? kMaxSample : 1.0, sections, image.get(), status))
        return Refuse(filename, "is truncated: " + FitsError(status), log);
    frame.ev = ExposureValue(f.get());
    frame.facts = FactsOf(f.get(), shape, sections.image);
    frame.image_type = FreeImageTypeOf(shape);
    frame.image = image.release();
    return true;
}

std::string MasterKindOf(const char* filename) {
    if (!LooksLikeFits(filename)) return "";
    const std::lock_guard<std::mutex> turn(one_reader);
    int status = 0;
    fitsfile* opened = nullptr;
    if (fits_open_diskfile(&opened, filename, READONLY, &status)) {
        fits_clear_errmsg();
        return "";
    }
    const FitsFile f(opened);
    char kind[FLEN_VALUE] = "";
    if (fits_read_key(f.get(), TSTRING, "MASTER", kind, nullptr, &status)) fits_clear_errmsg();
    return kind;
}

bool LoadMaster(const char* filename, MasterFrame& master, MessageLog& log) {
    const std::lock_guard<std::mutex> turn(one_reader);
    ImageShape shape;
    const FitsFile f = OpenImage(filename, kNoPixelLimit, shape, log);
    if (!f) return false;
    int status = 0;
    char kind[FLEN_VALUE] = "";
    double exposure = 0;
    int bias_subtracted = 0;
    fits_read_key(f.get(), TSTRING, "MASTER", kind, nullptr, &status);
    fits_read_key(f.get(), TUINT, "NFRAMES", &master.frames, nullptr, &status);
    if (status) return Refuse(filename, "is no calibration master: " + FitsError(status), log);
    if (fits_read_key(f.get(), TDOUBLE, "SUBEXP", &exposure, nullptr, &status) == 0) master.exposure = exposure;
    status = 0;
    if (fits_read_key(f.get(), TLOGICAL, "BIASSUB", &bias_subtracted, nullptr, &status) == 0)
        master.bias_subtracted = bias_subtracted;
    status = 0;
    fits_clear_errmsg();
    master.kind = kind;
    auto image = std::make_unique<FloatImage>(uint32_t(shape.width), uint32_t(shape.height), kFrameChannels);
    std::vector<float> row(size_t(shape.width));
    for (long p = 0; p < shape.planes; ++p) {
        unsigned first_channel, last_channel;
        ChannelsOfPlane(shape, p, first_channel, last_channel);
        for (long r = 0; r < shape.height; ++r) {
            long first[3] = {1, r + 1, p + 1};
            float blank = 0;
            int any_blank = 0;
            if (fits_read_pix(f.get(), TFLOAT, first, shape.width, &blank, row.data(), &any_blank, &status))
                return Refuse(filename, "is truncated: " + FitsError(status), log);
            float* out = image->Pixel(0, uint32_t(shape.height - 1 - r));
            for (long x = 0; x < shape.width; ++x)
                for (unsigned c = first_channel; c <= last_channel; ++c)
                    out[size_t(x) * kFrameChannels + c] = row[size_t(x)];
        }
    }
    master.image = std::move(image);
    return true;
}

bool WriteFits(const char* filename, const Image16* image, const StackHistory& history) {
    if (!image || !image->data || image->channels != kFrameChannels) return false;
    return WriteFitsFile(filename, [&](fitsfile* f, int& status) {
        WriteImage<unsigned short>(
            f, image->width, image->height, USHORT_IMG, TUSHORT, history,
            [image](unsigned c, uint32_t y, unsigned short* out) {
                const unsigned short* src = image->Pixel(0, y);
                for (uint32_t x = 0; x < image->width; ++x) out[x] = src[size_t(x) * kFrameChannels + c];
            },
            status);
    });
}

bool WriteFits(const char* filename, const FloatImage* image, const StackHistory& history, bool float_samples) {
    if (!image || !image->data || image->channels != kFrameChannels) return false;
    return WriteFitsFile(filename, [&](fitsfile* f, int& status) {
        if (float_samples) {
            WriteImage<float>(
                f, image->width, image->height, FLOAT_IMG, TFLOAT, history,
                [image](unsigned c, uint32_t y, float* out) {
                    const float* src = image->Pixel(0, y);
                    for (uint32_t x = 0; x < image->width; ++x) out[x] = src[size_t(x) * kFrameChannels + c];
                },
                status);
            return;
        }
        WriteImage<unsigned short>(
            f, image->width, image->height, USHORT_IMG, TUSHORT, history,
            [image](unsigned c, uint32_t y, unsigned short* out) {
                const float* src = image->Pixel(0, y);
                for (uint32_t x = 0; x < image->width; ++x) out[x] = FloatToSample(src[size_t(x) * kFrameChannels + c]);
            },
            status);
    });
}

}  // namespace quen_merge
