// Frames loaded ahead of the stacking on other CPUs: while one frame is
// folded in, the next ones decode side by side, each only once fewer than
// kMaxLoaders frames wait or decode ahead of the one being stacked. So the
// frames in memory are bounded, however many frames the stack has.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image_data.h"
#include "message_log.h"

namespace quen_merge {

class FramePrefetch {
public:
    // Starts loading files, in order, each with LoadImageData(name, bytes)
    // where bytes also counts the frames other loaders hold meanwhile.
    FramePrefetch(const std::vector<std::string>& files, unsigned stacking_bytes_per_pixel);
    // Stops loading and waits for the loading threads.
    ~FramePrefetch();
    FramePrefetch(const FramePrefetch&) = delete;
    FramePrefetch& operator=(const FramePrefetch&) = delete;

    // The next file's frame, or null when it could not be loaded, after the
    // messages its loading printed; call once per file, in order.
    std::unique_ptr<ImageData> Next();
    // Takes back a frame's image once it is stacked: later frames of its size
    // decode into it, so that the heap does not fragment over a long stack.
    void Recycle(Image16* image);

    // Loading threads for this process: one per CPU it may run on, at most
    // kMaxLoaders; never fewer than one, so that loading overlaps stacking.
    static unsigned LoaderCount();

private:
    // Frames that may decode or wait ahead of the one being stacked; each
    // costs a decoded frame and, while it decodes, the decoder's bitmap.
    static constexpr unsigned kMaxLoaders = 3;

    struct Loaded {
        std::unique_ptr<ImageData> frame;
        MessageLog log;
        bool done = false;
    };

    void LoadAll();

    const std::vector<std::string>& files;
    const unsigned loader_count;
    const unsigned bytes_per_pixel;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Loaded> loaded;  // by file position
    std::vector<std::unique_ptr<Image16>> spares;  // at most loader_count
    size_t next_to_load = 0;
    size_t taken = 0;
    bool stopping = false;
    std::vector<std::thread> loaders;
};

}  // namespace quen_merge
