#include "split_cameras.hpp"

#include <algorithm>
#include <array>
#include <filesystem>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "common/io.hpp"
#include "common/parallel.hpp"

namespace larkspan::split_cameras {

using colmap::Camera;
using colmap::Image;
using colmap::Point2D;
using colmap::Point3D;
using colmap::TrackElement;

PatchCounts& PatchCounts::operator+=(const PatchCounts& other) {
    patches += other.patches;
    cameras += other.cameras;
    images += other.images;
    points3d += other.points3d;
    return *this;
}

namespace {

// ---- configuration checks and paths ----

// A directory as the file system sees it: symbolic links and "." / ".."
// resolved as far as the path exists, no trailing separator.
std::string directory_identity(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path resolved = fs::weakly_canonical(fs::absolute(path, error), error);
    if (error) resolved = fs::path(path).lexically_normal();
    std::string text = resolved.string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// Two patches writing to one directory would write the same files at the
// same time and corrupt them, so such a configuration is refused up front.
Status require_distinct_output_paths(const std::vector<CameraPatchConfig>& patches) {
    std::unordered_map<std::string, std::size_t> first_user;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        auto [entry, inserted] = first_user.emplace(directory_identity(patches[i].output_path), i);
        if (inserted) continue;
        return fail(Error::value(
            "patches[" + std::to_string(entry->second) + "] and patches[" + std::to_string(i) +
            "] both write to output_path \"" + patches[i].output_path +
            "\": each patch needs a directory of its own, as concurrent writes to the same "
            "files would corrupt them"));
    }
    return {};
}

// `name` as a path component of `directory`.
std::string join(const std::string& directory, const char* name) {
    if (directory.empty()) return name;
    if (directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

// ---- geometry ----

using Position = std::array<double, 3>;

// World position of the camera: C = -R^T t, with R from the quaternion as
// stored (not normalised).
Position camera_centre(const Image& image) {
    const auto [w, x, y, z] = image.qvec;
    const auto [tx, ty, tz] = image.tvec;
    const double r00 = 1 - 2 * (y * y + z * z), r01 = 2 * (x * y - w * z), r02 = 2 * (x * z + w * y);
    const double r10 = 2 * (x * y + w * z), r11 = 1 - 2 * (x * x + z * z), r12 = 2 * (y * z - w * x);
    const double r20 = 2 * (x * z - w * y), r21 = 2 * (y * z + w * x), r22 = 1 - 2 * (x * x + y * y);
    return {-(r00 * tx + r10 * ty + r20 * tz), -(r01 * tx + r11 * ty + r21 * tz),
            -(r02 * tx + r12 * ty + r22 * tz)};
}

// The patch rectangle with the configuration's height range; every bound
// inclusive, and a NaN coordinate is never inside.
struct PatchBox {
    double min_x, min_y, min_z, max_x, max_y, max_z;

    bool contains(const Position& p) const {
        return min_x <= p[0] && p[0] <= max_x && min_y <= p[1] && p[1] <= max_y &&
               min_z <= p[2] && p[2] <= max_z;
    }
};

// ---- one patch model ----

// No keypoint of the patch image has this input keypoint's index.
constexpr std::uint32_t kDropped = std::numeric_limits<std::uint32_t>::max();

// For one patch image: the patch index of each input keypoint, by input
// index (kDropped for keypoints the patch does not keep).
using KeypointIndexMap = std::vector<std::uint32_t>;

struct PatchModel {
    colmap::CameraMap cameras;
    colmap::ImageMap images;
    colmap::Point3DMap points3d;
};

// Step 1: the images whose camera centre is inside, in ascending id order.
std::vector<const Image*> select_images(const colmap::ImageMap& images, const PatchBox& box) {
    std::vector<const Image*> selected;
    for (const auto& [id, image] : images)
        if (box.contains(camera_centre(image))) selected.push_back(&image);
    return selected;
}

// Step 2: the points inside, in ascending id order, whoever sees them.
std::vector<const Point3D*> select_points(const colmap::Point3DMap& points, const PatchBox& box) {
    std::vector<const Point3D*> selected;
    for (const auto& [id, point] : points)
        if (box.contains(point.xyz)) selected.push_back(&point);
    return selected;
}

// Step 3: the loaded cameras the patch images use; ids with no camera record
// are skipped.
colmap::CameraMap cameras_used_by(const std::vector<const Image*>& images,
                                  const colmap::CameraMap& cameras) {
    colmap::CameraMap used;
    for (const Image* image : images) {
        auto camera = cameras.find(image->camera_id);
        if (camera != cameras.end()) used.try_emplace(camera->first, camera->second);
    }
    return used;
}

// Step 4: each patch image with only the keypoints that observe a patch
// point, in their input order; `index_maps` receives where each went.
colmap::ImageMap keep_observing_keypoints(
    const std::vector<const Image*>& images, const std::vector<const Point3D*>& points,
    std::unordered_map<std::uint32_t, KeypointIndexMap>& index_maps) {
    std::unordered_set<std::uint64_t> patch_point_ids;
    patch_point_ids.reserve(points.size());
    for (const Point3D* point : points) patch_point_ids.insert(point->point3d_id);

    colmap::ImageMap patch_images;
    for (const Image* input : images) {
        Image image;
        image.image_id = input->image_id;
        image.qvec = input->qvec;
        image.tvec = input->tvec;
        image.camera_id = input->camera_id;
        image.name = input->name;
        KeypointIndexMap& index_map = index_maps[input->image_id];
        index_map.assign(input->points2d.size(), kDropped);
        for (std::size_t i = 0; i < input->points2d.size(); ++i) {
            const Point2D& keypoint = input->points2d[i];
            if (!patch_point_ids.contains(keypoint.point3d_id)) continue;
            index_map[i] = static_cast<std::uint32_t>(image.points2d.size());
            image.points2d.push_back(keypoint);
        }
        patch_images.insert_or_assign(patch_images.end(), image.image_id, std::move(image));
    }
    return patch_images;
}

// The observations of a point that the patch keeps, with patch keypoint
// indices, sorted by image id and then keypoint index.
std::vector<TrackElement> patch_track(
    const Point3D& point, const std::unordered_map<std::uint32_t, KeypointIndexMap>& index_maps) {
    std::vector<TrackElement> track;
    for (const TrackElement& element : point.track) {
        auto index_map = index_maps.find(element.image_id);
        if (index_map == index_maps.end()) continue;
        const KeypointIndexMap& indices = index_map->second;
        if (element.point2d_idx >= indices.size() || indices[element.point2d_idx] == kDropped)
            continue;
        track.push_back({element.image_id, indices[element.point2d_idx]});
    }
    std::sort(track.begin(), track.end());
    return track;
}

// Step 5: the patch points that keep an observation, numbered 1, 2, 3...
// in ascending order of their input ids; `new_ids` maps input to new ids.
colmap::Point3DMap renumber_points(
    const std::vector<const Point3D*>& points,
    const std::unordered_map<std::uint32_t, KeypointIndexMap>& index_maps,
    std::unordered_map<std::uint64_t, std::uint64_t>& new_ids) {
    colmap::Point3DMap renumbered;
    std::uint64_t next_id = 1;
    for (const Point3D* input : points) {
        std::vector<TrackElement> track = patch_track(*input, index_maps);
        if (track.empty()) continue;
        new_ids.emplace(input->point3d_id, next_id);
        Point3D point;
        point.point3d_id = next_id;
        point.xyz = input->xyz;
        point.rgb = input->rgb;
        point.error = -1.0;
        point.track = std::move(track);
        renumbered.insert_or_assign(renumbered.end(), next_id, std::move(point));
        ++next_id;
    }
    return renumbered;
}

// Step 6: kept keypoints name their point's new id. A point left out in
// step 5 (only an inconsistent input leaves a kept keypoint's point without
// a kept observation) has no new id; its keypoint gets -1, as its input id
// could name a different point of the renumbered model.
void assign_new_point_ids(colmap::ImageMap& images,
                          const std::unordered_map<std::uint64_t, std::uint64_t>& new_ids) {
    for (auto& [id, image] : images) {
        for (Point2D& keypoint : image.points2d) {
            auto renumbered = new_ids.find(keypoint.point3d_id);
            keypoint.point3d_id = renumbered == new_ids.end() ? colmap::kNoPoint3D : renumbered->second;
        }
    }
}

PatchModel build_patch_model(const colmap::CameraMap& cameras, const colmap::ImageMap& images,
                             const colmap::Point3DMap& points, const PatchBox& box) {
    const std::vector<const Image*> patch_images = select_images(images, box);
    const std::vector<const Point3D*> patch_points = select_points(points, box);
    PatchModel model;
    model.cameras = cameras_used_by(patch_images, cameras);
    std::unordered_map<std::uint32_t, KeypointIndexMap> index_maps;
    model.images = keep_observing_keypoints(patch_images, patch_points, index_maps);
    std::unordered_map<std::uint64_t, std::uint64_t> new_ids;
    model.points3d = renumber_points(patch_points, index_maps, new_ids);
    assign_new_point_ids(model.images, new_ids);
    return model;
}

// Steps 8 to 10: the directory (made again before each file, in case it
// went away), then the files in the order cameras, images, points.
Status write_patch_model(const std::string& directory, const PatchModel& model, bool save_points3d) {
    if (auto made = io::create_dir_all(directory); !made) return made;
    if (auto written = colmap::write_cameras_bin(join(directory, "cameras.bin"), model.cameras); !written)
        return written;
    if (auto made = io::create_dir_all(directory); !made) return made;
    if (auto written = colmap::write_images_bin(join(directory, "images.bin"), model.images); !written)
        return written;
    if (!save_points3d) return {};
    if (auto made = io::create_dir_all(directory); !made) return made;
    return colmap::write_points3d_bin(join(directory, "points3D.bin"), model.points3d);
}

}  // namespace

Result<ColmapSplitter> ColmapSplitter::load(SplitCamerasConfig config) {
    if (auto distinct = require_distinct_output_paths(config.patches); !distinct)
        return fail(distinct.error());
    ColmapSplitter splitter;
    auto cameras = colmap::read_cameras_bin(join(config.input_path, "cameras.bin"));
    if (!cameras) return fail(cameras.error());
    auto images = colmap::read_images_bin(join(config.input_path, "images.bin"));
    if (!images) return fail(images.error());
    auto points = colmap::read_points3d_bin(join(config.input_path, "points3D.bin"));
    if (!points) return fail(points.error());
    splitter.config_ = std::move(config);
    splitter.cameras_ = std::move(*cameras);
    splitter.images_ = std::move(*images);
    splitter.points3d_ = std::move(*points);
    return splitter;
}

Result<PatchCounts> ColmapSplitter::split_patch(const CameraPatchConfig& patch) const {
    const PatchBox box{patch.min_x, patch.min_y, config_.min_z,
                       patch.max_x, patch.max_y, config_.max_z};
    const PatchModel model = build_patch_model(cameras_, images_, points3d_, box);
    if (auto written = write_patch_model(patch.output_path, model, config_.save_points3d); !written)
        return fail(written.error());
    return PatchCounts{1, model.cameras.size(), model.images.size(), model.points3d.size()};
}

Result<PatchCounts> ColmapSplitter::split_cameras() const {
    // Each task builds its own copies and writes only below its own
    // directory; the loaded model is shared read-only.
    const auto results = parallel_map<Result<PatchCounts>>(
        config_.patches.size(), [&](std::size_t i) { return split_patch(config_.patches[i]); });
    PatchCounts totals;
    for (const auto& result : results) {
        if (!result) return fail(result.error());
        totals += *result;
    }
    return totals;
}

}  // namespace larkspan::split_cameras
