// The Lanczos weights of radius 2 looked up instead of computed, to the bit.
// For a position x of at least kFrom (128), x - i is exact in single precision and a
// multiple of x's float spacing, so the arguments of the kernel take a bounded
// set of values per binade of x; each binade's table is filled once, on first
// use, by the very same lanczos function.
#pragma once

#include <cstdint>

namespace quen_merge {

class LanczosTable {
public:
    static constexpr float kRadius = 2.0f;
    // Positions from kFrom up to kTo are looked up; the kernel is called below.
    static constexpr float kFrom = 128.0f;
    static constexpr float kTo = 16777216.0f;  // 2^24: beyond, whole numbers are not all floats

    // True when the weights at position p come from the table.
    static bool Covers(float p) { return p >= kFrom && p < kTo; }
    // weights[k - first] = lanczos(double(p - float(k)), kRadius) for k from
    // first to last, for a covered p and a window within kRadius + 1 of it.
    static void Weights(float p, int first, int last, double* weights);
    // Asks the cache for what Weights(p, ...) will read; changes no result.
    static void Prefetch(float p);

    // The binade of p (p lies in [2^(binade - 1), 2^binade)) and, for tests,
    // the table of a binade: its size and its entry j, for the argument
    // -(kRadius + 1) + j * 2^(binade - 24).
    static int Binade(float p);
    static uint32_t Size(int binade);
    static double Entry(int binade, uint32_t j);
};

// lanczos(p - k, LanczosTable::kRadius) for k from first to last, into
// weights: looked up where the table holds the very same values, computed
// elsewhere.
void LanczosWeights(float p, int first, int last, double* weights);

}  // namespace quen_merge
