#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "patches.hpp"
#include "patches_direct.hpp"

namespace {

using namespace larkspan::patches;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Binning, OneTwoFiveSteps) {
    const AxisBins unit = bin_axis(0.0, 100.0, 100.0);
    EXPECT_EQ(unit.step, 1.0);
    EXPECT_EQ(unit.start, 0.0);
    EXPECT_EQ(unit.count, 100u);
    const AxisBins tens = bin_axis(3.0, 1003.0, 100.0);
    EXPECT_EQ(tens.step, 10.0);
    EXPECT_EQ(tens.start, 0.0);
    EXPECT_EQ(tens.count, 101u);
    EXPECT_EQ(bin_axis(0.0, 130.0, 100.0).step, 2.0);   // raw 1.3
    EXPECT_EQ(bin_axis(0.0, 300.0, 100.0).step, 5.0);   // raw 3
    EXPECT_EQ(bin_axis(0.0, 600.0, 100.0).step, 10.0);  // raw 6
    EXPECT_EQ(bin_axis(-7.0, 3.0, 4.0).start, -10.0);
}

TEST(Binning, RangeNotIncreasingPanics) {
    const double inf = std::numeric_limits<double>::infinity();
    try {
        bin_axis(inf, -inf, 100.0);
        FAIL() << "no panic";
    } catch (const larkspan::Panic& panic) {
        EXPECT_STREQ(panic.what(), "Invalid range: [inf, -inf]");
    }
}

TEST(RowKey, RoundsHalfAwayAndSaturates) {
    EXPECT_EQ(row_key(1.0), 1000);
    EXPECT_EQ(row_key(0.0025), 3);    // 2.5 up
    EXPECT_EQ(row_key(-0.0025), -3);  // -2.5 away from zero
    EXPECT_EQ(row_key(0.0004999), 0);
    EXPECT_EQ(row_key(kNaN), 0);
    EXPECT_EQ(row_key(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(row_key(-1e300), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(row_key(4503599627370497.0 / 1000.0), 4503599627370497);  // past 2^52
}

TEST(RowKey, AgreesWithLibraryRounding) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> wide(-1e7, 1e7);
    std::vector<double> values{0.0, -0.0, 0.0005, -0.0005, 0.0015, 1e-300, 4503.599627370495,
                               4503.599627370496, 9007.199254740993, 1e12, -1e12};
    for (int k = 0; k < 100000; ++k) values.push_back(wide(rng) / std::pow(10.0, rng() % 12));
    for (int k = -3000; k <= 3000; ++k) values.push_back((k + 0.5) / 1000.0);  // near ties
    for (const double y : values)
        EXPECT_EQ(row_key(y), static_cast<std::int64_t>(std::round(y * 1000.0))) << y;
}

TEST(Saturation, TruncatesTowardZero) {
    EXPECT_EQ(saturating_u64(2.9), 2u);
    EXPECT_EQ(saturating_u64(-0.5), 0u);
    EXPECT_EQ(saturating_u64(kNaN), 0u);
    EXPECT_EQ(saturating_u64(1e30), std::numeric_limits<std::uint64_t>::max());
}

TEST(Partition, ChunksAlongXWithFloors) {
    EXPECT_TRUE(partition_1d_horizontal({}, 3, 1.0, 0.0).empty());
    const std::vector<Position> points{{5, 0}, {1, 0}, {3, 0}, {9, 0}};
    const auto boxes = partition_1d_horizontal(points, 3, 0.0, 2.0);
    ASSERT_EQ(boxes.size(), 2u);
    // Chunk {1, 3, 5}: width 4, centre 3; chunk {9}: the 0.1 floors.
    EXPECT_EQ(boxes[0].min_x, 1.0);
    EXPECT_EQ(boxes[0].max_x, 5.0);
    EXPECT_EQ(boxes[0].min_y, 2.0 - 0.05);
    EXPECT_EQ(boxes[0].max_y, 2.0 + 0.05);
    EXPECT_EQ(boxes[1].min_x, 9.0 - 0.05);
    EXPECT_EQ(boxes[1].max_x, 9.0 + 0.05);
}

TEST(Summary, TwoDecimalsHalfEven) {
    Plan plan{{}, 3, 1.0, true};
    EXPECT_EQ(summary_line(plan), "\u2705 Created 3 patches (aspect cost: 1.00)\n");
    plan.cost = 0.125;  // exactly halfway: to even
    EXPECT_EQ(summary_line(plan), "\u2705 Created 3 patches (aspect cost: 0.12)\n");
    plan.cost = 2.675;  // just below halfway in binary
    EXPECT_EQ(summary_line(plan), "\u2705 Created 3 patches (aspect cost: 2.67)\n");
    plan.cost = 1e20;
    EXPECT_EQ(summary_line(plan),
              "\u2705 Created 3 patches (aspect cost: 100000000000000000000.00)\n");
    plan.cost = kNaN;
    EXPECT_EQ(summary_line(plan), "\u2705 Created 3 patches (aspect cost: NaN)\n");
}

TEST(Plan, ZeroOptionsRefused) {
    const std::vector<Position> one{{0, 0}};
    auto zero_cameras = plan_patches(one, {0, 1.5, 100});
    ASSERT_FALSE(zero_cameras);
    EXPECT_EQ(zero_cameras.error().message, "max_cameras must be at least 1");
    auto zero_bins = plan_patches(one, {700, 1.5, 0});
    ASSERT_FALSE(zero_bins);
    EXPECT_EQ(zero_bins.error().message, "target_bins must be at least 1");
}

TEST(Plan, OversizedGridIsAMemoryError) {
    const std::vector<Position> two{{0, 0}, {1, 1}};
    auto huge = plan_patches(two, {700, 1.5, 1'000'000});
    ASSERT_FALSE(huge);
    EXPECT_EQ(huge.error().kind, larkspan::ErrorKind::Memory);
}

// ---- the fast planner against the literal programme ----

std::vector<Position> layout(std::mt19937_64& rng, int kind, std::size_t n) {
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Position> points;
    switch (kind) {
        case 0: {  // clusters
            std::vector<Position> centres;
            for (int c = 0; c < 6; ++c) centres.push_back({unit(rng) * 300, unit(rng) * 200});
            const double spread = 1.0 + unit(rng) * 15;
            std::normal_distribution<double> noise(0.0, spread);
            for (std::size_t k = 0; k < n; ++k) {
                const Position& c = centres[rng() % centres.size()];
                points.push_back({c.x + noise(rng), c.y + noise(rng)});
            }
            break;
        }
        case 1: {  // lattice: cameras on grid lines and window bounds
            const double step = std::array{0.5, 1.0, 2.0, 5.0}[rng() % 4];
            const auto w = 2 + rng() % 40, h = 2 + rng() % 40;
            for (std::size_t k = 0; k < n; ++k)
                points.push_back({static_cast<double>(rng() % (w + 1)) * step,
                                  static_cast<double>(rng() % (h + 1)) * step});
            break;
        }
        case 2: {  // dense rows at constant y, with strays
            std::vector<double> rows;
            for (int r = 0; r < 1 + static_cast<int>(rng() % 5); ++r)
                rows.push_back(std::round(unit(rng) * 60000) / 1000);
            const double spacing = std::array{0.01, 0.03, 0.2}[rng() % 3];
            for (std::size_t k = 0; k < n; ++k)
                points.push_back(
                    {static_cast<double>(rng() % n) * spacing, rows[rng() % rows.size()]});
            for (int k = 0; k < 20; ++k) points.push_back({unit(rng) * 40, unit(rng) * 60});
            break;
        }
        default: {  // streets with some NaN coordinates
            for (std::size_t k = 0; k < n; ++k) {
                const double along = unit(rng) * 400;
                const double street = static_cast<double>(rng() % 5) * 80;
                points.push_back(rng() % 2 ? Position{along, street + unit(rng) * 6}
                                           : Position{street + unit(rng) * 6, along});
            }
            for (std::size_t k = 0; k < n / 50 + 1; ++k) {
                Position& p = points[rng() % points.size()];
                (rng() % 2 ? p.x : p.y) = kNaN;
            }
            break;
        }
    }
    return points;
}

bool same_double(double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b) ||
           (std::isnan(a) && std::isnan(b));
}

TEST(Differential, FastPlanEqualsLiteralProgramme) {
    int grid_plans = 0, failures = 0;
    for (std::uint64_t seed = 0; seed < 240; ++seed) {
        std::mt19937_64 rng(seed);
        const int kind = static_cast<int>(seed % 4);
        const std::size_t n = 1 + rng() % 2500;
        const std::vector<Position> cameras = layout(rng, kind, n);
        const PlanOptions options{std::array<std::uint64_t, 5>{3, 20, 80, 300, 700}[rng() % 5],
                                  std::array{0.0, 0.5, 1.5, 6.0, -0.25}[rng() % 5],
                                  1 + rng() % 40};
        SCOPED_TRACE("seed " + std::to_string(seed));
        const auto fast = plan_patches(cameras, options);
        const auto literal = direct::plan_patches(cameras, options);
        ASSERT_EQ(fast.has_value(), literal.has_value());
        if (!fast) {
            EXPECT_EQ(fast.error().message, literal.error().message);
            ++failures;
            continue;
        }
        grid_plans += fast->from_grid;
        EXPECT_EQ(fast->num_patches, literal->num_patches);
        EXPECT_TRUE(same_double(fast->cost, literal->cost)) << fast->cost << " " << literal->cost;
        ASSERT_EQ(fast->boxes.size(), literal->boxes.size());
        for (std::size_t k = 0; k < fast->boxes.size(); ++k) {
            const BoundingBox& a = fast->boxes[k];
            const BoundingBox& b = literal->boxes[k];
            EXPECT_TRUE(same_double(a.min_x, b.min_x) && same_double(a.max_x, b.max_x) &&
                        same_double(a.min_y, b.min_y) && same_double(a.max_y, b.max_y))
                << "box " << k;
        }
    }
    // The layouts reach both outcomes of the programme.
    EXPECT_GT(grid_plans, 100);
    EXPECT_GT(failures, 10);
}

}  // namespace
