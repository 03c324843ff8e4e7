// The command line's options: getopt over "h,o:t:d:r:".
#include "options.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

// Only the type's first letter counts; alignment, once on, stays on.
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
}

// A kappa is a plain positive number.
bool ReadKappa(const char* text, double& kappa) {
    char* end = nullptr;
    kappa = std::strtod(text, &end);
    return end != text && *end == '\0' && std::isfinite(kappa) && kappa > 0;
}

}  // namespace

ParseResult ParseOptions(int argc, char** argv, RunOptions& options) {
    optind = 0;  // a fresh scan, also when called again
    int option;
    while ((option = getopt(argc, argv, "h,o:t:d:r:")) != -1) {
        switch (option) {
            case 'h': return ParseResult::kShowHelp;
            case 'o':
                options.output = optarg;
                std::fprintf(stderr, "output %s\n", optarg);
                break;
            case 't': SetMergeType(optarg, options); break;
            case 'd': options.darks.push_back(optarg); break;
            case 'r':
                if (!ReadKappa(optarg, options.kappa)) {
                    std::fprintf(stderr, "-r needs a positive number of standard deviations, such as 3, not \"%s\"\n",
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

