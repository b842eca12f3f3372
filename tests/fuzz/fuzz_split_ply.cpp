// The header scan as split_ply runs it, then its read step and its pass over
// the same file without patches. It must keep exactly the vertices whose z
// lies in the default height range, reading the records right after the
// header.
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
    auto header = ply::read_ply_header(reader, {.require_end_header = true, .bad_count = std::nullopt});
    if (!header) return 0;
    if (header->header_size > size || header->header_text.size() != header->header_size) std::abort();
    if (std::memcmp(header->header_text.data(), data, header->header_text.size()) != 0) std::abort();

    Config config;
    config.input_file = fuzz::path_of(file);
    auto cloud = read_point_cloud(config);
    if (!cloud) return 0;
    const std::uint64_t count = cloud->vertex_count, record_size = cloud->layout.record_size;
    if (count != header->vertex_count || record_size == 0) std::abort();
    if (count > (size - header->header_size) / record_size) std::abort();

    const std::uint8_t* records = data + header->header_size;
    std::uint64_t kept = 0;
    for (std::uint64_t v = 0; v < count; ++v) {
        const char* record = reinterpret_cast<const char*>(records + v * record_size);
        const double z = ply::read_double(record, cloud->layout.z);
        kept += !std::isnan(z) && z != INFINITY;  // -inf <= z < inf
    }
    auto counts = write_patches(std::move(*cloud), config, [] { return std::optional<std::string>(); });
    if (!counts || counts->points_loaded != kept || counts->patches_written != 0) std::abort();
    return 0;
}
