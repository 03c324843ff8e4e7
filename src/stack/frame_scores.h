// Every frame of a run scored as it is stacked: its sky, its stars' number,
// sharpness and roundness, its time, how it was aligned, and whether it went
// in, for the report of the night.
#pragma once

#include <string>
#include <vector>

#include "base/frame_calibration.h"
#include "base/frame_mapping.h"
#include "io/frame_report.h"
#include "io/image_data.h"
#include "stars/star_types.h"

namespace quen_merge {

class FrameScores {
public:
    // A row for each of the files, in their order, each left out until told.
    explicit FrameScores(const std::vector<std::string>& files);

    // Scores frame `index` as it loaded, calibrated: its sky per channel, its
    // stars (found here when stars is null) and their shape, its time.
    void Measure(size_t index, const ImageData& frame, const Calibration& calibration,
                 const std::vector<StarRef>* stars = nullptr);
    // Row `index` as another run scored it.
    void Set(size_t index, const FrameScore& row) { rows[index] = row; }
    void Stacked(size_t index) { rows[index].stacked = true; }
    void LeftOut(size_t index, const std::string& reason) { rows[index].reason = reason; }
    // The mapping that carried frame `index` onto the reference, with its
    // residual (px; negative when there is none).
    void Mapped(size_t index, MappingKind kind, double residual);

    const std::vector<FrameScore>& Rows() const { return rows; }

private:
    std::vector<FrameScore> rows;
};

}  // namespace quen_merge
