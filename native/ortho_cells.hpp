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
#include "common/io.hpp"
#include "common/interrupt.hpp"
#include "common/ply.hpp"
#include "common/records.hpp"

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

// One loaded file; immutable once loaded. The records are not held in
// memory: they are read from the file, window by window, when cells are
// written, so that a file larger than memory can be cut. The file stays
// open, and its stamp (inode, size, modification time) is checked before the
// records are read again: a file replaced, truncated or rewritten since it
// was loaded is refused rather than cut into different cells.
struct OrthoCells {
    std::string path;           // as given, for messages; no output may be it
    std::string absolute_path;  // what the stamp is checked against
    io::File file;
    io::FileStamp stamp;
    std::vector<std::string> header_lines;  // trimmed, up to and including "end_header"
    std::uint64_t body_offset = 0;          // the first record's byte in the file
    ply::Field x_field, y_field, z_field;   // read by their declared types
    std::uint64_t vertex_size = 0;
    std::uint64_t vertex_count = 0;
    Bounds bounds;  // taken while loading
    // x and y of every vertex, taken while loading: the index cells are
    // assigned by, so that only the writing pass reads the records again.
    // 8 bytes a vertex when both are 4-byte floats, else 16.
    std::vector<float> xy32;
    std::vector<double> xy64;

    double x(std::uint64_t i) const { return xy32.empty() ? xy64[2 * i] : xy32[2 * i]; }
    double y(std::uint64_t i) const { return xy32.empty() ? xy64[2 * i + 1] : xy32[2 * i + 1]; }
};

// Records held in memory, with the file's fields: what the cell index works
// on, one window at a time.
struct VertexView {
    const char* data = nullptr;
    std::uint64_t count = 0;
    std::uint64_t vertex_size = 0;
    ply::Field x_field, y_field, z_field;

    const char* record(std::uint64_t i) const { return data + i * vertex_size; }
    double x(std::uint64_t i) const { return ply::read_double(record(i), x_field); }
    double y(std::uint64_t i) const { return ply::read_double(record(i), y_field); }
    double z(std::uint64_t i) const { return ply::read_double(record(i), z_field); }
};

// Reads the header, then every record once under the bytes progress bar,
// taking the bounds and the positions. I/O failures are OsMatching errors; a
// bad count, a header whose records the tools cannot read
// (ply::vertex_layout) and a missing x, y or z are Value errors.
Result<OrthoCells> load(const std::string& ply_path, const InterruptPoll& poll = {});

// NaN-ignoring extent of x and y and the mean of z, as taken while loading;
// with no vertex (inf, -inf, inf, -inf, NaN).
Bounds get_bounds(const OrthoCells& ply);

// Fails with an Os error naming the file when the path no longer names the
// loaded file as it was (another inode, size or modification time).
Status require_unchanged(const OrthoCells& ply);

// Writes every non-empty cell's splats, in file order, to its output path:
// the cells' counts come from the positions taken while loading, then one
// pass over the records writes the cells window by window, in parallel.
// Cells sharing an output path or writing the loaded file, and a file
// changed since loading, are refused before anything is assigned. A cell
// that fails is reported on stderr and the others are still written; the
// call then fails naming how many failed and the first. An interrupt stops
// the assignment and the writing; cell files not complete by then are not
// left behind.
Status extract_all_cells(const OrthoCells& ply, const std::vector<Cell>& cells,
                         const InterruptPoll& poll = {});

// The loaded header, with `vertex_count` as its count, then `vertex_data`
// unchanged; refused like extract_all_cells when the file has changed. The
// data must hold exactly `vertex_count` records.
Status write_ply_file(const OrthoCells& ply, const std::string& output_path,
                      std::span<const char> vertex_data, std::uint64_t vertex_count,
                      const InterruptPoll& poll = {});

// The vertices each cell holds, one ascending list per cell. A splat on an
// edge shared by several cells is in each of them.
using CellIndices = std::vector<std::vector<std::uint64_t>>;

// Tests each splat only against the cells of its bin in a uniform grid over
// the cells, as extract_all_cells does.
CellIndices assign_splats(const VertexView& vertices, std::span<const Cell> cells);
// Tests every splat against every cell: the reference the index must match.
CellIndices assign_splats_literally(const VertexView& vertices, std::span<const Cell> cells);

// Every record of the loaded file read into memory, and a view of them:
// for tests and benchmarks of the index, never used by the tool itself.
Result<ByteBuffer> read_all_records(OrthoCells& ply);
VertexView view_of(const OrthoCells& ply, const ByteBuffer& records);

}  // namespace larkspan::ortho_cells
