// split_ply's own header reader and record layout, then its read step over
// the same file. It must keep exactly the vertices whose z lies in the
// default height range, reading the records right after the header.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.hpp"
#include "split_point_cloud.hpp"

using namespace larkspan;
using namespace larkspan::split_point_cloud;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    io::File file = fuzz::file_with(data, size);
    io::BufferedReader reader(file);
    auto header = read_cloud_header(reader);
    if (!header) return 0;
    if (header->header_length > size || header->text.size() != header->header_length) std::abort();
    if (std::memcmp(header->text.data(), data, header->text.size()) != 0) std::abort();
    const RecordLayout layout = record_layout(header->properties);
    if (!check_layout(layout)) return 0;

    Config config;
    config.input_file = fuzz::path_of(file);
    auto cloud = read_point_cloud(config, [] { return std::optional<std::string>(); });
    if (!cloud) return 0;
    const std::uint64_t count = cloud->vertex_count, record_size = cloud->layout.record_size;
    if (count != header->vertex_count || record_size != layout.record_size) std::abort();
    if (count > (size - header->header_length) / record_size) std::abort();

    const std::uint8_t* records = data + header->header_length;
    std::uint64_t kept = 0;
    for (std::uint64_t v = 0; v < count; ++v) {
        const std::uint8_t* record = records + v * record_size;
        float z;
        std::memcpy(&z, record + layout.z, 4);
        const bool in_range = !std::isnan(z) && z != INFINITY;  // -inf <= z < inf
        if (is_kept(cloud->kept, v) != in_range) std::abort();
        kept += in_range;
    }
    if (cloud->kept_count != kept) std::abort();
    return 0;
}
