#include "base/background_fault_in.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <memory>

namespace {

using quen_merge::BackgroundFaultIn;

// The pages are faulted in as a write would, but what the buffers already
// hold stays, beside pages that were not yet there.
TEST(BackgroundFaultIn, LeavesWhatTheBuffersHold) {
    constexpr size_t kBytes = size_t(24) << 20, kStep = 1 << 20;
    std::unique_ptr<char[]> first(new char[kBytes + 7]), second(new char[kBytes + 7]);
    for (size_t at = 0; at < kBytes; at += kStep) {
        first[at + 1] = char(at / kStep);
        second[at + 3] = char(99 - at / kStep);
    }
    { BackgroundFaultIn whole({first.get() + 1, second.get() + 3}, kBytes); }
    for (size_t at = 0; at < kBytes; at += kStep) {
        ASSERT_EQ(first[at + 1], char(at / kStep)) << at;
        ASSERT_EQ(second[at + 3], char(99 - at / kStep)) << at;
    }
}

}  // namespace
