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

std::uint64_t property_size(std::string_view type_name) {
    if (type_name == "float" || type_name == "f32") return 4;
    if (type_name == "double" || type_name == "f64") return 8;
    if (type_name == "uchar" || type_name == "u8") return 1;
    return 4;
}

std::uint64_t SplatLayout::required_record_size() const {
    return std::max({x, y, z, scale_0, scale_1, scale_2}) + 4;
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

Result<PlyHeader> read_ply_header(io::BufferedReader& reader) {
    PlyHeader header;
    std::string line;
    for (;;) {
        line.clear();
        auto read = reader.read_line(line);
        if (!read) return fail(read.error());
        if (*read == 0) break;
        if (!io::is_valid_utf8(line)) return fail(io::invalid_utf8_error());
        header.header_text += line;
        header.header_size += line.size();

        const std::string_view trimmed = trim(line);
        if (trimmed == "end_header") break;
        if (starts_with(trimmed, "element vertex")) {
            auto tokens = split_whitespace(trimmed);
            std::uint64_t count = 0;
            if (tokens.size() >= 3) {
                auto parsed = parse_count(tokens[2]);
                if (!parsed) return fail(parsed.error());
                count = *parsed;
            }
            header.vertex_count = count;
        } else if (starts_with(trimmed, "property")) {
            auto tokens = split_whitespace(trimmed);
            if (tokens.size() >= 3)
                header.properties.push_back({std::string(tokens[1]), std::string(tokens[2])});
        }
    }
    for (const auto& property : header.properties) header.vertex_size += property_size(property.type_name);
    return header;
}

SplatLayout splat_layout(const std::vector<PlyProperty>& properties) {
    SplatLayout layout;
    std::uint64_t offset = 0;
    for (const auto& property : properties) {
        const std::string& name = property.name;
        if (name == "x") layout.x = offset;
        else if (name == "y") layout.y = offset;
        else if (name == "z") layout.z = offset;
        else if (name == "scale_0") layout.scale_0 = offset;
        else if (name == "scale_1") layout.scale_1 = offset;
        else if (name == "scale_2") layout.scale_2 = offset;
        offset += property_size(property.type_name);
    }
    return layout;
}

namespace {

struct LineSpan {
    std::size_t begin, end;  // the line's bytes without its terminator
};

std::vector<LineSpan> header_lines(std::string_view text) {
    std::vector<LineSpan> lines;
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t newline = text.find('\n', begin);
        std::size_t end = newline == std::string_view::npos ? text.size() : newline;
        lines.push_back({begin, end});
        begin = end + 1;
    }
    return lines;
}

// Rewrites the count token of the last vertex element line to `count`, if that
// line does not already state it.
void force_vertex_count(std::string& text, std::uint64_t count) {
    const std::string wanted = std::to_string(count);
    auto lines = header_lines(text);
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
        std::string_view line(text.data() + it->begin, it->end - it->begin);
        const std::string_view trimmed = trim(line);
        if (trimmed == "end_header") continue;
        if (!starts_with(trimmed, "element vertex")) continue;
        auto tokens = split_whitespace(trimmed);
        if (tokens.size() >= 3) {
            auto parsed = parse_count(tokens[2]);
            if (parsed && *parsed == count) return;
            const std::size_t at = static_cast<std::size_t>(tokens[2].data() - text.data());
            text.replace(at, tokens[2].size(), wanted);
        } else {
            // "element vertex" without a count: the count goes after the prefix.
            const std::size_t at = static_cast<std::size_t>(trimmed.data() - text.data()) +
                                   std::string_view("element vertex").size();
            text.insert(at, " " + wanted);
        }
        return;
    }
}

}  // namespace

std::string rewrite_vertex_count(const std::string& header_text, std::uint64_t old_count,
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
    force_vertex_count(result, new_count);
    return result;
}

Format declared_format(std::string_view header_text) {
    for (auto span : header_lines(header_text)) {
        auto tokens = split_whitespace(header_text.substr(span.begin, span.end - span.begin));
        if (tokens.empty()) continue;
        if (tokens[0] == "end_header") break;
        if (tokens[0] != "format") continue;
        if (tokens.size() < 2) return Format::Other;
        if (tokens[1] == "binary_little_endian") return Format::BinaryLittleEndian;
        if (tokens[1] == "binary_big_endian") return Format::BinaryBigEndian;
        if (tokens[1] == "ascii") return Format::Ascii;
        return Format::Other;
    }
    return Format::Unstated;
}

Status require_binary_little_endian(std::string_view header_text) {
    switch (declared_format(header_text)) {
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

std::string vertex_record_signature(std::string_view header_text) {
    std::string signature;
    bool in_vertex_element = false;
    for (auto span : header_lines(header_text)) {
        const std::string_view trimmed = trim(header_text.substr(span.begin, span.end - span.begin));
        if (trimmed == "end_header") break;
        auto tokens = split_whitespace(trimmed);
        if (tokens.empty()) continue;
        const bool records_line =
            tokens[0] == "format" || (in_vertex_element && tokens[0] == "property");
        if (starts_with(trimmed, "element vertex")) in_vertex_element = true;
        else if (tokens[0] == "element") in_vertex_element = false;
        if (!records_line) continue;
        for (auto token : tokens) {
            signature += token;
            signature += ' ';
        }
        signature += '\n';
    }
    return signature;
}

}  // namespace larkspan::ply
