#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "cleanup.hpp"

using larkspan::cleanup::cell_of;
using larkspan::cleanup::CellKey;
using larkspan::cleanup::GridPoint;
using larkspan::cleanup::PointGrid;

namespace {
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
}  // namespace

TEST(CellOf, FloorsAndSaturates) {
    EXPECT_EQ(cell_of(0.25, -0.25, 1.0, 0.5), (CellKey{0, -1, 2}));
    EXPECT_EQ(cell_of(0.25, -0.25, 1.0, -0.5), (CellKey{-1, 0, -2}));
    EXPECT_EQ(cell_of(1e300, -1e300, std::nan(""), 0.1), (CellKey{kMax, kMin, 0}));
    EXPECT_EQ(cell_of(INFINITY, -INFINITY, 1073741823.25, 0.5), (CellKey{kMax, kMin, kMax - 1}));
}

// The same points filed under a compact scene (dense column table) and with
// one far outlier (hash table) give the same runs, in cell then file order.
TEST(PointGrid, DenseAndHashedColumnsAgree) {
    std::vector<GridPoint> points;
    for (int i = 0; i < 200; ++i)
        points.push_back({(i * 37 % 50) * 0.1, (i * 11 % 30) * 0.1, (i % 7) * 0.1 - 0.3});
    const PointGrid dense(points, 0.2);
    points.push_back({1e12, 1e12, 0.0});
    const PointGrid hashed(points, 0.2);
    for (std::int32_t cx = -2; cx < 30; ++cx) {
        for (std::int32_t cy = -2; cy < 20; ++cy) {
            auto a = dense.cells(cx, cy, -1, 1);
            auto b = hashed.cells(cx, cy, -1, 1);
            ASSERT_EQ(a.size(), b.size()) << cx << "," << cy;
            for (std::size_t k = 0; k < a.size(); ++k) {
                EXPECT_EQ(a[k].x, b[k].x);
                EXPECT_EQ(a[k].cell_z, b[k].cell_z);
                if (k > 0) {
                    EXPECT_LE(a[k - 1].cell_z, a[k].cell_z);
                }
            }
        }
    }
    auto far = hashed.cells(cell_of(1e12, 0, 0, 0.2).x, cell_of(0, 1e12, 0, 0.2).y, 0, 0);
    ASSERT_EQ(far.size(), 1u);
    EXPECT_EQ(far[0].x, 1e12);
    EXPECT_TRUE(dense.cells(kMax, kMin, kMin, kMax).empty());
}
