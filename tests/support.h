// Helpers shared by the tests: running programs, temporary folders and reading
// and writing 16-bit RGB files independently of the code under test.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/image_data.h"
#include "stars/star_types.h"

namespace test_support {

struct CommandResult {
    int status = -1;  // exit status, or -1 when the program did not exit normally
    std::string out;  // standard output
    std::string err;  // standard error
};

// Runs program with args (no shell), capturing both streams. A non-zero
// file_size_limit caps the size of every file it writes: writes beyond fail,
// or, with die_past_limit, kill the program (SIGXFSZ).
CommandResult Run(const std::string& program, const std::vector<std::string>& args,
                  unsigned long file_size_limit = 0, bool die_past_limit = false);
CommandResult RunTarnic(const std::vector<std::string>& args, unsigned long file_size_limit = 0,
                        bool die_past_limit = false);
// Runs tarnic with standard error on a pseudo-terminal (and standard output
// too when out_too): err holds what the terminal showed, control sequences
// and all (with both streams, out stays empty).
CommandResult RunTarnicOnTerminal(const std::vector<std::string>& args, bool out_too);
// Runs the star-field generator; fails the current test when it fails.
void RunStarfield(const std::vector<std::string>& args);

// A fresh folder under /tmp, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    const std::string path;
};

// A 16-bit RGB picture: samples red, green, blue per pixel, top row first.
struct Rgb16 {
    unsigned width = 0, height = 0;
    std::vector<uint16_t> samples;
    uint16_t& at(unsigned x, unsigned y, unsigned c) { return samples[(y * width + x) * 3 + c]; }
    uint16_t at(unsigned x, unsigned y, unsigned c) const {
        return samples[(y * width + x) * 3 + c];
    }
};

Rgb16 MakeRgb16(unsigned width, unsigned height, uint16_t value);
// Writes with FreeImage in the format of the extension; fails the test on error.
void WriteRgb16(const std::string& path, const Rgb16& picture);
// Writes an 8-pixel-square JPEG carrying the EXIF tags ExposureTime
// (t_num / t_den), FNumber (f_num / f_den) and ISOSpeedRatings (iso).
void WriteJpegWithExposure(const std::string& path, uint32_t t_num, uint32_t t_den,
                           uint32_t f_num, uint32_t f_den, uint16_t iso);
// tarnic's loader on path, its progress line kept off the test's output.
std::unique_ptr<quen_merge::ImageData> LoadQuietly(const std::string& path);
// Reads any file FreeImage can convert to 16-bit RGB; empty on failure.
Rgb16 ReadRgb16(const std::string& path);

std::string ReadFile(const std::string& path);
// The numbers of a text table, row by row; empty lines and lines starting with
// '#' are skipped (the generator's truth and catalogue files).
std::vector<std::vector<double>> ReadTable(const std::string& path);
// One star of the generator's catalogue: its place in the reference frame and
// its peak, ADU.
struct CatalogueStar {
    double x, y, peak;
};
std::vector<CatalogueStar> ReadCatalogue(const std::string& path);
// The distance from (x, y) to the nearest star of the catalogue.
double NearestStar(const std::vector<CatalogueStar>& catalogue, double x, double y);
// The generator's true transforms, frame by frame: degrees, tx, ty.
std::vector<std::array<double, 3>> ReadTransforms(const std::string& path);
// The stars FindStars finds in an image file (none when it does not load),
// its progress lines kept off the test's output.
std::vector<quen_merge::StarRef> StarsOfFile(const std::string& path);
// The file's SHA-256 as 64 hex digits (by sha256sum), or "" on failure.
std::string Sha256(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool FileExists(const std::string& path);
// Number of times needle occurs in haystack.
size_t CountOf(const std::string& haystack, const std::string& needle);

// A folder of generated data made once and shared by every test program that
// names it, to be read only: the first to ask runs make(folder) on a fresh
// folder, which then takes its place in one step (a racing second maker's
// folder is dropped). The place is keyed by the generator's and tarnic's
// builds, so data never outlive the code that made them. Fails the test
// when make fails.
std::string SharedData(const std::string& name, const std::function<void(const std::string& folder)>& make);

// A test with a folder of its own that writes frames there and runs tarnic
// on them.
class StackTest : public ::testing::Test {
protected:
    // Writes the frames as stem0.ext, stem1.ext, ...; their paths.
    std::vector<std::string> WriteFrames(const std::string& stem, const std::vector<Rgb16>& frames,
                                         const std::string& ext = ".tif");
    // tarnic with the options, then the inputs.
    CommandResult Stack(std::vector<std::string> options, const std::vector<std::string>& inputs);
    TempDir dir;
};

// The folder of real frame sequences beside the project, or "" when absent.
std::string RealDataDir(const std::string& set);
// Sorted paths of the files in dir whose names end in suffix.
std::vector<std::string> ListFiles(const std::string& dir, const std::string& suffix);

}  // namespace test_support
