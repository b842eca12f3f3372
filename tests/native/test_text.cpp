// Texts the tools print whose forms the Python tests mask or never reach:
// durations, shortest floats, progress lines, UTF-8 and JSON decoding errors.
#include <gtest/gtest.h>

#include "cleanup.hpp"
#include "common/colmap.hpp"
#include "common/progress.hpp"
#include "common/text.hpp"
#include "merge.hpp"

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

static std::string cells(int filled, int empty) {
    std::string out;
    while (filled-- > 0) out += "\xE2\x96\x88";
    while (empty-- > 0) out += "\xE2\x96\x91";
    return out;
}

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
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {1023, "1023 B"}, {1024, "1.00 KiB"}, {UINT64_MAX, "16.00 EiB"}};
    for (auto [bytes, text] : sizes) EXPECT_EQ(progress::human_bytes(bytes), text) << bytes;
    const std::pair<double, const char*> durations[] = {
        {0.4, "0s"}, {59.6, "1m 0s"}, {65, "1m 5s"}, {89.5, "1m 30s"}, {7260, "2h 1m"}, {-1, "0s"}};
    for (auto [seconds, text] : durations) EXPECT_EQ(progress::human_duration(seconds), text) << seconds;
}

TEST(Utf8ErrorText, DescribesTheFirstBadSequence) {
    EXPECT_EQ(colmap::utf8_error_text("plain \xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), std::nullopt);
    const std::pair<std::string, std::string> cases[] = {
        {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},       // overlong
        {"x\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},  // overlong
        {"\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // past U+10FFFF
        {"ok\xE2", "incomplete utf-8 byte sequence from index 2"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(colmap::utf8_error_text(bytes), text) << text;
}

template <class T>
static std::string refusal(std::string_view document) {
    auto decoded = json::decode<T>(document);
    EXPECT_TRUE(!decoded && decoded.error().kind == ErrorKind::Value) << document;
    return decoded ? "<decoded>" : decoded.error().message;
}

TEST(JsonDecode, ExactMessageWithPosition) {
    using Merge = merge::MergeConfig;
    const std::pair<std::string, std::string> cases[] = {
        {refusal<cleanup::CleanConfig>(R"({"input_file": "i", "output_file": "o", "max_area": 1, "min_neighbors": 1.5})"),
         "invalid type: floating point `1.5`, expected u64 at line 1 column 75"},
        {refusal<Merge>("5"), "invalid type: integer `5`, expected struct MergeConfig at line 1 column 1"},
        {refusal<Merge>(R"({"input_files": 1, "output_file": [)"),
         "invalid type: integer `1`, expected a sequence at line 1 column 17"},
    };
    for (const auto& [message, expected] : cases) EXPECT_EQ(message, expected);
}
