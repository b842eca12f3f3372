// The neighbour grid's 64-bit cell keys at extremes no splat file reaches in
// the Python tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <tbb/global_control.h>

#include "cleanup.hpp"
#include "scratch.hpp"

using namespace larkspan::cleanup;

// floor(v / radius) below 2^53; beyond, 2^53 plus the doubles between 2^53
// and |v / radius|, so neighbouring doubles keep neighbouring cells.
TEST(CellOf, FloorsAndNeverSaturates) {
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    EXPECT_EQ(cell_of(0.25, -0.25, 1.0, 0.5), (CellKey{0, -1, 2}));
    EXPECT_EQ(cell_of(0.25, -0.25, 1.0, -0.5), (CellKey{-1, 0, -2}));
    EXPECT_EQ(cell_of(1073741823.25, -2147483649.5, std::nan(""), 0.5), (CellKey{2147483646, -4294967299, 0}));
    EXPECT_EQ(cell_of(1.0, 2.0, 3.0, 1e-12), (CellKey{1000000000000, 2000000000000, 3000000000000}));
    EXPECT_EQ(cell_of(0x1p53, 0x1p53 + 2, -0x1p54, 1.0), (CellKey{kExact, kExact + 1, -(kExact + (1LL << 52))}));
    const CellKey far = cell_of(1e300, INFINITY, -INFINITY, 0.1);
    EXPECT_LT(far.x, far.y);
    EXPECT_EQ(far.z, -far.y);
    EXPECT_LT(far.y, std::int64_t{1} << 62);
    EXPECT_EQ(cell_of(DBL_MAX, 0, 0, 1.0).x + 1, cell_of(INFINITY, 0, 0, 1.0).x);
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

// An output fed during the filter pass holds its first records, then writes
// them after a header with a guessed count. Whether the guess was too high
// (fewer digits in the end), too low (more digits) or right, or the hold
// never filled, the file is exactly the true header and the records.
TEST(ShareFile, AGuessedCountOfOtherDigitsMovesTheRecords) {
    constexpr std::uint64_t kCount = 1200, kWindow = 100, kSize = 4;
    std::string records;
    for (std::uint32_t i = 0; i < kCount; ++i) records.append(reinterpret_cast<const char*>(&i), kSize);
    larkspan::ply::PlyHeader header;
    header.header_text = "ply\nformat binary_little_endian 1.0\nelement vertex 1200\nproperty uint i\nend_header\n";
    header.vertex_count = kCount;
    const larkspan::InterruptPoll none;
    const std::pair<const char*, bool (*)(std::uint64_t)> cases[] = {
        {"the first 300 (guessed 1200)", [](std::uint64_t i) { return i < 300; }},
        {"5 of the first window, then all (guessed 60)", [](std::uint64_t i) { return i >= 100 || i % 20 == 0; }},
        {"every other one (guessed right)", [](std::uint64_t i) { return i % 2 == 0; }},
    };
    for (const auto& [name, wanted] : cases) {
        for (std::size_t hold : {std::size_t{16}, std::size_t{kCount * kSize}}) {
            Scratch dir;
            std::vector<std::uint8_t> flags(kCount);
            std::string expected_records;
            for (std::uint64_t i = 0; i < kCount; ++i) {
                flags[i] = wanted(i);
                if (flags[i]) expected_records += records.substr(i * kSize, kSize);
            }
            ShareFile share(dir / "out.ply", header, kSize, 1, hold);
            for (std::uint64_t first = 0; first < kCount; first += kWindow)
                share.take({first, kWindow, kSize, records.data() + first * kSize}, flags, kCount);
            const std::uint64_t count = expected_records.size() / kSize;
            larkspan::Interrupts interrupts(none);
            ASSERT_TRUE(share.finish(count, interrupts)) << name;
            const std::string expected =
                *larkspan::ply::rewrite_vertex_count(header.header_text, kCount, count) + expected_records;
            EXPECT_EQ(larkspan::io::read_file(dir / "out.ply").value(), expected) << name << ", hold " << hold;
        }
    }
}

// A column's cells are skipped by their z indices modulo 64: a search finds
// every point of its cells whatever their residues, across the wrap from 63
// to 0, below zero and for ranges of 64 cells and more, and none of other
// cells sharing those residues. The points come top down, so the grid has to
// order the column by cell for its cells to be runs.
TEST(PointGrid, ZSearchesAcrossEveryResidue) {
    std::vector<GridPoint> points;
    for (int z = 140; z >= -140; --z) {
        if (z % 5 != 0) points.push_back({0.5, 0.5, z + 0.5});  // some cells empty
    }
    const PointGrid grid(points, 1.0);
    for (std::int64_t width : {1, 3, 63, 64, 70}) {
        for (std::int64_t first = -150; first <= 142; ++first) {
            const std::int64_t last = first + width - 1;
            std::size_t expected = 0;
            for (const GridPoint& p : points) expected += std::floor(p.z) >= first && std::floor(p.z) <= last;
            EXPECT_EQ(grid.cells(0, 0, first, last).size(), expected) << first << " to " << last;
        }
    }
}

// An interrupt at any poll of a call whose kept file guesses a count of seven
// digits and ends with six, in the pass, while its records move or before a
// file is renamed into place: the call stops with the interrupt, every file in
// place is complete and no temporary file is left. On one thread, so that
// every run polls as the first one did and each poll tried is reached.
TEST(CleanupPly, InterruptAtEachStep) {
    const tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
    Scratch dir;
    constexpr std::uint32_t kCount = 1'000'500, kKept = 400'000;
    std::string records;
    records.reserve(std::size_t{kCount} * 24);
    for (std::uint32_t i = 0; i < kCount; ++i) {
        const float fields[6] = {i < kKept ? 0.0f : 1.0f, static_cast<float>(i), 0, 0, 0, 0};
        records.append(reinterpret_cast<const char*>(fields), sizeof fields);
    }
    auto header = [](std::uint32_t count) {
        std::string text = "ply\nformat binary_little_endian 1.0\nelement vertex " + std::to_string(count) + "\n";
        for (const char* name : {"x", "y", "z", "scale_0", "scale_1", "scale_2"})
            text += std::string("property float ") + name + "\n";
        return text + "end_header\n";
    };
    dir.write("in.ply", header(kCount) + records);
    const std::string kept = header(kKept) + records.substr(0, std::size_t{kKept} * 24);
    const std::string discarded = header(kCount - kKept) + records.substr(std::size_t{kKept} * 24);

    CleanConfig config;
    config.input_file = dir / "in.ply";
    config.output_file = dir / "kept.ply";
    config.discarded_file = dir / "gone.ply";
    config.max_x = 0.5;
    config.max_area = 1e9;
    auto files = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "")) names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    };
    auto run = [&](int interrupt_at, int* polls) {
        std::filesystem::remove(dir / "kept.ply");
        std::filesystem::remove(dir / "gone.ply");
        const larkspan::InterruptPoll poll = [=] {
            return ++*polls == interrupt_at ? std::optional<std::string>("KeyboardInterrupt: ") : std::nullopt;
        };
        return cleanup_ply(config, poll, 4096);
    };

    int total = 0;
    ASSERT_TRUE(run(0, &total));
    EXPECT_EQ(larkspan::io::read_file(dir / "kept.ply").value(), kept);
    EXPECT_EQ(larkspan::io::read_file(dir / "gone.ply").value(), discarded);
    ASSERT_GT(total, 20);
    std::vector<int> points{1, total / 3, 2 * total / 3};
    for (int n = total - 6; n <= total; ++n) points.push_back(n);
    for (int n : points) {
        int polls = 0;
        auto result = run(n, &polls);
        ASSERT_FALSE(result) << "completed although interrupted at poll " << n;
        EXPECT_EQ(polls, n);
        EXPECT_EQ(result.error().message, "Interrupted: KeyboardInterrupt: ") << n;
        const auto names = files();
        for (const auto& name : names) {
            EXPECT_TRUE(name == "in.ply" || name == "kept.ply") << name << " after an interrupt at poll " << n;
        }
        if (std::find(names.begin(), names.end(), "kept.ply") != names.end()) {
            EXPECT_EQ(larkspan::io::read_file(dir / "kept.ply").value(), kept) << n;
        }
    }
}

// A splat record of six doubles: x, y, z, then the three scales.
const SplatFields kDoubleFields{{0, larkspan::ply::Type::Float64},  {8, larkspan::ply::Type::Float64},
                                {16, larkspan::ply::Type::Float64}, {24, larkspan::ply::Type::Float64},
                                {32, larkspan::ply::Type::Float64}, {40, larkspan::ply::Type::Float64}};

// The scale test decides most splats from bounds on single scales; it must
// agree with the magnitude itself, exp(s0)^2 + exp(s1)^2 + exp(s2)^2 >=
// max_area failing, everywhere: scales on and a hair either side of both
// bounds, NaN (which passes) beside a scale that alone would fail, infinite
// scales, and limits the bounds cannot be taken from (0, negative, infinite,
// NaN, subnormal).
TEST(SplatKeep, ScaleTestAgreesWithTheMagnitude) {
    const double inf = INFINITY, nan = std::nan("");
    int decided = 0;
    for (double max_area : {0.05, 3.0, 1e-300, 4.9e-324, DBL_MAX, 0.0, -1.0, inf, nan, 1.0}) {
        KeepRules rules;
        rules.max_area = max_area;
        std::vector<double> scales{0.0, -inf, inf, nan, -700.0, 700.0};
        for (double bound : {0.5 * std::log(max_area), 0.5 * std::log(max_area / 3)}) {
            if (!std::isfinite(bound)) continue;
            for (int k = -40; k <= 40; ++k) scales.push_back(bound + k * 1e-7 * std::max(1.0, std::fabs(bound)));
            for (double s = bound; scales.size() < 200; s = std::nextafter(s, inf)) scales.push_back(s);
        }
        const double other = scales[scales.size() / 2];
        for (double a : scales) {
            const std::pair<double, double> rest[] = {{-inf, -inf}, {a, a}, {-inf, a}, {nan, -inf},
                                                      {inf, -inf},  {other, -inf}, {-inf, nan}};
            for (const auto& [b, c] : rest) {
                const double record[6] = {0, 0, 0, a, b, c};
                const double e0 = std::exp(a), e1 = std::exp(b), e2 = std::exp(c);
                const bool expected = !(e0 * e0 + e1 * e1 + e2 * e2 >= max_area);
                ASSERT_EQ(splat_keep(reinterpret_cast<const char*>(record), kDoubleFields, nullptr, rules), expected)
                    << "max_area " << max_area << ", scales " << a << " " << b << " " << c;
                ++decided;
            }
        }
    }
    EXPECT_GT(decided, 1000);
}

// A point whose squared distance from the splat rounds to exactly r² when
// every product and sum is rounded as written, and just above it when any
// product is fused into a sum: it is a neighbour on every target.
TEST(SplatKeep, DistanceRoundsAsWrittenOnEveryTarget) {
    const std::vector<GridPoint> points{{0.5636233137989932, 0.5663537131929748, 0.601308765689285}};
    const PointGrid grid(points, 1.0);
    KeepRules rules;
    rules.radius = 1.0;
    rules.min_neighbors = 1;
    rules.max_area = 1.0;
    const double splat[6] = {0, 0, 0, -10, -10, -10};
    EXPECT_TRUE(splat_keep(reinterpret_cast<const char*>(splat), kDoubleFields, &grid, rules));
}
