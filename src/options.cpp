// The command line's options: getopt over "h,o:t:d:".
#include "options.h"

#include <unistd.h>

#include <cstdio>

namespace {

// Only the type's first letter counts; alignment, once on, stays on.
void SetMergeType(const char* type, RunOptions& options) {
    switch (type[0]) {
        case 'n': options.type = quen_merge::MergeAverage; break;
        case 't': options.type = quen_merge::MergeLighten; break;
        case 'a':
            options.type = quen_merge::MergeAverage;
            options.align = true;
            break;
        default: break;
    }
}

}  // namespace

bool ParseOptions(int argc, char** argv, RunOptions& options) {
    optind = 0;  // a fresh scan, also when called again
    int option;
    while ((option = getopt(argc, argv, "h,o:t:d:")) != -1) {
        switch (option) {
            case 'h': return false;
            case 'o':
                options.output = optarg;
                std::fprintf(stderr, "output %s\n", optarg);
                break;
            case 't': SetMergeType(optarg, options); break;
            case 'd': options.darks.push_back(optarg); break;
            default: break;  // '-,' and getopt's own complaints
        }
    }
    for (int i = optind; i < argc; ++i) options.lights.push_back(argv[i]);
    return true;
}

