#include "stack/lanczos_table.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "stack/lanczos_kernel.h"

namespace quen_merge {

namespace {

constexpr int kFirstBinade = 8;   // [128, 256)
constexpr int kLastBinade = 24;   // [2^23, 2^24)
constexpr int kMantissaBits = 24;
constexpr double kReach = LanczosTable::kRadius + 1;  // |x - i| within a window

// 2^(24 - binade), one per binade: the number of float steps per unit.
const double kInverseSpacing[kLastBinade - kFirstBinade + 1] = {
    65536, 32768, 16384, 8192, 4096, 2048, 1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1};

// The arguments a window needs differ by whole units: with the entries of
// one fractional part side by side on one 64-byte line, a window's weights
// are one cache miss, not one per tap.
constexpr uint32_t kSlots = 8;  // the 7 whole-unit offsets of one fraction, padded
static_assert(uint32_t(2 * kReach) + 1 <= kSlots, "a fraction's offsets fill one line");
constexpr size_t kLineBytes = kSlots * sizeof(double);

// Each binade's table, filled by the first thread that needs it; once
// published, it is only read. Entry j = u * steps + q (steps per unit) lives
// on line q, in slot u.
struct BinadeTable {
    std::atomic<const double*> ready{nullptr};
    std::mutex filling;
    std::unique_ptr<double[]> storage;
};

BinadeTable tables[kLastBinade - kFirstBinade + 1];

// The float spacing in binade e, as a power of two: 2^(e - 24).
double Spacing(int binade) { return std::ldexp(1.0, binade - kMantissaBits); }

uint32_t StepsPerUnit(int binade) { return uint32_t(kInverseSpacing[binade - kFirstBinade]); }
int StepsShift(int binade) { return kMantissaBits - binade; }  // log2 of StepsPerUnit

// Where entry j of a binade of 2^shift steps per unit lives.
size_t Slot(uint32_t j, int shift) { return size_t(j & ((uint32_t(1) << shift) - 1)) * kSlots + (j >> shift); }

const double* Fill(BinadeTable& t, int binade) {
    const std::lock_guard<std::mutex> lock(t.filling);
    if (!t.storage) {
        const uint32_t steps = StepsPerUnit(binade), size = LanczosTable::Size(binade);
        t.storage.reset(new double[size_t(steps) * kSlots + kSlots]);
        void* start = t.storage.get();
        size_t space = (size_t(steps) + 1) * kLineBytes;
        double* lines = static_cast<double*>(std::align(kLineBytes, size_t(steps) * kLineBytes, start, space));
        const double spacing = Spacing(binade);
        for (uint32_t q = 0; q < steps; ++q) {
            for (uint32_t u = 0; u < kSlots; ++u) {
                const uint32_t j = u * steps + q;
                // -3 + j * spacing is a float, exactly as x - float(i) is.
                const float argument = float(-kReach + double(j) * spacing);
                lines[size_t(q) * kSlots + u] = j < size ? lanczos(double(argument), LanczosTable::kRadius) : 0.0;
            }
        }
        t.ready.store(lines, std::memory_order_release);
    }
    return t.ready.load(std::memory_order_relaxed);
}

const double* Table(int binade) {
    BinadeTable& t = tables[binade - kFirstBinade];
    const double* weights = t.ready.load(std::memory_order_acquire);
    return weights ? weights : Fill(t, binade);
}

}  // namespace

int LanczosTable::Binade(float p) {
    // The exponent field of the float, as frexp would return it.
    uint32_t bits;
    std::memcpy(&bits, &p, sizeof bits);
    return int((bits >> 23) & 0xff) - 126;
}

uint32_t LanczosTable::Size(int binade) {
    return uint32_t(2 * kReach / Spacing(binade)) + 1;
}

double LanczosTable::Entry(int binade, uint32_t j) { return Table(binade)[Slot(j, StepsShift(binade))]; }

void LanczosTable::Prefetch(float p) {
    if (!Covers(p)) return;
    const int binade = Binade(p);
    const double* table = tables[binade - kFirstBinade].ready.load(std::memory_order_acquire);
    if (!table) return;
    // Every tap's entry sits on the line of p's fractional part.
    const float fraction = p - std::floor(p);
    const uint32_t line = uint32_t(double(fraction) * kInverseSpacing[binade - kFirstBinade]);
    __builtin_prefetch(table + size_t(line) * kSlots);
}

void LanczosTable::Weights(float p, int first, int last, double* weights) {
    const int binade = Binade(p);
    const double* table = Table(binade);
    const double per_spacing = kInverseSpacing[binade - kFirstBinade];
    const int shift = StepsShift(binade);
    // (d + 3) / spacing is a whole number, and both steps are exact. The taps'
    // arguments differ by whole units: one line, consecutive slots.
    const uint32_t j = uint32_t((double(p - float(first)) + kReach) * per_spacing);
    const double* line = table + Slot(j & ((uint32_t(1) << shift) - 1), shift);
    const uint32_t slot = j >> shift;
    for (int k = first; k <= last; ++k) weights[k - first] = line[slot - uint32_t(k - first)];
}

void LanczosWeights(float p, int first, int last, double* weights) {
    if (LanczosTable::Covers(p)) {
        LanczosTable::Weights(p, first, last, weights);
    } else {
        for (int k = first; k <= last; ++k) weights[k - first] = lanczos(double(p - float(k)), LanczosTable::kRadius);
    }
}

}  // namespace quen_merge
