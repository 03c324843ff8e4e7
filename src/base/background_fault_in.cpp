#include "base/background_fault_in.h"

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <utility>

#include "base/memory_pages.h"

namespace quen_merge {

namespace {

constexpr size_t kStretchBytes = size_t(4) << 20;  // of each buffer at a time

}  // namespace

BackgroundFaultIn::BackgroundFaultIn(std::vector<char*> begins, size_t bytes)
    : worker([begins = std::move(begins), bytes] {
          const uintptr_t page = uintptr_t(sysconf(_SC_PAGESIZE));
          for (size_t at = 0; at < bytes; at += kStretchBytes)
              for (char* begin : begins) {
                  const WholePages pages(begin + at, std::min(bytes - at, kStretchBytes), page);
                  if (pages.end > pages.first && madvise(reinterpret_cast<void*>(pages.first),
                                                         pages.end - pages.first, MADV_POPULATE_WRITE) != 0)
                      return;
              }
      }) {}

BackgroundFaultIn::~BackgroundFaultIn() { worker.join(); }

}  // namespace quen_merge
