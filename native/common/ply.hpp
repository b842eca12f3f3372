#pragma once
// The PLY vertex file as every tool reads it: a text header declaring
// elements with their properties, then binary little-endian records.
//
// One header model serves every tool: read_ply_header scans the header into
// elements (each with its own properties and count), vertex_layout checks that
// the records are ones the tools can read (binary little-endian, vertex
// records only, scalar properties of known types) and places each vertex
// property in the record, and require_field finds a property a tool needs.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "io.hpp"

namespace larkspan::ply {

// Bounds on what the header scan reads before giving up: a file with no line
// feeds (or /dev/zero) must not be read into memory whole.
inline constexpr std::size_t kMaxHeaderLine = std::size_t{64} << 10;
inline constexpr std::uint64_t kMaxHeaderSize = std::uint64_t{16} << 20;

// The scalar types of the PLY format.
enum class Type : std::uint8_t { Int8, UInt8, Int16, UInt16, Int32, UInt32, Float32, Float64 };

// The type a type name denotes: char/int8, uchar/uint8/u8, short/int16,
// ushort/uint16, int/int32, uint/uint32, float/float32/f32, double/float64/f64.
std::optional<Type> type_from_name(std::string_view name);

constexpr std::uint64_t type_size(Type type) {
    switch (type) {
        case Type::Int8: case Type::UInt8: return 1;
        case Type::Int16: case Type::UInt16: return 2;
        case Type::Int32: case Type::UInt32: case Type::Float32: return 4;
        case Type::Float64: return 8;
    }
    return 0;
}

struct PlyProperty {
    std::string type_name;  // the type token as written; "list" for a list property
    std::string name;
    std::optional<Type> type;  // none for an unknown type name or a list
};

struct PlyElement {
    std::string name;
    std::uint64_t count = 0;
    std::vector<PlyProperty> properties;  // in declaration (record) order
};

// The storage format a header's "format" line declares.
enum class Format { Unstated, BinaryLittleEndian, BinaryBigEndian, Ascii, Other };

struct PlyHeader {
    std::string header_text;  // every header line read, terminators included
    std::uint64_t header_size = 0;  // file offset of the first record
    bool has_end_header = false;    // false: the file ended inside the header
    Format format = Format::Unstated;
    std::vector<PlyElement> elements;  // in declaration order
    std::uint64_t vertex_count = 0;    // count of the "vertex" element, 0 without one

    const PlyElement* vertex_element() const;
};

// What a tool changes in the scan: whether a file that ends before
// "end_header" is an error, and the error that replaces the integer parser's
// message for an element count that does not parse.
struct ScanRules {
    bool require_end_header = false;
    std::optional<Error> bad_count;
};

// Scans the header from the reader's position (the start of the file); reads
// no record. I/O failures, text that is not UTF-8 and counts that do not
// parse are Os errors; a header line over kMaxHeaderLine bytes, a header over
// kMaxHeaderSize bytes and a malformed element structure are Value errors.
Result<PlyHeader> read_ply_header(io::BufferedReader& reader, const ScanRules& rules = {});

// A vertex property placed in the record.
struct Field {
    std::uint64_t offset = 0;
    Type type = Type::Float32;
};

struct LocatedProperty {
    std::string name;
    Type type;
    std::uint64_t offset;
};

struct VertexLayout {
    std::vector<LocatedProperty> properties;  // in record order
    std::uint64_t record_size = 0;

    // The property of that name; the last declaration wins.
    const LocatedProperty* find(std::string_view name) const;
};

// Refuses a header whose format line declares ascii or big-endian records,
// which the tools would otherwise decode as little-endian garbage. Headers
// without a format line pass.
Status require_binary_little_endian(const PlyHeader& header);

// The vertex record of a header, refused (Value errors) when the tools would
// misread it: an ascii or big-endian format line, an element other than
// "vertex" with records, a vertex list property or an unknown type name.
Result<VertexLayout> vertex_layout(const PlyHeader& header);

// The field a tool needs; a Value error naming the property and the file when
// the vertex element does not declare it.
Result<Field> require_field(const VertexLayout& layout, std::string_view name,
                            std::string_view path);

// Two headers whose vertex records are laid out alike: same format, same
// property types and names in the same order.
bool same_vertex_layout(const PlyHeader& a, const PlyHeader& b);

// The header text with the vertex element's count set to `new_count`: every
// "element vertex OLD" is replaced by "element vertex NEW", and the vertex
// element line is then made to state `new_count` if it does not already (a
// count written "+10" or "010"). Only a line whose first two tokens are
// exactly "element" and "vertex" is the vertex element line. A header with no
// such line cannot state a count other than 0: that is a Value error.
Result<std::string> rewrite_vertex_count(const std::string& header_text, std::uint64_t old_count,
                                         std::uint64_t new_count);

// Parses an unsigned decimal count as the header scan does: optional "+",
// then digits only.
Result<std::uint64_t> parse_count(std::string_view token);

// The line (trimmed) declares the vertex element: first token "element",
// second token exactly "vertex".
bool is_vertex_element_line(std::string_view trimmed_line);

// Unicode-aware trimming and splitting of header lines.
std::string_view trim(std::string_view line);
std::vector<std::string_view> split_whitespace(std::string_view line);

// A field of a record as a double; every PLY type converts exactly.
inline double read_double(const char* record, Field field) {
    const char* at = record + field.offset;
    switch (field.type) {
        case Type::Int8: { std::int8_t v; std::memcpy(&v, at, 1); return v; }
        case Type::UInt8: { std::uint8_t v; std::memcpy(&v, at, 1); return v; }
        case Type::Int16: { std::int16_t v; std::memcpy(&v, at, 2); return v; }
        case Type::UInt16: { std::uint16_t v; std::memcpy(&v, at, 2); return v; }
        case Type::Int32: { std::int32_t v; std::memcpy(&v, at, 4); return v; }
        case Type::UInt32: { std::uint32_t v; std::memcpy(&v, at, 4); return v; }
        case Type::Float32: { float v; std::memcpy(&v, at, 4); return v; }
        case Type::Float64: { double v; std::memcpy(&v, at, 8); return v; }
    }
    return 0;
}

// read_double for loops over many records: with kFloat32 the field is known
// to be a 4-byte float and is loaded without the type switch.
template <bool kFloat32>
inline double read_field(const char* record, Field field) {
    if constexpr (kFloat32) {
        float v;
        std::memcpy(&v, record + field.offset, 4);
        return v;
    } else {
        return read_double(record, field);
    }
}

}  // namespace larkspan::ply
