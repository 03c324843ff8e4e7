#include "stars/mapping_fit.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/linear_solve.h"
#include "base/median.h"
#include "stars/rigid_fit.h"

namespace quen_merge {

namespace {

// Pairs a mapping needs per free parameter before it may be chosen: fewer
// would fit the centroids' noise.
constexpr size_t kPairsPerParameter = 3;
constexpr size_t kProjectiveParameters = 8;
constexpr size_t kCubicParameters = 2 * kCubicTerms;
// A richer mapping must lower the held-out residual by this share.
constexpr double kRequiredGain = 0.1;
constexpr size_t kFolds = 5;
constexpr int kFieldCells = 3;
// Rounds of reweighting that turn the projective fit's algebraic error into
// the distances on the reference grid.
constexpr int kProjectiveRounds = 3;
// The trial values of k1: a rectilinear lens's distortion at the corners
// stays well within +-30 %.
constexpr double kLargestK1 = 0.3;
constexpr double kK1Step = 0.01;
// The frames whose own pairs refine k1 between the trials, and the steps.
constexpr size_t kLensEvidenceFrames = 16;
constexpr int kGoldenSteps = 24;

// Weighted normal equations of a linear least-squares problem, one row of
// unknowns' coefficients at a time.
struct NormalEquations {
    explicit NormalEquations(size_t n) : n(n), a(n * n, 0.0), b(n, 0.0) {}
    void Add(const double* row, double value, double weight) {
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = 0; j < n; ++j) a[i * n + j] += weight * row[i] * row[j];
            b[i] += weight * row[i] * value;
        }
    }
    bool Solve(std::vector<double>& x) {
        if (!SolveLinear(a, b, n)) return false;
        x = b;
        return true;
    }
    size_t n;
    std::vector<double> a, b;
};

double Weight(const StarPairs& pairs, size_t i) { return pairs.weights.empty() ? 1.0 : pairs.weights[i]; }

// The centre and spread of points, to fit in units where terms stay near 1.
void CentreAndScale(const std::vector<StarPoint>& points, double& cx, double& cy, double& scale) {
    cx = cy = 0;
    for (const StarPoint& p : points) {
        cx += p[0];
        cy += p[1];
    }
    cx /= double(points.size());
    cy /= double(points.size());
    scale = 0;
    for (const StarPoint& p : points) scale = std::max({scale, std::fabs(p[0] - cx), std::fabs(p[1] - cy)});
    if (!(scale > 0)) scale = 1;
}

bool Invert(const Homography& h, Homography& inverse) {
    const double det = h[0] * (h[4] * h[8] - h[5] * h[7]) - h[1] * (h[3] * h[8] - h[5] * h[6]) +
                       h[2] * (h[3] * h[7] - h[4] * h[6]);
    if (!(std::fabs(det) > 1e-300)) return false;
    inverse = {(h[4] * h[8] - h[5] * h[7]) / det, (h[2] * h[7] - h[1] * h[8]) / det, (h[1] * h[5] - h[2] * h[4]) / det,
               (h[5] * h[6] - h[3] * h[8]) / det, (h[0] * h[8] - h[2] * h[6]) / det, (h[2] * h[3] - h[0] * h[5]) / det,
               (h[3] * h[7] - h[4] * h[6]) / det, (h[1] * h[6] - h[0] * h[7]) / det, (h[0] * h[4] - h[1] * h[3]) / det};
    return true;
}

Homography Multiply(const Homography& p, const Homography& q) {
    Homography r{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) r[size_t(i * 3 + j)] += p[size_t(i * 3 + k)] * q[size_t(k * 3 + j)];
    return r;
}

// The polynomial that carries from onto to, in units about from's centre.
bool FitCubicMap(const std::vector<StarPoint>& from, const std::vector<StarPoint>& to, const StarPairs& pairs,
                 CubicMap& map) {
    CubicMap fitted;
    CentreAndScale(from, fitted.cx, fitted.cy, fitted.scale);
    NormalEquations ex(kCubicTerms), ey(kCubicTerms);
    for (size_t i = 0; i < from.size(); ++i) {
        const CubicTerms t = CubicTermsOf((from[i][0] - fitted.cx) / fitted.scale, (from[i][1] - fitted.cy) / fitted.scale);
        ex.Add(t.data(), to[i][0], Weight(pairs, i));
        ey.Add(t.data(), to[i][1], Weight(pairs, i));
    }
    std::vector<double> a, b;
    if (!ex.Solve(a) || !ey.Solve(b)) return false;
    std::copy(a.begin(), a.end(), fitted.a.begin());
    std::copy(b.begin(), b.end(), fitted.b.begin());
    map = fitted;
    return true;
}

// The pairs whose index modulo kFolds is (or is not) fold.
StarPairs Fold(const StarPairs& pairs, size_t fold, bool held_out) {
    StarPairs part;
    for (size_t i = 0; i < pairs.from.size(); ++i) {
        if ((i % kFolds == fold) != held_out) continue;
        part.from.push_back(pairs.from[i]);
        part.to.push_back(pairs.to[i]);
        part.weights.push_back(Weight(pairs, i));
    }
    return part;
}

// Fits a mapping of the kind to the pairs; false when they do not determine it.
bool FitKind(MappingKind kind, const StarPairs& pairs, const RadialDistortion* lens, FrameMapping& mapping) {
    switch (kind) {
        case MappingKind::kRigid: mapping = FitRigidMapping(pairs); return true;
        case MappingKind::kProjective: return FitProjective(pairs, mapping);
        case MappingKind::kLensProjective: return lens && FitLensProjective(pairs, *lens, mapping);
        case MappingKind::kCubic: return FitCubic(pairs, mapping);
        case MappingKind::kSkyTurn: break;  // fitted over the whole run, never one frame's pairs
    }
    return false;
}

// The pairs as a pinhole would show them.
StarPairs Undistorted(const StarPairs& pairs, const RadialDistortion& lens) {
    StarPairs ideal = pairs;
    for (size_t i = 0; i < pairs.from.size(); ++i) {
        const Position f = lens.Undistort(pairs.from[i][0], pairs.from[i][1]);
        const Position t = lens.Undistort(pairs.to[i][0], pairs.to[i][1]);
        ideal.from[i] = StarPoint{{f.x, f.y}};
        ideal.to[i] = StarPoint{{t.x, t.y}};
    }
    return ideal;
}

// The median distance of held-out pairs, each fold fitted on the others; a
// negative value when some fold cannot be fitted. The median, not the mean
// square: pairs of wrong neighbours, far off under every mapping, would
// drown how well each mapping follows the right ones.
double HeldOutResidual(MappingKind kind, const StarPairs& pairs, const RadialDistortion* lens) {
    std::vector<double> distances;
    for (size_t fold = 0; fold < kFolds; ++fold) {
        FrameMapping mapping;
        const StarPairs held = Fold(pairs, fold, true);
        if (!FitKind(kind, Fold(pairs, fold, false), lens, mapping)) return -1;
        for (size_t i = 0; i < held.from.size(); ++i) {
            const Position p = mapping.ToReference(held.from[i][0], held.from[i][1]);
            distances.push_back(std::hypot(p.x - held.to[i][0], p.y - held.to[i][1]));
        }
    }
    return distances.empty() ? -1 : Median(distances);
}

// The pairs' summed squared distances after the projective fit through lens;
// negative when they do not determine it.
double SquaredResiduals(const StarPairs& pairs, const RadialDistortion& lens);

}  // namespace

FrameMapping FitRigidMapping(const StarPairs& pairs) {
    const StarFit fit = FitRigid(pairs.from, pairs.to, pairs.weights);
    return FrameMapping::Rigid(fit.angle, fit.tx, fit.ty);
}

bool FitProjective(const StarPairs& pairs, FrameMapping& mapping) {
    if (pairs.from.size() < kProjectiveParameters / 2) return false;
    // In units about each side's centre, so that the equations are well
    // conditioned; the homography is carried back to pixels at the end.
    double fx, fy, fs, tx, ty, ts;
    CentreAndScale(pairs.from, fx, fy, fs);
    CentreAndScale(pairs.to, tx, ty, ts);
    std::vector<double> h(kProjectiveParameters, 0.0);
    h[0] = h[4] = 1;
    for (int round = 0; round < kProjectiveRounds; ++round) {
        NormalEquations e(kProjectiveParameters);
        for (size_t i = 0; i < pairs.from.size(); ++i) {
            const double x = (pairs.from[i][0] - fx) / fs, y = (pairs.from[i][1] - fy) / fs;
            const double X = (pairs.to[i][0] - tx) / ts, Y = (pairs.to[i][1] - ty) / ts;
            const double w = h[6] * x + h[7] * y + 1;
            const double weight = Weight(pairs, i) / (w * w);
            const double rx[8] = {x, y, 1, 0, 0, 0, -x * X, -y * X};
            const double ry[8] = {0, 0, 0, x, y, 1, -x * Y, -y * Y};
            e.Add(rx, X, weight);
            e.Add(ry, Y, weight);
        }
        if (!e.Solve(h)) return false;
    }
    const Homography normalised = {h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], 1};
    const Homography from_units = {1 / fs, 0, -fx / fs, 0, 1 / fs, -fy / fs, 0, 0, 1};
    const Homography to_pixels = {ts, 0, tx, 0, ts, ty, 0, 0, 1};
    Homography forward = Multiply(to_pixels, Multiply(normalised, from_units));
    if (!(std::fabs(forward[8]) > 0)) return false;
    for (double& v : forward) v /= forward[8];
    Homography inverse;
    if (!Invert(forward, inverse)) return false;
    for (double& v : inverse) v /= inverse[8];
    mapping = FrameMapping();
    mapping.kind = MappingKind::kProjective;
    mapping.to_reference = forward;
    mapping.to_frame = inverse;
    return true;
}

bool FitLensProjective(const StarPairs& pairs, const RadialDistortion& lens, FrameMapping& mapping) {
    FrameMapping ideal;
    if (!FitProjective(Undistorted(pairs, lens), ideal)) return false;
    mapping = ideal;
    mapping.kind = MappingKind::kLensProjective;
    mapping.lens = lens;
    return true;
}

bool FitCubic(const StarPairs& pairs, FrameMapping& mapping) {
    if (pairs.from.size() < size_t(kCubicTerms)) return false;
    CubicMap forward, backward;
    if (!FitCubicMap(pairs.from, pairs.to, pairs, forward) || !FitCubicMap(pairs.to, pairs.from, pairs, backward))
        return false;
    mapping = FrameMapping();
    mapping.kind = MappingKind::kCubic;
    mapping.cubic_to_reference = forward;
    mapping.cubic_to_frame = backward;
    return true;
}

double RmsResidual(const FrameMapping& mapping, const StarPairs& pairs) {
    if (pairs.from.empty()) return 0;
    double squares = 0;
    for (size_t i = 0; i < pairs.from.size(); ++i) {
        const Position p = mapping.ToReference(pairs.from[i][0], pairs.from[i][1]);
        squares += (p.x - pairs.to[i][0]) * (p.x - pairs.to[i][0]) + (p.y - pairs.to[i][1]) * (p.y - pairs.to[i][1]);
    }
    return std::sqrt(squares / double(pairs.from.size()));
}

void BalanceAcrossField(StarPairs& pairs) {
    if (pairs.to.empty()) return;
    if (pairs.weights.empty()) pairs.weights.assign(pairs.to.size(), 1.0);
    double x0 = pairs.to[0][0], x1 = x0, y0 = pairs.to[0][1], y1 = y0;
    for (const StarPoint& p : pairs.to) {
        x0 = std::min(x0, p[0]);
        x1 = std::max(x1, p[0]);
        y0 = std::min(y0, p[1]);
        y1 = std::max(y1, p[1]);
    }
    auto cell = [&](const StarPoint& p) {
        const int cx = std::min(kFieldCells - 1, int(kFieldCells * (p[0] - x0) / std::max(x1 - x0, 1.0)));
        const int cy = std::min(kFieldCells - 1, int(kFieldCells * (p[1] - y0) / std::max(y1 - y0, 1.0)));
        return size_t(cy * kFieldCells + cx);
    };
    std::vector<double> totals(kFieldCells * kFieldCells, 0.0);
    for (size_t i = 0; i < pairs.to.size(); ++i) totals[cell(pairs.to[i])] += pairs.weights[i];
    double sum = 0;
    size_t used = 0;
    for (double t : totals)
        if (t > 0) {
            sum += t;
            ++used;
        }
    const double mean = sum / double(used);
    for (size_t i = 0; i < pairs.to.size(); ++i) {
        const double total = totals[cell(pairs.to[i])];
        if (total > mean) pairs.weights[i] *= mean / total;
    }
}

FrameMapping ChooseMapping(const StarPairs& pairs, const FrameMapping& rigid, const RadialDistortion* lens) {
    FrameMapping chosen = rigid;
    double residual = HeldOutResidual(MappingKind::kRigid, pairs, lens);
    if (!(residual > 0)) return chosen;
    // The lens's k1 is the run's, not the frame's: the mapping through it
    // has the projective fit's parameters.
    const std::pair<MappingKind, size_t> richer[] = {{MappingKind::kProjective, kProjectiveParameters},
                                                      {MappingKind::kLensProjective, kProjectiveParameters},
                                                      {MappingKind::kCubic, kCubicParameters}};
    for (const auto& [kind, parameters] : richer) {
        if (pairs.from.size() < kPairsPerParameter * parameters) break;
        if (kind == MappingKind::kLensProjective && !lens) continue;
        const double held_out = HeldOutResidual(kind, pairs, lens);
        FrameMapping fitted;
        if (held_out < 0 || held_out > (1 - kRequiredGain) * residual || !FitKind(kind, pairs, lens, fitted)) continue;
        chosen = fitted;
        residual = held_out;
    }
    return chosen;
}


namespace {

double SquaredResiduals(const StarPairs& pairs, const RadialDistortion& lens) {
    FrameMapping mapping;
    if (!FitLensProjective(pairs, lens, mapping)) return -1;
    const double rms = RmsResidual(mapping, pairs);
    return rms * rms * double(pairs.from.size());
}

}  // namespace

LensEstimate::LensEstimate(unsigned width, unsigned height)
    : squares(size_t(std::lround(2 * kLargestK1 / kK1Step)) + 1, 0.0) {
    lens.cx = (double(width) - 1) / 2;
    lens.cy = (double(height) - 1) / 2;
    lens.scale = std::max(1.0, std::hypot(double(width), double(height)) / 2);
}

void LensEstimate::Add(const StarPairs& pairs) {
    if (pairs.from.size() < kPairsPerParameter * kProjectiveParameters) return;
    // Added only once every trial holds: a frame's evidence counts whole or not at all.
    RadialDistortion trial = lens;
    std::vector<double> frame_squares(squares.size());
    for (size_t i = 0; i < squares.size(); ++i) {
        trial.k1 = -kLargestK1 + double(i) * kK1Step;
        frame_squares[i] = SquaredResiduals(pairs, trial);
        if (frame_squares[i] < 0) return;
    }
    for (size_t i = 0; i < squares.size(); ++i) squares[i] += frame_squares[i];
    ++frames;
    evidence.push_back(pairs);
    if (evidence.size() > kLensEvidenceFrames) evidence.erase(evidence.begin());
    // Between the trials next to the least sum: a golden-section search over
    // the latest frames' own pairs (those of a turning sky that moved most).
    const size_t best = size_t(std::min_element(squares.begin(), squares.end()) - squares.begin());
    double lo = -kLargestK1 + double(best == 0 ? 0 : best - 1) * kK1Step;
    double hi = -kLargestK1 + double(std::min(best + 1, squares.size() - 1)) * kK1Step;
    const double ratio = (std::sqrt(5.0) - 1) / 2;
    double a = hi - ratio * (hi - lo), b = lo + ratio * (hi - lo);
    double fa = EvidenceSquares(a), fb = EvidenceSquares(b);
    for (int step = 0; step < kGoldenSteps; ++step) {
        if (fa < fb) {
            hi = b;
            b = a;
            fb = fa;
            a = hi - ratio * (hi - lo);
            fa = EvidenceSquares(a);
        } else {
            lo = a;
            a = b;
            fa = fb;
            b = lo + ratio * (hi - lo);
            fb = EvidenceSquares(b);
        }
    }
    lens.k1 = (lo + hi) / 2;
}

double LensEstimate::EvidenceSquares(double k1) const {
    RadialDistortion trial = lens;
    trial.k1 = k1;
    double sum = 0;
    for (const StarPairs& pairs : evidence) sum += std::max(0.0, SquaredResiduals(pairs, trial));
    return sum;
}

}  // namespace quen_merge
