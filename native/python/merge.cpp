#include "../merge.hpp"

#include "args.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

PyObject* merge_ply_files_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "merge_ply_files_py", {"config_json"}, bound)) return nullptr;
        std::string config_json;
        if (!to_string(bound[0], "config_json", config_json)) return nullptr;

        auto config = json::decode<merge::MergeConfig>(config_json);
        if (!config) return raise(config.error().prefixed("JSON parse error: "));
        if (auto merged = merge::merge_ply_files(*config); !merged) return raise(merged.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef merge_def = {
    "merge_ply_files_py", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(merge_ply_files_py)),
    METH_VARARGS | METH_KEYWORDS, "merge_ply_files_py(config_json)\n--\n\n"};

}  // namespace

Ref make_merge_ply_files_py(PyObject* module) { return make_function(&merge_def, module); }

}  // namespace larkspan::py
