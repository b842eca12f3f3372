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

// Cells over the file's extent: the whole of it, its four quarters (sharing
// edges), the single point of the first splat, and an inverted one.
std::vector<Cell> cells_over(const VertexView& ply, const Bounds& b) {
    const double mid_x = b.min_x / 2 + b.max_x / 2, mid_y = b.min_y / 2 + b.max_y / 2;
    std::vector<Cell> cells = {
        {b.min_x, b.max_x, b.min_y, b.max_y, "all"}, {b.min_x, mid_x, b.min_y, mid_y, "q1"},
        {mid_x, b.max_x, b.min_y, mid_y, "q2"}, {b.min_x, mid_x, mid_y, b.max_y, "q3"},
        {mid_x, b.max_x, mid_y, b.max_y, "q4"}, {b.max_x, b.min_x, b.max_y, b.min_y, "inverted"},
    };
    if (ply.count > 0) cells.push_back({ply.x(0), ply.x(0), ply.y(0), ply.y(0), "first"});
    return cells;
}

// The copy loads back with the same layout and records; of its header only
// the vertex element lines change, to the plain count.
void check_written_copy_loads_back(const OrthoCells& ply, const ByteBuffer& block) {
    io::File copy = fuzz::file_with();
    if (!write_ply_file(ply, fuzz::path_of(copy), {block.data(), block.size()}, ply.vertex_count)) std::abort();
    auto again = load(fuzz::path_of(copy));
    if (!again || again->vertex_count != ply.vertex_count || again->vertex_size != ply.vertex_size ||
        again->x_field.offset != ply.x_field.offset || again->y_field.offset != ply.y_field.offset ||
        again->z_field.offset != ply.z_field.offset || again->header_lines.size() != ply.header_lines.size())
        std::abort();
    auto again_block = read_all_records(*again);
    if (!again_block || (block.size() > 0 && std::memcmp(again_block->data(), block.data(), block.size()) != 0))
        std::abort();
    const std::string count_line = "element vertex " + std::to_string(ply.vertex_count);
    for (std::size_t i = 0; i < ply.header_lines.size(); ++i) {
        const std::string& line = ply.header_lines[i];
        if (again->header_lines[i] != (ply::is_vertex_element_line(line) ? count_line : line)) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    io::File file = fuzz::file_with(data, size);
    auto ply = load(fuzz::path_of(file));
    if (!ply) return 0;
    // The block holds every record, and x, y and z lie inside a record.
    auto block = read_all_records(*ply);
    if (!block || block->size() != ply->vertex_size * ply->vertex_count) std::abort();
    for (const ply::Field& field : {ply->x_field, ply->y_field, ply->z_field})
        if (ply->vertex_count > 0 && field.offset + ply::type_size(field.type) > ply->vertex_size) std::abort();
    const VertexView view = view_of(*ply, *block);
    const std::vector<Cell> cells = cells_over(view, get_bounds(*ply));
    if (assign_splats(view, cells) != assign_splats_literally(view, cells)) std::abort();
    check_written_copy_loads_back(*ply, *block);
    return 0;
}
