// The shared PLY header scan and everything derived from a scanned header.
#include "common/ply.hpp"
#include "fuzz_input.hpp"

using namespace larkspan;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    io::File file = fuzz::file_with(data, size);
    io::BufferedReader reader(file);
    auto header = ply::read_ply_header(reader);
    if (!header) return 0;
    if (header->header_size > size || header->header_text.size() != header->header_size) std::abort();
    if (auto layout = ply::vertex_layout(*header)) {
        for (const auto& property : layout->properties)
            if (property.offset + ply::type_size(property.type) > layout->record_size) std::abort();
        (void)ply::require_field(*layout, "x", "fuzz");
    }
    // A rewritten header states the new count on its vertex element line.
    if (auto rewritten = ply::rewrite_vertex_count(header->header_text, header->vertex_count,
                                                   header->vertex_count + 1)) {
        io::File again = fuzz::file_with(reinterpret_cast<const std::uint8_t*>(rewritten->data()),
                                         rewritten->size());
        io::BufferedReader again_reader(again);
        auto reread = ply::read_ply_header(again_reader);
        if (reread && header->vertex_element() != nullptr &&
            reread->vertex_count != header->vertex_count + 1)
            std::abort();
    } else if (header->vertex_element() != nullptr) {
        std::abort();
    }
    (void)ply::same_vertex_layout(*header, *header);
    return 0;
}
