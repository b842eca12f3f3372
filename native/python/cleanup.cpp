#include "../cleanup.hpp"

#include "args.hpp"
#include "interpreter.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

const Declaration& cleanup_declaration = Declaration::make(
    "", "cleanup_splats", Receiver::None,
    {{"config_json",
      "A JSON object: \"input_file\", \"output_file\" and \"max_area\" (the scale\n"
      "limit); optionally \"discarded_file\", the box bounds \"min_x\" ... \"max_z\",\n"
      "and \"colmap_points_file\" with \"min_neighbors\" and \"radius\"."}},
    {.summary = "Keep the splats of a PLY file that pass the box, neighbour and scale tests.",
     .returns = "Returns None. Writes the kept splats (and, when configured, the discarded ones)\n"
                "under the input's header with only the vertex count changed, and prints\n"
                "its stages with their times on standard output.",
     .raises = "Raises ValueError (\"JSON parse error: ...\") for a document that is not a\n"
               "configuration and for values or outputs it refuses, OSError for files that\n"
               "cannot be read or written, TypeError for a config_json that is not a str.",
     .details = "The interpreter lock is released while the tool works."});

PyObject* cleanup_splats(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        cleanup::CleanConfig config;
        if (!read_config_json(args, kwargs, cleanup_declaration, config)) return nullptr;
        auto cleaned = [&] {
            ReleasedInterpreter released;
            return cleanup::cleanup_ply(config, [&] { return released.poll_signals(); });
        }();
        if (!cleaned) return raise(cleaned.error());
        Py_RETURN_NONE;
    });
}

}  // namespace

Ref make_cleanup_splats(PyObject* module) {
    return make_function(cleanup_declaration, to_cfunction(cleanup_splats), module);
}

}  // namespace larkspan::py
