#include "stars/sky_motion_fit.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "base/linear_solve.h"
#include "base/median.h"

namespace quen_merge {

namespace {

// Pairs taken from each frame, spread over its list: enough to fix its
// angle and its share of the lens many times over.
constexpr size_t kPairsPerFrame = 240;
// The starts are compared on every kStartStride-th of those.
constexpr size_t kStartStride = 4;
// The unknowns the frames share: the lens's centre, log focal length, shape
// and distortion, and the pole's two tilts.
constexpr size_t kShared = 7;
constexpr int kIterations = 80;
// Starts are compared after this many steps on their angles alone.
constexpr int kAngleSteps = 3;
// The starting lenses: a pinhole and an equidistant fisheye, focal lengths
// from a quarter of the half diagonal (a fisheye's disc) to four times it.
constexpr double kShapeStarts[] = {1.0, 0.0};
constexpr double kFocalStarts[] = {0.25, 0.35, 0.5, 0.7, 1.0, 1.4, 2.0, 4.0};
// A frame is held by the motion when its residual under it is within this
// share (and floor, px) of its own mapping's: its own mapping has more
// freedom, and fits a little of the centroids' noise.
constexpr double kOwnSlack = 1.1;
constexpr double kOwnFloor = 0.01;
// A fit this far above the frames' own residuals after kGiveUpAfter steps
// is no fixed camera's run: the search stops there.
constexpr double kHopeless = 3.0;
constexpr int kGiveUpAfter = 12;
// The best start of a fixed camera's run lands its stars within a few
// hundredths of their motion; a run that moved otherwise (frames turned
// about different points) lands them a tenth or more away.
constexpr double kHopelessStart = 0.08;
// A frame whose stars moved this far, px (and this many times its own
// residual), shows the motion clearly enough to fix the pole and lens.
constexpr double kClearMotion = 2.0;
constexpr double kClearOverResidual = 10.0;
// A pair that no direction carries across weighs as this far off, px.
constexpr double kLost = 1e3;
// The largest |shape| and |k1| a sky camera's lens has.
constexpr double kLargestShape = 1.0;
constexpr double kLargestK1 = 0.5;
// Difference steps of the unknowns: centre (px), log focal, shape's signed
// square, k1, the pole's tilts and the angles (radians).
constexpr double kSteps[kShared] = {1e-3, 1e-6, 1e-6, 1e-6, 1e-6, 1e-7, 1e-7};
constexpr double kAngleStep = 1e-8;
// Placing a frame on the motion: its stars within kFixedReach px of a fixed
// reference star are set aside; the pairing radius closes in from
// kPlaceRadius to kPlaceClip times the residual over the rounds; a placing
// needs kLeastPlaced pairs, kOverChance times those chance would pair, and a
// residual within kPlacedScatter times the stacked frames' (and a floor, px).
constexpr double kFixedReach = 1.0;
constexpr double kPlaceRadius = 2.0;
constexpr double kPlaceClip = 3.0;
constexpr double kTightestPlace = 0.5;
constexpr int kPlaceRounds = 6;
constexpr size_t kLeastPlaced = 12;
constexpr double kOverChance = 10.0;
constexpr double kPlacedScatter = 1.5;
constexpr double kPlacedFloor = 0.05;

struct Sample {
    Position from, to;
    double weight;  // the root of the pair's weight
};
using FrameSamples = std::vector<Sample>;

struct Model {
    SkyLens lens;
    Direction pole{0, 0, 1};
    std::vector<double> angles;
};

Direction Normalised(const Direction& v) {
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / n, v[1] / n, v[2] / n};
}

// Two unit vectors square to a and to each other: the pole's tilts.
void Tangents(const Direction& a, Direction& e1, Direction& e2) {
    const Direction other = std::fabs(a[0]) < 0.9 ? Direction{1, 0, 0} : Direction{0, 1, 0};
    const double along = other[0] * a[0] + other[1] * a[1] + other[2] * a[2];
    e1 = Normalised({other[0] - along * a[0], other[1] - along * a[1], other[2] - along * a[2]});
    e2 = {a[1] * e1[2] - a[2] * e1[1], a[2] * e1[0] - a[0] * e1[2], a[0] * e1[1] - a[1] * e1[0]};
}

// The shape moves as its signed square, s |s|: the lens's radius changes
// with it at first order where s itself would start from a flat slope at 0.
double Curvature(double shape) { return shape * std::fabs(shape); }
double ShapeOf(double curvature) {
    return std::copysign(std::sqrt(std::fabs(curvature)), curvature);
}

// Writes each sample's two weighted residuals, px, for one frame.
void FrameResiduals(const SkyLens& lens, const Direction& pole, double angle, const FrameSamples& frame,
                    size_t stride, double* out) {
    const AxisTurn turn(pole, angle);
    for (size_t i = 0; i < frame.size(); i += stride) {
        const Sample& s = frame[i];
        Direction d;
        Position p;
        if (lens.Unproject(s.from.x, s.from.y, d) && lens.Project(turn.Apply(d), p)) {
            *out++ = s.weight * (p.x - s.to.x);
            *out++ = s.weight * (p.y - s.to.y);
        } else {
            *out++ = s.weight * kLost;
            *out++ = 0;
        }
    }
}

size_t Count(const FrameSamples& frame, size_t stride) { return (frame.size() + stride - 1) / stride; }

double FrameSquares(const Model& m, size_t k, const FrameSamples& frame, size_t stride) {
    std::vector<double> r(2 * Count(frame, stride));
    FrameResiduals(m.lens, m.pole, m.angles[k], frame, stride, r.data());
    double sum = 0;
    for (double v : r) sum += v * v;
    return sum;
}

double Squares(const Model& m, const std::vector<FrameSamples>& frames, size_t stride) {
    double sum = 0;
    for (size_t k = 0; k < frames.size(); ++k) sum += FrameSquares(m, k, frames[k], stride);
    return sum;
}

// The weighted RMS residual over every frame, px.
double Rms(const Model& m, const std::vector<FrameSamples>& frames) {
    size_t n = 0;
    for (const FrameSamples& f : frames) n += f.size();
    return std::sqrt(Squares(m, frames, 1) / double(std::max<size_t>(n, 1)));
}

// The model moved by x (the shared unknowns, then the angles) from base,
// whose pole's tilts are along e1 and e2.
Model Moved(const Model& base, const Direction& e1, const Direction& e2, const std::vector<double>& x) {
    Model m = base;
    m.lens.cx += x[0];
    m.lens.cy += x[1];
    m.lens.focal *= std::exp(x[2]);
    m.lens.shape = std::clamp(ShapeOf(Curvature(base.lens.shape) + x[3]), -kLargestShape, kLargestShape);
    m.lens.k1 = std::clamp(base.lens.k1 + x[4], -kLargestK1, kLargestK1);
    for (int i = 0; i < 3; ++i) m.pole[size_t(i)] += x[5] * e1[size_t(i)] + x[6] * e2[size_t(i)];
    m.pole = Normalised(m.pole);
    for (size_t k = 0; k < m.angles.size(); ++k) m.angles[k] += x[kShared + k];
    return m;
}

// Each frame's angle alone, by Gauss-Newton steps: how a start is judged.
void FitAngles(Model& m, const std::vector<FrameSamples>& frames, size_t stride) {
    for (size_t k = 0; k < frames.size(); ++k) {
        const size_t n = 2 * Count(frames[k], stride);
        std::vector<double> r(n), moved(n);
        for (int step = 0; step < kAngleSteps; ++step) {
            FrameResiduals(m.lens, m.pole, m.angles[k], frames[k], stride, r.data());
            FrameResiduals(m.lens, m.pole, m.angles[k] + kAngleStep, frames[k], stride, moved.data());
            double jj = 0, jr = 0;
            for (size_t i = 0; i < n; ++i) {
                const double j = (moved[i] - r[i]) / kAngleStep;
                jj += j * j;
                jr += j * r[i];
            }
            if (!(jj > 0)) break;
            m.angles[k] -= jr / jj;
        }
    }
}

// Levenberg-Marquardt over the shared unknowns and every angle, with the
// unknowns scaled by their columns' lengths. Gives up early (false) when
// the fit stays far above typical, the frames' own RMS residual.
bool Refine(Model& m, const std::vector<FrameSamples>& frames, double typical) {
    const size_t n = kShared + frames.size();
    size_t rows = 0;
    std::vector<size_t> first(frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        first[k] = rows;
        rows += 2 * frames[k].size();
    }
    double cost = Squares(m, frames, 1);
    double damping = 1e-3;
    std::vector<double> r(rows), column(rows * kShared), angle_column(rows);
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        if (iteration == kGiveUpAfter && std::sqrt(cost / double(rows / 2)) > kHopeless * typical) return false;
        Direction e1, e2;
        Tangents(m.pole, e1, e2);
        std::vector<double> x(n, 0.0);
        for (size_t k = 0; k < frames.size(); ++k)
            FrameResiduals(m.lens, m.pole, m.angles[k], frames[k], 1, &r[first[k]]);
        for (size_t j = 0; j < kShared; ++j) {
            x[j] = kSteps[j];
            const Model moved = Moved(m, e1, e2, x);
            x[j] = 0;
            for (size_t k = 0; k < frames.size(); ++k)
                FrameResiduals(moved.lens, moved.pole, moved.angles[k], frames[k], 1, &column[j * rows + first[k]]);
            for (size_t i = 0; i < rows; ++i) column[j * rows + i] = (column[j * rows + i] - r[i]) / kSteps[j];
        }
        for (size_t k = 0; k < frames.size(); ++k) {
            FrameResiduals(m.lens, m.pole, m.angles[k] + kAngleStep, frames[k], 1, &angle_column[first[k]]);
            for (size_t i = first[k]; i < first[k] + 2 * frames[k].size(); ++i)
                angle_column[i] = (angle_column[i] - r[i]) / kAngleStep;
        }
        // The normal equations: shared with shared, shared with each angle,
        // each angle with itself only.
        std::vector<double> a(n * n, 0.0), g(n, 0.0);
        for (size_t k = 0; k < frames.size(); ++k) {
            const size_t ak = kShared + k;
            for (size_t i = first[k]; i < first[k] + 2 * frames[k].size(); ++i) {
                const double ja = angle_column[i];
                for (size_t p = 0; p < kShared; ++p) {
                    const double jp = column[p * rows + i];
                    for (size_t q = p; q < kShared; ++q) a[p * n + q] += jp * column[q * rows + i];
                    a[p * n + ak] += jp * ja;
                    g[p] += jp * r[i];
                }
                a[ak * n + ak] += ja * ja;
                g[ak] += ja * r[i];
            }
        }
        for (size_t p = 0; p < n; ++p)
            for (size_t q = 0; q < p; ++q) a[p * n + q] = a[q * n + p];
        std::vector<double> scale(n);
        for (size_t p = 0; p < n; ++p) scale[p] = a[p * n + p] > 0 ? std::sqrt(a[p * n + p]) : 1.0;
        bool improved = false;
        for (int attempt = 0; attempt < 10 && !improved; ++attempt) {
            std::vector<double> lhs(n * n), rhs(n);
            for (size_t p = 0; p < n; ++p) {
                for (size_t q = 0; q < n; ++q) lhs[p * n + q] = a[p * n + q] / (scale[p] * scale[q]);
                lhs[p * n + p] += damping;
                rhs[p] = -g[p] / scale[p];
            }
            if (SolveLinear(lhs, rhs, n)) {
                for (size_t p = 0; p < n; ++p) x[p] = rhs[p] / scale[p];
                const Model trial = Moved(m, e1, e2, x);
                const double trial_cost = Squares(trial, frames, 1);
                if (trial_cost < cost) {
                    const double gain = (cost - trial_cost) / cost;
                    m = trial;
                    cost = trial_cost;
                    damping = std::max(damping / 4, 1e-9);
                    improved = true;
                    if (gain < 1e-10) return true;
                    continue;
                }
            }
            damping *= 8;
        }
        if (!improved) return true;
    }
    return true;
}

// The point a rigid motion (degrees, shift) turns about; false when it
// barely turns.
bool TurningPoint(const FrameMapping& rigid, Position& point) {
    const double radians = rigid.angle / kDegreesPerRadian;
    const double c = std::cos(radians), s = std::sin(radians), det = 2 * (1 - c);
    if (!(det > 1e-12)) return false;
    point = {((1 - c) * rigid.tx - s * rigid.ty) / det, (s * rigid.tx + (1 - c) * rigid.ty) / det};
    return true;
}

// The best start: the pole where the frame that turned most turns about,
// through each starting lens, each frame's angle its rigid angle either way
// round, then fitted alone.
bool Start(const std::vector<FrameSamples>& frames, const std::vector<FrameMapping>& rigid, unsigned width,
           unsigned height, Model& best) {
    size_t most = 0;
    for (size_t k = 1; k < rigid.size(); ++k)
        if (std::fabs(rigid[k].angle) > std::fabs(rigid[most].angle)) most = k;
    Position point;
    if (!TurningPoint(rigid[most], point)) return false;
    const double half_diagonal = std::hypot(width, height) / 2;
    double best_cost = std::numeric_limits<double>::infinity();
    for (const double shape : kShapeStarts)
        for (const double focal : kFocalStarts)
            for (const double way : {1.0, -1.0}) {
                Model m;
                m.lens = SkyLens{(width - 1) / 2.0, (height - 1) / 2.0, focal * half_diagonal, shape, 0};
                if (!m.lens.Unproject(point.x, point.y, m.pole)) continue;
                for (const FrameMapping& r : rigid) m.angles.push_back(way * r.angle / kDegreesPerRadian);
                FitAngles(m, frames, kStartStride);
                const double cost = Squares(m, frames, kStartStride);
                if (cost < best_cost) {
                    best_cost = cost;
                    best = m;
                }
            }
    return std::isfinite(best_cost);
}

// The pairs, their weights scaled to a mean of 1 so that a weighted
// residual reads in pixels.
FrameSamples SamplesOf(const StarPairs& pairs) {
    FrameSamples samples;
    const size_t stride = std::max<size_t>(1, (pairs.from.size() + kPairsPerFrame - 1) / kPairsPerFrame);
    double total = 0;
    for (size_t i = 0; i < pairs.from.size(); i += stride) {
        const double weight = pairs.weights.empty() ? 1.0 : pairs.weights[i];
        samples.push_back({{pairs.from[i][0], pairs.from[i][1]}, {pairs.to[i][0], pairs.to[i][1]}, weight});
        total += weight;
    }
    for (Sample& s : samples) s.weight = total > 0 ? std::sqrt(s.weight * double(samples.size()) / total) : 1.0;
    return samples;
}

// How far the frame's pairs moved, px: the largest.
double LargestMotion(const StarPairs& pairs) {
    double largest = 0;
    for (size_t i = 0; i < pairs.from.size(); ++i)
        largest = std::max(largest, std::hypot(pairs.to[i][0] - pairs.from[i][0], pairs.to[i][1] - pairs.from[i][1]));
    return largest;
}

// Fits the model to the frames marked in use; the others' angles are fitted
// alone afterwards, on the model the rest made.
bool FitFrames(const std::vector<StarPairs>& frames, const std::vector<char>& use, const std::vector<double>& own_rms,
               const std::vector<double>& motions, unsigned width, unsigned height, Model& model) {
    std::vector<FrameSamples> samples;
    std::vector<FrameMapping> rigid;
    std::vector<double> typical;
    double largest_motion = 0;
    for (size_t k = 0; k < frames.size(); ++k)
        if (use[k]) {
            largest_motion = std::max(largest_motion, motions[k]);
            samples.push_back(SamplesOf(frames[k]));
            rigid.push_back(FitRigidMapping(frames[k]));
            typical.push_back(own_rms[k]);
        }
    Model fitted;
    if (!Start(samples, rigid, width, height, fitted) || Rms(fitted, samples) > kHopelessStart * largest_motion ||
        !Refine(fitted, samples, Median(typical)))
        return false;
    model.lens = fitted.lens;
    model.pole = fitted.pole;
    model.angles.assign(frames.size(), 0.0);
    for (size_t k = 0, used = 0; k < frames.size(); ++k) {
        if (use[k]) {
            model.angles[k] = fitted.angles[used++];
            continue;
        }
        // Its rigid angle, either way round, then fitted alone.
        const double rigid_angle = FitRigidMapping(frames[k]).angle / kDegreesPerRadian;
        const std::vector<FrameSamples> alone{SamplesOf(frames[k])};
        double best = std::numeric_limits<double>::infinity();
        for (const double way : {1.0, -1.0}) {
            Model one{model.lens, model.pole, {way * rigid_angle}};
            FitAngles(one, alone, 1);
            const double cost = Squares(one, alone, 1);
            if (cost < best) {
                best = cost;
                model.angles[k] = one.angles[0];
            }
        }
    }
    return true;
}

FrameMapping TurnMapping(const SkyLens& lens, const Direction& pole, double angle) {
    FrameMapping m;
    m.kind = MappingKind::kSkyTurn;
    m.sky.Set(lens, pole, angle);
    return m;
}

double SquaredDistance(const StarPoint& a, const Position& b) {
    return (a[0] - b.x) * (a[0] - b.x) + (a[1] - b.y) * (a[1] - b.y);
}

// Each frame star carried onto the reference by mapping, paired with the
// nearest of the candidates within radius.
StarPairs PairThrough(const FrameMapping& mapping, const std::vector<StarPoint>& frame,
                      const std::vector<StarPoint>& candidates, double radius) {
    StarPairs pairs;
    for (const StarPoint& p : frame) {
        const Position moved = mapping.ToReference(p[0], p[1]);
        double nearest = radius * radius;
        const StarPoint* found = nullptr;
        for (const StarPoint& c : candidates) {
            const double d = SquaredDistance(c, moved);
            if (d < nearest) nearest = d, found = &c;
        }
        if (found) pairs.from.push_back(p), pairs.to.push_back(*found);
    }
    return pairs;
}

}  // namespace

bool PlaceOnSkyMotion(const SkyMotion& motion, const std::vector<StarPoint>& reference,
                      const std::vector<char>& fixed, const std::vector<StarPoint>& frame, double typical_rms,
                      StarFit& fit) {
    std::vector<StarPoint> sky, still;
    for (size_t r = 0; r < reference.size(); ++r) (r < fixed.size() && fixed[r] ? still : sky).push_back(reference[r]);
    std::vector<StarPoint> moving;
    for (const StarPoint& p : frame) {
        bool on_fixed = false;
        for (const StarPoint& f : still)
            on_fixed = on_fixed || SquaredDistance(f, {p[0], p[1]}) < kFixedReach * kFixedReach;
        if (!on_fixed) moving.push_back(p);
    }
    if (sky.empty()) return false;
    Model one{motion.lens, motion.pole, {0.0}};
    const auto turned = [&] { return TurnMapping(one.lens, one.pole, one.angles[0]); };
    double radius = kPlaceRadius;
    StarPairs pairs;
    for (int round = 0; round < kPlaceRounds; ++round) {
        pairs = PairThrough(turned(), moving, sky, radius);
        if (pairs.from.size() < kLeastPlaced) return false;
        FitAngles(one, {SamplesOf(pairs)}, 1);
        radius = std::clamp(kPlaceClip * RmsResidual(turned(), pairs), kTightestPlace, kPlaceRadius);
    }
    pairs = PairThrough(turned(), moving, sky, radius);
    fit = StarFit{};
    fit.mapping = turned();
    fit.inliers = pairs.from.size();
    fit.rms = RmsResidual(fit.mapping, pairs);
    fit.pairs = std::move(pairs);
    // The pairs a wrong angle finds: each moving star has the sky stars'
    // share of the field within the radius.
    double least_x = 1e300, least_y = 1e300, most_x = -1e300, most_y = -1e300;
    for (const StarPoint& r : reference) {
        least_x = std::min(least_x, r[0]), most_x = std::max(most_x, r[0]);
        least_y = std::min(least_y, r[1]), most_y = std::max(most_y, r[1]);
    }
    const double area = std::max(1.0, (most_x - least_x) * (most_y - least_y));
    const double covered = double(sky.size()) * 3.14159265358979 * radius * radius / area;
    const double chance = double(moving.size()) * std::min(1.0, covered);
    return fit.inliers >= kLeastPlaced && double(fit.inliers) >= kOverChance * chance &&
           fit.rms <= kPlacedScatter * typical_rms + kPlacedFloor;
}

FrameMapping SkyMotion::Mapping(size_t frame) const { return TurnMapping(lens, pole, angles[frame]); }

bool FitSkyMotion(const std::vector<StarPairs>& frames, const std::vector<double>& own_rms, unsigned width,
                  unsigned height, SkyMotion& motion) {
    // Only frames whose stars moved clearly fix the pole and the lens.
    std::vector<char> clear(frames.size());
    std::vector<double> motions(frames.size());
    for (size_t k = 0; k < frames.size(); ++k) {
        motions[k] = LargestMotion(frames[k]);
        clear[k] = motions[k] >= kClearMotion && motions[k] >= kClearOverResidual * own_rms[k];
    }
    if (frames.size() < 2 || std::find(clear.begin(), clear.end(), 1) == clear.end()) return false;
    std::vector<char> use(frames.size(), 1);
    Model model;
    // Frames the first fit does not hold are left out of the second.
    for (int round = 0; round < 2; ++round) {
        if (std::count(use.begin(), use.end(), 1) < 2 || !FitFrames(frames, use, own_rms, motions, width, height, model))
            return false;
        motion.lens = model.lens;
        motion.pole = model.pole;
        motion.angles = model.angles;
        motion.rms.assign(frames.size(), 0.0);
        motion.holds.assign(frames.size(), 0);
        for (size_t k = 0; k < frames.size(); ++k) {
            motion.rms[k] = RmsResidual(motion.Mapping(k), frames[k]);
            motion.holds[k] = motion.rms[k] <= kOwnSlack * own_rms[k] + kOwnFloor;
        }
        if (motion.holds == use) break;
        use = motion.holds;
    }
    size_t held = 0;
    bool held_clear = false;
    for (size_t k = 0; k < frames.size(); ++k) {
        held += size_t(motion.holds[k]);
        held_clear = held_clear || (motion.holds[k] && clear[k]);
    }
    return held >= 2 && held_clear;
}

}  // namespace quen_merge
