#include "progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "io.hpp"

namespace larkspan::progress {

namespace {

constexpr int kBarCells = 40;
constexpr double kRedrawsPerSecond = 20;
constexpr double kBurst = 20;
constexpr const char* kFilled = "\xE2\x96\x88";  // █
constexpr const char* kEmpty = "\xE2\x96\x91";   // ░
constexpr const char* kCyan = "\x1b[36m";
constexpr const char* kBlue = "\x1b[34m";
constexpr const char* kReset = "\x1b[0m";

bool stderr_is_terminal() { return ::isatty(2) == 1; }

bool terminal_has_colours() {
    const char* term = std::getenv("TERM");
    if (std::getenv("NO_COLOR") != nullptr) return false;
    return term != nullptr && *term != '\0' && std::strcmp(term, "dumb") != 0;
}

std::size_t terminal_width() {
    struct winsize size {};
    if (::ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 0;  // unknown: no truncation
}

std::string bar_cells(std::uint64_t position, std::uint64_t length, bool colours) {
    const double share =
        length == 0 ? 1.0 : std::clamp(static_cast<double>(position) / static_cast<double>(length), 0.0, 1.0);
    const int filled = static_cast<int>(std::floor(share * kBarCells));
    std::string out;
    if (colours) out += kCyan;
    for (int i = 0; i < filled; ++i) out += kFilled;
    if (colours) out += kReset;
    if (colours && filled < kBarCells) out += kBlue;
    for (int i = filled; i < kBarCells; ++i) out += kEmpty;
    if (colours && filled < kBarCells) out += kReset;
    return out;
}

// Cuts a rendered line to the terminal width, counting code points and
// skipping escape sequences, so the line never wraps (wrapping would break
// the redraw in place).
std::string fit_width(const std::string& line, std::size_t width) {
    if (width == 0) return line;
    std::string out;
    std::size_t visible = 0;
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == '\x1b') {
            std::size_t end = line.find('m', i);
            end = end == std::string::npos ? line.size() : end + 1;
            out.append(line, i, end - i);
            i = end;
            continue;
        }
        std::size_t len = 1;
        const auto c = static_cast<unsigned char>(line[i]);
        if (c >= 0xF0) len = 4;
        else if (c >= 0xE0) len = 3;
        else if (c >= 0xC0) len = 2;
        if (visible + 1 >= width) break;
        out.append(line, i, len);
        ++visible;
        i += len;
    }
    return out;
}

}  // namespace

std::string human_bytes(std::uint64_t bytes) {
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024 && unit < 6) {
        value /= 1024;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.2f %s", value, units[unit]);
    return buffer;
}

std::string human_rate(double per_second) {
    char buffer[48];
    if (!std::isfinite(per_second)) per_second = 0;
    if (per_second >= 100) std::snprintf(buffer, sizeof buffer, "%.0f/s", per_second);
    else std::snprintf(buffer, sizeof buffer, "%.2f/s", per_second);
    return buffer;
}

std::string human_duration(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
    auto total = static_cast<std::uint64_t>(std::llround(seconds));
    const std::uint64_t hours = total / 3600, minutes = total % 3600 / 60, secs = total % 60;
    if (hours > 0) return std::to_string(hours) + "h " + std::to_string(minutes) + "m";
    if (minutes > 0) return std::to_string(minutes) + "m " + std::to_string(secs) + "s";
    return std::to_string(secs) + "s";
}

std::string render(const Snapshot& s) {
    std::string line = s.message + " [" + bar_cells(s.position, s.length, s.colours) + "] ";
    const double rate = s.elapsed_seconds > 0 ? static_cast<double>(s.position) / s.elapsed_seconds : 0;
    switch (s.style) {
        case Template::CountAndRate:
            line += std::to_string(s.position) + "/" + std::to_string(s.length) + " (" +
                    human_rate(rate) + ")";
            break;
        case Template::Count:
            line += std::to_string(s.position) + "/" + std::to_string(s.length);
            break;
        case Template::Bytes: {
            const std::uint64_t remaining = s.length > s.position ? s.length - s.position : 0;
            const double eta = rate > 0 ? static_cast<double>(remaining) / rate : 0;
            line += human_bytes(s.position) + "/" + human_bytes(s.length) + " (" +
                    human_duration(eta) + ")";
            break;
        }
    }
    return line;
}

ProgressBar::ProgressBar(std::uint64_t length)
    : length_(length),
      enabled_(stderr_is_terminal()),
      colours_(enabled_ && terminal_has_colours()),
      start_(std::chrono::steady_clock::now()),
      last_refill_(start_) {}

ProgressBar::~ProgressBar() {
    std::lock_guard lock(mutex_);
    if (enabled_ && drawn_ && !finished_) io::print_error("\n");
}

void ProgressBar::set_style(Template style) {
    std::lock_guard lock(mutex_);
    style_ = style;
}

void ProgressBar::set_message(std::string message) {
    {
        std::lock_guard lock(mutex_);
        message_ = std::move(message);
    }
    draw(false);
}

void ProgressBar::set_position(std::uint64_t position) {
    position_.store(position, std::memory_order_relaxed);
    draw(false);
}

void ProgressBar::inc(std::uint64_t delta) {
    position_.fetch_add(delta, std::memory_order_relaxed);
    draw(false);
}

void ProgressBar::finish_with_message(std::string message) {
    {
        std::lock_guard lock(mutex_);
        message_ = std::move(message);
    }
    position_.store(length_, std::memory_order_relaxed);
    draw(true);
    std::lock_guard lock(mutex_);
    if (enabled_ && !finished_) io::print_error("\n");
    finished_ = true;
}

void ProgressBar::draw(bool force) {
    if (!enabled_) return;
    std::lock_guard lock(mutex_);
    if (finished_) return;
    const auto now = std::chrono::steady_clock::now();
    const double since_refill = std::chrono::duration<double>(now - last_refill_).count();
    tokens_ = std::min(kBurst, tokens_ + since_refill * kRedrawsPerSecond);
    last_refill_ = now;
    if (!force) {
        if (tokens_ < 1) return;
        tokens_ -= 1;
    }
    Snapshot snapshot{style_, message_, position_.load(std::memory_order_relaxed), length_,
                      std::chrono::duration<double>(now - start_).count(), colours_};
    // Carriage return and clear-line, then the new line, in one write.
    io::print_error("\r\x1b[2K" + fit_width(render(snapshot), terminal_width()));
    drawn_ = true;
}

}  // namespace larkspan::progress
