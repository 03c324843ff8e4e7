#include "io/image_io.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <limits>
#include <memory>

#include "stack/merge_utils.h"
#include "support.h"

namespace {

using test_support::TempDir;

// The output format by the exact extension, and the bytes a file of it starts with.
const struct {
    const char* name;
    FREE_IMAGE_FORMAT format;
} kOutputNames[] = {
    {"out.png", FIF_PNG},   {"out.PNG", FIF_PNG},   {"out", FIF_PNG},
    {"out.Png", FIF_PNG},   {"out.jpg", FIF_PNG},   {"out.tif", FIF_TIFF},
    {"out.TIF", FIF_TIFF},  {"out.tiff", FIF_TIFF}, {"out.TIFF", FIF_TIFF},
    {"out.Tif", FIF_PNG},   {"out.ppm", FIF_PPM},   {"out.PPM", FIF_PPM},
    {"a.b/out", FIF_PNG},   {"a.tif/out", FIF_PNG}, {"x.ppm.tif", FIF_TIFF},
};

std::string MagicOf(FREE_IMAGE_FORMAT format) {
    return format == FIF_PNG ? "\x89PNG" : format == FIF_TIFF ? "II*" : "P6";
}

TEST(GetFileType, ChoosesByTheExactExtension) {
    for (const auto& c : kOutputNames) EXPECT_EQ(GetFileType(c.name), c.format) << c.name;
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
        {dir.path, "file " + dir.path + " does not exist\ntarnic: " + dir.path + " is a folder: name the frames in it\n"},
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

TEST_F(ImageFiles, RefusesFramesTooLargeToStackAtTheCallersCost) {
    // 30000 x 30000 stays below 2^32 samples: loading it takes some 11 GB, an
    // aligned stack of it some 36 GB. Its pixel data is missing.
    const double memory = double(sysconf(_SC_PHYS_PAGES)) * double(sysconf(_SC_PAGE_SIZE));
    if (memory > 30000.0 * 30000.0 * 40 || memory < 30000.0 * 30000.0 * 12)
        GTEST_SKIP() << "this machine's memory does not fall between the two costs";
    const std::string path = dir / "wide.ppm";
    test_support::WriteFile(path, "P6\n30000 30000\n65535\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(quen_merge::LoadImageData(path.c_str(), 28 /* an aligned stack's cost */));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "file " + path + " is too large\n");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(Load(path));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "file " + path + " is truncated\n");
}

// A little-endian TIFF whose directory comes before its one strip of 8-bit
// RGB pixels, as cameras write them: cut short, libtiff still hands over a
// bitmap.
std::string StripFirstTiff(unsigned width, unsigned height) {
    std::string t("II*\0", 4);
    auto put16 = [&](uint16_t v) { t.push_back(char(v & 255)); t.push_back(char(v >> 8)); };
    auto put32 = [&](uint32_t v) { put16(uint16_t(v & 0xffff)); put16(uint16_t(v >> 16)); };
    const uint16_t entries = 9;
    const uint32_t bps_at = 8 + 2 + entries * 12 + 4, data_at = bps_at + 6;
    put32(8);
    put16(entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        put16(tag); put16(type); put32(count); put32(value);
    };
    entry(256, 4, 1, width);                   // ImageWidth
    entry(257, 4, 1, height);                  // ImageLength
    entry(258, 3, 3, bps_at);                  // BitsPerSample 8, 8, 8
    entry(259, 3, 1, 1);                       // no compression
    entry(262, 3, 1, 2);                       // RGB
    entry(273, 4, 1, data_at);                 // StripOffsets
    entry(277, 3, 1, 3);                       // SamplesPerPixel
    entry(278, 4, 1, height);                  // RowsPerStrip
    entry(279, 4, 1, width * height * 3);      // StripByteCounts
    put32(0);
    put16(8); put16(8); put16(8);
    t.append(size_t(width) * height * 3, char(0x80));
    return t;
}

TEST_F(ImageFiles, RefusesFilesWhosePixelDataEndsEarly) {
    // Every format at hand, whole and then cut to two thirds of its size.
    // PNG's decoder refuses a cut file itself (its message goes to FreeImage's
    // handler); the others would fill the missing pixels with black.
    const std::vector<std::string> size{"-n", "1", "-W", "200", "-H", "150", "-S", "40"};
    auto generate = [&](const std::vector<std::string>& format, const std::string& pattern) {
        std::vector<std::string> args = size;
        args.insert(args.end(), format.begin(), format.end());
        args.push_back(dir / pattern);
        test_support::RunStarfield(args);
    };
    for (const std::string ext : {"ppm", "png", "bmp", "jpg"}) generate({"-F", "rgb8"}, "x%d." + ext);
    generate({}, "w%d.ppm");
    generate({"-F", "grey8"}, "g%d.ppm");
    test_support::WriteFile(dir / "strip.tif", StripFirstTiff(64, 48));
    std::string text = "P3\n# two pixels\n2 1\n255\n";
    test_support::WriteFile(dir / "text.ppm", text + "1 2 3 4 5 6\n");
    for (const std::string name : {"x0.ppm", "x0.png", "x0.bmp", "x0.jpg", "w0.ppm", "g0.ppm", "strip.tif", "text.ppm"}) {
        const std::string whole = test_support::ReadFile(dir / name);
        testing::internal::CaptureStdout();
        EXPECT_TRUE(Load(dir / name)) << name;
        testing::internal::GetCapturedStdout();
        test_support::WriteFile(dir / ("cut-" + name), whole.substr(0, whole.size() * 2 / 3));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Load(dir / ("cut-" + name))) << name;
        const std::string err = testing::internal::GetCapturedStderr();
        if (name != "x0.png") {
            EXPECT_TRUE(err == "file " + dir / ("cut-" + name) + " is truncated\n" ||
                        err.find(" is damaged\n") != std::string::npos)
                << name << ": " << err;
        }
    }
}

TEST_F(ImageFiles, RefusesHeadersWithoutPlainPositiveDimensions) {
    for (const std::string header : {"P6\n-4 3\n255\n", "P6\n4x 3\n255\n", "P6\n0 3\n255\n", "P5\n4 3\n0\n"}) {
        test_support::WriteFile(dir / "bad.ppm", header + std::string(100, 'x'));
        testing::internal::CaptureStderr();
        EXPECT_FALSE(Load(dir / "bad.ppm")) << header;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "file " + dir / "bad.ppm" + " has invalid dimensions\n")
            << header;
    }
}

TEST_F(ImageFiles, SixteenBitWriterKeepsChannelOrderAndFormat) {
    Image16 img(2, 2, 3);
    unsigned short* p = img.Pixel(1, 0);
    p[0] = 3000;  // blue
    p[1] = 2000;
    p[2] = 1000;  // red
    ASSERT_EQ(mkdir((dir / "a.b").c_str(), 0700), 0);
    ASSERT_EQ(mkdir((dir / "a.tif").c_str(), 0700), 0);
    for (const auto& c : kOutputNames) {
        ASSERT_TRUE(quen_merge::WriteImageLDR((dir / c.name).c_str(), &img)) << c.name;
        const std::string magic = MagicOf(c.format);
        EXPECT_EQ(test_support::ReadFile(dir / c.name).substr(0, magic.size()), magic) << c.name;
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

// PPM results are written without FreeImage's writer: byte for byte what it
// writes, for both writers, over more rows than one piece of work.
TEST_F(ImageFiles, PpmIsWrittenAsFreeImageWritesIt) {
    const unsigned width = 37, height = 101;
    Image16 samples(width, height, 3);
    FloatImage unit(width, height, 3);
    for (size_t i = 0; i < samples.ElementCount(); ++i) {
        samples.data[i] = static_cast<unsigned short>(i * 2654435761u >> 16);
        unit.data[i] = float(i % 977) / 900.0f - 0.05f;
    }
    const auto freeimage_bytes = [&](const Image16& image) {
        FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGB16, width, height);
        for (unsigned r = 0; r < height; ++r) {
            auto* line = reinterpret_cast<FIRGB16*>(FreeImage_GetScanLine(bitmap, height - 1 - r));
            for (unsigned x = 0; x < width; ++x)
                line[x] = {image.Pixel(x, r)[2], image.Pixel(x, r)[1], image.Pixel(x, r)[0]};
        }
        FIMEMORY* memory = FreeImage_OpenMemory();
        EXPECT_TRUE(FreeImage_SaveToMemory(FIF_PPM, bitmap, memory, 0));
        BYTE* data = nullptr;
        DWORD size = 0;
        FreeImage_AcquireMemory(memory, &data, &size);
        const std::string bytes(reinterpret_cast<const char*>(data), size);
        FreeImage_CloseMemory(memory);
        FreeImage_Unload(bitmap);
        return bytes;
    };
    ASSERT_TRUE(quen_merge::WriteImageLDR((dir / "s.ppm").c_str(), &samples));
    EXPECT_EQ(test_support::ReadFile(dir / "s.ppm"), freeimage_bytes(samples));
    ASSERT_TRUE(quen_merge::WriteImageLDR((dir / "u.ppm").c_str(), &unit));
    Image16 converted(width, height, 3);
    for (size_t i = 0; i < unit.ElementCount(); ++i) {
        const float v = unit.data[i];
        converted.data[i] = v <= 0 ? 0 : v >= 1 ? 65535 : uint16_t(std::floor(v * 65536.0f));
    }
    EXPECT_EQ(test_support::ReadFile(dir / "u.ppm"), freeimage_bytes(converted));
}

// A frame's samples stay in the buffer they were decoded into, reordered
// there, whatever the size's parity; a bitmap whose scan lines are padded is
// copied instead. Either way: blue, green, red, top row first.
TEST_F(ImageFiles, DecodedFramesAreReorderedInPlace) {
    for (const auto& [width, height] : {std::pair{4u, 3u}, {4u, 4u}, {3u, 5u}, {1u, 1u}}) {
        test_support::Rgb16 picture = test_support::MakeRgb16(width, height, 0);
        for (size_t i = 0; i < picture.samples.size(); ++i) picture.samples[i] = uint16_t(i * 7 + 1);
        test_support::WriteRgb16(dir / "f.ppm", picture);
        quen_merge::MessageLog log;  // kept, never printed
        std::unique_ptr<quen_merge::ImageData> frame(quen_merge::LoadImageData((dir / "f.ppm").c_str(), 0, log));
        ASSERT_TRUE(frame && frame->Image());
        for (unsigned y = 0; y < height; ++y)
            for (unsigned x = 0; x < width; ++x)
                for (unsigned c = 0; c < 3; ++c)
                    ASSERT_EQ(frame->Image()->Pixel(x, y)[c], picture.at(x, y, 2 - c)) << width << "x" << height;
    }
}
