// Star matching that does not care about rotation: triangles of bright stars
// and their nearest neighbours, described by the ratios of their sides, pair
// a frame with the reference under any angle and shift; every candidate is
// judged by how many of all the stars it lands on reference stars, and the
// best is refined by least squares over all of its pairs.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "base/frame_mapping.h"
#include "stars/mapping_fit.h"
#include "stars/rigid_fit.h"
#include "stars/star_types.h"

namespace quen_merge {

// What the frames of a run fitted so far tell the later ones.
struct SkyHistory {
    // The frames' width and height: the lens's centre and scale.
    SkyHistory(unsigned width, unsigned height) : lens(width, height) {}

    // Some frame found its sky turning apart from features fixed to the
    // camera, so that a later fit that holds the frame still on them is refused.
    bool sky_turns = false;
    // The lens's distortion, from the frames whose motion departed from rigid.
    LensEstimate lens;
    // The reference stars known to be fixed to the camera: they held still
    // where the sky moved them. Marks by index into the catalogue of the
    // matcher fixed_of, whose matches set them.
    std::vector<char> fixed;
    const void* fixed_of = nullptr;
    // The last frame refused was refused only for want of those: its sky
    // moved too little to tell apart from the fixed features, and none were
    // known yet. It may be matched again once some are.
    bool held_back = false;
    // The last frame refused was refused for want of a sky motion to tell
    // from its fixed features: it may be placed on the run's sky motion once
    // the frames that moved clearly have fixed it.
    bool awaits_motion = false;

    bool KnowsFixedFeatures() const { return std::find(fixed.begin(), fixed.end(), 1) != fixed.end(); }
};

class TriangleMatcher {
public:
    // The reference stars, brightest first; triangles are made of, and
    // candidates judged on, the brightest bright_stars of each side.
    explicit TriangleMatcher(const std::vector<StarRef>& reference, size_t bright_stars = kBrightStars);

    // Triangles join each of the brightest stars with pairs of its nearest
    // neighbours among them: bright stars are found in every frame, and near
    // neighbours keep the triangles small, so lens distortion barely bends them.
    static constexpr size_t kBrightStars = 40;
    TriangleMatcher(const TriangleMatcher&) = delete;
    TriangleMatcher& operator=(const TriangleMatcher&) = delete;

    // Fits the frame's stars (brightest first) onto the reference. True with
    // the fit when it is sound: at least kMinMatchedPairs pairs, far more than
    // a wrong transform would find by chance among these many stars at
    // their density. Otherwise false, with the reason in why. The same stars always give the same fit.
    // What the fit learns of the run goes into history.
    bool Match(const std::vector<StarRef>& frame, SkyHistory& history, StarFit& fit, std::string& why) const;

    // The reference stars' positions, in the order SkyHistory::fixed marks them.
    const std::vector<StarPoint>& Stars() const { return stars; }

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
    // The best candidate refined by least squares over all its pairs, if
    // sound; otherwise false with the reason, fit then holding the best
    // candidate found (0 inliers when there was none). Without the lens
    // estimate the mapping stays rigid; with it, a frame whose motion departs
    // from rigid adds its evidence of the lens.
    bool MatchPositions(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
                        LensEstimate* lens, StarFit& fit, std::string& why) const;
    // Rounds of pairing and refitting the rigid transform, the radius
    // closing in on the residual; pairs holds the last round's pairs.
    StarFit RefineRigid(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes, StarFit best,
                        StarPairs& pairs) const;
    // As above, refitting the simplest mapping the pairs justify.
    FrameMapping Refine(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
                        FrameMapping mapping, const RadialDistortion* lens, StarPairs& pairs) const;
    // The sky's motion sought apart from the stars that hold still on both
    // sides (fixed to the camera), and what that says of them; through the
    // run's lens, which learns from it.
    struct SkySearch {
        bool fixed_features = false;  // more stars hold still than chance, and the sky would have moved them
        bool matched = false;         // the moving stars gave a sound fit
        bool moved = false;           // their best candidate moves the field
        StarFit fit;                  // that fit, or the best candidate
        std::vector<unsigned long> fixed_reference;  // the reference stars that held still where it moved them
    };
    SkySearch SearchSky(const std::vector<StarRef>& frame, LensEstimate* lens) const;
    // The sky sought apart from the stars the run knows to be fixed (and the
    // frame's stars within reach of them), its motion however small; true
    // with the fit when it is sound.
    bool MatchApartFromFixed(const std::vector<StarRef>& frame, SkyHistory& history, StarFit& fit) const;
    // The frame's stars matched with the reference stars not set aside (marks
    // by index), through lens where given; true with the fit when it is sound.
    bool MatchApart(const std::vector<char>& set_aside, const std::vector<StarRef>& frame, LensEstimate* lens,
                    StarFit& fit) const;
    // How far the fit's mapping moves the farthest reference star, px.
    double LargestShift(const StarFit& fit) const;

    size_t bright_stars;
    std::vector<StarRef> catalogue;
    std::vector<StarPoint> stars;
    std::vector<double> fluxes;  // the stars' brightness
    double typical_flux;         // their median
    double field_area;           // the area they spread over, px^2
    StarTree star_tree;
    Triangles triangles;
    StarTree triangle_tree;  // over the triangles' side ratios
};

}  // namespace quen_merge
