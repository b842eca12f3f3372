#pragma once

#include <chrono>
#include <string>

namespace larkspan::text {

// "2s", "2.5s", "1.234567ms", "15.2µs", "999ns": the largest fitting unit, the
// remainder as trimmed decimal digits, no space before the unit.
std::string format_duration(std::chrono::nanoseconds elapsed);

// Shortest decimal text that reads back to the same double, laid out as Ryu
// does: "100.0", "0.1", "1e16", "1e-7", "1.5e300", "-0.0". Finite values only.
std::string format_shortest(double value);

// Elapsed time since construction on the monotonic clock.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    std::chrono::nanoseconds elapsed() const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - start_);
    }
    std::string elapsed_text() const { return format_duration(elapsed()); }

private:
    std::chrono::steady_clock::time_point start_;
};

}  // namespace larkspan::text
