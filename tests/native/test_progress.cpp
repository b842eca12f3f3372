#include <gtest/gtest.h>

#include "common/progress.hpp"

using namespace larkspan::progress;

namespace {
std::string bar(int filled) {
    std::string out;
    for (int i = 0; i < 40; ++i) out += i < filled ? "\xE2\x96\x88" : "\xE2\x96\x91";
    return out;
}
}  // namespace

TEST(ProgressRender, Templates) {
    Snapshot s{Template::Count, "Writing patches", 3, 4, 1.0, false};
    EXPECT_EQ(render(s), "Writing patches [" + bar(30) + "] 3/4");
    s.style = Template::CountAndRate;
    s.position = 200;
    s.length = 400;
    s.elapsed_seconds = 2.0;
    EXPECT_EQ(render(s), "Writing patches [" + bar(20) + "] 200/400 (100/s)");
    s.style = Template::Bytes;
    s.position = 1536;
    s.length = 3 * 1024 * 1024;
    EXPECT_EQ(render(s).substr(0, 16), "Writing patches ");
    EXPECT_NE(render(s).find("1.50 KiB/3.00 MiB ("), std::string::npos);
}

TEST(ProgressRender, ZeroLengthIsCompleteAndOverflowClamps) {
    Snapshot s{Template::Count, "m", 0, 0, 0.0, false};
    EXPECT_EQ(render(s), "m [" + bar(40) + "] 0/0");
    s.position = 9;
    s.length = 3;
    EXPECT_EQ(render(s), "m [" + bar(40) + "] 9/3");
}

TEST(ProgressRender, ColoursWrapFilledAndEmptyParts) {
    Snapshot s{Template::Count, "m", 1, 2, 0.0, true};
    const std::string line = render(s);
    EXPECT_NE(line.find("\x1b[36m"), std::string::npos);
    EXPECT_NE(line.find("\x1b[34m"), std::string::npos);
}

TEST(ProgressUnits, HumanForms) {
    EXPECT_EQ(human_bytes(0), "0 B");
    EXPECT_EQ(human_bytes(1023), "1023 B");
    EXPECT_EQ(human_bytes(1024), "1.00 KiB");
    EXPECT_EQ(human_bytes(5ull << 30), "5.00 GiB");
    EXPECT_EQ(human_rate(12.5), "12.50/s");
    EXPECT_EQ(human_duration(65), "1m 5s");
    EXPECT_EQ(human_duration(7260), "2h 1m");
}
