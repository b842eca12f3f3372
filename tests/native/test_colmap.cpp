#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/colmap.hpp"

namespace {

using namespace larkspan::colmap;

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "colmap_test_XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const char* name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

template <class T>
std::string le(T value) {
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

// Loading failures, corrupt counts included, are covered through
// split_cameras_json in tests/test_split_cameras.py.

TEST(Utf8ErrorText, DescribesTheFirstBadSequence) {
    EXPECT_EQ(utf8_error_text("plain"), std::nullopt);
    EXPECT_EQ(utf8_error_text("\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"), std::nullopt);
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

Point3D point(std::uint64_t id, double error = 0) {
    Point3D p;
    p.point3d_id = id;
    p.error = error;
    return p;
}

TEST(IdMap, KeepsOneRecordPerIdInAscendingOrder) {
    Point3DMap points({point(9), point(2, 1), point(2, 2), point(5)});
    ASSERT_EQ(points.size(), 3u);
    EXPECT_EQ(points.find(2)->error, 2);  // the later duplicate
    EXPECT_EQ(points.find(3), nullptr);
    points.insert_or_assign(point(3));
    points.insert_or_assign(point(12));
    points.insert_or_assign(point(5, 7));
    std::vector<std::uint64_t> ids;
    for (const Point3D& point : points) ids.push_back(point.point3d_id);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{2, 3, 5, 9, 12}));
    EXPECT_EQ(points.find(5)->error, 7);
}

TEST(ModelFiles, WriteThenReadGivesTheSameRecords) {
    TempDir dir;
    CameraMap cameras({{7, 5, 4000, 3000, {1, 2, 3, 4, 5, 6, 7, 8}}, {1, 0, 10, 20, {0.5, 1.5, 2.5}}});
    ImageMap images({{.image_id = 3, .qvec = {1, 0, 0, 0}, .tvec = {1, 2, 3}, .camera_id = 7,
                      .name = "", .points2d = {}},
                     {.image_id = 1, .qvec = {0.5, 0.5, 0.5, 0.5}, .camera_id = 99, .name = "a/ü.jpg",
                      .points2d = {{1.5, 2.5, 4}, {3.5, 4.5, kNoPoint3D}}}});
    Point3DMap points({{4, {1, 2, 3}, {255, 0, 7}, -1.0, {{1, 0}, {3, 0}}}, {2, {}, {}, 0.25, {}}});
    ASSERT_TRUE(write_cameras_bin(dir.file("c"), cameras));
    ASSERT_TRUE(write_images_bin(dir.file("i"), images));
    ASSERT_TRUE(write_points3d_bin(dir.file("p"), points));

    auto cameras_back = read_cameras_bin(dir.file("c"));
    ASSERT_TRUE(cameras_back) << cameras_back.error().message;
    ASSERT_EQ(cameras_back->size(), 2u);
    EXPECT_EQ(cameras_back->begin()->camera_id, 1u);
    EXPECT_EQ(cameras_back->find(7)->params, cameras.find(7)->params);

    auto images_back = read_images_bin(dir.file("i"));
    ASSERT_TRUE(images_back) << images_back.error().message;
    EXPECT_EQ(images_back->find(3)->name, "");
    EXPECT_TRUE(images_back->find(3)->points2d.empty());
    EXPECT_EQ(images_back->find(1)->name, "a/ü.jpg");
    EXPECT_EQ(images_back->find(1)->points2d[1].point3d_id, kNoPoint3D);
    EXPECT_EQ(images_back->find(1)->qvec, images.find(1)->qvec);

    auto points_back = read_points3d_bin(dir.file("p"));
    ASSERT_TRUE(points_back) << points_back.error().message;
    EXPECT_EQ(points_back->find(4)->track, points.find(4)->track);
    EXPECT_EQ(points_back->find(4)->rgb, points.find(4)->rgb);
    EXPECT_TRUE(points_back->find(2)->track.empty());

    // Written again, the files are the same bytes.
    ASSERT_TRUE(write_images_bin(dir.file("i2"), *images_back));
    EXPECT_EQ(read_bytes(dir.file("i2")), read_bytes(dir.file("i")));
}

TEST(ModelFiles, EmptyMapIsJustTheCount) {
    TempDir dir;
    ASSERT_TRUE(write_points3d_bin(dir.file("p"), {}));
    EXPECT_EQ(read_bytes(dir.file("p")), le<std::uint64_t>(0));
    auto back = read_points3d_bin(dir.file("p"));
    ASSERT_TRUE(back);
    EXPECT_TRUE(back->empty());
}

TEST(Point3DFiles, StreamingWriterWritesWhatTheMapWriterWrites) {
    TempDir dir;
    Point3DMap points({{4, {1, 2, 3}, {255, 0, 7}, -1.0, {{1, 0}, {3, 0}}}, {9, {}, {}, 0.25, {}}});
    ASSERT_TRUE(write_points3d_bin(dir.file("map"), points));
    auto file = larkspan::io::create_truncate(dir.file("stream"));
    ASSERT_TRUE(file);
    Point3DBinWriter out(*file, points.size(), 16);  // a buffer smaller than one record
    for (const Point3D& p : points) out.write(p.point3d_id, p.xyz, p.rgb, p.error, p.track);
    ASSERT_TRUE(out.finish());
    EXPECT_EQ(read_bytes(dir.file("stream")), read_bytes(dir.file("map")));
}

TEST(Point3DFiles, ReaderSkipsTracksAndTrustsNoCount) {
    TempDir dir;
    ASSERT_TRUE(write_points3d_bin(dir.file("p"), Point3DMap({{4, {1, 2, 3}, {}, 0, {{1, 0}, {3, 0}}}})));
    // A second point whose track length promises 2^61 elements.
    std::string bytes = read_bytes(dir.file("p"));
    bytes.replace(0, 8, le<std::uint64_t>(1u << 30));
    bytes += le<std::uint64_t>(5) + std::string(43 - 8, '\0') + le<std::uint64_t>(1ull << 61);
    std::ofstream(dir.file("q"), std::ios::binary) << bytes;

    auto reader = Point3DReader::open(dir.file("q"));
    ASSERT_TRUE(reader);
    EXPECT_EQ(reader->size_hint(), (bytes.size() - 8) / 51);  // not the 2^30 announced
    Point3D point;
    auto first = reader->next(point, false);
    ASSERT_TRUE(first && *first);
    EXPECT_EQ(point.xyz, (std::array<double, 3>{1, 2, 3}));
    EXPECT_TRUE(point.track.empty());
    auto second = reader->next(point, false);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error().message, "failed to fill whole buffer");
}

}  // namespace
