#include "split_cameras.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <system_error>
#include <unordered_map>

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

// Two patches writing to one directory would write the same files at the
// same time and corrupt them, so such a configuration is refused up front.
Status require_distinct_output_paths(const std::vector<CameraPatchConfig>& patches) {
    std::vector<std::string> paths;
    paths.reserve(patches.size());
    for (const auto& patch : patches) paths.push_back(patch.output_path);
    const auto shared = io::first_shared_path(paths);
    if (!shared) return {};
    const auto [first, second] = *shared;
    return fail(Error::value(
        "patches[" + std::to_string(first) + "] and patches[" + std::to_string(second) +
        "] both write to output_path \"" + patches[second].output_path +
        "\": each patch needs a directory of its own, as concurrent writes to the same "
        "files would corrupt them"));
}

// The model files a patch may write in the input's form, or any form: the
// points file only when points are saved.
std::vector<std::string> model_files(const std::string& directory, bool with_points3d) {
    using colmap::ModelFile;
    std::vector<std::string> files;
    for (const colmap::Form form : {colmap::Form::Binary, colmap::Form::Text})
        for (const ModelFile file : {ModelFile::Cameras, ModelFile::Images, ModelFile::Points3D,
                                     ModelFile::Rigs, ModelFile::Frames})
            if (file != ModelFile::Points3D || with_points3d)
                files.push_back(colmap::join_path(directory, colmap::model_file_name(file, form)));
    return files;
}

// No written file may be a file of the input model (the model would be
// replaced by a patch, or left with files that no longer agree), nor a file
// another patch writes (through links between the output directories).
Status require_outputs_apart(const SplitCamerasConfig& config) {
    std::vector<std::string> outputs;
    for (const auto& patch : config.patches) {
        auto files = model_files(patch.output_path, config.save_points3d);
        outputs.insert(outputs.end(), files.begin(), files.end());
    }
    if (auto apart = io::refuse_outputs_among_inputs(outputs, model_files(config.input_path, true));
        !apart)
        return apart;
    if (const auto shared = io::first_shared_path(outputs))
        return fail(Error::value("Output files " + outputs[shared->first] + " and " +
                                 outputs[shared->second] +
                                 " are the same file; every patch needs files of its own"));
    return {};
}

// ---- geometry ----

using colmap::Position;
using colmap::camera_centre;

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

// Marks "no such keypoint / point" in the position tables below.
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

// The position of each of a patch's selected records among them, by record
// id. A table indexed by id when the loaded ids are dense enough (as COLMAP's
// are: 4 bytes per id, at most 16 per loaded record), a hash map otherwise.
// Every keypoint and every track element of a patch is looked up here.
template <class Id>
class PositionById {
public:
    PositionById(Id max_loaded_id, std::size_t loaded_count, std::size_t selected_count) {
        if (max_loaded_id / kDenseIdsPerRecord <= loaded_count)
            table_.assign(static_cast<std::size_t>(max_loaded_id) + 1, kNone);
        else
            hashed_.reserve(selected_count);
    }

    void add(Id id, std::uint32_t position) {
        if (!table_.empty()) table_[static_cast<std::size_t>(id)] = position;
        else hashed_.emplace(id, position);
    }

    // kNone for an id that was not added.
    std::uint32_t find(Id id) const {
        if (!table_.empty())
            return id < table_.size() ? table_[static_cast<std::size_t>(id)] : kNone;
        auto found = hashed_.find(id);
        return found == hashed_.end() ? kNone : found->second;
    }

private:
    static constexpr Id kDenseIdsPerRecord = 4;

    std::vector<std::uint32_t> table_;
    std::unordered_map<Id, std::uint32_t> hashed_;
};

// Step 2: the loaded points inside the patch, in ascending id order, whoever
// sees them, and the position of each among them.
class PatchPoints {
public:
    PatchPoints(const colmap::Point3DMap& points, const PatchBox& box)
        : selected_(select(points, box)),
          positions_(points.empty() ? 0 : points.back().point3d_id, points.size(),
                     selected_.size()) {
        for (std::uint32_t i = 0; i < selected_.size(); ++i)
            positions_.add(selected_[i]->point3d_id, i);
    }

    const std::vector<const Point3D*>& selected() const { return selected_; }

    // Position among the selected points, or kNone for any other id
    // (a point outside the patch, a missing point, -1).
    std::uint32_t position_of(std::uint64_t id) const { return positions_.find(id); }

private:
    static std::vector<const Point3D*> select(const colmap::Point3DMap& points,
                                              const PatchBox& box) {
        std::vector<const Point3D*> selected;
        for (const Point3D& point : points)
            if (box.contains(point.xyz)) selected.push_back(&point);
        if (selected.size() >= kNone) panic("a patch holds more than 2^32 - 1 points");
        return selected;
    }

    std::vector<const Point3D*> selected_;
    PositionById<std::uint64_t> positions_;
};

// A patch image under construction, with its keypoint index map (for each
// input keypoint, its index in the patch image, or kNone if dropped) and, for
// each kept keypoint, the position of its point among the patch points.
struct PatchImage {
    Image image;
    std::vector<std::uint32_t> keypoint_index;
    std::vector<std::uint32_t> point_position;
};

// Step 1: the images whose camera centre is inside, in ascending id order.
std::vector<const Image*> select_images(const colmap::ImageMap& images, const PatchBox& box) {
    std::vector<const Image*> selected;
    for (const Image& image : images)
        if (box.contains(camera_centre(image))) selected.push_back(&image);
    return selected;
}

// The position of each selected image among them, by image id.
PositionById<std::uint32_t> positions_of(const std::vector<const Image*>& selected,
                                         const colmap::ImageMap& images) {
    PositionById<std::uint32_t> positions(images.empty() ? 0 : images.back().image_id,
                                          images.size(), selected.size());
    for (std::uint32_t i = 0; i < selected.size(); ++i) positions.add(selected[i]->image_id, i);
    return positions;
}

// The frames that took a patch image, each with only the patch images among
// its camera data (the data of other kinds of sensor stays), and the rigs
// those frames use, unchanged. A frame whose images lie in several patches
// is kept by each of them with its share of the images.
void keep_frames_and_rigs(const colmap::Model& input,
                          const PositionById<std::uint32_t>& image_positions,
                          colmap::FrameMap& frames, colmap::RigMap& rigs) {
    const auto in_patch = [&](const colmap::DataId& data) {
        return data.id <= std::numeric_limits<std::uint32_t>::max() &&
               image_positions.find(static_cast<std::uint32_t>(data.id)) != kNone;
    };
    std::vector<colmap::Frame> kept_frames;
    std::vector<std::uint32_t> rig_ids;
    for (const colmap::Frame& frame : input.frames) {
        std::vector<colmap::DataId> data_ids;
        bool takes_a_patch_image = false;
        for (const colmap::DataId& data : frame.data_ids) {
            if (data.sensor.type != colmap::kCameraSensor) {
                data_ids.push_back(data);
            } else if (in_patch(data)) {
                data_ids.push_back(data);
                takes_a_patch_image = true;
            }
        }
        if (!takes_a_patch_image) continue;
        colmap::Frame& kept = kept_frames.emplace_back();
        kept.frame_id = frame.frame_id;
        kept.rig_id = frame.rig_id;
        kept.rig_from_world = frame.rig_from_world;
        kept.data_ids = std::move(data_ids);
        rig_ids.push_back(frame.rig_id);
    }
    std::sort(rig_ids.begin(), rig_ids.end());
    rig_ids.erase(std::unique(rig_ids.begin(), rig_ids.end()), rig_ids.end());
    std::vector<colmap::Rig> kept_rigs;
    for (std::uint32_t id : rig_ids)
        if (const colmap::Rig* rig = input.rigs.find(id)) kept_rigs.push_back(*rig);
    frames = colmap::FrameMap(std::move(kept_frames));
    rigs = colmap::RigMap(std::move(kept_rigs));
}

// Step 3: the loaded cameras the patch images use, and the cameras of the
// patch's rigs, which a rig cannot be loaded without.
colmap::CameraMap cameras_used_by(const std::vector<const Image*>& images,
                                  const colmap::RigMap& rigs, const colmap::CameraMap& cameras) {
    std::vector<std::uint32_t> used_ids;
    for (const Image* image : images) used_ids.push_back(image->camera_id);
    for (const colmap::Rig& rig : rigs) {
        if (rig.ref_sensor && rig.ref_sensor->type == colmap::kCameraSensor)
            used_ids.push_back(rig.ref_sensor->id);
        for (const colmap::RigSensor& sensor : rig.sensors)
            if (sensor.sensor.type == colmap::kCameraSensor) used_ids.push_back(sensor.sensor.id);
    }
    std::sort(used_ids.begin(), used_ids.end());
    used_ids.erase(std::unique(used_ids.begin(), used_ids.end()), used_ids.end());
    std::vector<Camera> used;
    for (std::uint32_t id : used_ids)
        if (const Camera* camera = cameras.find(id)) used.push_back(*camera);
    return colmap::CameraMap(std::move(used));
}

// Step 4: each patch image with only the keypoints that observe a patch
// point, in their input order, and where each keypoint went.
std::vector<PatchImage> keep_observing_keypoints(const std::vector<const Image*>& images,
                                                 const PatchPoints& points) {
    std::vector<PatchImage> patch_images(images.size());
    for (std::size_t n = 0; n < images.size(); ++n) {
        const Image& input = *images[n];
        PatchImage& out = patch_images[n];
        out.image.image_id = input.image_id;
        out.image.qvec = input.qvec;
        out.image.tvec = input.tvec;
        out.image.camera_id = input.camera_id;
        out.image.name = input.name;
        out.keypoint_index.assign(input.points2d.size(), kNone);
        for (std::size_t i = 0; i < input.points2d.size(); ++i) {
            const std::uint32_t position = points.position_of(input.points2d[i].point3d_id);
            if (position == kNone) continue;
            out.keypoint_index[i] = static_cast<std::uint32_t>(out.image.points2d.size());
            out.image.points2d.push_back(input.points2d[i]);
            out.point_position.push_back(position);
        }
    }
    return patch_images;
}

// The observations of a point that the patch keeps, with patch keypoint
// indices, sorted by image id and then keypoint index.
std::vector<TrackElement> patch_track(const Point3D& point, const std::vector<PatchImage>& images,
                                      const PositionById<std::uint32_t>& image_positions) {
    std::vector<TrackElement> track;
    for (const TrackElement& element : point.track) {
        const std::uint32_t image = image_positions.find(element.image_id);
        if (image == kNone) continue;
        const auto& keypoint_index = images[image].keypoint_index;
        if (element.point2d_idx >= keypoint_index.size()) continue;
        const std::uint32_t kept = keypoint_index[element.point2d_idx];
        if (kept != kNone) track.push_back({element.image_id, kept});
    }
    std::sort(track.begin(), track.end());
    return track;
}

// Step 5: the patch points that keep an observation, numbered 1, 2, 3...
// in ascending order of their input ids. `new_ids` receives the new id of
// each selected point by position, 0 for a point left out.
std::vector<Point3D> renumber_points(const PatchPoints& points,
                                     const std::vector<PatchImage>& images,
                                     const PositionById<std::uint32_t>& image_positions,
                                     std::vector<std::uint64_t>& new_ids) {
    std::vector<Point3D> renumbered;
    new_ids.assign(points.selected().size(), 0);
    for (std::size_t i = 0; i < points.selected().size(); ++i) {
        const Point3D& input = *points.selected()[i];
        std::vector<TrackElement> track = patch_track(input, images, image_positions);
        if (track.empty()) continue;
        Point3D& point = renumbered.emplace_back();
        point.point3d_id = new_ids[i] = renumbered.size();
        point.xyz = input.xyz;
        point.rgb = input.rgb;
        point.error = -1.0;
        point.track = std::move(track);
    }
    return renumbered;
}

// Step 6: kept keypoints name their point's new id. A point left out in
// step 5 (only an inconsistent input leaves a kept keypoint's point without
// a kept observation) has no new id; its keypoint gets -1, as its input id
// could name a different point of the renumbered model.
void assign_new_point_ids(std::vector<PatchImage>& images,
                          const std::vector<std::uint64_t>& new_ids) {
    for (PatchImage& patch_image : images) {
        auto& keypoints = patch_image.image.points2d;
        for (std::size_t k = 0; k < keypoints.size(); ++k) {
            const std::uint64_t new_id = new_ids[patch_image.point_position[k]];
            keypoints[k].point3d_id = new_id == 0 ? colmap::kNoPoint3D : new_id;
        }
    }
}

struct PatchModel {
    colmap::CameraMap cameras;
    colmap::ImageMap images;
    colmap::Point3DMap points3d;
    colmap::RigMap rigs;
    colmap::FrameMap frames;
};

PatchModel build_patch_model(const colmap::Model& input, const PatchBox& box) {
    const std::vector<const Image*> selected_images = select_images(input.images, box);
    const PatchPoints patch_points(input.points3d, box);
    const PositionById<std::uint32_t> image_positions = positions_of(selected_images, input.images);
    PatchModel model;
    if (input.has_rigs) keep_frames_and_rigs(input, image_positions, model.frames, model.rigs);
    model.cameras = cameras_used_by(selected_images, model.rigs, input.cameras);
    std::vector<PatchImage> patch_images = keep_observing_keypoints(selected_images, patch_points);
    std::vector<std::uint64_t> new_ids;
    model.points3d = colmap::Point3DMap(
        renumber_points(patch_points, patch_images, image_positions, new_ids));
    assign_new_point_ids(patch_images, new_ids);
    std::vector<Image> finished;
    finished.reserve(patch_images.size());
    for (PatchImage& patch_image : patch_images) finished.push_back(std::move(patch_image.image));
    model.images = colmap::ImageMap(std::move(finished));
    return model;
}

// Steps 8 to 10: the directory (made again before each file, in case it
// went away), then the files in the order cameras, images, points, and for a
// model with rigs, rigs and frames; all in the input's form.
Status write_patch_model(const std::string& directory, const PatchModel& model, colmap::Form form,
                         bool has_rigs, bool save_points3d) {
    using colmap::ModelFile;
    const auto path = [&](ModelFile file) {
        return colmap::join_path(directory, colmap::model_file_name(file, form));
    };
    const auto write = [&](auto write_file, ModelFile file, const auto& records) -> Status {
        if (auto made = io::create_dir_all(directory); !made) return made;
        return write_file(path(file), records, form);
    };
    if (auto written = write(colmap::write_cameras, ModelFile::Cameras, model.cameras); !written)
        return written;
    if (auto written = write(colmap::write_images, ModelFile::Images, model.images); !written)
        return written;
    if (save_points3d)
        if (auto written = write(colmap::write_points3d, ModelFile::Points3D, model.points3d); !written)
            return written;
    if (!has_rigs) return {};
    if (auto written = write(colmap::write_rigs, ModelFile::Rigs, model.rigs); !written)
        return written;
    return write(colmap::write_frames, ModelFile::Frames, model.frames);
}

}  // namespace

Result<ColmapSplitter> ColmapSplitter::load(SplitCamerasConfig config, const InterruptPoll& poll) {
    Interrupts interrupts(poll);
    if (auto distinct = require_distinct_output_paths(config.patches); !distinct)
        return fail(distinct.error());
    if (auto apart = require_outputs_apart(config); !apart) return fail(apart.error());
    if (auto checked = interrupts.check(); !checked) return fail(checked.error());
    auto model = colmap::read_model(config.input_path);
    if (!model) return fail(model.error());
    if (auto checked = interrupts.check(); !checked) return fail(checked.error());
    if (auto resolved = colmap::check_references(*model); !resolved) return fail(resolved.error());
    ColmapSplitter splitter;
    splitter.config_ = std::move(config);
    splitter.model_ = std::move(*model);
    return splitter;
}

Result<PatchCounts> ColmapSplitter::split_patch(const CameraPatchConfig& patch) const {
    const PatchBox box{patch.min_x, patch.min_y, config_.min_z,
                       patch.max_x, patch.max_y, config_.max_z};
    const PatchModel model = build_patch_model(model_, box);
    if (auto written = write_patch_model(patch.output_path, model, model_.form, model_.has_rigs,
                                         config_.save_points3d);
        !written)
        return fail(written.error());
    return PatchCounts{1, model.cameras.size(), model.images.size(), model.points3d.size()};
}

Result<PatchCounts> ColmapSplitter::split_cameras(const InterruptPoll& poll) const {
    Interrupts interrupts(poll);
    // Each task builds its own copies and writes only below its own
    // directory; the loaded model is shared read-only.
    std::vector<Result<PatchCounts>> results(config_.patches.size());
    auto finished = parallel_pieces(config_.patches.size(), 1, interrupts,
                                    [&](std::size_t first, std::size_t last) {
        for (std::size_t i = first; i < last; ++i) results[i] = split_patch(config_.patches[i]);
    });
    if (!finished) return fail(finished.error());
    PatchCounts totals;
    for (const auto& result : results) {
        if (!result) return fail(result.error());
        totals += *result;
    }
    return totals;
}

}  // namespace larkspan::split_cameras
