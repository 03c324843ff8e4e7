// The loop every stacking driver runs over its frames: decoded ahead, the
// ones that cannot be stacked told and counted, the rest handed over in file
// order.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/console.h"
#include "base/frame_calibration.h"
#include "base/message_log.h"
#include "io/frame_prefetch.h"
#include "stack/frame_scores.h"
#include "stack/frame_tally.h"

namespace quen_merge {

// Calls use(position, name, frame, prepared) for every file whose frame
// loads with an image, in file order, and reports the files that do not
// load, and the first frame the master offset does not fit; frames that the
// master flat does not fit are left out, since a frame without its flat
// would stand out in the stack. The
// frames decode ahead, each prepared there by prepare (may be null), which
// left its messages in prepared. At most max_frames frames are in memory at
// once. Shows the progress on a terminal. Returns how many loaded with an
// image.
template <typename Use>
size_t ForEachFrame(const std::vector<std::string>& files, const Calibration& calibration, unsigned bytes_per_pixel,
                    FrameTally& tally, FrameScores* scores, Use use, FramePrefetch::Prepare prepare = nullptr,
                    unsigned max_frames = FramePrefetch::kMaxLoaders) {
    FramePrefetch prefetch(files, bytes_per_pixel + calibration.BytesPerPixel(), std::move(prepare), max_frames);
    ProgressLine progress(files.size());
    bool dark_told = false;
    size_t loaded = 0;
    for (size_t i = 0; i < files.size(); ++i) {
        progress.Show(i, files[i]);
        MessageLog prepared;
        const std::unique_ptr<ImageData> frame = prefetch.Next(prepared);
        if (!frame) {
            std::printf("Unable to load Frame \"%s\".\n", files[i].c_str());
            tally.Unreadable();
            continue;
        }
        if (!frame->Image()) {
            tally.Unreadable();
            continue;
        }
        const SampleCalibration samples = calibration.For(frame->Image());
        const Image16& image = *frame->Image();
        if (calibration.gain && !samples.gain) {
            std::printf("Frame \"%s\" left out: it is %u x %u, the flat frames %u x %u.\n", files[i].c_str(),
                        image.width, image.height, calibration.gain->width, calibration.gain->height);
            tally.OtherSize(image.width, image.height);
            tally.StackSize(calibration.gain->width, calibration.gain->height);
            if (scores) scores->LeftOut(i, "another size than the flat frames");
            continue;
        }
        ++loaded;
        const FloatImage* dark = calibration.offset;
        if (dark && !dark_told && !samples.offset) {
            Warn("the master %s is %u x %u, \"%s\" %u x %u: the %s is not subtracted from frames of another size",
                 calibration.offset_kind, dark->width, dark->height, files[i].c_str(), image.width, image.height,
                 calibration.offset_kind);
            dark_told = true;
        }
        use(i, files[i], *frame, prepared);
    }
    return loaded;
}

// Says on both streams that a frame of another size than the first
// (width x height) is left out, and counts it.
inline void TellOtherSize(const std::string& name, const Image16& image, uint32_t width, uint32_t height,
                          FrameTally& tally) {
    std::printf("Frame \"%s\" rejected.\n", name.c_str());
    Warn("frame \"%s\" is %u x %u, the first frame %u x %u: frames of another size are left out", name.c_str(),
         image.width, image.height, width, height);
    tally.OtherSize(image.width, image.height);
}

}  // namespace quen_merge
