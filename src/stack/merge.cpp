#include "stack/merge.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include "stars/align.h"
#include "base/console.h"
#include "io/frame_prefetch.h"
#include "io/image_io.h"
#include "base/median.h"
#include "base/message_log.h"
#include "stack/frame_scores.h"
#include "stack/frame_loop.h"
#include "stack/frame_tally.h"
#include "stars/star_detect.h"
#include "stars/sky_motion_fit.h"
#include "stars/star_match.h"

namespace quen_merge {

namespace {

// On one line: the share of the stack's values that clipping left out,
// high and low; the samples where it may have stopped short of an outlier
// (every value it kept of a side went, and one beyond stood out); how far
// apart the frames were brought.
void ReportRejection(const RejectionTally& tally) {
    const double share = tally.values ? 100.0 / double(tally.values) : 0.0;
    std::printf("Rejected %.3f%% of values high and %.3f%% low", double(tally.high) * share, double(tally.low) * share);
    if (tally.at_limit)
        std::printf("; %llu samples may still hold an outlier", (unsigned long long)tally.at_limit);
    if (tally.normalisation == Normalisation::kLocation)
        std::printf("; skies %+.1f to %+.1f ADU from the first frame's", tally.least * kFloatToSample,
                    tally.most * kFloatToSample);
    if (tally.normalisation == Normalisation::kScale)
        std::printf("; levels %.3fx to %.3fx the first frame's", tally.least, tally.most);
    std::printf("\n");
}

// Ends an aligned stack: "Post processing", the means, what rejection and
// alignment left out (how many of the loaded frames it holds on standard
// output; why frames are missing on standard error); the accumulated image
// for the caller, or null.
FloatImage* FinishAligned(AverageAlign* accumulator, const StackHistory& record, size_t loaded,
                          const FrameTally& tally, const char* hint, StackHistory* history) {
    std::puts("Post processing");
    if (!accumulator) return nullptr;
    accumulator->PostProcess();
    if (accumulator->Tally()) ReportRejection(*accumulator->Tally());
    std::printf("%u of %zu frames stacked\n", record.frames, loaded);
    tally.Report(record.frames, hint);
    if (history) *history = record;
    return accumulator->ReleaseAccumulator();
}

}  // namespace

FloatImage* MergeNoAlign(const std::vector<std::string>& files, const Calibration& calibration,
                         MergeType type, StackHistory* history) {
    return MergeNoAlign(files, calibration, type == MergeAverage ? kMeanRule.make(0) : kMaximumRule.make(0),
                        history);
}

FloatImage* MergeNoAlign(const std::vector<std::string>& files, const Calibration& calibration,
                         std::unique_ptr<Combiner> combiner, StackHistory* history, FrameScores* scores,
                         const GrowthView& grown) {
    StackHistory record;
    if (files.empty()) return nullptr;
    const unsigned bytes_per_pixel = Merge::BytesPerPixel(*combiner);
    Merge merge(calibration, std::move(combiner));
    FrameTally tally(files.size());
    ForEachFrame(files, calibration, bytes_per_pixel, tally, scores, [&](size_t i, const std::string& name,
                                                                  const ImageData& frame, const MessageLog&) {
        const Image16* image = frame.Image();
        if (scores) scores->Measure(i, frame, calibration);
        if (merge.AddFrame(image)) {
            std::printf("Frame \"%s\" added.\n", name.c_str());
            record.Add(frame.Facts());
            tally.StackSize(merge.Accumulator()->width, merge.Accumulator()->height);
            if (scores) scores->Stacked(i);
            if (grown)
                if (const std::unique_ptr<FloatImage> so_far = merge.Snapshot()) grown(*so_far, record.frames);
            return;
        }
        if (scores) scores->LeftOut(i, "another size than the first frame");
        const FloatImage* first = merge.Accumulator();
        if (!first) {
            std::printf("Frame \"%s\" rejected.\n", name.c_str());
            tally.Unreadable();
            return;
        }
        TellOtherSize(name, *image, first->width, first->height, tally);
    });
    std::puts("Post processing");
    merge.PostProcess();
    if (merge.Tally() && merge.Accumulator()) ReportRejection(*merge.Tally());
    if (merge.Accumulator()) tally.Report(record.frames);
    if (history) *history = record;
    return merge.ReleaseAccumulator();
}

namespace {

constexpr size_t kMinStars = 5;  // fewer stars leave a frame out of the alignment

// Frames in memory at once in an aligned stack, the one being resampled
// included: resampling takes several times as long as decoding, so one frame
// decoding meanwhile keeps up.
constexpr unsigned kAlignedFramesInMemory = 2;

// Aligns one loaded frame by the stars FindStars found in it and adds it, or
// makes it the star reference. True when the frame was added.
bool AlignFrame(const Image16* image, const std::vector<StarRef>& stars,
                std::unique_ptr<StarReference>& reference, AverageAlign& accumulator) {
    if (stars.size() < kMinStars) return false;
    if (!reference) {
        std::printf("Found %li stars in reference image\n", long(stars.size()));
        reference.reset(new StarReference(StarPositions(stars)));
        return false;
    }
    const std::vector<StarPoint> frame_stars = StarPositions(stars);
    std::printf("Fitting %li stars to reference image\n", long(frame_stars.size()));
    double transform[3];
    if (!reference->Fit(frame_stars, transform)) return false;
    std::printf("Rotate %lf degrees around (0,0), Translate (%lf, %lf)\n", transform[0],
                transform[1], transform[2]);
    accumulator.AddFrame(image, transform[0], transform[1], transform[2]);
    return true;
}

}  // namespace

FloatImage* MergeAlignStars(const std::vector<std::string>& files, const Calibration& calibration,
                            std::unique_ptr<Combiner> combiner, StackHistory* history, FrameScores* scores,
                            const FrameTap& tap) {
    if (files.empty()) return nullptr;
    const unsigned bytes_per_pixel = AverageAlign::BytesPerPixel(*combiner) + tap.bytes_per_pixel;
    std::unique_ptr<AverageAlign> accumulator;
    std::unique_ptr<StarReference> reference;
    // Each frame's stars, found while it loads; a frame's list goes once used.
    std::vector<std::vector<StarRef>> stars(files.size());
    StackHistory record;
    FrameTally tally(files.size());
    const size_t loaded = ForEachFrame(
        files, calibration, bytes_per_pixel, tally, scores,
        [&](size_t i, const std::string& name, const ImageData& frame, const MessageLog& prepared) {
            const Image16* image = frame.Image();
            if (scores) scores->Measure(i, frame, calibration);
            // The first frame that loads is the grid of the result and its first content.
            const bool first = !accumulator;
            if (first) {
                accumulator.reset(new AverageAlign(calibration, image, std::move(combiner)));
                record.Add(frame.Facts());
                tally.StackSize(image->width, image->height);
            }
            std::printf("Image %li - \"%s\"\n", long(i), name.c_str());
            prepared.Replay();
            const bool aligned = AlignFrame(image, stars[i], reference, *accumulator);
            if (aligned) record.Add(frame.Facts());
            if (tap.take && (first || aligned)) tap.take(image);
            if (scores && (first || aligned)) scores->Stacked(i);
            if (scores && !first && !aligned) scores->LeftOut(i, "could not be aligned (try -t s)");
            if (scores && aligned) scores->Mapped(i, MappingKind::kRigid, -1);
            std::vector<StarRef>().swap(stars[i]);
        },
        [&](size_t i, const Image16* image, MessageLog& log) { FindStars(image, calibration, stars[i], log); },
        kAlignedFramesInMemory);
    return FinishAligned(accumulator.get(), record, loaded, tally, " (try -t s)", history);
}

namespace {

// Stars a reference frame needs: as many as a sound fit needs pairs.
constexpr size_t kMinReferenceStars = 12;

// A frame's residual this many times the sequence's median (and above the
// floor, px) is a frame that does not really line up.
constexpr double kPoorResidualFactor = 3.0;
constexpr double kPoorResidualFloor = 0.5;

// The mapping that carries the frame onto the reference, on one line a
// script can read: the rigid line as ever, or the mapping's kind and its
// coefficients.
void PrintMapping(const StarFit& fit) {
    const FrameMapping& m = fit.mapping;
    switch (m.kind) {
        case MappingKind::kRigid:
            std::printf("Rotate %lf degrees around (0,0), Translate (%lf, %lf)\n", fit.angle, fit.tx, fit.ty);
            return;
        case MappingKind::kProjective:
        case MappingKind::kLensProjective:
            if (m.kind == MappingKind::kProjective)
                std::printf("Projective");
            else
                std::printf("LensProjective %.10g %.10g %.10g %.10g", m.lens.cx, m.lens.cy, m.lens.scale, m.lens.k1);
            for (double h : m.to_reference) std::printf(" %.10g", h);
            break;
        case MappingKind::kSkyTurn: {
            const SkyTurn& t = m.sky;
            std::printf("SkyTurn %.10g %.10g %.10g %.10g %.10g %.10g %.10g %.10g %.10g", t.lens.cx, t.lens.cy,
                        t.lens.focal, t.lens.shape, t.lens.k1, t.pole[0], t.pole[1], t.pole[2],
                        t.angle * kDegreesPerRadian);
            break;
        }
        case MappingKind::kCubic: {
            const CubicMap& c = m.cubic_to_reference;
            std::printf("Cubic %.10g %.10g %.10g", c.cx, c.cy, c.scale);
            for (double a : c.a) std::printf(" %.10g", a);
            for (double b : c.b) std::printf(" %.10g", b);
            break;
        }
    }
    std::printf("\n");
}

// Says why the frame is left out, on standard error too: a frame left out
// is not to be taken for one in.
void TellLeftOut(const std::string& name, const std::string& why) {
    std::printf("Unable to align the frame: %s\n", why.c_str());
    std::fflush(stdout);
    Warn("frame \"%s\" left out: %s", name.c_str(), why.c_str());
}

// Fits one frame's stars onto the reference and adds the frame; true (with
// the fit) when it was added, otherwise false with the reason in why. A
// frame the run may match once it knows its fixed features, or place on its
// sky motion, is said to be held back (history.held_back or
// history.awaits_motion), where it may be.
bool AddMatchedFrame(const Image16* image, const std::vector<StarRef>& stars, const TriangleMatcher& reference,
                     AverageAlign& accumulator, SkyHistory& history, StarFit& fit, std::string& why,
                     bool may_hold_back) {
    std::printf("Fitting %li stars to reference image\n", long(stars.size()));
    if (!reference.Match(stars, history, fit, why)) {
        history.held_back = history.held_back && may_hold_back;
        history.awaits_motion = history.awaits_motion && may_hold_back;
        if (history.held_back) {
            std::printf("Frame held back until the stars fixed to the camera are known: %s\n", why.c_str());
            return false;
        }
        if (history.awaits_motion) {
            std::printf("Frame held back until the run's sky motion is known: %s\n", why.c_str());
        }
        return false;
    }
    PrintMapping(fit);
    std::printf("Matched %zu stars, RMS residual %.3f px\n", fit.inliers, fit.rms);
    accumulator.AddFrame(image, fit.mapping);
    return true;
}

// Warns of each frame whose residual stands far above the sequence's
// median: it is in the stack, but will blur it.
void WarnPoorFits(const std::vector<std::pair<std::string, double>>& residuals) {
    std::vector<double> values;
    for (const auto& r : residuals) values.push_back(r.second);
    const double median = Median(values);
    const double limit = std::max(kPoorResidualFloor, kPoorResidualFactor * median);
    for (const auto& [name, rms] : residuals)
        if (rms > limit)
            Warn("frame \"%s\" lines up poorly: RMS residual %.3f px, the frames' median %.3f px", name.c_str(), rms,
                 median);
}

// A frame stacked on the reference: its place among the files and its fit.
struct StackedFrame {
    size_t index;
    StarFit fit;
};

// How far the sky motion may move a frame's stars from where its own
// mapping put them, px, before the frames are stacked again on it.
constexpr double kRestackShift = 0.02;

// Under a fixed camera the sky's motion over the whole run is one turn
// about the pole through one lens. Fitted once from every frame's pairs, it
// maps frames that barely moved, and a fisheye's rim, better than each
// frame's own fit can. True with the motion when it holds the run.
bool FitRunSkyMotion(const std::vector<StackedFrame>& frames, unsigned width, unsigned height, SkyMotion& motion) {
    std::vector<StarPairs> pairs;
    std::vector<double> own;
    for (const StackedFrame& f : frames) {
        pairs.push_back(f.fit.pairs);
        own.push_back(f.fit.rms);
    }
    return FitSkyMotion(pairs, own, width, height, motion);
}

// Whether the motion moves some frame it holds by more than kRestackShift
// from where its own mapping put its stars.
bool MovesOffOwnMappings(const std::vector<StackedFrame>& frames, const SkyMotion& motion) {
    for (size_t k = 0; k < frames.size(); ++k) {
        if (!motion.holds[k]) continue;
        const FrameMapping sky = motion.Mapping(k);
        for (const StarPoint& p : frames[k].fit.pairs.from) {
            const Position a = sky.ToReference(p[0], p[1]), b = frames[k].fit.mapping.ToReference(p[0], p[1]);
            if (std::hypot(a.x - b.x, a.y - b.y) > kRestackShift) return true;
        }
    }
    return false;
}

// A frame held back and refused again at the end: its place, why, its stars.
struct WaitingFrame {
    size_t index;
    std::string why;
    std::vector<StarRef> stars;
};

}  // namespace

FloatImage* MergeAlignEveryStar(const std::vector<std::string>& files, const Calibration& calibration,
                                const CombinerMaker& make_combiner, StackHistory* history, FrameScores* scores,
                                const FrameTap& tap) {
    if (files.empty()) return nullptr;
    const unsigned bytes_per_pixel =
        AverageAlign::BytesPerPixel(*make_combiner()) + kDetectionBytesPerPixel + tap.bytes_per_pixel;
    std::unique_ptr<AverageAlign> accumulator;
    std::unique_ptr<TriangleMatcher> reference;
    size_t reference_index = 0;
    unsigned width = 0, height = 0;
    StackHistory record;
    std::vector<StackedFrame> stacked;
    std::unique_ptr<SkyHistory> sky;
    FrameTally tally(files.size());
    // Frames held back until the run knows its fixed features or its sky
    // motion: their places and why; then those refused again.
    std::vector<std::pair<size_t, std::string>> held_back;
    std::vector<WaitingFrame> waiting;
    // The reference, read or read again: the grid of the result, in the mean once.
    const auto start_stack = [&](const Image16* image) {
        accumulator.reset(new AverageAlign(calibration, image, make_combiner()));
        accumulator->SetResampling(ResamplingArithmetic::kSeparableFloat);
    };
    // Matches a later frame and adds it, or leaves it out, or holds it back.
    const auto add = [&](size_t i, const std::string& name, const ImageData& frame,
                         const std::vector<StarRef>& stars, bool may_hold_back) {
        const Image16* image = frame.Image();
        StarFit fit;
        std::string why;
        if (!AddMatchedFrame(image, stars, *reference, *accumulator, *sky, fit, why, may_hold_back)) {
            if (sky->held_back || sky->awaits_motion) {
                held_back.push_back({i, why});
            } else if (!may_hold_back) {
                waiting.push_back({i, why, stars});
            } else {
                TellLeftOut(name, why);
                if (scores) scores->LeftOut(i, why);
            }
            return;
        }
        record.Add(frame.Facts());
        if (tap.take) tap.take(image);
        if (scores) scores->Stacked(i), scores->Mapped(i, fit.mapping.kind, fit.rms);
        stacked.push_back({i, std::move(fit)});
    };
    // Stars are detected here, not while frames load: the detector's large
    // buffers, made on several threads, would fragment the heap.
    const size_t loaded = ForEachFrame(
        files, calibration, bytes_per_pixel, tally, scores,
        [&](size_t i, const std::string& name, const ImageData& frame, const MessageLog&) {
            const Image16* image = frame.Image();
            std::printf("Image %li - \"%s\"\n", long(i), name.c_str());
            std::vector<StarRef> stars;
            DetectStars(image, calibration, stars);
            if (scores) scores->Measure(i, frame, calibration, &stars);
            if (reference) {
                add(i, name, frame, stars, true);
                return;
            }
            if (stars.size() < kMinReferenceStars) {
                std::printf("Found %li stars, too few to align on: frame left out\n", long(stars.size()));
                if (scores) scores->LeftOut(i, "too few stars to align on, before the reference");
                return;
            }
            std::printf("Found %li stars in reference image\n", long(stars.size()));
            reference.reset(new TriangleMatcher(stars));
            reference_index = i;
            width = image->width;
            height = image->height;
            sky.reset(new SkyHistory(image->width, image->height));
            start_stack(image);
            record.Add(frame.Facts());
            if (tap.take) tap.take(image);
            tally.StackSize(image->width, image->height);
            if (scores) scores->Stacked(i), scores->Mapped(i, MappingKind::kRigid, 0);
        },
        nullptr, kAlignedFramesInMemory);
    // The frames held back are matched again, read a second time, now that
    // the later frames told the stars fixed to the camera apart; the frames'
    // order does not matter to the mean. Those refused again wait for the
    // run's sky motion.
    for (const auto& [i, why] : std::vector<std::pair<size_t, std::string>>(std::move(held_back))) {
        const std::unique_ptr<ImageData> frame(LoadImageData(files[i].c_str(), bytes_per_pixel));
        if (!frame || !frame->Image()) {
            std::printf("Image %li - \"%s\"\n", long(i), files[i].c_str());
            TellLeftOut(files[i], "it could not be read again");
            if (scores) scores->LeftOut(i, "it could not be read again");
            continue;
        }
        std::printf("Image %li - \"%s\", again\n", long(i), files[i].c_str());
        std::vector<StarRef> stars;
        DetectStars(frame->Image(), calibration, stars);
        add(i, files[i], *frame, stars, false);
    }
    SkyMotion motion;
    const bool one_motion = accumulator && FitRunSkyMotion(stacked, width, height, motion);
    const bool restack = one_motion && MovesOffOwnMappings(stacked, motion);
    if (restack) {
        std::printf("The sky turns as one motion through one lens in %zu of %zu frames (focal %.1f px, shape %.3f, "
                    "k1 %.4f): stacking them again on it\n",
                    size_t(std::count(motion.holds.begin(), motion.holds.end(), 1)), stacked.size(),
                    motion.lens.focal, motion.lens.shape, motion.lens.k1);
        for (size_t k = 0; k < stacked.size(); ++k)
            if (motion.holds[k]) {
                StackedFrame& f = stacked[k];
                std::printf("Image %li - \"%s\", on the sky motion: RMS residual %.3f px, %.3f px on its own "
                            "mapping\n",
                            long(f.index), files[f.index].c_str(), motion.rms[k], f.fit.rms);
                f.fit.mapping = motion.Mapping(k);
                f.fit.rms = motion.rms[k];
                PrintMapping(f.fit);
                if (scores) scores->Mapped(f.index, MappingKind::kSkyTurn, f.fit.rms);
            }
        // The stack starts over, every frame read a second time.
        accumulator.reset();
    }
    // Frames still waiting are placed on the sky motion, or left out.
    std::vector<StackedFrame> placed;
    std::vector<double> own;
    for (const StackedFrame& f : stacked) own.push_back(f.fit.rms);
    const double typical_rms = own.empty() ? 0 : Median(own);
    for (const WaitingFrame& w : waiting) {
        StarFit fit;
        if (one_motion && PlaceOnSkyMotion(motion, reference->Stars(), sky->fixed, StarPositions(w.stars),
                                           typical_rms, fit)) {
            std::printf("Image %li - \"%s\", placed on the run's sky motion\n", long(w.index), files[w.index].c_str());
            PrintMapping(fit);
            std::printf("Matched %zu stars, RMS residual %.3f px\n", fit.inliers, fit.rms);
            placed.push_back({w.index, std::move(fit)});
            continue;
        }
        std::printf("Image %li - \"%s\"\n", long(w.index), files[w.index].c_str());
        TellLeftOut(files[w.index], w.why);
        if (scores) scores->LeftOut(w.index, w.why);
    }
    // Frames read again: the reference when the stack starts over, then
    // every frame stacked again and every frame placed.
    std::vector<std::string> again;
    std::vector<const StackedFrame*> again_frames;  // null for the reference
    if (restack) {
        again.push_back(files[reference_index]);
        again_frames.push_back(nullptr);
        for (const StackedFrame& f : stacked) again.push_back(files[f.index]), again_frames.push_back(&f);
    }
    const size_t first_placed = again.size();
    for (const StackedFrame& f : placed) again.push_back(files[f.index]), again_frames.push_back(&f);
    FrameTally again_tally(again.size());
    const size_t read_again = again.empty() ? 0 : ForEachFrame(
        again, calibration, bytes_per_pixel, again_tally, nullptr,
        [&](size_t k, const std::string&, const ImageData& frame, const MessageLog&) {
            const StackedFrame* f = again_frames[k];
            if (!f) return start_stack(frame.Image());
            if (!accumulator) return;
            accumulator->AddFrame(frame.Image(), f->fit.mapping);
            if (k >= first_placed) {
                record.Add(frame.Facts());
                if (scores) scores->Stacked(f->index), scores->Mapped(f->index, f->fit.mapping.kind, f->fit.rms);
            }
        },
        nullptr, kAlignedFramesInMemory);
    if (read_again != again.size() || (restack && !accumulator))
        Warn("%zu of the %zu frames read again could not be read: the stack lacks them",
             again.size() - std::min(read_again, again.size()), again.size());
    for (StackedFrame& f : placed) stacked.push_back(std::move(f));
    std::vector<std::pair<std::string, double>> residuals;
    for (const StackedFrame& f : stacked) residuals.push_back({files[f.index], f.fit.rms});
    WarnPoorFits(residuals);
    return FinishAligned(accumulator.get(), record, loaded, tally, "", history);
}

}  // namespace quen_merge
