#include "stack/frame_scores.h"

#include <cmath>

#include "base/sample_format.h"
#include "io/stack_history.h"
#include "stack/sigma_clip.h"
#include "stars/star_detect.h"
#include "stars/star_shape.h"

namespace quen_merge {

namespace {

const char* KindName(MappingKind kind) {
    switch (kind) {
        case MappingKind::kRigid: return "rigid";
        case MappingKind::kProjective: return "projective";
        case MappingKind::kLensProjective: return "lens projective";
        case MappingKind::kCubic: return "cubic";
        case MappingKind::kSkyTurn: return "sky turn";
    }
    return "";
}

}  // namespace

FrameScores::FrameScores(const std::vector<std::string>& files) {
    for (const std::string& file : files) {
        rows.emplace_back();
        rows.back().file = file;
        rows.back().reason = "could not be read";
    }
}

void FrameScores::Measure(size_t index, const ImageData& frame, const Calibration& calibration,
                          const std::vector<StarRef>* stars) {
    const Image16* image = frame.Image();
    if (!image) return;
    FrameScore& row = rows[index];
    row.reason.clear();
    row.measured = true;
    const SampleCalibration samples = calibration.For(image);
    const ClippingStatistics::FrameSky sky = ClippingStatistics::Sky(
        image->width, image->height, [&](size_t i) { return CalibratedValue(image->data, samples, i); });
    for (unsigned c = 0; c < kFrameChannels; ++c) {
        row.background[c] = sky.level[c] * kFloatToSample;
        row.noise[c] = std::sqrt(sky.variance[c]) * kFloatToSample;
    }
    std::vector<StarRef> found;
    if (!stars) DetectStars(image, calibration, found);
    const FieldShape shape = MeasureFieldShape(*image, samples, stars ? *stars : found);
    row.stars = shape.stars;
    row.shaped = shape.measured;
    row.fwhm = shape.median.fwhm;
    row.roundness = shape.median.roundness;
    row.start = ObservationStart(frame.Facts().cards);
    if (row.start.empty()) row.start = frame.Facts().start;
}

void FrameScores::Mapped(size_t index, MappingKind kind, double residual) {
    rows[index].mapping = KindName(kind);
    rows[index].residual = residual;
}

}  // namespace quen_merge
