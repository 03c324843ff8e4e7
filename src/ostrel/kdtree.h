// A fixed-dimension point and a static k-d tree over such points, with k-nearest
// and nearest queries. Star alignment keeps star positions (2-D) and pattern
// descriptors (6-D) in these trees.
#pragma once

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>
#include <vector>

namespace ostrel {

template <typename ScalarType, size_t Dimension>
struct Point {
    typedef ScalarType scalar_type;

    ScalarType& operator[](size_t idx) {
        assert(idx < Dimension);
        return values[idx];
    }
    const ScalarType& operator[](size_t idx) const {
        assert(idx < Dimension);
        return values[idx];
    }

    ScalarType values[Dimension];
};

// Built once from a complete point set, never changed afterwards. Nodes are
// stored in pre-order (node, left subtree, right subtree) in one vector and
// children are found by arithmetic on the subtree sizes.
template <typename ScalarType, size_t Dimension, typename IndexType>
class KDTree {
public:
    using PointType = Point<ScalarType, Dimension>;
    using Entry = std::pair<PointType, IndexType>;
    using Candidate = std::pair<ScalarType, IndexType>;  // distance, index

    struct Node {
        PointType point;
        IndexType index;           // the point's position in the construction input
        size_t descendants;        // nodes below this one
        size_t split_dimension;    // 0 in a leaf
    };

    // Orders entries by one coordinate alone.
    struct SplitComparator {
        size_t dimension;
        bool operator()(const Entry& a, const Entry& b) const {
            return a.first[dimension] < b.first[dimension];
        }
    };

    // Orders candidates by distance alone.
    struct SearchComparator {
        bool operator()(const Candidate& a, const Candidate& b) const { return a.first < b.first; }
    };

    // Each point is stored with its position in points as its index.
    explicit KDTree(const std::vector<PointType>& points) {
        nodes.reserve(points.size());
        std::vector<Entry> entries;
        entries.reserve(points.size());
        for (size_t i = 0; i < points.size(); ++i) entries.emplace_back(points[i], IndexType(i));
        BuildTree(entries.begin(), entries.end());
    }

    size_t size() const { return nodes.size(); }
    bool empty() const { return nodes.empty(); }

    // Appends the nodes of [first, last) in pre-order, reordering the range.
    void BuildTree(typename std::vector<Entry>::iterator first,
                   typename std::vector<Entry>::iterator last) {
        const size_t n = size_t(last - first);
        if (n == 0) return;
        if (n == 1) {
            nodes.push_back(Node{first->first, first->second, 0, 0});
            return;
        }
        const size_t split = WidestDimension(first, last);
        std::sort(first, last, SplitComparator{split});
        const auto median = first + n / 2;
        nodes.push_back(Node{median->first, median->second, n - 1, split});
        BuildTree(first, median);
        BuildTree(median + 1, last);
    }

    // Indices of the k stored points nearest to query, nearest first; points
    // at a NaN distance are never returned. Among equally distant points the
    // one met first in the traversal (node, right, left) comes first.
    std::vector<IndexType> FindKNearest(const PointType& query, size_t k) const {
        std::vector<IndexType> result;
        if (nodes.empty() || k == 0) return result;
        std::vector<Candidate> candidates;  // kept sorted, equal distances in found order
        candidates.reserve(k + 1);
        ScalarType bound = std::numeric_limits<ScalarType>::max();
        NodeStack stack;
        while (!stack.empty()) {
            const size_t p = stack.pop();
            const Node& node = nodes[p];
            const ScalarType dist = Distance(query, node.point);
            if (dist <= bound) {
                const Candidate c{dist, node.index};
                candidates.insert(std::upper_bound(candidates.begin(), candidates.end(), c,
                                                   SearchComparator()),
                                  c);
                if (candidates.size() > k) {
                    candidates.pop_back();
                    bound = candidates.back().first;
                }
            }
            PushChildren(p, query, bound, stack);
        }
        result.reserve(candidates.size());
        for (const Candidate& c : candidates) result.push_back(c.second);
        return result;
    }

    // The stored point nearest to query: true with its index and distance;
    // false (outputs untouched) for an empty tree or when no distance is
    // finite. Of equally distant points the first met in the traversal wins.
    bool FindNearest(const PointType& query, IndexType& index, ScalarType& distance) const {
        if (nodes.empty()) return false;
        ScalarType best = std::numeric_limits<ScalarType>::max();
        IndexType best_index{};
        bool found = false;
        NodeStack stack;
        while (!stack.empty()) {
            const size_t p = stack.pop();
            const ScalarType dist = Distance(query, nodes[p].point);
            if (best > dist) {
                best = dist;
                best_index = nodes[p].index;
                found = true;
            }
            PushChildren(p, query, best, stack);
        }
        if (found) {
            index = best_index;
            distance = best;
        }
        return found;
    }

    std::vector<Node> nodes;

private:
    // The positions still to visit, the root first. Each level of the tree
    // leaves at most one pending left child, and a tree of size_t nodes is
    // at most 64 levels deep, so a fixed array never overflows.
    struct NodeStack {
        size_t positions[2 * 64 + 2];
        size_t count = 1;
        NodeStack() { positions[0] = 0; }
        bool empty() const { return count == 0; }
        size_t pop() { return positions[--count]; }
        void push(size_t p) { positions[count++] = p; }
    };

    static ScalarType Distance(const PointType& a, const PointType& b) {
        ScalarType sum = 0;
        for (size_t d = 0; d < Dimension; ++d) {
            const ScalarType diff = a[d] - b[d];
            sum += diff * diff;
        }
        return std::sqrt(sum);
    }

    // The dimension of largest spread (sum of squared deviations from the
    // mean); ties go to the lower dimension, no spread at all to dimension 0.
    static size_t WidestDimension(typename std::vector<Entry>::const_iterator first,
                                  typename std::vector<Entry>::const_iterator last) {
        const ScalarType n = ScalarType(last - first);
        ScalarType best = 0.0;
        size_t chosen = 0;
        for (size_t d = 0; d < Dimension; ++d) {
            ScalarType sum = 0;
            for (auto it = first; it != last; ++it) sum += it->first[d];
            const ScalarType mean = sum / n;
            ScalarType spread = 0;
            for (auto it = first; it != last; ++it) {
                const ScalarType dev = it->first[d] - mean;
                spread += dev * dev;
            }
            if (spread > best) {
                best = spread;
                chosen = d;
            }
        }
        return chosen;
    }

    // Pushes the children of node p that may hold points within bound; the
    // right child goes on top, so it is explored first.
    void PushChildren(size_t p, const PointType& query, ScalarType bound,
                      NodeStack& stack) const {
        const Node& node = nodes[p];
        const size_t d = node.split_dimension;
        if (node.descendants > 0 && !(query[d] - bound > node.point[d])) stack.push(p + 1);
        if (node.point[d] > query[d] + bound || node.descendants == 0) return;
        const size_t left = nodes[p + 1].descendants;
        if (node.descendants > left + 1) stack.push(p + left + 2);
    }
};

}  // namespace ostrel
