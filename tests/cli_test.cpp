// The tarnic command line end to end: help, options, messages, exit statuses
// and the files a run leaves, through real files and the real binary.
#include <FreeImage.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support.h"

namespace {

using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;
using test_support::RunTarnic;

const char kHelpText[] =
    "Velunor 0.1.0.\n\n"
    "Usage: tarnic [options] <input1> <input2> ...\n"
    "Options:\n"
    "\t-h        : This help text\n"
    "\t-d        : add dark frame.  You may have many of these.\n"
    "\t-o <file> : Set output file.  Default is \"merged.png\".\n"
    "\t-t <type> : Set merge type.  Default is \"n\". \n"
    "\t-r <kappa>: Reject outliers: a mean without the values beyond kappa sigma of the noise.\n"
    "\t-p <file> : Also write an 8-bit preview stretched for the eye (PNG; JPEG for .jpg).\n"
    "\t-P <size> : The preview's long side in pixels.  Default is 2000.\n"
    "\t-F        : Write 32-bit floating-point samples (FITS and TIFF results).\n"
    "\t-b <file> : add bias frame.  You may have many of these.\n"
    "\t-f <file> : add flat frame.  You may have many of these.\n"
    "\t-M <dir>  : Save the bias, dark and flat masters there, to give again as -b, -d, -f.\n"
    "\t-R <file> : Also write a report of every frame: its stars' sharpness and roundness, its sky (CSV, or a page for .html).\n"
    "\t-k <rule> : Keep the best frames: 75% of them by score, or those with fwhm<3.5 or round>0.8.\n"
    "\t-w        : Weigh each frame by its sky's noise: a noisy frame counts for less.\n"
    "\t-T <dir>  : With -t t, also write the trails as they grow there, a numbered picture a frame.\n"
    "\t-g        : With -t s or -t a, keep the ground (a landscape) still: found where the frames hold it.\n"
    "\t-G <file> : As -g, the ground where the mask image is white.\n"
    "\t-C <n>    : Star trails fade to half over n frames, like comets: the newest end the brightest.\n"
    "\tMerge types:\n"
    "\t\tn : denoise/averaging.\n"
    "\t\ta : denoise/averaging with alignment.\n"
    "\t\tt : Lighten/star trails.\n"
    "\t\ts : denoise/averaging with alignment on every star, any rotation.\n"
    "\t\tc : star trails without gaps: each gap drawn along the sky's motion, the ground held still.\n"
    "\n";


class Tarnic : public test_support::StackTest {};

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
    EXPECT_EQ(r.err, err + "Stacked 6 of 12 frames: 6 could not be read\n");
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

// A typo would run another job than the one asked for: it stops the run,
// with getopt's word on it and the usage, before anything is read.
TEST_F(Tarnic, TyposStopTheRunBeforeAnythingIsRead) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(2, 2, 1000), test_support::MakeRgb16(2, 2, 3000)});
    const std::string out = dir / "o.ppm";
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"-K", "3", "-o", out, inputs[0], inputs[1]}, "invalid option -- 'K'"},
        {{"-q", "-o", out, inputs[0], inputs[1]}, "invalid option -- 'q'"},
        {{"-o", out, inputs[0], inputs[1], "-t"}, "option requires an argument -- 't'"},
    };
    for (const auto& c : cases) {
        const CommandResult r = RunTarnic(c.args);
        EXPECT_EQ(r.status, 2) << c.said;
        EXPECT_EQ(r.out, "") << c.said;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Usage: tarnic [options] <input1> <input2> ..."), std::string::npos) << r.err;
        EXPECT_FALSE(test_support::FileExists(out)) << c.said;
    }
    const CommandResult help = RunTarnic({"--help", inputs[0]});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.rfind(kHelpText, 0), 0u) << help.out;
}

// A result or preview named like one of the frames, by its own path or
// through a link, is refused before any work: the frame stays as it was.
TEST_F(Tarnic, NeverOverwritesAnInput) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(2, 2, 1000), test_support::MakeRgb16(2, 2, 3000)});
    const auto dark = WriteFrames("d", {test_support::MakeRgb16(2, 2, 10)});
    ASSERT_EQ(symlink(inputs[1].c_str(), (dir / "link.tif").c_str()), 0);
    ASSERT_EQ(symlink(inputs[1].c_str(), (dir / "link.png").c_str()), 0);
    const std::string before = test_support::ReadFile(inputs[1]);
    const std::vector<std::vector<std::string>> cases{
        {"-o", inputs[1]},
        {"-o", dir / "link.tif"},
        {"-o", dir / "o.tif", "-p", dir / "link.png"},
        {"-o", dark[0], "-d", dark[0]},
    };
    for (const auto& options : cases) {
        std::vector<std::string> args = options;
        args.insert(args.end(), inputs.begin(), inputs.end());
        const CommandResult r = RunTarnic(args);
        EXPECT_EQ(r.status, 1) << options[1];
        EXPECT_EQ(r.out, "") << options[1];
        EXPECT_NE(r.err.find("would overwrite the input"), std::string::npos) << r.err;
    }
    // Nor one of its own files with another.
    for (const auto& options : std::vector<std::vector<std::string>>{{"-o", dir / "o.png", "-p", dir / "o.png"},
                                                                    {"-o", dir / "o.csv", "-R", dir / "./o.csv"}}) {
        std::vector<std::string> args = options;
        args.insert(args.end(), inputs.begin(), inputs.end());
        const CommandResult r = RunTarnic(args);
        EXPECT_EQ(r.status, 1) << options[1];
        EXPECT_NE(r.err.find("are one file"), std::string::npos) << r.err;
    }
    EXPECT_EQ(test_support::ReadFile(inputs[1]), before);
    EXPECT_FALSE(test_support::FileExists(dir / "o.tif"));
}

// A preview is PNG or JPEG: a name that says another format is refused
// before any work, not filled with PNG data.
TEST_F(Tarnic, PreviewNamesSayItsFormat) {
    const auto inputs = WriteFrames("f", {test_support::MakeRgb16(8, 8, 1000), test_support::MakeRgb16(8, 8, 3000)});
    const CommandResult refused = RunTarnic({"-o", dir / "o.tif", "-p", dir / "p.tif", inputs[0], inputs[1]});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_NE(refused.err.find("the preview is PNG or JPEG"), std::string::npos) << refused.err;
    EXPECT_FALSE(test_support::FileExists(dir / "o.tif"));
    for (const char* name : {"p.png", "p.JPG", "p.jpeg", "p"}) {
        const CommandResult r = RunTarnic({"-o", dir / "o.tif", "-p", dir / name, inputs[0], inputs[1]});
        EXPECT_EQ(r.status, 0) << name << ": " << r.err;
        const FREE_IMAGE_FORMAT format = FreeImage_GetFileType((dir / name).c_str(), 0);
        EXPECT_EQ(format, std::string(name).find('J') != std::string::npos ||
                                  std::string(name).find("jpeg") != std::string::npos
                              ? FIF_JPEG
                              : FIF_PNG)
            << name;
    }
}

// Whether a temporary file of tarnic's lies beside name in dir.
bool TemporaryBeside(const std::string& dir, const std::string& name) {
    for (const std::string& f : test_support::ListFiles(dir, ""))
        if (f.compare(dir.size() + 1, name.size() + 2, "." + name + ".") == 0) return true;
    return false;
}

// Ctrl-C, kill or a closed terminal while the result is being written end
// the run as they would, and leave the target as it was and no temporary
// file beside it.
TEST_F(Tarnic, InterruptedWriteLeavesNothingBehind) {
    // Noise compresses slowly: the PNG takes a few tenths of a second to write.
    Rgb16 noisy = test_support::MakeRgb16(2000, 1400, 0);
    for (size_t i = 0; i < noisy.samples.size(); ++i) noisy.samples[i] = uint16_t((i * 2654435761u) >> 7);
    const auto inputs = WriteFrames("f", {noisy}, ".ppm");
    const std::string target = dir / "o.png";
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        test_support::WriteFile(target, "precious");
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            dup2(null, 2);
            execl(TARNIC_BIN, "tarnic", "-o", target.c_str(), inputs[0].c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        bool writing = false;
        for (int tries = 0; tries < 200000 && !writing; ++tries)
            if (!(writing = TemporaryBeside(dir.path, "o.png"))) usleep(50);
        kill(pid, signal_number);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(writing) << "the run never began writing";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
        EXPECT_EQ(test_support::ReadFile(target), "precious") << signal_number;
        EXPECT_FALSE(TemporaryBeside(dir.path, "o.png")) << signal_number;
    }
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

    // An output that cannot be written is found before any frame is read.
    ASSERT_EQ(chmod(dir.path.c_str(), 0500), 0);
    const bool root = access(dir.path.c_str(), W_OK) == 0;  // root writes anyway
    ASSERT_EQ(chmod(dir.path.c_str(), 0700), 0);
    const struct {
        std::string output, why;
    } unwritable[] = {
        {dir.path, "it is a folder"},
        {dir / "no/such.png", "there is no folder " + dir / "no"},
        {dir / "locked/o.png", "the folder " + dir / "locked" + " cannot be written"},
    };
    ASSERT_EQ(mkdir((dir / "locked").c_str(), 0500), 0);
    for (const auto& c : unwritable) {
        if (root && c.why.find("cannot be written") != std::string::npos) continue;
        const CommandResult r = RunTarnic({"-o", c.output, inputs[0]});
        EXPECT_EQ(r.status, 1) << c.output;
        EXPECT_EQ(r.err, "output " + c.output + "\ntarnic: cannot write \"" + c.output + "\": " + c.why + "\n");
        EXPECT_EQ(r.out, "");
    }
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
// What the program ignores or does differently from what was asked, it says
// on standard error; what it does stays as it was.
TEST_F(Tarnic, WarnsOfWhatItIgnores) {
    const auto frames = WriteFrames("f", {test_support::MakeRgb16(6, 4, 1000), test_support::MakeRgb16(6, 4, 3000)});
    const auto odd = WriteFrames("odd", {test_support::MakeRgb16(4, 6, 9000)});
    const auto odd_dark = WriteFrames("d", {test_support::MakeRgb16(4, 6, 100)});
    const std::string out = dir / "o.ppm";
    const struct {
        std::vector<std::string> options, after;  // after: inputs after the two frames
        std::string warning;
        uint16_t sample;  // the result's first sample, as without the warning
    } cases[] = {
        {{"-t", "median"}, {}, "tarnic: unknown merge type \"median\": stacking the mean (-t n)\n", 2000},
        {{"-t", "max"}, {}, "tarnic: unknown merge type \"max\": stacking the mean (-t n)\n", 2000},
        {{"-t", "average"}, {}, "tarnic: unknown merge type \"average\": stacking the aligned mean (-t a)\n", 1000},
        {{"-d", odd_dark[0]}, {odd[0]}, "tarnic: the master dark is 4 x 6, \"" + frames[0] + "\" 6 x 4: the dark is not subtracted from frames of another size\n", 2000},
        {{}, {odd[0]}, "tarnic: frame \"" + odd[0] + "\" is 4 x 6, the first frame 6 x 4: frames of another size are left out\n", 2000},
        {{}, {dir.path}, "tarnic: " + dir.path + " is a folder: name the frames in it\n", 2000},
        {{"-M", dir.path}, {}, "tarnic: -M saves nothing: no bias, dark or flat frames are given\n", 2000},
        {{"-g"}, {}, "tarnic: -g holds the ground still in an aligned stack (-t s, -t a): here every frame is held still already\n", 2000},
        {{"-o", dir / "o.jpg"}, {}, "tarnic: \"" + dir / "o.jpg" + "\" will hold PNG data: only .png, .tif/.tiff, .ppm and .fit/.fits/.fts choose a format\n", 2000},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-o", out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), frames.begin(), frames.end());
        args.insert(args.end(), c.after.begin(), c.after.end());
        const CommandResult r = RunTarnic(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find(c.warning), std::string::npos) << r.err;
        const std::string written = !c.options.empty() && c.options[0] == "-o" ? c.options[1] : out;
        EXPECT_EQ(ReadRgb16(written).samples[0], c.sample) << c.warning;
    }
    // Names of the types, and the letters alone, pass without a word.
    for (const char* type : {"n", "a", "t", "s", "trails", "align", "stars"}) {
        const CommandResult r = RunTarnic({"-t", type, "-o", out, frames[0], frames[1]});
        EXPECT_EQ(r.err.find("tarnic:"), std::string::npos) << type << ": " << r.err;
    }
}

// Unaligned stacks too say how many frames they stacked and why the others
// are not in (aligned ones resample frames of any size); a first frame of
// the odd size is named as the culprit.
TEST_F(Tarnic, EveryStackSaysWhatItLeftOut) {
    const auto small = WriteFrames("s", {test_support::MakeRgb16(4, 4, 1000)});
    const auto big = WriteFrames("b", {test_support::MakeRgb16(6, 4, 2000), test_support::MakeRgb16(6, 4, 3000)});
    for (const char* type : {"n", "t"}) {
        const CommandResult r = RunTarnic({"-t", type, "-o", dir / "o.ppm", small[0], big[0], big[1], dir / "gone.png"});
        ASSERT_EQ(r.status, 0) << type << r.err;
        EXPECT_NE(r.err.find("Stacked 1 of 4 frames: 1 could not be read, 2 of another size than 4 x 4\n"),
                  std::string::npos) << type << r.err;
        EXPECT_NE(r.err.find("tarnic: the first frame is 4 x 4, the other 2 frames 6 x 4: the first frame sets the "
                             "stack's size; name one of theirs first\n"),
                  std::string::npos) << type << r.err;
    }
}

// On a terminal, standard error carries one progress line that is redrawn
// for every frame and erased at the end; whatever else the run prints stands
// above it, whole. Off a terminal nothing of it shows, and standard output
// reaches a file line by line.
TEST_F(Tarnic, ShowsProgressOnlyOnATerminal) {
    const auto frames = WriteFrames("f", {test_support::MakeRgb16(8, 8, 1000), test_support::MakeRgb16(8, 8, 3000),
                                          test_support::MakeRgb16(8, 8, 5000)});
    const std::vector<std::string> args{"-o", dir / "o.ppm", frames[0], frames[1], dir / "missing.tif", frames[2]};
    for (const bool out_too : {false, true}) {
        const CommandResult r = test_support::RunTarnicOnTerminal(args, out_too);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.err.find("frame 1 of 4: " + frames[0]), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("frame 4 of 4: " + frames[2] + ", "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(" s per frame, about "), std::string::npos);
        // Every other line starts at the margin, after the line was erased.
        EXPECT_NE(r.err.find("\r\033[Kfile " + dir / "missing.tif" + " does not exist\r\n"), std::string::npos) << r.err;
        if (out_too) {
            EXPECT_NE(r.err.find("\r\033[KFrame \"" + frames[1] + "\" added.\r\n"), std::string::npos) << r.err;
        }
        EXPECT_GT(r.err.rfind("\r\033[K"), r.err.rfind("frame "));  // erased at the end
    }
    const CommandResult off = RunTarnic(args);
    EXPECT_EQ(off.err.find("frame 1 of"), std::string::npos);
    EXPECT_EQ(off.err.find('\r'), std::string::npos);
}

// Standard output reaches a file line by line: a run killed while it writes
// its result has already handed over every line it printed.
TEST_F(Tarnic, StandardOutputReachesAFileLineByLine) {
    const auto frames = WriteFrames("f", {test_support::MakeRgb16(64, 64, 1000), test_support::MakeRgb16(64, 64, 3000)});
    const CommandResult r = RunTarnic({"-o", dir / "o.ppm", frames[0], frames[1]}, 4096, true);
    EXPECT_EQ(r.status, -1);  // killed past the file size limit
    EXPECT_NE(r.out.find("Post processing\n"), std::string::npos) << r.out;
}

}  // namespace
