#include "base/parallel.h"

#include <sched.h>

#include <mutex>
#include <thread>
#include <vector>

namespace quen_merge {

unsigned WorkerCount() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (sched_getaffinity(0, sizeof cpus, &cpus) != 0) return 1;
    const int count = CPU_COUNT(&cpus);
    return count > 0 ? unsigned(count) : 1;
}

void ForEachPiece(size_t count, size_t piece, const std::function<void(size_t, size_t)>& work,
                  const std::function<void(size_t)>& started) {
    if (count == 0 || piece == 0) return;
    const size_t pieces = (count + piece - 1) / piece;
    std::mutex handing_out;
    size_t next = 0;
    auto worker = [&] {
        for (;;) {
            size_t begin;
            {
                const std::lock_guard<std::mutex> lock(handing_out);
                if (next == pieces) return;
                begin = next++ * piece;
                if (started) started(begin);
            }
            work(begin, begin + piece < count ? begin + piece : count);
        }
    };
    const size_t helpers = std::min<size_t>(WorkerCount(), pieces) - 1;
    std::vector<std::thread> threads;
    for (size_t t = 0; t < helpers; ++t) threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads) t.join();
}

}  // namespace quen_merge
