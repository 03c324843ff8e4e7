#include "stack/calibration_masters.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "base/console.h"
#include "io/fits_io.h"
#include "io/image_io.h"
#include "io/stack_history.h"
#include "stack/merge.h"

namespace quen_merge {

namespace {

constexpr const char* kChannelNames[kFrameChannels] = {"blue", "green", "red"};
// Exposures closer than this share of the lights' are the same exposure.
constexpr double kSameExposure = 1e-3;

// What the first light that loads says of the lights.
struct LightFacts {
    bool known = false;
    FrameHeader header;
};

LightFacts FirstLight(const std::vector<std::string>& lights) {
    LightFacts light;
    for (const std::string& name : lights)
        if ((light.known = ReadFrameHeader(name.c_str(), light.header))) break;
    return light;
}

// False, after saying so, when some of a kind's frames could not be used: a
// master made of fewer frames than named would calibrate without a word.
bool UsedEvery(const std::vector<std::string>& files, const StackHistory& history, const char* kind) {
    if (history.frames == files.size()) return true;
    Warn("%zu of the %zu %s frames could not be used: the lights are not calibrated with part of a master",
         files.size() - history.frames, files.size(), kind);
    return false;
}

// Writes a master as 32-bit FITS into folder, named for its kind, to be
// given again as it is; false after saying so when it cannot.
bool SaveMaster(const std::string& folder, const FloatImage& master, const StackHistory& history) {
    const std::string name = folder + "/master_" + history.master + ".fits";
    if (!WriteImageLDR(name.c_str(), &master, history, true)) {
        Warn("unable to write the master %s \"%s\"", history.master.c_str(), name.c_str());
        return false;
    }
    std::printf("Master %s written to \"%s\"\n", history.master.c_str(), name.c_str());
    return true;
}

// Each kind's letter on the command line.
char OptionOf(const std::string& kind) { return kind == "bias" ? 'b' : kind == "dark" ? 'd' : 'f'; }

// The master of one kind: a master file given alone, used as it is, or the
// combination of the kind's frames (compared, under rejection, normalised
// as normalisation says; with every_one, all of them must be used), saved
// into save_to when that is not empty. True with a null master
// when none are named; false after saying why. A master flat tells in
// history whether the bias was taken off its frames.
bool MakeMaster(const char* kind, const std::vector<std::string>& files, const Calibration& calibration, double kappa,
                Normalisation normalisation, bool every_one, const std::string& save_to,
                std::unique_ptr<FloatImage>& master, StackHistory& history) {
    if (files.empty()) return true;
    for (const std::string& name : files) {
        const std::string given = MasterKindOf(name.c_str());
        if (given.empty()) continue;
        if (given != kind || files.size() > 1) {
            Warn("\"%s\" is a master %s: give it alone, as -%c", name.c_str(), given.c_str(), OptionOf(given));
            return false;
        }
        MasterFrame loaded;
        MessageLog log(true);
        if (!LoadMaster(name.c_str(), loaded, log)) return false;
        std::printf("Using the master %s \"%s\" of %u frames\n", kind, name.c_str(), loaded.frames);
        history.frames = loaded.frames;
        history.single_exposure = loaded.exposure;
        history.master = kind;
        history.bias_subtracted = loaded.bias_subtracted;
        master = std::move(loaded.image);
        return true;
    }
    std::printf("Averaging %s frames\n", kind);
    master.reset(MergeNoAlign(files, calibration, MakeMean(kappa, normalisation), &history));
    if (every_one && !UsedEvery(files, history, kind)) return false;
    history.master = kind;
    history.bias_subtracted = calibration.offset != nullptr;
    history.merge_type = std::string("master ") + kind + (kappa > 0 ? ", kappa-sigma clipped mean" : ", mean");
    return !master || save_to.empty() || SaveMaster(save_to, *master, history);
}

// The flats taken through the lights' filter: a flat of another filter
// says so and is left out. Empty, after saying so, when none is left.
std::vector<std::string> FlatsOfLightsFilter(const std::vector<std::string>& flats, const LightFacts& light) {
    const std::string& filter = light.header.filter;
    if (filter.empty()) return flats;
    std::vector<std::string> kept;
    for (const std::string& name : flats) {
        FrameHeader header;
        if (ReadFrameHeader(name.c_str(), header) && !header.filter.empty() && header.filter != filter)
            Warn("flat frame \"%s\" left out: its filter is \"%s\", the lights' \"%s\"", name.c_str(),
                 header.filter.c_str(), filter.c_str());
        else
            kept.push_back(name);
    }
    if (kept.empty()) Warn("no flat frame was taken through the lights' filter \"%s\"", filter.c_str());
    return kept;
}

// False, after saying so, when master has another size than the lights.
bool HasLightsSize(const FloatImage* master, const char* kind, const LightFacts& light) {
    const FrameHeader& size = light.header;
    if (!master || !light.known || (master->width == size.width && master->height == size.height)) return true;
    Warn("the master %s is %u x %u, the light frames %u x %u: bias and flat frames must have the lights' size", kind,
         master->width, master->height, size.width, size.height);
    return false;
}

bool SameSize(const FloatImage& a, const FloatImage& b) { return a.width == b.width && a.height == b.height; }

// False, after saying so, when the master dark has the size of no light
// frame: the lights would be stacked uncalibrated. A dark that fits some
// lights is subtracted from those.
bool FitsSomeLight(const FloatImage& dark, const std::vector<std::string>& lights, const LightFacts& light) {
    auto fits = [&](const FrameHeader& h) { return h.width == dark.width && h.height == dark.height; };
    if (!light.known || fits(light.header)) return true;
    for (const std::string& name : lights) {
        FrameHeader header;
        if (ReadFrameHeader(name.c_str(), header) && fits(header)) return true;
    }
    Warn("the master dark is %u x %u, the light frames %u x %u: dark frames must have the lights' size", dark.width,
         dark.height, light.header.width, light.header.height);
    return false;
}

}  // namespace

long long FlatToGain(FloatImage& flat, int& channel) {
    const uint32_t x0 = flat.width / 4, x1 = flat.width - flat.width / 4;
    const uint32_t y0 = flat.height / 4, y1 = flat.height - flat.height / 4;
    double level[kFrameChannels] = {0, 0, 0};
    for (uint32_t y = y0; y < y1; ++y) {
        const float* p = flat.Pixel(x0, y);
        for (uint32_t x = x0; x < x1; ++x, p += kFrameChannels)
            for (unsigned c = 0; c < kFrameChannels; ++c) level[c] += p[c];
    }
    const double count = double(x1 - x0) * double(y1 - y0);
    for (unsigned c = 0; c < kFrameChannels; ++c) {
        level[c] /= count;
        if (!(level[c] > 0)) {
            channel = int(c);
            return -1;
        }
    }
    long long uncorrected = 0;
    float* p = flat.data;
    const size_t pixels = size_t(flat.width) * flat.height;
    for (size_t i = 0; i < pixels; ++i, p += kFrameChannels) {
        bool usable = true;
        for (unsigned c = 0; c < kFrameChannels; ++c) usable = usable && p[c] >= kMinFlatShare * level[c];
        for (unsigned c = 0; c < kFrameChannels; ++c) p[c] = usable ? float(level[c] / p[c]) : 1.0f;
        uncorrected += usable ? 0 : 1;
    }
    return uncorrected;
}

bool CalibrationMasters::Make(const CalibrationFrames& frames, const std::vector<std::string>& lights, double kappa) {
    StackHistory bias_history, dark_history, flat_history;
    const std::string& save_to = frames.save_masters;
    std::unique_ptr<FloatImage> bias, dark;
    // Darks that cannot all be used still make a master, as they always did.
    if (!MakeMaster("bias", frames.biases, Calibration(), kappa, Normalisation::kNone, true, save_to, bias,
                    bias_history) ||
        !MakeMaster("dark", frames.darks, Calibration(), kappa, Normalisation::kNone, false, save_to, dark,
                    dark_history))
        return false;
    const bool calibrating = !frames.biases.empty() || !frames.flats.empty();
    LightFacts light;
    if (calibrating || dark) light = FirstLight(lights);
    if (!HasLightsSize(bias.get(), "bias", light)) return false;
    if (dark && !FitsSomeLight(*dark, lights, light)) return false;

    if (!frames.flats.empty()) {
        const std::vector<std::string> flats = FlatsOfLightsFilter(frames.flats, light);
        if (flats.empty()) return false;
        Calibration less_bias(bias.get());
        less_bias.offset_kind = "bias";
        std::unique_ptr<FloatImage> flat;
        if (!MakeMaster("flat", flats, less_bias, kappa, Normalisation::kScale, true, save_to, flat, flat_history) ||
            !HasLightsSize(flat.get(), "flat", light) || !UseFlat(std::move(flat), flat_history.bias_subtracted))
            return false;
    }

    if (dark) {
        offset = std::move(dark);
        offset_is_dark = true;
        ScaleDark(dark_history.single_exposure, light.header.exposure, bias.get());
    } else {
        offset = std::move(bias);
    }
    if (calibrating) {
        char line[100];
        std::snprintf(line, sizeof line, "Calibrated with %u bias, %u dark and %u flat frames", bias_history.frames,
                      dark_history.frames, flat_history.frames);
        notes.insert(notes.begin(), line);
    }
    return true;
}

bool CalibrationMasters::UseFlat(std::unique_ptr<FloatImage> flat, bool bias_subtracted) {
    if (!bias_subtracted)
        Warn("the flat frames are not bias-subtracted (no -b): the camera's offset weakens their correction");
    int channel = 0;
    const long long uncorrected = FlatToGain(*flat, channel);
    if (uncorrected < 0) {
        Warn("the master flat has no light in its %s channel (its level is zero or negative): check the flat frames",
             kChannelNames[channel]);
        return false;
    }
    if (uncorrected > 0)
        Warn("%lld pixels of the master flat lie below %g%% of its level (overscan or unlit edges): they are left "
             "uncorrected",
             uncorrected, double(kMinFlatShare) * 100);
    gain = std::move(flat);
    return true;
}

void CalibrationMasters::ScaleDark(double dark_exposure, double light_exposure, const FloatImage* bias) {
    if (!(dark_exposure > 0 && light_exposure > 0) ||
        std::fabs(dark_exposure - light_exposure) <= kSameExposure * light_exposure)
        return;
    if (!bias || !SameSize(*bias, *offset)) {
        Warn("the dark frames were exposed %g s, the lights %g s: without bias frames of the darks' size the dark is "
             "subtracted as it is",
             dark_exposure, light_exposure);
        return;
    }
    // Only the thermal part grows with the exposure; the bias stays.
    const float scale = float(light_exposure / dark_exposure);
    const float* b = bias->data;
    float* d = offset->data;
    for (size_t i = 0; i < offset->ElementCount(); ++i) d[i] = b[i] + (d[i] - b[i]) * scale;
    std::printf("Dark frames scaled by %.6g to the lights' exposure (%g s, darks %g s)\n", double(scale), light_exposure,
                dark_exposure);
    char line[100];
    std::snprintf(line, sizeof line, "Dark scaled by %.6g (darks %g s, lights %g s)", double(scale), dark_exposure,
                  light_exposure);
    notes.push_back(line);
}

Calibration CalibrationMasters::ForLights() const {
    Calibration calibration(offset.get(), gain.get());
    calibration.offset_kind = offset_is_dark ? "dark" : "bias";
    return calibration;
}

}  // namespace quen_merge
