// Frames loaded ahead of the stacking on another CPU: while one frame is
// folded in, the next one decodes, and it decodes only once the frame before
// it has been taken. So at most two frames are in memory besides the stack,
// however many frames it has.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "image_data.h"
#include "message_log.h"

namespace quen_merge {

class FramePrefetch {
public:
    // Starts loading files, in order, each with LoadImageData(name, bytes).
    FramePrefetch(const std::vector<std::string>& files, unsigned stacking_bytes_per_pixel);
    // Stops loading and waits for the loading thread.
    ~FramePrefetch();
    FramePrefetch(const FramePrefetch&) = delete;
    FramePrefetch& operator=(const FramePrefetch&) = delete;

    // The next file's frame, or null when it could not be loaded, after the
    // messages its loading printed; call once per file, in order.
    std::unique_ptr<ImageData> Next();

private:
    static constexpr size_t kFramesAhead = 1;  // decoded frames that may wait

    void LoadAll();

    const std::vector<std::string>& files;
    const unsigned bytes_per_pixel;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<std::unique_ptr<ImageData>, MessageLog>> ready;
    bool stopping = false;
    std::thread loader;
};

}  // namespace quen_merge
