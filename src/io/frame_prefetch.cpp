#include "io/frame_prefetch.h"

#include <algorithm>
#include <utility>

#include "io/image_io.h"
#include "base/parallel.h"

namespace quen_merge {

unsigned FramePrefetch::LoaderCount(unsigned max_frames) {
    return std::max(1u, std::min({WorkerCount(), kMaxLoaders, max_frames}));
}

FramePrefetch::FramePrefetch(const std::vector<std::string>& files, unsigned stacking_bytes_per_pixel,
                             Prepare prepare, unsigned max_frames)
    : files(files),
      loader_count(LoaderCount(max_frames)),
      bytes_per_pixel(stacking_bytes_per_pixel + (loader_count - 1) * kLoadingBytesPerPixel),
      prepare(std::move(prepare)),
      loaded(files.size()) {
    for (unsigned i = 0; i < loader_count; ++i) loaders.emplace_back([this] { LoadAll(); });
}

FramePrefetch::~FramePrefetch() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    for (std::thread& loader : loaders) loader.join();
}

void FramePrefetch::LoadAll() {
    for (;;) {
        size_t position;
        {
            std::unique_lock<std::mutex> lock(mutex);
            // Frames before `taken` are gone but the one being stacked:
            // loader_count frames in memory at most.
            changed.wait(lock, [this] {
                return stopping || next_to_load < std::min(files.size(), taken + loader_count - (holding ? 1 : 0));
            });
            if (stopping || next_to_load == files.size()) return;
            position = next_to_load++;
        }
        MessageLog log, prepared;
        std::unique_ptr<ImageData> frame(LoadImageData(files[position].c_str(), bytes_per_pixel, log));
        if (prepare && frame && frame->Image()) prepare(position, frame->Image(), prepared);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            Loaded& slot = loaded[position];
            slot.frame = std::move(frame);
            slot.log = std::move(log);
            slot.prepared = std::move(prepared);
            slot.done = true;
        }
        changed.notify_all();
    }
}

std::unique_ptr<ImageData> FramePrefetch::Next(MessageLog& prepared) {
    Loaded item;
    {
        std::unique_lock<std::mutex> lock(mutex);
        holding = false;  // the frame before is gone: another may decode
        changed.notify_all();
        changed.wait(lock, [this] { return loaded[taken].done; });
        item = std::move(loaded[taken]);
        ++taken;
        holding = true;
    }
    changed.notify_all();
    item.log.Replay();
    prepared = std::move(item.prepared);
    return std::move(item.frame);
}

}  // namespace quen_merge
