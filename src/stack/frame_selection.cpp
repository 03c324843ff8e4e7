#include "stack/frame_selection.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/console.h"
#include "base/median.h"
#include "base/message_log.h"
#include "io/frame_prefetch.h"
#include "stars/star_detect.h"

namespace quen_merge {

namespace {

// A number that fills text from its start to its end.
bool WholeNumber(const char* text, double& value) {
    char* end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value > 0;
}

}  // namespace

bool ParseSelectionRule(const char* text, Selection& selection) {
    const size_t length = std::strlen(text);
    double value = 0;
    if (length > 1 && text[length - 1] == '%') {
        const std::string number(text, length - 1);
        if (!WholeNumber(number.c_str(), value) || value > 100) return false;
        selection.best_share = value / 100;
        return true;
    }
    if (std::strncmp(text, "fwhm<", 5) == 0 && WholeNumber(text + 5, value)) {
        selection.largest_fwhm = value;
        return true;
    }
    if (std::strncmp(text, "round>", 6) == 0 && WholeNumber(text + 6, value) && value <= 1) {
        selection.least_roundness = value;
        return true;
    }
    return false;
}

std::vector<double> CombinedScores(const std::vector<FrameScore>& scores) {
    std::vector<double> fwhm, stars, noise;
    for (const FrameScore& s : scores)
        if (s.measured && s.shaped) {
            fwhm.push_back(s.fwhm);
            stars.push_back(double(s.stars));
            noise.push_back(s.noise[1]);
        }
    const double typical_fwhm = Median(fwhm), typical_stars = Median(stars), typical_noise = Median(noise);
    std::vector<double> combined;
    for (const FrameScore& s : scores) {
        if (!s.measured || !s.shaped || !(s.fwhm > 0)) {
            combined.push_back(0);
            continue;
        }
        const double sharpness = typical_fwhm / s.fwhm;
        const double found = typical_stars > 0 ? std::min(1.0, double(s.stars) / typical_stars) : 1.0;
        const double quiet = s.noise[1] > 0 && typical_noise > 0 ? typical_noise / s.noise[1] : 1.0;
        combined.push_back(sharpness * sharpness * s.roundness * s.roundness * found * quiet);
    }
    return combined;
}

std::vector<size_t> SelectFrames(const std::vector<std::string>& lights, const Calibration& calibration,
                                 const Selection& selection, FrameScores* report) {
    std::puts("Scoring frames");
    FrameScores scores(lights);
    {
        FramePrefetch prefetch(lights, calibration.BytesPerPixel() + kDetectionBytesPerPixel);
        for (size_t i = 0; i < lights.size(); ++i) {
            MessageLog prepared;
            const std::unique_ptr<ImageData> frame = prefetch.Next(prepared);
            if (frame && frame->Image()) scores.Measure(i, *frame, calibration);
        }
    }
    const std::vector<FrameScore>& rows = scores.Rows();
    const std::vector<double> combined = CombinedScores(rows);
    // The least score among the best share of the frames that loaded.
    std::vector<double> loaded;
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i].measured) loaded.push_back(combined[i]);
    std::sort(loaded.begin(), loaded.end(), std::greater<double>());
    const size_t kept = std::max<size_t>(1, size_t(selection.best_share * double(loaded.size()) + 0.5));
    const double least = loaded.empty() ? 0 : loaded[std::min(kept, loaded.size()) - 1];
    std::vector<size_t> chosen;
    for (size_t i = 0; i < rows.size(); ++i) {
        const FrameScore& s = rows[i];
        char why[160] = "";
        if (!s.measured)
            std::snprintf(why, sizeof why, "could not be read");
        else if (selection.largest_fwhm > 0 && !(s.shaped && s.fwhm <= selection.largest_fwhm))
            std::snprintf(why, sizeof why, "FWHM %.2f px, above %.2f", s.fwhm, selection.largest_fwhm);
        else if (selection.least_roundness > 0 && !(s.shaped && s.roundness >= selection.least_roundness))
            std::snprintf(why, sizeof why, "roundness %.2f, below %.2f", s.roundness, selection.least_roundness);
        else if (combined[i] < least)
            std::snprintf(why, sizeof why, "score %.3f, not among the best %g %% (%.3f and above)", combined[i],
                          selection.best_share * 100, least);
        if (!*why) {
            chosen.push_back(i);
            continue;
        }
        if (s.measured) Warn("frame \"%s\" left out: %s", lights[i].c_str(), why);
        if (report) {
            report->Set(i, s);
            report->LeftOut(i, why);
        }
    }
    return chosen;
}

}  // namespace quen_merge
