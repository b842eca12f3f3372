#pragma once
// The patch planner's programme evaluated literally: every strip rescans the
// cameras for its strip and its widened strip, re-sorts the widened cameras
// by y and counts each window in them. Quadratic in the columns times the
// cameras; the differential tests compare the fast planner against it, and
// bench/patches.py times it (through the probe module).
//
// It shares the steps before the programme (arguments, extent, degenerate
// layouts, binning) and the small numeric rules with the fast planner; the
// Python reference in tests/patches_reference.py checks those independently.

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <span>
#include <vector>

#include "patches.hpp"

namespace larkspan::patches::direct {

struct StripPlan {
    std::vector<BoundingBox> boxes;
    std::uint64_t count = 0;
    double cost = 1.0;
};

inline void finish(StripPlan& strip) {
    strip.count = strip.boxes.size();
    strip.cost = 1.0;
    for (const BoundingBox& box : strip.boxes) strip.cost *= aspect_ratio(box);
}

inline StripPlan inadmissible() {
    return {{}, kUnreachable, std::numeric_limits<double>::infinity()};
}

// Rows of equal row key, taken by ascending key; a camera with a NaN y is in
// no row.
inline StripPlan row_fallback(const std::vector<Position>& strip, std::uint64_t max_cameras,
                              double b) {
    std::map<std::int64_t, std::vector<Position>> rows;
    for (const Position& p : strip)
        if (!std::isnan(p.y)) rows[row_key(p.y)].push_back(p);
    bool dense = false;
    for (const auto& [key, row] : rows) {
        if (row.size() <= max_cameras) continue;
        double lo = std::numeric_limits<double>::infinity(), hi = -lo;
        for (const Position& p : row) lo = nan_min(lo, p.x), hi = nan_max(hi, p.x);
        if (static_cast<double>(row.size()) / nan_max(hi - lo, 0.1) > 10.0) dense = true;
    }
    if (!dense) return inadmissible();
    StripPlan plan;
    for (const auto& [key, row] : rows) {
        const double y0 = row.front().y;
        if (row.size() <= max_cameras) {
            double lo = std::numeric_limits<double>::infinity(), hi = -lo;
            for (const Position& p : row) lo = nan_min(lo, p.x), hi = nan_max(hi, p.x);
            plan.boxes.push_back({lo - b, hi + b, y0 - b, y0 + b});
        } else {
            for (const BoundingBox& box : partition_1d_horizontal(row, max_cameras, b, y0))
                plan.boxes.push_back(box);
        }
    }
    finish(plan);
    return plan;
}

inline Result<Plan> plan_patches(std::span<const Position> cameras, const PlanOptions& options) {
    if (auto valid = check_options(options); !valid) return std::unexpected(valid.error());
    if (cameras.empty()) return std::unexpected(Error::value("Camera positions cannot be empty"));
    const Extent extent = extent_of(cameras);
    if (auto answer = plan_degenerate(cameras, extent, options))
        return Plan{*answer, answer->size(), 1.0, false};

    const auto target_bins = static_cast<double>(options.target_bins);
    const AxisBins xb = bin_axis(extent.min_x, extent.max_x, target_bins);
    const AxisBins yb = bin_axis(extent.min_y, extent.max_y, target_bins);
    const std::uint64_t X = xb.count;
    const std::uint64_t last_row = yb.count == 0 ? 0 : yb.count - 1;
    const std::uint64_t M = options.max_cameras;
    const double b = options.buffer;
    std::vector<Position> by_x(cameras.begin(), cameras.end());
    sort_by_x(by_x);

    auto strip_plan = [&](std::uint64_t j, std::uint64_t i) -> StripPlan {
        const double x_start = xb.line(j);
        const double x_end = xb.line(i);
        std::vector<Position> strip;
        for (const Position& p : by_x)
            if (x_start <= p.x && (i == X ? p.x <= x_end : p.x < x_end)) strip.push_back(p);
        if (strip.empty()) return {};
        double ys_min = std::numeric_limits<double>::infinity(), ys_max = -ys_min;
        for (const Position& p : strip)
            ys_min = nan_min(ys_min, p.y), ys_max = nan_max(ys_max, p.y);
        const std::uint64_t lo = std::min(last_row, saturating_u64((ys_min - yb.start) / yb.step));
        const std::uint64_t hi = std::min(last_row, saturating_u64((ys_max - yb.start) / yb.step));
        if (hi < lo) return {};

        std::vector<Position> widened;
        for (const Position& p : cameras)
            if (x_start - b <= p.x && p.x <= x_end + b) widened.push_back(p);
        sort_by_y(widened);
        std::vector<double> ys;  // NaN y lies in no window
        for (const Position& p : widened)
            if (!std::isnan(p.y)) ys.push_back(p.y);
        auto load = [&](std::uint64_t k, std::uint64_t e) {
            const double y_low = yb.line(k) - b;
            const double y_high = yb.line(e + 1) + b;
            if (!(y_low <= y_high)) return std::uint64_t{0};
            return static_cast<std::uint64_t>(std::upper_bound(ys.begin(), ys.end(), y_high) -
                                              std::lower_bound(ys.begin(), ys.end(), y_low));
        };

        StripPlan plan;
        for (std::uint64_t k = lo; k <= hi;) {
            std::uint64_t taken = hi;
            if (!widened.empty()) {
                bool accepted_any = false;
                for (std::uint64_t e = k; e <= hi; ++e) {
                    if (load(k, e) > M) break;
                    taken = e;
                    accepted_any = true;
                }
                if (!accepted_any) return row_fallback(strip, M, b);
            }
            plan.boxes.push_back({x_start - b, x_end + b, yb.line(k) - b, yb.line(taken + 1) + b});
            k = taken + 1;
        }
        finish(plan);
        return plan;
    };

    struct State {
        std::vector<BoundingBox> boxes;
        std::uint64_t num_patches = kUnreachable;
        double cost = std::numeric_limits<double>::infinity();
    };
    std::vector<State> states(X);
    for (std::uint64_t i = 1; i <= X; ++i) {
        for (std::uint64_t j = 0; j < i; ++j) {
            StripPlan strip = strip_plan(j, i);
            State candidate{strip.boxes, strip.count, strip.cost};
            if (j > 0) {
                candidate.boxes = states[j - 1].boxes;
                candidate.boxes.insert(candidate.boxes.end(), strip.boxes.begin(),
                                       strip.boxes.end());
                candidate.num_patches = states[j - 1].num_patches + strip.count;
                candidate.cost = states[j - 1].cost * strip.cost;
            }
            State& state = states[i - 1];
            if (candidate.num_patches < state.num_patches ||
                (candidate.num_patches == state.num_patches && state.cost > candidate.cost))
                state = std::move(candidate);
        }
    }
    const State& last = states[X - 1];
    if (last.num_patches >= kUnreachable)
        return std::unexpected(
            Error::value("No solution found - try increasing max_cameras or reducing buffer"));
    return Plan{last.boxes, last.num_patches, last.cost, true};
}

}  // namespace larkspan::patches::direct
