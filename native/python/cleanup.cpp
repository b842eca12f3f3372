#include "../cleanup.hpp"

#include "args.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

PyObject* cleanup_splats(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        cleanup::CleanConfig config;
        if (!read_config_json(args, kwargs, "cleanup_splats", config)) return nullptr;
        if (auto cleaned = cleanup::cleanup_ply(config, poll_signals); !cleaned) return raise(cleaned.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef cleanup_def = {"cleanup_splats", to_cfunction(cleanup_splats), METH_VARARGS | METH_KEYWORDS,
                           "cleanup_splats(config_json)\n--\n\n"};

}  // namespace

Ref make_cleanup_splats(PyObject* module) { return make_function(&cleanup_def, module); }

}  // namespace larkspan::py
