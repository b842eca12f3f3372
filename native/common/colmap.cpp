#include "colmap.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <type_traits>

#include "io.hpp"

namespace larkspan::colmap {

// Keypoint lists and tracks are moved between file and memory as whole
// blocks, so their in-memory layout must be the file's.
static_assert(std::endian::native == std::endian::little,
              "model files are little-endian and read straight into memory");
static_assert(std::is_trivially_copyable_v<Point2D> && sizeof(Point2D) == 24 &&
              offsetof(Point2D, y) == 8 && offsetof(Point2D, point3d_id) == 16);
static_assert(std::is_trivially_copyable_v<TrackElement> && sizeof(TrackElement) == 8 &&
              offsetof(TrackElement, point2d_idx) == 4);

Position camera_centre(const Image& image) {
    const auto [w, x, y, z] = image.qvec;
    const auto [tx, ty, tz] = image.tvec;
    const double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z), r02 = 2 * (x * z + w * y);
    const double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z), r12 = 2 * (y * z - w * x);
    const double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
    return {-(r00 * tx + r10 * ty + r20 * tz), -(r01 * tx + r11 * ty + r21 * tz),
            -(r02 * tx + r12 * ty + r22 * tz)};
}

std::optional<std::size_t> camera_model_param_count(std::uint32_t model_id) {
    constexpr std::size_t kParamCounts[] = {3, 4, 4, 5, 8, 8};
    if (model_id >= std::size(kParamCounts)) return std::nullopt;
    return kParamCounts[model_id];
}

std::optional<std::string> utf8_error_text(std::string_view bytes) {
    const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char first = s[i];
        if (first < 0x80) {
            ++i;
            continue;
        }
        const auto invalid = [&](std::size_t length) {
            return "invalid utf-8 sequence of " + std::to_string(length) + " bytes from index " +
                   std::to_string(i);
        };
        const auto incomplete = [&] {
            return "incomplete utf-8 byte sequence from index " + std::to_string(i);
        };
        const std::size_t width = first >= 0xC2 && first <= 0xDF   ? 2
                                  : first >= 0xE0 && first <= 0xEF ? 3
                                  : first >= 0xF0 && first <= 0xF4 ? 4
                                                                   : 0;
        if (width == 0) return invalid(1);
        // The second byte's range excludes overlong forms, surrogates and
        // code points past U+10FFFF; later bytes need only be continuations.
        if (i + 1 >= n) return incomplete();
        const unsigned char second = s[i + 1];
        const unsigned char low = first == 0xE0 ? 0xA0 : first == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = first == 0xED ? 0x9F : first == 0xF4 ? 0x8F : 0xBF;
        if (second < low || second > high) return invalid(1);
        for (std::size_t k = 2; k < width; ++k) {
            if (i + k >= n) return incomplete();
            if ((s[i + k] & 0xC0) != 0x80) return invalid(k);
        }
        i += width;
    }
    return std::nullopt;
}

namespace {

// The smallest record of each file: no parameters, an empty name and no
// keypoints, an empty track.
constexpr std::size_t kMinCameraSize = 24;
constexpr std::size_t kMinImageSize = 64 + 1 + 8;
constexpr std::size_t kMinPoint3DSize = 51;

// Reads one model file front to back. The first failure sticks: later reads
// do nothing, so a record reader can read field after field in file order and
// look at status() once. The bytes consumed are counted, so counts read from
// the file can be weighed against what the file still holds.
class RecordReader {
public:
    explicit RecordReader(io::File& file) : reader_(file) {
        auto size = file.size();
        file_size_ = size ? *size : 0;  // 0 for pipes and the like: nothing is pre-sized
    }

    const Status& status() const { return status_; }
    bool ok() const { return status_.has_value(); }

    void bytes(void* data, std::size_t size) {
        if (!ok()) return;
        status_ = reader_.read_exact(data, size);
        if (ok()) consumed_ += size;
    }

    template <class T>
    void value(T& out) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&out, sizeof out);
    }

    // Reads `count` elements, as one block when the file can hold them all.
    // Beyond what the rest of the file can hold (a corrupt count, or a file of
    // unknown size) the list grows a chunk at a time, to exactly the elements
    // read so far plus the chunk, until the data runs out and the read fails
    // with the short-read error.
    template <class T>
    void array(std::uint64_t count, std::vector<T>& out) {
        static_assert(std::is_trivially_copyable_v<T>);
        out.clear();
        for (std::uint64_t left = count; left > 0 && ok();) {
            const std::uint64_t affordable =
                std::max<std::uint64_t>(remaining() / sizeof(T), kChunkElements);
            const std::uint64_t take = std::min(left, affordable);
            const std::size_t start = out.size();
            out.reserve(start + static_cast<std::size_t>(take));  // exact, not doubled
            out.resize(start + static_cast<std::size_t>(take));
            bytes(out.data() + start, static_cast<std::size_t>(take) * sizeof(T));
            left -= take;
        }
    }

    // The bytes up to the next NUL, which is consumed and not stored.
    void text_until_nul(std::string& out) {
        out.clear();
        for (char c = 1; ok();) {
            value(c);
            if (!ok() || c == '\0') return;
            out.push_back(c);
        }
    }

    void fail_with(Error error) {
        if (ok()) status_ = fail(std::move(error));
    }

    // Bytes between the read position and the end of the file, as far as
    // its size is known.
    std::uint64_t remaining() const { return file_size_ > consumed_ ? file_size_ - consumed_ : 0; }

private:
    static constexpr std::uint64_t kChunkElements = 1 << 16;

    io::BufferedReader reader_;
    std::uint64_t file_size_ = 0;
    std::uint64_t consumed_ = 0;
    Status status_;
};

// Writes one model file; the first failure sticks, as for RecordReader.
class RecordWriter {
public:
    explicit RecordWriter(io::File& file) : file_(file), writer_(file) {}

    void bytes(const void* data, std::size_t size) {
        if (status_) status_ = writer_.write(data, size);
    }
    template <class T>
    void value(const T& in) {
        static_assert(std::is_trivially_copyable_v<T>);
        bytes(&in, sizeof in);
    }
    template <class T>
    void array(const std::vector<T>& in) {
        bytes(in.data(), in.size() * sizeof(T));
    }

    // Flushes and closes: a failed flush or close is a failed write.
    Status finish() {
        if (status_) status_ = writer_.flush();
        if (status_) status_ = file_.close();
        return status_;
    }

private:
    io::File& file_;
    io::BufferedWriter writer_;
    Status status_;
};

// Content that cannot be decoded is reported as the file's failure, like a
// short read.
Error bad_content(std::string text) { return Error::os(std::move(text)); }

void read_camera(RecordReader& in, Camera& camera) {
    in.value(camera.camera_id);
    in.value(camera.model_id);
    if (!in.ok()) return;
    const auto param_count = camera_model_param_count(camera.model_id);
    if (!param_count)
        return in.fail_with(bad_content("Unknown camera model: " + std::to_string(camera.model_id)));
    in.value(camera.width);
    in.value(camera.height);
    in.array(*param_count, camera.params);
}

void read_image(RecordReader& in, Image& image) {
    in.value(image.image_id);
    in.value(image.qvec);
    in.value(image.tvec);
    in.value(image.camera_id);
    in.text_until_nul(image.name);
    if (!in.ok()) return;
    if (auto problem = utf8_error_text(image.name)) return in.fail_with(bad_content(*problem));
    std::uint64_t keypoint_count = 0;
    in.value(keypoint_count);
    in.array(keypoint_count, image.points2d);
}

void read_point3d(RecordReader& in, Point3D& point) {
    in.value(point.point3d_id);
    in.value(point.xyz);
    in.value(point.rgb);
    in.value(point.error);
    std::uint64_t track_length = 0;
    in.value(track_length);
    in.array(track_length, point.track);
}

void write_camera(RecordWriter& out, const Camera& camera) {
    out.value(camera.camera_id);
    out.value(camera.model_id);
    out.value(camera.width);
    out.value(camera.height);
    out.array(camera.params);  // the count is implied by the model
}

void write_image(RecordWriter& out, const Image& image) {
    out.value(image.image_id);
    out.value(image.qvec);
    out.value(image.tvec);
    out.value(image.camera_id);
    out.bytes(image.name.data(), image.name.size());
    out.value('\0');
    out.value(static_cast<std::uint64_t>(image.points2d.size()));
    out.array(image.points2d);
}

void write_point3d(RecordWriter& out, const Point3D& point) {
    out.value(point.point3d_id);
    out.value(point.xyz);
    out.value(point.rgb);
    out.value(point.error);
    out.value(static_cast<std::uint64_t>(point.track.size()));
    out.array(point.track);
}

// A u64 count, then that many records of at least `min_record_size` bytes.
// The record list is pre-sized only for what the rest of the file can hold.
template <class Map, class ReadRecord>
Result<Map> read_model_file(const std::string& path, std::size_t min_record_size,
                            ReadRecord read_record) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    RecordReader in(*file);
    std::uint64_t count = 0;
    in.value(count);
    std::vector<typename Map::Record> records;
    records.reserve(static_cast<std::size_t>(std::min(count, in.remaining() / min_record_size)));
    for (std::uint64_t i = 0; i < count && in.ok(); ++i) {
        read_record(in, records.emplace_back());
    }
    if (!in.ok()) return fail(in.status().error());
    return Map(std::move(records));
}

template <class Map, class WriteRecord>
Status write_model_file(const std::string& path, const Map& records, WriteRecord write_record) {
    auto file = io::create_truncate(path);
    if (!file) return fail(file.error());
    RecordWriter out(*file);
    out.value(static_cast<std::uint64_t>(records.size()));
    for (const auto& record : records) write_record(out, record);
    return out.finish();
}

}  // namespace

Result<CameraMap> read_cameras_bin(const std::string& path) {
    return read_model_file<CameraMap>(path, kMinCameraSize, read_camera);
}

Result<ImageMap> read_images_bin(const std::string& path) {
    return read_model_file<ImageMap>(path, kMinImageSize, read_image);
}

Result<Point3DMap> read_points3d_bin(const std::string& path) {
    return read_model_file<Point3DMap>(path, kMinPoint3DSize, read_point3d);
}

Status write_cameras_bin(const std::string& path, const CameraMap& cameras) {
    return write_model_file(path, cameras, write_camera);
}

Status write_images_bin(const std::string& path, const ImageMap& images) {
    return write_model_file(path, images, write_image);
}

Status write_points3d_bin(const std::string& path, const Point3DMap& points) {
    return write_model_file(path, points, write_point3d);
}

}  // namespace larkspan::colmap
