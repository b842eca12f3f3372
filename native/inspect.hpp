#pragma once
// What the command line reports about its inputs: the camera centres of a
// COLMAP model, a model's counts and extent, a PLY file's header and extent.
// Read through the shared COLMAP and PLY readers, so every tool and every
// report agree on what a file holds.

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/colmap.hpp"
#include "common/error.hpp"
#include "common/ply.hpp"

namespace larkspan::inspect {

// The smallest box holding every finite position added; empty until one is.
struct Extent {
    double min_x = std::numeric_limits<double>::infinity();
    double max_x = -std::numeric_limits<double>::infinity();
    double min_y = std::numeric_limits<double>::infinity();
    double max_y = -std::numeric_limits<double>::infinity();
    double min_z = std::numeric_limits<double>::infinity();
    double max_z = -std::numeric_limits<double>::infinity();

    void add(double x, double y, double z);
    bool empty() const { return min_x > max_x; }
};

struct CameraCentre {
    std::uint32_t image_id = 0;
    colmap::Position centre{};
};

struct ModelSummary {
    bool text = false;  // the model's files are the .txt form
    std::optional<std::uint64_t> rigs, frames;  // none: a model without rig files
    std::uint64_t cameras = 0;
    std::uint64_t images = 0;
    std::uint64_t points3d = 0;
    std::uint64_t observations = 0;  // track elements over all points
    std::map<std::uint32_t, std::uint64_t> camera_models;  // model id: cameras using it
    Extent camera_centres;
    Extent points;
};

struct PlySummary {
    ply::PlyHeader header;
    std::string format;  // the format line's words after "format", or "" when there is none
    // The vertex record as the tools read it, or why they refuse it.
    Result<ply::VertexLayout> layout;
    // Over the records' x, y and z; none when the tools refuse the records or
    // the header declares no x, y and z.
    std::optional<Extent> extent;
};

// The camera centre of every image of the model in `model_dir` (binary or
// text form), ascending by image id.
Result<std::vector<CameraCentre>> camera_centres(const std::string& model_dir);

// Form, counts, camera models and extents of the model in `model_dir`.
Result<ModelSummary> model_summary(const std::string& model_dir);

// The header of a PLY file, its vertex layout and the extent of its vertex
// records, read in pieces so a file of any size is summarised in little
// memory. A header the tools refuse is still summarised, with the reason.
Result<PlySummary> ply_summary(const std::string& path);

}  // namespace larkspan::inspect
