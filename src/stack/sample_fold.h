// The one loop that takes a frame's 16-bit samples into floats, calibrated,
// and hands each to a fold.
#pragma once

#include <cstddef>

#include "base/frame_calibration.h"
#include "base/parallel.h"
#include "base/sample_format.h"
#include "ostrel/image.h"

namespace quen_merge {

// Samples folded by one worker at a time: large enough to stream through
// memory, small enough to keep every CPU busy to the end.
constexpr size_t kFoldPiece = size_t(1) << 20;

// Applies fold(sample index, converted sample) to every sample of frame, in
// pieces on every CPU (each sample is folded on its own, so the pieces give
// the same bits however they are shared); the calibration's samples have
// the frame's size. The calibration's tests are hoisted out of the loop so
// that each branch vectorises.
template <typename Fold>
void FoldSamples(const Image16* frame, const SampleCalibration& calibration, Fold fold) {
    const unsigned short* src = frame->data;
    WithCalibrationFormula(calibration, [&](auto calibrate) {
        ForEachPiece(frame->ElementCount(), kFoldPiece, [&](size_t begin, size_t end) {
            for (size_t i = begin; i < end; ++i) fold(i, calibrate(src[i], i));
        });
    });
}

}  // namespace quen_merge
