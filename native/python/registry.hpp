#pragma once
// One factory per registered name: each makes the class or function object
// that module initialisation adds to `_core`. Defined in python/<tool>.cpp.

#include "object.hpp"

namespace larkspan::py {

Ref make_config(PyObject* module);
Ref make_patch(PyObject* module);
Ref make_split_ply(PyObject* module);
Ref make_bounding_box(PyObject* module);
Ref make_patches(PyObject* module);
Ref make_cleanup_splats(PyObject* module);
Ref make_merge_ply_files_py(PyObject* module);
Ref make_split_cameras_json(PyObject* module);
Ref make_ortho_cells(PyObject* module);

}  // namespace larkspan::py
