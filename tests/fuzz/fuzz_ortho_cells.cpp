// OrthoCells' loader, then what uses a loaded file: its bounds, the cell
// index (which must agree with testing every splat against every cell), and
// the writer, whose output must load back as the same file.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_input.hpp"
#include "ortho_cells.hpp"

using namespace larkspan;
using namespace larkspan::ortho_cells;

namespace {

// x, y and z are read inside every record, and the block holds every record.
void check_layout(const OrthoCells& ply, const ByteBuffer& records) {
    if (records.size() != ply.vertex_size * ply.vertex_count) std::abort();
    if (ply.vertex_count == 0) return;
    for (const ply::Field& field : {ply.x_field, ply.y_field, ply.z_field})
        if (field.offset + ply::type_size(field.type) > ply.vertex_size) std::abort();
}

// Cells over the file's extent: the whole of it, its four quarters (sharing
// edges), the single point of the first splat, and an inverted one.
std::vector<Cell> cells_over(const VertexView& ply, const Bounds& b) {
    const double mid_x = b.min_x / 2 + b.max_x / 2, mid_y = b.min_y / 2 + b.max_y / 2;
    std::vector<Cell> cells = {
        {b.min_x, b.max_x, b.min_y, b.max_y, "all"},
        {b.min_x, mid_x, b.min_y, mid_y, "q1"},
        {mid_x, b.max_x, b.min_y, mid_y, "q2"},
        {b.min_x, mid_x, mid_y, b.max_y, "q3"},
        {mid_x, b.max_x, mid_y, b.max_y, "q4"},
        {b.max_x, b.min_x, b.max_y, b.min_y, "inverted"},
    };
    if (ply.count > 0) cells.push_back({ply.x(0), ply.x(0), ply.y(0), ply.y(0), "first"});
    return cells;
}

void check_written_copy_loads_back(const OrthoCells& ply, const ByteBuffer& block) {
    io::File copy = fuzz::file_with();
    const std::span<const char> records(block.data(), block.size());
    if (!write_ply_file(ply, fuzz::path_of(copy), records, ply.vertex_count)) std::abort();
    auto again = load(fuzz::path_of(copy));
    if (!again || again->vertex_count != ply.vertex_count || again->vertex_size != ply.vertex_size ||
        again->x_field.offset != ply.x_field.offset || again->y_field.offset != ply.y_field.offset ||
        again->z_field.offset != ply.z_field.offset || again->header_lines.size() != ply.header_lines.size())
        std::abort();
    auto again_block = read_all_records(*again);
    if (!again_block) std::abort();
    if (block.size() > 0 && std::memcmp(again_block->data(), block.data(), block.size()) != 0)
        std::abort();
    // Only the vertex element lines change, to the plain count.
    const std::string count_line = "element vertex " + std::to_string(ply.vertex_count);
    for (std::size_t i = 0; i < ply.header_lines.size(); ++i) {
        const std::string& line = ply.header_lines[i];
        const bool vertex_line = ply::is_vertex_element_line(line);
        if (again->header_lines[i] != (vertex_line ? count_line : line)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    io::File file = fuzz::file_with(data, size);
    auto ply = load(fuzz::path_of(file));
    if (!ply) return 0;
    auto block = read_all_records(*ply);
    if (!block) std::abort();
    check_layout(*ply, *block);
    const VertexView view = view_of(*ply, *block);
    const std::vector<Cell> cells = cells_over(view, get_bounds(*ply));
    if (assign_splats(view, cells) != assign_splats_literally(view, cells)) std::abort();
    check_written_copy_loads_back(*ply, *block);
    return 0;
}
