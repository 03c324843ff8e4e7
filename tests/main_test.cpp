// The tarnic program end to end: real files in, real files and messages out.
#include <FreeImage.h>
#include <fitsio.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <functional>
#include <string>
#include <vector>

#include "star_measure.h"
#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;
using test_support::RunTarnic;
using test_support::TempDir;

const char kHelpText[] =
    "Velunor 0.1.0.\n\n"
    "Usage: tarnic [options] <input1> <input2> ...\n"
    "Options:\n"
    "\t-h        : This help text\n"
    "\t-d        : add dark frame.  You may have many of these.\n"
    "\t-o <file> : Set output file.  Default is \"merged.png\".\n"
    "\t-t <type> : Set merge type.  Default is \"n\". \n"
    "\t-r <kappa>: Reject outliers: a mean without the values beyond kappa sigma.\n"
    "\tMerge types:\n"
    "\t\tn : denoise/averaging.\n"
    "\t\ta : denoise/averaging with alignment.\n"
    "\t\tt : Lighten/star trails.\n"
    "\t\ts : denoise/averaging with alignment on every star, any rotation.\n"
    "\n";

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

class Tarnic : public ::testing::Test {
protected:
    std::vector<std::string> WriteFrames(const std::string& stem, const std::vector<Rgb16>& frames,
                                         const std::string& ext = ".tif") {
        std::vector<std::string> paths;
        for (size_t k = 0; k < frames.size(); ++k) {
            paths.push_back(dir / (stem + std::to_string(k) + ext));
            test_support::WriteRgb16(paths.back(), frames[k]);
        }
        return paths;
    }
    CommandResult Stack(std::vector<std::string> options, const std::vector<std::string>& inputs) {
        options.insert(options.end(), inputs.begin(), inputs.end());
        return RunTarnic(options);
    }
    TempDir dir;
};

TEST_F(Tarnic, WithoutArgumentsOrWithDashHPrintsHelp) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{}, {"-h"}, {"-h", "never-read.tif"}, {"x.tif", "-h"}}) {
        const CommandResult r = RunTarnic(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, sizeof kHelpText - 1), kHelpText);
        EXPECT_NE(r.out.find("FreeImage"), std::string::npos);
        EXPECT_EQ(r.out.back(), '\n');
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(Tarnic, NothingToStackExitsOneAndWritesNothing) {
    const CommandResult r = RunTarnic({"-o", dir / "out.png"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "output " + dir / "out.png" + "\nno frame could be stacked\n");
    EXPECT_FALSE(test_support::FileExists(dir / "out.png"));

    const CommandResult none = RunTarnic({"-o", dir / "out.png", dir / "gone.tif"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.out, "Unable to load Frame \"" + dir / "gone.tif" + "\".\nPost processing\n");
    EXPECT_NE(none.err.find("file " + dir / "gone.tif" + " does not exist\n"), std::string::npos);
}

// Frames load side by side, yet every line a frame's loading prints comes
// where a one-frame-at-a-time run prints it: in file order, on its stream.
TEST_F(Tarnic, FramesLoadedSideBySideReportInFileOrder) {
    std::vector<std::string> inputs;
    std::string out, err = "output " + dir / "o.ppm" + "\n";
    for (unsigned k = 0; k < 12; ++k) {
        const std::string name = dir / ("f" + std::to_string(k) + (k % 4 == 2 ? ".txt" : ".ppm"));
        inputs.push_back(name);
        if (k % 4 == 1) {  // never written
            out += "Unable to load Frame \"" + name + "\".\n";
            err += "file " + name + " does not exist\n";
        } else if (k % 4 == 2) {
            test_support::WriteFile(name, "not a picture");
            out += "Unable to load Frame \"" + name + "\".\n";
            err += "file " + name + " is not supported\n";
        } else {
            test_support::WriteRgb16(name, test_support::MakeRgb16(300, 200, uint16_t(1000 * k)));
            out += "image_type = 9\nFrame \"" + name + "\" added.\n";  // FIT_RGB16
        }
    }
    const CommandResult r = Stack({"-t", "n", "-o", dir / "o.ppm"}, inputs);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, out + "Post processing\n");
    EXPECT_EQ(r.err, err);
}

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

    // A dark of another size is left out; values below the dark clamp to 0 on writing.
    const auto small_dark = WriteFrames("s", {test_support::MakeRgb16(2, 2, 60000)});
    ASSERT_EQ(Stack({"-d", small_dark[0], "-o", dir / "n.ppm"}, light_paths).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "n.ppm").samples, Expected(lights, true).samples);
    const auto bright_dark = WriteFrames("b", {test_support::MakeRgb16(4, 3, 60000)});
    ASSERT_EQ(Stack({"-d", bright_dark[0], "-o", dir / "z.ppm"}, light_paths).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "z.ppm").samples, std::vector<uint16_t>(36, 0));
}

TEST_F(Tarnic, KeepsChannelsAndPicksTheFormatByExtension) {
    Rgb16 picture = test_support::MakeRgb16(3, 2, 0);
    picture.at(1, 1, 0) = 1000;
    picture.at(1, 1, 1) = 2000;
    picture.at(1, 1, 2) = 3000;
    const auto input = WriteFrames("c", {picture}, ".png");
    // The extension rules themselves are checked with the writer.
    for (const char* name : {"o.png", "o.tif", "o.ppm", "o"}) {
        const CommandResult r = Stack({"-o", dir / name}, input);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadRgb16(dir / name).samples, picture.samples) << name;
    }
}

TEST_F(Tarnic, ParsesOptionsAnywhereAndOnlyTheTypeLetter) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(2, 2, 1000), test_support::MakeRgb16(2, 2, 3000)});
    const struct {
        std::vector<std::string> args;
        uint16_t expected;
    } cases[] = {
        {{inputs[0], inputs[1], "-o", dir / "o.ppm"}, 2000},
        {{"-t", "trails", "-o", dir / "o.ppm", inputs[0], inputs[1]}, 3000},
        {{"-t", "x", "-o", dir / "o.ppm", inputs[0], inputs[1]}, 2000},
        {{"-t", "", "-o", dir / "o.ppm", inputs[0], inputs[1]}, 2000},
        {{"-t", "t", "-t", "n", "-o", dir / "o.ppm", inputs[0], inputs[1]}, 2000},
        {{"-,", "-t", "t", "-o", dir / "o.ppm", inputs[0], inputs[1]}, 3000},
        {{"-o", dir / "ignored.ppm", "-o", dir / "o.ppm", inputs[0], inputs[1], "-t", "t"}, 3000},
    };
    for (const auto& c : cases) {
        const CommandResult r = RunTarnic(c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadRgb16(dir / "o.ppm").samples[0], c.expected) << c.args[0] << " " << c.args[1];
    }
    EXPECT_FALSE(test_support::FileExists(dir / "ignored.ppm"));
}

TEST_F(Tarnic, UnknownOptionIsReportedAndTheRunGoesOn) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(2, 2, 1000)});
    const CommandResult r = RunTarnic({"-q", "-o", dir / "o.ppm", inputs[0], "-t"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("invalid option -- 'q'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("option requires an argument -- 't'"), std::string::npos) << r.err;
    EXPECT_TRUE(test_support::FileExists(dir / "o.ppm"));
}

TEST_F(Tarnic, FailedWriteKeepsTheExistingFile) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(64, 64, 1234)});
    test_support::WriteFile(dir / "o.ppm", "precious");
    // Files may not grow past 4 KiB: the 24 KiB result cannot be written.
    const CommandResult r = RunTarnic({"-o", dir / "o.ppm", inputs[0]}, 4096);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("unable to write \"" + dir / "o.ppm" + "\"\n"), std::string::npos) << r.err;
    EXPECT_EQ(test_support::ReadFile(dir / "o.ppm"), "precious");
    EXPECT_EQ(test_support::ListFiles(dir.path, "").size(), 2u);  // no temporary left behind

    const CommandResult to_dir = RunTarnic({"-o", dir.path, inputs[0]});
    EXPECT_EQ(to_dir.status, 1);
    const CommandResult to_missing = RunTarnic({"-o", dir / "no/such.png", inputs[0]});
    EXPECT_EQ(to_missing.status, 1);
    EXPECT_NE(to_missing.err.find("unable to write"), std::string::npos);
}

TEST_F(Tarnic, TiffInputLeavesOnlyRealMessagesOnStandardError) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(8, 8, 1), test_support::MakeRgb16(8, 8, 2)});
    const CommandResult clean = Stack({"-o", dir / "o.tif"}, inputs);
    EXPECT_EQ(clean.status, 0);
    EXPECT_EQ(clean.err, "output " + dir / "o.tif" + "\n");

    const std::string whole = test_support::ReadFile(inputs[0]);
    test_support::WriteFile(dir / "cut.tif", whole.substr(0, 100));
    const CommandResult cut = Stack({"-o", dir / "o.tif"}, {dir / "cut.tif", inputs[1]});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.err.find("unknown tag"), std::string::npos);
    EXPECT_NE(cut.err.find("TIFFReadDirectory"), std::string::npos) << cut.err;
    EXPECT_NE(cut.out.find("Unable to load Frame \"" + dir / "cut.tif" + "\".\n"), std::string::npos);
}

// A bitmap of FreeImage type `type` (every sample a mid value) saved as path.
void WriteBitmapOfType(const std::string& path, FREE_IMAGE_TYPE type, unsigned w, unsigned h) {
    FIBITMAP* bitmap = FreeImage_AllocateT(type, w, h);
    ASSERT_NE(bitmap, nullptr);
    const unsigned pitch = FreeImage_GetPitch(bitmap);
    for (unsigned y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap, y);
        if (type == FIT_RGBF) {
            float* f = reinterpret_cast<float*>(line);
            for (unsigned i = 0; i < 3 * w; ++i) f[i] = 0.25f;
        } else {
            for (unsigned i = 0; i < pitch; ++i) line[i] = 0x40;
        }
    }
    const bool saved = FreeImage_Save(FreeImage_GetFIFFromFilename(path.c_str()), bitmap, path.c_str(), 0);
    FreeImage_Unload(bitmap);
    ASSERT_TRUE(saved) << path;
}

// Inputs a camera, a card reader or a download may leave behind: each gets a
// clear message and an exit status, and no output file is left half written.
TEST_F(Tarnic, BadInputsGetAMessageAndNoPartialOutput) {
    const auto good = WriteFrames("good", {test_support::MakeRgb16(40, 30, 5000)}, ".png");
    const std::string png = test_support::ReadFile(good[0]);
    WriteFrames("tif", {test_support::MakeRgb16(40, 30, 5000)}, ".tif");
    const std::string tif = test_support::ReadFile(dir / "tif0.tif");
    FIBITMAP* grey = FreeImage_Allocate(64, 64, 24);
    ASSERT_TRUE(FreeImage_Save(FIF_JPEG, grey, (dir / "j.jpg").c_str(), 0));
    FreeImage_Unload(grey);
    const std::string jpg = test_support::ReadFile(dir / "j.jpg");
    test_support::WriteFile(dir / "empty.png", "");
    test_support::WriteFile(dir / "cut.png", png.substr(0, png.size() / 2));
    test_support::WriteFile(dir / "cut.jpg", jpg.substr(0, 200));
    test_support::WriteFile(dir / "cut.tif", tif.substr(0, 64));
    test_support::WriteFile(dir / "notes.txt", "clouds all night\n");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir / "nowhere.png").c_str(), (dir / "dangling.png").c_str()), 0);
    test_support::WriteFile(dir / "huge.ppm", "P6\n100000 100000\n65535\n");
    test_support::WriteFile(dir / "short.ppm", "P6\n40 30\n65535\n" + std::string(1000, 'x'));
    WriteBitmapOfType(dir / "float.tif", FIT_RGBF, 8, 8);

    const struct {
        std::string input, message;
    } cases[] = {
        {dir / "empty.png", "file " + dir / "empty.png" + " is not supported\n"},
        {dir / "cut.png", "PNG Format\nRead error: invalid or corrupted PNG file\n"},
        {dir / "cut.jpg", "JPEG"},
        {dir / "cut.tif", "TIFF"},
        {dir / "notes.txt", "file " + dir / "notes.txt" + " is not supported\n"},
        {dir.path, "file " + dir.path + " does not exist\n"},
        {dir / "fifo", "file " + dir / "fifo" + " does not exist\n"},
        {dir / "dangling.png", "file " + dir / "dangling.png" + " does not exist\n"},
        {dir / "huge.ppm", "file " + dir / "huge.ppm" + " is too large\n"},
        {dir / "short.ppm", "file " + dir / "short.ppm" + " is truncated\n"},
        {dir / "float.tif", "Failed to convert bitmap "},
    };
    for (const auto& c : cases)
        for (const char* type : {"n", "t", "a"}) {
            const CommandResult r = RunTarnic({"-t", type, "-o", dir / "out.png", c.input});
            EXPECT_EQ(r.status, 1) << c.input;
            EXPECT_NE(r.err.find(c.message), std::string::npos) << c.input << ": " << r.err;
            EXPECT_NE(r.err.find("no frame could be stacked\n"), std::string::npos) << c.input;
            EXPECT_NE(r.out.find("Unable to load Frame \"" + c.input + "\".\n"), std::string::npos) << c.input;
            EXPECT_EQ(r.err.find("unknown tag"), std::string::npos);
            EXPECT_FALSE(test_support::FileExists(dir / "out.png"));
        }
    // Beside a good frame, each bad one is skipped and the good one stacked.
    std::vector<std::string> all{good[0]};
    for (const auto& c : cases) all.push_back(c.input);
    const CommandResult r = Stack({"-o", dir / "out.ppm"}, all);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadRgb16(dir / "out.ppm").samples[0], 5000);
}

TEST_F(Tarnic, OddButValidFramesStack) {
    WriteBitmapOfType(dir / "rgba.png", FIT_RGBA16, 6, 4);  // alpha is dropped
    const auto tiny = WriteFrames("tiny", {test_support::MakeRgb16(1, 1, 777), test_support::MakeRgb16(1, 1, 779)});
    for (const char* type : {"n", "t", "a"}) {
        const CommandResult rgba = RunTarnic({"-t", type, "-o", dir / "o.ppm", dir / "rgba.png"});
        ASSERT_EQ(rgba.status, 0) << rgba.err;
        EXPECT_EQ(ReadRgb16(dir / "o.ppm").samples, std::vector<uint16_t>(6 * 4 * 3, 0x4040)) << type;
        const CommandResult one = Stack({"-t", type, "-o", dir / "o.ppm"}, tiny);
        ASSERT_EQ(one.status, 0) << one.err;
        // Aligned: no stars to align on, so the first frame alone.
        const uint16_t expected = std::string(type) == "t" ? 779 : std::string(type) == "n" ? 778 : 777;
        EXPECT_EQ(ReadRgb16(dir / "o.ppm").samples[0], expected) << type;
    }
}

TEST_F(Tarnic, FramesOfMixedSizesInEveryMode) {
    const auto inputs = WriteFrames("m", {test_support::MakeRgb16(30, 20, 1000), test_support::MakeRgb16(20, 30, 9000),
                                          test_support::MakeRgb16(30, 20, 3000)});
    for (const char* type : {"n", "t"}) {
        const CommandResult r = Stack({"-t", type, "-o", dir / "o.ppm"}, inputs);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Frame \"" + inputs[1] + "\" rejected.\n"), std::string::npos);
        EXPECT_EQ(ReadRgb16(dir / "o.ppm").samples[0], std::string(type) == "t" ? 3000 : 2000);
    }
    // Aligned: starless frames are not aligned, the first frame's grid stays.
    const CommandResult a = Stack({"-t", "a", "-o", dir / "o.ppm"}, inputs);
    ASSERT_EQ(a.status, 0) << a.err;
    const Rgb16 out = ReadRgb16(dir / "o.ppm");
    EXPECT_EQ(out.width, 30u);
    EXPECT_EQ(out.samples[0], 1000);
}

// An aligned stack of generated frames with known motion, made once.
class AlignedRun : public ::testing::Test {
protected:
    static constexpr int kFrames = 8;
    static void SetUpTestSuite() {
        dir = new TempDir;
        test_support::RunStarfield({"-n", std::to_string(kFrames), "-W", "800", "-H", "600", "-S", "2000",
                                    "-b", "4000,60000", "-r", "3", "-x", "100", "-s", "31",
                                    "-T", *dir / "truth.txt", *dir / "f%d.tif"});
        std::vector<std::string> args{"-t", "a", "-o", *dir / "stack.tif"};
        for (int k = 0; k < kFrames; ++k) args.push_back(*dir / ("f" + std::to_string(k) + ".tif"));
        run = new CommandResult(RunTarnic(args));
    }
    static void TearDownTestSuite() {
        delete run;
        delete dir;
    }
    static TempDir* dir;
    static CommandResult* run;
};
TempDir* AlignedRun::dir = nullptr;
CommandResult* AlignedRun::run = nullptr;

// The transforms a run printed, in frame order.
std::vector<std::array<double, 3>> PrintedTransforms(const std::string& out) {
    std::vector<std::array<double, 3>> found;
    size_t at = 0;
    while ((at = out.find("Rotate ", at)) != std::string::npos) {
        std::array<double, 3> t;
        if (std::sscanf(out.c_str() + at, "Rotate %lf degrees around (0,0), Translate (%lf, %lf)", &t[0], &t[1], &t[2]) == 3)
            found.push_back(t);
        ++at;
    }
    return found;
}


// Where a transform takes reference position (x, y) back into the frame.
std::array<double, 2> IntoFrame(const std::array<double, 3>& t, double x, double y) {
    const double a = t[0] * std::acos(-1.0) / 180, c = std::cos(a), s = std::sin(a);
    return {c * (x - t[1]) + s * (y - t[2]), -s * (x - t[1]) + c * (y - t[2])};
}

TEST_F(AlignedRun, PrintsEveryFramesTransformToWithinAThirdOfAPixel) {
    ASSERT_EQ(run->status, 0) << run->err;
    const auto printed = PrintedTransforms(run->out);
    const auto truth = test_support::ReadTransforms(*dir / "truth.txt");
    ASSERT_EQ(printed.size(), size_t(kFrames - 1));
    for (int k = 1; k < kFrames; ++k) {
        // The two rigid maps differ most at a corner of the frame.
        for (auto [x, y] : {std::pair{0.0, 0.0}, {799.0, 0.0}, {0.0, 599.0}, {799.0, 599.0}}) {
            const auto a = IntoFrame(printed[k - 1], x, y), b = IntoFrame(truth[k], x, y);
            EXPECT_LT(std::hypot(a[0] - b[0], a[1] - b[1]), 0.3) << "frame " << k << " at " << x << "," << y;
        }
    }
}

// Robust spread of the green samples of the central region: stars are outliers.
double BackgroundNoise(const Rgb16& img) {
    std::vector<double> v;
    for (unsigned y = 150; y < 450; ++y)
        for (unsigned x = 200; x < 600; ++x) v.push_back(img.at(x, y, 1));
    return star_measure::RobustSpread(v);
}

// Stars are found while frames load, yet each frame's lines come in the
// order of a one-frame-at-a-time run: what loading said, the frame's name,
// then the star search, then the fit.
TEST_F(AlignedRun, PrintsEachFramesLinesInTheirOrder) {
    ASSERT_EQ(run->status, 0) << run->err;
    std::vector<std::string> lines;
    std::istringstream out(run->out);
    for (std::string line; std::getline(out, line);)
        if (line.rfind("Remapping", 0) != 0) lines.push_back(line);
    size_t at = 0;
    for (int k = 0; k < kFrames; ++k) {
        const std::string name = *dir / ("f" + std::to_string(k) + ".tif");
        ASSERT_LT(at + 4, lines.size());
        EXPECT_EQ(lines[at++].rfind("image_type = ", 0), 0u) << k;
        EXPECT_EQ(lines[at++], "Image " + std::to_string(k) + " - \"" + name + "\"");
        EXPECT_EQ(lines[at++], "Blur");
        EXPECT_EQ(lines[at++], "Scan for stars");
        EXPECT_EQ(lines[at].rfind(k == 0 ? "Found " : "Fitting ", 0), 0u) << lines[at];
        while (at < lines.size() && lines[at].rfind("image_type = ", 0) != 0 && lines[at] != "Post processing") ++at;
    }
    ASSERT_LT(at, lines.size());
    EXPECT_EQ(lines[at], "Post processing");
}

TEST_F(AlignedRun, StackedStarsStayWhereTheReferenceHasThemAndStaySharp) {
    ASSERT_EQ(run->status, 0) << run->err;
    const Rgb16 stack = ReadRgb16(*dir / "stack.tif"), single = ReadRgb16(*dir / "f0.tif");
    ASSERT_EQ(stack.width, 800u);
    auto green = [](const Rgb16& img) { return [&img](int x, int y) { return double(img.at(x, y, 1)); }; };
    std::vector<double> stack_fwhm, single_fwhm;
    // Bright stars of the reference: their peaks stand far above the sky.
    for (const auto& [x, y] : star_measure::BrightPeaks(green(single), 800, 600, 20000, 60)) {
        const auto ref = star_measure::MeasureStar(green(single), x, y);
        const auto got = star_measure::MeasureStar(green(stack), x, y);
        EXPECT_LT(std::hypot(got.x - ref.x, got.y - ref.y), 0.2) << "star at " << x << "," << y;
        single_fwhm.push_back(ref.fwhm);
        stack_fwhm.push_back(got.fwhm);
    }
    ASSERT_GT(single_fwhm.size(), 20u);
    EXPECT_LT(star_measure::Median(stack_fwhm), 1.15 * star_measure::Median(single_fwhm));
    EXPECT_LT(BackgroundNoise(stack), 1.2 / std::sqrt(double(kFrames)) * BackgroundNoise(single));
}

// The outputs of every mode, bit for bit, on a small generated set: a speed-up
// that changes a single bit fails here. The inputs are checked first, so that
// a change of the generator is told apart from a change of the stacking.
TEST_F(Tarnic, OutputsKeepTheirExactBits) {
    auto generate = [&](const std::vector<std::string>& extra, const std::string& pattern) {
        std::vector<std::string> args{"-W", "400", "-H", "300", "-p", "10", "-s", "77"};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(dir / pattern);
        test_support::RunStarfield(args);
    };
    generate({"-n", "4", "-S", "600", "-b", "4000,60000", "-r", "2", "-x", "30"}, "m%d.ppm");
    generate({"-n", "4", "-S", "300", "-R", "0.5"}, "t%d.ppm");
    generate({"-D", "-n", "2"}, "d%d.ppm");
    const std::vector<std::string> inputs = test_support::ListFiles(dir.path, ".ppm");  // d, m, t
    ASSERT_EQ(inputs.size(), 10u);
    const std::vector<std::string> m = {dir / "m0.ppm", dir / "m1.ppm", dir / "m2.ppm", dir / "m3.ppm"};
    const std::vector<std::string> t = {dir / "t0.ppm", dir / "t1.ppm", dir / "t2.ppm", dir / "t3.ppm"};
    const std::vector<std::string> darks = {"-d", dir / "d0.ppm", "-d", dir / "d1.ppm"};

    std::string all_inputs;
    for (const std::string& f : inputs) all_inputs += test_support::ReadFile(f);
    test_support::WriteFile(dir / "inputs.bin", all_inputs);
    ASSERT_EQ(test_support::Sha256(dir / "inputs.bin"),
              "04d5ae572734599a3f00bcf38f75b3300982a4f9361119456277bdbc5dae668a")
        << "the generator's frames changed: record the outputs' hashes again";

    auto options = [&](std::vector<std::string> head, const std::vector<std::string>& files) {
        head.insert(head.end(), files.begin(), files.end());
        return head;
    };
    // Every merge type with and without the master dark; the hashes of the
    // first three types are those of the first single-threaded version.
    const struct {
        std::vector<std::string> options;
        const std::vector<std::string>& frames;
        const char* hash;
    } runs[] = {
        {options({"-t", "n"}, darks), m, "df707a46edfa8638e60615a41ef211da2982e84a307bcc11137a3cd9ca807bcb"},
        {{"-t", "n"}, m, "0f1d651da53411968efb32d0c6b6a22c759044b7cd9be4fb7f2761a515b97b14"},
        {options({"-t", "a"}, darks), m, "9d73219f532097801e726c8bca195598902227a6457e040c564922c239658480"},
        {{"-t", "a"}, m, "96380bd773797425d3830afc8c34eff712f6f4695783789dbbb37537fa128aaf"},
        {{"-t", "t"}, t, "aac70733a39ddd2a17e6f7e5a3de5b86b0bcfda06f3abf61915e8e42230a8f10"},
        {options({"-t", "t"}, darks), t, "e4bc81fe64677f8451775c9e14b73cb6340a9bed7afe422b1299a19361e9d714"},
        {{"-t", "s"}, m, "a387930134d1ae0ed680f1adf34ccbc589a16a14e42a17c50f626835b166b2c8"},
        {options({"-t", "n", "-r", "3"}, darks), m, "f1d52600b8cc1fe97a66557fe4057275d19ccf5f7afcb1906845c322496a88d4"},
    };
    for (const auto& run : runs) {
        const std::vector<std::string> args = options(options(run.options, {"-o", dir / "out.ppm"}), run.frames);
        ASSERT_EQ(RunTarnic(args).status, 0);
        EXPECT_EQ(test_support::Sha256(dir / "out.ppm"), run.hash) << args[1] << " " << args.size();
    }
    // PNG at its fastest level holds the very samples of the PPM.
    ASSERT_EQ(RunTarnic(options({"-o", dir / "out.png"}, m)).status, 0);
    ASSERT_EQ(RunTarnic(options({"-o", dir / "out.ppm"}, m)).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "out.png").samples, ReadRgb16(dir / "out.ppm").samples);
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

namespace {

// A FITS file from its header cards (each padded to 80 characters, END added
// unless `end` is false, the header padded to 2880 bytes) and `data` bytes.
std::string FitsFile(const std::vector<std::string>& cards, size_t data, bool end = true) {
    std::string header;
    for (const std::string& card : cards) header += card + std::string(80 - card.size(), ' ');
    if (end) header += "END" + std::string(77, ' ');
    header += std::string((2880 - header.size() % 2880) % 2880, ' ');
    return header + std::string(data, '\0');
}

std::vector<std::string> Cards(const std::string& bitpix, const std::vector<std::string>& axes) {
    std::vector<std::string> cards{"SIMPLE  =                    T", "BITPIX  = " + bitpix,
                                   "NAXIS   = " + std::to_string(axes.size())};
    for (size_t i = 0; i < axes.size(); ++i) cards.push_back("NAXIS" + std::to_string(i + 1) + "  = " + axes[i]);
    return cards;
}

TEST_F(Tarnic, BadFitsFilesGetAMessageAndNoOutput) {
    const struct {
        const char* name;
        std::string content, message;
    } cases[] = {
        {"cut.fits", FitsFile(Cards("16", {"40", "30"}), 1000), "is truncated"},
        {"naxis0.fits", FitsFile(Cards("16", {}), 0), "holds no image"},
        {"naxis1.fits", FitsFile(Cards("16", {"40"}), 2880), "has 1 axes, not 2 or 3"},
        {"naxis4.fits", FitsFile(Cards("16", {"4", "4", "3", "2"}), 2880), "has 4 axes, not 2 or 3"},
        {"planes.fits", FitsFile(Cards("16", {"4", "4", "2"}), 2880), "has a third axis of 2, not 3"},
        {"negative.fits", FitsFile(Cards("16", {"-40", "30"}), 2880), "FITS"},
        {"huge.fits", FitsFile(Cards("16", {"200000", "200000"}), 2880), "is too large"},
        {"noend.fits", FitsFile(Cards("16", {"4", "4"}), 2880, false), "FITS"},
        {"bitpix0.fits", FitsFile(Cards("0", {"4", "4"}), 2880), "FITS"},
    };
    for (const auto& c : cases) {
        test_support::WriteFile(dir / c.name, c.content);
        const CommandResult r = RunTarnic({"-o", dir / "out.fits", dir / c.name});
        EXPECT_EQ(r.status, 1) << c.name;
        EXPECT_NE(r.err.find("file " + dir / c.name + " "), std::string::npos) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.name << ": " << r.err;
        EXPECT_NE(r.out.find("Unable to load Frame \"" + dir / c.name + "\".\n"), std::string::npos) << c.name;
        EXPECT_FALSE(test_support::FileExists(dir / "out.fits")) << c.name;
    }
}

// A FITS result holds the pixels the PNG result holds, the right way up.
TEST_F(Tarnic, FitsResultHoldsThePixelsOfThePngResult) {
    Rgb16 picture = test_support::MakeRgb16(5, 4, 100);
    picture.at(0, 0, 0) = 60000;  // a red top-left corner
    picture.at(4, 3, 2) = 30000;  // a blue bottom-right corner
    const auto input = WriteFrames("c", {picture}, ".png");
    ASSERT_EQ(Stack({"-o", dir / "o.png"}, input).status, 0);
    const CommandResult r = Stack({"-o", dir / "o.FITS"}, input);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test_support::ReadFile(dir / "o.FITS").substr(0, 9), "SIMPLE  =");
    // Read back through cfitsio directly: three planes, bottom row first.
    fitsfile* f = nullptr;
    int status = 0, any = 0;
    std::vector<unsigned short> planes(5 * 4 * 3);
    long first[3] = {1, 1, 1};
    ASSERT_EQ(fits_open_diskfile(&f, (dir / "o.FITS").c_str(), READONLY, &status), 0);
    fits_read_pix(f, TUSHORT, first, long(planes.size()), nullptr, planes.data(), &any, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    const Rgb16 png = ReadRgb16(dir / "o.png");
    for (unsigned c = 0; c < 3; ++c)
        for (unsigned y = 0; y < 4; ++y)
            for (unsigned x = 0; x < 5; ++x)
                EXPECT_EQ(planes[(c * 4 + (3 - y)) * 5 + x], png.at(x, y, c)) << c << " " << x << "," << y;
    EXPECT_EQ(png.at(0, 0, 0), 60000);
    // FITS comes back in as input too.
    ASSERT_EQ(Stack({"-o", dir / "again.png"}, {dir / "o.FITS"}).status, 0);
    EXPECT_EQ(ReadRgb16(dir / "again.png").samples, png.samples);
}

// The FITS originals of the real sequences stack exactly as their PNG copies.
TEST_F(Tarnic, RealFitsFramesStackAsTheirPngCopies) {
    const std::string set = test_support::RealDataDir("iraf-stargate");
    if (set.empty()) GTEST_SKIP() << "no real data beside the project";
    const auto fits = test_support::ListFiles(set + "/fits", ".fit");
    const auto png = test_support::ListFiles(set, ".png");
    ASSERT_EQ(fits.size(), png.size());
    for (const char* type : {"n", "t", "a"}) {
        ASSERT_EQ(Stack({"-t", type, "-o", dir / "fits.ppm"}, fits).status, 0) << type;
        ASSERT_EQ(Stack({"-t", type, "-o", dir / "png.ppm"}, png).status, 0) << type;
        EXPECT_EQ(test_support::ReadFile(dir / "fits.ppm"), test_support::ReadFile(dir / "png.ppm")) << type;
    }
    const std::string allsky = test_support::RealDataDir("umd-allsky");
    const auto sky_fits = test_support::ListFiles(allsky + "/fits", ".FIT");
    std::vector<std::string> sky_png;
    for (const std::string& f : sky_fits)
        sky_png.push_back(allsky + "/" + f.substr(f.rfind('/') + 1, 8) + ".png");
    ASSERT_EQ(Stack({"-t", "t", "-o", dir / "fits.ppm"}, sky_fits).status, 0);
    ASSERT_EQ(Stack({"-t", "t", "-o", dir / "png.ppm"}, sky_png).status, 0);
    EXPECT_EQ(test_support::ReadFile(dir / "fits.ppm"), test_support::ReadFile(dir / "png.ppm"));
}

}  // namespace

namespace {

// Ten frames of one field, clean and with two satellite trails, an aircraft
// and cosmic-ray hits (otherwise the same frames); still and moved.
class Rejection : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir = new TempDir;
        const std::vector<std::string> field{"-n", "10", "-W", "400", "-H", "300", "-S", "200", "-s", "13"};
        const std::vector<std::string> transients{"-Z", "2,6", "-A", "4", "-c", "30"};
        const std::vector<std::string> moved{"-b", "4000,60000", "-S", "400", "-r", "1", "-x", "20"};
        auto generate = [](std::vector<std::string> args, const std::vector<std::string>& extra,
                           const std::string& pattern) {
            args.insert(args.end(), extra.begin(), extra.end());
            args.push_back(*dir / pattern);
            test_support::RunStarfield(args);
        };
        generate(field, {}, "clean%d.ppm");
        generate(field, transients, "trail%d.ppm");
        std::vector<std::string> moved_field = field;
        moved_field.insert(moved_field.end(), moved.begin(), moved.end());
        generate(moved_field, {}, "mclean%d.ppm");
        generate(moved_field, transients, "mtrail%d.ppm");
    }
    static void TearDownTestSuite() { delete dir; }

    static std::vector<std::string> Frames(const std::string& stem) {
        std::vector<std::string> files;
        for (int k = 0; k < 10; ++k) files.push_back(*dir / (stem + std::to_string(k) + ".ppm"));
        return files;
    }
    // The stack of stem's frames with the options; fails the test on error.
    static Rgb16 Stacked(std::vector<std::string> options, const std::string& stem, std::string* out = nullptr) {
        const std::string path = *dir / "stack.ppm";
        options.insert(options.end(), {"-o", path});
        const auto files = Frames(stem);
        options.insert(options.end(), files.begin(), files.end());
        const CommandResult r = RunTarnic(options);
        EXPECT_EQ(r.status, 0) << r.err;
        if (out) *out = r.out;
        return ReadRgb16(path);
    }
    static TempDir* dir;
};
TempDir* Rejection::dir = nullptr;

std::vector<double> Green(const Rgb16& img) {
    std::vector<double> v;
    for (unsigned y = 0; y < img.height; ++y)
        for (unsigned x = 0; x < img.width; ++x) v.push_back(img.at(x, y, 1));
    return v;
}

// The largest difference between a clipped stack of trail frames and the mean
// of the clean frames, over the sky away from stars and from a margin of the
// edges (where moved frames leave fewer values), in units of the clean
// stack's noise.
double WorstSkyDifference(const Rgb16& clipped, const Rgb16& clean, unsigned margin = 8) {
    const std::vector<double> sky = Green(clean);
    const double noise = star_measure::RobustSpread(sky), level = star_measure::Median(sky);
    double worst = 0;
    for (unsigned y = margin; y + margin < clean.height; ++y)
        for (unsigned x = margin; x + margin < clean.width; ++x) {
            if (clean.at(x, y, 1) > level + 4 * noise) continue;  // a star
            for (unsigned c = 0; c < 3; ++c)
                worst = std::max(worst, std::fabs(double(clipped.at(x, y, c)) - clean.at(x, y, c)) / noise);
        }
    return worst;
}

TEST_F(Rejection, KeepsTrailsAndHitsOutOfTheMean) {
    const Rgb16 clean = Stacked({}, "clean");
    std::string printed;
    const Rgb16 clipped = Stacked({"-r", "3"}, "trail", &printed);
    EXPECT_NE(printed.find("Rejected "), std::string::npos);
    EXPECT_LT(WorstSkyDifference(clipped, clean), 3.0);
    EXPECT_GT(WorstSkyDifference(Stacked({}, "trail"), clean), 30.0);  // the plain mean keeps them
}

TEST_F(Rejection, KeepsTrailsOutOfAnAlignedMean) {
    const Rgb16 clean = Stacked({"-t", "a"}, "mclean");
    const Rgb16 clipped = Stacked({"-t", "a", "-r", "3"}, "mtrail");
    EXPECT_LT(WorstSkyDifference(clipped, clean, 30), 3.0);  // frames moved by up to 20 px and 1 degree
    const Rgb16 star_clean = Stacked({"-t", "s"}, "mclean");
    const Rgb16 star_clipped = Stacked({"-t", "s", "-r", "3"}, "mtrail");
    EXPECT_LT(WorstSkyDifference(star_clipped, star_clean, 30), 3.0);
}

TEST_F(Rejection, CostsLittleNoiseAndNoStarlightOnCleanFrames) {
    const Rgb16 plain = Stacked({}, "clean"), clipped = Stacked({"-r", "3"}, "clean");
    const double noise = star_measure::RobustSpread(Green(plain));
    // Ten frames leave nine others to judge each value by; their spread is
    // itself uncertain, which costs some noise (less with more frames).
    EXPECT_LT(star_measure::RobustSpread(Green(clipped)), 1.10 * noise);
    const double sky = star_measure::Median(Green(plain));
    auto green = [](const Rgb16& img) { return [&img](int x, int y) { return double(img.at(x, y, 1)); }; };
    double plain_flux = 0, clipped_flux = 0;
    for (const auto& [x, y] : star_measure::BrightPeaks(green(plain), 400, 300, sky + 3000, 8))
        for (int j = -3; j <= 3; ++j)
            for (int i = -3; i <= 3; ++i) {
                plain_flux += plain.at(x + i, y + j, 1) - sky;
                clipped_flux += clipped.at(x + i, y + j, 1) - sky;
            }
    ASSERT_GT(plain_flux, 0);
    EXPECT_NEAR(clipped_flux / plain_flux, 1.0, 0.01);
}

TEST_F(Rejection, RefusesAKappaThatIsNoPositiveNumber) {
    for (const char* kappa : {"0", "-2", "x", "3x", "", "nan", "inf"}) {
        const CommandResult r = RunTarnic({"-r", kappa, "-o", *dir / "never.ppm", *dir / "clean0.ppm"});
        EXPECT_EQ(r.status, 1) << kappa;
        EXPECT_EQ(r.out, "") << kappa;  // nothing was read
        EXPECT_NE(r.err.find("-r needs a positive number"), std::string::npos) << kappa << ": " << r.err;
        EXPECT_FALSE(test_support::FileExists(*dir / "never.ppm"));
    }
}

TEST_F(Rejection, DoesNotApplyToStarTrailsButToTheirDarks) {
    const auto frames = Frames("trail");
    const CommandResult r = RunTarnic({"-t", "t", "-r", "3", "-o", *dir / "t.ppm", frames[0], frames[2]});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("-r does not apply to star trails (-t t)"), std::string::npos) << r.err;
    ASSERT_EQ(RunTarnic({"-t", "t", "-o", *dir / "plain.ppm", frames[0], frames[2]}).status, 0);
    EXPECT_EQ(test_support::ReadFile(*dir / "t.ppm"), test_support::ReadFile(*dir / "plain.ppm"));
    // Three darks, one of them crossed by a trail: the master dark leaves it out.
    const CommandResult d = RunTarnic({"-r", "3", "-d", frames[2], "-d", frames[0], "-d", frames[1],
                                       "-d", frames[3], "-o", *dir / "d.ppm", frames[5]});
    EXPECT_EQ(d.status, 0);
    EXPECT_EQ(test_support::CountOf(d.out, "Rejected "), 2u) << d.out;
}

}  // namespace

namespace {

// The grid RMS, over a w x h frame, of the distance between where two
// transforms (degrees, tx, ty) take a frame position.
double GridRms(const std::array<double, 3>& a, const std::array<double, 3>& b, double w, double h) {
    const double k = 57.2957795131, ca = std::cos(a[0] / k), sa = std::sin(a[0] / k);
    const double cb = std::cos(b[0] / k), sb = std::sin(b[0] / k);
    double squares = 0;
    int n = 0;
    for (double y = 0; y <= h; y += h / 20)
        for (double x = 0; x <= w; x += w / 20) {
            const double dx = (ca * x - sa * y + a[1]) - (cb * x - sb * y + b[1]);
            const double dy = (sa * x + ca * y + a[2]) - (sb * x + cb * y + b[2]);
            squares += dx * dx + dy * dy;
            ++n;
        }
    return std::sqrt(squares / n);
}

// Frames of one field, turned by up to 180 degrees about their centres and
// shifted, 30 % of their stars replaced, with hot pixels.
class StarAligned : public ::testing::Test {
protected:
    std::vector<std::string> Generate(const std::string& stem, std::vector<std::string> light, int frames = 6) {
        std::vector<std::string> args{"-n", std::to_string(frames), "-W", "1000", "-H", "800", "-S", "1500",
                                      "-a", "180", "-x", "100", "-X", "0.3", "-p", "60", "-s", "41",
                                      "-T", dir / (stem + ".txt")};
        args.insert(args.end(), light.begin(), light.end());
        args.push_back(dir / (stem + "%d.tif"));
        test_support::RunStarfield(args);
        std::vector<std::string> files;
        for (int k = 0; k < frames; ++k) files.push_back(dir / (stem + std::to_string(k) + ".tif"));
        return files;
    }
    TempDir dir;
};

TEST_F(StarAligned, FitsEveryFrameAtAnyAngleToAFiftiethOfAPixel) {
    for (const auto& [stem, light] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"linear", {"-k", "300", "-b", "250,3000"}}, {"bright", {"-k", "2000", "-b", "2000,60000", "-F", "rgb8"}}}) {
        const auto files = Generate(stem, light);
        std::vector<std::string> args{"-t", "s", "-o", dir / "s.ppm"};
        args.insert(args.end(), files.begin(), files.end());
        const CommandResult r = RunTarnic(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err.find("left out"), std::string::npos) << r.err;
        EXPECT_NE(r.out.find("6 of 6 frames stacked\n"), std::string::npos) << stem;
        const auto printed = PrintedTransforms(r.out);
        const auto truth = test_support::ReadTransforms(dir / (stem + ".txt"));
        ASSERT_EQ(printed.size(), 5u) << stem;
        for (size_t k = 1; k < truth.size(); ++k)
            EXPECT_LT(GridRms(printed[k - 1], truth[k], 1000, 800), 0.02) << stem << " frame " << k;
        EXPECT_EQ(test_support::CountOf(r.out, "Matched "), 5u);
    }
}

TEST_F(StarAligned, LinearFramesThatThePatternMatcherCannotUse) {
    // -t a finds too few stars in faint linear data and stacks the first frame alone.
    const auto files = Generate("linear", {"-k", "300", "-b", "250,3000"}, 3);
    std::vector<std::string> args{"-t", "a", "-o", dir / "a.ppm"};
    args.insert(args.end(), files.begin(), files.end());
    const CommandResult r = RunTarnic(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("1 of 3 frames stacked\n"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("2 of 3 frames could not be aligned and were left out (try -t s)\n"), std::string::npos)
        << r.err;
}

TEST_F(StarAligned, LeavesOutAnUnrelatedFieldAndFramesBeforeTheReference) {
    const auto field = Generate("field", {"-b", "1000,40000"}, 4);
    // Another part of the sky, and a starless frame first.
    test_support::RunStarfield({"-n", "1", "-W", "1000", "-H", "800", "-S", "1500", "-b", "1000,40000", "-s", "99",
                                dir / "other%d.tif"});
    test_support::RunStarfield({"-n", "1", "-W", "1000", "-H", "800", "-S", "0", "-s", "5", dir / "clouds%d.tif"});
    std::vector<std::string> args{"-t", "s", "-o", dir / "s.ppm", dir / "clouds0.tif", field[0], field[1],
                                  dir / "other0.tif", field[2], field[3]};
    const CommandResult r = RunTarnic(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Found 0 stars, too few to align on: frame left out\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Image 3 - \"" + dir / "other0.tif" + "\"\nFitting "), std::string::npos);
    EXPECT_EQ(test_support::CountOf(r.out, "Unable to align the frame: "), 1u) << r.out;
    EXPECT_EQ(test_support::CountOf(r.out, "Matched "), 3u);
    EXPECT_NE(r.out.find("4 of 6 frames stacked\n"), std::string::npos);
    EXPECT_NE(r.err.find("2 of 6 frames could not be aligned and were left out\n"), std::string::npos) << r.err;
    // The reference is the grid of the result: the first field frame's size.
    EXPECT_EQ(ReadRgb16(dir / "s.ppm").width, 1000u);
}

// The real CCD frames: every later frame fitted, close to astroalign's
// transforms (which hold a scale of 1.0002 to 1.0009 besides).
TEST_F(StarAligned, FitsEveryFrameOfTheRealCcdSequence) {
    const std::string set = test_support::RealDataDir("iraf-stargate");
    if (set.empty()) GTEST_SKIP() << "no real data beside the project";
    const auto files = test_support::ListFiles(set, ".png");
    std::vector<std::string> args{"-t", "s", "-o", dir / "s.ppm"};
    args.insert(args.end(), files.begin(), files.end());
    const CommandResult r = RunTarnic(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("10 of 10 frames stacked\n"), std::string::npos) << r.out;
    const auto printed = PrintedTransforms(r.out);
    ASSERT_EQ(printed.size(), 9u);
    // Lines "file rot_deg tx ty scale matches rms secs" below '#' comments.
    std::vector<std::array<double, 3>> astroalign;
    std::istringstream table(test_support::ReadFile(set + "/astroalign_transforms.txt"));
    std::string line, file;
    while (std::getline(table, line)) {
        std::array<double, 3> t;
        std::istringstream fields(line);
        if (line[0] != '#' && fields >> file >> t[0] >> t[1] >> t[2]) astroalign.push_back(t);
    }
    ASSERT_EQ(astroalign.size(), 9u);
    for (size_t k = 0; k < 9; ++k) EXPECT_LT(GridRms(printed[k], astroalign[k], 752, 581), 0.6) << "frame " << k + 2;
}

}  // namespace
