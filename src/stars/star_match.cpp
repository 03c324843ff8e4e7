#include "stars/star_match.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <utility>

#include "base/median.h"
#include "stars/mapping_fit.h"

namespace quen_merge {

namespace {

// Among the fixed camera's junk (trees, lit ground, hot columns) the sky's
// stars are fewer of the brightest: its search looks at twice as many.
constexpr size_t kSkyTriangleStars = 80;
constexpr size_t kTriangleNeighbours = 5;
constexpr double kShortestSide = 3.0;          // px: smaller triangles are all centroid noise
// The same triangle in two frames: side ratios within this distance, and
// longest sides within this share of each other (a rigid transform keeps sizes).
constexpr double kRatioTolerance = 0.01;
constexpr double kSizeTolerance = 0.02;
constexpr size_t kReferenceCandidates = 3;     // reference triangles looked at per frame triangle
// A frame star moved within this distance of a reference star is its pair.
constexpr double kMatchRadius = 3.0;
// Candidates are judged first on the frame's brightest stars; a candidate
// that lands this few of them is no transform of this sky.
constexpr size_t kMinScore = 4;
// The refinement: least squares over the pairs within the radius, which then
// closes in to kClipResiduals times the residual of the pairs (within
// kTightestRadius and kMatchRadius), so that wrong and blended pairs drop out.
constexpr int kRefineRounds = 8;
constexpr double kClipResiduals = 3.0;
constexpr double kTightestRadius = 0.75;
constexpr double kHuberScale = 1.5;
// A frame star within this distance of a reference star's very position may
// be fixed to the camera; a fit that moves some star more than kMovedShift
// is a sky that moved.
constexpr double kStillRadius = 1.0;
constexpr double kMovedShift = 2.0;
// Where no sky turns up apart from the stars within kStillRadius, the rest
// may hold fixed features found a little apart in every frame (a
// landscape's texture): the sky is sought again apart from all within this.
constexpr double kJitterRadius = 3.0;
// The residual of a fit that holds the field still beyond which its stars do
// not all hold still, px: centroids scatter by a tenth of that.
constexpr double kStillScatter = 0.5;
// A fit that holds the field nearly still but moves it by this many times
// its residual moved the whole field, as a tracking mount's drift or two
// close frames of a fixed camera do: its stars hold still only to the pixel,
// and are the sky's, not fixed features (which hold still to their
// centroids' precision, a fit of them moving them by no more).
constexpr double kWholeFieldShift = 3.0;
// More stars than these (and this share of them) holding still are features
// fixed to the camera, not chance.
constexpr size_t kChanceStill = 3;
constexpr double kChanceStillShare = 0.05;
// A sky found apart from fixed features that turned by more than this many
// degrees is turning: a frame of the same run that holds still is held by them.
constexpr double kTurningSky = 0.05;
// A sound fit: at least this many pairs, and so many more than a wrong
// transform would find by chance that the odds of chance are below
// kChanceOdds (the many transforms tried included).
constexpr size_t kMinMatchedPairs = 12;
constexpr double kChanceOdds = 1e-9;
constexpr double kPi = 3.14159265358979323846;

using Triangle = TriangleMatcher::Triangle;

// The area the stars spread over: their bounding box, at least one pixel a side.
double FieldArea(const std::vector<StarPoint>& stars) {
    if (stars.empty()) return 1;
    double x0 = stars[0][0], x1 = x0, y0 = stars[0][1], y1 = y0;
    for (const StarPoint& p : stars) {
        x0 = std::min(x0, p[0]), x1 = std::max(x1, p[0]);
        y0 = std::min(y0, p[1]), y1 = std::max(y1, p[1]);
    }
    return std::max(1.0, x1 - x0) * std::max(1.0, y1 - y0);
}

// The log of the chance that at least `agree` of a Poisson count of mean
// `chance` turn up.
double LogChanceOfAtLeast(size_t agree, double chance) {
    if (chance <= 0) return agree ? -INFINITY : 0.0;
    // Terms from `agree` on, each a factor chance / j of the one before.
    const double first = -chance + double(agree) * std::log(chance) - std::lgamma(double(agree) + 1);
    double sum = 0, term = 1;
    for (size_t j = agree + 1; j < agree + 1000 && term > 1e-17 * sum + 1e-300; ++j) {
        sum += term;
        term *= chance / double(j);
    }
    return std::min(0.0, first + std::log(sum + term));
}

double Distance(const StarPoint& a, const StarPoint& b) { return std::hypot(a[0] - b[0], a[1] - b[1]); }

std::vector<double> Fluxes(const std::vector<StarRef>& stars) {
    std::vector<double> fluxes;
    for (const StarRef& s : stars) fluxes.push_back(s.brightness);
    return fluxes;
}

// The triangle of stars i, j, k with its vertices ordered by the sides
// opposite them, shortest first, and its side ratios (middle / longest,
// shortest / longest); false when it is too small.
bool MakeTriangle(const std::vector<StarPoint>& stars, unsigned long i, unsigned long j, unsigned long k,
                  Triangle& triangle, StarPoint& ratios) {
    std::pair<double, unsigned long> sides[3] = {
        {Distance(stars[j], stars[k]), i}, {Distance(stars[k], stars[i]), j}, {Distance(stars[i], stars[j]), k}};
    std::sort(sides, sides + 3);
    if (sides[0].first < kShortestSide) return false;
    for (int v = 0; v < 3; ++v) triangle.vertex[v] = sides[v].second;
    triangle.longest = sides[2].first;
    ratios = StarPoint{{sides[1].first / sides[2].first, sides[0].first / sides[2].first}};
    return true;
}

// The triangles of the brightest stars and their side ratios, each set of
// three stars once.
TriangleMatcher::Triangles BuildTriangles(const std::vector<StarPoint>& stars, size_t count) {
    TriangleMatcher::Triangles set;
    const std::vector<StarPoint> bright(stars.begin(), stars.begin() + std::min(stars.size(), count));
    const StarTree tree(bright);
    std::vector<std::array<unsigned long, 3>> seen;
    for (unsigned long i = 0; i < bright.size(); ++i) {
        const std::vector<unsigned long> near = tree.FindKNearest(bright[i], kTriangleNeighbours + 1);
        for (size_t a = 1; a < near.size(); ++a)
            for (size_t b = a + 1; b < near.size(); ++b) {
                std::array<unsigned long, 3> key{i, near[a], near[b]};
                std::sort(key.begin(), key.end());
                if (std::find(seen.begin(), seen.end(), key) != seen.end()) continue;
                seen.push_back(key);
                Triangle t;
                StarPoint r;
                if (!MakeTriangle(bright, i, near[a], near[b], t, r)) continue;
                set.triangles.push_back(t);
                set.ratios.push_back(r);
            }
    }
    return set;
}

// How many of the first `count` frame stars the transform lands within the
// match radius of a reference star.
size_t Score(const StarFit& fit, const std::vector<StarPoint>& frame, size_t count, const StarTree& tree) {
    const FrameMapping rigid = FrameMapping::Rigid(fit.angle, fit.tx, fit.ty);
    size_t hits = 0;
    unsigned long index;
    double distance;
    for (size_t i = 0; i < std::min(count, frame.size()); ++i)
        if (tree.FindNearest(Moved(rigid, frame[i]), index, distance) && distance < kMatchRadius) ++hits;
    return hits;
}

// A pair's weight in the fit: the inverse of its centroids' summed variance,
// which falls with the stars' light as noise does, down to a floor that no
// star's centroid beats (the pixels and the window set it): stars brighter
// than `typical` weigh little more than it.
double PairWeight(double frame_flux, double reference_flux, double typical) {
    if (!(frame_flux > 0 && reference_flux > 0 && typical > 0)) return 0;
    return 1 / (1 / frame_flux + 1 / reference_flux + 2 / typical);
}

// Pairs every frame star with the reference star the mapping lands it
// nearest to, within radius, one frame star per reference star (the nearest).
void Pair(const FrameMapping& mapping, const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
          const std::vector<StarPoint>& reference, const std::vector<double>& reference_fluxes,
          const StarTree& tree, double radius, double typical, StarPairs& out) {
    std::vector<std::pair<double, std::pair<size_t, unsigned long>>> pairs;
    unsigned long index;
    double distance;
    for (size_t i = 0; i < frame.size(); ++i)
        if (tree.FindNearest(Moved(mapping, frame[i]), index, distance) && distance < radius)
            pairs.push_back({distance, {i, index}});
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<bool> used(reference.size(), false);
    out = StarPairs();
    for (const auto& p : pairs) {
        const size_t f = p.second.first;
        const unsigned long r = p.second.second;
        if (used[r]) continue;
        used[r] = true;
        out.from.push_back(frame[f]);
        out.to.push_back(reference[r]);
        out.weights.push_back(PairWeight(frame_fluxes[f], reference_fluxes[r], typical));
    }
}

// Huber's weights: a pair whose residual exceeds kHuberScale times the
// typical residual counts as much as one at that distance would, so a star
// with a companion or a bloated core pulls the fit no more than it should.
void DownWeightFarPairs(const FrameMapping& mapping, StarPairs& pairs) {
    std::vector<double> residuals;
    for (size_t i = 0; i < pairs.from.size(); ++i)
        residuals.push_back(Distance(Moved(mapping, pairs.from[i]), pairs.to[i]));
    const double typical = Median(residuals);
    if (!(typical > 0)) return;
    for (size_t i = 0; i < residuals.size(); ++i)
        if (residuals[i] > kHuberScale * typical) pairs.weights[i] *= kHuberScale * typical / residuals[i];
}

}  // namespace

TriangleMatcher::TriangleMatcher(const std::vector<StarRef>& reference, size_t bright_stars)
    : bright_stars(bright_stars),
      catalogue(reference),
      stars(StarPositions(reference)),
      fluxes(Fluxes(reference)),
      typical_flux(Median(fluxes)),
      field_area(FieldArea(stars)),
      star_tree(stars),
      triangles(BuildTriangles(stars, bright_stars)),
      triangle_tree(triangles.ratios) {}

StarFit TriangleMatcher::BestCandidate(const std::vector<StarPoint>& frame, size_t& score) const {
    const Triangles own = BuildTriangles(frame, bright_stars);
    // Every pair of like triangles proposes a transform; the one that lands
    // most of the frame's brightest stars on reference stars wins.
    StarFit best;
    score = 0;
    std::vector<StarPoint> from(3), to(3);
    for (size_t t = 0; t < own.triangles.size(); ++t) {
        const Triangle& mine = own.triangles[t];
        for (unsigned long r : triangle_tree.FindKNearest(own.ratios[t], kReferenceCandidates)) {
            const Triangle& ref = triangles.triangles[r];
            if (Distance(own.ratios[t], triangles.ratios[r]) > kRatioTolerance ||
                std::fabs(mine.longest / ref.longest - 1) > kSizeTolerance)
                continue;
            for (int v = 0; v < 3; ++v) {
                from[size_t(v)] = frame[mine.vertex[v]];
                to[size_t(v)] = stars[ref.vertex[v]];
            }
            const StarFit candidate = FitRigid(from, to);
            if (candidate.rms > kMatchRadius) continue;
            const size_t hits = Score(candidate, frame, bright_stars, star_tree);
            if (hits > score) {
                score = hits;
                best = candidate;
            }
        }
    }
    return best;
}

StarFit TriangleMatcher::RefineRigid(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
                                     StarFit best, StarPairs& pairs) const {
    double radius = kMatchRadius;
    for (int round = 0; round < kRefineRounds; ++round) {
        Pair(FrameMapping::Rigid(best.angle, best.tx, best.ty), frame, frame_fluxes, stars, fluxes, star_tree, radius,
             typical_flux, pairs);
        if (pairs.from.size() < 2) break;
        best = FitRigid(pairs.from, pairs.to, pairs.weights);
        DownWeightFarPairs(FrameMapping::Rigid(best.angle, best.tx, best.ty), pairs);
        best = FitRigid(pairs.from, pairs.to, pairs.weights);
        radius = std::clamp(kClipResiduals * best.rms, kTightestRadius, kMatchRadius);
    }
    best.mapping = FrameMapping::Rigid(best.angle, best.tx, best.ty);
    return best;
}

FrameMapping TriangleMatcher::Refine(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
                                     FrameMapping mapping, const RadialDistortion* lens, StarPairs& pairs) const {
    double radius = kMatchRadius;
    for (int round = 0; round < kRefineRounds; ++round) {
        Pair(mapping, frame, frame_fluxes, stars, fluxes, star_tree, radius, typical_flux, pairs);
        if (pairs.from.size() < 2) break;
        BalanceAcrossField(pairs);
        mapping = ChooseMapping(pairs, FitRigidMapping(pairs), lens);
        DownWeightFarPairs(mapping, pairs);
        mapping = ChooseMapping(pairs, FitRigidMapping(pairs), lens);
        radius = std::clamp(kClipResiduals * RmsResidual(mapping, pairs), kTightestRadius, kMatchRadius);
    }
    return mapping;
}

bool TriangleMatcher::MatchPositions(const std::vector<StarPoint>& frame, const std::vector<double>& frame_fluxes,
                                     LensEstimate* lens, StarFit& fit, std::string& why) const {
    if (frame.size() < kMinMatchedPairs) {
        why = "too few stars: " + std::to_string(frame.size()) + ", " + std::to_string(kMinMatchedPairs) + " needed";
        return false;
    }
    size_t score = 0;
    StarFit best = BestCandidate(frame, score);
    fit = best;
    if (score < kMinScore) {
        why = "no triangle of its stars matches the reference";
        return false;
    }
    StarPairs pairs;
    best = RefineRigid(frame, frame_fluxes, best, pairs);
    // A wide or distorting lens under a turning sky bends the motion away
    // from rigid towards the edges: the stars out to the match radius say
    // whether a richer mapping holds, and then it is refined over them.
    StarPairs wide;
    Pair(best.mapping, frame, frame_fluxes, stars, fluxes, star_tree, kMatchRadius, typical_flux, wide);
    BalanceAcrossField(wide);
    const FrameMapping chosen = lens ? ChooseMapping(wide, best.mapping, lens->Lens()) : best.mapping;
    if (chosen.kind != MappingKind::kRigid) {
        // The refined pairs are the lens's evidence: the wide ones hold
        // wrong neighbours where the rigid fit is pixels off. The frame is
        // then refined again through the estimate it joined.
        best.mapping = Refine(frame, frame_fluxes, chosen, lens->Lens(), pairs);
        lens->Add(pairs);
        best.mapping = Refine(frame, frame_fluxes, best.mapping, lens->Lens(), pairs);
        best.inliers = pairs.from.size();
        best.rms = RmsResidual(best.mapping, pairs);
    }
    best.pairs = std::move(pairs);
    fit = best;
    if (best.inliers < kMinMatchedPairs) {
        why = "only " + std::to_string(best.inliers) + " of " + std::to_string(frame.size()) +
              " stars agree on a transform, " + std::to_string(kMinMatchedPairs) + " needed";
        return false;
    }
    // The evidence: pairs within the radius the refinement closed in to,
    // against the pairs a wrong transform finds where each frame star has
    // the reference stars' share of the field within that radius.
    const double radius = std::clamp(kClipResiduals * best.rms, kTightestRadius, kMatchRadius);
    const double covered = std::min(1.0, double(stars.size()) * kPi * radius * radius / field_area);
    const double chance = double(frame.size()) * covered;
    if (LogChanceOfAtLeast(best.inliers, chance) > std::log(kChanceOdds)) {
        char text[160];
        std::snprintf(text, sizeof text, "%zu of %zu stars agree within %.2g px; by chance about %.0f would",
                      best.inliers, frame.size(), radius, chance);
        why = text;
        return false;
    }
    return true;
}

double TriangleMatcher::LargestShift(const StarFit& fit) const {
    double largest = 0;
    for (const StarPoint& p : stars) largest = std::max(largest, Distance(Moved(fit.mapping, p), p));
    return largest;
}

TriangleMatcher::SkySearch TriangleMatcher::SearchSky(const std::vector<StarRef>& frame_stars,
                                                      LensEstimate* lens) const {
    SkySearch search;
    // A few stars hold still by chance.
    const size_t chance = std::max(kChanceStill, size_t(kChanceStillShare * double(frame_stars.size())));
    for (const double radius : {kStillRadius, kJitterRadius}) {
        std::vector<StarRef> moving;
        std::vector<StarPoint> still;
        std::vector<unsigned long> still_reference;
        std::vector<char> reference_still(stars.size(), 0);
        unsigned long index;
        double distance;
        for (const StarRef& s : frame_stars) {
            if (star_tree.FindNearest(StarPoint{{s.x, s.y}}, index, distance) && distance < radius) {
                reference_still[index] = 1;
                still.push_back(StarPoint{{s.x, s.y}});
                still_reference.push_back(index);
                continue;
            }
            moving.push_back(s);
        }
        search.fixed_features = still.size() > chance;
        if (!search.fixed_features) return search;
        // Through the run's lens, as any frame: the sky of a wide lens over a
        // landscape bends as much as one without.
        search.matched = MatchApart(reference_still, moving, lens, search.fit);
        // Only a sky found by its evidence says how it moved: the best of
        // the candidates that fail moves the field anyhow.
        search.moved = search.matched && LargestShift(search.fit) > kMovedShift;
        search.fixed_reference.clear();
        if (search.matched) {
            // Stars near the pole hold still too: only those that the sky's
            // motion would have moved are fixed features.
            for (size_t k = 0; k < still.size(); ++k)
                if (Distance(Moved(search.fit.mapping, still[k]), still[k]) > kMovedShift)
                    search.fixed_reference.push_back(still_reference[k]);
            search.fixed_features = search.fixed_reference.size() > chance;
        }
        if (search.matched && search.moved) break;
    }
    return search;
}

bool TriangleMatcher::MatchApartFromFixed(const std::vector<StarRef>& frame_stars, SkyHistory& history,
                                          StarFit& fit) const {
    if (!history.KnowsFixedFeatures()) return false;
    std::vector<StarRef> frame_sky;
    unsigned long index;
    double distance;
    for (const StarRef& s : frame_stars)
        if (!(star_tree.FindNearest(StarPoint{{s.x, s.y}}, index, distance) && distance < kJitterRadius &&
              history.fixed[index]))
            frame_sky.push_back(s);
    return MatchApart(history.fixed, frame_sky, &history.lens, fit);
}

bool TriangleMatcher::MatchApart(const std::vector<char>& set_aside, const std::vector<StarRef>& frame_stars,
                                 LensEstimate* lens, StarFit& fit) const {
    std::vector<StarRef> sky_stars;
    for (size_t r = 0; r < stars.size(); ++r)
        if (!set_aside[r]) sky_stars.push_back(catalogue[r]);
    const TriangleMatcher sky(sky_stars, kSkyTriangleStars);
    std::string why;
    return sky.MatchPositions(StarPositions(frame_stars), Fluxes(frame_stars), lens, fit, why);
}

bool TriangleMatcher::Match(const std::vector<StarRef>& frame_stars, SkyHistory& history, StarFit& fit,
                            std::string& why) const {
    history.held_back = false;
    history.awaits_motion = false;
    if (history.fixed_of != this) history.fixed.assign(stars.size(), 0), history.fixed_of = this;
    // Stars found where a reference star is, to the pixel, are hot pixels
    // and the foreground of a camera that stood still, unless the whole sky
    // stood still too: the sky's motion is sought first without them.
    const SkySearch sky = SearchSky(frame_stars, &history.lens);
    if (sky.matched && sky.moved && sky.fixed_features) {
        fit = sky.fit;
        history.sky_turns = history.sky_turns || std::fabs(fit.angle) > kTurningSky;
        for (unsigned long r : sky.fixed_reference) history.fixed[r] = 1;
        return true;
    }
    // With fixed features among the stars, a richer mapping could land both
    // them and the sky, each in its part of the field.
    if (!MatchPositions(StarPositions(frame_stars), Fluxes(frame_stars), sky.fixed_features ? nullptr : &history.lens,
                        fit, why))
        return false;
    const bool held_still = LargestShift(fit) <= kMovedShift;
    const bool whole_field_moved =
        held_still && fit.rms <= kStillScatter && LargestShift(fit) > kWholeFieldShift * fit.rms;
    // A fit that holds the frame still, while its other stars agree on a
    // motion of their own, lands fixed features on each other: the ground,
    // not the sky. So does one in a run whose sky turns, unless it moved
    // the whole field.
    const bool on_fixed_features =
        held_still && (sky.moved || (history.sky_turns && sky.fixed_features && !whole_field_moved));
    // A field that holds still as a whole (a tracking mount) holds still to
    // its centroids' precision; one whose stars scatter about the fit holds
    // fixed features and a sky that moved too little to tell them apart.
    const bool scattered = held_still && sky.fixed_features && fit.rms > kStillScatter;
    if (on_fixed_features || scattered) {
        // Once the run knows its fixed features, the sky shows apart from
        // them, however little it moved.
        StarFit apart;
        if (MatchApartFromFixed(frame_stars, history, apart)) {
            fit = apart;
            return true;
        }
        history.awaits_motion = true;
        if (on_fixed_features) {
            why = "the stars that hold still are fixed features while the sky turns, and too few of the others agree "
                  "on its motion";
        } else {
            char text[200];
            std::snprintf(text, sizeof text,
                          "its stars hold still only to %.2f px: fixed features, and a sky that moved too little to "
                          "tell apart from them",
                          fit.rms);
            why = text;
            history.held_back = !history.KnowsFixedFeatures();
        }
        return false;
    }
    history.sky_turns = history.sky_turns || (!held_still && std::fabs(fit.angle) > kTurningSky);
    return true;
}

}  // namespace quen_merge
