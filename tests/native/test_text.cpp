#include <gtest/gtest.h>

#include "common/text.hpp"

using larkspan::text::format_duration;
using larkspan::text::format_shortest;
using std::chrono::nanoseconds;

TEST(Duration, EveryUnitBoundary) {
    const std::pair<long long, const char*> cases[] = {
        {0, "0ns"},
        {999, "999ns"},
        {1'000, "1\xC2\xB5s"},
        {15'200, "15.2\xC2\xB5s"},
        {999'999, "999.999\xC2\xB5s"},
        {1'000'000, "1ms"},
        {1'234'567, "1.234567ms"},
        {999'999'999, "999.999999ms"},
        {1'000'000'000, "1s"},
        {2'500'000'000, "2.5s"},
        {1'000'000'001, "1.000000001s"},
        {3'600'000'000'000, "3600s"},
    };
    for (auto [ns, text] : cases) EXPECT_EQ(format_duration(nanoseconds(ns)), text) << ns;
}

TEST(ShortestFloat, RyuLayout) {
    const std::pair<double, const char*> cases[] = {
        {100.0, "100.0"}, {0.1, "0.1"}, {1e16, "1e16"}, {1e15, "1000000000000000.0"},
        {1e-7, "1e-7"}, {0.0001, "0.0001"}, {1e-5, "0.00001"}, {1.5e300, "1.5e300"},
        {-0.0, "-0.0"}, {0.0, "0.0"}, {-2.5, "-2.5"}, {123.456, "123.456"},
        {1.2345e-7, "1.2345e-7"}, {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e308"},
    };
    for (auto [value, text] : cases) EXPECT_EQ(format_shortest(value), text) << value;
}
