// Aligning on every star (-t s) where a fixed camera watches the sky turn: a
// wide rectilinear lens with distortion and a fisheye, generated with the
// truth; and the real all-sky sequence, whose ground must never be the sky.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "base/frame_mapping.h"
#include "support.h"

namespace {

using quen_merge::FrameMapping;
using quen_merge::MappingKind;
using quen_merge::Position;
using test_support::CommandResult;
using test_support::RunTarnic;
using test_support::TempDir;

// The mappings a run printed, in frame order, read back from their lines;
// a run stacked again on its sky motion prints every frame's mapping again.
std::vector<FrameMapping> PrintedMappings(const std::string& out) {
    std::vector<FrameMapping> found;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string word;
        fields >> word;
        FrameMapping m;
        if (line.rfind("The sky turns as one motion", 0) == 0) {
            found.clear();
        } else if (word == "SkyTurn") {
            quen_merge::SkyLens lens;
            quen_merge::Direction pole;
            double degrees;
            fields >> lens.cx >> lens.cy >> lens.focal >> lens.shape >> lens.k1 >> pole[0] >> pole[1] >> pole[2] >>
                degrees;
            m.kind = MappingKind::kSkyTurn;
            m.sky.Set(lens, pole, degrees / kDegreesPerRadian);
            found.push_back(m);
        } else if (word == "Rotate") {
            double angle, tx, ty;
            if (std::sscanf(line.c_str(), "Rotate %lf degrees around (0,0), Translate (%lf, %lf)", &angle, &tx, &ty) == 3)
                found.push_back(FrameMapping::Rigid(angle, tx, ty));
        } else if (word == "Projective") {
            m.kind = MappingKind::kProjective;
            for (double& h : m.to_reference) fields >> h;
            found.push_back(m);
        } else if (word == "LensProjective") {
            m.kind = MappingKind::kLensProjective;
            fields >> m.lens.cx >> m.lens.cy >> m.lens.scale >> m.lens.k1;
            for (double& h : m.to_reference) fields >> h;
            found.push_back(m);
        } else if (word == "Cubic") {
            m.kind = MappingKind::kCubic;
            quen_merge::CubicMap& c = m.cubic_to_reference;
            fields >> c.cx >> c.cy >> c.scale;
            for (double& a : c.a) fields >> a;
            for (double& b : c.b) fields >> b;
            found.push_back(m);
        }
    }
    return found;
}

struct TruthPoint {
    int frame;
    double x, y, ref_x, ref_y;
};

std::vector<TruthPoint> ReadTruth(const std::string& path) {
    std::vector<TruthPoint> points;
    std::istringstream lines(test_support::ReadFile(path));
    std::string line;
    while (std::getline(lines, line)) {
        TruthPoint p;
        if (line[0] != '#' && std::sscanf(line.c_str(), "%d %lf %lf %lf %lf", &p.frame, &p.x, &p.y, &p.ref_x, &p.ref_y) == 5)
            points.push_back(p);
    }
    return points;
}

// Generates frames of a fixed camera with the options, stacks them with -t
// s, and returns the largest error of each later frame's printed mapping
// over the truth's grid (corners and edges included) within reach of the
// centre (a fisheye's sky is a disc).
std::vector<double> MappingErrors(const std::vector<std::string>& generator, int frames, double reach,
                                  CommandResult& run) {
    TempDir dir;
    std::vector<std::string> args = generator;
    args.insert(args.end(), {"-n", std::to_string(frames), "-f", "1.2", "-T", dir / "truth.txt", dir / "f%d.tif"});
    test_support::RunStarfield(args);
    std::vector<std::string> stack{"-t", "s", "-o", dir / "s.tif"};
    for (int k = 0; k < frames; ++k) stack.push_back(dir / ("f" + std::to_string(k) + ".tif"));
    run = RunTarnic(stack);
    const std::vector<FrameMapping> mappings = PrintedMappings(run.out);
    std::vector<double> errors(mappings.size(), 0.0);
    const std::vector<TruthPoint> truth = ReadTruth(dir / "truth.txt");
    const double centre_x = truth.back().x / 2, centre_y = truth.back().y / 2;
    for (const TruthPoint& p : truth) {
        if (p.frame == 0 || size_t(p.frame) > mappings.size()) continue;
        if (std::hypot(p.x - centre_x, p.y - centre_y) > reach) continue;
        const Position got = mappings[size_t(p.frame - 1)].ToReference(p.x, p.y);
        double& e = errors[size_t(p.frame - 1)];
        e = std::max(e, std::hypot(got.x - p.ref_x, got.y - p.ref_y));
    }
    return errors;
}

// An 18 mm lens on APS-C (scaled to a sixth of the pixels) pointing at
// declination 60, barrel distortion -0.05, frames 3 minutes apart: a rigid fit
// is pixels off in the corners; the chosen mapping is not. A fisheye over a
// fixed horizon, frames 10 s to 5 minutes apart: the frames that barely
// moved and the disc's rim take the run's one sky motion.
TEST(WideField, EveryFrameLinesUpToTheCorners) {
    const struct {
        const char* name;
        std::vector<std::string> generator;
        int frames;
        double reach;      // px from the centre
        double tolerance;  // px, largest over the grid
    } lenses[] = {
        {"18 mm", {"-L", "697.7", "-J", "-0.05", "-W", "864", "-H", "576", "-I", "180", "-S", "2500"}, 4, 1e9, 0.15},
        // The grid within 75 degrees of the zenith: the fisheye's sky.
        {"fisheye",
         {"-L", "300", "-Y", "-P", "40", "-W", "1024", "-H", "768", "-I", "10,30,60,120,300", "-S", "3000", "-g",
          "0.12"},
         6,
         390,
         0.1},
    };
    for (const auto& lens : lenses) {
        CommandResult run;
        const std::vector<double> errors = MappingErrors(lens.generator, lens.frames, lens.reach, run);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string all = std::to_string(lens.frames);
        EXPECT_NE(run.out.find(all + " of " + all + " frames stacked\n"), std::string::npos) << lens.name << run.out;
        ASSERT_EQ(errors.size(), size_t(lens.frames - 1)) << lens.name;
        for (size_t k = 0; k < errors.size(); ++k)
            EXPECT_LT(errors[k], lens.tolerance) << lens.name << " frame " << k + 1;
    }
}

// The fisheye's frames out of order: the frame 10 s after the reference,
// met after frames that turned, moved too little to tell its sky from the
// horizon and the hot pixels; it is placed on the run's sky motion, within
// 0.1 px of the truth, and no frame is left out.
TEST(WideField, AFrameThatBarelyMovedIsPlacedOnTheRunsSkyMotionInAnyOrder) {
    TempDir dir;
    test_support::RunStarfield({"-L", "300", "-Y", "-P", "40", "-W", "1024", "-H", "768", "-I", "10,30,60,120,300",
                                "-S", "3000", "-g", "0.12", "-p", "100", "-n", "8", "-f", "1.2", "-T",
                                dir / "truth.txt", dir / "f%d.tif"});
    std::vector<std::string> args{"-t", "s", "-o", dir / "s.tif"};
    for (const char* name : {"f0", "f5", "f2", "f7", "f1", "f6", "f3", "f4"})
        args.push_back(dir / (name + std::string(".tif")));
    const CommandResult run = RunTarnic(args);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("8 of 8 frames stacked\n"), std::string::npos) << run.out;
    const size_t placed = run.out.find("\"" + (dir / "f1.tif") + "\", placed on the run's sky motion\n");
    ASSERT_NE(placed, std::string::npos) << run.out;
    const std::vector<FrameMapping> mapping = PrintedMappings(run.out.substr(run.out.find('\n', placed)));
    ASSERT_FALSE(mapping.empty());
    double largest = 0;
    for (const TruthPoint& p : ReadTruth(dir / "truth.txt")) {
        if (p.frame != 1 || std::hypot(p.x - 512, p.y - 384) > 390) continue;
        const Position got = mapping[0].ToReference(p.x, p.y);
        largest = std::max(largest, std::hypot(got.x - p.ref_x, got.y - p.ref_y));
    }
    EXPECT_LT(largest, 0.1);
}

// The real all-sky frames: trees, the horizon and hot pixels hold still while
// the sky turns, in the first frames by barely a pixel. No frame may be
// stacked on them: every stacked frame's mapping moves the field at least
// half as far as astroalign's (fitted on the sky) over the sky's disc; and
// every frame left out says why.
TEST(WideField, TheRealAllSkySequenceIsNeverStackedOnTheGround) {
    const std::string set = test_support::RealDataDir("umd-allsky");
    if (set.empty()) GTEST_SKIP() << "no real data beside the project";
    TempDir dir;
    std::vector<std::string> args{"-t", "s", "-o", dir / "s.tif"};
    for (const std::string& f : test_support::ListFiles(set, ".png")) args.push_back(f);
    const CommandResult run = RunTarnic(args);
    ASSERT_EQ(run.status, 0) << run.err;
    // astroalign's rotation (degrees) and shift per file.
    std::map<std::string, std::array<double, 3>> astroalign;
    std::istringstream table(test_support::ReadFile(set + "/astroalign_transforms.txt"));
    for (std::string line, file; std::getline(table, line);) {
        std::array<double, 3> t;
        std::istringstream fields(line);
        if (line[0] != '#' && fields >> file >> t[0] >> t[1] >> t[2]) astroalign[file] = t;
    }
    // Each file's last mapping printed, by the "Image" line before it:
    // held-back frames come last, and a run stacked again prints them again.
    std::map<std::string, FrameMapping> last;
    std::istringstream lines(run.out);
    std::string line, file;
    while (std::getline(lines, line)) {
        if (line.rfind("Image ", 0) == 0) {
            const size_t slash = line.rfind('/');
            file = line.substr(slash + 1, line.find('"', slash) - slash - 1);
        }
        const std::vector<FrameMapping> printed = PrintedMappings(line + "\n");
        if (!printed.empty()) last[file] = printed[0];
    }
    for (const auto& [name, mapping] : last) {
        ASSERT_EQ(astroalign.count(name), 1u) << name;
        const FrameMapping theirs = FrameMapping::Rigid(astroalign[name][0], astroalign[name][1], astroalign[name][2]);
        double ours = 0, sky = 0;
        for (const Position p : {Position{400, 250}, Position{1000, 250}, Position{400, 830}, Position{1000, 830}}) {
            const Position a = mapping.ToReference(p.x, p.y), t = theirs.ToReference(p.x, p.y);
            ours = std::max(ours, std::hypot(a.x - p.x, a.y - p.y));
            sky = std::max(sky, std::hypot(t.x - p.x, t.y - p.y));
        }
        EXPECT_GT(ours, 0.5 * sky) << name;
    }
    const size_t mappings = last.size();
    EXPECT_GE(mappings, 2u) << run.out;
    EXPECT_EQ(test_support::CountOf(run.out, "Unable to align the frame: "), 9 - mappings);
}

}  // namespace
