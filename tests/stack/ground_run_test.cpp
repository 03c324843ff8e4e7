// A tripod night with a landscape: the sky aligned on its stars whatever the
// ground's texture shows.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::Rgb16;
using test_support::RunTarnic;
using test_support::TempDir;

// Four frames two minutes apart of an 18 mm lens (scaled down) over a
// textured landscape on the lower third, with the truth of where it stands.
std::string Night() {
    return test_support::SharedData("landscape-night", [](const std::string& folder) {
        test_support::RunStarfield({"-L", "1046", "-J", "-0.05", "-W", "1296", "-H", "864", "-n", "4", "-I", "120",
                                    "-S", "3000", "-f", "1.2", "-s", "5", "-g", "0.33", "-M", folder + "/mask.png",
                                    folder + "/f_%d.tif"});
    });
}

std::vector<std::string> Frames() {
    std::vector<std::string> frames;
    for (int k = 0; k < 4; ++k) frames.push_back(Night() + "/f_" + std::to_string(k) + ".tif");
    return frames;
}

Rgb16 Stack(const TempDir& dir, const std::string& name, std::vector<std::string> options, std::string* out = nullptr) {
    options.insert(options.end(), {"-o", dir / name});
    for (const std::string& f : Frames()) options.push_back(f);
    const CommandResult run = RunTarnic(options);
    EXPECT_EQ(run.status, 0) << run.err;
    if (out) *out = run.out;
    return test_support::ReadRgb16(dir / name);
}

TEST(LandscapeNight, TheSkyAlignsOnItsStarsAndNotOnTheGroundsTexture) {
    TempDir dir;
    std::string out;
    Stack(dir, "s.png", {"-t", "s"}, &out);
    EXPECT_NE(out.find("4 of 4 frames stacked"), std::string::npos) << out;
    std::istringstream lines(out);
    std::string line;
    int fits = 0;
    while (std::getline(lines, line)) {
        double rms = 0;
        if (std::sscanf(line.c_str(), "Matched %*u stars, RMS residual %lf px", &rms) != 1) continue;
        ++fits;
        EXPECT_LT(rms, 0.1) << line;
    }
    EXPECT_EQ(fits, 3);
}

}  // namespace
