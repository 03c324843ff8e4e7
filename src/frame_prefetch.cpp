#include "frame_prefetch.h"

#include "image_io.h"

namespace quen_merge {

FramePrefetch::FramePrefetch(const std::vector<std::string>& files, unsigned stacking_bytes_per_pixel)
    : files(files), bytes_per_pixel(stacking_bytes_per_pixel), loader([this] { LoadAll(); }) {}

FramePrefetch::~FramePrefetch() {
    {
        const std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    loader.join();
}

void FramePrefetch::LoadAll() {
    for (const std::string& name : files) {
        {
            std::unique_lock<std::mutex> lock(mutex);
            changed.wait(lock, [this] { return stopping || ready.size() < kFramesAhead; });
            if (stopping) return;
        }
        MessageLog log;
        std::unique_ptr<ImageData> frame;
        {
            const CaptureMessages capture(log);
            frame.reset(LoadImageData(name.c_str(), bytes_per_pixel));
        }
        {
            const std::lock_guard<std::mutex> lock(mutex);
            ready.emplace_back(std::move(frame), std::move(log));
        }
        changed.notify_all();
    }
}

std::unique_ptr<ImageData> FramePrefetch::Next() {
    std::pair<std::unique_ptr<ImageData>, MessageLog> item;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return !ready.empty(); });
        item = std::move(ready.front());
        ready.pop_front();
    }
    changed.notify_all();
    item.second.Replay();
    return std::move(item.first);
}

}  // namespace quen_merge
