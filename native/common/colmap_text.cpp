#include "colmap_text.hpp"

#include <array>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <system_error>

namespace larkspan::colmap::text_form {

// ---- reading ----

LineReader::LineReader(io::File& file, std::string path)
    : reader_(file), path_(std::move(path)) {}

Result<bool> LineReader::next_line() {
    line_.clear();
    auto read = reader_.read_line(line_);
    if (!read) return fail(read.error());
    if (*read == 0) return false;
    ++number_;
    if (!line_.empty() && line_.back() == '\n') line_.pop_back();
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    return true;
}

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

}  // namespace

Result<bool> LineReader::next_record_line() {
    for (;;) {
        auto more = next_line();
        if (!more || !*more) return more;
        const std::string_view content = trimmed(line_);
        if (!content.empty() && content.front() != '#') return true;
    }
}

Error LineReader::error(std::string_view problem) const {
    return Error::os(path_ + ", line " + std::to_string(number_) + ": " + std::string(problem));
}

namespace {

// The fields of one line, taken one after another. The first problem sticks
// and is described by what was expected.
class Fields {
public:
    explicit Fields(std::string_view line) : rest_(trimmed(line)) {}

    bool ok() const { return !problem_; }
    const std::optional<std::string>& problem() const { return problem_; }
    bool at_end() const { return rest_.empty(); }

    // The next field, or none (and a problem) at the end of the line.
    std::optional<std::string_view> next(std::string_view what) {
        if (!ok()) return std::nullopt;
        if (rest_.empty()) {
            problem_ = "expected " + std::string(what) + " at the end of the line";
            return std::nullopt;
        }
        std::size_t end = 0;
        while (end < rest_.size() && !is_blank(rest_[end])) ++end;
        const std::string_view field = rest_.substr(0, end);
        rest_ = trimmed(rest_.substr(end));
        return field;
    }

    // What is left of the line, surrounding blanks removed; a name may hold
    // blanks of its own.
    std::string_view rest() {
        return std::exchange(rest_, std::string_view{});
    }

    template <class T>
    void integer(T& out, std::string_view what) {
        const auto field = next(what);
        if (!field) return;
        std::string_view digits = *field;
        if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
        if (error == std::errc::result_out_of_range)
            return refuse(what, *field, " (out of range)");
        if (error != std::errc{} || end != digits.data() + digits.size()) return refuse(what, *field);
    }

    void number(double& out, std::string_view what) {
        const auto field = next(what);
        if (!field) return;
        std::string_view digits = *field;
        if (digits.size() > 1 && digits.front() == '+' && digits[1] != '-') digits.remove_prefix(1);
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), out);
        // Beyond the double range: infinity or zero with the sign, as C's
        // strtod reads it, so that whatever COLMAP read is read the same.
        if (error == std::errc::result_out_of_range && end == digits.data() + digits.size()) {
            out = std::strtod(std::string(digits).c_str(), nullptr);
            return;
        }
        if (error != std::errc{} || end != digits.data() + digits.size()) return refuse(what, *field);
    }

    template <std::size_t N>
    void numbers(std::array<double, N>& out, std::string_view what) {
        for (double& value : out) number(value, what);
    }

    // A keypoint's point id: -1 (or any negative id, as images.bin stores a
    // signed id) or an unsigned 64-bit id.
    void point_id(std::uint64_t& out, std::string_view what) {
        const auto field = next(what);
        if (!field) return;
        const char* first = field->data();
        const char* last = first + field->size();
        std::from_chars_result parsed{};
        if (field->front() == '-') {
            std::int64_t id = 0;
            parsed = std::from_chars(first, last, id);
            out = static_cast<std::uint64_t>(id);
        } else {
            parsed = std::from_chars(first, last, out);
        }
        const auto [end, error] = parsed;
        if (error != std::errc{} || end != last) refuse(what, *field);
    }

    void sensor_type(std::int32_t& out, std::string_view what) {
        const auto field = next(what);
        if (!field) return;
        if (*field == "CAMERA") out = kCameraSensor;
        else if (*field == "IMU") out = kImuSensor;
        else if (*field == "INVALID") out = -1;
        else refuse(what, *field);
    }

    void sensor(SensorId& out) {
        sensor_type(out.type, "a sensor type (CAMERA, IMU)");
        integer(out.id, "a sensor id");
    }

    void expect_end(std::string_view record) {
        if (ok() && !rest_.empty())
            problem_ = "unexpected \"" + std::string(rest_) + "\" after the " + std::string(record);
    }

    void fail_with(std::string problem) {
        if (ok()) problem_ = std::move(problem);
    }

private:
    void refuse(std::string_view what, std::string_view field, std::string_view why = {}) {
        problem_ = "expected " + std::string(what) + ", found \"" + std::string(field) + "\"" +
                   std::string(why);
    }

    std::string_view rest_;
    std::optional<std::string> problem_;
};

std::optional<std::string> parse_camera(std::string_view line, Camera& camera) {
    Fields fields(line);
    fields.integer(camera.camera_id, "a camera id");
    const auto model = fields.next("a camera model name");
    if (!fields.ok()) return fields.problem();
    const auto model_id = camera_model_id(*model);
    if (!model_id) return "Unknown camera model: " + std::string(*model);
    camera.model_id = *model_id;
    fields.integer(camera.width, "the image width");
    fields.integer(camera.height, "the image height");
    while (fields.ok() && !fields.at_end()) fields.number(camera.params.emplace_back(), "a parameter");
    if (!fields.ok()) return fields.problem();
    const std::size_t expected = *camera_model_param_count(camera.model_id);
    if (camera.params.size() != expected)
        return "camera model " + std::string(*model) + " takes " + std::to_string(expected) +
               " parameters, found " + std::to_string(camera.params.size());
    return std::nullopt;
}

std::optional<std::string> parse_image(std::string_view line, Image& image) {
    Fields fields(line);
    fields.integer(image.image_id, "an image id");
    fields.numbers(image.qvec, "a quaternion component");
    fields.numbers(image.tvec, "a translation component");
    fields.integer(image.camera_id, "a camera id");
    if (!fields.ok()) return fields.problem();
    image.name = std::string(fields.rest());
    return utf8_error_text(image.name);
}

std::optional<std::string> parse_keypoints(std::string_view line, Image& image) {
    Fields fields(line);
    while (fields.ok() && !fields.at_end()) {
        Point2D& point = image.points2d.emplace_back();
        fields.number(point.x, "a keypoint x");
        fields.number(point.y, "a keypoint y");
        fields.point_id(point.point3d_id, "a keypoint's point id");
    }
    return fields.problem();
}

std::optional<std::string> parse_rig(std::string_view line, Rig& rig) {
    Fields fields(line);
    fields.integer(rig.rig_id, "a rig id");
    std::uint32_t sensor_count = 0;
    fields.integer(sensor_count, "the number of sensors");
    if (fields.ok() && sensor_count > 0) fields.sensor(rig.ref_sensor.emplace());
    for (std::uint32_t i = 1; i < sensor_count && fields.ok(); ++i) {
        RigSensor& sensor = rig.sensors.emplace_back();
        fields.sensor(sensor.sensor);
        const auto has_pose = fields.next("1 or 0 for whether the sensor has a pose");
        if (!has_pose) break;
        if (*has_pose == "1") fields.numbers(sensor.sensor_from_rig.emplace(), "a pose component");
        else if (*has_pose != "0")
            fields.fail_with("expected 1 or 0 for whether the sensor has a pose, found \"" +
                             std::string(*has_pose) + "\"");
    }
    fields.expect_end("rig's sensors");
    return fields.problem();
}

std::optional<std::string> parse_frame(std::string_view line, Frame& frame) {
    Fields fields(line);
    fields.integer(frame.frame_id, "a frame id");
    fields.integer(frame.rig_id, "a rig id");
    fields.numbers(frame.rig_from_world, "a pose component");
    std::uint32_t data_count = 0;
    fields.integer(data_count, "the number of data ids");
    for (std::uint32_t i = 0; i < data_count && fields.ok(); ++i) {
        DataId& data = frame.data_ids.emplace_back();
        fields.sensor(data.sensor);
        fields.integer(data.id, "a data id");
    }
    fields.expect_end("frame's data ids");
    return fields.problem();
}

// A file of one record per line: each is parsed into a fresh record.
template <class Map, class Parse>
Result<Map> read_line_records(const std::string& path, Parse parse) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    LineReader lines(*file, path);
    std::vector<typename Map::Record> records;
    for (;;) {
        auto more = lines.next_record_line();
        if (!more) return fail(more.error());
        if (!*more) break;
        if (auto problem = parse(lines.line(), records.emplace_back()))
            return fail(lines.error(*problem));
    }
    return Map(std::move(records));
}

}  // namespace

std::optional<std::string> parse_point3d(std::string_view line, Point3D& point, bool with_track) {
    Fields fields(line);
    fields.integer(point.point3d_id, "a point id");
    fields.numbers(point.xyz, "a coordinate");
    for (std::uint8_t& channel : point.rgb) fields.integer(channel, "a colour value (0 to 255)");
    fields.number(point.error, "the error");
    point.track.clear();
    while (fields.ok() && !fields.at_end()) {
        TrackElement element;
        fields.integer(element.image_id, "an image id");
        fields.integer(element.point2d_idx, "a keypoint index");
        if (with_track) point.track.push_back(element);
    }
    return fields.problem();
}

Result<CameraMap> read_cameras(const std::string& path) {
    return read_line_records<CameraMap>(path, parse_camera);
}

Result<RigMap> read_rigs(const std::string& path) {
    return read_line_records<RigMap>(path, parse_rig);
}

Result<FrameMap> read_frames(const std::string& path) {
    return read_line_records<FrameMap>(path, parse_frame);
}

// Two lines per image: its pose, camera and name, then its keypoints (a line
// that is empty for an image without keypoints, so it is never passed over).
Result<ImageMap> read_images(const std::string& path) {
    auto file = io::open_read(path);
    if (!file) return fail(file.error());
    LineReader lines(*file, path);
    std::vector<Image> images;
    for (;;) {
        auto more = lines.next_record_line();
        if (!more) return fail(more.error());
        if (!*more) break;
        Image& image = images.emplace_back();
        if (auto problem = parse_image(lines.line(), image)) return fail(lines.error(*problem));
        auto keypoints = lines.next_line();
        if (!keypoints) return fail(keypoints.error());
        if (!*keypoints)
            return fail(lines.error("image " + std::to_string(image.image_id) +
                                    " has no keypoint line after it"));
        if (auto problem = parse_keypoints(lines.line(), image)) return fail(lines.error(*problem));
    }
    return ImageMap(std::move(images));
}

// ---- writing ----

namespace {

// One text file through the buffered writer; the first failure sticks.
class TextWriter {
public:
    explicit TextWriter(io::File& file) : file_(file), writer_(file) {}

    TextWriter& operator<<(std::string_view text) {
        if (status_) status_ = writer_.write(text);
        return *this;
    }
    TextWriter& operator<<(char c) { return *this << std::string_view(&c, 1); }

    template <class T>
        requires std::is_integral_v<T>
    TextWriter& operator<<(T value) {
        char digits[24];
        const auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), value);
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }

    // As COLMAP writes a double: 17 significant digits in the shorter of the
    // fixed and exponent forms, which reads back to the same value.
    TextWriter& operator<<(double value) {
        char digits[40];
        const auto [end, error] = std::to_chars(std::begin(digits), std::end(digits), value,
                                                std::chars_format::general, 17);
        return *this << std::string_view(digits, static_cast<std::size_t>(end - digits));
    }

    // Values after a record's first field, each after a space.
    template <class T>
    TextWriter& field(const T& value) {
        return *this << ' ' << value;
    }
    template <class T, std::size_t N>
    TextWriter& fields(const std::array<T, N>& values) {
        for (const T& value : values) field(value);
        return *this;
    }

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

std::string_view sensor_type_name(std::int32_t type) {
    switch (type) {
        case kCameraSensor: return "CAMERA";
        case kImuSensor: return "IMU";
        case -1: return "INVALID";
        default: return {};
    }
}

TextWriter& write_sensor(TextWriter& out, const SensorId& sensor) {
    const std::string_view name = sensor_type_name(sensor.type);
    if (name.empty()) out.field(sensor.type);
    else out.field(name);
    return out.field(sensor.id);
}

double mean(std::uint64_t total, std::uint64_t count) {
    return count == 0 ? 0.0 : static_cast<double>(total) / static_cast<double>(count);
}

template <class WriteAll>
Status write_text_file(const std::string& path, WriteAll write_all) {
    auto output = io::Output::create(path);
    if (!output) return fail(output.error());
    TextWriter out(output->file());
    write_all(out);
    if (auto finished = out.finish(); !finished) return finished;
    return output->commit();
}

}  // namespace

Status write_cameras(const std::string& path, const CameraMap& cameras) {
    return write_text_file(path, [&](TextWriter& out) {
        out << "# Camera list with one line of data per camera:\n"
               "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n"
               "# Number of cameras: "
            << cameras.size() << '\n';
        for (const Camera& camera : cameras) {
            out << camera.camera_id;
            const std::string_view name = camera_model_name(camera.model_id);
            if (name.empty()) out.field(camera.model_id);
            else out.field(name);
            out.field(camera.width).field(camera.height);
            for (double param : camera.params) out.field(param);
            out << '\n';
        }
    });
}

Status write_images(const std::string& path, const ImageMap& images) {
    std::uint64_t observations = 0;
    for (const Image& image : images)
        for (const Point2D& point : image.points2d) observations += point.point3d_id != kNoPoint3D;
    return write_text_file(path, [&](TextWriter& out) {
        out << "# Image list with two lines of data per image:\n"
               "#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
               "#   POINTS2D[] as (X, Y, POINT3D_ID)\n"
               "# Number of images: "
            << images.size() << ", mean observations per image: " << mean(observations, images.size())
            << '\n';
        for (const Image& image : images) {
            out << image.image_id;
            out.fields(image.qvec).fields(image.tvec).field(image.camera_id).field(image.name);
            out << '\n';
            for (std::size_t k = 0; k < image.points2d.size(); ++k) {
                const Point2D& point = image.points2d[k];
                if (k > 0) out << ' ';
                out << point.x << ' ' << point.y << ' ';
                if (point.point3d_id == kNoPoint3D) out << "-1";
                else out << point.point3d_id;
            }
            out << '\n';
        }
    });
}

Status write_points3d(const std::string& path, const Point3DMap& points) {
    std::uint64_t observations = 0;
    for (const Point3D& point : points) observations += point.track.size();
    return write_text_file(path, [&](TextWriter& out) {
        out << "# 3D point list with one line of data per point:\n"
               "#   POINT3D_ID, X, Y, Z, R, G, B, ERROR, TRACK[] as (IMAGE_ID, POINT2D_IDX)\n"
               "# Number of points: "
            << points.size() << ", mean track length: " << mean(observations, points.size()) << '\n';
        for (const Point3D& point : points) {
            out << point.point3d_id;
            out.fields(point.xyz);
            for (std::uint8_t channel : point.rgb) out.field(unsigned{channel});
            out.field(point.error);
            for (const TrackElement& element : point.track)
                out.field(element.image_id).field(element.point2d_idx);
            out << '\n';
        }
    });
}

Status write_rigs(const std::string& path, const RigMap& rigs) {
    return write_text_file(path, [&](TextWriter& out) {
        out << "# Rig calib list with one line of data per calib:\n"
               "#   RIG_ID, NUM_SENSORS, REF_SENSOR_TYPE, REF_SENSOR_ID, SENSORS[] as (SENSOR_TYPE, "
               "SENSOR_ID, HAS_POSE, [QW, QX, QY, QZ, TX, TY, TZ])\n"
               "# Number of rigs: "
            << rigs.size() << '\n';
        for (const Rig& rig : rigs) {
            out << rig.rig_id;
            if (!rig.ref_sensor) {
                out << " 0\n";  // without a reference sensor, no sensors: as in rigs.bin
                continue;
            }
            out.field(rig.sensors.size() + 1);
            write_sensor(out, *rig.ref_sensor);
            for (const RigSensor& sensor : rig.sensors) {
                write_sensor(out, sensor.sensor);
                if (sensor.sensor_from_rig) out.field(1).fields(*sensor.sensor_from_rig);
                else out.field(0);
            }
            out << '\n';
        }
    });
}

Status write_frames(const std::string& path, const FrameMap& frames) {
    return write_text_file(path, [&](TextWriter& out) {
        out << "# Frame list with one line of data per frame:\n"
               "#   FRAME_ID, RIG_ID, RIG_FROM_WORLD[QW, QX, QY, QZ, TX, TY, TZ], NUM_DATA_IDS, "
               "DATA_IDS[] as (SENSOR_TYPE, SENSOR_ID, DATA_ID)\n"
               "# Number of frames: "
            << frames.size() << '\n';
        for (const Frame& frame : frames) {
            out << frame.frame_id;
            out.field(frame.rig_id).fields(frame.rig_from_world).field(frame.data_ids.size());
            for (const DataId& data : frame.data_ids) write_sensor(out, data.sensor).field(data.id);
            out << '\n';
        }
    });
}

}  // namespace larkspan::colmap::text_form
