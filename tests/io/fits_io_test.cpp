#include "io/fits_io.h"

#include <FreeImage.h>
#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "io/image_io.h"
#include "support.h"

namespace {

using test_support::TempDir;

// Writes a FITS image with cfitsio: `bitpix`, axes as given, the values in
// storage order (first row stored is the bottom one), and extra cards.
template <typename T>
void WriteFitsImage(const std::string& path, int bitpix, std::vector<long> axes,
                    const std::vector<T>& values, int datatype,
                    const std::vector<std::pair<std::string, double>>& cards = {}) {
    fitsfile* f = nullptr;
    int status = 0;
    ASSERT_EQ(fits_create_diskfile(&f, path.c_str(), &status), 0);
    fits_create_img(f, bitpix, int(axes.size()), axes.data(), &status);
    for (const auto& [key, value] : cards) {
        double v = value;
        fits_update_key(f, TDOUBLE, key.c_str(), &v, nullptr, &status);
    }
    std::vector<long> first(axes.size(), 1);
    fits_write_pix(f, datatype, first.data(), long(values.size()), const_cast<T*>(values.data()), &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0) << path;
}

using test_support::LoadQuietly;

// Sets string cards in an existing FITS file.
void SetCards(const std::string& path, const std::vector<std::pair<const char*, const char*>>& cards) {
    fitsfile* f = nullptr;
    int status = 0;
    fits_open_diskfile(&f, path.c_str(), READWRITE, &status);
    for (const auto& [key, value] : cards) fits_update_key(f, TSTRING, key, const_cast<char*>(value), nullptr, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0) << path;
}

TEST(FitsNames, EndInFitFitsOrFtsInAnyCase) {
    for (const char* name : {"a.fit", "a.FITS", "dir/a.Fts", "a.b.fits"}) EXPECT_TRUE(quen_merge::IsFitsName(name)) << name;
    for (const char* name : {"a.png", "a.fits.png", "a.fit/b", "fits", "a.fitx"})
        EXPECT_FALSE(quen_merge::IsFitsName(name)) << name;
}

TEST(FitsInput, MonoSixteenBitWithBzeroAndRowsFlipped) {
    TempDir dir;
    // 3 x 2, stored bottom row first: the bottom row is 0, 1, 2 and the top
    // row 65535, 32768, 40000 after BZERO 32768.
    WriteFitsImage<unsigned short>(dir / "m.fits", USHORT_IMG, {3, 2}, {0, 1, 2, 65535, 32768, 40000},
                                   TUSHORT, {{"EXPTIME", 30.0}});
    const auto frame = LoadQuietly(dir / "m.fits");
    ASSERT_TRUE(frame);
    const Image16* img = frame->Image();
    ASSERT_EQ(img->width, 3u);
    ASSERT_EQ(img->height, 2u);
    const unsigned short expected[2][3] = {{65535, 32768, 40000}, {0, 1, 2}};
    for (unsigned y = 0; y < 2; ++y)
        for (unsigned x = 0; x < 3; ++x)
            for (unsigned c = 0; c < 3; ++c) EXPECT_EQ(img->Pixel(x, y)[c], expected[y][x]) << x << "," << y;
    EXPECT_DOUBLE_EQ(frame->EV(), std::log2(1.0 / (100 * 30.0)));  // ISO 100 when absent
}

TEST(FitsInput, ColourPlanesAreRedGreenBlue) {
    TempDir dir;
    // 1 x 1 pixel, three planes: red 100, green 200, blue 300.
    WriteFitsImage<short>(dir / "c.fits", SHORT_IMG, {1, 1, 3}, {100, 200, 300}, TSHORT,
                          {{"EXPTIME", 2.0}, {"ISO", 800}});
    const auto frame = LoadQuietly(dir / "c.fits");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Image()->Pixel(0, 0)[0], 300);  // blue
    EXPECT_EQ(frame->Image()->Pixel(0, 0)[1], 200);
    EXPECT_EQ(frame->Image()->Pixel(0, 0)[2], 100);  // red
    EXPECT_DOUBLE_EQ(frame->EV(), std::log2(1.0 / 1600));
}

TEST(FitsInput, MapsEveryPixelTypeOntoSixteenBits) {
    TempDir dir;
    const struct {
        const char* name;
        int bitpix;
        std::vector<double> values;
        std::vector<unsigned short> expected;
    } cases[] = {
        {"byte", BYTE_IMG, {0, 7, 255, 128}, {0, 7, 255, 128}},
        {"long", LONG_IMG, {-5, 70000, 65535, 12}, {0, 65535, 65535, 12}},
        {"unit float", FLOAT_IMG, {0, 0.5, 1, 0.25}, {0, 32768, 65535, 16384}},
        {"wide float", FLOAT_IMG, {-3.5, 100.4, 80000, 7}, {0, 100, 65535, 7}},
        {"unit double", DOUBLE_IMG, {1, 0, 0.001, 0.999}, {65535, 0, 66, 65469}},
    };
    for (const auto& c : cases) {
        const std::string path = dir / (std::string(c.name) + ".fits");
        WriteFitsImage<double>(path, c.bitpix, {2, 2}, c.values, TDOUBLE);
        const auto frame = LoadQuietly(path);
        ASSERT_TRUE(frame) << c.name;
        // Stored order: (0,1) (1,1) of the bottom row, then the top row.
        const Image16* img = frame->Image();
        const unsigned short got[4] = {img->Pixel(0, 1)[1], img->Pixel(1, 1)[1], img->Pixel(0, 0)[1],
                                       img->Pixel(1, 0)[1]};
        for (int i = 0; i < 4; ++i) EXPECT_EQ(got[i], c.expected[size_t(i)]) << c.name << " value " << i;
    }
}

TEST(FitsInput, ReadsTheFirstImageExtensionBehindAnEmptyPrimary) {
    TempDir dir;
    fitsfile* f = nullptr;
    int status = 0;
    ASSERT_EQ(fits_create_diskfile(&f, (dir / "ext.fits").c_str(), &status), 0);
    fits_create_img(f, SHORT_IMG, 0, nullptr, &status);
    long axes[2] = {2, 1};
    fits_create_img(f, USHORT_IMG, 2, axes, &status);
    unsigned short values[2] = {1234, 5678};
    long first[2] = {1, 1};
    fits_write_pix(f, TUSHORT, first, 2, values, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    const auto frame = LoadQuietly(dir / "ext.fits");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->Image()->Pixel(1, 0)[0], 5678);
}

// The real FITS originals load as the very samples of their PNG conversions.
TEST(FitsInput, RealFramesLoadAsTheirPngConversions) {
    const struct {
        const char* set;
        const char* fits_suffix;
    } sets[] = {{"iraf-stargate", ".fit"}, {"umd-allsky", ".FIT"}};
    for (const auto& s : sets) {
        const std::string dir = test_support::RealDataDir(s.set);
        if (dir.empty()) GTEST_SKIP() << "no real data beside the project";
        const auto fits = test_support::ListFiles(dir + "/fits", s.fits_suffix);
        ASSERT_FALSE(fits.empty());
        for (const std::string& path : fits) {
            const std::string base = path.substr(path.rfind('/') + 1);
            const std::string png = dir + "/" + base.substr(0, base.rfind('.')) + ".png";
            const auto a = LoadQuietly(path), b = LoadQuietly(png);
            ASSERT_TRUE(a && b) << path;
            const Image16 &x = *a->Image(), &y = *b->Image();
            ASSERT_EQ(x.width, y.width);
            ASSERT_EQ(x.height, y.height);
            EXPECT_TRUE(std::equal(x.data, x.data + x.ElementCount(), y.data)) << path;
        }
    }
}

TEST(FitsOutput, WritesSixteenBitRgbPlanesBottomRowFirstWithHistory) {
    TempDir dir;
    Image16 img(2, 3, 3);
    img.Pixel(0, 0)[2] = 65535;  // the top-left pixel is red
    img.Pixel(1, 2)[0] = 1000;   // the bottom-right pixel a little blue
    quen_merge::StackHistory history;
    history.frames = 7;
    history.merge_type = "star-aligned mean, kappa-sigma clipped";  // too long for its comment
    ASSERT_TRUE(quen_merge::WriteImageLDR((dir / "o.fits").c_str(), &img, history));
    fitsfile* f = nullptr;
    int status = 0, bitpix = 0, naxis = 0;
    long axes[3] = {0, 0, 0};
    ASSERT_EQ(fits_open_diskfile(&f, (dir / "o.fits").c_str(), READONLY, &status), 0);
    fits_get_img_type(f, &bitpix, &status);
    fits_get_img_dim(f, &naxis, &status);
    fits_get_img_size(f, 3, axes, &status);
    double bzero = 0;
    unsigned frames = 0;
    char type[FLEN_VALUE] = "", creator[FLEN_VALUE] = "";
    fits_read_key(f, TDOUBLE, "BZERO", &bzero, nullptr, &status);
    fits_read_key(f, TUINT, "NFRAMES", &frames, nullptr, &status);
    fits_read_key(f, TSTRING, "STACKTYP", type, nullptr, &status);
    char card[FLEN_CARD] = "";
    fits_read_card(f, "STACKTYP", card, &status);
    EXPECT_EQ(std::string(card).find('/'), std::string::npos) << card;  // left off, not cut
    fits_read_key(f, TSTRING, "CREATOR", creator, nullptr, &status);
    std::vector<unsigned short> planes(18);
    long first[3] = {1, 1, 1};
    int any = 0;
    fits_read_pix(f, TUSHORT, first, 18, nullptr, planes.data(), &any, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    EXPECT_EQ(bitpix, SHORT_IMG);
    EXPECT_EQ(naxis, 3);
    EXPECT_EQ(axes[0], 2);
    EXPECT_EQ(axes[1], 3);
    EXPECT_EQ(axes[2], 3);
    EXPECT_EQ(bzero, 32768.0);
    EXPECT_EQ(frames, 7u);
    EXPECT_STREQ(type, "star-aligned mean, kappa-sigma clipped");
    EXPECT_STREQ(creator, "tarnic 0.1.0");
    // Red plane, its last stored row (the top) starts with the red pixel.
    EXPECT_EQ(planes[4], 65535);
    // Blue plane (third), first stored row (the bottom), second pixel.
    EXPECT_EQ(planes[12 + 1], 1000);
    EXPECT_EQ(std::count(planes.begin(), planes.end(), 0), 16);
}

}  // namespace

namespace {

using test_support::CommandResult;
using test_support::ReadRgb16;
using test_support::Rgb16;
using test_support::RunTarnic;

// FITS through the program: bad files refused, results read back.
class Tarnic : public test_support::StackTest {};

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
    // The frames load alike (FitsInput above), so one merge type shows the
    // run's road for FITS: loaded one at a time, in order, all of them.
    ASSERT_EQ(Stack({"-o", dir / "fits.ppm"}, fits).status, 0);
    ASSERT_EQ(Stack({"-o", dir / "png.ppm"}, png).status, 0);
    EXPECT_EQ(test_support::ReadFile(dir / "fits.ppm"), test_support::ReadFile(dir / "png.ppm"));
    const std::string allsky = test_support::RealDataDir("umd-allsky");
    const auto sky_fits = test_support::ListFiles(allsky + "/fits", ".FIT");
    std::vector<std::string> sky_png;
    for (const std::string& f : sky_fits)
        sky_png.push_back(allsky + "/" + f.substr(f.rfind('/') + 1, 8) + ".png");
    ASSERT_EQ(Stack({"-t", "t", "-o", dir / "fits.ppm"}, sky_fits).status, 0);
    ASSERT_EQ(Stack({"-t", "t", "-o", dir / "png.ppm"}, sky_png).status, 0);
    EXPECT_EQ(test_support::ReadFile(dir / "fits.ppm"), test_support::ReadFile(dir / "png.ppm"));
}

// A header's value of key as text (strings without their quotes), or "".
std::string KeyOf(fitsfile* f, const char* key) {
    int status = 0;
    char value[FLEN_VALUE] = "";
    if (fits_read_key(f, TSTRING, key, value, nullptr, &status)) {
        fits_clear_errmsg();
        return "";
    }
    return value;
}

// A result of the real CCD frames tells their story: one plane for mono
// frames, the total integration, each frame's exposure, the first frame's
// date and the camera they share; with -F it holds the floats themselves.
TEST_F(Tarnic, FitsResultsCarryTheirFramesStory) {
    const std::string set = test_support::RealDataDir("iraf-stargate");
    if (set.empty()) GTEST_SKIP() << "no real data beside the project";
    const auto fits = test_support::ListFiles(set + "/fits", ".fit");
    ASSERT_EQ(fits.size(), 10u);
    const std::vector<std::string> three(fits.begin(), fits.begin() + 3);
    std::vector<std::string> args{"-o", dir / "o.fits"};
    args.insert(args.end(), three.begin(), three.end());
    ASSERT_EQ(RunTarnic(args).status, 0);
    args[1] = dir / "f.fits";
    args.push_back("-F");
    ASSERT_EQ(RunTarnic(args).status, 0);
    args[1] = dir / "f.tif";
    ASSERT_EQ(RunTarnic(args).status, 0);
    args[1] = dir / "o.ppm";
    args.pop_back();
    ASSERT_EQ(RunTarnic(args).status, 0);
    const Rgb16 sixteen = ReadRgb16(dir / "o.ppm");

    for (const char* name : {"o.fits", "f.fits"}) {
        fitsfile* f = nullptr;
        int status = 0, naxis = 0, bitpix = 0;
        long axes[3] = {0, 0, 0};
        ASSERT_EQ(fits_open_diskfile(&f, (dir / name).c_str(), READONLY, &status), 0);
        fits_get_img_param(f, 3, &bitpix, &naxis, axes, &status);
        EXPECT_EQ(naxis, 2) << name;
        EXPECT_EQ(bitpix, std::string(name) == "f.fits" ? FLOAT_IMG : SHORT_IMG);  // unsigned: BZERO 32768
        EXPECT_EQ(std::stod(KeyOf(f, "EXPTIME")), 90.0) << name;
        EXPECT_EQ(std::stod(KeyOf(f, "SUBEXP")), 30.0);
        EXPECT_EQ(KeyOf(f, "DATE-OBS"), "2013-07-13T05:00:10");
        EXPECT_EQ(KeyOf(f, "INSTRUME"), "Orion SSDSI-2");
        EXPECT_EQ(KeyOf(f, "XBINNING"), "1");
        std::vector<float> plane(size_t(axes[0] * axes[1]));
        long first[2] = {1, 1};
        int any = 0;
        fits_read_pix(f, TFLOAT, first, long(plane.size()), nullptr, plane.data(), &any, &status);
        fits_close_file(f, &status);
        ASSERT_EQ(status, 0);
        // Bottom row first; the floats are the 16-bit samples before rounding.
        const float bottom_left = plane[0], expected = sixteen.at(0, sixteen.height - 1, 1);
        if (std::string(name) == "o.fits")
            EXPECT_EQ(bottom_left, expected);
        else
            EXPECT_EQ(std::floor(bottom_left * 65536.0f), expected);
    }
    FIBITMAP* tiff = FreeImage_Load(FIF_TIFF, (dir / "f.tif").c_str(), 0);
    ASSERT_NE(tiff, nullptr);
    EXPECT_EQ(FreeImage_GetImageType(tiff), FIT_RGBF);
    const FIRGBF* top = reinterpret_cast<const FIRGBF*>(FreeImage_GetScanLine(tiff, FreeImage_GetHeight(tiff) - 1));
    EXPECT_EQ(std::floor(top[0].green * 65536.0f), sixteen.at(0, 0, 1));
    FreeImage_Unload(tiff);
}

// What astronomers look for in a result: the first frame's full start time
// (its date and time of day joined when the file splits them), its pointing
// and the world coordinates of its grid, the object they all show.
TEST_F(Tarnic, FitsResultsCarryTheFirstFramesTimePointingAndGrid) {
    const std::vector<std::vector<std::pair<const char*, const char*>>> headers{
        {{"DATE-OBS", "2024-03-01"}, {"TIME-OBS", "21:05:00"}, {"OBJECT", "M 42"}, {"OBJCTRA", "05 35 17"},
         {"CTYPE1", "RA---TAN"}},
        {{"DATE-OBS", "2024-03-01"}, {"TIME-OBS", "21:06:00"}, {"OBJECT", "M 42"}, {"OBJCTRA", "05 35 18"},
         {"CTYPE1", "RA---TAN"}}};
    std::vector<std::string> frames;
    for (size_t k = 0; k < headers.size(); ++k) {
        frames.push_back(dir / ("f" + std::to_string(k) + ".fit"));
        WriteFitsImage<uint16_t>(frames.back(), USHORT_IMG, {8, 6}, std::vector<uint16_t>(48, uint16_t(1000 * k)),
                                 TUSHORT, {{"CRVAL1", 83.8 + double(k)}, {"CRPIX1", 4.5}});
        SetCards(frames.back(), headers[k]);
    }
    ASSERT_EQ(Stack({"-t", "n", "-r", "3", "-o", dir / "o.fits"}, frames).status, 0);
    fitsfile* f = nullptr;
    int status = 0;
    ASSERT_EQ(fits_open_diskfile(&f, (dir / "o.fits").c_str(), READONLY, &status), 0);
    EXPECT_EQ(KeyOf(f, "DATE-OBS"), "2024-03-01T21:05:00");
    EXPECT_EQ(KeyOf(f, "TIME-OBS"), "");
    EXPECT_EQ(KeyOf(f, "OBJECT"), "M 42");
    EXPECT_EQ(KeyOf(f, "OBJCTRA"), "05 35 17");
    EXPECT_EQ(KeyOf(f, "CTYPE1"), "RA---TAN");
    EXPECT_EQ(std::stod(KeyOf(f, "CRVAL1")), 83.8);
    EXPECT_EQ(std::stod(KeyOf(f, "CRPIX1")), 4.5);
    fits_close_file(f, &status);
}

// A CCD frame whose header names its overscan and its image part: each row
// loses its own overscan level (a pedestal kept), the frame is trimmed, and
// the world coordinates follow the trimmed grid.
TEST_F(Tarnic, OverscanIsTakenOffRowByRowAndTheFrameTrimmed) {
    const long width = 10, height = 4;  // columns 9 and 10 are the overscan
    std::vector<std::string> frames;
    for (int k = 0; k < 2; ++k) {
        std::vector<uint16_t> values;
        for (long r = 0; r < height; ++r)
            for (long x = 0; x < width; ++x)
                values.push_back(uint16_t(1000 + 37 * r + 5 * k + (x < 8 ? 500 + 10 * x : 0)));
        frames.push_back(dir / ("ccd" + std::to_string(k) + ".fits"));
        WriteFitsImage<uint16_t>(frames.back(), USHORT_IMG, {width, height}, values, TUSHORT, {{"CRPIX1", 5.0}});
        SetCards(frames.back(), {{"BIASSEC", "[9:10,1:4]"}, {"TRIMSEC", "[2:8,1:4]"}});
    }
    ASSERT_EQ(Stack({"-o", dir / "o.fits"}, frames).status, 0);
    fitsfile* f = nullptr;
    int status = 0, naxis = 0, bitpix = 0;
    long axes[2] = {0, 0};
    ASSERT_EQ(fits_open_diskfile(&f, (dir / "o.fits").c_str(), READONLY, &status), 0);
    fits_get_img_param(f, 2, &bitpix, &naxis, axes, &status);
    EXPECT_EQ(axes[0], 7);
    EXPECT_EQ(axes[1], 4);
    EXPECT_EQ(std::stod(KeyOf(f, "CRPIX1")), 4.0);
    std::vector<float> plane(28);
    long first[2] = {1, 1};
    int any = 0;
    fits_read_pix(f, TFLOAT, first, 28, nullptr, plane.data(), &any, &status);
    fits_close_file(f, &status);
    ASSERT_EQ(status, 0);
    for (long r = 0; r < 4; ++r)
        for (long x = 0; x < 7; ++x) EXPECT_EQ(plane[size_t(r * 7 + x)], 500 + 10 * (x + 1) + 256) << r << "," << x;
}

}  // namespace
