#include "io/frame_prefetch.h"

#include <algorithm>
#include <utility>

#include "io/image_io.h"
#include "base/parallel.h"

namespace quen_merge {

unsigned FramePrefetch::LoaderCount() { return std::max(1u, std::min(WorkerCount(), kMaxLoaders)); }

FramePrefetch::FramePrefetch(const std::vector<std::string>& files, unsigned stacking_bytes_per_pixel,
                             Prepare prepare)
    : files(files),
      loader_count(LoaderCount()),
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
    std::unique_ptr<Image16> spare;
    for (;;) {
        size_t position;
        {
            std::unique_lock<std::mutex> lock(mutex);
            // Frame `taken - 1` is being stacked; loader_count more may be in memory.
            changed.wait(lock, [this] {
                return stopping || next_to_load < std::min(files.size(), taken + loader_count);
            });
            if (stopping || next_to_load == files.size()) return;
            position = next_to_load++;
            if (!spares.empty()) {
                spare = std::move(spares.back());
                spares.pop_back();
            }
        }
        MessageLog log, prepared;
        std::unique_ptr<ImageData> frame(LoadImageData(files[position].c_str(), bytes_per_pixel, spare, log));
        if (prepare && frame && frame->Image()) prepare(position, frame->Image(), prepared);
        {
            const std::lock_guard<std::mutex> lock(mutex);
            if (spare) spares.push_back(std::move(spare));
            Loaded& slot = loaded[position];
            slot.frame = std::move(frame);
            slot.log = std::move(log);
            slot.prepared = std::move(prepared);
            slot.done = true;
        }
        changed.notify_all();
    }
}

void FramePrefetch::Recycle(Image16* image) {
    std::unique_ptr<Image16> taken_back(image);
    const std::lock_guard<std::mutex> lock(mutex);
    if (taken_back && spares.size() < loader_count) spares.push_back(std::move(taken_back));
}

std::unique_ptr<ImageData> FramePrefetch::Next(MessageLog& prepared) {
    Loaded item;
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [this] { return loaded[taken].done; });
        item = std::move(loaded[taken]);
        ++taken;
    }
    changed.notify_all();
    item.log.Replay();
    prepared = std::move(item.prepared);
    return std::move(item.frame);
}

}  // namespace quen_merge
