#pragma once
// A one-line terminal progress bar on standard error. Nothing at all is
// written when stderr is not a terminal. Redraws are limited to 20 per second
// on average (bursts of up to 20 allowed); finishing always draws.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace larkspan::progress {

enum class Template {
    CountAndRate,  // "{msg} [{bar:40.cyan/blue}] {pos}/{len} ({per_sec})"
    Count,         // "{msg} [{bar:40.cyan/blue}] {pos}/{len}"
    Bytes,         // "{msg} [{bar:40.cyan/blue}] {bytes}/{total_bytes} ({eta})"
};

// What one drawing shows; rendering is a pure function of it, so it can be
// tested without a terminal.
struct Snapshot {
    Template style = Template::CountAndRate;
    std::string message;
    std::uint64_t position = 0;
    std::uint64_t length = 0;
    double elapsed_seconds = 0;
    bool colours = false;
};

std::string render(const Snapshot& snapshot);
std::string human_bytes(std::uint64_t bytes);        // "1.50 MiB"
std::string human_rate(double per_second);           // "1234/s", "12.50/s"
std::string human_duration(double seconds);          // "0s", "42s", "3m 5s", "2h 1m"

class ProgressBar {
public:
    explicit ProgressBar(std::uint64_t length);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    // A bar dropped unfinished (a failure path) ends its line so later
    // output starts on a fresh one.
    ~ProgressBar();

    void set_style(Template style);
    void set_message(std::string message);
    void set_position(std::uint64_t position);
    // Safe from any number of threads at once.
    void inc(std::uint64_t delta = 1);
    void finish_with_message(std::string message);

    std::uint64_t position() const { return position_.load(std::memory_order_relaxed); }

private:
    void draw(bool force);

    const std::uint64_t length_;
    std::atomic<std::uint64_t> position_{0};
    const bool enabled_;
    const bool colours_;
    const std::chrono::steady_clock::time_point start_;

    std::mutex mutex_;  // guards everything below and the terminal line
    Template style_ = Template::CountAndRate;
    std::string message_;
    double tokens_ = 20;  // redraw budget: refills one per 50 ms, holds up to 20
    std::chrono::steady_clock::time_point last_refill_;
    bool drawn_ = false;
    bool finished_ = false;
};

}  // namespace larkspan::progress
