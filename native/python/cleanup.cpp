#include "../cleanup.hpp"

#include "args.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

PyObject* cleanup_splats(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "cleanup_splats", {"config_json"}, bound)) return nullptr;
        std::string config_json;
        if (!to_string(bound[0], "config_json", config_json)) return nullptr;

        auto config = json::decode<cleanup::CleanConfig>(config_json);
        if (!config) return raise(config.error().prefixed("JSON parse error: "));
        if (auto cleaned = cleanup::cleanup_ply(*config); !cleaned) return raise(cleaned.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef cleanup_def = {
    "cleanup_splats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(cleanup_splats)),
    METH_VARARGS | METH_KEYWORDS, "cleanup_splats(config_json)\n--\n\n"};

}  // namespace

Ref make_cleanup_splats(PyObject* module) { return make_function(&cleanup_def, module); }

}  // namespace larkspan::py
