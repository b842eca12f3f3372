#include "../split_cameras.hpp"

#include <cstdint>
#include <string>
#include <utility>

#include "args.hpp"
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

PyObject* split_cameras_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        split_cameras::SplitCamerasConfig config;
        if (!read_config_json(args, kwargs, "split_cameras_json", config)) return nullptr;
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;

        auto splitter = split_cameras::ColmapSplitter::load(std::move(config), poll_signals);
        if (!splitter) return raise(camera_split_error(splitter.error()));
        auto totals = splitter->split_cameras(poll_signals);
        if (!totals) return raise(camera_split_error(totals.error()));

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

PyMethodDef split_cameras_def = {"split_cameras_json", to_cfunction(split_cameras_json),
                                 METH_VARARGS | METH_KEYWORDS, "split_cameras_json(config_json)\n--\n\n"};

}  // namespace

Ref make_split_cameras_json(PyObject* module) { return make_function(&split_cameras_def, module); }

}  // namespace larkspan::py
