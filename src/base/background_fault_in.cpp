#include "base/background_fault_in.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

namespace quen_merge {

namespace {

constexpr size_t kStretchBytes = size_t(4) << 20;  // of each buffer at a time

}  // namespace

BackgroundFaultIn::BackgroundFaultIn(std::vector<char*> begins, size_t bytes)
    : worker([begins = std::move(begins), bytes] {
          const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
          for (size_t at = 0; at < bytes; at += kStretchBytes)
              for (char* begin : begins) {
                  // Whole pages only: those at either end may hold other buffers.
                  const uintptr_t first = (uintptr_t(begin + at) + page - 1) & ~(page - 1);
                  const uintptr_t end = uintptr_t(begin + std::min(bytes, at + kStretchBytes)) & ~(page - 1);
                  if (end > first && madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE) != 0)
                      return;
              }
      }) {}

BackgroundFaultIn::~BackgroundFaultIn() { worker.join(); }

}  // namespace quen_merge
