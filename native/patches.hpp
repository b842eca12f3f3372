#pragma once
// Camera patch planning: covers camera ground positions with axis-aligned
// patches such that no patch, widened by a buffer, holds more than a given
// number of cameras. Among such plans the fewest patches win, then the
// squarest (smallest product of aspect ratios).
//
// The plan is found on a coarse 1-2-5 grid by a dynamic programme over
// vertical strips of grid columns; inside a strip, patches are stacked from
// bottom to top. Degenerate layouts (all cameras on one vertical or
// horizontal line, or at one point) are answered directly.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/interrupt.hpp"

namespace larkspan::patches {

// One patch on the ground plane; both bounds belong to it. No invariant:
// min may exceed max, and the sizes are then negative.
struct BoundingBox {
    double min_x = 0.0;
    double max_x = 0.0;
    double min_y = 0.0;
    double max_y = 0.0;

    double width() const { return max_x - min_x; }
    double height() const { return max_y - min_y; }
};

struct Position {
    double x = 0.0;
    double y = 0.0;
};

struct PlanOptions {
    std::uint64_t max_cameras = 700;  // most cameras one buffered patch may hold
    double buffer = 1.5;              // margin on every side of every patch
    std::uint64_t target_bins = 100;  // grid cells the binning aims at per axis
};

struct Plan {
    std::vector<BoundingBox> boxes;
    std::uint64_t num_patches = 0;
    double cost = 1.0;       // product of the patches' aspect ratios (grid plans)
    bool from_grid = false;  // false: a degenerate layout answered directly
};

// A plan's patch count at or above this marks it as inadmissible.
inline constexpr std::uint64_t kUnreachable = 999999;

// Plans the patches and prints the summary line of a grid plan on standard
// output. Errors: ValueError for zero max_cameras or target_bins, a NaN or
// negative buffer, an empty position list and a layout without an
// admissible plan; MemoryError for a grid too large to hold;
// KeyboardInterrupt when `poll` reports an interrupt (checked once per grid
// column of the programme).
Result<std::vector<BoundingBox>> patches(std::span<const Position> cameras,
                                         const PlanOptions& options, const InterruptPoll& poll);

// The same without printing.
Result<Plan> plan_patches(std::span<const Position> cameras, const PlanOptions& options,
                          const InterruptPoll& poll = {});

// "✅ Created N patches (aspect cost: C)" with a line feed.
std::string summary_line(const Plan& plan);

// ---- the steps, shared with the straightforward planner of the tests ----

Status check_options(const PlanOptions& options);

// NaN-ignoring extent; an axis whose values are all NaN keeps +inf / -inf.
struct Extent {
    double min_x, max_x, min_y, max_y;
};
Extent extent_of(std::span<const Position> cameras);

// The direct answer for cameras on one point, one vertical or one
// horizontal line; nullopt when the grid plan is needed.
std::optional<std::vector<BoundingBox>> plan_degenerate(std::span<const Position> cameras,
                                                        const Extent& extent,
                                                        const PlanOptions& options);

// Grid line k of an axis lies at start + k * step; cell k is the interval
// between lines k and k + 1.
struct AxisBins {
    double start;
    double step;
    std::uint64_t count;

    double line(std::uint64_t k) const { return start + static_cast<double>(k) * step; }
};
// 1-2-5 binning of [min, max] into about `target_bins` cells. Panics when
// min is not below max (only infinite or NaN extents get there).
AxisBins bin_axis(double min, double max, double target_bins);

// Rectangles over consecutive chunks of `chunk_size` points in x order, all
// centred on center_y, at least 0.1 wide and high. Points with a NaN
// coordinate are left out.
std::vector<BoundingBox> partition_1d_horizontal(std::span<const Position> points,
                                                 std::uint64_t chunk_size, double buffer,
                                                 double center_y);

// The row a camera belongs to in the row fallback: y * 1000 rounded half
// away from zero, saturated to the 64-bit range, 0 for NaN.
std::int64_t row_key(double y);

// max(w, h) / min(w, h) with NaN-ignoring max and min.
double aspect_ratio(const BoundingBox& box);

// Ascending stable order by one coordinate. NaN has no place in an ordering,
// so positions with a NaN coordinate go last, in their input order.
void sort_by_x(std::vector<Position>& positions);
void sort_by_y(std::vector<Position>& positions);

// min and max that ignore a NaN operand.
double nan_min(double a, double b);
double nan_max(double a, double b);

// Float to unsigned: truncation toward zero, NaN and negatives give 0, too
// large values the maximum.
std::uint64_t saturating_u64(double value);

}  // namespace larkspan::patches
