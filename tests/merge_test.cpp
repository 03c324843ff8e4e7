#include "merge.h"

#include <gtest/gtest.h>

#include <memory>

#include "image_io.h"
#include "support.h"

namespace {

using quen_merge::MergeNoAlign;
using test_support::TempDir;

class UnalignedStack : public ::testing::Test {
protected:
    // Writes a w x h frame of one value and returns its path.
    std::string Frame(const std::string& name, uint16_t value, unsigned w = 4, unsigned h = 3) {
        const std::string path = dir / name;
        test_support::WriteRgb16(path, test_support::MakeRgb16(w, h, value));
        return path;
    }
    TempDir dir;
};

TEST_F(UnalignedStack, EmptyListGivesNothingAndPrintsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(MergeNoAlign({}, nullptr, quen_merge::MergeAverage), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(UnalignedStack, ReportsEveryFrameAndSkipsTheUnusable) {
    const std::string a = Frame("a.tif", 100), b = Frame("b.tif", 300);
    const std::string wide = Frame("wide.tif", 9999, 5, 3);
    const std::string missing = dir / "missing.tif";
    testing::internal::CaptureStdout();
    std::unique_ptr<FloatImage> out(
        MergeNoAlign({a, missing, wide, b}, nullptr, quen_merge::MergeAverage));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed, "image_type = 9\nFrame \"" + a + "\" added.\n" +
                           "Unable to load Frame \"" + missing + "\".\n" +
                           "image_type = 9\nFrame \"" + wide + "\" rejected.\n" +
                           "image_type = 9\nFrame \"" + b + "\" added.\n" + "Post processing\n");
    ASSERT_TRUE(out);
    EXPECT_EQ(out->width, 4u);
    EXPECT_EQ(out->data[0], 200.0f / 65536.0f);  // the rejected frame is not counted
}

TEST_F(UnalignedStack, NoUsableFrameGivesNull) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(MergeNoAlign({dir / "x.tif", dir / "y.tif"}, nullptr, quen_merge::MergeLighten),
              nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Unable to load Frame \"" + dir / "x.tif" + "\".\nUnable to load Frame \"" +
                  dir / "y.tif" + "\".\nPost processing\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "file " + dir / "x.tif" + " does not exist\nfile " + dir / "y.tif" +
                  " does not exist\n");
}

TEST_F(UnalignedStack, AnyTypeButAverageIsLighten) {
    const std::string a = Frame("a.ppm", 100), b = Frame("b.ppm", 300);
    testing::internal::CaptureStdout();
    std::unique_ptr<FloatImage> out(MergeNoAlign({b, a}, nullptr, quen_merge::MergeType(7)));
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(out);
    EXPECT_EQ(out->data[0], 300.0f / 65536.0f);
}

}  // namespace
