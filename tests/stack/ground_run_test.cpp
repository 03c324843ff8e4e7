// A tripod night with a landscape: the sky aligned on its stars whatever the
// ground's texture shows, and with -g or -G the ground kept from the frames
// held still.
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

// Whether every pixel within reach of (x, y) has the truth's side ground.
bool AllGround(const Rgb16& truth, unsigned x, unsigned y, int reach, bool ground) {
    for (int dy = -reach; dy <= reach; ++dy)
        for (int dx = -reach; dx <= reach; ++dx) {
            const long px = long(x) + dx, py = long(y) + dy;
            if (px < 0 || py < 0 || px >= long(truth.width) || py >= long(truth.height)) continue;
            if ((truth.at(unsigned(px), unsigned(py), 0) > 32767) != ground) return false;
        }
    return true;
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

// The ground found (-g) or given (-G) comes from the stack held still, the
// sky from the aligned one, each to the bit away from the seam.
TEST(LandscapeNight, GroundHeldStillAndSkyAligned) {
    TempDir dir;
    const Rgb16 truth = test_support::ReadRgb16(Night() + "/mask.png");
    const Rgb16 still = Stack(dir, "n.png", {"-t", "n"});
    const Rgb16 aligned = Stack(dir, "s.png", {"-t", "s"});
    for (const std::vector<std::string>& how : {std::vector<std::string>{"-g"}, {"-G", Night() + "/mask.png"}}) {
        std::vector<std::string> options{"-t", "s"};
        options.insert(options.end(), how.begin(), how.end());
        std::string out;
        const Rgb16 joined = Stack(dir, "g.png", options, &out);
        EXPECT_NE(out.find("Ground held still over 3"), std::string::npos) << out;
        size_t ground_kept = 0, ground = 0, sky_kept = 0, sky = 0;
        for (unsigned y = 0; y < truth.height; y += 3)
            for (unsigned x = 0; x < truth.width; x += 3) {
                const bool deep_ground = AllGround(truth, x, y, 12, true), deep_sky = AllGround(truth, x, y, 12, false);
                const bool as_still = joined.at(x, y, 1) == still.at(x, y, 1);
                const bool as_aligned = joined.at(x, y, 1) == aligned.at(x, y, 1);
                ground += deep_ground, ground_kept += deep_ground && as_still;
                sky += deep_sky, sky_kept += deep_sky && as_aligned;
            }
        EXPECT_GT(double(ground_kept) / double(ground), 0.99) << how[0];
        EXPECT_GT(double(sky_kept) / double(sky), 0.99) << how[0];
    }
}

TEST(LandscapeNight, AMaskOfAnotherSizeIsRefused) {
    TempDir dir;
    test_support::WriteRgb16(dir / "mask.png", test_support::MakeRgb16(100, 80, 65535));
    std::vector<std::string> args{"-t", "s", "-G", dir / "mask.png", "-o", dir / "g.png"};
    for (const std::string& f : Frames()) args.push_back(f);
    const CommandResult run = RunTarnic(args);
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.err.find("-G: the mask \"" + dir / "mask.png" + "\" is 100 x 80, the stack 1296 x 864"),
              std::string::npos)
        << run.err;
    EXPECT_FALSE(test_support::FileExists(dir / "g.png"));
}

}  // namespace
