// Frames loaded ahead of the stacking on other CPUs: while one frame is
// folded in, the next ones decode side by side, each only once fewer than
// one frame per loading thread is in memory, the one being stacked included.
// So the frames in memory are bounded, however many frames the stack has. Work of
// a frame's own that needs no other frame (finding its stars) can be done
// there too, after it loads.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "io/image_data.h"
#include "base/message_log.h"

namespace quen_merge {

class FramePrefetch {
public:
    // Called on a loading thread for each frame that loads with an image,
    // with its position among the files and the log it says everything into.
    using Prepare = std::function<void(size_t position, const Image16* image, MessageLog& log)>;

    // Starts loading files, in order, each with LoadImageData(name, bytes)
    // where bytes also counts the frames other loaders hold meanwhile, and
    // prepare (may be null) after each.
    // At most max_frames frames are in memory at once (one per loading
    // thread), the one being stacked included.
    FramePrefetch(const std::vector<std::string>& files, unsigned stacking_bytes_per_pixel,
                  Prepare prepare = nullptr, unsigned max_frames = kMaxLoaders);
    // Stops loading and waits for the loading threads.
    ~FramePrefetch();
    FramePrefetch(const FramePrefetch&) = delete;
    FramePrefetch& operator=(const FramePrefetch&) = delete;

    // The next file's frame, or null when it could not be loaded, after the
    // messages its loading printed; call once per file, in order, after the
    // frame before it is gone (the next frames decode only in its place).
    // What its preparation printed goes into prepared, for the caller to
    // replay where the preparation belongs.
    std::unique_ptr<ImageData> Next(MessageLog& prepared);

private:
    // Loading threads for this process: one per CPU it may run on, at most
    // max_frames; never fewer than one, so that loading overlaps stacking.
    static unsigned LoaderCount(unsigned max_frames);

public:
    // The most loading threads, and so the most frames in memory at once,
    // decoding, waiting or being stacked; each costs its decoded frame.
    static constexpr unsigned kMaxLoaders = 3;

private:

    struct Loaded {
        std::unique_ptr<ImageData> frame;
        MessageLog log;
        MessageLog prepared;
        bool done = false;
    };

    void LoadAll();

    const std::vector<std::string>& files;
    const unsigned loader_count;
    const unsigned bytes_per_pixel;
    const Prepare prepare;
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Loaded> loaded;  // by file position
    size_t next_to_load = 0;
    size_t taken = 0;
    bool holding = false;  // the caller has the last frame taken
    bool stopping = false;
    std::vector<std::thread> loaders;
};

}  // namespace quen_merge
