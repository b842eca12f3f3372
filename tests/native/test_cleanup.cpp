#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <vector>

#include "cleanup.hpp"

using larkspan::cleanup::cell_of;
using larkspan::cleanup::CellKey;
using larkspan::cleanup::GridPoint;
using larkspan::cleanup::PointGrid;

namespace {
constexpr std::int64_t kExact = std::int64_t{1} << 53;
// The index of the double above 2^53 whose bits are `steps` past those of 2^53.
constexpr std::int64_t beyond(std::int64_t steps) { return kExact + steps; }
}  // namespace

TEST(CellOf, FloorsAndNeverSaturates) {
    EXPECT_EQ(cell_of(0.25, -0.25, 1.0, 0.5), (CellKey{0, -1, 2}));
    EXPECT_EQ(cell_of(0.25, -0.25, 1.0, -0.5), (CellKey{-1, 0, -2}));
    EXPECT_EQ(cell_of(1073741823.25, -2147483649.5, std::nan(""), 0.5),
              (CellKey{2147483646, -4294967299, 0}));
    // A tiny radius on ordinary coordinates: every point keeps a cell of its own.
    EXPECT_EQ(cell_of(1.0, 2.0, 3.0, 1e-12), (CellKey{1000000000000, 2000000000000, 3000000000000}));
    // Beyond 2^53 the doubles next to each other are the cells next to each other.
    EXPECT_EQ(cell_of(0x1p53, 0x1p53 + 2, -0x1p54, 1.0), (CellKey{kExact, beyond(1), -beyond(1LL << 52)}));
    const CellKey far = cell_of(1e300, INFINITY, -INFINITY, 0.1);
    EXPECT_LT(far.x, far.y);
    EXPECT_EQ(far.z, -far.y);
    EXPECT_EQ(cell_of(DBL_MAX, 0, 0, 1.0).x + 1, cell_of(INFINITY, 0, 0, 1.0).x);
    EXPECT_LT(far.y, std::int64_t{1} << 62);
}

// With a radius so small that 32-bit indices saturated, points a radius
// apart are still neighbours and points further apart are not in the 27
// cells at all.
TEST(PointGrid, TinyRadiusKeepsCellsApart) {
    std::vector<GridPoint> points;
    for (int i = 0; i < 1000; ++i) points.push_back({5e5 + i * 1e-3, 5e6, 100.0});
    const double radius = 1e-9;
    const PointGrid grid(points, radius);
    for (int i : {0, 500, 999}) {
        const CellKey key = cell_of(points[i].x, points[i].y, points[i].z, radius);
        std::size_t found = 0;
        for (int dx = -1; dx <= 1; ++dx)
            for (int dy = -1; dy <= 1; ++dy) found += grid.cells(key.x + dx, key.y + dy, key.z - 1, key.z + 1).size();
        EXPECT_EQ(found, 1u) << i;
    }
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
    for (std::int64_t cx = -2; cx < 30; ++cx) {
        for (std::int64_t cy = -2; cy < 20; ++cy) {
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
    EXPECT_TRUE(dense.cells(INT64_MAX / 2, INT64_MIN / 2, INT64_MIN / 2, INT64_MAX / 2).empty());
}
