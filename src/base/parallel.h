// Work split over every CPU the process may run on: its affinity mask, so
// that taskset limits it. Each worker takes whole pieces, and what a piece
// computes never depends on which worker took it or when.
#pragma once

#include <cstddef>
#include <functional>

namespace quen_merge {

// The CPUs this process may run on, at least 1.
unsigned WorkerCount();

// Calls work(begin, end) for consecutive pieces of [0, count), each at most
// `piece` long, on up to WorkerCount() threads (the caller's among them), and
// returns when all are done. Pieces are handed out in order; started(begin)
// is called for each piece as it is handed out, one piece at a time and in
// order, so that progress can be reported as a sequential loop would.
void ForEachPiece(size_t count, size_t piece, const std::function<void(size_t begin, size_t end)>& work,
                  const std::function<void(size_t begin)>& started = nullptr);

}  // namespace quen_merge
