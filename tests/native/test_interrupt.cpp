// Interrupt polling: only the calling thread asks the host, and an answer
// sticks; parallel pieces stop starting once it came.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "common/interrupt.hpp"
#include "common/parallel.hpp"

using namespace larkspan;

// A poll that reports an interrupt from its n-th call on (counting from 1).
static InterruptPoll interrupt_from_call(int n, int* calls) {
    return [=] { return ++*calls >= n ? std::optional<std::string>("KeyboardInterrupt: ") : std::nullopt; };
}

TEST(Interrupts, OnlyTheCallingThreadAsksTheHostAndTheAnswerSticks) {
    int calls = 0;
    const InterruptPoll poll = interrupt_from_call(2, &calls);
    Interrupts interrupts(poll);
    EXPECT_TRUE(interrupts.check());
    std::thread([&] { EXPECT_TRUE(interrupts.check()); }).join();  // not asked from a worker
    EXPECT_EQ(calls, 1);
    auto stopped = interrupts.check();
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().kind, ErrorKind::Interrupted);
    EXPECT_EQ(stopped.error().message, "Interrupted: KeyboardInterrupt: ");
    EXPECT_FALSE(interrupts.check());
    EXPECT_EQ(calls, 2);  // once interrupted, the host is not asked again
    std::thread([&] { EXPECT_FALSE(interrupts.check()); }).join();
}

TEST(ParallelPieces, StopsStartingPiecesAfterAnInterrupt) {
    int calls = 0;
    const InterruptPoll poll = interrupt_from_call(4, &calls);
    Interrupts interrupts(poll);
    std::atomic<std::size_t> done{0};
    auto result = parallel_pieces(1'000'000, 10, interrupts, [&](std::size_t first, std::size_t last) {
        done += last - first;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().kind, ErrorKind::Interrupted);
    EXPECT_LT(done.load(), 1'000'000u / 10);
}
