// Unaligned stacks end to end: the mean and the maximum to the last bit, the
// master dark, the specified modes' outputs pinned by their hash, and the
// other modes' outputs the same on one CPU as on every CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;
using test_support::RunTarnic;

float ToFloat(uint16_t v) { return float(v) * (1.0f / 65536.0f); }

uint16_t ToSample(float v) {
    if (!(v > 0)) return 0;
    if (v >= 1) return 65535;
    return uint16_t(std::min(65535.0f, std::floor(v * 65536.0f)));
}

// What a stack of the pictures must write, computed sample by sample in single
// precision: the mean folds each frame in front of the running sum, the
// maximum keeps the larger value; the dark (may be empty) is subtracted first.
Rgb16 Expected(const std::vector<Rgb16>& frames, bool mean, const std::vector<float>& dark = {}) {
    Rgb16 out = frames[0];
    for (size_t i = 0; i < out.samples.size(); ++i) {
        float acc = 0;
        for (size_t k = 0; k < frames.size(); ++k) {
            const float v = ToFloat(frames[k].samples[i]) - (dark.empty() ? 0.0f : dark[i]);
            acc = k == 0 ? v : mean ? v + acc : std::max(acc, v);
        }
        out.samples[i] = ToSample(mean ? acc / float(frames.size()) : acc);
    }
    return out;
}

// Pictures of a fixed pattern: sample i of frame k is pattern(k, i).
Rgb16 Pattern(unsigned w, unsigned h, unsigned k, const std::function<uint16_t(unsigned, size_t)>& f) {
    Rgb16 p = test_support::MakeRgb16(w, h, 0);
    for (size_t i = 0; i < p.samples.size(); ++i) p.samples[i] = f(k, i);
    return p;
}
class Tarnic : public test_support::StackTest {};

TEST_F(Tarnic, MeanAndMaximumAreExactToTheLastBit) {
    auto value = [](unsigned k, size_t i) { return uint16_t((i * 7919 + k * 104729) % 65536); };
    std::vector<Rgb16> frames;
    for (unsigned k = 0; k < 3; ++k) frames.push_back(Pattern(17, 5, k, value));
    frames[0].samples[0] = 0;
    frames[1].samples[0] = frames[2].samples[0] = 65535;
    const auto inputs = WriteFrames("f", frames);
    for (const bool mean : {true, false}) {
        const std::string out = dir / (mean ? "mean.ppm" : "max.ppm");
        const CommandResult r = Stack({"-o", out, "-t", mean ? "n" : "t"}, inputs);
        ASSERT_EQ(r.status, 0) << r.err;
        const Rgb16 written = ReadRgb16(out);
        EXPECT_EQ(written.samples, Expected(frames, mean).samples) << out;
    }
    // Two frames of 0 and 65535 average to 32767.
    const auto pair = WriteFrames("p", {test_support::MakeRgb16(2, 2, 0), test_support::MakeRgb16(2, 2, 65535)});
    ASSERT_EQ(Stack({"-o", dir / "pair.ppm"}, pair).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "pair.ppm").samples[0], 32767);
}

// -T: the trails as they grow, a picture a stacked frame, the last the
// result itself; only star trails grow so.
TEST_F(Tarnic, TrailsGrowFrameByFrameIntoAFolder) {
    auto value = [](unsigned k, size_t i) { return uint16_t((i * 7919 + k * 104729) % 60000); };
    const std::vector<Rgb16> frames{Pattern(5, 4, 0, value), Pattern(5, 4, 1, value), Pattern(5, 4, 2, value)};
    const auto inputs = WriteFrames("f", frames);
    std::filesystem::create_directory(dir / "growth");
    ASSERT_EQ(Stack({"-t", "t", "-T", dir / "growth", "-o", dir / "o.png"}, inputs).status, 0);
    for (size_t k = 0; k < frames.size(); ++k) {
        const Rgb16 grown = ReadRgb16(dir / ("growth/trails_000" + std::to_string(k + 1) + ".png"));
        ASSERT_EQ(grown.samples.size(), frames[0].samples.size());
        for (size_t i = 0; i < grown.samples.size(); ++i) {
            uint16_t most = 0;
            for (size_t j = 0; j <= k; ++j) most = std::max(most, frames[j].samples[i]);
            ASSERT_EQ(grown.samples[i], most) << k << ", " << i;
        }
    }
    EXPECT_EQ(test_support::ReadFile(dir / "growth/trails_0003.png"), test_support::ReadFile(dir / "o.png"));
    const CommandResult mean = Stack({"-T", dir / "growth", "-o", dir / "m.png"}, inputs);
    EXPECT_NE(mean.err.find("-T shows star trails as they grow: it needs -t t"), std::string::npos) << mean.err;
    EXPECT_FALSE(test_support::FileExists(dir / "growth/trails_0004.png"));
}

TEST_F(Tarnic, MasterDarkIsSubtractedFromFramesOfItsSize) {
    auto light = [](unsigned k, size_t i) { return uint16_t(3000 + 100 * k + i); };
    auto dark = [](unsigned k, size_t i) { return uint16_t(400 + 50 * k + (i % 5) * 1000); };
    const std::vector<Rgb16> lights{Pattern(4, 3, 0, light), Pattern(4, 3, 1, light)};
    const std::vector<Rgb16> darks{Pattern(4, 3, 0, dark), Pattern(4, 3, 1, dark)};
    const auto light_paths = WriteFrames("l", lights), dark_paths = WriteFrames("d", darks);
    const CommandResult r = Stack({"-d", dark_paths[0], "-d", dark_paths[1], "-o", dir / "o.ppm"}, light_paths);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Averaging dark frames\n", 0), 0u);
    EXPECT_EQ(test_support::CountOf(r.out, "Post processing\n"), 2u);
    EXPECT_EQ(test_support::CountOf(r.out, "\" added.\n"), 4u);
    std::vector<float> master(darks[0].samples.size());
    for (size_t i = 0; i < master.size(); ++i)
        master[i] = (ToFloat(darks[1].samples[i]) + ToFloat(darks[0].samples[i])) / 2.0f;
    EXPECT_EQ(ReadRgb16(dir / "o.ppm").samples, Expected(lights, true, master).samples);

    // A dark that fits no light stops the run before stacking, as a bias or
    // a flat of the wrong size does; values below the dark clamp to 0 on writing.
    const auto small_dark = WriteFrames("s", {test_support::MakeRgb16(2, 2, 60000)});
    const CommandResult small = Stack({"-d", small_dark[0], "-o", dir / "n.ppm"}, light_paths);
    EXPECT_EQ(small.status, 1);
    EXPECT_EQ(test_support::CountOf(small.err, "tarnic: "), 1u) << small.err;
    EXPECT_NE(small.err.find("tarnic: the master dark is 2 x 2, the light frames 4 x 3: dark frames must have the "
                             "lights' size\n"),
              std::string::npos);
    EXPECT_EQ(small.out.find("Image 0"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir / "n.ppm"));
    const auto bright_dark = WriteFrames("b", {test_support::MakeRgb16(4, 3, 60000)});
    ASSERT_EQ(Stack({"-d", bright_dark[0], "-o", dir / "z.ppm"}, light_paths).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "z.ppm").samples, std::vector<uint16_t>(36, 0));
}

// Frames for the whole-output checks, generated once for every test program
// of the run: moved stars (m), trails (t) and darks (d).
class Outputs : public Tarnic {
protected:
    static void SetUpTestSuite() {
        data = test_support::SharedData("outputs", [](const std::string& folder) {
            auto generate = [&](const std::vector<std::string>& extra, const std::string& pattern) {
                std::vector<std::string> args{"-W", "400", "-H", "300", "-p", "10", "-s", "77"};
                args.insert(args.end(), extra.begin(), extra.end());
                args.push_back(folder + "/" + pattern);
                test_support::RunStarfield(args);
            };
            generate({"-n", "4", "-S", "600", "-b", "4000,60000", "-r", "2", "-x", "30"}, "m%d.ppm");
            generate({"-n", "4", "-S", "300", "-R", "0.5"}, "t%d.ppm");
            generate({"-D", "-n", "2"}, "d%d.ppm");
        });
    }
    static std::string data;  // the shared frames, read only
    static std::string Data(const std::string& name) { return data + "/" + name; }
    static std::vector<std::string> Files(const std::string& stem, int count) {
        std::vector<std::string> files;
        for (int k = 0; k < count; ++k) files.push_back(Data(stem + std::to_string(k) + ".ppm"));
        return files;
    }
    static std::vector<std::string> Joined(std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    }
};
std::string Outputs::data;

// The specified modes' outputs, bit for bit, on a small generated set: a
// speed-up that changes a single bit fails here. The inputs are checked
// first, so that a change of the generator is told apart from a change of the
// stacking.
TEST_F(Outputs, SpecifiedModesKeepTheirExactBits) {
    const std::vector<std::string> inputs = test_support::ListFiles(data, ".ppm");  // d, m, t
    ASSERT_EQ(inputs.size(), 10u);
    std::string all_inputs;
    for (const std::string& f : inputs) all_inputs += test_support::ReadFile(f);
    test_support::WriteFile(dir / "inputs.bin", all_inputs);
    ASSERT_EQ(test_support::Sha256(dir / "inputs.bin"),
              "04d5ae572734599a3f00bcf38f75b3300982a4f9361119456277bdbc5dae668a")
        << "the generator's frames changed: record the outputs' hashes again";

    const std::vector<std::string> m = Files("m", 4), t = Files("t", 4);
    const std::vector<std::string> darks = {"-d", Data("d0.ppm"), "-d", Data("d1.ppm")};
    // Every specified merge type with and without the master dark; the hashes
    // are those of the first single-threaded version.
    const struct {
        std::vector<std::string> options;
        const std::vector<std::string>& frames;
        const char* hash;
    } runs[] = {
        {Joined({"-t", "n"}, darks), m, "df707a46edfa8638e60615a41ef211da2982e84a307bcc11137a3cd9ca807bcb"},
        {{"-t", "n"}, m, "0f1d651da53411968efb32d0c6b6a22c759044b7cd9be4fb7f2761a515b97b14"},
        {Joined({"-t", "a"}, darks), m, "9d73219f532097801e726c8bca195598902227a6457e040c564922c239658480"},
        {{"-t", "a"}, m, "96380bd773797425d3830afc8c34eff712f6f4695783789dbbb37537fa128aaf"},
        {{"-t", "t"}, t, "aac70733a39ddd2a17e6f7e5a3de5b86b0bcfda06f3abf61915e8e42230a8f10"},
        {Joined({"-t", "t"}, darks), t, "e4bc81fe64677f8451775c9e14b73cb6340a9bed7afe422b1299a19361e9d714"},
    };
    for (const auto& run : runs) {
        const std::vector<std::string> args = Joined(Joined(run.options, {"-o", dir / "out.ppm"}), run.frames);
        ASSERT_EQ(RunTarnic(args).status, 0);
        EXPECT_EQ(test_support::Sha256(dir / "out.ppm"), run.hash) << args[1] << " " << args.size();
    }
    // PNG at its fastest level holds the very samples of the PPM.
    ASSERT_EQ(RunTarnic(Joined({"-o", dir / "out.png"}, m)).status, 0);
    ASSERT_EQ(RunTarnic(Joined({"-o", dir / "out.ppm"}, m)).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "out.png").samples, ReadRgb16(dir / "out.ppm").samples);
}

// The modes judged by their accuracy rather than pinned (alignment on every
// star, rejection, calibration; their accuracy is tested where they are)
// write the same bits whether the work is shared over every CPU or done on
// one, and the same printed lines.
TEST_F(Outputs, OtherModesWriteTheSameBitsOnOneCpuAsOnEvery) {
    const std::vector<std::string> m = Files("m", 4);
    // Between them: alignment on every star, the clipping unaligned and
    // aligned, darks, bias and flats.
    const std::vector<std::vector<std::string>> modes{
        {"-t", "s", "-r", "3"},
        {"-t", "a", "-r", "3", "-d", Data("d0.ppm"), "-d", Data("d1.ppm")},
        {"-t", "n", "-r", "3", "-b", Data("d0.ppm"), "-f", Data("t0.ppm"), "-f", Data("t1.ppm")},
    };
    for (const auto& mode : modes) {
        const CommandResult every = RunTarnic(Joined(Joined(mode, {"-o", dir / "every.ppm"}), m));
        const CommandResult one = test_support::Run(
            "/usr/bin/taskset", Joined(Joined(Joined({"-c", "0", TARNIC_BIN}, mode), {"-o", dir / "one.ppm"}), m));
        ASSERT_EQ(every.status, 0) << every.err;
        ASSERT_EQ(one.status, 0) << one.err;
        EXPECT_EQ(one.out, every.out);
        EXPECT_EQ(test_support::ReadFile(dir / "one.ppm"), test_support::ReadFile(dir / "every.ppm")) << mode[1];
    }
}

// The real sequences beside the project: 16-bit grey PNGs of a CCD and of an
// all-sky camera.
class RealSequences : public Tarnic, public ::testing::WithParamInterface<const char*> {};

TEST_P(RealSequences, MeanAndMaximumMatchAnIndependentStack) {
    const std::string set = test_support::RealDataDir(GetParam());
    if (set.empty()) GTEST_SKIP() << "no real data beside the project";
    const std::vector<std::string> inputs = test_support::ListFiles(set, ".png");
    ASSERT_GE(inputs.size(), 2u);
    std::vector<Rgb16> frames;
    for (const std::string& path : inputs) frames.push_back(ReadRgb16(path));
    for (const bool mean : {true, false}) {
        const std::string out = dir / "out.ppm";
        const CommandResult r = Stack({"-t", mean ? "n" : "t", "-o", out}, inputs);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "output " + out + "\n");
        EXPECT_EQ(test_support::CountOf(r.out, "\" added.\n"), inputs.size());
        EXPECT_TRUE(ReadRgb16(out).samples == Expected(frames, mean).samples) << GetParam();
    }
}

INSTANTIATE_TEST_SUITE_P(Shared, RealSequences, ::testing::Values("iraf-stargate", "umd-allsky"));
}  // namespace
