#include "ply.hpp"

#include <algorithm>
#include <limits>

namespace larkspan::ply {

namespace {

// Decodes the code point starting at text[i] (text is valid UTF-8) and its
// byte length.
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& length) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) { length = 1; return c; }
    std::size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    if (i + n > text.size()) { length = 1; return 0xFFFD; }
    char32_t cp = c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    length = n;
    return cp;
}

bool is_white_space(char32_t cp) {
    switch (cp) {
        case 0x09: case 0x0A: case 0x0B: case 0x0C: case 0x0D: case 0x20:
        case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
        case 0x202F: case 0x205F: case 0x3000:
            return true;
        default:
            return cp >= 0x2000 && cp <= 0x200A;
    }
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::string_view trim(std::string_view line) {
    std::size_t begin = 0;
    while (begin < line.size()) {
        std::size_t len;
        if (!is_white_space(decode_at(line, begin, len))) break;
        begin += len;
    }
    std::size_t end = begin;
    for (std::size_t i = begin; i < line.size();) {
        std::size_t len;
        bool space = is_white_space(decode_at(line, i, len));
        i += len;
        if (!space) end = i;
    }
    return line.substr(begin, end - begin);
}

std::vector<std::string_view> split_whitespace(std::string_view line) {
    std::vector<std::string_view> tokens;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i < line.size();) {
        std::size_t len;
        bool space = is_white_space(decode_at(line, i, len));
        if (space && start != std::string_view::npos) {
            tokens.push_back(line.substr(start, i - start));
            start = std::string_view::npos;
        } else if (!space && start == std::string_view::npos) {
            start = i;
        }
        i += len;
    }
    if (start != std::string_view::npos) tokens.push_back(line.substr(start));
    return tokens;
}

Result<std::uint64_t> parse_count(std::string_view token) {
    if (token.empty()) return fail(Error::os("cannot parse integer from empty string"));
    if (token.front() == '+') token.remove_prefix(1);
    if (token.empty()) return fail(Error::os("invalid digit found in string"));
    std::uint64_t value = 0;
    // Digit by digit, left to right: a bad digit or an overflow is reported
    // where it first happens.
    for (char c : token) {
        if (c < '0' || c > '9') return fail(Error::os("invalid digit found in string"));
        if (__builtin_mul_overflow(value, 10u, &value) ||
            __builtin_add_overflow(value, static_cast<unsigned>(c - '0'), &value))
            return fail(Error::os("number too large to fit in target type"));
    }
    return value;
}


bool is_vertex_element_line(std::string_view trimmed_line) {
    if (!starts_with(trimmed_line, "element")) return false;
    const auto tokens = split_whitespace(trimmed_line);
    return tokens.size() >= 2 && tokens[0] == "element" && tokens[1] == "vertex";
}

std::optional<Type> type_from_name(std::string_view name) {
    struct Entry {
        std::string_view name;
        Type type;
    };
    static constexpr Entry kTypes[] = {
        {"char", Type::Int8},     {"int8", Type::Int8},       {"uchar", Type::UInt8},
        {"uint8", Type::UInt8},   {"u8", Type::UInt8},        {"short", Type::Int16},
        {"int16", Type::Int16},   {"ushort", Type::UInt16},   {"uint16", Type::UInt16},
        {"int", Type::Int32},     {"int32", Type::Int32},     {"uint", Type::UInt32},
        {"uint32", Type::UInt32}, {"float", Type::Float32},   {"float32", Type::Float32},
        {"f32", Type::Float32},   {"double", Type::Float64},  {"float64", Type::Float64},
        {"f64", Type::Float64},
    };
    for (const auto& entry : kTypes)
        if (entry.name == name) return entry.type;
    return std::nullopt;
}

const PlyElement* PlyHeader::vertex_element() const {
    for (const auto& element : elements)
        if (element.name == "vertex") return &element;
    return nullptr;
}

namespace {

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out += '"';
    out += text;
    out += '"';
    return out;
}

Format format_of(const std::vector<std::string_view>& tokens) {
    if (tokens.size() < 2) return Format::Other;
    if (tokens[1] == "binary_little_endian") return Format::BinaryLittleEndian;
    if (tokens[1] == "binary_big_endian") return Format::BinaryBigEndian;
    if (tokens[1] == "ascii") return Format::Ascii;
    return Format::Other;
}

// One header line, terminator included, of at most kMaxHeaderLine bytes.
Result<std::size_t> read_header_line(io::BufferedReader& reader, std::string& line) {
    line.clear();
    auto read = reader.read_line(line, kMaxHeaderLine + 1);
    if (!read) return fail(read.error());
    if (line.size() > kMaxHeaderLine)
        return fail(Error::value("PLY header line longer than " + std::to_string(kMaxHeaderLine) +
                                 " bytes; the input is not a PLY file"));
    if (!io::is_valid_utf8(line)) return fail(io::invalid_utf8_error());
    return *read;
}

// Adds the element or property a tokenised line declares to the header.
Status add_declaration(PlyHeader& header, const std::vector<std::string_view>& tokens,
                       const ScanRules& rules) {
    if (tokens[0] == "element") {
        if (tokens.size() < 2) return fail(Error::value("PLY header has an element line without a name"));
        std::uint64_t count = 0;
        if (tokens.size() >= 3) {
            auto parsed = parse_count(tokens[2]);
            if (!parsed) return fail(rules.bad_count ? *rules.bad_count : parsed.error());
            count = *parsed;
        }
        if (tokens[1] == "vertex" && header.vertex_element() != nullptr)
            return fail(Error::value("PLY header declares the element \"vertex\" twice"));
        header.elements.push_back({std::string(tokens[1]), count, {}});
    } else if (tokens[0] == "property" && tokens.size() >= 3) {
        if (header.elements.empty())
            return fail(Error::value("PLY header declares the property " + quoted(tokens.back()) +
                                     " before any element"));
        PlyProperty property;
        property.type_name = std::string(tokens[1]);
        if (tokens[1] == "list") {
            property.name = std::string(tokens.back());
        } else {
            property.name = std::string(tokens[2]);
            property.type = type_from_name(tokens[1]);
        }
        header.elements.back().properties.push_back(std::move(property));
    } else if (tokens[0] == "format" && header.format == Format::Unstated) {
        header.format = format_of(tokens);
    }
    return {};
}

}  // namespace

Result<PlyHeader> read_ply_header(io::BufferedReader& reader, const ScanRules& rules) {
    PlyHeader header;
    std::string line;
    for (;;) {
        auto read = read_header_line(reader, line);
        if (!read) return fail(read.error());
        if (*read == 0) {
            if (rules.require_end_header)
                return fail(Error::os("the file ends before the end_header line"));
            break;
        }
        header.header_text += line;
        header.header_size += line.size();
        if (header.header_size > kMaxHeaderSize)
            return fail(Error::value("PLY header longer than " + std::to_string(kMaxHeaderSize) +
                                     " bytes; the input is not a PLY file"));

        const std::string_view trimmed = trim(line);
        if (trimmed == "end_header") {
            header.has_end_header = true;
            break;
        }
        const auto tokens = split_whitespace(trimmed);
        if (tokens.empty()) continue;
        if (auto added = add_declaration(header, tokens, rules); !added) return fail(added.error());
    }
    if (const PlyElement* vertex = header.vertex_element()) header.vertex_count = vertex->count;
    return header;
}

const LocatedProperty* VertexLayout::find(std::string_view name) const {
    for (auto it = properties.rbegin(); it != properties.rend(); ++it)
        if (it->name == name) return &*it;
    return nullptr;
}

Status require_binary_little_endian(const PlyHeader& header) {
    switch (header.format) {
        case Format::Ascii:
            return fail(Error::value(
                "unsupported PLY format: the header declares ascii records; only "
                "binary_little_endian PLY files can be read"));
        case Format::BinaryBigEndian:
            return fail(Error::value(
                "unsupported PLY format: the header declares binary_big_endian records; "
                "only binary_little_endian PLY files can be read"));
        default:
            return {};
    }
}

Result<VertexLayout> vertex_layout(const PlyHeader& header) {
    if (auto format = require_binary_little_endian(header); !format) return fail(format.error());
    for (const auto& element : header.elements) {
        if (element.name != "vertex" && element.count > 0)
            return fail(Error::value("PLY header declares " + std::to_string(element.count) +
                                     " records of the element " + quoted(element.name) +
                                     "; only vertex records can be read"));
    }
    VertexLayout layout;
    const PlyElement* vertex = header.vertex_element();
    if (vertex == nullptr) return layout;
    for (const auto& property : vertex->properties) {
        if (property.type_name == "list")
            return fail(Error::value("PLY vertex property " + quoted(property.name) +
                                     " is a list; vertex records can hold scalar properties only"));
        if (!property.type)
            return fail(Error::value("PLY vertex property " + quoted(property.name) + " has the type " +
                                     quoted(property.type_name) + ", which is not a PLY type"));
        layout.properties.push_back({property.name, *property.type, layout.record_size});
        layout.record_size += type_size(*property.type);
    }
    if (layout.record_size == 0 && vertex->count > 0)
        return fail(Error::value("PLY header declares " + std::to_string(vertex->count) +
                                 " vertex records but no vertex property"));
    return layout;
}

Result<Field> require_field(const VertexLayout& layout, std::string_view name, std::string_view path) {
    const LocatedProperty* property = layout.find(name);
    if (property == nullptr)
        return fail(Error::value("PLY file " + std::string(path) + " declares no vertex property " +
                                 quoted(name)));
    return Field{property->offset, property->type};
}

bool same_vertex_layout(const PlyHeader& a, const PlyHeader& b) {
    if (a.format != b.format) return false;
    const PlyElement* va = a.vertex_element();
    const PlyElement* vb = b.vertex_element();
    if (va == nullptr || vb == nullptr) return va == vb;
    return std::equal(va->properties.begin(), va->properties.end(), vb->properties.begin(),
                      vb->properties.end(), [](const PlyProperty& p, const PlyProperty& q) {
                          const bool same_type = p.type && q.type ? *p.type == *q.type
                                                                  : p.type_name == q.type_name;
                          return same_type && p.name == q.name;
                      });
}

namespace {

// Makes the vertex element line state `count`; false when there is none.
bool force_vertex_count(std::string& text, std::uint64_t count) {
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t end = text.find('\n', begin);
        if (end == std::string::npos) end = text.size();
        const std::string_view trimmed = trim(std::string_view(text).substr(begin, end - begin));
        if (trimmed == "end_header") return false;
        if (is_vertex_element_line(trimmed)) {
            const auto tokens = split_whitespace(trimmed);
            const std::string wanted = std::to_string(count);
            if (tokens.size() >= 3) {
                auto parsed = parse_count(tokens[2]);
                if (parsed && *parsed == count) return true;
                text.replace(static_cast<std::size_t>(tokens[2].data() - text.data()), tokens[2].size(),
                             wanted);
            } else {
                // "element vertex" without a count: the count goes after "vertex".
                text.insert(static_cast<std::size_t>(tokens[1].data() - text.data()) + tokens[1].size(),
                            " " + wanted);
            }
            return true;
        }
        begin = end + 1;
    }
    return false;
}

}  // namespace

Result<std::string> rewrite_vertex_count(const std::string& header_text, std::uint64_t old_count,
                                         std::uint64_t new_count) {
    const std::string old_text = "element vertex " + std::to_string(old_count);
    const std::string new_text = "element vertex " + std::to_string(new_count);
    std::string result;
    result.reserve(header_text.size() + 8);
    std::size_t pos = 0;
    for (;;) {
        std::size_t found = header_text.find(old_text, pos);
        if (found == std::string::npos) break;
        result.append(header_text, pos, found - pos);
        result += new_text;
        pos = found + old_text.size();
    }
    result.append(header_text, pos, std::string::npos);
    if (!force_vertex_count(result, new_count) && new_count != 0)
        return fail(Error::value("PLY header declares no vertex element to hold " +
                                 std::to_string(new_count) + " records"));
    return result;
}

}  // namespace larkspan::ply
