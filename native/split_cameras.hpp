#pragma once
// Cuts one COLMAP model into a smaller, self-consistent model per rectangle
// of the ground plane: the images whose camera centre lies in the patch, the
// cameras they use, and the 3-D points in the patch that those images see,
// renumbered from 1. A model with rigs and frames keeps them: each patch gets
// the frames of its images, holding only those images, and the rigs (and
// their cameras) those frames use. Each patch is written in the input's form,
// binary or text.

#include <cstdint>
#include <string>
#include <vector>

#include "common/colmap.hpp"
#include "common/error.hpp"
#include "common/interrupt.hpp"
#include "common/json.hpp"

namespace larkspan::split_cameras {

// One patch: bounds on x and y, all inclusive, and the directory its model
// is written to.
struct CameraPatchConfig {
    double min_x = 0;
    double min_y = 0;
    double max_x = 0;
    double max_y = 0;
    std::string output_path;
};

struct SplitCamerasConfig {
    std::string input_path;  // a model folder, binary or text
    double min_z = 0;        // inclusive height range for cameras and points
    double max_z = 0;
    bool save_points3d = false;
    std::vector<CameraPatchConfig> patches;
};

// The size of one patch model (patches is 1), or the sums over all patches.
struct PatchCounts {
    std::uint64_t patches = 0;
    std::uint64_t cameras = 0;
    std::uint64_t images = 0;
    std::uint64_t points3d = 0;

    PatchCounts& operator+=(const PatchCounts& other);
};

class ColmapSplitter {
public:
    // Refuses patches that share an output directory or an output file, and
    // outputs that are files of the input model (ValueError kind), then loads
    // the model from the input directory (cameras, images, points3D, then rigs
    // and frames if there are any); the first file that fails stops the
    // loading with the reader's error. A model whose references do not
    // resolve (an image's camera, a rig's camera, a frame's rig, an image's
    // frame) is refused, as COLMAP could not load it or its patches.
    static Result<ColmapSplitter> load(SplitCamerasConfig config, const InterruptPoll& poll = {});

    // Builds and writes every patch model, one task per patch on the pool.
    // Every patch runs to completion; if any failed, the error of the first
    // failed patch in list order is returned, else the sums of their counts.
    // After an interrupt no further patch is started, and the interrupt is
    // returned once the running ones are done.
    Result<PatchCounts> split_cameras(const InterruptPoll& poll = {}) const;

    std::uint64_t cameras_loaded() const { return model_.cameras.size(); }
    std::uint64_t images_loaded() const { return model_.images.size(); }
    std::uint64_t points3d_loaded() const { return model_.points3d.size(); }

private:
    ColmapSplitter() = default;
    Result<PatchCounts> split_patch(const CameraPatchConfig& patch) const;

    SplitCamerasConfig config_;
    colmap::Model model_;
};

}  // namespace larkspan::split_cameras

template <>
struct larkspan::json::Schema<larkspan::split_cameras::CameraPatchConfig> {
    using R = larkspan::split_cameras::CameraPatchConfig;
    static constexpr std::string_view name = "CameraPatchConfig";
    static constexpr auto fields = std::make_tuple(
        json::required("min_x", &R::min_x), json::required("min_y", &R::min_y),
        json::required("max_x", &R::max_x), json::required("max_y", &R::max_y),
        json::required("output_path", &R::output_path));
};

template <>
struct larkspan::json::Schema<larkspan::split_cameras::SplitCamerasConfig> {
    using R = larkspan::split_cameras::SplitCamerasConfig;
    static constexpr std::string_view name = "SplitCamerasConfig";
    static constexpr auto fields = std::make_tuple(
        json::required("input_path", &R::input_path), json::required("min_z", &R::min_z),
        json::required("max_z", &R::max_z), json::required("save_points3d", &R::save_points3d),
        json::required("patches", &R::patches));
};
