// A rectangular grid of pixels with interleaved channels in one contiguous,
// unpadded buffer; row 0 is the top row. Every image of the program is one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// Marks a construction whose creator overwrites every element at once.
struct uninitialised_t {};
constexpr uninitialised_t uninitialised{};

template <typename T>
class image {
public:
    // Allocates width x height x channels zeroed elements; no storage when any
    // dimension is 0. The count is formed in size_t so that the buffer always
    // covers every element that Pixel() can address.
    image(uint32_t width, uint32_t height, uint32_t channels)
        : width(width), height(height), channels(channels) {
        const size_t count = ElementCount();
        if (count != 0) data = new T[count]();
    }

    // As above without zeroing the buffer: for a creator that fills it whole.
    image(uint32_t width, uint32_t height, uint32_t channels, uninitialised_t)
        : width(width), height(height), channels(channels) {
        const size_t count = ElementCount();
        if (count != 0) data = new T[count];
    }

    image(const image& source)
        : width(source.width), height(source.height), channels(source.channels) {
        const size_t count = ElementCount();
        if (count != 0 && source.data != nullptr) {
            data = new T[count];
            for (size_t i = 0; i < count; ++i) data[i] = source.data[i];
        }
    }

    image& operator=(const image&) = delete;

    virtual ~image() { delete[] data; }

    // Number of elements the buffer holds when it has storage.
    size_t ElementCount() const {
        return static_cast<size_t>(width) * height * channels;
    }

    // Channel 0 of pixel (x, y), or null without storage. x < width and
    // y < height are the caller's limits.
    T* Pixel(uint32_t x, uint32_t y) {
        return data ? data + PixelOffset(x, y) : nullptr;
    }
    const T* Pixel(uint32_t x, uint32_t y) const {
        return data ? data + PixelOffset(x, y) : nullptr;
    }

    T* data = nullptr;
    const uint32_t width;
    const uint32_t height;
    const uint32_t channels;

protected:
    // For an image whose buffer another owner holds: a subclass hands the
    // buffer in as storage (every element already written) and sets data to
    // null in its own destructor, before it frees the buffer its own way.
    image(uint32_t width, uint32_t height, uint32_t channels, T* storage)
        : data(storage), width(width), height(height), channels(channels) {}

private:
    size_t PixelOffset(uint32_t x, uint32_t y) const {
        return (static_cast<size_t>(y) * width + x) * channels;
    }
};

// Reflects position v into 0..n-1 about the edge pixels, which are not
// repeated: -1 -> 1, n -> n - 2. The reflection is periodic with period
// 2(n - 1), so far offsets fold back; for n <= 1 the result is 0.
inline uint32_t Reflect(int64_t v, uint32_t n) {
    if (n <= 1) return 0;
    const int64_t period = 2 * int64_t(n - 1);
    v = (v < 0 ? -v : v) % period;
    return uint32_t(v > int64_t(n) - 1 ? period - v : v);
}

}  // namespace ostrel

using Image16 = ostrel::image<unsigned short>;
using FloatImage = ostrel::image<float>;
