#include "colmap.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "colmap_text.hpp"
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
static_assert(std::is_trivially_copyable_v<DataId> && sizeof(DataId) == 16 &&
              offsetof(DataId, sensor) + offsetof(SensorId, id) == 4 && offsetof(DataId, id) == 8);

namespace {

struct CameraModel {
    std::string_view name;
    std::size_t param_count;
};

// Every model COLMAP defines, indexed by model id.
constexpr CameraModel kCameraModels[] = {
    {"SIMPLE_PINHOLE", 3},
    {"PINHOLE", 4},
    {"SIMPLE_RADIAL", 4},
    {"RADIAL", 5},
    {"OPENCV", 8},
    {"OPENCV_FISHEYE", 8},
    {"FULL_OPENCV", 12},
    {"FOV", 5},
    {"SIMPLE_RADIAL_FISHEYE", 4},
    {"RADIAL_FISHEYE", 5},
    {"THIN_PRISM_FISHEYE", 12},
    {"RAD_TAN_THIN_PRISM_FISHEYE", 16},
    {"SIMPLE_DIVISION", 4},
    {"DIVISION", 5},
    {"SIMPLE_FISHEYE", 3},
    {"FISHEYE", 4},
    {"EUCM", 6},
    {"EQUIRECTANGULAR", 2},
};

}  // namespace

std::optional<std::size_t> camera_model_param_count(std::uint32_t model_id) {
    if (model_id >= std::size(kCameraModels)) return std::nullopt;
    return kCameraModels[model_id].param_count;
}

std::string_view camera_model_name(std::uint32_t model_id) {
    if (model_id >= std::size(kCameraModels)) return {};
    return kCameraModels[model_id].name;
}

std::optional<std::uint32_t> camera_model_id(std::string_view name) {
    for (std::uint32_t id = 0; id < std::size(kCameraModels); ++id)
        if (kCameraModels[id].name == name) return id;
    return std::nullopt;
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
// keypoints, an empty track, a rig without sensors, a frame without data.
constexpr std::size_t kMinCameraSize = 24;
constexpr std::size_t kMinImageSize = 64 + 1 + 8;
constexpr std::size_t kMinPoint3DSize = 51;
constexpr std::size_t kMinRigSize = 8;
constexpr std::size_t kMinRigSensorSize = 9;
constexpr std::size_t kMinFrameSize = 4 + 4 + 56 + 4;

// Model files are read in pieces of this size: a points file of millions of
// points takes few system calls.
constexpr std::size_t kReadBufferBytes = std::size_t{256} << 10;

// Reads one model file front to back. The first failure sticks: later reads
// do nothing, so a record reader can read field after field in file order and
// look at status() once. The bytes consumed are counted, so counts read from
// the file can be weighed against what the file still holds.
class RecordReader {
public:
    explicit RecordReader(io::File& file) : reader_(file, kReadBufferBytes) {
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

    // Passes over `count` elements of `element_size` bytes by reading past
    // them: a corrupt count costs reads until the file ends, never an
    // allocation of its size.
    void skip(std::uint64_t count, std::size_t element_size) {
        unsigned long long size = 0;
        // No file holds a list whose byte size does not fit in 64 bits.
        if (multiply_overflows(count, element_size, size)) return fail_with(io::short_read_error());
        if (!ok()) return;
        status_ = reader_.skip(size);
        if (ok()) consumed_ += size;
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

    // How many records of at least `min_record_size` bytes may be pre-sized
    // for when the file announces `count`.
    std::uint64_t affordable(std::uint64_t count, std::size_t min_record_size) const {
        return std::min<std::uint64_t>(count, remaining() / min_record_size);
    }

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
    explicit RecordWriter(io::Output& output) : output_(output), writer_(output.file()) {}

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

    // Flushes, closes and renames the file into place: a failed flush or
    // close is a failed write.
    Status finish() {
        if (status_) status_ = writer_.flush();
        if (status_) status_ = output_.commit();
        return status_;
    }

private:
    io::Output& output_;
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

// The fixed head of a point record, read in one piece:
//   offset  0  u64      point3d_id
//   offset  8  f64[3]   xyz
//   offset 32  u8[3]    rgb
//   offset 35  f64      error
//   offset 43  u64      track length T
// followed by T track elements.
constexpr std::size_t kPointHeadSize = 51;

template <class T>
T field_at(const char* bytes, std::size_t offset) {
    T value;
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

void read_point3d(RecordReader& in, Point3D& point, bool with_track) {
    char head[kPointHeadSize];
    in.bytes(head, sizeof head);
    if (!in.ok()) return;
    point.point3d_id = field_at<std::uint64_t>(head, 0);
    point.xyz = field_at<std::array<double, 3>>(head, 8);
    point.rgb = field_at<std::array<std::uint8_t, 3>>(head, 32);
    point.error = field_at<double>(head, 35);
    const auto track_length = field_at<std::uint64_t>(head, 43);
    if (with_track) {
        in.array(track_length, point.track);
    } else {
        point.track.clear();
        in.skip(track_length, sizeof(TrackElement));
    }
}

void read_sensor(RecordReader& in, SensorId& sensor) {
    in.value(sensor.type);
    in.value(sensor.id);
}

void read_rig(RecordReader& in, Rig& rig) {
    in.value(rig.rig_id);
    std::uint32_t sensor_count = 0;
    in.value(sensor_count);
    if (!in.ok() || sensor_count == 0) return;
    read_sensor(in, rig.ref_sensor.emplace());
    rig.sensors.reserve(static_cast<std::size_t>(in.affordable(sensor_count - 1, kMinRigSensorSize)));
    for (std::uint32_t i = 1; i < sensor_count && in.ok(); ++i) {
        RigSensor& sensor = rig.sensors.emplace_back();
        read_sensor(in, sensor.sensor);
        std::uint8_t has_pose = 0;
        in.value(has_pose);
        if (has_pose != 0) in.value(sensor.sensor_from_rig.emplace());
    }
}

void read_frame(RecordReader& in, Frame& frame) {
    in.value(frame.frame_id);
    in.value(frame.rig_id);
    in.value(frame.rig_from_world);
    std::uint32_t data_count = 0;
    in.value(data_count);
    in.array(data_count, frame.data_ids);
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

// A rig without a reference sensor is written without sensors, as the file
// can only say "no sensors" or "a reference sensor and N - 1 others".
void write_rig(RecordWriter& out, const Rig& rig) {
    out.value(rig.rig_id);
    if (!rig.ref_sensor) return out.value(std::uint32_t{0});
    out.value(static_cast<std::uint32_t>(rig.sensors.size() + 1));
    out.value(rig.ref_sensor->type);
    out.value(rig.ref_sensor->id);
    for (const RigSensor& sensor : rig.sensors) {
        out.value(sensor.sensor.type);
        out.value(sensor.sensor.id);
        out.value(static_cast<std::uint8_t>(sensor.sensor_from_rig ? 1 : 0));
        if (sensor.sensor_from_rig) out.value(*sensor.sensor_from_rig);
    }
}

void write_frame(RecordWriter& out, const Frame& frame) {
    out.value(frame.frame_id);
    out.value(frame.rig_id);
    out.value(frame.rig_from_world);
    out.value(static_cast<std::uint32_t>(frame.data_ids.size()));
    out.array(frame.data_ids);
}

// A u64 count, then that many records of at least `min_record_size` bytes.
// The record list is pre-sized only for what the rest of the file can hold.
template <class Map, class ReadRecord>
Result<Map> read_binary_file(const std::string& path, std::size_t min_record_size,
                             ReadRecord read_record) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    RecordReader in(*file);
    std::uint64_t count = 0;
    in.value(count);
    std::vector<typename Map::Record> records;
    records.reserve(static_cast<std::size_t>(in.affordable(count, min_record_size)));
    for (std::uint64_t i = 0; i < count && in.ok(); ++i) {
        read_record(in, records.emplace_back());
    }
    if (!in.ok()) return fail(in.status().error());
    return Map(std::move(records));
}

template <class Map, class WriteRecord>
Status write_binary_file(const std::string& path, const Map& records, WriteRecord write_record) {
    auto output = io::Output::create(path);
    if (!output) return fail(output.error());
    RecordWriter out(*output);
    out.value(static_cast<std::uint64_t>(records.size()));
    for (const auto& record : records) write_record(out, record);
    return out.finish();
}

bool ends_with(std::string_view text, std::string_view end) {
    return text.size() >= end.size() && text.substr(text.size() - end.size()) == end;
}

}  // namespace

// ---- points, one at a time ----

class Point3DReader::Impl {
public:
    Impl(io::File file, Form form, std::string path)
        : file_(std::move(file)), form_(form), path_(std::move(path)) {}

    // After the file is in place: the binary count, or the text line reader.
    Status start() {
        if (form_ == Form::Text) {
            lines_.emplace(file_, path_);
            return {};
        }
        binary_.emplace(file_);
        binary_->value(left_);
        if (!binary_->ok()) return fail(binary_->status().error());
        size_hint_ = binary_->affordable(left_, kMinPoint3DSize);
        return {};
    }

    std::uint64_t size_hint() const { return size_hint_; }

    Result<bool> next(Point3D& point, bool with_track) {
        if (form_ == Form::Text) {
            auto more = lines_->next_record_line();
            if (!more || !*more) return more;
            if (auto problem = text_form::parse_point3d(lines_->line(), point, with_track))
                return fail(lines_->error(*problem));
            return true;
        }
        if (left_ == 0) return false;
        read_point3d(*binary_, point, with_track);
        if (!binary_->ok()) return fail(binary_->status().error());
        --left_;
        return true;
    }

    Status close() { return file_.close(); }

private:
    io::File file_;
    Form form_;
    std::string path_;
    std::optional<RecordReader> binary_;
    std::optional<text_form::LineReader> lines_;
    std::uint64_t left_ = 0;
    std::uint64_t size_hint_ = 0;
};

Point3DReader::Point3DReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Point3DReader::Point3DReader(Point3DReader&&) noexcept = default;
Point3DReader& Point3DReader::operator=(Point3DReader&&) noexcept = default;
Point3DReader::~Point3DReader() = default;

Result<Point3DReader> Point3DReader::open(const std::string& path) {
    return open(path, ends_with(path, ".txt") ? Form::Text : Form::Binary);
}

Result<Point3DReader> Point3DReader::open(const std::string& path, Form form) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    auto impl = std::make_unique<Impl>(std::move(*file), form, path);
    if (auto started = impl->start(); !started) return fail(started.error());
    return Point3DReader(std::move(impl));
}

std::uint64_t Point3DReader::size_hint() const { return impl_->size_hint(); }

Result<bool> Point3DReader::next(Point3D& point, bool with_track) {
    return impl_->next(point, with_track);
}

Status Point3DReader::close() { return impl_->close(); }

Point3DBinWriter::Point3DBinWriter(io::File& file, std::uint64_t count, std::size_t buffer_bytes)
    : file_(file), buffer_(std::max(buffer_bytes, kPoint3DHeadSize)), announced_(count) {
    std::memcpy(buffer_.data(), &count, sizeof count);  // the record count leads the file
    used_ = sizeof count;
}

bool Point3DBinWriter::make_room(std::size_t size) {
    if (!status_) return false;
    status_ = file_.write_all(buffer_.data(), used_);
    used_ = 0;
    if (size > buffer_.size()) buffer_.resize(size);  // a track longer than the buffer
    return status_.has_value();
}

Status Point3DBinWriter::finish() {
    if (status_ && written_ != announced_)
        panic("a points file received another number of records than it announced");
    if (status_) status_ = file_.write_all(buffer_.data(), used_);
    used_ = 0;
    if (status_) status_ = file_.close();
    return status_;
}

// ---- files ----

std::string model_file_name(ModelFile file, Form form) {
    constexpr std::string_view kStems[] = {"cameras", "images", "points3D", "rigs", "frames"};
    return std::string(kStems[static_cast<int>(file)]) + (form == Form::Binary ? ".bin" : ".txt");
}

std::string join_path(const std::string& directory, std::string_view name) {
    if (directory.empty()) return std::string(name);
    if (directory.back() == '/') return directory + std::string(name);
    return directory + "/" + std::string(name);
}

Result<CameraMap> read_cameras(const std::string& path, Form form) {
    if (form == Form::Text) return text_form::read_cameras(path);
    return read_binary_file<CameraMap>(path, kMinCameraSize, read_camera);
}

Result<ImageMap> read_images(const std::string& path, Form form) {
    if (form == Form::Text) return text_form::read_images(path);
    return read_binary_file<ImageMap>(path, kMinImageSize, read_image);
}

Result<Point3DMap> read_points3d(const std::string& path, Form form) {
    auto reader = Point3DReader::open(path, form);
    if (!reader) return fail(reader.error());
    std::vector<Point3D> points;
    // One slot more than the records: the end of the file is found in it.
    points.reserve(static_cast<std::size_t>(reader->size_hint()) + 1);
    for (;;) {
        auto more = reader->next(points.emplace_back(), true);  // read in place
        if (!more) return fail(more.error());
        if (!*more) break;
    }
    points.pop_back();  // the slot the end of the file left empty
    return Point3DMap(std::move(points));
}

Result<RigMap> read_rigs(const std::string& path, Form form) {
    if (form == Form::Text) return text_form::read_rigs(path);
    return read_binary_file<RigMap>(path, kMinRigSize, read_rig);
}

Result<FrameMap> read_frames(const std::string& path, Form form) {
    if (form == Form::Text) return text_form::read_frames(path);
    return read_binary_file<FrameMap>(path, kMinFrameSize, read_frame);
}

Status write_cameras(const std::string& path, const CameraMap& cameras, Form form) {
    if (form == Form::Text) return text_form::write_cameras(path, cameras);
    return write_binary_file(path, cameras, write_camera);
}

Status write_images(const std::string& path, const ImageMap& images, Form form) {
    if (form == Form::Text) return text_form::write_images(path, images);
    return write_binary_file(path, images, write_image);
}

Status write_points3d(const std::string& path, const Point3DMap& points, Form form) {
    if (form == Form::Text) return text_form::write_points3d(path, points);
    return write_binary_file(path, points, write_point3d);
}

Status write_rigs(const std::string& path, const RigMap& rigs, Form form) {
    if (form == Form::Text) return text_form::write_rigs(path, rigs);
    return write_binary_file(path, rigs, write_rig);
}

Status write_frames(const std::string& path, const FrameMap& frames, Form form) {
    if (form == Form::Text) return text_form::write_frames(path, frames);
    return write_binary_file(path, frames, write_frame);
}

// ---- model folders ----

namespace {

bool is_file(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool has_model_files(const std::string& directory, Form form) {
    for (ModelFile file : {ModelFile::Cameras, ModelFile::Images, ModelFile::Points3D})
        if (!is_file(join_path(directory, model_file_name(file, form)))) return false;
    return true;
}

}  // namespace

Form model_form(const std::string& directory) {
    if (has_model_files(directory, Form::Binary)) return Form::Binary;
    if (has_model_files(directory, Form::Text)) return Form::Text;
    return Form::Binary;
}

Result<Model> read_model(const std::string& directory) {
    Model model;
    model.form = model_form(directory);
    const auto path = [&](ModelFile file) {
        return join_path(directory, model_file_name(file, model.form));
    };
    auto cameras = read_cameras(path(ModelFile::Cameras), model.form);
    if (!cameras) return fail(cameras.error());
    model.cameras = std::move(*cameras);
    auto images = read_images(path(ModelFile::Images), model.form);
    if (!images) return fail(images.error());
    model.images = std::move(*images);
    auto points = read_points3d(path(ModelFile::Points3D), model.form);
    if (!points) return fail(points.error());
    model.points3d = std::move(*points);

    const bool has_rigs_file = is_file(path(ModelFile::Rigs));
    const bool has_frames_file = is_file(path(ModelFile::Frames));
    if (!has_rigs_file && !has_frames_file) return model;
    if (has_rigs_file != has_frames_file) {
        const auto [present, missing] = has_rigs_file ? std::pair{ModelFile::Rigs, ModelFile::Frames}
                                                      : std::pair{ModelFile::Frames, ModelFile::Rigs};
        return fail(bad_content("the model holds " + model_file_name(present, model.form) +
                                " but no " + model_file_name(missing, model.form) +
                                ": rigs and frames come together"));
    }
    auto rigs = read_rigs(path(ModelFile::Rigs), model.form);
    if (!rigs) return fail(rigs.error());
    auto frames = read_frames(path(ModelFile::Frames), model.form);
    if (!frames) return fail(frames.error());
    model.has_rigs = true;
    model.rigs = std::move(*rigs);
    model.frames = std::move(*frames);
    return model;
}

Result<ImageMap> read_model_images(const std::string& directory) {
    const Form form = model_form(directory);
    return read_images(join_path(directory, model_file_name(ModelFile::Images, form)), form);
}

Position camera_centre(const Image& image) {
    const auto [w, x, y, z] = image.qvec;
    const auto [tx, ty, tz] = image.tvec;
    const double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z), r02 = 2 * (x * z + w * y);
    const double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z), r12 = 2 * (y * z - w * x);
    const double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
    return {-(r00 * tx + r10 * ty + r20 * tz), -(r01 * tx + r11 * ty + r21 * tz),
            -(r02 * tx + r12 * ty + r22 * tz)};
}

Status check_references(const Model& model) {
    const auto file = [&](ModelFile which) { return model_file_name(which, model.form); };
    for (const Image& image : model.images)
        if (!model.cameras.contains(image.camera_id))
            return fail(bad_content("image " + std::to_string(image.image_id) + " uses camera " +
                                    std::to_string(image.camera_id) + ", which " +
                                    file(ModelFile::Cameras) + " does not hold"));
    if (!model.has_rigs) return {};

    for (const Rig& rig : model.rigs) {
        std::vector<SensorId> sensors;
        if (rig.ref_sensor) sensors.push_back(*rig.ref_sensor);
        for (const RigSensor& sensor : rig.sensors) sensors.push_back(sensor.sensor);
        for (const SensorId& sensor : sensors)
            if (sensor.type == kCameraSensor && !model.cameras.contains(sensor.id))
                return fail(bad_content("rig " + std::to_string(rig.rig_id) + " has camera " +
                                        std::to_string(sensor.id) + ", which " +
                                        file(ModelFile::Cameras) + " does not hold"));
    }
    std::vector<std::uint64_t> framed_images;
    for (const Frame& frame : model.frames) {
        if (!model.rigs.contains(frame.rig_id))
            return fail(bad_content("frame " + std::to_string(frame.frame_id) + " uses rig " +
                                    std::to_string(frame.rig_id) + ", which " +
                                    file(ModelFile::Rigs) + " does not hold"));
        for (const DataId& data : frame.data_ids)
            if (data.sensor.type == kCameraSensor) framed_images.push_back(data.id);
    }
    std::sort(framed_images.begin(), framed_images.end());
    for (const Image& image : model.images)
        if (!std::binary_search(framed_images.begin(), framed_images.end(), image.image_id))
            return fail(bad_content("image " + std::to_string(image.image_id) + " belongs to no frame of " +
                                    file(ModelFile::Frames)));
    return {};
}

}  // namespace larkspan::colmap
