// A loaded frame: its file name, its 16-bit BGR pixels, its exposure value
// and what its file says of how it was taken.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ostrel/image.h"

namespace quen_merge {

// What a frame's file says of how it was taken, besides its pixels.
struct FrameFacts {
    bool mono = false;               // the file held one channel
    double exposure = 0;             // seconds; 0 when the file does not say
    std::vector<std::string> cards;  // FITS header cards a result carries over, whole
    std::string start;               // EXIF: when the exposure started, "YYYY-MM-DDThh:mm:ss"; else empty
};

class ImageData {
public:
    // Takes ownership of image (may be null); multiplier becomes 2^ev.
    ImageData(const char* name, Image16* image, double ev);
    ~ImageData();
    ImageData(const ImageData&) = delete;
    ImageData& operator=(const ImageData&) = delete;

    double EV() const { return ev; }
    double Multiplier() const { return multiplier; }
    // The record keeps ownership of the image.
    Image16* Image() const { return image; }
    // Hands the image to the caller, who then owns it; the record has none.
    Image16* ReleaseImage() { return std::exchange(image, nullptr); }
    const std::string& Name() const { return name; }
    const FrameFacts& Facts() const { return facts; }
    void SetFacts(FrameFacts new_facts) { facts = std::move(new_facts); }

    // 1 for a dark sample (<= 1024), else 0.
    static int ClassifyValue(unsigned short v);
    // As ClassifyValue, or 3 when there is no sample at (x, y, c).
    int ClassifyPixel(unsigned x, unsigned y, unsigned c) const;
    // The raw sample, or 0 when there is none at (x, y, c).
    unsigned short GetValue(unsigned x, unsigned y, unsigned c) const;
    // The sample scaled by 2^-16, or 0.0 when there is none.
    double GetDoubleValue(unsigned x, unsigned y, unsigned c) const;
    // Confidence of a sample: 1 at mid-grey, falling off quadratically to the
    // extremes. Flag 4 gives 1.0 outright; flags 1 and 2 soften the fall-off in
    // the lower and upper half. The position must lie inside the image.
    double GetWeight(unsigned x, unsigned y, unsigned c, unsigned flags) const;

private:
    bool HasSample(unsigned x, unsigned y, unsigned c) const;

    std::string name;
    Image16* image;
    double ev;
    double multiplier;
    FrameFacts facts;
};

}  // namespace quen_merge
