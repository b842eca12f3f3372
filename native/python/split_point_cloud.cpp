// The Config and Patch classes and split_ply: declarations, argument
// conversion, the interrupt poll the pipeline calls back into, and the result
// dictionary.

#include "../split_point_cloud.hpp"

#include "args.hpp"
#include "interpreter.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

using split_point_cloud::Config;
using split_point_cloud::Patch;

PyObject* new_str(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A copy of the Patch held by a Python object.
bool patch_value(PyObject* object, Patch& out) {
    SharedBorrow borrow;
    if (!SharedBorrow::acquire(flag_of<Patch>(object), borrow)) return false;
    out = value_of<Patch>(object);
    return true;
}

const char* const kPathHelp = "A str or os.PathLike path.";

// ---- Patch ----

const Declaration& patch_declaration = Declaration::make(
    "", "Patch", Receiver::None,
    {{"output_file", "The COLMAP points file written for this patch (str or os.PathLike)."}},
    {.summary = "A ground-plane rectangle and the file that receives the points inside it.",
     .returns = "Returns a patch covering the whole plane: every bound is infinite until set.",
     .raises = "Raises TypeError for an output_file that is not a path.",
     .details = "A point (x, y) lies in the patch when min_x <= x < max_x and\n"
                "min_y <= y < max_y. Patches may overlap; bounds are not checked."});

const Declaration& with_bounds_declaration = Declaration::make(
    "Patch", "with_bounds", Receiver::Class,
    {{"output_file", "The COLMAP points file written for this patch (str or os.PathLike)."},
     {"min_x", "Lower x bound, included."},
     {"min_y", "Lower y bound, included."},
     {"max_x", "Upper x bound, excluded."},
     {"max_y", "Upper y bound, excluded."}},
    {.summary = "Make a patch with the given output file and bounds.",
     .returns = "Returns the new Patch.",
     .raises = "Raises TypeError for a path or bound of the wrong type."});

PyObject* patch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!patch_declaration.bind(args, kwargs, bound)) return nullptr;
        Patch patch;
        if (!to_path(bound[0], patch.output_file)) return nullptr;
        return new_instance_of<Patch>(type, std::move(patch));
    });
}

PyObject* patch_with_bounds(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<5> bound{};
        if (!with_bounds_declaration.bind(args, kwargs, bound)) return nullptr;
        Patch patch;
        if (!to_path(bound[0], patch.output_file) ||
            !to_double(bound[1], patch.min_x) || !to_double(bound[2], patch.min_y) ||
            !to_double(bound[3], patch.max_x) || !to_double(bound[4], patch.max_y))
            return nullptr;
        return new_instance_of<Patch>(reinterpret_cast<PyTypeObject*>(cls), std::move(patch));
    });
}

PyMethodDef patch_methods[] = {
    with_bounds_declaration.method(to_cfunction(patch_with_bounds)),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef patch_properties[] = {
    member_property<Patch, &Patch::output_file>(
        "output_file", "The COLMAP points file written for this patch; set from a str or os.PathLike."),
    member_property<Patch, &Patch::min_x>("min_x", "Lower x bound, included."),
    member_property<Patch, &Patch::min_y>("min_y", "Lower y bound, included."),
    member_property<Patch, &Patch::max_x>("max_x", "Upper x bound, excluded."),
    member_property<Patch, &Patch::max_y>("max_y", "Upper y bound, excluded."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Config ----

const Declaration& config_declaration = Declaration::make(
    "", "Config", Receiver::None,
    {{"input_file", "The PLY point cloud to split (str or os.PathLike)."}},
    {.summary = "What split_ply reads, keeps and writes.",
     .returns = "Returns a configuration that keeps every point (sample_percentage 100.0, an\n"
                "unbounded height range) and has no patches yet.",
     .raises = "Raises TypeError for an input_file that is not a path.",
     .details = "The input PLY file, the share of its points to keep, the height range\n"
                "[min_z, max_z) and the output patches. A Config holds copies of its\n"
                "patches, never the Patch objects passed in."});

const Declaration& add_patch_declaration = Declaration::make(
    "Config", "add_patch", Receiver::Instance,
    {{"patch", "The Patch to append; later changes to it do not reach the Config."}},
    {.summary = "Append a copy of a patch to the configuration's patches.",
     .returns = "Returns None.",
     .raises = "Raises TypeError for anything but a Patch, RuntimeError (\"Already\n"
               "borrowed\") while split_ply is reading this Config."});

const Declaration& from_json_declaration = Declaration::make(
    "Config", "from_json", Receiver::Static,
    {{"json_str", "A JSON object with \"input_file\", \"patches\" and optionally\n"
                  "\"sample_percentage\", \"minZ\" and \"maxZ\" (or an array of the five)."}},
    {.summary = "Read a configuration from JSON text.",
     .returns = "Returns a new Config.",
     .raises = "Raises ValueError (\"JSON parse error: ...\", with line and column) for text\n"
               "that is not such a document, TypeError for a json_str that is not a str."});

const Declaration& from_file_declaration = Declaration::make(
    "Config", "from_file", Receiver::Static,
    {{"file_path", "A UTF-8 JSON file as from_json reads it (str or os.PathLike)."}},
    {.summary = "Read a configuration from a JSON file.",
     .returns = "Returns a new Config.",
     .raises = "Raises OSError (\"File read error: ...\") for a file that cannot be read or\n"
               "is not UTF-8, ValueError (\"JSON parse error: ...\") for its contents as\n"
               "from_json does, TypeError for a file_path that is not a path."});

const Declaration& to_json_declaration = Declaration::make(
    "Config", "to_json", Receiver::Instance, {},
    {.summary = "Write the configuration as JSON text.",
     .returns = "Returns pretty-printed JSON (two-space indent) that from_json reads back; infinite\n"
                "bounds are written as null.",
     .raises = "Raises ValueError (\"JSON serialize error: ...\") if the writer fails."});

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!config_declaration.bind(args, kwargs, bound)) return nullptr;
        Config config;
        if (!to_path(bound[0], config.input_file)) return nullptr;
        return new_instance_of<Config>(type, std::move(config));
    });
}

PyObject* config_add_patch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!add_patch_declaration.bind(args, kwargs, bound)) return nullptr;
        if (!to_instance<Patch>(bound[0], "Patch")) return nullptr;
        Patch patch;
        if (!patch_value(bound[0].value, patch)) return nullptr;
        ExclusiveBorrow borrow;
        if (!ExclusiveBorrow::acquire(flag_of<Config>(self), borrow)) return nullptr;
        value_of<Config>(self).patches.push_back(std::move(patch));
        Py_RETURN_NONE;
    });
}

PyObject* new_config(Result<Config> config) {
    if (!config) return raise(config.error());
    return new_instance<Config>(std::move(*config));
}

PyObject* config_from_json(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!from_json_declaration.bind(args, kwargs, bound)) return nullptr;
        std::string text;
        if (!to_text(bound[0], text)) return nullptr;
        return new_config(split_point_cloud::config_from_json(text));
    });
}

PyObject* config_from_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!from_file_declaration.bind(args, kwargs, bound)) return nullptr;
        std::string path;
        if (!to_path(bound[0], path)) return nullptr;
        auto config = [&] {
            ReleasedInterpreter released;
            return split_point_cloud::config_from_file(path);
        }();
        return new_config(std::move(config));
    });
}

PyObject* config_to_json(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<Config>(self), borrow)) return nullptr;
        return new_str(split_point_cloud::config_to_json(value_of<Config>(self)));
    });
}

PyObject* config_get_patches(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<Config>(self), borrow)) return nullptr;
        const auto& patches = value_of<Config>(self).patches;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(patches.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < patches.size(); ++i) {
            PyObject* patch = new_instance<Patch>(patches[i]);
            if (patch == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), patch);  // steals
        }
        return list.release();
    });
}

int config_set_patches(PyObject* self, PyObject* value, void*) {
    return guarded([&]() -> int {
        if (value == nullptr) return refuse_delete();
        std::vector<Patch> patches;
        const bool converted = to_vector(value, "patches", patches, [](PyObject* item, Patch& out) {
            return as_instance(item, ClassOf<Patch>::type, "Patch") && patch_value(item, out);
        });
        if (!converted) return -1;
        ExclusiveBorrow borrow;
        if (!ExclusiveBorrow::acquire(flag_of<Config>(self), borrow)) return -1;
        value_of<Config>(self).patches = std::move(patches);
        return 0;
    });
}

PyMethodDef config_methods[] = {
    add_patch_declaration.method(to_cfunction(config_add_patch)),
    from_json_declaration.method(to_cfunction(config_from_json)),
    from_file_declaration.method(to_cfunction(config_from_file)),
    to_json_declaration.method(to_cfunction(config_to_json)),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef config_properties[] = {
    member_property<Config, &Config::input_file>(
        "input_file", "The PLY point cloud to split; set from a str or os.PathLike."),
    member_property<Config, &Config::sample_percentage>(
        "sample_percentage", "Percentage of the points in the height range to keep (100.0: all)."),
    member_property<Config, &Config::min_z>("min_z", "Lower height bound, included."),
    member_property<Config, &Config::max_z>("max_z", "Upper height bound, excluded."),
    {"patches", config_get_patches, config_set_patches,
     "The patches in output order: reading gives a new list of copies, assigning\n"
     "a sequence of Patch objects stores copies of them.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- split_ply ----

const Declaration& split_ply_declaration = Declaration::make(
    "", "split_ply", Receiver::None,
    {{"config", "The Config naming the input PLY file, the share of points to keep, the\n"
                "height range and the patches."}},
    {.summary = "Split a PLY point cloud into one COLMAP points file per patch.",
     .returns = "Returns a dict of counts: \"points_loaded\" (points kept after the height range and\n"
                "sampling), \"total_points_written\" and \"patches_written\" (patches that\n"
                "received at least one point; an empty patch writes no file).",
     .raises = "Raises OSError (\"PLY read error: ...\", \"Write error: ...\") for files that\n"
               "cannot be read or written, ValueError for outputs that would share a file,\n"
               "KeyboardInterrupt on Ctrl-C, RuntimeError (\"Thread join failed\") for a\n"
               "writer that ended abnormally, TypeError for anything but a Config.",
     .details = "The interpreter lock is released while the tool works; the Config is\n"
                "borrowed meanwhile, so changing it from another thread raises\n"
                "RuntimeError (\"Already borrowed\")."});

PyObject* split_ply(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!split_ply_declaration.bind(args, kwargs, bound)) return nullptr;
        if (!to_instance<Config>(bound[0], "Config")) return nullptr;
        // The Config stays borrowed for the whole call: another thread (or a
        // signal handler) that tries to change it gets "Already borrowed".
        Ref config = Ref::borrow(bound[0].value);
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<Config>(config.get()), borrow)) return nullptr;

        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        auto counts = [&] {
            ReleasedInterpreter released;
            return split_point_cloud::split_ply(value_of<Config>(config.get()),
                                                [&] { return released.poll_signals(); });
        }();
        if (!counts) return raise(counts.error());
        if (!set_count(result.get(), "points_loaded", counts->points_loaded) ||
            !set_count(result.get(), "total_points_written", counts->total_points_written) ||
            !set_count(result.get(), "patches_written", counts->patches_written))
            return nullptr;
        return result.release();
    });
}

}  // namespace

Ref make_config(PyObject*) {
    return make_class<Config>(config_declaration, config_new, config_methods, config_properties);
}

Ref make_patch(PyObject*) {
    return make_class<Patch>(patch_declaration, patch_new, patch_methods, patch_properties);
}

Ref make_split_ply(PyObject* module) {
    return make_function(split_ply_declaration, to_cfunction(split_ply), module);
}

}  // namespace larkspan::py
