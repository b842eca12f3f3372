#include <gtest/gtest.h>

#include <cstdio>
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
    EXPECT_EQ(h->vertex_size, 13u);
    EXPECT_EQ(h->header_size, h->header_text.size());
    EXPECT_EQ(h->header_text.substr(h->header_text.size() - 11), "end_header\n");
    auto layout = ply::splat_layout(h->properties);
    EXPECT_EQ(layout.x, 0u);
    EXPECT_EQ(layout.y, 4u);
    EXPECT_EQ(layout.z, 8u);
    EXPECT_EQ(layout.scale_0, 0u);  // never declared
}

TEST(HeaderScan, CarriageReturnLineFeed) {
    const std::string text = header("element vertex 2", "property float x\r\n", "\r\n");
    auto h = scan(text + "xxxxxxxx");
    ASSERT_TRUE(h);
    EXPECT_EQ(h->vertex_count, 2u);
    EXPECT_EQ(h->header_size, text.size());
    EXPECT_EQ(h->properties.size(), 1u);
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
                      CountCase{"element vertexes 5", 5, nullptr},
                      CountCase{"element vertex 18446744073709551615", 18446744073709551615ull, nullptr},
                      CountCase{"element vertex -7", 0, "invalid digit found in string"},
                      CountCase{"element vertex 1x", 0, "invalid digit found in string"},
                      CountCase{"element vertex +", 0, "invalid digit found in string"},
                      CountCase{"element vertex 18446744073709551616", 0,
                                "number too large to fit in target type"}));

TEST(HeaderScan, PropertyLinesAndTypeSizes) {
    auto h = scan(header("element vertex 1",
                         "property list uchar int vertex_indices\nproperty double x\nproperty\n"
                         "property char c\nproperty u8 d\nproperty f64 e\n"));
    ASSERT_TRUE(h);
    ASSERT_EQ(h->properties.size(), 5u);
    EXPECT_EQ(h->properties[0].type_name, "list");
    EXPECT_EQ(h->properties[0].name, "uchar");
    EXPECT_EQ(h->vertex_size, 4u + 8u + 4u + 1u + 8u);
    EXPECT_EQ(ply::splat_layout(h->properties).x, 4u);
}

TEST(HeaderScan, LaterCountAndLaterFieldWin) {
    auto h = scan(header("element vertex 3\nelement vertex 9",
                         "property float x\nproperty float x\n"));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->vertex_count, 9u);
    EXPECT_EQ(ply::splat_layout(h->properties).x, 4u);
}

TEST(HeaderScan, NoEndHeaderIsAllHeader) {
    const std::string text = "ply\nelement vertex 4\nproperty float x";
    auto h = scan(text);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->header_size, text.size());
    EXPECT_EQ(h->vertex_count, 4u);
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
    EXPECT_EQ(ply::rewrite_vertex_count(text, 5, 12),
              "ply\ncomment element vertex 12\nelement vertex 12\nend_header\n");
}

TEST(RewriteCount, UnchangedCountKeepsHeaderBytes) {
    const std::string text = "ply\r\nelement vertex 005\r\nend_header\r\n";
    EXPECT_EQ(ply::rewrite_vertex_count(text, 5, 5), text);
}

TEST(RewriteCount, CountTokenRewrittenWhenTextDiffers) {
    EXPECT_EQ(ply::rewrite_vertex_count("ply\nelement vertex 005\nend_header\n", 5, 7),
              "ply\nelement vertex 7\nend_header\n");
    EXPECT_EQ(ply::rewrite_vertex_count("ply\nelement vertex +10\r\nend_header\r\n", 10, 3),
              "ply\nelement vertex 3\r\nend_header\r\n");
    // The comment matches the old text, the real line does not: both end up right.
    EXPECT_EQ(ply::rewrite_vertex_count("comment element vertex 5\nelement vertex +5\n", 5, 2),
              "comment element vertex 2\nelement vertex 2\n");
    EXPECT_EQ(ply::rewrite_vertex_count("ply\nelement vertex\nend_header\n", 0, 4),
              "ply\nelement vertex 4\nend_header\n");
}

TEST(Format, DeclaredFormats) {
    EXPECT_EQ(ply::declared_format("ply\nformat ascii 1.0\nend_header\n"), ply::Format::Ascii);
    EXPECT_EQ(ply::declared_format("ply\nformat binary_big_endian 1.0\n"), ply::Format::BinaryBigEndian);
    EXPECT_EQ(ply::declared_format("ply\nformat binary_little_endian 1.0\n"),
              ply::Format::BinaryLittleEndian);
    EXPECT_EQ(ply::declared_format("ply\nelement vertex 1\nend_header\n"), ply::Format::Unstated);
    EXPECT_FALSE(ply::require_binary_little_endian("ply\nformat ascii 1.0\n"));
    EXPECT_TRUE(ply::require_binary_little_endian("ply\nend_header\n"));
}

TEST(Format, RecordSignatureIgnoresCountsCommentsAndOtherElements) {
    const std::string a =
        "ply\nformat binary_little_endian 1.0\ncomment a\nelement vertex 3\nproperty float x\n"
        "element face 2\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string b =
        "ply\nformat  binary_little_endian 1.0\r\nelement vertex 9\nproperty float x\nend_header\n";
    EXPECT_EQ(ply::vertex_record_signature(a), ply::vertex_record_signature(b));
    EXPECT_NE(ply::vertex_record_signature(a),
              ply::vertex_record_signature("ply\nformat binary_little_endian 1.0\nelement vertex 3\n"
                                           "property double x\nend_header\n"));
}
