// Random draws that give the same numbers with any standard library: the
// engine is the standard's mt19937_64, whose output the standard fixes, and
// the distributions are written out here, since each library may implement
// its own. The generated test frames, and so the tests' figures, are then
// the same on every platform whose maths library rounds log alike.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>

namespace portable_random {

using Engine = std::mt19937_64;

// A double in [0, 1): the engine's 64 bits over 2^64, rounded to double
// (what rounds up to 1 becomes the largest double below it).
inline double Unit(Engine& rng) {
    const double u = double(rng()) / 18446744073709551616.0;
    return u < 1.0 ? u : std::nextafter(1.0, 0.0);
}

// Doubles spread evenly over [lo, hi).
class Uniform {
public:
    Uniform(double lo, double hi) : lo(lo), hi(hi) {}
    double operator()(Engine& rng) const { return Unit(rng) * (hi - lo) + lo; }

private:
    double lo, hi;
};

// Whole numbers spread evenly over [lo, hi], without bias: the draw times
// the range's size, its high 64 bits kept, the few draws that would favour
// some values drawn again (Lemire's method).
class UniformInt {
public:
    UniformInt(int lo, int hi) : lo(lo), size(uint64_t(uint64_t(hi) - uint64_t(lo)) + 1) {}
    int operator()(Engine& rng) const {
        unsigned __int128 product = (unsigned __int128)rng() * size;
        uint64_t low = uint64_t(product);
        if (low < size) {
            const uint64_t threshold = (0 - size) % size;
            while (low < threshold) {
                product = (unsigned __int128)rng() * size;
                low = uint64_t(product);
            }
        }
        return int(uint64_t(product >> 64) + uint64_t(lo));
    }

private:
    int lo;
    uint64_t size;
};

// True with probability p.
class Bernoulli {
public:
    explicit Bernoulli(double p) : p(p) {}
    bool operator()(Engine& rng) const { return Unit(rng) < p; }

private:
    double p;
};

// Normal deviates by Marsaglia's polar method: a point drawn in the unit
// disc gives two, the second kept for the next call.
class Normal {
public:
    explicit Normal(double mean = 0, double stddev = 1) : mean(mean), stddev(stddev) {}
    double operator()(Engine& rng) { return Standard(rng) * stddev + mean; }

private:
    double Standard(Engine& rng) {
        if (saved_available) {
            saved_available = false;
            return saved;
        }
        double x, y, r2;
        do {
            x = 2.0 * Unit(rng) - 1.0;
            y = 2.0 * Unit(rng) - 1.0;
            r2 = x * x + y * y;
        } while (r2 > 1.0 || r2 == 0.0);
        const double mult = std::sqrt(-2.0 * std::log(r2) / r2);
        saved = x * mult;
        saved_available = true;
        return y * mult;
    }

    double mean, stddev;
    double saved = 0;
    bool saved_available = false;
};

}  // namespace portable_random
