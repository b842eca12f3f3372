// The Config and Patch classes and split_ply: argument conversion, the
// interrupt poll the pipeline calls back into, and the result dictionary.

#include "../split_point_cloud.hpp"

#include "args.hpp"
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

// ---- Patch ----

PyObject* patch_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "Patch", {"output_file"}, bound)) return nullptr;
        Patch patch;
        if (!to_string(bound[0], "output_file", patch.output_file)) return nullptr;
        return new_instance_of<Patch>(type, std::move(patch));
    });
}

PyObject* patch_with_bounds(PyObject* cls, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 5> bound{};
        if (!bind(args, kwargs, "Patch.with_bounds", {"output_file", "min_x", "min_y", "max_x", "max_y"},
                  bound))
            return nullptr;
        Patch patch;
        if (!to_string(bound[0], "output_file", patch.output_file) ||
            !to_f64(bound[1], "min_x", patch.min_x) || !to_f64(bound[2], "min_y", patch.min_y) ||
            !to_f64(bound[3], "max_x", patch.max_x) || !to_f64(bound[4], "max_y", patch.max_y))
            return nullptr;
        return new_instance_of<Patch>(reinterpret_cast<PyTypeObject*>(cls), std::move(patch));
    });
}

PyMethodDef patch_methods[] = {
    {"with_bounds", to_cfunction(patch_with_bounds), METH_VARARGS | METH_KEYWORDS | METH_CLASS,
     "with_bounds($cls, output_file, min_x, min_y, max_x, max_y)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef patch_properties[] = {
    member_property<Patch, &Patch::output_file>("output_file"),
    member_property<Patch, &Patch::min_x>("min_x"),
    member_property<Patch, &Patch::min_y>("min_y"),
    member_property<Patch, &Patch::max_x>("max_x"),
    member_property<Patch, &Patch::max_y>("max_y"),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Config ----

PyObject* config_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "Config", {"input_file"}, bound)) return nullptr;
        Config config;
        if (!to_string(bound[0], "input_file", config.input_file)) return nullptr;
        return new_instance_of<Config>(type, std::move(config));
    });
}

PyObject* config_add_patch(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "Config.add_patch", {"patch"}, bound)) return nullptr;
        if (!to_instance<Patch>(bound[0], "patch", "Patch")) return nullptr;
        Patch patch;
        if (!patch_value(bound[0], patch)) return nullptr;
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
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "Config.from_json", {"json_str"}, bound)) return nullptr;
        std::string text;
        if (!to_string(bound[0], "json_str", text)) return nullptr;
        return new_config(split_point_cloud::config_from_json(text));
    });
}

PyObject* config_from_file(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "Config.from_file", {"file_path"}, bound)) return nullptr;
        std::string path;
        if (!to_string(bound[0], "file_path", path)) return nullptr;
        return new_config(split_point_cloud::config_from_file(path));
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
    {"add_patch", to_cfunction(config_add_patch), METH_VARARGS | METH_KEYWORDS,
     "add_patch($self, patch)\n--\n\n"},
    {"from_json", to_cfunction(config_from_json), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_json(json_str)\n--\n\n"},
    {"from_file", to_cfunction(config_from_file), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_file(file_path)\n--\n\n"},
    {"to_json", to_cfunction(config_to_json), METH_NOARGS, "to_json($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef config_properties[] = {
    member_property<Config, &Config::input_file>("input_file"),
    member_property<Config, &Config::sample_percentage>("sample_percentage"),
    member_property<Config, &Config::min_z>("min_z"),
    member_property<Config, &Config::max_z>("max_z"),
    {"patches", config_get_patches, config_set_patches, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- split_ply ----

PyObject* split_ply(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "split_ply", {"config"}, bound)) return nullptr;
        if (!to_instance<Config>(bound[0], "config", "Config")) return nullptr;
        // The Config stays borrowed for the whole call: a signal handler that
        // tries to change it gets "Already borrowed".
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<Config>(bound[0]), borrow)) return nullptr;

        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        auto counts = split_point_cloud::split_ply(value_of<Config>(bound[0]), poll_signals);
        if (!counts) return raise(counts.error());
        if (!set_count(result.get(), "points_loaded", counts->points_loaded) ||
            !set_count(result.get(), "total_points_written", counts->total_points_written) ||
            !set_count(result.get(), "patches_written", counts->patches_written))
            return nullptr;
        return result.release();
    });
}

PyMethodDef split_ply_def = {"split_ply", to_cfunction(split_ply), METH_VARARGS | METH_KEYWORDS,
                             "split_ply(config)\n--\n\n"};

}  // namespace

Ref make_config(PyObject*) {
    return make_class<Config>("Config", "Config(input_file)\n--\n\n", config_new, config_methods,
                              config_properties);
}

Ref make_patch(PyObject*) {
    return make_class<Patch>("Patch", "Patch(output_file)\n--\n\n", patch_new, patch_methods,
                             patch_properties);
}

Ref make_split_ply(PyObject* module) { return make_function(&split_ply_def, module); }

}  // namespace larkspan::py
