// The cell index against testing every splat against every cell, at
// extremes the Python reference comparison does not reach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "ortho_cells.hpp"

using namespace larkspan;
using namespace larkspan::ortho_cells;

// Records of 12 bytes: y, a pad, then x, so offsets other than 0 are used.
CellIndices both_ways(const std::vector<std::pair<float, float>>& xy, const std::vector<Cell>& cells) {
    ByteBuffer records = ByteBuffer::allocate(xy.size() * 12).value();
    for (std::size_t i = 0; i < xy.size(); ++i) {
        std::memcpy(records.data() + i * 12 + 8, &xy[i].first, 4);
        std::memcpy(records.data() + i * 12, &xy[i].second, 4);
    }
    constexpr auto f32 = ply::Type::Float32;
    const VertexView view{records.data(), xy.size(), 12, {8, f32}, {0, f32}, {4, f32}};
    const CellIndices indexed = assign_splats(view, cells);
    EXPECT_EQ(indexed, assign_splats_literally(view, cells));
    return indexed;
}

static Cell cell(double x0, double x1, double y0, double y1) { return {x0, x1, y0, y1, ""}; }

// The index's grid is sized from the cells' extent: a single point, the
// whole double range, a tiny or denormal extent, no cells at all.
TEST(OrthoCellsAssign, IndexMatchesLiteralLoopAtExtremes) {
    const std::vector<std::pair<float, float>> points = {
        {1, 1}, {1, 2}, {2, 1}, {1e30f, -1e30f}, {-1e30f, 1e30f}, {INFINITY, 1}, {NAN, 1}, {-0.0f, 0}};
    const std::vector<std::vector<Cell>> cases = {
        {cell(1, 1, 1, 1), cell(1, 1, 1, 1)},
        {cell(-1e308, 1e308, -1e308, 1e308), cell(1, 2, 1, 1)},
        {cell(-INFINITY, INFINITY, 1, 1), cell(0, 0, 0, 0)},
        {cell(1, 1, 5e-324, 1), cell(1, 1 + 1e-9, 1, 2)},
        {cell(2, 1, 1, 2), cell(1, 2, NAN, 2), cell(-INFINITY, 1, 1, INFINITY)},
        {},
    };
    std::size_t assigned = 0;
    for (const auto& cells : cases)
        for (const auto& list : both_ways(points, cells)) assigned += list.size();
    EXPECT_GT(assigned, 10u);
}
