// How many of the named frames a stack holds, and why the others are not in
// it: a partial result must not pass for a whole one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>

namespace quen_merge {

class FrameTally {
public:
    explicit FrameTally(size_t named) : named(named) {}

    void Unreadable() { ++unreadable; }
    // A frame left out because its size is not the stack's (width x height).
    void OtherSize(uint32_t width, uint32_t height) { ++other_sizes[{width, height}]; }
    // The stack's size: that of its first frame.
    void StackSize(uint32_t width, uint32_t height) { stack_size = {width, height}; }

    // When any frame was left out, says on standard error how many of the
    // named frames are stacked and why the others are not; those neither
    // unreadable nor of another size could not be aligned (hint follows
    // them). When the first frame's size is the odd one out, says so.
    void Report(size_t stacked, const char* hint = "") const;

private:
    size_t named;
    size_t unreadable = 0;
    std::map<std::pair<uint32_t, uint32_t>, size_t> other_sizes;
    std::pair<uint32_t, uint32_t> stack_size{0, 0};
};

}  // namespace quen_merge
