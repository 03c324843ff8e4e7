// The command line's options: getopt over "h,o:t:d:b:f:r:p:P:F".
#include "options.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The merge types: the letter that selects each, the words that name it, and
// what a run of it stacks.
struct MergeTypeName {
    char letter;
    const char* names[3];
    const char* stacks;
};
constexpr MergeTypeName kMergeTypes[] = {
    {'n', {"n", "noalign", nullptr}, "the mean"},
    {'a', {"a", "align", "aligned"}, "the aligned mean"},
    {'t', {"t", "trails", "trail"}, "the maximum (star trails)"},
    {'s', {"s", "stars", "star"}, "the mean aligned on every star"},
};

const MergeTypeName* TypeOfLetter(char letter) {
    for (const MergeTypeName& type : kMergeTypes)
        if (type.letter == letter) return &type;
    return nullptr;
}

bool Names(const MergeTypeName& type, const char* word) {
    for (const char* name : type.names)
        if (name && std::strcmp(name, word) == 0) return true;
    return false;
}

// The letter of the merge type the options now select.
char SelectedLetter(const RunOptions& options) {
    switch (options.align) {
        case Alignment::kNeighbourAngles: return 'a';
        case Alignment::kTriangles: return 's';
        case Alignment::kNone: break;
    }
    return options.type == quen_merge::MergeAverage ? 'n' : 't';
}

// Only the type's first letter counts; alignment, once on, stays on. A word
// that is not the name of the type its letter selects gets a warning, which
// says what the run now stacks.
void SetMergeType(const char* type, RunOptions& options) {
    switch (type[0]) {
        case 'n': options.type = quen_merge::MergeAverage; break;
        case 't': options.type = quen_merge::MergeLighten; break;
        case 'a':
            options.type = quen_merge::MergeAverage;
            options.align = Alignment::kNeighbourAngles;
            break;
        case 's':
            options.type = quen_merge::MergeAverage;
            options.align = Alignment::kTriangles;
            break;
        default: break;
    }
    const MergeTypeName* chosen = TypeOfLetter(type[0]);
    if (chosen && Names(*chosen, type)) return;
    const MergeTypeName& now = *TypeOfLetter(SelectedLetter(options));
    std::fprintf(stderr, "tarnic: unknown merge type \"%s\": stacking %s (-t %c)\n", type, now.stacks, now.letter);
}

// A kappa is a plain positive number.
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

}  // namespace

ParseResult ParseOptions(int argc, char** argv, RunOptions& options) {
    optind = 0;  // a fresh scan, also when called again
    int option;
    while ((option = getopt(argc, argv, "h,o:t:d:b:f:r:p:P:F")) != -1) {
        switch (option) {
            case 'h': return ParseResult::kShowHelp;
            case 'o':
                options.output = optarg;
                std::fprintf(stderr, "output %s\n", optarg);
                break;
            case 't': SetMergeType(optarg, options); break;
            case 'd': options.calibration.darks.push_back(optarg); break;
            case 'b': options.calibration.biases.push_back(optarg); break;
            case 'f': options.calibration.flats.push_back(optarg); break;
            case 'r':
                if (!ReadKappa(optarg, options.kappa)) {
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
            default: break;  // '-,' and getopt's own complaints
        }
    }
    for (int i = optind; i < argc; ++i) options.lights.push_back(argv[i]);
    return ParseResult::kRun;
}

