#include "../merge.hpp"

#include "args.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

PyObject* merge_ply_files_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        merge::MergeConfig config;
        if (!read_config_json(args, kwargs, "merge_ply_files_py", config)) return nullptr;
        if (auto merged = merge::merge_ply_files(config, poll_signals); !merged) return raise(merged.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef merge_def = {"merge_ply_files_py", to_cfunction(merge_ply_files_py),
                         METH_VARARGS | METH_KEYWORDS, "merge_ply_files_py(config_json)\n--\n\n"};

}  // namespace

Ref make_merge_ply_files_py(PyObject* module) { return make_function(&merge_def, module); }

}  // namespace larkspan::py
