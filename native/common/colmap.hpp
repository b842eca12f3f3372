#pragma once
// COLMAP binary models: the records of cameras.bin, images.bin and
// points3D.bin, and one reader and one writer per file.
//
// Every file is a little-endian u64 record count followed by that many
// records, packed field after field with no padding. The readers load a file
// into a map keyed by id (a later record replaces an earlier one with the same
// id); the writers emit a map in ascending id order. Counts read from a file
// are never trusted: a list is only pre-sized for what the rest of the file
// can hold, so a corrupt count ends in "failed to fill whole buffer".

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.hpp"

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

// A point of the model's world frame: x, y, z.
using Position = std::array<double, 3>;

// World position of an image's camera: C = -R^T t, with R from the quaternion
// as stored (not normalised).
Position camera_centre(const Image& image);

// Number of f64 parameters of a camera model id; none for an unknown model.
std::optional<std::size_t> camera_model_param_count(std::uint32_t model_id);

// Each reader loads the whole file or fails with the first problem: the
// system's text for an open or read failure, "failed to fill whole buffer"
// when the file ends early, "Unknown camera model: ID", or the UTF-8 error of
// an image name. Bytes after the last counted record are ignored. Every
// failure is an Os-kind Error; callers re-kind it as their tool reports it.
Result<CameraMap> read_cameras_bin(const std::string& path);
Result<ImageMap> read_images_bin(const std::string& path);
Result<Point3DMap> read_points3d_bin(const std::string& path);

// Each writer creates or truncates the file and writes every record of the
// map in ascending id order, fields unchanged. A failure leaves the partly
// written file on disk.
Status write_cameras_bin(const std::string& path, const CameraMap& cameras);
Status write_images_bin(const std::string& path, const ImageMap& images);
Status write_points3d_bin(const std::string& path, const Point3DMap& points);

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
