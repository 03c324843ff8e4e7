// Star matching that does not care about rotation: triangles of bright stars
// and their nearest neighbours, described by the ratios of their sides, pair
// a frame with the reference under any angle and shift; every candidate is
// judged by how many of all the stars it lands on reference stars, and the
// best is refined by least squares over all of its pairs.
#pragma once

#include <string>
#include <vector>

#include "stars/star_types.h"

namespace quen_merge {

// A rigid transform fitted to matched stars: ref = R(angle) * frame + (tx, ty)
// (see rigid_transform.h), and how well it holds.
struct StarFit {
    double angle = 0;   // degrees
    double tx = 0, ty = 0;
    size_t inliers = 0;  // star pairs within the match radius
    double rms = 0;      // their residual, px
};

class TriangleMatcher {
public:
    // The reference stars, brightest first.
    explicit TriangleMatcher(const std::vector<StarRef>& reference);
    TriangleMatcher(const TriangleMatcher&) = delete;
    TriangleMatcher& operator=(const TriangleMatcher&) = delete;

    // Fits the frame's stars (brightest first) onto the reference. True with
    // the fit when it is sound: at least kMinMatchedPairs pairs that make up a good
    // share of the stars the two frames can have in common. Otherwise false,
    // with the reason in why. The same stars always give the same fit.
    bool Match(const std::vector<StarRef>& frame, StarFit& fit, std::string& why) const;

    // A triangle of stars: its vertices in a fixed order (opposite the
    // shortest, the middle and the longest side) and its longest side.
    struct Triangle {
        unsigned long vertex[3];
        double longest;
    };
    // Triangles and their side ratios (middle / longest, shortest / longest),
    // entry by entry.
    struct Triangles {
        std::vector<Triangle> triangles;
        std::vector<StarPoint> ratios;
    };

private:
    // The transform of the pair of like triangles that lands most of the
    // frame's brightest stars on reference stars, and how many it lands.
    StarFit BestCandidate(const std::vector<StarPoint>& frame, size_t& score) const;
    // The best candidate refined by least squares over all its pairs, if sound.
    bool MatchPositions(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
                        StarFit& fit, std::string& why) const;
    // How far the transform moves the farthest reference star, px.
    double LargestShift(const StarFit& fit) const;

    std::vector<StarPoint> stars;
    std::vector<double> fluxes;  // the stars' brightness
    double typical_flux;         // their median
    StarTree star_tree;
    Triangles triangles;
    StarTree triangle_tree;  // over the triangles' side ratios
};

// The rotation and translation that carry frame[i] onto reference[i] with the
// least sum of squared distances, each weighted by weights[i] (all 1 when
// weights is empty), in closed form; with the pairs' RMS residual.
StarFit FitRigid(const std::vector<StarPoint>& frame, const std::vector<StarPoint>& reference,
                 const std::vector<double>& weights = {});

}  // namespace quen_merge
