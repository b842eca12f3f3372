#pragma once
// COLMAP models: the records of a model folder and one reader and one writer
// per file and form.
//
// A model is a folder holding cameras, images and points3D files, and, when
// written by COLMAP 4 or later, rigs and frames files too; all of them either
// binary (.bin) or text (.txt). Binary files are a little-endian u64 record
// count followed by that many records, packed field after field with no
// padding; text files hold one record per line (two for an image) after '#'
// comment lines, with numbers written so that they read back to the same
// doubles. The readers load a file into a map keyed by id (a later record
// replaces an earlier one with the same id); the writers emit a map in
// ascending id order. Counts read from a file are never trusted: a list is
// only pre-sized for what the rest of the file can hold, so a corrupt count
// ends in "failed to fill whole buffer".

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"
#include "io.hpp"

namespace larkspan::colmap {

// The keypoint id of "observes no 3-D point": -1 in the file.
inline constexpr std::uint64_t kNoPoint3D = std::numeric_limits<std::uint64_t>::max();

struct Camera {
    std::uint32_t camera_id = 0;
    std::uint32_t model_id = 0;
    std::uint64_t width = 0;
    std::uint64_t height = 0;
    std::vector<double> params;  // as many as the camera model has
};

// One keypoint, laid out in memory exactly as in images.bin (24 bytes).
struct Point2D {
    double x = 0;
    double y = 0;
    std::uint64_t point3d_id = kNoPoint3D;  // a signed 64-bit id in the file
};

struct Image {
    std::uint32_t image_id = 0;
    std::array<double, 4> qvec{};  // w, x, y, z; world to camera
    std::array<double, 3> tvec{};  // world to camera
    std::uint32_t camera_id = 0;
    std::string name;  // UTF-8, no NUL
    std::vector<Point2D> points2d;
};

// One observation of a 3-D point, laid out as in points3D.bin (8 bytes).
struct TrackElement {
    std::uint32_t image_id = 0;
    std::uint32_t point2d_idx = 0;  // index into that image's points2d

    friend bool operator==(const TrackElement&, const TrackElement&) = default;
    friend auto operator<=>(const TrackElement&, const TrackElement&) = default;
};

struct Point3D {
    std::uint64_t point3d_id = 0;
    std::array<double, 3> xyz{};
    std::array<std::uint8_t, 3> rgb{};
    double error = 0;
    std::vector<TrackElement> track;
};

// A rig pose or frame pose: rotation quaternion w, x, y, z, then translation.
using Pose = std::array<double, 7>;

// The kind of a rig's sensor as stored in binary files; text files name it.
inline constexpr std::int32_t kCameraSensor = 0;
inline constexpr std::int32_t kImuSensor = 1;

// A sensor of a rig: a camera (id a camera id) or another kind of sensor.
struct SensorId {
    std::int32_t type = kCameraSensor;
    std::uint32_t id = 0;

    friend bool operator==(const SensorId&, const SensorId&) = default;
};

struct RigSensor {
    SensorId sensor;
    std::optional<Pose> sensor_from_rig;  // none: the pose is not known
};

// A rig: its reference sensor (none for a rig without sensors) and its other
// sensors in file order, each with its pose relative to the reference.
struct Rig {
    std::uint32_t rig_id = 0;
    std::optional<SensorId> ref_sensor;
    std::vector<RigSensor> sensors;
};

// One measurement of a frame, laid out as in frames.bin (16 bytes): for a
// camera sensor, `id` is the id of the image it took.
struct DataId {
    SensorId sensor;
    std::uint64_t id = 0;
};

// One exposure of a rig: the rig's pose and the measurements its sensors took.
struct Frame {
    std::uint32_t frame_id = 0;
    std::uint32_t rig_id = 0;
    Pose rig_from_world{};
    std::vector<DataId> data_ids;
};

// Records keyed by their own id: one record per id, held in ascending id
// order in one contiguous block, so iterating visits them in the order the
// files are written and a whole model costs little more than its records.
template <class R, auto IdMember>
class IdMap {
public:
    using Record = R;
    using Id = std::remove_cvref_t<decltype(std::declval<const R&>().*IdMember)>;
    using const_iterator = typename std::vector<R>::const_iterator;

    IdMap() = default;
    // From records in any order; of several records with one id, the last.
    explicit IdMap(std::vector<Record> records);

    // Adds a record or replaces the one with its id. Constant time when ids
    // arrive in ascending order, linear otherwise.
    void insert_or_assign(Record record);

    const Record* find(Id id) const;
    bool contains(Id id) const { return find(id) != nullptr; }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }
    const_iterator begin() const { return records_.begin(); }
    const_iterator end() const { return records_.end(); }
    const Record& back() const { return records_.back(); }

private:
    static Id id_of(const Record& record) { return record.*IdMember; }
    static bool id_less(const Record& a, const Record& b) { return id_of(a) < id_of(b); }

    std::vector<Record> records_;
};

using CameraMap = IdMap<Camera, &Camera::camera_id>;
using ImageMap = IdMap<Image, &Image::image_id>;
using Point3DMap = IdMap<Point3D, &Point3D::point3d_id>;
using RigMap = IdMap<Rig, &Rig::rig_id>;
using FrameMap = IdMap<Frame, &Frame::frame_id>;

// A point of the model's world frame: x, y, z.
using Position = std::array<double, 3>;

// World position of an image's camera: C = -R^T t, with R from the quaternion
// as stored (not normalised).
Position camera_centre(const Image& image);

// ---- camera models ----

// Number of f64 parameters of a camera model id; none for an unknown model.
std::optional<std::size_t> camera_model_param_count(std::uint32_t model_id);
// The model's name as text files write it ("SIMPLE_RADIAL"); empty for an
// unknown model.
std::string_view camera_model_name(std::uint32_t model_id);
std::optional<std::uint32_t> camera_model_id(std::string_view name);

// ---- files ----

// The two forms a model's files come in.
enum class Form { Binary, Text };

// File names of the model files in a form: "cameras.bin", "frames.txt"...
enum class ModelFile { Cameras, Images, Points3D, Rigs, Frames };
std::string model_file_name(ModelFile file, Form form);
// `name` as a path component of `directory`.
std::string join_path(const std::string& directory, std::string_view name);

// Each reader loads the whole file or fails with the first problem: the
// system's text for an open or read failure, "failed to fill whole buffer"
// when a binary file ends early, "Unknown camera model: ID", the UTF-8 error
// of an image name, and for a text file the problem after the file's path and
// line number ("PATH, line N: ..."). Bytes after the last counted record of a
// binary file are ignored. Every failure is an Os-kind Error; callers re-kind
// it as their tool reports it.
Result<CameraMap> read_cameras(const std::string& path, Form form);
Result<ImageMap> read_images(const std::string& path, Form form);
Result<Point3DMap> read_points3d(const std::string& path, Form form);
Result<RigMap> read_rigs(const std::string& path, Form form);
Result<FrameMap> read_frames(const std::string& path, Form form);

// Each writer creates or truncates the file and writes every record of the
// map in ascending id order, fields unchanged. A failure leaves the partly
// written file on disk.
Status write_cameras(const std::string& path, const CameraMap& cameras, Form form);
Status write_images(const std::string& path, const ImageMap& images, Form form);
Status write_points3d(const std::string& path, const Point3DMap& points, Form form);
Status write_rigs(const std::string& path, const RigMap& rigs, Form form);
Status write_frames(const std::string& path, const FrameMap& frames, Form form);

// The binary forms by name, as the file layouts are usually referred to.
inline Result<CameraMap> read_cameras_bin(const std::string& path) {
    return read_cameras(path, Form::Binary);
}
inline Result<ImageMap> read_images_bin(const std::string& path) {
    return read_images(path, Form::Binary);
}
inline Result<Point3DMap> read_points3d_bin(const std::string& path) {
    return read_points3d(path, Form::Binary);
}
inline Status write_cameras_bin(const std::string& path, const CameraMap& cameras) {
    return write_cameras(path, cameras, Form::Binary);
}
inline Status write_images_bin(const std::string& path, const ImageMap& images) {
    return write_images(path, images, Form::Binary);
}
inline Status write_points3d_bin(const std::string& path, const Point3DMap& points) {
    return write_points3d(path, points, Form::Binary);
}

// ---- points, one at a time ----

// Reads a points file record by record without loading it whole, for tools
// that keep only part of each point. Binary files are read through the
// buffered reader; a track is skipped by reading, never by allocating its
// length, when the caller does not ask for it.
class Point3DReader {
public:
    // A path ending in ".txt" is read as text, any other as binary.
    static Result<Point3DReader> open(const std::string& path);
    static Result<Point3DReader> open(const std::string& path, Form form);
    Point3DReader(Point3DReader&&) noexcept;
    Point3DReader& operator=(Point3DReader&&) noexcept;
    ~Point3DReader();

    // How many records the caller may pre-size for: the binary count, capped
    // by what the rest of the file can hold; 0 for text.
    std::uint64_t size_hint() const;
    // Reads the next record into `point` (its track left empty unless
    // `with_track`); false after the last record. Text comment and blank
    // lines are passed over.
    Result<bool> next(Point3D& point, bool with_track);
    // Closes the file, reporting what close(2) says.
    Status close();

private:
    class Impl;
    explicit Point3DReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Writes a points3D.bin file record by record to an open file: the count
// first, then exactly that many records, each encoded straight into the
// buffer, which goes to the file whenever it is full.
// The fixed part of a points3D.bin record: id, xyz, rgb, error, track length.
inline constexpr std::size_t kPoint3DHeadSize = 8 + 24 + 3 + 8 + 8;

// Encodes the fixed part of a points3D.bin record at `out`; returns the end,
// where the track's elements follow.
inline char* encode_point3d_head(char* out, std::uint64_t id, const std::array<double, 3>& xyz,
                                 const std::array<std::uint8_t, 3>& rgb, double error,
                                 std::uint64_t track_length) {
    const auto put = [&out](const auto& value) {
        std::memcpy(out, &value, sizeof value);
        out += sizeof value;
    };
    put(id);
    put(xyz);
    put(rgb);
    put(error);
    put(track_length);
    return out;
}

class Point3DBinWriter {
public:
    Point3DBinWriter(io::File& file, std::uint64_t count,
                     std::size_t buffer_bytes = io::kBufferSize);

    void write(std::uint64_t id, const std::array<double, 3>& xyz,
               const std::array<std::uint8_t, 3>& rgb, double error,
               std::span<const TrackElement> track = {}) {
        ++written_;
        const std::size_t size = kPoint3DHeadSize + track.size_bytes();
        if (buffer_.size() - used_ < size && !make_room(size)) return;
        char* out = encode_point3d_head(buffer_.data() + used_, id, xyz, rgb, error, track.size());
        if (!track.empty()) std::memcpy(out, track.data(), track.size_bytes());
        used_ += size;
    }

    // Flushes and closes: a failed write, flush or close is reported here, as
    // is a number of records other than the one announced.
    Status finish();

private:
    // Empties the buffer, and grows it for a record larger than it; false
    // once a write has failed.
    bool make_room(std::size_t size);

    io::File& file_;
    std::vector<char> buffer_;
    std::size_t used_ = 0;
    std::uint64_t announced_ = 0;
    std::uint64_t written_ = 0;
    Status status_;
};

// ---- model folders ----

// A whole model. Rigs and frames are present exactly when the folder held
// rigs and frames files; a model without them is what COLMAP 3 writes, where
// every camera is implicitly a rig of its own and every image a frame.
struct Model {
    Form form = Form::Binary;
    CameraMap cameras;
    ImageMap images;
    Point3DMap points3d;
    bool has_rigs = false;
    RigMap rigs;
    FrameMap frames;
};

// The form of the model in a folder: binary when cameras.bin, images.bin and
// points3D.bin are all there, else text when all three .txt files are, else
// binary (whose missing file then fails to open), as COLMAP decides.
Form model_form(const std::string& directory);

// Loads cameras, images and points3D, then rigs and frames when the folder
// holds either of them, in that order; the first file that fails stops the
// loading. A rigs file without a frames file or the other way round is
// refused, as COLMAP cannot read such a model either.
Result<Model> read_model(const std::string& directory);

// Only the images of the model in a folder, in whichever form it is, for
// callers that need no more (camera centres, say).
Result<ImageMap> read_model_images(const std::string& directory);

// The references a COLMAP reader resolves on loading: every image's camera,
// and in a model with rigs, every rig's camera sensors, every frame's rig and
// a frame for every image. The first dangling one is reported by its ids.
Status check_references(const Model& model);

// Describes the first invalid UTF-8 sequence in `bytes`: "invalid utf-8
// sequence of N bytes from index I" (N the bytes that cannot start or continue
// a character there, I where the character starts) or, for text that ends
// inside a character, "incomplete utf-8 byte sequence from index I". None when
// the bytes are valid UTF-8.
std::optional<std::string> utf8_error_text(std::string_view bytes);

// ---- template definitions ----

template <class R, auto IdMember>
IdMap<R, IdMember>::IdMap(std::vector<R> records) : records_(std::move(records)) {
    if (std::adjacent_find(records_.begin(), records_.end(), [](const R& a, const R& b) {
            return !id_less(a, b);
        }) == records_.end())
        return;  // already strictly ascending, as files written by id are
    std::stable_sort(records_.begin(), records_.end(), id_less);
    // Keep the last record of each run of equal ids.
    auto kept = records_.begin();
    for (auto it = records_.begin(); it != records_.end(); ++it) {
        auto next = std::next(it);
        if (next != records_.end() && id_of(*next) == id_of(*it)) continue;
        if (kept != it) *kept = std::move(*it);
        ++kept;
    }
    records_.erase(kept, records_.end());
}

template <class R, auto IdMember>
void IdMap<R, IdMember>::insert_or_assign(R record) {
    if (records_.empty() || id_of(records_.back()) < id_of(record)) {
        records_.push_back(std::move(record));
        return;
    }
    auto at = std::lower_bound(records_.begin(), records_.end(), record, id_less);
    if (id_of(*at) == id_of(record)) *at = std::move(record);
    else records_.insert(at, std::move(record));
}

template <class R, auto IdMember>
const R* IdMap<R, IdMember>::find(Id id) const {
    auto at = std::lower_bound(records_.begin(), records_.end(), id,
                               [](const R& record, Id key) { return id_of(record) < key; });
    return at != records_.end() && id_of(*at) == id ? &*at : nullptr;
}

}  // namespace larkspan::colmap
