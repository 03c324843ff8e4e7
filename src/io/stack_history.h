// How a result was made, for its file's header: how many frames, combined
// how, and what the stacked frames' files said alike of how they were taken.
#pragma once

#include <string>
#include <vector>

#include "io/image_data.h"

namespace quen_merge {

struct StackHistory {
    unsigned frames = 0;        // frames in the stack
    std::string merge_type;     // how they were combined
    bool mono = false;          // every stacked frame held one channel
    double total_exposure = 0;  // the stacked frames' exposures added, s; 0 when one is unknown
    double single_exposure = 0; // the exposure every stacked frame had, s; 0 when they differ or are unknown
    // The first stacked frame's cards of its time, pointing and WCS, whole:
    // the result lies on its grid. Its DATE-OBS holds the time of day too
    // where the file gave it apart (TIME-OBS, UT).
    std::vector<std::string> first_frame_cards;
    std::vector<std::string> cards;  // the carried-over cards every stacked frame had alike, whole
    std::vector<std::string> notes;  // how the frames were calibrated, one HISTORY card each
    std::string master;           // a calibration master's kind (bias, dark, flat); empty for lights
    bool bias_subtracted = false; // a master flat's: the master bias was taken off its frames

    // Counts one more stacked frame with what its file said.
    void Add(const FrameFacts& facts);
};

// The FITS keywords whose cards a result carries over from its frames.
const std::vector<std::string>& CarriedKeys();

// When the frame whose cards these are started: DATE-OBS, joined with
// TIME-OBS or UT where it gives the date alone; empty without DATE-OBS.
std::string ObservationStart(const std::vector<std::string>& cards);

// The quoted value of the card of key among cards, trailing blanks off;
// empty when there is none.
std::string CardValue(const std::vector<std::string>& cards, const std::string& key);

}  // namespace quen_merge
