#include "stars/rigid_fit.h"

#include <algorithm>
#include <cmath>

#include "base/rigid_transform.h"

namespace quen_merge {

StarPoint Moved(const FrameMapping& mapping, const StarPoint& p) {
    const Position q = mapping.ToReference(p[0], p[1]);
    return StarPoint{{q.x, q.y}};
}

StarFit FitRigid(const std::vector<StarPoint>& frame, const std::vector<StarPoint>& reference,
                 const std::vector<double>& weights) {
    StarFit fit;
    const size_t n = std::min(frame.size(), reference.size());
    auto weight = [&](size_t i) { return weights.empty() ? 1.0 : weights[i]; };
    double total = 0, fx = 0, fy = 0, rx = 0, ry = 0;
    for (size_t i = 0; i < n; ++i) {
        const double w = weight(i);
        total += w;
        fx += w * frame[i][0];
        fy += w * frame[i][1];
        rx += w * reference[i][0];
        ry += w * reference[i][1];
    }
    if (!(total > 0)) return fit;
    fx /= total;
    fy /= total;
    rx /= total;
    ry /= total;
    double a = 0, b = 0;
    for (size_t i = 0; i < n; ++i) {
        const double px = frame[i][0] - fx, py = frame[i][1] - fy;
        const double qx = reference[i][0] - rx, qy = reference[i][1] - ry;
        a += weight(i) * (px * qx + py * qy);
        b += weight(i) * (px * qy - py * qx);
    }
    const double theta = std::atan2(b, a), c = std::cos(theta), s = std::sin(theta);
    fit.angle = theta * kDegreesPerRadian;
    fit.tx = rx - (c * fx - s * fy);
    fit.ty = ry - (s * fx + c * fy);
    const FrameMapping rigid = FrameMapping::Rigid(fit.angle, fit.tx, fit.ty);
    double squares = 0;
    for (size_t i = 0; i < n; ++i) {
        const StarPoint moved = Moved(rigid, frame[i]);
        const double dx = moved[0] - reference[i][0], dy = moved[1] - reference[i][1];
        squares += dx * dx + dy * dy;
    }
    fit.inliers = n;
    fit.rms = std::sqrt(squares / double(n));
    return fit;
}

}  // namespace quen_merge
