// split_ply's failure texts the Python tests cannot provoke: interrupts,
// throwing writers, and which of several writer failures is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>
#include <stdexcept>

#include "common/rect_index.hpp"

#include "scratch.hpp"
#include "split_point_cloud.hpp"

using namespace larkspan;
using namespace larkspan::split_point_cloud;

static std::optional<std::string> never() { return std::nullopt; }

// An interrupt check that reports `text` on its n-th call (counting from 1).
static InterruptPoll raise_on_call(int n, std::string text) {
    return [=, c = std::make_shared<int>()] { return ++*c == n ? std::optional(text) : std::nullopt; };
}

using Writer = Result<std::uint64_t> (*)(std::size_t, const std::atomic<bool>&);

// A cloud of 100,000 points interrupted at each of its polls: while it is
// extracted, at its assignment, or while it is written. Before the
// writing step no patch file is put in place, and no unfinished one stays.
TEST(SplitPly, InterruptInEachStep) {
    Scratch dir;
    Config config;
    config.input_file = dir.write("cloud.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 100000\n"
                                               "property float x\nproperty float y\nproperty float z\nend_header\n" +
                                                   std::string(100000 * 12, '\0'));
    config.patches = {Patch{.output_file = dir / "out/patch.bin"}};
    auto first = split_ply(config, raise_on_call(1, "KeyboardInterrupt: "));
    ASSERT_FALSE(first);
    EXPECT_EQ(first.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(first.error().message, "PLY read error: KeyboardInterrupt: ");
    for (int call = 1; call <= 6; ++call) {
        auto interrupted = split_ply(config, raise_on_call(call, "E: x"));
        if (interrupted) break;  // done before that poll
        EXPECT_EQ(interrupted.error().kind, ErrorKind::Interrupted);
        const std::string& message = interrupted.error().message;
        const bool before_writing = message == "PLY read error: E: x" ||
                                    message == "Assignment error: Signal check failed: E: x";
        EXPECT_TRUE(before_writing || message == "Interrupted: E: x") << message;
        if (before_writing) {
            EXPECT_FALSE(std::filesystem::exists(dir / "out/patch.bin")) << message;
        }
        if (std::filesystem::exists(dir / "out")) {
            for (const auto& entry : std::filesystem::directory_iterator(dir / "out")) {
                EXPECT_EQ(entry.path().filename(), "patch.bin") << message;
            }
        }
        std::filesystem::remove_all(dir / "out");
    }

    auto assigned = assign_points_to_patches(100000, raise_on_call(1, "E: x"));
    ASSERT_FALSE(assigned);
    EXPECT_EQ(assigned.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(assigned.error().message, "Assignment error: Signal check failed: E: x");
}

// The first failure in patch order is reported, whichever ended first; a
// writer that throws is "Thread join failed".
TEST(RunWriters, FirstFailureInPatchOrderWins) {
    const std::tuple<std::size_t, Writer, ErrorKind, const char*> cases[] = {
        {40, [](std::size_t patch, const std::atomic<bool>&) -> Result<std::uint64_t> {
             if (patch == 7) throw std::runtime_error("writer died");
             if (patch == 3 || patch == 30) return fail(Error::os("Write error: patch " + std::to_string(patch)));
             return 1;
         }, ErrorKind::Os, "Write error: patch 3"},
        {3, [](std::size_t patch, const std::atomic<bool>&) -> Result<std::uint64_t> {
             if (patch == 1) throw std::runtime_error("writer died");
             if (patch == 2) return fail(Error::os("Write error: later"));
             return 1;
         }, ErrorKind::Runtime, "Thread join failed"},
    };
    for (const auto& [patches, writer, kind, message] : cases) {
        auto counts = detail::run_writers(patches, writer, never);
        ASSERT_FALSE(counts);
        EXPECT_EQ(counts.error().kind, kind);
        EXPECT_EQ(counts.error().message, message);
    }
    // A job that reported one patch and died leaves the others ended abnormally.
    auto died = detail::run_writing(3, 1, [](detail::WriterReport& report) {
        report.done(0, {detail::WriterOutcome::Kind::Written, 1, {}});
        throw std::runtime_error("the job died");
    }, never);
    ASSERT_FALSE(died);
    EXPECT_EQ(died.error().message, "Thread join failed");
}

// A job that extracts: its failure, or its dying before the end of the
// extraction, is the call's failure; its kept count is the points loaded.
TEST(RunWriting, ExtractionEndsTheWayTheJobSays) {
    const detail::ExtractionShown shown{10, 50};
    auto failed = detail::run_writing(2, 1, [](detail::WriterReport& report) {
        report.extracting(5);
        report.extracted(fail(Error::os("PLY read error: gone")));
    }, never, shown);
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().kind, ErrorKind::Os);
    EXPECT_EQ(failed.error().message, "PLY read error: gone");

    auto died = detail::run_writing(2, 1, [](detail::WriterReport&) { throw std::runtime_error("died"); },
                                    never, shown);
    ASSERT_FALSE(died);
    EXPECT_EQ(died.error().message, "Thread join failed");

    auto written = detail::run_writing(2, 1, [](detail::WriterReport& report) {
        if (!report.extracted(7)) return;
        for (std::size_t patch : {0, 1}) report.done(patch, {detail::WriterOutcome::Kind::Written, 3, {}});
    }, never, shown);
    ASSERT_TRUE(written);
    EXPECT_EQ(written->points_loaded, 7u);
    EXPECT_EQ(written->total_points_written, 6u);
    EXPECT_EQ(written->patches_written, 2u);
}

// Patches' candidates at and around every edge, and far outside: a candidate
// marked certain holds the point, and every patch that holds it is a
// candidate.
TEST(RectIndex, CertainCandidatesHoldThePoint) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> coordinate(-50, 50);
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<Patch> patches;
    std::vector<Rect> rects;
    std::vector<double> xs = {-inf, inf, std::nan(""), -1e300, 1e300}, ys = xs;
    for (int i = 0; i < 40; ++i) {
        Patch p;
        p.min_x = i % 9 == 0 ? -inf : coordinate(random);
        p.max_x = i % 11 == 0 ? inf : p.min_x + std::abs(coordinate(random));
        p.min_y = i % 7 == 0 ? -inf : coordinate(random);
        p.max_y = i % 13 == 0 ? inf : p.min_y + std::abs(coordinate(random)) / 4;
        patches.push_back(p);
        rects.push_back({p.min_x, p.min_y, p.max_x, p.max_y});
        for (double v : {p.min_x, p.max_x})
            xs.insert(xs.end(), {v, std::nextafter(v, -inf), std::nextafter(v, inf)});
        for (double v : {p.min_y, p.max_y})
            ys.insert(ys.end(), {v, std::nextafter(v, -inf), std::nextafter(v, inf)});
    }
    for (int i = 0; i < 200; ++i) {
        xs.push_back(coordinate(random));
        ys.push_back(coordinate(random));
    }
    const RectIndex index(rects);
    std::size_t certain_seen = 0;
    for (double x : xs)
        for (double y : ys) {
            const auto [candidates, certain] = index.lookup(x, y);
            for (std::size_t i = 0; i < candidates.size(); ++i) {
                if (((certain >> i) & 1) == 0) continue;
                ++certain_seen;
                ASSERT_TRUE(patches[candidates[i]].contains(x, y)) << x << ", " << y;
            }
            for (std::uint32_t j = 0; j < patches.size(); ++j) {
                if (patches[j].contains(x, y)) {
                    ASSERT_NE(std::find(candidates.begin(), candidates.end(), j), candidates.end());
                }
            }
        }
    EXPECT_GT(certain_seen, 1000u);
}
