#include "ostrel/kdtree.h"
#include "portable_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

namespace {

using Tree2 = ostrel::KDTree<double, 2, unsigned long>;
using P2 = ostrel::Point<double, 2>;

TEST(KDTree, EmptyTreeAnswersNothing) {
    const Tree2 tree(std::vector<P2>{});
    EXPECT_TRUE(tree.empty());
    EXPECT_TRUE(tree.FindKNearest(P2{{0, 0}}, 5).empty());
    unsigned long index = 77;
    double distance = -1;
    EXPECT_FALSE(tree.FindNearest(P2{{0, 0}}, index, distance));
    EXPECT_EQ(index, 77u);
    EXPECT_EQ(distance, -1);
}

TEST(KDTree, BuildsThePreOrderLayout) {
    const Tree2 one({P2{{4, 4}}});
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one.nodes[0].descendants, 0u);
    EXPECT_EQ(one.FindKNearest(P2{{0, 0}}, 5), std::vector<unsigned long>{0});

    const Tree2 two({P2{{0, 0}}, P2{{3, 0}}});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two.nodes[0].point[0], 3);
    EXPECT_EQ(two.nodes[0].index, 1u);
    EXPECT_EQ(two.nodes[0].descendants, 1u);
    EXPECT_EQ(two.nodes[0].split_dimension, 0u);
    EXPECT_EQ(two.nodes[1].index, 0u);
    EXPECT_EQ(two.nodes[1].descendants, 0u);

    // Spread 2 in x, 14 in y: split on y, median (2,1) at the root.
    const Tree2 three({P2{{0, 0}}, P2{{1, 5}}, P2{{2, 1}}});
    EXPECT_EQ(three.nodes[0].index, 2u);
    EXPECT_EQ(three.nodes[0].split_dimension, 1u);
    EXPECT_EQ(three.nodes[0].descendants, 2u);
    EXPECT_EQ(three.nodes[1].index, 0u);
    EXPECT_EQ(three.nodes[2].index, 1u);
    EXPECT_EQ(three.FindKNearest(P2{{0, 0}}, 5), (std::vector<unsigned long>{0, 2, 1}));

    const Tree2 same({P2{{1, 1}}, P2{{1, 1}}, P2{{1, 1}}, P2{{1, 1}}});
    for (const auto& node : same.nodes) EXPECT_EQ(node.split_dimension, 0u);
}

TEST(KDTree, NaNDistancesAreNeverReturned) {
    const double nan = std::nan("");
    const Tree2 tree({P2{{nan, 0}}, P2{{1, 1}}, P2{{nan, nan}}});
    EXPECT_EQ(tree.FindKNearest(P2{{0, 0}}, 5), std::vector<unsigned long>{1});
    const Tree2 all_nan({P2{{nan, 0}}, P2{{0, nan}}});
    unsigned long index = 9;
    double distance = 0;
    EXPECT_FALSE(all_nan.FindNearest(P2{{0, 0}}, index, distance));
    EXPECT_TRUE(all_nan.FindKNearest(P2{{0, 0}}, 3).empty());
}

// Checks both queries against brute force on random sets, coordinates drawn
// from a coarse grid so that duplicates and equal distances are common.
template <size_t D>
void CompareWithBruteForce(unsigned seed, size_t n, int grid) {
    using Tree = ostrel::KDTree<double, D, unsigned long>;
    using P = ostrel::Point<double, D>;
    portable_random::Engine rng(seed);
    portable_random::UniformInt coord(0, grid);
    auto random_point = [&] {
        P p;
        for (size_t d = 0; d < D; ++d) p[d] = coord(rng) * 0.5;
        return p;
    };
    std::vector<P> points(n);
    for (P& p : points) p = random_point();
    const Tree tree(points);
    ASSERT_EQ(tree.size(), n);

    // Equal distances come in the order the traversal meets the points: a
    // node, then its right subtree, then its left subtree.
    std::vector<size_t> rank(n);
    size_t next = 0;
    std::function<void(size_t)> visit = [&](size_t p) {
        rank[tree.nodes[p].index] = next++;
        const size_t c = tree.nodes[p].descendants;
        if (c == 0) return;
        const size_t left = tree.nodes[p + 1].descendants;
        if (c > left + 1) visit(p + left + 2);
        visit(p + 1);
    };
    visit(0);

    for (int q = 0; q < 40; ++q) {
        const P query = q % 4 == 0 ? points[rng() % n] : random_point();
        std::vector<std::pair<double, size_t>> all;
        for (size_t i = 0; i < n; ++i) {
            double sum = 0;
            for (size_t d = 0; d < D; ++d) sum += (points[i][d] - query[d]) * (points[i][d] - query[d]);
            all.push_back({std::sqrt(sum), i});
        }
        std::sort(all.begin(), all.end(), [&](const auto& a, const auto& b) {
            return a.first != b.first ? a.first < b.first : rank[a.second] < rank[b.second];
        });
        for (size_t k : {size_t(1), size_t(5), n + 2}) {
            std::vector<unsigned long> expected;
            for (size_t i = 0; i < std::min(k, n); ++i) expected.push_back(all[i].second);
            ASSERT_EQ(tree.FindKNearest(query, k), expected) << "n=" << n << " k=" << k;
        }
        unsigned long index;
        double distance;
        ASSERT_TRUE(tree.FindNearest(query, index, distance));
        EXPECT_EQ(index, all[0].second);
        EXPECT_EQ(distance, all[0].first);
    }
}

TEST(KDTree, AgreesWithBruteForceIn2D) {
    for (size_t n : {1, 2, 3, 7, 64, 500, 2000}) CompareWithBruteForce<2>(unsigned(n), n, 40);
    CompareWithBruteForce<2>(1, 300, 2);  // heavy duplication
}

TEST(KDTree, AgreesWithBruteForceIn6D) {
    for (size_t n : {1, 5, 33, 400, 2000}) CompareWithBruteForce<6>(unsigned(n) + 9, n, 12);
    CompareWithBruteForce<6>(3, 200, 1);
}

}  // namespace
