// Star trails beside the specified maximum: without the gaps between frames
// (-t c), the ground as the frames show it; and fading like comets (-C).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::Rgb16;
using test_support::RunTarnic;
using test_support::TempDir;

constexpr int kFrames = 5;
constexpr double kShutter = 0.7;  // of each interval

// Five frames a minute apart, each exposed for 70 % of it, of an 18 mm lens
// (scaled down) over a landscape on the lower third; where the stars are as
// each frame opens.
std::string Night() {
    return test_support::SharedData("trails-night", [](const std::string& folder) {
        test_support::RunStarfield({"-L", "1046", "-J", "-0.05", "-W", "1296", "-H", "864", "-n", "5", "-I", "60",
                                    "-u", "0.7", "-S", "3000", "-f", "1.2", "-s", "7", "-g", "0.3", "-M",
                                    folder + "/mask.png", "-C", folder + "/stars.txt", folder + "/f_%d.tif"});
    });
}

Rgb16 Trails(const TempDir& dir, const std::string& name, std::vector<std::string> options) {
    options.insert(options.end(), {"-o", dir / name});
    for (int k = 0; k < kFrames; ++k) options.push_back(Night() + "/f_" + std::to_string(k) + ".tif");
    const CommandResult run = RunTarnic(options);
    EXPECT_EQ(run.status, 0) << run.err;
    return test_support::ReadRgb16(dir / name);
}

double Green(const Rgb16& p, double x, double y) {
    const unsigned x0 = unsigned(x), y0 = unsigned(y);
    const double u = x - x0, v = y - y0;
    return (p.at(x0, y0, 1) * (1 - u) + p.at(x0 + 1, y0, 1) * u) * (1 - v) +
           (p.at(x0, y0 + 1, 1) * (1 - u) + p.at(x0 + 1, y0 + 1, 1) * u) * v;
}

// For the brightest stars high in the sky: the dimmest point of each trail
// over its median, above the sky, along its true path (a pixel from each
// end left out; each point the brightest within a pixel across the path).
std::vector<double> DimmestOverMedian(const Rgb16& picture, size_t stars) {
    std::map<long, std::pair<double, std::vector<std::pair<double, double>>>> tracks;  // peak, places
    for (const auto& row : test_support::ReadTable(Night() + "/stars.txt"))
        if (row[3] < 400) tracks[long(row[0])].first = row[4], tracks[long(row[0])].second.push_back({row[2], row[3]});
    std::vector<std::pair<double, std::vector<std::pair<double, double>>>> chosen;
    for (const auto& [star, track] : tracks)
        if (track.second.size() == kFrames && track.second.front().first > 20 && track.second.front().first < 1270)
            chosen.push_back(track);
    std::sort(chosen.begin(), chosen.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    chosen.resize(std::min(chosen.size(), stars));
    std::vector<double> ratios;
    for (const auto& [peak, places] : chosen) {
        // The sky: the median of a ring around the trail's middle.
        std::vector<double> ring;
        for (int a = 0; a < 16; ++a)
            ring.push_back(
                Green(picture, places[2].first + 16 * std::cos(a * 0.3927), places[2].second + 16 * std::sin(a * 0.3927)));
        std::nth_element(ring.begin(), ring.begin() + 8, ring.end());
        const double sky = ring[8];
        std::vector<double> profile;
        const double end = kFrames - 1 + kShutter;
        for (double t = 0.4; t <= end - 0.4; t += 0.05) {
            const int k = std::min(int(t), kFrames - 2);
            const double dx = places[k + 1].first - places[k].first, dy = places[k + 1].second - places[k].second;
            const double x = places[k].first + dx * (t - k), y = places[k].second + dy * (t - k);
            const double length = std::hypot(dx, dy);
            double ridge = 0;
            for (double d = -1; d <= 1; d += 0.25)
                ridge = std::max(ridge, Green(picture, x - d * dy / length, y + d * dx / length));
            profile.push_back(ridge - sky);
        }
        std::sort(profile.begin(), profile.end());
        ratios.push_back(profile.front() / profile[profile.size() / 2]);
    }
    return ratios;
}

TEST(Trails, WithoutGapsAlongTheSkyAndTheGroundAsTheFramesShowIt) {
    TempDir dir;
    const Rgb16 specified = Trails(dir, "t.png", {"-t", "t"});
    const std::vector<double> gapped = DimmestOverMedian(specified, 10);
    ASSERT_EQ(gapped.size(), 10u);
    EXPECT_LT(*std::min_element(gapped.begin(), gapped.end()), 0.8) << "the specified trails show the gaps";
    const Rgb16 truth = test_support::ReadRgb16(Night() + "/mask.png");
    for (const std::vector<std::string>& ground : {std::vector<std::string>{}, {"-G", Night() + "/mask.png"}}) {
        std::vector<std::string> options{"-t", "c"};
        options.insert(options.end(), ground.begin(), ground.end());
        const Rgb16 filled = Trails(dir, "c.png", options);
        for (double ratio : DimmestOverMedian(filled, 10)) EXPECT_GT(ratio, 0.8);
        size_t deep = 0, same = 0;
        for (unsigned y = 12; y + 12 < truth.height; y += 2)
            for (unsigned x = 12; x + 12 < truth.width; x += 2) {
                if (truth.at(x, y - 12, 0) < 128 || truth.at(x - 12, y, 0) < 128 || truth.at(x + 12, y, 0) < 128)
                    continue;
                ++deep;
                same += filled.at(x, y, 1) == specified.at(x, y, 1);
            }
        EXPECT_GT(deep, 1000u);
        EXPECT_GT(double(same) / double(deep), 0.99);
    }
}

// A star one pixel further on in each of three frames: with -C 1 each older
// frame counts half as much as the next, the sky is the newest frame's.
TEST(Trails, FadeLikeComets) {
    TempDir dir;
    std::vector<std::string> args{"-t", "t", "-C", "1", "-o", dir / "o.png"};
    for (unsigned k = 0; k < 3; ++k) {
        Rgb16 frame = test_support::MakeRgb16(6, 1, 1000);
        for (unsigned c = 0; c < 3; ++c) frame.at(k, 0, c) = 60000;
        args.push_back(dir / ("f" + std::to_string(k) + ".tif"));
        test_support::WriteRgb16(args.back(), frame);
    }
    const CommandResult run = RunTarnic(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const Rgb16 result = test_support::ReadRgb16(dir / "o.png");
    const uint16_t expected[] = {15000, 30000, 60000, 1000, 1000, 1000};
    for (unsigned x = 0; x < 6; ++x) EXPECT_EQ(result.at(x, 0, 1), expected[x]) << x;
}

}  // namespace
