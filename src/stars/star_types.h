// What star alignment passes between its steps: detected stars, their
// positions and pattern descriptors, and the trees over them.
#pragma once

#include <utility>
#include <vector>

#include "ostrel/kdtree.h"

namespace quen_merge {

// One detected star: its centroid (column, row) in pixels, its brightness and
// its size in pixels. The brightness is on the scale of the search that found
// it: for -t a (FindStars) the sum of its background-subtracted 8-bit grey
// values / 255, for -t s (DetectStars) its flux above the background in
// 16-bit units.
struct StarRef {
    double x;
    double y;
    double brightness;
    unsigned long pixel_count;
};

using StarPoint = ostrel::Point<double, 2>;     // x = column, y = row
using PatternNode = ostrel::Point<double, 6>;   // six angles in radians
using StarTree = ostrel::KDTree<double, 2, unsigned long>;
using PatternTree = ostrel::KDTree<double, 6, unsigned long>;
using StarMatch = std::pair<StarPoint, StarPoint>;  // frame star, reference star

// Matched stars: frame positions, their reference positions, each pair's weight.
struct StarPairs {
    std::vector<StarPoint> from, to;
    std::vector<double> weights;
};

// The stars' centroids as points (x, y), in list order.
inline std::vector<StarPoint> StarPositions(const std::vector<StarRef>& stars) {
    std::vector<StarPoint> points;
    points.reserve(stars.size());
    for (const StarRef& s : stars) points.push_back(StarPoint{{s.x, s.y}});
    return points;
}

}  // namespace quen_merge
