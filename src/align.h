// Star alignment: star detection, triangle pattern descriptors and the fit of
// the rotation and translation that carries a frame's stars onto the reference.
#pragma once

#include <utility>
#include <vector>

#include "ostrel/image.h"
#include "ostrel/kdtree.h"

namespace quen_merge {

// One detected star: intensity-weighted centroid (column, row) in pixels, the
// sum of its background-subtracted 8-bit values / 255, and its size.
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

// Appends the stars of a 3-channel frame to stars, in the scan order of the
// pixel at which each was first met: 4-connected regions of the grey image,
// less a 201-pixel box-blurred background, that start above 30 and hold 11 to
// 399 pixels of value 16 or more.
void FindStars(const Image16* frame, std::vector<StarRef>& stars);

// The descriptor of star points[index]: the angles between the directions to
// its four nearest neighbours, pair by pair. tree must have been built from
// points. Six zeros without a tree, without points or with fewer than 5.
PatternNode GeneratePatternNode(const std::vector<StarPoint>& points, const StarTree* tree,
                                unsigned long index);
// Appends one descriptor per star, in star order; nothing without a tree or
// without points.
void GeneratePatternNodes(const std::vector<StarPoint>& points, const StarTree* tree,
                          std::vector<PatternNode>& out);
// The stars' centroids as points (x, y), in list order.
std::vector<StarPoint> StarPositions(const std::vector<StarRef>& stars);
// A new tree over the stars' positions, indexed by position in stars; the
// caller owns it.
StarTree* CreateKDTree(const std::vector<StarRef>& stars);

// Finds the rotation and translation that carry frame_stars onto ref_stars:
// every frame star is paired with the reference star of the nearest pattern
// descriptor (closer than 0.1), and RANSAC fits the transform to the pairs.
// The reference pattern tree must have been built from the descriptors of
// ref_stars, in star order. On success params holds the angle in degrees
// about (0, 0) and the translation in pixels: ref = R(angle) * frame + t.
bool FitStars(const PatternTree* ref_pattern_tree, const std::vector<PatternNode>& ref_patterns,
              const StarTree* ref_star_tree, const std::vector<StarPoint>& ref_stars,
              const std::vector<StarPoint>& frame_stars, double* params);

}  // namespace quen_merge

// The RANSAC error of a transform (degrees, tx, ty) over the listed matches
// of the std::vector<StarMatch> at data: the mean squared distance between the
// moved frame stars and their reference stars, px^2.
double RansacError(const void* data, const size_t* indices, size_t index_count,
                   const double* params, size_t param_count);

// Returns a new image (owned by the caller): src after `passes` horizontal and
// then `passes` vertical box passes of width 2 x radius + 1.
ostrel::image<unsigned char>* BlurImage(ostrel::image<unsigned char>* src, unsigned int radius,
                                        unsigned long passes);
// One box pass along rows (columns) from src into dst, both 1-channel images
// of one size; the window is mirrored at the borders without repeating the
// edge pixel, and each mean is truncated.
void BlurHorizontal(const ostrel::image<unsigned char>* src, ostrel::image<unsigned char>* dst,
                    unsigned int radius);
void BlurVertical(const ostrel::image<unsigned char>* src, ostrel::image<unsigned char>* dst,
                  unsigned int radius);

// Clears the 4-connected region of values >= 16 around (x, y) and gives its
// value-weighted centroid, value sum and pixel count (all 0 for a null image).
void CollectAndZeroRegion(ostrel::image<unsigned char>* img, unsigned int x, unsigned int y,
                          double& cx, double& cy, double& total, unsigned long& count);
// The region walk: adds column x weight, row x weight, weight (the value, or 1
// when not weighted) and 1 per pixel to the outputs, clearing each pixel.
void _CollectAndZeroRegion(ostrel::image<unsigned char>* img, unsigned int x, unsigned int y,
                           bool weighted, double& sx, double& sy, double& sw,
                           unsigned long& count);
