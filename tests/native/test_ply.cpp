#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/io.hpp"
#include "common/ply.hpp"

using namespace larkspan;

namespace {

// Scans `content` written to a temporary file.
Result<ply::PlyHeader> scan(const std::string& content) {
    char path[] = "/tmp/ply_header_XXXXXX";
    int fd = ::mkstemp(path);
    io::File writer(fd);
    EXPECT_TRUE(writer.write_all(content.data(), content.size()));
    auto file = io::open_read(path);
    std::remove(path);
    io::BufferedReader reader(*file);
    return ply::read_ply_header(reader);
}

std::string header(const std::string& vertex_line, const std::string& properties,
                   const std::string& eol = "\n") {
    return "ply" + eol + "format binary_little_endian 1.0" + eol + vertex_line + eol + properties +
           "end_header" + eol;
}

}  // namespace

TEST(HeaderScan, SizesOffsetsAndCount) {
    auto h = scan(header("element vertex 100",
                         "property float x\nproperty float y\nproperty float z\nproperty uchar red\n") +
                  "BODY");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->vertex_count, 100u);
    EXPECT_EQ(h->header_size, h->header_text.size());
    EXPECT_TRUE(h->has_end_header);
    EXPECT_EQ(h->header_text.substr(h->header_text.size() - 11), "end_header\n");
    auto layout = ply::vertex_layout(*h);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->record_size, 13u);
    EXPECT_EQ(layout->find("z")->offset, 8u);
    EXPECT_EQ(layout->find("red")->type, ply::Type::UInt8);
    EXPECT_EQ(layout->find("scale_0"), nullptr);
}

TEST(HeaderScan, CarriageReturnLineFeed) {
    const std::string text = header("element vertex 2", "property float x\r\n", "\r\n");
    auto h = scan(text + "xxxxxxxx");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->vertex_count, 2u);
    EXPECT_EQ(h->header_size, text.size());
    EXPECT_EQ(h->vertex_element()->properties.size(), 1u);
}

struct CountCase {
    const char* line;
    std::uint64_t count;
    const char* error;
};

class CountParsing : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountParsing, ParsesOrNamesTheFailure) {
    const auto& c = GetParam();
    auto h = scan(header(c.line, "property float x\n"));
    if (c.error == nullptr) {
        ASSERT_TRUE(h) << h.error().message;
        EXPECT_EQ(h->vertex_count, c.count);
    } else {
        ASSERT_FALSE(h);
        EXPECT_EQ(h.error().message, c.error);
        EXPECT_EQ(h.error().kind, ErrorKind::Os);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, CountParsing,
    ::testing::Values(CountCase{"element vertex", 0, nullptr}, CountCase{"element vertex +7", 7, nullptr},
                      CountCase{"element vertex 18446744073709551615", 18446744073709551615ull, nullptr},
                      CountCase{"element vertex -7", 0, "invalid digit found in string"},
                      CountCase{"element vertex 1x", 0, "invalid digit found in string"},
                      CountCase{"element vertex +", 0, "invalid digit found in string"},
                      CountCase{"element vertex 18446744073709551616", 0,
                                "number too large to fit in target type"}));

TEST(HeaderScan, PropertiesBelongToTheirElement) {
    auto h = scan(header("element vertex 1",
                         "property double x\nproperty\nproperty char c\n"
                         "element face 0\nproperty list uchar int vertex_indices\n"));
    ASSERT_TRUE(h);
    ASSERT_EQ(h->elements.size(), 2u);
    EXPECT_EQ(h->elements[0].properties.size(), 2u);
    ASSERT_EQ(h->elements[1].properties.size(), 1u);
    EXPECT_EQ(h->elements[1].properties[0].type_name, "list");
    EXPECT_EQ(h->elements[1].properties[0].name, "vertex_indices");
    auto layout = ply::vertex_layout(*h);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->record_size, 9u);
}

TEST(TypeTable, EveryNameAndSize) {
    const std::pair<const char*, std::uint64_t> sizes[] = {
        {"char", 1},  {"int8", 1},   {"uchar", 1},  {"uint8", 1}, {"u8", 1},
        {"short", 2}, {"int16", 2},  {"ushort", 2}, {"uint16", 2}, {"int", 4},
        {"int32", 4}, {"uint", 4},   {"uint32", 4}, {"float", 4}, {"float32", 4},
        {"f32", 4},   {"double", 8}, {"float64", 8}, {"f64", 8}};
    for (const auto& [name, size] : sizes) {
        ASSERT_TRUE(ply::type_from_name(name)) << name;
        EXPECT_EQ(ply::type_size(*ply::type_from_name(name)), size) << name;
    }
    for (const char* unknown : {"list", "Float", "int64", "half", ""})
        EXPECT_FALSE(ply::type_from_name(unknown)) << unknown;
}

TEST(ReadDouble, EveryTypeConvertsExactly) {
    char record[8];
    auto check = [&](auto value, ply::Type type) {
        std::memcpy(record, &value, sizeof value);
        EXPECT_EQ(ply::read_double(record, {0, type}), static_cast<double>(value));
    };
    check(std::int8_t{-7}, ply::Type::Int8);
    check(std::uint8_t{250}, ply::Type::UInt8);
    check(std::int16_t{-30000}, ply::Type::Int16);
    check(std::uint16_t{65000}, ply::Type::UInt16);
    check(std::int32_t{-2000000000}, ply::Type::Int32);
    check(std::uint32_t{4000000000u}, ply::Type::UInt32);
    check(1.1f, ply::Type::Float32);
    check(4321987.123456789, ply::Type::Float64);
}

struct Refusal {
    const char* name;
    std::string text;
    const char* phrase;
};

class LayoutRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(LayoutRefusals, NamesWhatIsWrong) {
    auto h = scan(GetParam().text);
    Error error;
    if (!h) {
        error = h.error();
    } else {
        auto layout = ply::vertex_layout(*h);
        ASSERT_FALSE(layout);
        error = layout.error();
    }
    EXPECT_EQ(error.kind, ErrorKind::Value);
    EXPECT_NE(error.message.find(GetParam().phrase), std::string::npos) << error.message;
}

INSTANTIATE_TEST_SUITE_P(
    Headers, LayoutRefusals,
    ::testing::Values(
        Refusal{"unknown_type", header("element vertex 1", "property int64 x\n"),
                "\"x\" has the type \"int64\""},
        Refusal{"vertex_list", header("element vertex 1", "property list uchar int idx\n"),
                "\"idx\" is a list"},
        Refusal{"face_records", header("element vertex 1", "property float x\nelement face 3\n"),
                "3 records of the element \"face\""},
        Refusal{"vertices_prefix", header("element vertices 5", "property float x\n"),
                "the element \"vertices\""},
        Refusal{"two_vertex_elements", header("element vertex 1\nelement vertex 2", ""),
                "\"vertex\" twice"},
        Refusal{"orphan_property", "ply\nproperty float x\nelement vertex 0\nend_header\n",
                "before any element"},
        Refusal{"no_properties", header("element vertex 4", ""), "no vertex property"},
        Refusal{"ascii", "ply\nformat ascii 1.0\nend_header\n", "declares ascii records"},
        Refusal{"long_line", "ply\ncomment " + std::string(70000, 'a') + "\nend_header\n",
                "header line longer than 65536 bytes"},
        Refusal{"long_header", "ply\n" + [] {
                    std::string lines;
                    for (int i = 0; i < 300; ++i) lines += "comment " + std::string(60000, 'b') + "\n";
                    return lines;
                }(), "header longer than 16777216 bytes"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RequireField, NamesThePropertyAndTheFile) {
    auto h = scan(header("element vertex 1", "property float x\nproperty double y\n"));
    auto layout = ply::vertex_layout(*h);
    auto y = ply::require_field(*layout, "y", "in.ply");
    ASSERT_TRUE(y);
    EXPECT_EQ(y->offset, 4u);
    EXPECT_EQ(y->type, ply::Type::Float64);
    auto z = ply::require_field(*layout, "z", "in.ply");
    ASSERT_FALSE(z);
    EXPECT_EQ(z.error().message, "PLY file in.ply declares no vertex property \"z\"");
}

TEST(HeaderScan, NoEndHeaderIsAllHeader) {
    const std::string text = "ply\nelement vertex 4\nproperty float x";
    auto h = scan(text);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->header_size, text.size());
    EXPECT_EQ(h->vertex_count, 4u);
    EXPECT_FALSE(h->has_end_header);
}

TEST(HeaderScan, InvalidUtf8) {
    auto h = scan("ply\ncomment \xff\xfe\nend_header\n");
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error().message, "stream did not contain valid UTF-8");
}

TEST(HeaderScan, UnicodeWhitespaceIsTrimmed) {
    // U+00A0 (no-break space) and U+3000 around the end marker.
    auto h = scan("ply\nelement\xC2\xA0vertex 1\n\xE3\x80\x80" "end_header\xC2\xA0\nrest");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->header_text.substr(h->header_text.size() - 3), "\xC2\xA0\n");
}

TEST(RewriteCount, ReplacesEveryOccurrence) {
    const std::string text = "ply\ncomment element vertex 5\nelement vertex 5\nend_header\n";
    EXPECT_EQ(*ply::rewrite_vertex_count(text, 5, 12),
              "ply\ncomment element vertex 12\nelement vertex 12\nend_header\n");
}

TEST(RewriteCount, UnchangedCountKeepsHeaderBytes) {
    const std::string text = "ply\r\nelement vertex 005\r\nend_header\r\n";
    EXPECT_EQ(*ply::rewrite_vertex_count(text, 5, 5), text);
}

TEST(RewriteCount, CountTokenRewrittenWhenTextDiffers) {
    EXPECT_EQ(*ply::rewrite_vertex_count("ply\nelement vertex 005\nend_header\n", 5, 7),
              "ply\nelement vertex 7\nend_header\n");
    EXPECT_EQ(*ply::rewrite_vertex_count("ply\nelement vertex +10\r\nend_header\r\n", 10, 3),
              "ply\nelement vertex 3\r\nend_header\r\n");
    // The comment matches the old text, the real line does not: both end up right.
    EXPECT_EQ(*ply::rewrite_vertex_count("comment element vertex 5\nelement vertex +5\n", 5, 2),
              "comment element vertex 2\nelement vertex 2\n");
    EXPECT_EQ(*ply::rewrite_vertex_count("ply\nelement vertex\nend_header\n", 0, 4),
              "ply\nelement vertex 4\nend_header\n");
}

TEST(RewriteCount, OnlyTheVertexElementLineIsTheCountLine) {
    // "element vertex5" names another element: no count is inserted into it.
    EXPECT_EQ(*ply::rewrite_vertex_count("ply\nelement vertex5\nelement vertex 2\nend_header\n", 2, 5),
              "ply\nelement vertex5\nelement vertex 5\nend_header\n");
    EXPECT_FALSE(ply::rewrite_vertex_count("ply\nelement vertex5\nend_header\n", 0, 5));
    EXPECT_EQ(*ply::rewrite_vertex_count("ply\nelement vertex5\nend_header\n", 0, 0),
              "ply\nelement vertex5\nend_header\n");
    EXPECT_EQ(*ply::rewrite_vertex_count("element\tvertex\r\nend_header\r\n", 0, 3),
              "element\tvertex 3\r\nend_header\r\n");
}

TEST(Format, SameVertexLayout) {
    auto a = scan("ply\nformat binary_little_endian 1.0\ncomment a\nelement vertex 3\nproperty float x\n"
                  "element face 0\nproperty list uchar int vertex_indices\nend_header\n");
    auto b = scan("ply\nformat  binary_little_endian 1.0\r\nelement vertex 9\nproperty float32 x\nend_header\n");
    auto c = scan("ply\nformat binary_little_endian 1.0\nelement vertex 3\nproperty double x\nend_header\n");
    EXPECT_TRUE(ply::same_vertex_layout(*a, *b));
    EXPECT_FALSE(ply::same_vertex_layout(*a, *c));
}
