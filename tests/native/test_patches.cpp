// The planner's small numeric rules at the extremes the plans never reach;
// the plans themselves are compared with the Python reference planner.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <random>

#include "patches.hpp"

using namespace larkspan::patches;

// round(y * 1000) half away from zero: exact below 2^52, saturating beyond
// the 64-bit range, 0 for NaN.
TEST(Rounding, RowKeysAndBinIndicesSaturate) {
    const std::pair<double, std::int64_t> cases[] = {
        {0.0025, 3}, {-0.0025, -3}, {0.0004999, 0}, {NAN, 0}, {1e300, INT64_MAX},
        {-1e300, INT64_MIN}, {4503599627370497.0 / 1000.0, 4503599627370497}};
    for (auto [y, key] : cases) EXPECT_EQ(row_key(y), key) << y;
    std::vector<double> values{0.0, -0.0, 0.0005, -0.0005, 0.0015, 1e-300, 4503.599627370495,
                               4503.599627370496, 9007.199254740993, 1e12, -1e12};
    for (int k = -3000; k <= 3000; ++k) values.push_back((k + 0.5) / 1000.0);  // near ties
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> wide(-1e7, 1e7);
    for (int k = 0; k < 100000; ++k) values.push_back(wide(rng) / std::pow(10.0, rng() % 12));
    for (const double y : values)
        ASSERT_EQ(row_key(y), static_cast<std::int64_t>(std::round(y * 1000.0))) << y;
    // Bin indices truncate toward zero and saturate likewise.
    const std::pair<double, std::uint64_t> bins[] = {{2.9, 2}, {-0.5, 0}, {NAN, 0}, {1e30, UINT64_MAX}};
    for (auto [value, expected] : bins) EXPECT_EQ(saturating_u64(value), expected) << value;
}

// Two decimals of the exact binary value (half to even), any magnitude.
TEST(Summary, TwoDecimalsOfAnyCost) {
    const std::pair<double, std::string> cases[] = {
        {1.0, "1.00"}, {0.125, "0.12"}, {2.675, "2.67"}, {NAN, "NaN"},
        {1e20, "100000000000000000000.00"}};
    for (auto [cost, text] : cases)
        EXPECT_EQ(summary_line({{}, 3, cost, true}),
                  "\u2705 Created 3 patches (aspect cost: " + text + ")\n");
    EXPECT_EQ(summary_line({{}, 3, DBL_MAX, true}).size(), 309 + 3 + 38);
}
