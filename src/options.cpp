// The command line's options: getopt over "h,o:t:d:b:f:r:p:P:FM:R:k:wT:gG:C:".
#include "options.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "base/console.h"
#include "io/folder_frames.h"
#include "stack/maximum_rule.h"
#include "stack/mean_rule.h"

namespace {

using quen_merge::Alignment;
using quen_merge::StackPlan;

// The merge types: the letter that selects each, the words that name it, its
// line in the help, what a run of it stacks, and what it sets in the plan.
// A type that aligns sets the alignment and the rule; one that does not sets
// the rule and keeps an alignment an earlier -t chose, where its rule applies
// to aligned stacks too (an aligned stack is a mean whatever -t t said).
struct MergeTypeRow {
    char letter;
    const char* names[3];
    const char* help;
    const char* stacks;
    bool aligns;
    Alignment alignment;
    bool aligned_too;
    const quen_merge::CombineRule* rule;
};
constexpr MergeTypeRow kMergeTypes[] = {
    {'n', {"n", "noalign", nullptr}, "\t\tn : denoise/averaging.", "the mean", false, Alignment::kNone, true,
     &quen_merge::kMeanRule},
    {'a', {"a", "align", "aligned"}, "\t\ta : denoise/averaging with alignment.", "the aligned mean", true,
     Alignment::kNeighbourAngles, true, &quen_merge::kMeanRule},
    {'t', {"t", "trails", "trail"}, "\t\tt : Lighten/star trails.", "the maximum (star trails)", false,
     Alignment::kNone, false, &quen_merge::kMaximumRule},
    {'s', {"s", "stars", "star"}, "\t\ts : denoise/averaging with alignment on every star, any rotation.",
     "the mean aligned on every star", true, Alignment::kTriangles, true, &quen_merge::kMeanRule},
    {'c', {"c", "continuous", nullptr},
     "\t\tc : star trails without gaps: each gap drawn along the sky's motion, the ground held still.",
     "star trails without gaps", true, Alignment::kSkyMotion, false, &quen_merge::kMaximumRule},
};

const MergeTypeRow* TypeOfLetter(char letter) {
    for (const MergeTypeRow& type : kMergeTypes)
        if (type.letter == letter) return &type;
    return nullptr;
}

bool Names(const MergeTypeRow& type, const char* word) {
    for (const char* name : type.names)
        if (name && std::strcmp(name, word) == 0) return true;
    return false;
}

// The merge type the plan now stacks: the one of its alignment, or the
// unaligned one of its rule.
const MergeTypeRow& SelectedType(const StackPlan& plan) {
    for (const MergeTypeRow& type : kMergeTypes)
        if (plan.alignment == Alignment::kNone ? !type.aligns && type.rule == plan.rule
                                               : type.aligns && type.alignment == plan.alignment)
            return type;
    return kMergeTypes[0];
}

// Only the type's first letter counts; alignment, once on, stays on. A word
// that is not the name of the type its letter selects gets a warning, which
// says what the run now stacks.
void SetMergeType(const char* word, StackPlan& plan) {
    const MergeTypeRow* chosen = TypeOfLetter(word[0]);
    if (chosen && chosen->aligns) {
        plan.alignment = chosen->alignment;
        plan.rule = chosen->rule;
    } else if (chosen && (plan.alignment == Alignment::kNone ||
                          (chosen->aligned_too && plan.alignment != Alignment::kSkyMotion))) {
        plan.rule = chosen->rule;
    }
    if (chosen && Names(*chosen, word)) return;
    const MergeTypeRow& now = SelectedType(plan);
    std::fprintf(stderr, "tarnic: unknown merge type \"%s\": stacking %s (-t %c)\n", word, now.stacks, now.letter);
}

// A kappa (or a number of frames to fade over) is a plain positive number.
bool ReadKappa(const char* text, double& kappa) {
    char* end = nullptr;
    kappa = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(kappa) && kappa > 0;
}

constexpr unsigned kMaxPreviewSize = 65535;  // beyond, no 8-bit picture format holds it

// A preview size is a whole number of pixels.
bool ReadSize(const char* text, unsigned& size) {
    char* end = nullptr;
    const unsigned long value = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || text[0] == '-' || value == 0 || value > kMaxPreviewSize) return false;
    size = unsigned(value);
    return true;
}

// Replaces each folder among a kind's calibration frames by the image files
// in it; false, after saying so, for a folder that holds none.
bool OpenFolders(const char* option, std::vector<std::string>& frames) {
    std::vector<std::string> files;
    for (const std::string& name : frames) {
        if (!quen_merge::IsFolder(name)) {
            files.push_back(name);
            continue;
        }
        const std::vector<std::string> inside = quen_merge::ImageFilesIn(name);
        if (inside.empty()) {
            std::fprintf(stderr, "%s: the folder \"%s\" holds no image files\n", option, name.c_str());
            return false;
        }
        files.insert(files.end(), inside.begin(), inside.end());
    }
    frames = std::move(files);
    return true;
}

// Whether the words before a "--" ask for help the long way.
bool AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i)
        if (std::strcmp(argv[i], "--help") == 0) return true;
    return false;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, RunOptions& options) {
    if (AsksForHelp(argc, argv)) return ParseResult::kShowHelp;
    optind = 0;  // a fresh scan, also when called again
    int option;
    while ((option = getopt(argc, argv, "h,o:t:d:b:f:r:p:P:FM:R:k:wT:gG:C:")) != -1) {
        switch (option) {
            case 'h': return ParseResult::kShowHelp;
            case 'o':
                options.output = optarg;
                std::fprintf(stderr, "output %s\n", optarg);
                break;
            case 't': SetMergeType(optarg, options.plan); break;
            case 'd': options.plan.calibration.darks.push_back(optarg); break;
            case 'b': options.plan.calibration.biases.push_back(optarg); break;
            case 'f': options.plan.calibration.flats.push_back(optarg); break;
            case 'M': options.plan.calibration.save_masters = optarg; break;
            case 'R': options.report = optarg; break;
            case 'w': options.plan.weighted = true; break;
            case 'T': options.plan.growth_folder = optarg; break;
            case 'g': options.plan.ground_still = true; break;
            case 'G': options.plan.ground_mask = optarg; break;
            case 'C':
                if (!ReadKappa(optarg, options.plan.fading)) {
                    std::fprintf(stderr, "-C needs a positive number of frames, such as 10, not \"%s\"\n", optarg);
                    return ParseResult::kRefused;
                }
                break;
            case 'k':
                if (!quen_merge::ParseSelectionRule(optarg, options.plan.selection)) {
                    std::fprintf(stderr, "-k needs the share of the best frames to keep, such as 75%%, or a rule "
                                         "such as fwhm<3.5 or round>0.8, not \"%s\"\n", optarg);
                    return ParseResult::kRefused;
                }
                break;
            case 'r':
                if (!ReadKappa(optarg, options.plan.kappa)) {
                    std::fprintf(stderr, "-r needs a positive number of standard deviations, such as 3, not \"%s\"\n",
                                 optarg);
                    return ParseResult::kRefused;
                }
                break;
            case 'p': options.preview = optarg; break;
            case 'F': options.float_samples = true; break;
            case 'P':
                if (!ReadSize(optarg, options.preview_size)) {
                    std::fprintf(stderr, "-P needs a whole number of pixels from 1 to %u, not \"%s\"\n", kMaxPreviewSize,
                                 optarg);
                    return ParseResult::kRefused;
                }
                break;
            // A typo would otherwise change what the run does and still
            // report success.
            case '?': return ParseResult::kMistyped;
            default: break;  // '-,' is accepted and does nothing
        }
    }
    for (int i = optind; i < argc; ++i) options.lights.push_back(argv[i]);
    quen_merge::CalibrationFrames& calibration = options.plan.calibration;
    const bool folders_hold_frames = OpenFolders("-b", calibration.biases) && OpenFolders("-d", calibration.darks) &&
                                     OpenFolders("-f", calibration.flats);
    if (!folders_hold_frames) return ParseResult::kRefused;
    if (!calibration.save_masters.empty() && !quen_merge::IsFolder(calibration.save_masters)) {
        std::fprintf(stderr, "-M needs an existing folder, not \"%s\"\n", calibration.save_masters.c_str());
        return ParseResult::kRefused;
    }
    if (!options.plan.growth_folder.empty() && !quen_merge::IsFolder(options.plan.growth_folder)) {
        std::fprintf(stderr, "-T needs an existing folder, not \"%s\"\n", options.plan.growth_folder.c_str());
        return ParseResult::kRefused;
    }
    if (!options.plan.ground_mask.empty() && access(options.plan.ground_mask.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "-G needs a mask image to read, not \"%s\"\n", options.plan.ground_mask.c_str());
        return ParseResult::kRefused;
    }
    const bool trails_hold_ground = options.plan.alignment == Alignment::kSkyMotion;
    if (options.plan.ground_still && trails_hold_ground)
        quen_merge::Warn("-g: trails without gaps hold the ground still already");
    if (options.plan.fading > 0 && !options.plan.Fades())
        quen_merge::Warn("-C fades star trails (-t t, -t c): here it changes nothing");
    if ((options.plan.ground_still || !options.plan.ground_mask.empty()) && !options.plan.HoldsGround() &&
        !trails_hold_ground)
        quen_merge::Warn("%s holds the ground still in an aligned stack (-t s, -t a): here every frame is held "
                         "still already", options.plan.ground_mask.empty() ? "-g" : "-G");
    if (!options.plan.growth_folder.empty() && !options.plan.ShowsGrowth())
        quen_merge::Warn("-T shows star trails as they grow: it needs -t t, and draws nothing here");
    if (options.plan.weighted && !options.plan.Weighs())
        quen_merge::Warn("-w weighs a plain mean only: with %s every frame counts alike",
                         options.plan.Rejects() ? "-r" : "this merge type");
    if (!calibration.save_masters.empty() && calibration.biases.empty() && calibration.darks.empty() &&
        calibration.flats.empty())
        quen_merge::Warn("-M saves nothing: no bias, dark or flat frames are given");
    return ParseResult::kRun;
}

std::vector<const char*> MergeTypeHelp() {
    std::vector<const char*> lines;
    for (const MergeTypeRow& type : kMergeTypes) lines.push_back(type.help);
    return lines;
}
