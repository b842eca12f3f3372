// Texts the tools print whose forms the Python tests mask or never reach:
// stage durations at every unit boundary, the shortest float form, and the
// progress bar's lines and units.
#include <gtest/gtest.h>

#include "common/progress.hpp"
#include "common/text.hpp"

using namespace larkspan;

TEST(Duration, EveryUnitBoundary) {
    const std::pair<long long, const char*> cases[] = {
        {0, "0ns"}, {999, "999ns"}, {1'000, "1\xC2\xB5s"}, {15'200, "15.2\xC2\xB5s"},
        {999'999, "999.999\xC2\xB5s"}, {1'000'000, "1ms"}, {1'234'567, "1.234567ms"},
        {999'999'999, "999.999999ms"}, {1'000'000'000, "1s"}, {2'500'000'000, "2.5s"},
        {1'000'000'001, "1.000000001s"}, {3'600'000'000'000, "3600s"},
    };
    for (auto [ns, text] : cases)
        EXPECT_EQ(text::format_duration(std::chrono::nanoseconds(ns)), text) << ns;
}

TEST(ShortestFloat, RyuLayout) {
    const std::pair<double, const char*> cases[] = {
        {100.0, "100.0"}, {0.1, "0.1"}, {1e16, "1e16"}, {1e15, "1000000000000000.0"},
        {1e-7, "1e-7"}, {0.0001, "0.0001"}, {1e-5, "0.00001"}, {1.5e300, "1.5e300"},
        {-0.0, "-0.0"}, {0.0, "0.0"}, {-2.5, "-2.5"}, {123.456, "123.456"},
        {1.2345e-7, "1.2345e-7"}, {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e308"},
    };
    for (auto [value, text] : cases) EXPECT_EQ(text::format_shortest(value), text) << value;
}

namespace {
std::string cells(int filled, int empty) {
    std::string out;
    for (int i = 0; i < filled; ++i) out += "\xE2\x96\x88";
    for (int i = 0; i < empty; ++i) out += "\xE2\x96\x91";
    return out;
}
}  // namespace

// The bar is floor(share * 40) cells, full at length 0, clamped past the end.
TEST(Progress, RenderedLines) {
    using progress::Template;
    const std::pair<progress::Snapshot, std::string> cases[] = {
        {{Template::Count, "Writing patches", 3, 4, 1.0, false}, "Writing patches [" + cells(30, 10) + "] 3/4"},
        {{Template::CountAndRate, "m", 200, 400, 2.0, false}, "m [" + cells(20, 20) + "] 200/400 (100/s)"},
        {{Template::CountAndRate, "m", 39, 1000, 4.0, false}, "m [" + cells(1, 39) + "] 39/1000 (9.75/s)"},
        {{Template::Count, "m", 0, 0, 0.0, false}, "m [" + cells(40, 0) + "] 0/0"},
        {{Template::Count, "m", 9, 3, 0.0, false}, "m [" + cells(40, 0) + "] 9/3"},
        // 768 B/s with 3144192 bytes left: 4094 s.
        {{Template::Bytes, "r", 1536, 3 << 20, 2.0, false}, "r [" + cells(0, 40) + "] 1.50 KiB/3.00 MiB (1h 8m)"},
        {{Template::Count, "m", 1, 2, 0.0, true},
         "m [\x1b[36m" + cells(20, 0) + "\x1b[0m\x1b[34m" + cells(0, 20) + "\x1b[0m] 1/2"},
    };
    for (const auto& [snapshot, line] : cases) EXPECT_EQ(progress::render(snapshot), line);
}

TEST(Progress, HumanUnits) {
    EXPECT_EQ(progress::human_bytes(1023), "1023 B");
    EXPECT_EQ(progress::human_bytes(1024), "1.00 KiB");
    EXPECT_EQ(progress::human_bytes(5ull << 30), "5.00 GiB");
    EXPECT_EQ(progress::human_bytes(UINT64_MAX), "16.00 EiB");
    const std::pair<double, const char*> durations[] = {
        {0.4, "0s"}, {59.6, "1m 0s"}, {65, "1m 5s"}, {89.5, "1m 30s"}, {7260, "2h 1m"}, {-1, "0s"}};
    for (auto [seconds, text] : durations) EXPECT_EQ(progress::human_duration(seconds), text) << seconds;
}
