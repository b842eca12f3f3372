#include <gtest/gtest.h>

#include <set>

#include "common/random.hpp"

using larkspan::random::SecureDraws;

TEST(SecureDraws, TwoGeneratorsNeverAgree) {
    SecureDraws a, b;
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 3000; ++i) {  // crosses several block refills
        auto x = a.next();
        auto y = b.next();
        ASSERT_TRUE(x && y);
        seen.insert(*x);
        seen.insert(*y);
    }
    EXPECT_EQ(seen.size(), 6000u);
}

TEST(SecureDraws, UnitDrawsLieInHalfOpenRange) {
    SecureDraws draws;
    double sum = 0;
    const int n = 200000;
    for (int i = 0; i < n; ++i) {
        auto u = draws.next_unit();
        ASSERT_TRUE(u);
        ASSERT_GE(*u, 0.0);
        ASSERT_LT(*u, 1.0);
        sum += *u;
    }
    EXPECT_NEAR(sum / n, 0.5, 0.01);  // mean of U[0,1), sd of the mean ~0.00065
}
