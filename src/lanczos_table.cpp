#include "lanczos_table.h"

#include <atomic>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

#include "sampler.h"

namespace quen_merge {

namespace {

constexpr int kFirstBinade = 8;   // [128, 256)
constexpr int kLastBinade = 24;   // [2^23, 2^24)
constexpr int kMantissaBits = 24;
constexpr double kReach = LanczosTable::kRadius + 1;  // |x - i| within a window

// 2^(24 - binade), one per binade: the number of float steps per unit.
const double kInverseSpacing[kLastBinade - kFirstBinade + 1] = {
    65536, 32768, 16384, 8192, 4096, 2048, 1024, 512, 256, 128, 64, 32, 16, 8, 4, 2, 1};

// Each binade's table, filled by the first thread that needs it; once
// published, it is only read.
struct BinadeTable {
    std::atomic<const double*> ready{nullptr};
    std::mutex filling;
    std::unique_ptr<double[]> weights;
};

BinadeTable tables[kLastBinade - kFirstBinade + 1];

// The float spacing in binade e, as a power of two: 2^(e - 24).
double Spacing(int binade) { return std::ldexp(1.0, binade - kMantissaBits); }

const double* Fill(BinadeTable& t, int binade) {
    const std::lock_guard<std::mutex> lock(t.filling);
    if (!t.weights) {
        const uint32_t size = LanczosTable::Size(binade);
        t.weights.reset(new double[size]);
        const double spacing = Spacing(binade);
        for (uint32_t j = 0; j < size; ++j) {
            // -3 + j * spacing is a float, exactly as x - float(i) is.
            const float argument = float(-kReach + double(j) * spacing);
            t.weights[j] = lanczos(double(argument), LanczosTable::kRadius);
        }
        t.ready.store(t.weights.get(), std::memory_order_release);
    }
    return t.weights.get();
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

double LanczosTable::Entry(int binade, uint32_t j) { return Table(binade)[j]; }

void LanczosTable::Weights(float p, int first, int last, double* weights) {
    const int binade = Binade(p);
    const double* table = Table(binade);
    const double per_spacing = kInverseSpacing[binade - kFirstBinade];
    for (int k = first; k <= last; ++k) {
        // (d + 3) / spacing is a whole number, and both steps are exact.
        const float d = p - float(k);
        weights[k - first] = table[uint32_t((double(d) + kReach) * per_spacing)];
    }
}

}  // namespace quen_merge
