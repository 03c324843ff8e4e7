// Calibration with bias, dark and flat frames: the flat's gain, lights that
// come out as their signal, darks scaled by exposure, and the inputs that
// stop a run.
#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "stack/calibration_masters.h"
#include "support.h"

namespace {

using quen_merge::FlatToGain;
using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;

// A 4 x 4 flat whose central 2 x 2 pixels have the levels 0.4 (blue), 0.5
// (green), 0.8 (red); pixel (0, 0) is unlit in green.
FloatImage TestFlat() {
    FloatImage flat(4, 4, 3);
    const float levels[3] = {0.4f, 0.5f, 0.8f};
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x)
            for (int c = 0; c < 3; ++c) flat.Pixel(x, y)[c] = levels[c] * (x == 3 ? 0.5f : 1.0f);
    flat.Pixel(0, 0)[1] = 0.04f;  // below a tenth of 0.5
    return flat;
}

TEST(FlatToGain, DividesByTheCentralLevelAndLeavesUnlitPixelsAlone) {
    FloatImage flat = TestFlat();
    int channel = -1;
    EXPECT_EQ(FlatToGain(flat, channel), 1);
    const struct {
        uint32_t x, y;
        float blue, green, red;
    } cases[] = {
        {1, 1, 1.0f, 1.0f, 1.0f},  // at the level
        {3, 2, 2.0f, 2.0f, 2.0f},  // half the light: twice the gain
        {0, 0, 1.0f, 1.0f, 1.0f},  // unlit in one channel: every channel left as it is
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + "," + std::to_string(c.y));
        EXPECT_FLOAT_EQ(flat.Pixel(c.x, c.y)[0], c.blue);
        EXPECT_FLOAT_EQ(flat.Pixel(c.x, c.y)[1], c.green);
        EXPECT_FLOAT_EQ(flat.Pixel(c.x, c.y)[2], c.red);
    }

    FloatImage dark_red = TestFlat();
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 4; ++x) dark_red.Pixel(x, y)[2] = -0.001f;
    EXPECT_EQ(FlatToGain(dark_red, channel), -1);
    EXPECT_EQ(channel, 2);
}

class Calibration : public test_support::StackTest {
protected:
    static constexpr unsigned kWidth = 24, kHeight = 16;
    static constexpr uint16_t kBias = 1000;

    // bias + column pattern + dark + signal x vignetting, per sample.
    Rgb16 Frame(double signal, double dark, double hot) const {
        Rgb16 p = test_support::MakeRgb16(kWidth, kHeight, 0);
        for (unsigned y = 0; y < kHeight; ++y)
            for (unsigned x = 0; x < kWidth; ++x)
                for (unsigned c = 0; c < 3; ++c) {
                    const double vignetting = 0.5 + 0.5 * std::sin(3.14159 * (x + 0.5) / kWidth);
                    const double v = kBias + 7 * (x % 3) + dark + (x == 5 && y == 7 ? hot : 0) + signal * vignetting;
                    p.at(x, y, c) = uint16_t(std::lround(v));
                }
        return p;
    }
};

TEST_F(Calibration, VignettedLightsWithHotPixelsComeOutEven) {
    const auto bias = WriteFrames("b", {Frame(0, 0, 0)});
    const auto dark = WriteFrames("d", {Frame(0, 300, 20000)});
    const auto flat = WriteFrames("f", {Frame(30000, 0, 0)});
    const auto lights = WriteFrames("l", {Frame(8000, 300, 20000), Frame(8000, 300, 20000)});
    const std::string out = dir / "out.ppm";
    const CommandResult r = Stack({"-b", bias[0], "-d", dark[0], "-f", flat[0], "-o", out}, lights);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Averaging bias frames\n"), std::string::npos);
    EXPECT_NE(r.out.find("Averaging flat frames\n"), std::string::npos);
    const Rgb16 result = ReadRgb16(out);
    ASSERT_EQ(result.samples.size(), size_t(kWidth * kHeight * 3));
    // 8000 ADU over the flat's central level, everywhere: rounding of the
    // frames' samples aside, the vignetting, column pattern and hot pixel are gone.
    const uint16_t centre = result.at(kWidth / 2, kHeight / 2, 1);
    for (uint16_t v : result.samples) EXPECT_NEAR(v, centre, 3);
}

TEST_F(Calibration, DarksOfTwiceTheExposureAreScaledWhereABiasAllows) {
    const std::string size = "-W", width = "64", h = "-H", height = "48";
    auto make = [&](const std::string& kind, const std::string& seconds, const std::string& pattern) {
        test_support::RunStarfield({size, width, h, height, "-N", "-p", "5", "-S", "20", "-K", kind, "-E", seconds,
                                    "-n", "1", dir / pattern});
        return dir / pattern.substr(0, pattern.find('%')) + "0.fit";
    };
    const std::string light = make("light", "60", "l%d.fit"), bias = make("bias", "0", "b%d.fit");
    const std::string dark60 = make("dark", "60", "d%d.fit"), dark120 = make("dark", "120", "e%d.fit");
    const std::string right = dir / "right.fit", scaled = dir / "scaled.fit", unscaled = dir / "unscaled.fit";
    ASSERT_EQ(Stack({"-d", dark60, "-o", right}, {light}).status, 0);
    const CommandResult s = Stack({"-b", bias, "-d", dark120, "-o", scaled}, {light});
    ASSERT_EQ(s.status, 0) << s.err;
    EXPECT_NE(s.out.find("Dark frames scaled by 0.5 to the lights' exposure (60 s, darks 120 s)\n"),
              std::string::npos);
    EXPECT_NE(test_support::ReadFile(scaled).find("HISTORY Dark scaled by 0.5 (darks 120 s, lights 60 s)"),
              std::string::npos);
    const Rgb16 a = ReadRgb16(right), b = ReadRgb16(scaled);
    ASSERT_EQ(a.samples.size(), b.samples.size());
    for (size_t i = 0; i < a.samples.size(); ++i) ASSERT_NEAR(a.samples[i], b.samples[i], 1) << i;

    const CommandResult u = Stack({"-d", dark120, "-o", unscaled}, {light});
    ASSERT_EQ(u.status, 0);
    EXPECT_NE(u.err.find("tarnic: the dark frames were exposed 120 s, the lights 60 s: without bias frames"),
              std::string::npos);
}

TEST_F(Calibration, InputsThatCannotCalibrateStopTheRunWithoutAResult) {
    const auto lights = WriteFrames("l", {Frame(8000, 0, 0)});
    const auto bias = WriteFrames("b", {Frame(0, 0, 0)});
    const auto narrow = WriteFrames("n", {test_support::MakeRgb16(kWidth / 2, kHeight, kBias)});
    const std::string out = dir / "out.ppm";
    const struct {
        std::vector<std::string> options;
        std::string says;
    } cases[] = {
        {{"-b", narrow[0]}, "tarnic: the master bias is 12 x 16, the light frames 24 x 16"},
        {{"-b", bias[0], "-f", narrow[0]}, "tarnic: the master flat is 12 x 16, the light frames 24 x 16"},
        {{"-b", bias[0], "-f", bias[0]}, "tarnic: the master flat has no light in its blue channel"},
        {{"-b", dir / "missing.tif"}, "tarnic: 1 of the 1 bias frames could not be used"},
        {{"-b", bias[0], "-f", bias[0], "-f", dir / "missing.tif"}, "tarnic: 1 of the 2 flat frames could not be used"},
        {{"-b", dir / "empty"}, "-b: the folder \"" + dir / "empty" + "\" holds no image files"},
        {{"-b", bias[0], "-M", dir / "nowhere"}, "-M needs an existing folder, not \"" + dir / "nowhere" + "\""},
    };
    std::filesystem::create_directory(dir / "empty");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        std::vector<std::string> options = c.options;
        options.insert(options.end(), {"-o", out});
        const CommandResult r = Stack(options, lights);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_FALSE(test_support::FileExists(out));
    }
}

// A night's workflow: a folder a kind, the masters saved once and given
// back, a flat of another filter among the flats. The masters calibrate as
// the frames they were made of did, bit for bit.
TEST_F(Calibration, FoldersAndSavedMastersCalibrateAsTheirFramesDid) {
    auto make = [&](const std::string& kind, const char* count, const std::string& folder) {
        std::filesystem::create_directory(dir / folder);
        test_support::RunStarfield({"-W", "64", "-H", "48", "-p", "5", "-S", "20", "-K", kind, "-E", "60", "-n", count,
                                    dir / (folder + "/f%d.fit")});
    };
    make("light", "2", "lights");
    make("bias", "3", "bias");
    make("dark", "2", "darks");
    make("flat", "3", "flats");
    auto set_filter = [](const std::string& path, const char* filter) {
        fitsfile* f = nullptr;
        int status = 0;
        fits_open_diskfile(&f, path.c_str(), READWRITE, &status);
        fits_update_key(f, TSTRING, "FILTER", const_cast<char*>(filter), nullptr, &status);
        fits_close_file(f, &status);
        ASSERT_EQ(status, 0) << path;
    };
    for (const char* light : {"lights/f0.fit", "lights/f1.fit"}) set_filter(dir / light, "L");
    std::filesystem::copy_file(dir / "flats/f0.fit", dir / "flats/red.fit");
    set_filter(dir / "flats/red.fit", "R");
    const std::vector<std::string> lights{dir / "lights/f0.fit", dir / "lights/f1.fit"};
    std::filesystem::create_directory(dir / "masters");

    const CommandResult made =
        Stack({"-b", dir / "bias", "-d", dir / "darks", "-f", dir / "flats", "-M", dir / "masters", "-o", dir / "a.fits"},
              lights);
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("tarnic: flat frame \"" + dir / "flats/red.fit" + "\" left out: its filter is \"R\", "
                            "the lights' \"L\"\n"),
              std::string::npos)
        << made.err;
    EXPECT_NE(test_support::ReadFile(dir / "a.fits").find("HISTORY Calibrated with 3 bias, 2 dark and 3 flat frames"),
              std::string::npos);
    const CommandResult again = Stack({"-b", dir / "masters/master_bias.fits", "-d", dir / "masters/master_dark.fits",
                                       "-f", dir / "masters/master_flat.fits", "-o", dir / "b.fits"},
                                      lights);
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("Using the master flat \"" + dir / "masters/master_flat.fits" + "\" of 3 frames\n"),
              std::string::npos);
    EXPECT_EQ(test_support::ReadFile(dir / "a.fits"), test_support::ReadFile(dir / "b.fits"));
    // A master stands alone, under its own letter.
    const CommandResult mixed = Stack({"-d", dir / "masters/master_flat.fits", "-o", dir / "c.fits"}, lights);
    EXPECT_EQ(mixed.status, 1);
    EXPECT_NE(mixed.err.find("is a master flat: give it alone, as -f"), std::string::npos) << mixed.err;
}

}  // namespace
