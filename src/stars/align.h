// Star alignment: star detection, triangle pattern descriptors and the fit of
// the rotation and translation that carries a frame's stars onto the reference.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "base/frame_calibration.h"
#include "base/message_log.h"
#include "ostrel/image.h"
#include "ostrel/kdtree.h"
#include "stars/star_types.h"

namespace quen_merge {

// Appends the stars of a 3-channel frame to stars, in the scan order of the
// pixel at which each was first met: 4-connected regions of the grey image,
// less a 201-pixel box-blurred background, that start above 30 and hold 11 to
// 399 pixels of value 16 or more.
void FindStars(const Image16* frame, std::vector<StarRef>& stars);
// As above, its progress lines said into log: a frame may look for its stars
// on the thread that loaded it.
void FindStars(const Image16* frame, std::vector<StarRef>& stars, MessageLog& log);
// As above, on the frame calibrated where a master flat of its size is
// given (the flat evens out vignetting the threshold would see).
void FindStars(const Image16* frame, const Calibration& calibration, std::vector<StarRef>& stars, MessageLog& log);

// The descriptor of star points[index]: the angles between the directions to
// its four nearest neighbours, pair by pair. tree must have been built from
// points. Six zeros without a tree, without points or with fewer than 5.
PatternNode GeneratePatternNode(const std::vector<StarPoint>& points, const StarTree* tree,
                                unsigned long index);
// Appends one descriptor per star, in star order; nothing without a tree or
// without points.
void GeneratePatternNodes(const std::vector<StarPoint>& points, const StarTree* tree,
                          std::vector<PatternNode>& out);
// A new tree over the stars' positions, indexed by position in stars; the
// caller owns it.
StarTree* CreateKDTree(const std::vector<StarRef>& stars);

// Finds the rotation and translation that carry frame_stars onto ref_stars:
// every frame star is paired with the reference star of the nearest pattern
// descriptor (closer than 0.1), and RANSAC fits the transform to the pairs.
// The reference pattern tree must have been built from the descriptors of
// ref_stars, in star order. On success params holds the angle in degrees
// and the translation in pixels (see rigid_transform.h).
bool FitStars(const PatternTree* ref_pattern_tree, const std::vector<PatternNode>& ref_patterns,
              const StarTree* ref_star_tree, const std::vector<StarPoint>& ref_stars,
              const std::vector<StarPoint>& frame_stars, double* params);

// The star reference of an aligned stack: one frame's star positions, their
// tree, their descriptors and the descriptors' tree, built once and then only
// read while later frames are fitted onto it.
class StarReference {
public:
    explicit StarReference(std::vector<StarPoint> stars);
    StarReference(const StarReference&) = delete;
    StarReference& operator=(const StarReference&) = delete;

    // FitStars of frame_stars onto this reference: true with the transform
    // (degrees, tx, ty) in params.
    bool Fit(const std::vector<StarPoint>& frame_stars, double* params) const;

    const std::vector<StarPoint>& Stars() const { return stars; }
    const StarTree& Tree() const { return star_tree; }
    const std::vector<PatternNode>& Patterns() const { return patterns; }

private:
    std::vector<StarPoint> stars;
    StarTree star_tree;
    std::vector<PatternNode> patterns;
    std::unique_ptr<PatternTree> pattern_tree;
};

}  // namespace quen_merge
