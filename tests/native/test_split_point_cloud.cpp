#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <thread>

#include "common/rect_index.hpp"
#include "split_point_cloud.hpp"

using namespace larkspan;
using namespace larkspan::split_point_cloud;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

std::optional<std::string> never() { return std::nullopt; }

// A temporary PLY cloud of float x, y, z records.
class CloudFile {
public:
    explicit CloudFile(std::uint64_t count) {
        char name[] = "/tmp/split_point_cloud_testXXXXXX";
        const int fd = ::mkstemp(name);
        path_ = name;
        std::string data = "ply\nformat binary_little_endian 1.0\nelement vertex " +
                           std::to_string(count) +
                           "\nproperty float x\nproperty float y\nproperty float z\nend_header\n";
        for (std::uint64_t i = 0; i < count; ++i) {
            const float xyz[3] = {static_cast<float>(i % 100), static_cast<float>(i / 100), 0};
            data.append(reinterpret_cast<const char*>(xyz), sizeof xyz);
        }
        EXPECT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
        ::close(fd);
    }
    ~CloudFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// An interrupt check that reports `text` on its n-th call (counting from 1).
InterruptPoll raise_on_call(int n, std::string text, int* calls) {
    return [=]() -> std::optional<std::string> {
        if (++*calls == n) return text;
        return std::nullopt;
    };
}

std::vector<Rect> rects_of(const std::vector<Patch>& patches) {
    std::vector<Rect> rects;
    for (const Patch& p : patches) rects.push_back({p.min_x, p.min_y, p.max_x, p.max_y});
    return rects;
}

}  // namespace

TEST(RectIndex, CandidatesIncludeEveryContainingPatchInOrder) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> uniform(-10, 10);
    const double specials[] = {kInf, -kInf, kNan, 0.0, -0.0, 2.5, 1e300, -1e300, 5e-324};
    auto value = [&] {
        return rng() % 4 == 0 ? specials[rng() % std::size(specials)] : uniform(rng);
    };
    for (int round = 0; round < 40; ++round) {
        std::vector<Patch> patches(1 + rng() % 60);
        for (Patch& p : patches) {
            p.min_x = value();
            p.max_x = rng() % 3 == 0 ? std::nextafter(p.min_x, kInf) : value();
            p.min_y = value();
            p.max_y = value();
        }
        const RectIndex grid(rects_of(patches));
        for (int i = 0; i < 2000; ++i) {
            const double x = value(), y = value();
            const auto candidates = grid.candidates(x, y);
            ASSERT_TRUE(std::is_sorted(candidates.begin(), candidates.end()));
            for (std::size_t j = 0; j < patches.size(); ++j) {
                if (!patches[j].contains(x, y)) continue;
                ASSERT_TRUE(std::binary_search(candidates.begin(), candidates.end(), j))
                    << "round " << round << " point (" << x << ", " << y << ") patch " << j;
            }
        }
    }
}

TEST(RectIndex, ManyOverlappingPatchesStayBounded) {
    std::vector<Patch> patches(5000);  // every patch covers the whole extent
    for (std::size_t j = 0; j < patches.size(); ++j) {
        patches[j].min_x = -static_cast<double>(j);
        patches[j].max_x = static_cast<double>(j) + 1;
    }
    const RectIndex grid(rects_of(patches));
    EXPECT_EQ(grid.candidates(0.5, 0.5).size(), patches.size());
}

TEST(ReadPointCloud, InterruptIsAKeyboardInterrupt) {
    CloudFile cloud(100'000);  // several blocks
    Config config;
    config.input_file = cloud.path();
    int calls = 0;
    auto read = read_point_cloud(config, raise_on_call(2, "KeyboardInterrupt: ", &calls));
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(read.error().message, "PLY read error: KeyboardInterrupt: ");
}

TEST(AssignPointsToPatches, InterruptIsAKeyboardInterrupt) {
    CloudFile cloud(100'000);
    Config config;
    config.input_file = cloud.path();
    config.patches = {Patch{}};
    auto read = read_point_cloud(config, never);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kept_count, 100'000u);
    int calls = 0;
    auto assigned = assign_points_to_patches(*read, raise_on_call(1, "E: x", &calls));
    ASSERT_FALSE(assigned);
    EXPECT_EQ(assigned.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(assigned.error().message, "Assignment error: Signal check failed: E: x");
}

TEST(RunWriters, CountsEveryPatchIncludingEmptyOnes) {
    auto counts = detail::run_writers(
        5, [](std::size_t patch, const std::atomic<bool>&) -> Result<std::uint64_t> { return patch * 10; }, never);
    ASSERT_TRUE(counts);
    EXPECT_EQ(counts->total_points_written, 100u);
    EXPECT_EQ(counts->patches_written, 5u);
    auto none = detail::run_writers(0, [](std::size_t, const std::atomic<bool>&) -> Result<std::uint64_t> { return 1; }, never);
    ASSERT_TRUE(none);
    EXPECT_EQ(none->patches_written, 0u);
}

TEST(RunWriters, FirstFailureInPatchOrderWins) {
    auto counts = detail::run_writers(
        40,
        [](std::size_t patch, const std::atomic<bool>&) -> Result<std::uint64_t> {
            if (patch == 7) throw std::runtime_error("writer died");
            if (patch == 3 || patch == 30) return fail(Error::os("Write error: patch " + std::to_string(patch)));
            return 1;
        },
        never);
    ASSERT_FALSE(counts);
    EXPECT_EQ(counts.error().kind, ErrorKind::Os);
    EXPECT_EQ(counts.error().message, "Write error: patch 3");

    auto died = detail::run_writers(
        3,
        [](std::size_t patch, const std::atomic<bool>&) -> Result<std::uint64_t> {
            if (patch == 1) throw std::runtime_error("writer died");
            if (patch == 2) return fail(Error::os("Write error: later"));
            return 1;
        },
        never);
    ASSERT_FALSE(died);
    EXPECT_EQ(died.error().kind, ErrorKind::Runtime);
    EXPECT_EQ(died.error().message, "Thread join failed");
}

TEST(RunWriters, InterruptStopsTheWritersAndJoinsThemBeforeReturning) {
    auto started = std::make_shared<std::atomic<int>>(0);
    auto running = std::make_shared<std::atomic<int>>(0);
    int calls = 0;
    auto counts = detail::run_writers(
        20,
        [started, running](std::size_t, const std::atomic<bool>& stop) -> Result<std::uint64_t> {
            ++*started;
            ++*running;
            while (!stop.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            --*running;
            return fail(Error{ErrorKind::Interrupted, "stopped", 0});
        },
        raise_on_call(2, "KeyboardInterrupt: ", &calls));
    ASSERT_FALSE(counts);
    EXPECT_EQ(counts.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(counts.error().message, "Interrupted: KeyboardInterrupt: ");
    // Every writer that started has returned, and none started after the stop.
    EXPECT_EQ(running->load(), 0);
    EXPECT_LT(started->load(), 20);
}

TEST(RunWriting, PatchesAJobLeftUnreportedEndedAbnormally) {
    auto counts = detail::run_writing(
        3, 1,
        [](detail::WriterReport& report) {
            detail::WriterOutcome outcome;
            outcome.kind = detail::WriterOutcome::Kind::Written;
            report.done(0, outcome);
            throw std::runtime_error("the job died");
        },
        never);
    ASSERT_FALSE(counts);
    EXPECT_EQ(counts.error().kind, ErrorKind::Runtime);
    EXPECT_EQ(counts.error().message, "Thread join failed");
}
