#include "stack/frame_tally.h"

#include <cstdio>
#include <string>

#include "base/console.h"

namespace quen_merge {

void FrameTally::Report(size_t stacked, const char* hint) const {
    size_t other_size = 0;
    for (const auto& [size, count] : other_sizes) other_size += count;
    const size_t unaligned = named - stacked - unreadable - other_size;
    if (stacked == named) return;
    std::string reasons;
    auto add = [&](size_t count, const std::string& why) {
        if (!count) return;
        reasons += (reasons.empty() ? "" : ", ") + std::to_string(count) + " " + why;
    };
    add(unreadable, "could not be read");
    add(other_size, "of another size than " + std::to_string(stack_size.first) + " x " +
                        std::to_string(stack_size.second));
    add(unaligned, "could not be aligned");
    std::fflush(stdout);
    std::fprintf(stderr, "Stacked %zu of %zu frames: %s%s\n", stacked, named, reasons.c_str(),
                 unaligned ? hint : "");
    // Every other frame of one size that the first frame lacks: the first
    // frame is the wrong one.
    if (other_sizes.size() == 1 && other_sizes.begin()->second > stacked) {
        const auto& [size, count] = *other_sizes.begin();
        Warn("the first frame is %u x %u, the other %zu frames %u x %u: the first frame sets the stack's size; "
             "name one of theirs first",
             stack_size.first, stack_size.second, count, size.first, size.second);
    }
}

}  // namespace quen_merge
