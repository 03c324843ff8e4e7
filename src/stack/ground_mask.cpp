#include "stack/ground_mask.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "base/parallel.h"
#include "io/image_io.h"

namespace quen_merge {

namespace {

constexpr uint32_t kBlock = 16;  // px: the side of the blocks the ground is first decided on
constexpr uint32_t kCell = 4;    // px: the side of the cells that follow the skyline
// One side's detail over the other's (each with the noise's added) that
// decides a block, and a cell, which holds fewer samples.
constexpr double kBlockClear = 1.5;
constexpr double kCellClear = 2.0;
constexpr double kNoiseQuantile = 0.1;  // of block energies: the blocks that hold only noise
// Ground of fewer blocks than this share of the frame's (and at least
// kLeastGroundBlocks) is a speck in the sky: a hot pixel, a meteor's end.
constexpr double kLeastGroundShare = 0.002;
constexpr size_t kLeastGroundBlocks = 4;
constexpr int kFeatherRadius = 2;  // px: the box blurred twice over the seam
constexpr size_t kRowsPerPiece = 32;
constexpr long kSkylineBlocks = 2;         // blocks: how far from a change of side the skyline may run
constexpr long kSkylineReach = 8;          // blocks: where a skyline block looks for each side's brightness
constexpr size_t kLeastLevelBlocks = 3;    // of each side, for a level

enum Side : signed char { kUnknown = -1, kSky = 0, kGround = 1 };

// Energies summed over square tiles of side `side`, row by row.
std::vector<double> TileSums(const std::vector<float>& energy, uint32_t width, uint32_t height, uint32_t side,
                             uint32_t& columns, uint32_t& rows) {
    columns = (width + side - 1) / side;
    rows = (height + side - 1) / side;
    std::vector<double> sums(size_t(columns) * rows, 0.0);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            sums[size_t(y / side) * columns + x / side] += energy[size_t(y) * width + x];
    return sums;
}

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    const size_t k = std::min(values.size() - 1, size_t(q * double(values.size())));
    std::nth_element(values.begin(), values.begin() + long(k), values.end());
    return values[k];
}

// Each side's detail in units of its own noise (resampling smooths the
// aligned stack's noise), plus one so that noise alone gives a ratio of 1.
Side Decide(double ground, double sky, double ground_noise, double sky_noise, double clear) {
    const double ratio = (ground / ground_noise + 1) / (sky / sky_noise + 1);
    return ratio > clear ? kGround : ratio < 1 / clear ? kSky : kUnknown;
}

// Gives each undecided block the side most of its decided neighbours take
// (the sky on a tie), a ring at a time; with nothing decided, all is sky.
void FillUndecided(std::vector<Side>& side, uint32_t columns, uint32_t rows) {
    for (bool changed = true; changed;) {
        changed = false;
        std::vector<Side> next = side;
        for (uint32_t y = 0; y < rows; ++y)
            for (uint32_t x = 0; x < columns; ++x) {
                if (side[size_t(y) * columns + x] != kUnknown) continue;
                int ground = 0, sky = 0;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx) {
                        const long nx = long(x) + dx, ny = long(y) + dy;
                        if (nx < 0 || ny < 0 || nx >= long(columns) || ny >= long(rows)) continue;
                        const Side s = side[size_t(ny) * columns + size_t(nx)];
                        ground += s == kGround;
                        sky += s == kSky;
                    }
                if (ground + sky == 0) continue;
                next[size_t(y) * columns + x] = ground > sky ? kGround : kSky;
                changed = true;
            }
        side = std::move(next);
    }
    for (Side& s : side)
        if (s == kUnknown) s = kSky;
}

// Turns to sky every 4-connected patch of ground blocks smaller than least.
void ClearSpecks(std::vector<Side>& side, uint32_t columns, uint32_t rows, size_t least) {
    std::vector<char> seen(side.size(), 0);
    std::vector<size_t> patch, stack;
    for (size_t start = 0; start < side.size(); ++start) {
        if (side[start] != kGround || seen[start]) continue;
        patch.clear();
        stack.assign(1, start);
        seen[start] = 1;
        while (!stack.empty()) {
            const size_t i = stack.back();
            stack.pop_back();
            patch.push_back(i);
            const uint32_t x = uint32_t(i % columns), y = uint32_t(i / columns);
            const size_t neighbours[] = {x > 0 ? i - 1 : i, x + 1 < columns ? i + 1 : i, y > 0 ? i - columns : i,
                                         y + 1 < rows ? i + columns : i};
            for (size_t n : neighbours)
                if (side[n] == kGround && !seen[n]) seen[n] = 1, stack.push_back(n);
        }
        if (patch.size() < least)
            for (size_t i : patch) side[i] = kSky;
    }
}

// Whether a block has a block of the other side within kSkylineBlocks: the
// skyline may run through it (the blocks' own decision is a block off there).
bool OnSkyline(const std::vector<Side>& side, uint32_t columns, uint32_t rows, uint32_t x, uint32_t y) {
    const Side own = side[size_t(y) * columns + x];
    for (long dy = -kSkylineBlocks; dy <= kSkylineBlocks; ++dy)
        for (long dx = -kSkylineBlocks; dx <= kSkylineBlocks; ++dx) {
            const long nx = long(x) + dx, ny = long(y) + dy;
            if (nx < 0 || ny < 0 || nx >= long(columns) || ny >= long(rows)) continue;
            if (side[size_t(ny) * columns + size_t(nx)] != own) return true;
        }
    return false;
}

// Each pixel becomes the largest (or the mean) of the pixels within r of it
// along its row, then along its column; rows are read whole, on every CPU.
enum class Reduce { kLargest, kMean };

void FilterRows(FloatImage& image, int r, Reduce how) {
    const size_t w = image.width;
    ForEachPiece(image.height, kRowsPerPiece, [&](size_t begin, size_t end) {
        std::vector<float> row(w);
        for (size_t y = begin; y < end; ++y) {
            float* line = image.data + y * w;
            std::copy(line, line + w, row.begin());
            for (size_t x = 0; x < w; ++x) {
                const size_t from = x > size_t(r) ? x - size_t(r) : 0, to = std::min(w - 1, x + size_t(r));
                float value = 0;  // weights are never below 0
                for (size_t i = from; i <= to; ++i)
                    value = how == Reduce::kLargest ? std::max(value, row[i]) : value + row[i];
                // The mean as though the edge pixel went on past the edge.
                if (how == Reduce::kMean)
                    value = (value + float(x + size_t(r) - to) * row[w - 1] + float(from + size_t(r) - x) * row[0]) /
                            float(2 * r + 1);
                line[x] = value;
            }
        }
    });
}

void FilterColumns(FloatImage& image, int r, Reduce how) {
    const size_t w = image.width, h = image.height;
    const std::vector<float> source(image.data, image.data + w * h);
    ForEachPiece(h, kRowsPerPiece, [&](size_t begin, size_t end) {
        for (size_t y = begin; y < end; ++y) {
            float* line = image.data + y * w;
            for (size_t x = 0; x < w; ++x) line[x] = 0;
            for (long d = -r; d <= r; ++d) {
                const float* other = source.data() + size_t(std::clamp(long(y) + d, 0L, long(h) - 1)) * w;
                for (size_t x = 0; x < w; ++x)
                    line[x] = how == Reduce::kLargest ? std::max(line[x], other[x]) : line[x] + other[x];
            }
            if (how == Reduce::kMean)
                for (size_t x = 0; x < w; ++x) line[x] /= float(2 * r + 1);
        }
    });
}

// Each block's median brightness.
std::vector<float> BlockMedians(const std::vector<float>& brightness, uint32_t width, uint32_t height,
                                uint32_t columns, uint32_t rows) {
    std::vector<float> medians(size_t(columns) * rows), values;
    for (uint32_t by = 0; by < rows; ++by)
        for (uint32_t bx = 0; bx < columns; ++bx) {
            values.clear();
            for (uint32_t y = by * kBlock; y < std::min(height, (by + 1) * kBlock); ++y)
                for (uint32_t x = bx * kBlock; x < std::min(width, (bx + 1) * kBlock); ++x)
                    values.push_back(brightness[size_t(y) * width + x]);
            std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
            medians[size_t(by) * columns + bx] = values[values.size() / 2];
        }
    return medians;
}

// Where the skyline runs through a block, the ground and the sky near it
// usually differ in brightness (a dark land under the sky's glow): the
// level between the nearby blocks wholly of each side then draws the line
// to the pixel. Null when they overlap (a lit landscape), and the line is
// left to the cells.
struct SkylineLevel {
    bool found = false;
    float level = 0;           // between the two sides
    bool sky_brighter = true;
};

SkylineLevel LevelNear(const std::vector<Side>& side, const std::vector<char>& skyline,
                       const std::vector<float>& medians, uint32_t columns, uint32_t rows, uint32_t bx,
                       uint32_t by) {
    std::vector<float> of[2];
    for (long dy = -kSkylineReach; dy <= kSkylineReach; ++dy)
        for (long dx = -kSkylineReach; dx <= kSkylineReach; ++dx) {
            const long x = long(bx) + dx, y = long(by) + dy;
            if (x < 0 || y < 0 || x >= long(columns) || y >= long(rows)) continue;
            const size_t i = size_t(y) * columns + size_t(x);
            if (!skyline[i]) of[side[i]].push_back(medians[i]);
        }
    SkylineLevel level;
    if (of[kSky].size() < kLeastLevelBlocks || of[kGround].size() < kLeastLevelBlocks) return level;
    auto quantile = [](std::vector<float>& v, double q) {
        const size_t k = std::min(v.size() - 1, size_t(q * double(v.size())));
        std::nth_element(v.begin(), v.begin() + long(k), v.end());
        return v[k];
    };
    const float sky_low = quantile(of[kSky], 0.25), sky_high = quantile(of[kSky], 0.75);
    const float ground_low = quantile(of[kGround], 0.25), ground_high = quantile(of[kGround], 0.75);
    level.sky_brighter = sky_low > ground_high;
    level.found = level.sky_brighter || ground_low > sky_high;
    level.level = level.sky_brighter ? (sky_low + ground_high) / 2 : (ground_low + sky_high) / 2;
    return level;
}

// The brightness of each pixel with its eight neighbours, against noise.
std::vector<float> Smoothed(const std::vector<float>& brightness, uint32_t width, uint32_t height) {
    std::vector<float> out(brightness);
    for (uint32_t y = 1; y + 1 < height; ++y)
        for (uint32_t x = 1; x + 1 < width; ++x) {
            float sum = 0;
            for (long dy = -1; dy <= 1; ++dy)
                for (long dx = -1; dx <= 1; ++dx)
                    sum += brightness[size_t(long(y) + dy) * width + size_t(long(x) + dx)];
            out[size_t(y) * width + x] = sum / 9;
        }
    return out;
}

}  // namespace

std::vector<float> Brightness(const FloatImage& image) {
    std::vector<float> brightness(size_t(image.width) * image.height);
    for (size_t i = 0; i < brightness.size(); ++i) {
        float sum = 0;
        for (uint32_t k = 0; k < image.channels; ++k) sum += image.data[i * image.channels + k];
        brightness[i] = sum;
    }
    return brightness;
}

std::unique_ptr<FloatImage> GroundFromEvidence(const std::vector<float>& ground_evidence,
                                               const std::vector<float>& sky_evidence,
                                               const std::vector<float>& brightness, uint32_t width,
                                               uint32_t height) {
    uint32_t columns, rows, cell_columns, cell_rows;
    const std::vector<double> ground_blocks = TileSums(ground_evidence, width, height, kBlock, columns, rows);
    const std::vector<double> sky_blocks = TileSums(sky_evidence, width, height, kBlock, columns, rows);
    const std::vector<double> ground_cells = TileSums(ground_evidence, width, height, kCell, cell_columns, cell_rows);
    const std::vector<double> sky_cells = TileSums(sky_evidence, width, height, kCell, cell_columns, cell_rows);
    // Noise floors; a blank frame has none to speak of.
    const double cells_per_block = double((kBlock / kCell) * (kBlock / kCell));
    const double ground_noise = std::max(Quantile(ground_blocks, kNoiseQuantile), 1e-30);
    const double sky_noise = std::max(Quantile(sky_blocks, kNoiseQuantile), 1e-30);

    std::vector<Side> side(ground_blocks.size());
    for (size_t i = 0; i < side.size(); ++i)
        side[i] = Decide(ground_blocks[i], sky_blocks[i], ground_noise, sky_noise, kBlockClear);
    FillUndecided(side, columns, rows);
    ClearSpecks(side, columns, rows, std::max(kLeastGroundBlocks, size_t(kLeastGroundShare * double(side.size()))));

    std::vector<char> skyline(side.size());
    for (uint32_t by = 0; by < rows; ++by)
        for (uint32_t bx = 0; bx < columns; ++bx)
            skyline[size_t(by) * columns + bx] = OnSkyline(side, columns, rows, bx, by);
    const std::vector<float> medians = BlockMedians(brightness, width, height, columns, rows);
    const std::vector<float> smooth = Smoothed(brightness, width, height);
    std::vector<SkylineLevel> levels(side.size());
    for (uint32_t by = 0; by < rows; ++by)
        for (uint32_t bx = 0; bx < columns; ++bx)
            if (skyline[size_t(by) * columns + bx])
                levels[size_t(by) * columns + bx] = LevelNear(side, skyline, medians, columns, rows, bx, by);

    auto mask = std::make_unique<FloatImage>(width, height, 1);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            const size_t block = size_t(y / kBlock) * columns + x / kBlock;
            Side s = side[block];
            if (levels[block].found) {
                const bool brighter = smooth[size_t(y) * width + x] > levels[block].level;
                s = brighter == levels[block].sky_brighter ? kSky : kGround;
            } else if (skyline[block]) {
                const size_t cell = size_t(y / kCell) * cell_columns + x / kCell;
                const Side fine = Decide(ground_cells[cell], sky_cells[cell], ground_noise / cells_per_block,
                                          sky_noise / cells_per_block, kCellClear);
                if (fine != kUnknown) s = fine;
            }
            mask->data[size_t(y) * width + x] = s == kGround ? 1.0f : 0.0f;
        }
    return mask;
}

double GroundShare(const FloatImage& mask) {
    const size_t n = mask.ElementCount();
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += mask.data[i];
    return n ? sum / double(n) : 0;
}

std::unique_ptr<FloatImage> ReadGroundMask(const std::string& path, uint32_t width, uint32_t height,
                                           std::string& why) {
    const std::unique_ptr<ImageData> loaded(LoadImageData(path.c_str()));
    const Image16* image = loaded ? loaded->Image() : nullptr;
    if (!image) {
        why = "cannot be read as an image";
        return nullptr;
    }
    if (image->width != width || image->height != height) {
        char text[128];
        std::snprintf(text, sizeof text, "is %u x %u, the stack %u x %u", image->width, image->height, width, height);
        why = text;
        return nullptr;
    }
    auto mask = std::make_unique<FloatImage>(width, height, 1);
    const uint32_t c = image->channels;
    for (size_t i = 0; i < size_t(width) * height; ++i) {
        unsigned sum = 0;
        for (uint32_t k = 0; k < c; ++k) sum += image->data[i * c + k];
        mask->data[i] = sum > c * 32767u ? 1.0f : 0.0f;
    }
    return mask;
}

std::unique_ptr<FloatImage> UsersGroundMask(const std::string& path, uint32_t width, uint32_t height) {
    std::string why;
    std::unique_ptr<FloatImage> mask = ReadGroundMask(path, width, height, why);
    if (!mask) {
        std::fflush(stdout);
        std::fprintf(stderr, "-G: the mask \"%s\" %s\n", path.c_str(), why.c_str());
    }
    return mask;
}

double KeepGround(FloatImage& mask, const FloatImage& held, FloatImage& moving) {
    const double share = GroundShare(mask);
    if (share <= 0) return 0;
    std::printf("Ground held still over %.1f%% of the frame\n", 100 * share);
    FeatherSeam(mask);
    JoinSkyAndGround(moving, held, mask);
    return share;
}

void FeatherSeam(FloatImage& mask) {
    // Grown by the blur's reach first, so that the weights reach 1 at the ground's own edge.
    const int reach = 2 * kFeatherRadius;
    FilterRows(mask, reach, Reduce::kLargest);
    FilterColumns(mask, reach, Reduce::kLargest);
    for (int pass = 0; pass < 2; ++pass) {
        FilterRows(mask, kFeatherRadius, Reduce::kMean);
        FilterColumns(mask, kFeatherRadius, Reduce::kMean);
    }
}

void JoinSkyAndGround(FloatImage& sky, const FloatImage& ground, const FloatImage& weights) {
    const uint32_t c = sky.channels;
    for (size_t i = 0; i < size_t(sky.width) * sky.height; ++i) {
        const float w = weights.data[i];
        if (w <= 0) continue;
        for (uint32_t k = 0; k < c; ++k) {
            float& v = sky.data[i * c + k];
            v = v * (1 - w) + ground.data[i * c + k] * w;
        }
    }
}

}  // namespace quen_merge
