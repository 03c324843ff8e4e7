#include "image_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <memory>

#include "support.h"

namespace {

using test_support::TempDir;

TEST(GetFileType, ChoosesByTheExactExtension) {
    const struct {
        const char* name;
        FREE_IMAGE_FORMAT format;
    } cases[] = {
        {"out.png", FIF_PNG},   {"out.PNG", FIF_PNG},   {"out", FIF_PNG},
        {"out.Png", FIF_PNG},   {"out.jpg", FIF_PNG},   {"out.tif", FIF_TIFF},
        {"out.TIF", FIF_TIFF},  {"out.tiff", FIF_TIFF}, {"out.TIFF", FIF_TIFF},
        {"out.Tif", FIF_PNG},   {"out.ppm", FIF_PPM},   {"out.PPM", FIF_PPM},
        {"a.b/out", FIF_PNG},   {"a.tif/out", FIF_PNG}, {"x.ppm.tif", FIF_TIFF},
    };
    for (const auto& c : cases) EXPECT_EQ(GetFileType(c.name), c.format) << c.name;
}

class ImageFiles : public ::testing::Test {
protected:
    std::unique_ptr<quen_merge::ImageData> Load(const std::string& path) {
        return std::unique_ptr<quen_merge::ImageData>(quen_merge::LoadImageData(path.c_str()));
    }
    TempDir dir;
};

TEST_F(ImageFiles, LoadsBlueGreenRedWithTheTopRowFirst) {
    for (const char* name : {"f.png", "f.tif", "f.ppm"}) {
        test_support::Rgb16 picture = test_support::MakeRgb16(3, 2, 0);
        picture.at(0, 0, 0) = 1000;  // red
        picture.at(0, 0, 1) = 2000;  // green
        picture.at(0, 0, 2) = 3000;  // blue
        picture.at(2, 1, 0) = 7;
        test_support::WriteRgb16(dir / name, picture);
        auto frame = Load(dir / name);
        ASSERT_TRUE(frame) << name;
        const Image16* img = frame->Image();
        ASSERT_EQ(img->width, 3u);
        ASSERT_EQ(img->height, 2u);
        ASSERT_EQ(img->channels, 3u);
        EXPECT_EQ(img->Pixel(0, 0)[0], 3000) << name;
        EXPECT_EQ(img->Pixel(0, 0)[1], 2000) << name;
        EXPECT_EQ(img->Pixel(0, 0)[2], 1000) << name;
        EXPECT_EQ(img->Pixel(2, 1)[2], 7) << name;
        EXPECT_EQ(frame->Name(), dir / name);
    }
}

TEST_F(ImageFiles, EightBitAndGreyInputBecomeSixteenBitRgb) {
    FIBITMAP* grey = FreeImage_Allocate(2, 1, 8);
    RGBQUAD* palette = FreeImage_GetPalette(grey);
    for (int i = 0; i < 256; ++i) palette[i] = RGBQUAD{BYTE(i), BYTE(i), BYTE(i), 0};
    FreeImage_GetScanLine(grey, 0)[0] = 0x12;
    FreeImage_GetScanLine(grey, 0)[1] = 0xff;
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, grey, (dir / "g.png").c_str(), 0));
    FreeImage_Unload(grey);
    auto frame = Load(dir / "g.png");
    ASSERT_TRUE(frame);
    for (int c = 0; c < 3; ++c) {
        EXPECT_EQ(frame->Image()->Pixel(0, 0)[c], 0x1200);
        EXPECT_EQ(frame->Image()->Pixel(1, 0)[c], 0xff00);
    }
}

TEST_F(ImageFiles, RefusesWhatIsNoImageFileWithAMessage) {
    test_support::WriteFile(dir / "notes.txt", "clear skies\n");
    const struct {
        std::string path, message;
    } cases[] = {
        {dir.path, "file " + dir.path + " does not exist\n"},
        {dir / "missing.tif", "file " + dir / "missing.tif" + " does not exist\n"},
        {dir / "notes.txt", "file " + dir / "notes.txt" + " is not supported\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Load(c.path));
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.message);
    }
}

TEST_F(ImageFiles, RefusesDimensionsBeyondThirtyTwoBitSampleCounts) {
    // 37838 x 37838 x 3 is just over 2^32 samples; the header alone announces it.
    test_support::WriteFile(dir / "huge.ppm", "P6\n37838 37838\n65535\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Load(dir / "huge.ppm"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "file " + dir / "huge.ppm" + " is too large\n");
}

TEST_F(ImageFiles, RefusesFramesTooLargeToStackOnThisMachine) {
    // 30000 x 30000 stays below 2^32 samples but needs some 36 GB to stack.
    const double memory = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
    if (memory > 30000.0 * 30000.0 * 40) GTEST_SKIP() << "this machine could stack it";
    test_support::WriteFile(dir / "wide.ppm", "P6\n30000 30000\n65535\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Load(dir / "wide.ppm"));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "file " + dir / "wide.ppm" + " is too large\n");
}

TEST_F(ImageFiles, SixteenBitWriterKeepsChannelOrderAndFormat) {
    Image16 img(2, 2, 3);
    unsigned short* p = img.Pixel(1, 0);
    p[0] = 3000;  // blue
    p[1] = 2000;
    p[2] = 1000;  // red
    const struct {
        const char* name;
        std::string magic;
    } cases[] = {{"o.png", "\x89PNG"}, {"o.tif", "II*"}, {"o.ppm", "P6"}, {"o.txt", "\x89PNG"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(quen_merge::WriteImageLDR((dir / c.name).c_str(), &img)) << c.name;
        EXPECT_EQ(test_support::ReadFile(dir / c.name).substr(0, c.magic.size()), c.magic);
        const test_support::Rgb16 back = test_support::ReadRgb16(dir / c.name);
        ASSERT_EQ(back.width, 2u);
        EXPECT_EQ(back.at(1, 0, 0), 1000) << c.name;
        EXPECT_EQ(back.at(1, 0, 1), 2000) << c.name;
        EXPECT_EQ(back.at(1, 0, 2), 3000) << c.name;
        EXPECT_EQ(back.at(0, 1, 0), 0) << c.name;
    }
}

TEST_F(ImageFiles, FloatWriterMapsTheUnitRangeOntoSixteenBits) {
    const float values[] = {-0.5f, 0.0f, 0.5f, 65535.0f / 65536.0f, 1.0f, 7.0f,
                            std::numeric_limits<float>::quiet_NaN(), 1.0f / 65536.0f,
                            0.99999994f};
    const unsigned short expected[] = {0, 0, 32768, 65535, 65535, 65535, 0, 1, 65535};
    FloatImage img(3, 3, 3);
    for (int i = 0; i < 9; ++i)
        for (int c = 0; c < 3; ++c) img.data[i * 3 + c] = values[i];
    ASSERT_TRUE(quen_merge::WriteImageLDR((dir / "f.ppm").c_str(), &img));
    const test_support::Rgb16 back = test_support::ReadRgb16(dir / "f.ppm");
    ASSERT_EQ(back.samples.size(), 27u);
    for (int i = 0; i < 27; ++i) EXPECT_EQ(back.samples[i], expected[i / 3]) << values[i / 3];
}

TEST_F(ImageFiles, WritersRefuseWhatTheyCannotWrite) {
    FloatImage one_channel(2, 2, 1);
    Image16 four_channels(2, 2, 4);
    EXPECT_FALSE(quen_merge::WriteImageLDR((dir / "a.png").c_str(), &one_channel));
    EXPECT_FALSE(quen_merge::WriteImageLDR((dir / "a.png").c_str(), &four_channels));
    EXPECT_FALSE(quen_merge::WriteImageLDR((dir / "a.png").c_str(), (const FloatImage*)nullptr));
    Image16 img(2, 2, 3);
    EXPECT_FALSE(quen_merge::WriteImageLDR(nullptr, &img));
    EXPECT_FALSE(quen_merge::WriteImageLDR((dir / "no/such/dir.png").c_str(), &img));
    EXPECT_FALSE(quen_merge::WriteImageLDR(dir.path.c_str(), &img));  // a directory
    EXPECT_FALSE(test_support::FileExists(dir / "a.png"));
}

TEST_F(ImageFiles, WrittenFileGetsTheUsualPermissions) {
    Image16 img(2, 2, 3);
    const mode_t old = umask(022);
    ASSERT_TRUE(quen_merge::WriteImageLDR((dir / "p.png").c_str(), &img));
    umask(old);
    struct stat s;
    ASSERT_EQ(stat((dir / "p.png").c_str(), &s), 0);
    EXPECT_EQ(s.st_mode & 0777, 0644u);
}

}  // namespace
