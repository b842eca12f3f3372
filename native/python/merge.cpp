#include "../merge.hpp"

#include "args.hpp"
#include "interpreter.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

const Declaration& merge_declaration = Declaration::make(
    "", "merge_ply_files_py", Receiver::None,
    {{"config_json", "A JSON object: \"input_files\" (a list of PLY paths) and \"output_file\"."}},
    {.summary = "Concatenate PLY splat files into one.",
     .returns = "Returns None. The output carries the first input's header with the total vertex\n"
                "count, then every input's records in order; the stages are printed on\n"
                "standard output.",
     .raises = "Raises ValueError (\"JSON parse error: ...\") for a document that is not a\n"
               "configuration, for an empty input list, an output that is also an input\n"
               "and inputs whose records are laid out differently; OSError for files that\n"
               "cannot be read or written; TypeError for a config_json that is not a str.",
     .details = "The interpreter lock is released while the tool works."});

PyObject* merge_ply_files_py(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        merge::MergeConfig config;
        if (!read_config_json(args, kwargs, merge_declaration, config)) return nullptr;
        auto merged = [&] {
            ReleasedInterpreter released;
            return merge::merge_ply_files(config, [&] { return released.poll_signals(); });
        }();
        if (!merged) return raise(merged.error());
        Py_RETURN_NONE;
    });
}

}  // namespace

Ref make_merge_ply_files_py(PyObject* module) {
    return make_function(merge_declaration, to_cfunction(merge_ply_files_py), module);
}

}  // namespace larkspan::py
