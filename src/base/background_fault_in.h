// Faulting a large new buffer's pages in on a thread of its own.
#pragma once

#include <cstddef>
#include <thread>
#include <vector>

namespace quen_merge {

// Faults in the whole pages of buffers [begin, begin + bytes), one for each
// of begins, on a thread of its own: as writing them would, without
// touching what they hold. A buffer of hundreds of megabytes costs the
// system a fault per page at its first touch, and the work before its first
// use often leaves a CPU waiting (the stars of the next frame are found on
// one). The buffers go together, a stretch of each at a time, as one pass
// through them touches them. Where the system cannot (before Linux 5.14),
// the first writes fault the pages in as before. Waits for its thread when
// it goes.
class BackgroundFaultIn {
public:
    BackgroundFaultIn(std::vector<char*> begins, size_t bytes);
    ~BackgroundFaultIn();
    BackgroundFaultIn(const BackgroundFaultIn&) = delete;
    BackgroundFaultIn& operator=(const BackgroundFaultIn&) = delete;

private:
    std::thread worker;
};

}  // namespace quen_merge
