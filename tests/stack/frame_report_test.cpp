// The report of the night through the program: a row per named frame, in
// order, with its verdict, and scores that tell the sharp frames from the
// blurred ones.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace {

// The fields of one CSV line (RFC 4180 quoting).
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
            fields.back() += '"';
            ++i;
        } else if (c == '"') {
            quoted = !quoted;
        } else if (c == ',' && !quoted) {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

TEST(FrameReport, ScoresEveryNamedFrameAndSaysWhyItWasLeftOut) {
    test_support::TempDir dir;
    // Two sharp frames and one blurred, the same field; a name with a comma.
    test_support::RunStarfield({"-n", "2", "-W", "500", "-H", "400", "-S", "150", "-f", "1.5", dir / "sharp%d.tif"});
    test_support::RunStarfield({"-n", "1", "-W", "500", "-H", "400", "-S", "150", "-f", "3", dir / "blur%d.tif"});
    std::filesystem::rename(dir / "blur0.tif", dir / "blur,0.tif");
    test_support::RunStarfield({"-n", "1", "-W", "300", "-H", "200", dir / "small%d.tif"});
    const std::vector<std::string> frames{dir / "sharp0.tif", dir / "blur,0.tif", dir / "gone.tif",
                                          dir / "small0.tif", dir / "sharp1.tif"};
    std::vector<std::string> args{"-R", dir / "night.csv", "-o", dir / "o.ppm"};
    args.insert(args.end(), frames.begin(), frames.end());
    const test_support::CommandResult r = test_support::RunTarnic(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream csv(test_support::ReadFile(dir / "night.csv"));
    std::string line;
    std::getline(csv, line);
    const std::vector<std::string> header = Fields(line);
    ASSERT_EQ(header[7], "fwhm_px");
    std::vector<std::vector<std::string>> rows;
    while (std::getline(csv, line)) rows.push_back(Fields(line));
    ASSERT_EQ(rows.size(), frames.size());
    const struct {
        const char* verdict;
        const char* reason;
        double fwhm;  // 0: not measured
    } expected[] = {{"stacked", "", 2.3548 * 1.527},
                    {"stacked", "", 2.3548 * 3.014},
                    {"left out", "could not be read", 0},
                    {"left out", "another size than the first frame", 0},
                    {"stacked", "", 2.3548 * 1.527}};
    for (size_t k = 0; k < rows.size(); ++k) {
        ASSERT_EQ(rows[k].size(), header.size()) << k;
        EXPECT_EQ(rows[k][1], frames[k]);
        EXPECT_EQ(rows[k][2], expected[k].verdict) << k;
        EXPECT_EQ(rows[k][3], expected[k].reason) << k;
        if (expected[k].fwhm == 0) continue;
        EXPECT_NEAR(std::stod(rows[k][7]), expected[k].fwhm, 0.05 * expected[k].fwhm) << k;
        EXPECT_GT(std::stod(rows[k][8]), 0.9) << k;
        EXPECT_GT(std::stod(rows[k][13]), 10) << k;  // the green sky's noise, ADU
    }
    // A report of another kind is refused before anything is read.
    const test_support::CommandResult pdf = test_support::RunTarnic({"-R", dir / "night.pdf", frames[0]});
    EXPECT_EQ(pdf.status, 1);
    EXPECT_NE(pdf.err.find("the report is CSV or a page"), std::string::npos);
}

// A night of twelve frames, three spoiled: one through a cloud (sky 3x,
// 30 % of the starlight), one shaken (stars 2:1), one out of focus (FWHM
// 2x). The report measures each as it is, and -k 75% leaves out exactly
// those three, each named with its score.
TEST(FrameReport, KeepsTheBestThreeQuartersOfANight) {
    test_support::TempDir dir;
    const std::vector<std::string> field{"-W", "600", "-H", "400", "-S", "150", "-s", "3"};
    auto make = [&](std::vector<std::string> args, const std::string& pattern) {
        args.insert(args.begin(), field.begin(), field.end());
        args.push_back(dir / pattern);
        test_support::RunStarfield(args);
    };
    make({"-n", "9"}, "good%d.tif");
    make({"-n", "1", "-k", "6000", "-t", "0.3"}, "cloud%d.tif");
    make({"-n", "1", "-q", "2"}, "shake%d.tif");
    make({"-n", "1", "-f", "3"}, "focus%d.tif");
    const std::vector<std::string> names{"good0", "good1", "cloud0", "good2", "good3", "shake0",
                                         "good4", "good5", "focus0", "good6", "good7", "good8"};
    std::vector<std::string> args{"-k", "75%", "-R", dir / "night.csv", "-o", dir / "o.ppm"};
    for (const std::string& n : names) args.push_back(dir / (n + ".tif"));
    const test_support::CommandResult r = test_support::RunTarnic(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test_support::CountOf(r.err, "\" left out: score "), 3u) << r.err;
    std::istringstream csv(test_support::ReadFile(dir / "night.csv"));
    std::string line;
    std::getline(csv, line);
    // Pixel-integrated Gaussians: each axis's variance is sigma^2 + 1/12.
    auto fwhm = [](double sx, double sy) { return 2.3548 * std::pow((sx * sx + 1 / 12.0) * (sy * sy + 1 / 12.0), 0.25); };
    for (const std::string& n : names) {
        ASSERT_TRUE(std::getline(csv, line));
        const std::vector<std::string> row = Fields(line);
        const bool bad = n.rfind("good", 0) != 0;
        EXPECT_EQ(row[2], bad ? "left out" : "stacked") << n;
        const double sx = n == "shake0" || n == "focus0" ? 3.0 : 1.5, sy = n == "focus0" ? 3.0 : 1.5;
        EXPECT_NEAR(std::stod(row[7]), fwhm(sx, sy), 0.05 * fwhm(sx, sy)) << n;
        EXPECT_NEAR(std::stod(row[8]), std::sqrt((std::min(sx, sy) * std::min(sx, sy) + 1 / 12.0) /
                                                 (std::max(sx, sy) * std::max(sx, sy) + 1 / 12.0)),
                    0.05)
            << n;
    }
}

// The page: a row per frame, the preview and the plots inline, nothing
// fetched; a real browser draws it (where one is installed).
TEST(FrameReport, APageAnyBrowserOpensFromDisk) {
    test_support::TempDir dir;
    test_support::RunStarfield({"-n", "3", "-W", "400", "-H", "300", "-S", "80", dir / "f%d.tif"});
    const test_support::CommandResult r = test_support::RunTarnic(
        {"-R", dir / "night.html", "-o", dir / "o.ppm", dir / "f0.tif", dir / "f1.tif", dir / "gone.tif", dir / "f2.tif"});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string page = test_support::ReadFile(dir / "night.html");
    EXPECT_EQ(test_support::CountOf(page, "<tr class="), 4u);
    EXPECT_EQ(test_support::CountOf(page, "<svg "), 5u);
    EXPECT_NE(page.find("src=\"data:image/jpeg;base64,"), std::string::npos);
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("http:"), std::string::npos);
    EXPECT_EQ(page.find("https:"), std::string::npos);
    if (std::system("command -v chromium > /dev/null 2>&1") != 0) GTEST_SKIP() << "no chromium to draw the page";
    const std::string shot = dir / "shot.png";
    const std::string command = "timeout 120 chromium --headless --no-sandbox --disable-gpu --window-size=900,1400 "
                                "--screenshot=" + shot + " file://" + dir / "night.html" + " > /dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const test_support::Rgb16 drawn = test_support::ReadRgb16(shot);
    size_t dark = 0;  // the preview's sky and the text
    for (unsigned y = 0; y < drawn.height; ++y)
        for (unsigned x = 0; x < drawn.width; ++x) dark += drawn.at(x, y, 1) < 20000 ? 1 : 0;
    EXPECT_GT(dark, size_t(drawn.width) * drawn.height / 50) << "a blank page";
}

}  // namespace
