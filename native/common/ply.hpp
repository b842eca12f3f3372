#pragma once
// The PLY vertex file as the tools share it: a text header declaring one
// vertex element, then binary little-endian records.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "io.hpp"

namespace larkspan::ply {

struct PlyProperty {
    std::string type_name;
    std::string name;
};

struct PlyHeader {
    std::string header_text;  // every header line read, terminators included
    std::uint64_t vertex_count = 0;
    std::uint64_t header_size = 0;  // file offset of the first record
    std::vector<PlyProperty> properties;
    std::uint64_t vertex_size = 0;
};

// Byte offsets of the six fields the splat tools read as little-endian f32.
struct SplatLayout {
    std::uint64_t x = 0, y = 0, z = 0;
    std::uint64_t scale_0 = 0, scale_1 = 0, scale_2 = 0;

    // The smallest record size that holds every located field.
    std::uint64_t required_record_size() const;
};

// Byte size of a property type in the shared scan: float/f32 4, double/f64 8,
// uchar/u8 1, any other name 4.
std::uint64_t property_size(std::string_view type_name);

// Scans the header from the reader's position (the start of the file); reads
// no record. A file without "end_header" is all header.
Result<PlyHeader> read_ply_header(io::BufferedReader& reader);

SplatLayout splat_layout(const std::vector<PlyProperty>& properties);

// Replaces every "element vertex OLD" with "element vertex NEW". If the vertex
// element line still does not state NEW afterwards (a count written "+10" or
// "010"), its count token is rewritten so the header agrees with its records.
std::string rewrite_vertex_count(const std::string& header_text, std::uint64_t old_count,
                                 std::uint64_t new_count);

// Parses an unsigned decimal count as the header scan does: optional "+",
// then digits only.
Result<std::uint64_t> parse_count(std::string_view token);

// The storage format a header's "format" line declares.
enum class Format { Unstated, BinaryLittleEndian, BinaryBigEndian, Ascii, Other };
Format declared_format(std::string_view header_text);
// Refuses headers that declare ascii or big-endian records, which the tools
// would otherwise decode as little-endian garbage. Unstated formats pass.
Status require_binary_little_endian(std::string_view header_text);

// The format line and the property lines under the vertex element, normalised:
// two headers with equal signatures lay out their vertex records alike.
std::string vertex_record_signature(std::string_view header_text);

// Unicode-aware trimming and splitting of header lines.
std::string_view trim(std::string_view line);
std::vector<std::string_view> split_whitespace(std::string_view line);

// Little-endian f32 at a byte offset of a record.
inline float read_f32(const char* record, std::uint64_t offset) {
    float value;
    __builtin_memcpy(&value, record + offset, sizeof value);
    return value;
}

}  // namespace larkspan::ply
