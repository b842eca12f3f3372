// The `_core` module: single-phase initialisation, bound to the first
// interpreter that imports it, with its names registered in a fixed order.

#include <atomic>
#include <cstdint>

#include "python/errors.hpp"
#include "python/object.hpp"
#include "python/registry.hpp"

namespace larkspan::py {
namespace {

struct Registration {
    const char* name;
    Ref (*make)(PyObject* module);
};

// The registration order is the order of `__all__`.
constexpr Registration kRegistrations[] = {
    {"Config", make_config},
    {"Patch", make_patch},
    {"split_ply", make_split_ply},
    {"BoundingBox", make_bounding_box},
    {"patches", make_patches},
    {"cleanup_splats", make_cleanup_splats},
    {"merge_ply_files_py", make_merge_ply_files_py},
    {"split_cameras_json", make_split_cameras_json},
    {"OrthoCells", make_ortho_cells},
};

// m_size 0 rather than -1: CPython then calls the init function again on
// every re-import (instead of copying a cached module dict), so the
// interpreter check and the one-module-per-process rule always run.
PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_core",
    "The main native module of larkspan.splat.",
    0,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> owner_interpreter{kNoInterpreter};
PyObject* the_module = nullptr;  // kept for the life of the process

bool add_to_all(PyObject* module, const char* name) {
    PyObject* all = PyDict_GetItemString(PyModule_GetDict(module), "__all__");  // borrowed
    Ref created;
    if (all == nullptr) {
        created = Ref::steal(PyList_New(0));
        if (!created || PyModule_AddObjectRef(module, "__all__", created.get()) < 0) return false;
        all = created.get();
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    return text && PyList_Append(all, text.get()) == 0;
}

bool register_all(PyObject* module) {
    for (const Registration& entry : kRegistrations) {
        if (!add_to_all(module, entry.name)) return false;
        Ref object = entry.make(module);
        if (!object || PyModule_AddObjectRef(module, entry.name, object.get()) < 0) return false;
    }
    return true;
}

bool claim_interpreter() {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return false;
    }
    std::int64_t expected = kNoInterpreter;
    if (owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
    PyErr_SetString(PyExc_ImportError,
                    "larkspan.splat._core does not support sub-interpreters: it is already "
                    "loaded in another interpreter of this process");
    return false;
}

PyObject* init_module() {
    if (!claim_interpreter()) return nullptr;
    if (the_module != nullptr) return Py_NewRef(the_module);
    Ref module = Ref::steal(PyModule_Create(&module_def));
    if (!module || !register_all(module.get())) return nullptr;
    the_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace larkspan::py

PyMODINIT_FUNC PyInit__core(void) {
    return larkspan::py::guarded([] { return larkspan::py::init_module(); });
}
