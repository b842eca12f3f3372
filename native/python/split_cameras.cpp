#include "../split_cameras.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
#include "interpreter.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

// Loading and splitting failures are raised as RuntimeError under the step's
// prefix; a refused configuration stays a ValueError, an interrupt a
// KeyboardInterrupt.
Error camera_split_error(const Error& error) {
    if (error.kind == ErrorKind::Value || error.kind == ErrorKind::Interrupted) return error;
    return error.as(ErrorKind::Runtime, "Camera splitting failed: ");
}

const Declaration& split_cameras_declaration = Declaration::make(
    "", "split_cameras_json", Receiver::None,
    {{"config_json",
      "A JSON object: \"input_path\" (the folder of a COLMAP binary model),\n"
      "\"min_z\" and \"max_z\", \"save_points3d\", and \"patches\": rectangles\n"
      "(\"min_x\", \"min_y\", \"max_x\", \"max_y\", bounds included) each with the\n"
      "\"output_path\" folder its model is written to."}},
    {.summary = "Cut a COLMAP binary model into one self-consistent model per patch.",
     .returns = "Returns a dict of counts: \"cameras_loaded\", \"images_loaded\", \"points3d_loaded\",\n"
                "\"patches_written\", \"total_cameras_written\", \"total_images_written\",\n"
                "\"total_points3d_written\".",
     .raises = "Raises ValueError (\"JSON parse error: ...\") for a document that is not a\n"
               "configuration, RuntimeError (\"Camera splitting failed: ...\") for a model\n"
               "that cannot be read or a patch that cannot be written, TypeError for a\n"
               "config_json that is not a str.",
     .details = "Each patch keeps the images whose camera centre lies in it, the cameras\n"
                "they use and the points they see inside it, renumbered. The interpreter\n"
                "lock is released while the tool works."});

PyObject* split_cameras_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        split_cameras::SplitCamerasConfig config;
        if (!read_config_json(args, kwargs, split_cameras_declaration, config)) return nullptr;
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;

        std::optional<split_cameras::ColmapSplitter> splitter;
        auto totals = [&]() -> Result<split_cameras::PatchCounts> {
            ReleasedInterpreter released;
            const InterruptPoll poll = [&] { return released.poll_signals(); };
            auto loaded = split_cameras::ColmapSplitter::load(std::move(config), poll);
            if (!loaded) return fail(camera_split_error(loaded.error()));
            splitter.emplace(std::move(*loaded));
            auto split = splitter->split_cameras(poll);
            if (!split) return fail(camera_split_error(split.error()));
            return split;
        }();
        if (!totals) return raise(totals.error());

        PyObject* dict = result.get();
        if (!set_count(dict, "cameras_loaded", splitter->cameras_loaded()) ||
            !set_count(dict, "images_loaded", splitter->images_loaded()) ||
            !set_count(dict, "points3d_loaded", splitter->points3d_loaded()) ||
            !set_count(dict, "patches_written", totals->patches) ||
            !set_count(dict, "total_cameras_written", totals->cameras) ||
            !set_count(dict, "total_images_written", totals->images) ||
            !set_count(dict, "total_points3d_written", totals->points3d))
            return nullptr;
        return result.release();
    });
}

}  // namespace

Ref make_split_cameras_json(PyObject* module) {
    return make_function(split_cameras_declaration, to_cfunction(split_cameras_json), module);
}

}  // namespace larkspan::py
