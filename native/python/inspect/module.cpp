// The `_inspect` module: what the command line reports about its inputs,
// read through the same COLMAP and PLY readers as the tools of `_core`.

#include "../../inspect.hpp"

#include <array>
#include <string>
#include <utility>
#include <vector>

#include "../args.hpp"
#include "../declaration.hpp"
#include "../errors.hpp"
#include "../interpreter.hpp"
#include "../object.hpp"

namespace larkspan::py {
namespace {

const Declaration& camera_centres_declaration = Declaration::make(
    "", "camera_centres", Receiver::None,
    {{"model_dir", "Folder of a COLMAP model."}},
    {.summary = "The camera centre of every image of a COLMAP model.",
     .returns = "Returns a list of (image_id, x, y, z) tuples in ascending image id order;\n"
                "the centre is -R^T t of the image's pose.",
     .raises = "Raises OSError for a model file that cannot be read."});

const Declaration& model_summary_declaration = Declaration::make(
    "", "model_summary", Receiver::None,
    {{"model_dir", "Folder of a COLMAP model, binary or text."}},
    {.summary = "Form, counts, camera models and extents of a COLMAP model.",
     .returns = "Returns a dict: \"form\" (\"binary\" or \"text\"), \"cameras\", \"images\",\n"
                "\"rigs\" and \"frames\" (None for a model without rig files), \"points3d\",\n"
                "\"observations\", \"camera_models\" ({name: cameras}), \"camera_extent\" and\n"
                "\"point_extent\", each (min_x, max_x, min_y, max_y, min_z, max_z) or None.",
     .raises = "Raises OSError for a model file that cannot be read."});

const Declaration& ply_summary_declaration = Declaration::make(
    "", "ply_summary", Receiver::None,
    {{"path", "A PLY file."}},
    {.summary = "The header of a PLY file and the extent of its records.",
     .returns = "Returns a dict: \"format\", \"vertex_count\", \"vertex_size\" (the record\n"
                "size), \"header_size\", \"properties\" of the vertex element as (type, name),\n"
                "\"refused\" (why the tools refuse the records, else None) and \"extent\" of x,\n"
                "y and z, None when the records are refused or lack x, y or z.",
     .raises = "Raises OSError for a file that cannot be read, ValueError for one that\n"
               "is not a PLY file or whose header cannot be read."});

bool one_path(PyObject* args, PyObject* kwargs, const Declaration& declaration,
              std::string& out) {
    Bound<1> bound{};
    return declaration.bind(args, kwargs, bound) && to_path(bound[0], out);
}

// (min_x, max_x, min_y, max_y, min_z, max_z), or None for an empty extent.
Ref extent_tuple(const inspect::Extent& extent) {
    if (extent.empty()) return Ref::borrow(Py_None);
    return Ref::steal(Py_BuildValue("(dddddd)", extent.min_x, extent.max_x, extent.min_y,
                                    extent.max_y, extent.min_z, extent.max_z));
}

bool set_item(PyObject* dict, const char* key, Ref value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

PyObject* camera_centres(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::string model_dir;
        if (!one_path(args, kwargs, camera_centres_declaration, model_dir)) return nullptr;
        auto centres = [&] {
            ReleasedInterpreter released;
            return inspect::camera_centres(model_dir);
        }();
        if (!centres) return raise(centres.error());
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(centres->size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < centres->size(); ++i) {
            const auto& [image_id, centre] = (*centres)[i];
            PyObject* item = Py_BuildValue("(Iddd)", image_id, centre[0], centre[1], centre[2]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* model_summary(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::string model_dir;
        if (!one_path(args, kwargs, model_summary_declaration, model_dir)) return nullptr;
        auto summary = [&] {
            ReleasedInterpreter released;
            return inspect::model_summary(model_dir);
        }();
        if (!summary) return raise(summary.error());
        Ref result = Ref::steal(PyDict_New());
        Ref models = Ref::steal(PyDict_New());
        if (!result || !models) return nullptr;
        for (const auto& [model_id, count] : summary->camera_models) {
            const std::string_view name = colmap::camera_model_name(model_id);
            Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(),
                                                             static_cast<Py_ssize_t>(name.size())));
            Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
            if (!key || !value || PyDict_SetItem(models.get(), key.get(), value.get()) < 0)
                return nullptr;
        }
        PyObject* dict = result.get();
        auto optional_count = [](const std::optional<std::uint64_t>& count) {
            return count ? Ref::steal(PyLong_FromUnsignedLongLong(*count)) : Ref::borrow(Py_None);
        };
        if (!set_item(dict, "form", Ref::steal(PyUnicode_FromString(summary->text ? "text" : "binary"))) ||
            !set_count(dict, "cameras", summary->cameras) ||
            !set_count(dict, "images", summary->images) ||
            !set_count(dict, "points3d", summary->points3d) ||
            !set_count(dict, "observations", summary->observations) ||
            !set_item(dict, "rigs", optional_count(summary->rigs)) ||
            !set_item(dict, "frames", optional_count(summary->frames)) ||
            !set_item(dict, "camera_models", std::move(models)) ||
            !set_item(dict, "camera_extent", extent_tuple(summary->camera_centres)) ||
            !set_item(dict, "point_extent", extent_tuple(summary->points)))
            return nullptr;
        return result.release();
    });
}

PyObject* ply_summary(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::string path;
        if (!one_path(args, kwargs, ply_summary_declaration, path)) return nullptr;
        auto summary = [&] {
            ReleasedInterpreter released;
            return inspect::ply_summary(path);
        }();
        if (!summary) return raise(summary.error());
        const auto& header = summary->header;
        static const std::vector<ply::PlyProperty> kNone;
        const ply::PlyElement* vertex = header.vertex_element();
        const auto& declared = vertex ? vertex->properties : kNone;
        Ref properties = Ref::steal(PyList_New(static_cast<Py_ssize_t>(declared.size())));
        if (!properties) return nullptr;
        for (std::size_t i = 0; i < declared.size(); ++i) {
            const auto& property = declared[i];
            PyObject* item = Py_BuildValue("(s#s#)", property.type_name.data(),
                                           static_cast<Py_ssize_t>(property.type_name.size()),
                                           property.name.data(),
                                           static_cast<Py_ssize_t>(property.name.size()));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(properties.get(), static_cast<Py_ssize_t>(i), item);
        }
        Ref result = Ref::steal(PyDict_New());
        if (!result) return nullptr;
        PyObject* dict = result.get();
        if (!set_item(dict, "format", Ref::steal(PyUnicode_FromStringAndSize(
                                          summary->format.data(),
                                          static_cast<Py_ssize_t>(summary->format.size())))) ||
            !set_count(dict, "vertex_count", header.vertex_count) ||
            !set_item(dict, "vertex_size", summary->layout
                                               ? Ref::steal(PyLong_FromUnsignedLongLong(
                                                     summary->layout->record_size))
                                               : Ref::borrow(Py_None)) ||
            !set_item(dict, "refused", summary->layout
                                           ? Ref::borrow(Py_None)
                                           : Ref::steal(PyUnicode_FromStringAndSize(
                                                 summary->layout.error().message.data(),
                                                 static_cast<Py_ssize_t>(
                                                     summary->layout.error().message.size())))) ||
            !set_count(dict, "header_size", header.header_size) ||
            !set_item(dict, "properties", std::move(properties)) ||
            !set_item(dict, "extent", summary->extent ? extent_tuple(*summary->extent)
                                                      : Ref::borrow(Py_None)))
            return nullptr;
        return result.release();
    });
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_inspect",
    "What the command line reports about its inputs: camera centres and summaries\n"
    "of COLMAP models and PLY files.",
    -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* init_module() {
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    const std::pair<const Declaration*, PyCFunction> functions[] = {
        {&camera_centres_declaration, to_cfunction(camera_centres)},
        {&model_summary_declaration, to_cfunction(model_summary)},
        {&ply_summary_declaration, to_cfunction(ply_summary)},
    };
    for (const auto& [declaration, function] : functions) {
        Ref object = make_function(*declaration, function, module.get());
        if (!object || PyModule_AddObjectRef(module.get(), declaration->name(), object.get()) < 0)
            return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace larkspan::py

PyMODINIT_FUNC PyInit__inspect(void) {
    return larkspan::py::guarded([] { return larkspan::py::init_module(); });
}
