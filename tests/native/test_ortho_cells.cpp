#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

#include "common/io.hpp"
#include "ortho_cells.hpp"

using namespace larkspan;
using namespace larkspan::ortho_cells;

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// Records of 12 bytes: y, a pad, then x, so offsets other than 0 are used.
struct Points {
    ByteBuffer records;
    VertexView view() const {
        return {records.data(), records.size() / 12, 12, {8, ply::Type::Float32}, {0, ply::Type::Float32},
                {4, ply::Type::Float32}};
    }
};

Points points(const std::vector<std::pair<float, float>>& xy) {
    Points p{std::move(ByteBuffer::allocate(xy.size() * 12).value())};
    for (std::size_t i = 0; i < xy.size(); ++i) {
        std::memcpy(p.records.data() + i * 12 + 8, &xy[i].first, 4);
        std::memcpy(p.records.data() + i * 12, &xy[i].second, 4);
    }
    return p;
}

Cell cell(double min_x, double max_x, double min_y, double max_y) { return {min_x, max_x, min_y, max_y, ""}; }

}  // namespace

// The grid index must pick exactly the cells the literal double loop picks,
// for irregular, overlapping, degenerate, unbounded and NaN-bounded cells and
// for points on every cell edge, outside every cell, infinite or NaN.
TEST(OrthoCellsAssign, IndexMatchesLiteralLoop) {
    std::mt19937_64 rng(42);
    std::uniform_real_distribution<double> coord(-50, 150);
    std::vector<Cell> cells;
    for (int i = 0; i < 10; ++i)
        for (int j = 0; j < 10; ++j) cells.push_back(cell(i * 10.0, i * 10.0 + 10, j * 7.3, j * 7.3 + 7.3));
    for (int k = 0; k < 150; ++k) {
        double a = coord(rng), b = coord(rng), c = coord(rng), d = coord(rng);
        if (a > b) std::swap(a, b);
        if (c > d) std::swap(c, d);
        switch (k % 6) {
            case 0: cells.push_back(cell(a, b, c, d)); break;
            case 1: cells.push_back(cell(a, a, c, d)); break;          // a line
            case 2: cells.push_back(cell(b, a, c, d)); break;          // inverted, empty
            case 3: cells.push_back(cell(-inf, a, c, inf)); break;     // unbounded
            case 4: cells.push_back(cell(a, b, not_a_number, d)); break;        // holds nothing
            case 5: cells.push_back(cell(a, a + 1e-9, c, c)); break;   // tiny
        }
    }
    std::vector<std::pair<float, float>> xy;
    std::vector<float> edges;
    for (const Cell& c : cells)
        for (double v : {c.min_x, c.max_x, c.min_y, c.max_y})
            if (std::isfinite(v)) edges.push_back(static_cast<float>(v));
    const float specials[] = {static_cast<float>(inf), -static_cast<float>(inf), static_cast<float>(not_a_number), -0.0f};
    for (int n = 0; n < 200000; ++n) {
        auto pick = [&]() -> float {
            switch (rng() % 4) {
                case 0: return edges[rng() % edges.size()];
                case 1: return specials[rng() % 4];
                default: return static_cast<float>(coord(rng));
            }
        };
        xy.emplace_back(pick(), pick());
    }
    const Points ply = points(xy);
    const CellIndices indexed = assign_splats(ply.view(), cells);
    EXPECT_EQ(indexed, assign_splats_literally(ply.view(), cells));
    std::size_t assigned = 0;
    for (const auto& list : indexed) assigned += list.size();
    EXPECT_GT(assigned, xy.size() / 2);
}

TEST(OrthoCellsAssign, DegenerateExtents) {
    const Points ply = points({{1, 1}, {1, 2}, {2, 1}, {1e30f, -1e30f}, {-1e30f, 1e30f}});
    const std::vector<std::vector<Cell>> cases = {
        {cell(1, 1, 1, 1), cell(1, 1, 1, 1)},
        {cell(-1e308, 1e308, -1e308, 1e308), cell(1, 2, 1, 1)},
        {cell(-inf, inf, 1, 1)},
        {cell(1, 1, 5e-324, 1)},
        {},
    };
    for (const auto& cells : cases)
        EXPECT_EQ(assign_splats(ply.view(), cells), assign_splats_literally(ply.view(), cells));
}

// Writing an empty block (no address at all) writes the header alone.
TEST(OrthoCellsWrite, EmptyBlockWritesTheHeaderAlone) {
    char source[] = "/tmp/ortho_source_XXXXXX";
    const int fd = ::mkstemp(source);
    const std::string text =
        "ply\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\nend_header\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    auto ply = load(source);
    ASSERT_TRUE(ply);
    char path[] = "/tmp/ortho_write_XXXXXX";
    ::close(::mkstemp(path));
    ASSERT_TRUE(write_ply_file(*ply, path, {static_cast<const char*>(nullptr), 0}, 0));
    auto written = io::read_file(path);
    std::remove(path);
    std::remove(source);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, text);
}
