// split_ply's failure texts the Python tests cannot provoke: interrupts,
// throwing writers, and which of several writer failures is reported.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>

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

// A cloud of 100,000 points, read and assigned in several pieces.
TEST(SplitPly, InterruptWhileReadingOrAssigning) {
    Scratch dir;
    Config config;
    config.input_file = dir.write("cloud.ply", "ply\nformat binary_little_endian 1.0\nelement vertex 100000\n"
                                               "property float x\nproperty float y\nproperty float z\nend_header\n" +
                                                   std::string(100000 * 12, '\0'));
    config.patches = {Patch{}};
    auto interrupted = read_point_cloud(config, raise_on_call(2, "KeyboardInterrupt: "));
    ASSERT_FALSE(interrupted);
    EXPECT_EQ(interrupted.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(interrupted.error().message, "PLY read error: KeyboardInterrupt: ");

    auto read = read_point_cloud(config, never);
    ASSERT_TRUE(read);
    auto assigned = assign_points_to_patches(*read, raise_on_call(1, "E: x"));
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
