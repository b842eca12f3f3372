// The shared PLY header scan and everything derived from a scanned header.
#include "common/ply.hpp"
#include "fuzz_input.hpp"

using namespace larkspan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    io::File file = fuzz::file_with(data, size);
    io::BufferedReader reader(file);
    auto header = ply::read_ply_header(reader);
    if (!header) return 0;
    if (header->header_size > size) std::abort();
    (void)ply::splat_layout(header->properties).required_record_size();
    (void)ply::rewrite_vertex_count(header->header_text, header->vertex_count, header->vertex_count + 1);
    (void)ply::vertex_record_signature(header->header_text);
    (void)ply::require_binary_little_endian(header->header_text);
    return 0;
}
