// COLMAP file helpers at the corners the model tests leave out.
#include <gtest/gtest.h>

#include "common/colmap.hpp"
#include "scratch.hpp"

using namespace larkspan::colmap;

TEST(Utf8ErrorText, DescribesTheFirstBadSequence) {
    EXPECT_EQ(utf8_error_text("plain \xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), std::nullopt);
    const std::pair<std::string, std::string> cases[] = {
        {"ab\x80", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xC0\xAF", "invalid utf-8 sequence of 1 bytes from index 0"},       // overlong
        {"x\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 1"},  // overlong
        {"\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 0"},
        {"\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // past U+10FFFF
        {"\xF5", "invalid utf-8 sequence of 1 bytes from index 0"},
        {"ok\xE2\x82", "incomplete utf-8 byte sequence from index 2"},
        {"\xF0", "incomplete utf-8 byte sequence from index 0"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(utf8_error_text(bytes), text) << text;
}

// With a buffer smaller than one record, the streaming writer still writes
// what the writer of a whole map writes.
TEST(Point3DFiles, StreamingWriterWritesWhatTheMapWriterWrites) {
    Scratch dir;
    Point3DMap points({{4, {1, 2, 3}, {255, 0, 7}, -1.0, {{1, 0}, {3, 0}}}, {9, {}, {}, 0.25, {}}});
    ASSERT_TRUE(write_points3d_bin(dir / "map", points));
    auto file = larkspan::io::create_truncate(dir / "stream");
    ASSERT_TRUE(file);
    Point3DBinWriter out(*file, points.size(), 16);
    for (const Point3D& p : points) out.write(p.point3d_id, p.xyz, p.rgb, p.error, p.track);
    ASSERT_TRUE(out.finish());
    EXPECT_EQ(dir.read("stream"), dir.read("map"));
}
