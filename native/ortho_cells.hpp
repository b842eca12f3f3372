#pragma once
// Ortho cells: a splat PLY file held wholly in memory, its ground-plane
// extent, and the splats of each rectangular cell written to a PLY file of
// the cell's own.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/buffer.hpp"
#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/ply.hpp"
#include "common/progress.hpp"

namespace larkspan::ortho_cells {

// An axis-aligned rectangle of the ground plane, bounds inclusive, and the
// file its splats go to.
struct Cell {
    double min_x = 0, max_x = 0, min_y = 0, max_y = 0;
    std::string output_path;

    // Exact comparisons: a point on an edge belongs to the cell, a NaN
    // coordinate or bound never matches.
    bool contains(double x, double y) const {
        return min_x <= x && x <= max_x && min_y <= y && y <= max_y;
    }
};

struct Bounds {
    double min_x, max_x, min_y, max_y, mean_z;
};

// One loaded file; immutable once loaded.
struct OrthoCells {
    std::string source_path;                // the loaded file: no output may be it
    std::vector<std::string> header_lines;  // trimmed, up to and including "end_header"
    ByteBuffer vertex_data;                 // vertex_size * vertex_count bytes, file order
    ply::Field x_field, y_field, z_field;  // read by their declared types
    std::uint64_t vertex_size = 0;
    std::uint64_t vertex_count = 0;

    const char* record(std::uint64_t i) const { return vertex_data.data() + i * vertex_size; }
    double x(std::uint64_t i) const { return ply::read_double(record(i), x_field); }
    double y(std::uint64_t i) const { return ply::read_double(record(i), y_field); }
    double z(std::uint64_t i) const { return ply::read_double(record(i), z_field); }
};

// Reads the header and the whole vertex block under the bytes progress bar.
// I/O failures are OsMatching errors; a bad count, a header whose records the
// tools cannot read (ply::vertex_layout) and a missing x, y or z are Value
// errors.
Result<OrthoCells> load(const std::string& ply_path, const InterruptPoll& poll = {});

// NaN-ignoring extent of x and y and the mean of z; with no vertex
// (inf, -inf, inf, -inf, NaN).
Bounds get_bounds(const OrthoCells& ply);

// Writes every non-empty cell's splats, in file order, to its output path, in
// parallel. Cells sharing an output path, or writing the loaded file, are
// refused before anything is assigned. A cell that fails is reported on
// stderr and the others are still written; the call then fails naming how
// many failed and the first. An interrupt stops the assignment and the
// writers; cell files not complete by then are not left behind.
Status extract_all_cells(const OrthoCells& ply, const std::vector<Cell>& cells,
                         const InterruptPoll& poll = {});

// The loaded header, with `vertex_count` as its count, then `vertex_data`
// unchanged. The data must hold exactly `vertex_count` records.
Status write_ply_file(const OrthoCells& ply, const std::string& output_path,
                      std::span<const char> vertex_data, std::uint64_t vertex_count,
                      const InterruptPoll& poll = {});

// The vertices each cell holds, one ascending list per cell. A splat on an
// edge shared by several cells is in each of them.
using CellIndices = std::vector<std::vector<std::uint64_t>>;

// Tests each splat only against the cells the rectangle index gives for it. `bar`, when given, is set every 100000 splats.
// Checks `interrupts`, when given, at the same points, and stops early after
// an interrupt: the lists are then incomplete.
CellIndices assign_splats(const OrthoCells& ply, std::span<const Cell> cells,
                          progress::ProgressBar* bar = nullptr, Interrupts* interrupts = nullptr);
// Tests every splat against every cell: the reference the index must match.
CellIndices assign_splats_literally(const OrthoCells& ply, std::span<const Cell> cells);

}  // namespace larkspan::ortho_cells
