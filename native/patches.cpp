// Camera patch planning.
//
// The programme evaluates every strip of grid columns j..i-1 (about X²/2 of
// them). Evaluated literally, each strip rescans the cameras for the strip and
// for its widened copy and re-sorts the latter by y: minutes for a million
// cameras. Here every camera count the programme asks for comes from one
// prefix-count table instead. Every window bound is a grid line minus the
// buffer (a lower bound) or plus it (an upper bound), so each axis has only
// about 2X distinct bounds, and a camera's relation to all of them is a
// single rank. The bounds are computed by the same expressions as the
// literal programme, so every count, and with it the plan, is the same bit
// for bit.

#include "patches.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <limits>

#include "common/io.hpp"
#include "common/text.hpp"

namespace larkspan::patches {

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;  // the 64-bit machine epsilon
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// Beyond this many grid cells the count table (about four counts per cell)
// no longer fits in memory, and the programme would not finish anyway.
constexpr std::uint64_t kMaxGridCells = std::uint64_t{1} << 26;

std::string number_text(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    return text::format_shortest(value);
}

template <double Position::*Coordinate>
void sort_nan_last(std::vector<Position>& positions) {
    std::stable_sort(positions.begin(), positions.end(), [](const Position& a, const Position& b) {
        const double ka = a.*Coordinate;
        const double kb = b.*Coordinate;
        if (std::isnan(kb)) return !std::isnan(ka);
        return ka < kb;
    });
}

// A camera with a NaN coordinate has no place on the ground plane, and the
// grid windows never count it. The chunk and row splits leave it out too: as
// the first or last camera of a chunk it would make that patch's bounds NaN,
// leaving every other camera of the chunk in no patch.
bool has_place(const Position& camera) { return !std::isnan(camera.x) && !std::isnan(camera.y); }

std::vector<Position> placed_cameras(std::span<const Position> cameras) {
    std::vector<Position> placed;
    placed.reserve(cameras.size());
    for (const Position& camera : cameras)
        if (has_place(camera)) placed.push_back(camera);
    return placed;
}

}  // namespace

// ---- numeric rules ----

double nan_min(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b < a ? b : a;
}

double nan_max(double a, double b) {
    if (std::isnan(a)) return b;
    if (std::isnan(b)) return a;
    return b > a ? b : a;
}

std::uint64_t saturating_u64(double value) {
    if (!(value > 0.0)) return 0;
    if (value >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

std::int64_t row_key(double y) {
    const double scaled = y * 1000.0;
    if (std::fabs(scaled) < 4503599627370496.0) {  // 2^52: the fraction below is exact
        std::int64_t whole = static_cast<std::int64_t>(scaled);  // toward zero
        const double fraction = scaled - static_cast<double>(whole);
        if (fraction >= 0.5) ++whole;
        if (fraction <= -0.5) --whole;
        return whole;  // half away from zero
    }
    if (std::isnan(scaled)) return 0;
    if (scaled >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (scaled <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(scaled);  // already a whole number
}

double aspect_ratio(const BoundingBox& box) {
    const double w = box.max_x - box.min_x;
    const double h = box.max_y - box.min_y;
    return nan_max(w, h) / nan_min(w, h);
}

void sort_by_x(std::vector<Position>& positions) { sort_nan_last<&Position::x>(positions); }
void sort_by_y(std::vector<Position>& positions) { sort_nan_last<&Position::y>(positions); }

// ---- arguments, extent and the degenerate layouts ----

Status check_options(const PlanOptions& options) {
    // A chunk split needs a positive chunk size, and zero bins would leave
    // the programme without a single column.
    if (options.max_cameras == 0) return fail(Error::value("max_cameras must be at least 1"));
    if (options.target_bins == 0) return fail(Error::value("target_bins must be at least 1"));
    // A NaN or negative buffer gives patches that hold no camera, and a plan
    // of them would be reported as a success.
    if (!(options.buffer >= 0))
        return fail(Error::value("buffer_meters must be a non-negative number, not " +
                                 number_text(options.buffer)));
    return {};
}

Extent extent_of(std::span<const Position> cameras) {
    // The accumulators never hold NaN, so a plain comparison is the
    // NaN-ignoring minimum and maximum (and the compiler can vectorise it).
    Extent extent{kInfinity, -kInfinity, kInfinity, -kInfinity};
    for (const Position& camera : cameras) {
        extent.min_x = camera.x < extent.min_x ? camera.x : extent.min_x;
        extent.max_x = camera.x > extent.max_x ? camera.x : extent.max_x;
        extent.min_y = camera.y < extent.min_y ? camera.y : extent.min_y;
        extent.max_y = camera.y > extent.max_y ? camera.y : extent.max_y;
    }
    return extent;
}

namespace {

// Rectangles over consecutive chunks of points sorted by x (the last chunk
// may be shorter), all centred on center_y.
void append_chunks_along_x(std::span<const Position> sorted, std::uint64_t chunk_size,
                           double buffer, double center_y, std::vector<BoundingBox>& out) {
    const double half_height = nan_max(2.0 * buffer, 0.1) / 2.0;
    for (std::size_t first = 0; first < sorted.size();) {
        const auto taken = static_cast<std::size_t>(
            std::min<std::uint64_t>(chunk_size, sorted.size() - first));
        const double x_first = sorted[first].x;
        const double x_last = sorted[first + taken - 1].x;
        const double width = nan_max(x_last - x_first + 2.0 * buffer, 0.1);
        const double center_x = (x_first + x_last) / 2.0;
        out.push_back({center_x - width / 2.0, center_x + width / 2.0, center_y - half_height,
                       center_y + half_height});
        first += taken;
    }
}

// Cameras on one vertical line at x: chunks of `chunk_size` from bottom to top.
std::vector<BoundingBox> split_vertical_line(std::span<const Position> cameras, double x,
                                             std::uint64_t chunk_size, double buffer) {
    std::vector<Position> sorted = placed_cameras(cameras);
    sort_by_y(sorted);
    const double half_width = nan_max(2.0 * buffer, 0.1) / 2.0;
    std::vector<BoundingBox> boxes;
    for (std::size_t first = 0; first < sorted.size();) {
        const auto taken = static_cast<std::size_t>(
            std::min<std::uint64_t>(chunk_size, sorted.size() - first));
        const double y_first = sorted[first].y;
        const double y_last = sorted[first + taken - 1].y;
        const double height = nan_max(y_last - y_first + 2.0 * buffer, 0.1);
        const double center_y = (y_first + y_last) / 2.0;
        boxes.push_back({x - half_width, x + half_width, center_y - height / 2.0,
                         center_y + height / 2.0});
        first += taken;
    }
    return boxes;
}

}  // namespace

std::vector<BoundingBox> partition_1d_horizontal(std::span<const Position> points,
                                                 std::uint64_t chunk_size, double buffer,
                                                 double center_y) {
    std::vector<BoundingBox> boxes;
    std::vector<Position> sorted = placed_cameras(points);
    sort_by_x(sorted);
    append_chunks_along_x(sorted, chunk_size, buffer, center_y, boxes);
    return boxes;
}

std::optional<std::vector<BoundingBox>> plan_degenerate(std::span<const Position> cameras,
                                                        const Extent& extent,
                                                        const PlanOptions& options) {
    const double b = options.buffer;
    const bool flat_x = std::abs(extent.max_x - extent.min_x) < kEpsilon;
    const bool flat_y = std::abs(extent.max_y - extent.min_y) < kEpsilon;
    const BoundingBox whole{extent.min_x - b, extent.max_x + b, extent.min_y - b,
                            extent.max_y + b};
    const bool fits = cameras.size() <= options.max_cameras;
    if (flat_x && flat_y) return std::vector{whole};
    if (flat_x) {
        if (fits) return std::vector{whole};
        return split_vertical_line(cameras, extent.min_x, options.max_cameras, b);
    }
    if (flat_y) {
        if (fits) return std::vector{whole};
        return partition_1d_horizontal(cameras, options.max_cameras, b, extent.min_y);
    }
    return std::nullopt;
}

// ---- binning ----

AxisBins bin_axis(double min, double max, double target_bins) {
    if (min >= max) panic("Invalid range: [" + number_text(min) + ", " + number_text(max) + "]");
    const double raw = (max - min) / target_bins;
    const double magnitude = std::pow(10.0, std::floor(std::log10(raw)));
    double factor = 10.0;
    for (const double candidate : {1.0, 2.0, 5.0, 10.0}) {
        if (raw <= candidate * magnitude) {
            factor = candidate;
            break;
        }
    }
    const double step = factor * magnitude;
    const double start = std::floor(min / step) * step;
    return {start, step, saturating_u64(std::ceil((max - start) / step))};
}

// ---- the grid plan ----

namespace {

// A first guess at a count from a real-valued estimate: truncated, and
// clamped to [0, most] (NaN gives 0). Callers correct it by walking.
inline std::size_t clamped_count(double estimate, std::size_t most) {
    if (!(estimate > 0.0)) return 0;
    if (estimate >= static_cast<double>(most)) return most;
    return static_cast<std::size_t>(static_cast<std::int64_t>(estimate));
}

// The binned grid with its lines computed once.
struct Grid {
    AxisBins x;
    AxisBins y;
    std::uint64_t columns;   // X
    std::uint64_t last_row;  // Y - 1, or 0 when Y is 0
    std::vector<double> x_lines;  // lines 0..X
    std::vector<double> y_lines;  // lines 0..last_row + 1
    double inverse_x_step;        // for first guesses only

    Grid(const AxisBins& x_bins, const AxisBins& y_bins)
        : x(x_bins), y(y_bins), columns(x_bins.count),
          last_row(y_bins.count == 0 ? 0 : y_bins.count - 1), inverse_x_step(1.0 / x_bins.step) {
        for (std::uint64_t k = 0; k <= columns; ++k) x_lines.push_back(x.line(k));
        for (std::uint64_t k = 0; k <= last_row + 1; ++k) y_lines.push_back(y.line(k));
    }

    // The column of a strip camera at x: line(c) <= x < line(c + 1), the last
    // column also taking x == line(X). None outside the grid or for NaN.
    std::optional<std::uint64_t> column_of(double value) const {
        if (!(value >= x_lines.front() && value <= x_lines.back())) return std::nullopt;
        std::uint64_t c = clamped_count((value - x.start) * inverse_x_step, columns - 1);
        while (c > 0 && value < x_lines[c]) --c;
        while (c + 1 < columns && x_lines[c + 1] <= value) ++c;
        return c;
    }
};

// The window bounds of one axis, in ascending order: lower bounds
// line(k) - b for k < K and upper bounds line(k) + b for 1 <= k <= K. A value
// passes a lower bound it is not below and an upper bound it is above. With a
// lower bound sorted before an equal upper bound, the bounds a value passes
// are always a prefix of this order, so its relation to all of them is one
// number, its rank: inside the window [lower, upper] exactly when
// position(lower) < rank <= position(upper). A NaN bound admits nothing and
// has no position.
class WindowBounds {
public:
    static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

    WindowBounds(const AxisBins& bins, const std::vector<double>& lines, double buffer)
        : start_(bins.start), inverse_step_(1.0 / bins.step), buffer_cells_(buffer / bins.step),
          cells_(lines.size() - 1), lower_position_(cells_, kNone),
          upper_position_(cells_, kNone) {
        struct Entry {
            double value;
            bool upper;
            std::size_t cell;
        };
        std::vector<Entry> entries;
        for (std::size_t k = 0; k < cells_; ++k) {
            const double lower = lines[k] - buffer;
            const double upper = lines[k + 1] + buffer;
            if (!std::isnan(lower)) entries.push_back({lower, false, k});
            if (!std::isnan(upper)) entries.push_back({upper, true, k});
        }
        std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
            if (a.value != b.value) return a.value < b.value;
            return !a.upper && b.upper;
        });
        for (std::size_t p = 0; p < entries.size(); ++p) {
            const Entry& entry = entries[p];
            thresholds_.push_back(entry.upper ? just_above(entry.value) : entry.value);
            (entry.upper ? upper_position_ : lower_position_)[entry.cell] = p;
        }
    }

    std::size_t size() const { return thresholds_.size(); }
    // Position of line(k) - b, for k < K.
    std::size_t lower_position(std::uint64_t k) const { return lower_position_[k]; }
    // Position of line(k) + b, for 1 <= k <= K.
    std::size_t upper_position(std::uint64_t k) const { return upper_position_[k - 1]; }

    // The number of bounds a (non-NaN) value passes.
    std::size_t rank(double value) const {
        std::size_t r = guess(value);
        while (r > 0 && !(value >= thresholds_[r - 1])) --r;
        while (r < thresholds_.size() && value >= thresholds_[r]) ++r;
        return r;
    }

private:
    // Passing bound p is one test, value >= threshold: a lower bound's
    // threshold is its value, an upper bound's the next double above it (no
    // double lies between), and NaN for +inf, which nothing is above.
    static double just_above(double value) {
        if (value == kInfinity) return std::numeric_limits<double>::quiet_NaN();
        return std::nextafter(value, kInfinity);
    }

    // Where the rank walk starts: the bounds an exact computation would say
    // the value passes. It may be a step off; the walk corrects it.
    std::size_t guess(double value) const {
        const double cell = (value - start_) * inverse_step_;
        const std::size_t lower = clamped_count(cell + buffer_cells_ + 1.0, cells_);
        const std::size_t upper = clamped_count(cell - buffer_cells_, cells_);
        return std::min(lower + upper, thresholds_.size());
    }

    double start_;
    double inverse_step_;
    double buffer_cells_;
    std::size_t cells_;
    std::vector<double> thresholds_;
    std::vector<std::size_t> lower_position_;
    std::vector<std::size_t> upper_position_;
};

// The number of cameras in any window the programme asks about, in O(1),
// from cumulative counts over the cameras' x and y ranks. A camera with a
// NaN coordinate is in no window.
class WindowCounts {
public:
    WindowCounts(const Grid& grid, double buffer, std::span<const Position> cameras)
        : x_(grid.x, grid.x_lines, buffer), y_(grid.y, grid.y_lines, buffer),
          stride_(y_.size() + 1), table_((x_.size() + 1) * stride_, 0) {
        for (const Position& camera : cameras) {
            if (std::isnan(camera.x) || std::isnan(camera.y)) continue;
            ++table_[x_.rank(camera.x) * stride_ + y_.rank(camera.y)];
        }
        // Cumulative over both ranks: at(a, c) counts ranks <= a and <= c.
        for (std::size_t a = 0; a <= x_.size(); ++a) {
            std::uint32_t row_sum = 0;
            for (std::size_t c = 0; c < stride_; ++c) {
                row_sum += table_[a * stride_ + c];
                table_[a * stride_ + c] = row_sum + (a > 0 ? table_[(a - 1) * stride_ + c] : 0);
            }
        }
    }

    // Cameras with x_line(j) - b <= x <= x_line(i) + b and
    // y_line(k) - b <= y <= y_line(e + 1) + b.
    std::uint64_t load(std::uint64_t j, std::uint64_t i, std::uint64_t k, std::uint64_t e) const {
        const std::size_t x_low = x_.lower_position(j);
        const std::size_t x_high = x_.upper_position(i);
        const std::size_t y_low = y_.lower_position(k);
        const std::size_t y_high = y_.upper_position(e + 1);
        if (x_low == WindowBounds::kNone || x_high == WindowBounds::kNone ||
            y_low == WindowBounds::kNone || y_high == WindowBounds::kNone || x_low > x_high ||
            y_low > y_high)
            return 0;
        // Unsigned wrap-around cancels out: the true count is never negative.
        return at(x_high, y_high) - at(x_low, y_high) - at(x_high, y_low) + at(x_low, y_low);
    }

private:
    std::uint32_t at(std::size_t a, std::size_t c) const { return table_[a * stride_ + c]; }

    WindowBounds x_;
    WindowBounds y_;
    std::size_t stride_;
    std::vector<std::uint32_t> table_;
};

// The strip cameras of a run of columns: how many, and their NaN-ignoring y
// extent. A strip's figures are its columns' figures combined.
struct StripCameras {
    std::uint64_t count = 0;
    double y_min = kInfinity;
    double y_max = -kInfinity;

    void add(const StripCameras& other) {
        count += other.count;
        y_min = nan_min(y_min, other.y_min);
        y_max = nan_max(y_max, other.y_max);
    }
};

std::vector<StripCameras> cameras_per_column(const Grid& grid, std::span<const Position> cameras) {
    std::vector<StripCameras> columns(grid.columns);
    for (const Position& camera : cameras) {
        const auto column = grid.column_of(camera.x);
        if (!column) continue;
        StripCameras& figures = columns[*column];
        ++figures.count;
        figures.y_min = camera.y < figures.y_min ? camera.y : figures.y_min;  // NaN ignored
        figures.y_max = camera.y > figures.y_max ? camera.y : figures.y_max;
    }
    return columns;
}

// The strip cameras grouped into rows of equal row key, for the row
// fallback. Built on the first fallback; most plans never need it.
class RowIndex {
public:
    RowIndex(const Grid& grid, std::span<const Position> cameras, std::uint64_t max_cameras)
        : column_rows_(grid.columns) {
        struct Member {
            std::int64_t key;
            double x;
            std::size_t index;
            std::uint64_t column;
        };
        std::vector<Member> members;
        for (std::size_t index = 0; index < cameras.size(); ++index) {
            const Position& camera = cameras[index];
            if (!has_place(camera)) continue;  // in no row
            if (const auto column = grid.column_of(camera.x))
                members.push_back({row_key(camera.y), camera.x, index, *column});
        }
        // Rows by ascending key; inside a row, x order with ties in input order.
        std::sort(members.begin(), members.end(), [](const Member& a, const Member& b) {
            if (a.key != b.key) return a.key < b.key;
            if (a.x != b.x) return a.x < b.x;
            return a.index < b.index;
        });
        for (std::size_t m = 0; m < members.size(); ++m) {
            if (m == 0 || members[m].key != members[m - 1].key) row_begin_.push_back(m);
            positions_.push_back(cameras[members[m].index]);
            columns_.push_back(members[m].column);
        }
        row_begin_.push_back(members.size());
        for (std::size_t row = 0; row + 1 < row_begin_.size(); ++row) {
            if (row_begin_[row + 1] - row_begin_[row] > max_cameras) long_rows_.push_back(row);
            for (std::size_t m = row_begin_[row]; m < row_begin_[row + 1]; ++m) {
                std::vector<std::size_t>& rows = column_rows_[columns_[m]];
                if (rows.empty() || rows.back() != row) rows.push_back(row);
            }
        }
        seen_in_strip_.assign(row_begin_.size(), 0);
    }

    // Rows that can hold more than max_cameras cameras in some strip.
    const std::vector<std::size_t>& long_rows() const { return long_rows_; }

    // The row's cameras in columns j..i-1, in x order.
    std::span<const Position> part(std::size_t row, std::uint64_t j, std::uint64_t i) const {
        const auto begin = columns_.begin() + static_cast<std::ptrdiff_t>(row_begin_[row]);
        const auto end = columns_.begin() + static_cast<std::ptrdiff_t>(row_begin_[row + 1]);
        const auto first = std::partition_point(begin, end, [&](std::uint64_t c) { return c < j; });
        const auto last = std::partition_point(first, end, [&](std::uint64_t c) { return c < i; });
        return std::span(positions_).subspan(static_cast<std::size_t>(first - columns_.begin()),
                                             static_cast<std::size_t>(last - first));
    }

    // The rows with cameras in columns j..i-1, by ascending key.
    std::vector<std::size_t> rows_in(std::uint64_t j, std::uint64_t i) {
        ++strip_stamp_;
        std::vector<std::size_t> rows;
        for (std::uint64_t c = j; c < i; ++c) {
            for (const std::size_t row : column_rows_[c]) {
                if (seen_in_strip_[row] == strip_stamp_) continue;
                seen_in_strip_[row] = strip_stamp_;
                rows.push_back(row);
            }
        }
        std::sort(rows.begin(), rows.end());
        return rows;
    }

private:
    std::vector<Position> positions_;        // grouped by row
    std::vector<std::uint64_t> columns_;     // the column of each
    std::vector<std::size_t> row_begin_;     // row r is [row_begin_[r], row_begin_[r + 1])
    std::vector<std::size_t> long_rows_;
    std::vector<std::vector<std::size_t>> column_rows_;  // rows present in each column
    std::vector<std::uint64_t> seen_in_strip_;
    std::uint64_t strip_stamp_ = 0;
};

// A row fallback is admissible only with a row of more than max_cameras
// strip cameras, which needs that many cameras with one row key. Counting
// keys into hash buckets can only over-count, so when no bucket exceeds
// max_cameras no row does, and every fallback is inadmissible without
// grouping the cameras into rows.
bool some_row_may_be_long(const Grid& grid, std::span<const Position> cameras,
                          std::uint64_t max_cameras) {
    if (cameras.size() <= max_cameras) return false;
    // About a quarter of max_cameras per bucket on average: few false alarms,
    // and for common sizes a table that stays in the first-level cache.
    const std::uint64_t wanted = std::clamp<std::uint64_t>(4 * cameras.size() / max_cameras,
                                                           std::uint64_t{1} << 10,
                                                           std::uint64_t{1} << 22);
    const int bits = std::bit_width(wanted - 1);
    std::vector<std::uint32_t> buckets(std::size_t{1} << bits, 0);
    const double first_line = grid.x_lines.front();
    const double last_line = grid.x_lines.back();
    for (const Position& camera : cameras) {
        if (!(camera.x >= first_line && camera.x <= last_line)) continue;  // in no strip
        const std::uint64_t hash =
            static_cast<std::uint64_t>(row_key(camera.y)) * 0x9E3779B97F4A7C15ull;
        if (++buckets[hash >> (64 - bits)] > max_cameras) return true;
    }
    return false;
}

// What a strip contributes to a plan.
struct StripResult {
    std::uint64_t count = 0;
    double cost = 1.0;
};
constexpr StripResult kInadmissible{kUnreachable, kInfinity};

// Patches of one strip, counted and multiplied into the strip's cost in
// order, and kept when the plan is being assembled.
class StripTally {
public:
    explicit StripTally(std::vector<BoundingBox>* out) : out_(out) {}
    void add(const BoundingBox& box) {
        ++result_.count;
        result_.cost *= aspect_ratio(box);
        if (out_) out_->push_back(box);
    }
    StripResult result() const { return result_; }

private:
    std::vector<BoundingBox>* out_;
    StripResult result_;
};

class GridPlanner {
public:
    GridPlanner(std::span<const Position> cameras, const PlanOptions& options, const Grid& grid)
        : cameras_(cameras), max_cameras_(options.max_cameras), b_(options.buffer), grid_(grid),
          columns_(cameras_per_column(grid, cameras)), counts_(grid, options.buffer, cameras) {}

    Result<Plan> plan(Interrupts& interrupts) {
        const std::uint64_t columns = grid_.columns;
        std::vector<State> states(columns);
        std::vector<StripResult> strips(columns);
        for (std::uint64_t i = 1; i <= columns; ++i) {
            if (auto checked = interrupts.check(); !checked) return fail(checked.error());
            StripCameras strip;
            for (std::uint64_t j = i; j-- > 0;) {
                strip.add(columns_[j]);
                strips[j] = evaluate_strip(j, i, strip, nullptr);
            }
            choose_plan(states, strips, i);
        }
        const State& last = states[columns - 1];
        if (last.num_patches >= kUnreachable)
            return fail(
                Error::value("No solution found - try increasing max_cameras or reducing buffer"));
        Plan plan{assemble(states), last.num_patches, last.cost, true};
        if (plan.boxes.size() != plan.num_patches) panic("assembled plan differs from its count");
        return plan;
    }

private:
    // The best plan for columns 0..i-1 so far, and where its last strip starts.
    struct State {
        std::uint64_t num_patches = kUnreachable;
        double cost = kInfinity;
        std::uint64_t strip_start = 0;
    };

    // Candidates j = 0..i-1 in ascending order: the plan of columns 0..j-1
    // followed by strip j..i-1. Fewer patches win; at equal counts only a
    // strictly cheaper plan replaces, so ties keep the smaller j.
    static void choose_plan(std::vector<State>& states, const std::vector<StripResult>& strips,
                            std::uint64_t i) {
        State& state = states[i - 1];
        for (std::uint64_t j = 0; j < i; ++j) {
            State candidate{strips[j].count, strips[j].cost, j};
            if (j > 0) {
                candidate.num_patches += states[j - 1].num_patches;
                candidate.cost = states[j - 1].cost * strips[j].cost;
            }
            if (candidate.num_patches < state.num_patches ||
                (candidate.num_patches == state.num_patches && state.cost > candidate.cost))
                state = candidate;
        }
    }

    std::vector<BoundingBox> assemble(const std::vector<State>& states) {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> chosen;
        for (std::uint64_t i = grid_.columns; i > 0; i = states[i - 1].strip_start)
            chosen.emplace_back(states[i - 1].strip_start, i);
        std::reverse(chosen.begin(), chosen.end());
        std::vector<BoundingBox> boxes;
        for (const auto& [j, i] : chosen) {
            StripCameras strip;
            for (std::uint64_t c = j; c < i; ++c) strip.add(columns_[c]);
            evaluate_strip(j, i, strip, &boxes);
        }
        return boxes;
    }

    // Strip j..i-1: nothing without strip cameras or rows; otherwise patches
    // stacked over the strip's rows, or the row fallback when a single grid
    // row is already too full.
    StripResult evaluate_strip(std::uint64_t j, std::uint64_t i, const StripCameras& strip,
                               std::vector<BoundingBox>* out) {
        if (strip.count == 0) return {};
        const double oy = grid_.y.start;
        const double sy = grid_.y.step;
        const std::uint64_t lo = std::min(grid_.last_row, saturating_u64((strip.y_min - oy) / sy));
        const std::uint64_t hi = std::min(grid_.last_row, saturating_u64((strip.y_max - oy) / sy));
        if (hi < lo) return {};
        const std::size_t kept = out ? out->size() : 0;
        StripTally tally(out);
        if (stack_patches(j, i, lo, hi, tally)) return tally.result();
        if (out) out->resize(kept);  // the greedy attempt is abandoned
        return split_rows(j, i, out);
    }

    // Greedy stacking from row lo: each patch ends at the highest row whose
    // window still holds at most max_cameras cameras. The load only grows with
    // the end row, so that row is found by bisection. False when a single row
    // is already too full.
    bool stack_patches(std::uint64_t j, std::uint64_t i, std::uint64_t lo, std::uint64_t hi,
                       StripTally& tally) const {
        const double x_low = grid_.x_lines[j] - b_;
        const double x_high = grid_.x_lines[i] + b_;
        for (std::uint64_t k = lo; k <= hi;) {
            if (counts_.load(j, i, k, k) > max_cameras_) return false;
            std::uint64_t accepted = k;
            std::uint64_t rejected = hi + 1;
            while (rejected - accepted > 1) {
                const std::uint64_t e = accepted + (rejected - accepted) / 2;
                (counts_.load(j, i, k, e) <= max_cameras_ ? accepted : rejected) = e;
            }
            tally.add({x_low, x_high, grid_.y_lines[k] - b_, grid_.y_lines[accepted + 1] + b_});
            k = accepted + 1;
        }
        return true;
    }

    // Row fallback: for camera sets in dense straight rows at a constant y.
    // Admissible only when a row holds more than max_cameras of the strip's
    // cameras at more than 10 per unit of x; then every row becomes one
    // patch, or chunks of max_cameras when it is longer. Rows are taken by
    // ascending key.
    StripResult split_rows(std::uint64_t j, std::uint64_t i, std::vector<BoundingBox>* out) {
        if (!long_rows_possible_)
            long_rows_possible_ = some_row_may_be_long(grid_, cameras_, max_cameras_);
        if (!*long_rows_possible_) return kInadmissible;
        if (!rows_) rows_.emplace(grid_, cameras_, max_cameras_);
        if (!has_dense_row(j, i)) return kInadmissible;
        StripTally tally(out);
        std::vector<BoundingBox> chunks;
        for (const std::size_t row : rows_->rows_in(j, i)) {
            const std::span<const Position> part = rows_->part(row, j, i);
            const double y0 = part.front().y;
            if (part.size() <= max_cameras_) {
                tally.add({part.front().x - b_, part.back().x + b_, y0 - b_, y0 + b_});
                continue;
            }
            chunks.clear();
            append_chunks_along_x(part, max_cameras_, b_, y0, chunks);
            for (const BoundingBox& chunk : chunks) tally.add(chunk);
        }
        return tally.result();
    }

    bool has_dense_row(std::uint64_t j, std::uint64_t i) const {
        for (const std::size_t row : rows_->long_rows()) {
            const std::span<const Position> part = rows_->part(row, j, i);
            if (part.size() <= max_cameras_) continue;
            const double density =
                static_cast<double>(part.size()) / nan_max(part.back().x - part.front().x, 0.1);
            if (density > 10.0) return true;
        }
        return false;
    }

    std::span<const Position> cameras_;
    std::uint64_t max_cameras_;
    double b_;
    const Grid& grid_;
    std::vector<StripCameras> columns_;
    WindowCounts counts_;
    std::optional<bool> long_rows_possible_;
    std::optional<RowIndex> rows_;
};

Status check_grid_size(std::span<const Position> cameras, const AxisBins& x, const AxisBins& y) {
    if (x.count == 0)
        panic("Invalid grid: no columns for step " + number_text(x.step) + " from " +
              number_text(x.start));
    const std::uint64_t rows = std::max<std::uint64_t>(y.count, 1);
    if (x.count > kMaxGridCells || rows > kMaxGridCells || x.count * rows > kMaxGridCells)
        return fail(Error{ErrorKind::Memory,
                          "A grid of " + std::to_string(x.count) + " x " + std::to_string(rows) +
                              " cells is too large to plan; lower target_bins",
                          0});
    if (cameras.size() > std::numeric_limits<std::uint32_t>::max())
        return fail(Error{ErrorKind::Memory, "Too many camera positions for one plan", 0});
    return {};
}

}  // namespace

Result<Plan> plan_patches(std::span<const Position> cameras, const PlanOptions& options,
                          const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    if (auto valid = check_options(options); !valid) return fail(valid.error());
    if (cameras.empty()) return fail(Error::value("Camera positions cannot be empty"));

    const Extent extent = extent_of(cameras);
    if (auto direct = plan_degenerate(cameras, extent, options)) {
        const std::uint64_t count = direct->size();
        return Plan{std::move(*direct), count, 1.0, false};
    }

    const auto target_bins = static_cast<double>(options.target_bins);
    const AxisBins x = bin_axis(extent.min_x, extent.max_x, target_bins);
    const AxisBins y = bin_axis(extent.min_y, extent.max_y, target_bins);
    if (auto fits = check_grid_size(cameras, x, y); !fits) return fail(fits.error());
    const Grid grid(x, y);
    return GridPlanner(cameras, options, grid).plan(interrupts);
}

std::string summary_line(const Plan& plan) {
    // %.2f rounds the exact binary value half to even, as the summary's
    // two-decimal form requires; the largest double has 309 integer digits.
    char cost[512];
    if (std::isnan(plan.cost)) std::snprintf(cost, sizeof cost, "NaN");
    else std::snprintf(cost, sizeof cost, "%.2f", plan.cost);
    return "\u2705 Created " + std::to_string(plan.num_patches) + " patches (aspect cost: " + cost +
           ")\n";
}

Result<std::vector<BoundingBox>> patches(std::span<const Position> cameras,
                                         const PlanOptions& options, const InterruptPoll& poll) {
    auto plan = plan_patches(cameras, options, poll);
    if (!plan) return fail(plan.error());
    if (plan->from_grid) io::print(summary_line(*plan));
    return std::move(plan->boxes);
}

}  // namespace larkspan::patches
