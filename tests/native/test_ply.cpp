// The shared PLY header model at the corners the tools' tests leave out.
#include <gtest/gtest.h>

#include <sys/mman.h>

#include <cstring>

#include "common/ply.hpp"

using namespace larkspan;

static Result<ply::PlyHeader> scan(const std::string& content) {
    io::File file(::memfd_create("header", 0));
    EXPECT_TRUE(file.write_all(content.data(), content.size()) && file.seek(0));
    io::BufferedReader reader(file);
    return ply::read_ply_header(reader);
}

// The error of scanning `text` or else of taking its vertex layout.
static Error refusal(const std::string& text) {
    auto header = scan(text);
    if (!header) return header.error();
    auto layout = ply::vertex_layout(*header);
    return layout ? Error{} : layout.error();
}

TEST(ReadDouble, EveryTypeConvertsExactly) {
    auto read_back = [](auto value, ply::Type type) {
        char record[8];
        std::memcpy(record, &value, sizeof value);
        EXPECT_EQ(ply::read_double(record, {0, type}), static_cast<double>(value)) << static_cast<int>(type);
    };
    read_back(std::int8_t{-7}, ply::Type::Int8), read_back(std::uint8_t{250}, ply::Type::UInt8);
    read_back(std::int16_t{-30000}, ply::Type::Int16), read_back(std::uint16_t{65000}, ply::Type::UInt16);
    read_back(std::int32_t{-2000000000}, ply::Type::Int32), read_back(std::uint32_t{4000000000u}, ply::Type::UInt32);
    read_back(1.1f, ply::Type::Float32), read_back(4321987.123456789, ply::Type::Float64);
}

TEST(Layout, RefusalsNameWhatIsWrong) {
    const std::pair<std::string, const char*> cases[] = {
        {"ply\nelement vertices 5\nproperty float x\nend_header\n", "the element \"vertices\""},
        {"ply\nelement vertex 4\nend_header\n", "no vertex property"},
    };
    for (const auto& [text, phrase] : cases) {
        const Error error = refusal(text);
        EXPECT_EQ(error.kind, ErrorKind::Value) << text;
        EXPECT_NE(error.message.find(phrase), std::string::npos) << error.message;
    }
}

TEST(HeaderScan, UnicodeWhitespaceIsTrimmed) {
    // U+00A0 (no-break space) and U+3000 around the keywords.
    auto h = scan("ply\nelement\xC2\xA0vertex 1\n\xE3\x80\x80" "end_header\xC2\xA0\nrest");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->vertex_count, 1u);
    EXPECT_TRUE(h->has_end_header);
    EXPECT_EQ(h->header_text.substr(h->header_text.size() - 3), "\xC2\xA0\n");
}

// Every line whose tokens are "element vertex" (a comment's text included)
// gets the new count as its count token; other lines keep their bytes.
TEST(RewriteCount, TheCountTokenOfEveryVertexLine) {
    const std::tuple<std::string, std::uint64_t, std::uint64_t, std::string> cases[] = {
        {"ply\ncomment element vertex 5\nelement vertex 5\n", 5, 12,
         "ply\ncomment element vertex 12\nelement vertex 12\n"},
        {"ply\r\nelement vertex 005\r\nend_header\r\n", 5, 5, "ply\r\nelement vertex 005\r\nend_header\r\n"},
        {"comment element vertex 5\nelement vertex +5\r\n", 5, 2, "comment element vertex 2\nelement vertex 2\r\n"},
        {"ply\nelement vertex\nend_header\n", 0, 4, "ply\nelement vertex 4\nend_header\n"},
        {"element\tvertex\r\nend_header\r\n", 0, 3, "element\tvertex 3\r\nend_header\r\n"},
        {"ply\nelement vertex5\nelement vertex 2\n", 2, 5, "ply\nelement vertex5\nelement vertex 5\n"},
        {"ply\nelement vertex5\nend_header\n", 0, 0, "ply\nelement vertex5\nend_header\n"},
    };
    for (const auto& [text, before, after, expected] : cases)
        EXPECT_EQ(ply::rewrite_vertex_count(text, before, after).value_or("<refused>"), expected) << text;
    EXPECT_FALSE(ply::rewrite_vertex_count("ply\nelement vertex5\nend_header\n", 0, 5));
}
