// Times the cell assignment of OrthoCells with its grid index against the
// literal double loop (every splat tested against every cell), on a PLY file
// the Python benchmark generated, over an N x N grid of cells spanning the
// file's extent. Prints one line: "index_s=<median> literal_s=<median>".
//
// Usage: ortho_cells_assign PLY_PATH [CELLS_PER_SIDE=20] [PAIRS=5]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ortho_cells.hpp"

using namespace larkspan;

namespace {

std::vector<ortho_cells::Cell> grid_over(const ortho_cells::Bounds& b, int side) {
    std::vector<ortho_cells::Cell> cells;
    auto edge = [&](double lo, double hi, int k) { return lo + (hi - lo) * k / side; };
    for (int i = 0; i < side; ++i)
        for (int j = 0; j < side; ++j)
            cells.push_back({edge(b.min_x, b.max_x, i), edge(b.min_x, b.max_x, i + 1),
                             edge(b.min_y, b.max_y, j), edge(b.min_y, b.max_y, j + 1), ""});
    return cells;
}

template <class Fn>
double seconds(Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PLY_PATH [CELLS_PER_SIDE] [PAIRS]\n", argv[0]);
        return 2;
    }
    const int side = argc > 2 ? std::atoi(argv[2]) : 20;
    const int pairs = argc > 3 ? std::atoi(argv[3]) : 5;
    auto ply = ortho_cells::load(argv[1]);
    if (!ply) {
        std::fprintf(stderr, "%s\n", ply.error().message.c_str());
        return 1;
    }
    const auto cells = grid_over(ortho_cells::get_bounds(*ply), side);
    auto records = ortho_cells::read_all_records(*ply);
    if (!records) {
        std::fprintf(stderr, "%s\n", records.error().message.c_str());
        return 1;
    }
    const auto view = ortho_cells::view_of(*ply, *records);

    std::vector<double> indexed, literal;
    for (int pair = 0; pair < pairs; ++pair) {
        ortho_cells::CellIndices a, b;
        indexed.push_back(seconds([&] { a = ortho_cells::assign_splats(view, cells); }));
        literal.push_back(seconds([&] { b = ortho_cells::assign_splats_literally(view, cells); }));
        if (a != b) {
            std::fprintf(stderr, "the index and the literal loop disagree\n");
            return 1;
        }
    }
    std::printf("index_s=%.6f literal_s=%.6f\n", median(indexed), median(literal));
    return 0;
}
