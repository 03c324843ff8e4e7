// 16-bit binary PPM written directly. FreeImage's PNM writer hands its
// stream one sample at a time; these are the same bytes, built in memory on
// every CPU and written at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

namespace quen_merge {

// Rows of a result converted per piece of work when it is saved, in any
// format: enough to keep a CPU busy between hand-outs.
constexpr size_t kSaveRowsPerPiece = 32;

// Writes a "P6" file of maxval 65535 (big-endian samples, top row first) as
// a whole or not at all; fill_row(r, samples) gives row r as native-order
// red, green, blue triples, and may be called for different rows at once.
// True when the file was written.
bool WritePpm16(const char* filename, uint32_t width, uint32_t height,
                const std::function<void(uint32_t row, uint16_t* rgb)>& fill_row);

}  // namespace quen_merge
