#pragma once
// An index of axis-aligned rectangles of the ground plane, used by every tool
// that sorts points into rectangles (split_ply's patches, OrthoCells' cells).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace larkspan {

// The bounds the index files a rectangle under; whether a bound includes its
// edge is the caller's rule.
struct Rect {
    double min_x, min_y, max_x, max_y;
};

// Finds the rectangles that may hold a point without testing every one: a
// uniform grid over the rectangles' finite bounds lists, for each cell, the
// rectangles whose closed bounds meet it. Points outside the grid fall into
// its border cells, and rectangles reaching to infinity cover those. Cell
// numbers grow monotonically with the coordinates, so a point's cell always
// lies within the cell range of every rectangle that contains it; callers
// still test each candidate exactly. A rectangle with a NaN bound or a minimum
// above its maximum holds no point and is never a candidate.
class RectIndex {
public:
    explicit RectIndex(std::span<const Rect> rects);

    // Candidate rectangles for (x, y), in ascending order.
    std::span<const std::uint32_t> candidates(double x, double y) const { return lookup(x, y).rects; }

    // The candidates for (x, y), and which of them hold it for certain: bit
    // i of `certain` is set when candidate i holds every point of the cell
    // (the cell lies strictly inside the rectangle's cell range, so the
    // monotonic cell numbers alone prove the point inside), and the caller
    // may skip its exact test. Only the first kInline candidates are ever
    // marked.
    struct Lookup {
        std::span<const std::uint32_t> rects;
        std::uint32_t certain;
    };
    Lookup lookup(double x, double y) const { return lookup_cell(cell_of(x, y)); }

    // The same in two steps, for callers that look up many points: the cell
    // of each point first, its cache line fetched in the background, and
    // the lookups once those lines have arrived.
    std::size_t cell_of(double x, double y) const { return std::size_t{y_.cell(y)} * x_.cells + x_.cell(x); }
    void prefetch(std::size_t cell) const { __builtin_prefetch(&cells_[cell]); }
    Lookup lookup_cell(std::size_t c) const {
        const Cell& cell = cells_[c];
        const std::uint32_t* first = cell.count <= kInline ? cell.rects : overflow_.data() + cell.rects[0];
        return {{first, std::size_t{cell.count}}, cell.certain};
    }

    struct Axis {
        double origin = 0;
        double scale = 0;  // cells per unit
        std::uint32_t cells = 1;

        std::uint32_t cell(double v) const {
            const double t = (v - origin) * scale;
            if (!(t > 0)) return 0;  // below the grid, and NaN
            if (t >= static_cast<double>(cells)) return cells - 1;
            return static_cast<std::uint32_t>(t);
        }
    };

private:
    // A cell holds up to kInline candidates itself, so looking one up costs a
    // single cache line; more are kept in overflow_, from rects[0] on.
    static constexpr std::uint32_t kInline = 3;
    struct Cell {
        std::uint32_t count : 29 = 0;
        std::uint32_t certain : kInline = 0;  // see Lookup
        std::uint32_t rects[kInline] = {};
    };

    Axis x_, y_;
    std::vector<Cell> cells_;  // row after row
    std::vector<std::uint32_t> overflow_;
};

}  // namespace larkspan
