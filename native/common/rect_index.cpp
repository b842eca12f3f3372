#include "rect_index.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "error.hpp"

namespace larkspan {

namespace {

constexpr std::uint32_t kMaxCellsPerAxis = 1024;
constexpr std::uint64_t kMaxGridEntries = std::uint64_t{1} << 22;

bool can_hold_points(const Rect& r) { return r.min_x <= r.max_x && r.min_y <= r.max_y; }

RectIndex::Axis axis_over(std::span<const Rect> rects, double Rect::*low, double Rect::*high,
                          std::uint32_t cells) {
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (const Rect& r : rects) {
        if (!can_hold_points(r)) continue;
        for (double v : {r.*low, r.*high}) {
            if (!std::isfinite(v)) continue;
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
    }
    RectIndex::Axis axis;
    if (!(lo < hi)) return axis;  // one cell
    axis.origin = lo;
    axis.cells = cells;
    // An extent too wide for a double gives scale 0 and a too narrow one an
    // infinite scale: cell numbers then collapse to the borders, still in order.
    axis.scale = static_cast<double>(cells) / (hi - lo);
    return axis;
}

}  // namespace

RectIndex::RectIndex(std::span<const Rect> rects) {
    // Cells count their rectangles in 29 bits, and numbers are marked with
    // their top bit while the table is built.
    if (rects.size() >= (std::size_t{1} << 29))
        panic("more rectangles than the index can number");
    const auto count = static_cast<double>(rects.size());
    auto cells = static_cast<std::uint32_t>(
        std::clamp(std::ceil(16 * std::sqrt(count)), 1.0, static_cast<double>(kMaxCellsPerAxis)));
    // Rectangles spanning many cells would make the table large: coarsen the
    // grid until it stays bounded.
    for (;;) {
        x_ = axis_over(rects, &Rect::min_x, &Rect::max_x, cells);
        y_ = axis_over(rects, &Rect::min_y, &Rect::max_y, cells);
        std::uint64_t total = 0;
        for (const Rect& r : rects) {
            if (!can_hold_points(r)) continue;
            total += std::uint64_t{x_.cell(r.max_x) - x_.cell(r.min_x) + 1} *
                     (y_.cell(r.max_y) - y_.cell(r.min_y) + 1);
        }
        if (total <= kMaxGridEntries || cells == 1) break;
        cells = std::max<std::uint32_t>(1, cells / 2);
    }

    // Each cell's rectangles, the top bit marking those whose cell range it
    // lies strictly inside.
    constexpr std::uint32_t kCertain = std::uint32_t{1} << 31;
    std::vector<std::vector<std::uint32_t>> lists(std::size_t{x_.cells} * y_.cells);
    for (std::size_t j = 0; j < rects.size(); ++j) {
        const Rect& r = rects[j];
        if (!can_hold_points(r)) continue;
        const std::uint32_t x0 = x_.cell(r.min_x), x1 = x_.cell(r.max_x);
        const std::uint32_t y0 = y_.cell(r.min_y), y1 = y_.cell(r.max_y);
        for (std::uint32_t cy = y0; cy <= y1; ++cy)
            for (std::uint32_t cx = x0; cx <= x1; ++cx) {
                const bool inside = x0 < cx && cx < x1 && y0 < cy && cy < y1;
                lists[std::size_t{cy} * x_.cells + cx].push_back(static_cast<std::uint32_t>(j) |
                                                                 (inside ? kCertain : 0));
            }
    }
    cells_.resize(lists.size());
    for (std::size_t c = 0; c < lists.size(); ++c) {
        Cell& cell = cells_[c];
        cell.count = static_cast<std::uint32_t>(lists[c].size());
        for (std::size_t i = 0; i < lists[c].size(); ++i) {
            if (i < kInline && (lists[c][i] & kCertain) != 0) cell.certain |= 1u << i;
            lists[c][i] &= ~kCertain;
        }
        if (cell.count <= kInline) {
            std::copy(lists[c].begin(), lists[c].end(), cell.rects);
        } else {
            cell.rects[0] = static_cast<std::uint32_t>(overflow_.size());
            overflow_.insert(overflow_.end(), lists[c].begin(), lists[c].end());
        }
    }
}

}  // namespace larkspan
