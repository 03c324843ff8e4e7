// The plan the command line builds: merge types by their first letter, the
// alignment that later letters keep, and rejection where the rule takes it.
#include "options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using quen_merge::Alignment;

RunOptions Parsed(std::vector<std::string> args) {
    args.insert(args.begin(), "tarnic");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    RunOptions options;
    testing::internal::CaptureStderr();
    EXPECT_EQ(ParseOptions(int(argv.size()), argv.data(), options), ParseResult::kRun);
    testing::internal::GetCapturedStderr();
    return options;
}

TEST(StackPlan, MergeTypesSetAlignmentAndRuleAsTheirLettersSay) {
    const struct {
        std::vector<std::string> args;
        Alignment alignment;
        const char* name;  // as the result's header tells it
    } cases[] = {
        {{}, Alignment::kNone, "mean"},
        {{"-t", "t"}, Alignment::kNone, "maximum"},
        {{"-t", "trails", "-t", "n"}, Alignment::kNone, "mean"},
        {{"-t", "a"}, Alignment::kNeighbourAngles, "aligned mean"},
        {{"-t", "s"}, Alignment::kTriangles, "star-aligned mean"},
        // Alignment, once on, stays on, and an aligned stack is a mean.
        {{"-t", "a", "-t", "t"}, Alignment::kNeighbourAngles, "aligned mean"},
        {{"-t", "s", "-t", "n"}, Alignment::kTriangles, "star-aligned mean"},
        {{"-t", "t", "-t", "a"}, Alignment::kNeighbourAngles, "aligned mean"},
        {{"-t", "x"}, Alignment::kNone, "mean"},
        // Rejection applies to the mean, in any order of the options, never to the maximum.
        {{"-r", "3", "-t", "s"}, Alignment::kTriangles, "star-aligned mean, kappa-sigma clipped"},
        {{"-t", "n", "-r", "2.5"}, Alignment::kNone, "mean, kappa-sigma clipped"},
        {{"-r", "3", "-t", "t"}, Alignment::kNone, "maximum"},
        // Trails without gaps stay trails; fading applies to trails only.
        {{"-t", "c", "-t", "n"}, Alignment::kSkyMotion, "gap-free maximum"},
        {{"-t", "t", "-C", "12.5"}, Alignment::kNone, "maximum, fading to half over 12.5 frames"},
        {{"-C", "4", "-t", "c"}, Alignment::kSkyMotion, "gap-free maximum, fading to half over 4 frames"},
        {{"-C", "4"}, Alignment::kNone, "mean"},
    };
    for (const auto& c : cases) {
        const RunOptions options = Parsed(c.args);
        const std::string args = ::testing::PrintToString(c.args);
        EXPECT_EQ(options.plan.alignment, c.alignment) << args;
        EXPECT_EQ(options.plan.Name(), c.name) << args;
    }
}

}  // namespace
