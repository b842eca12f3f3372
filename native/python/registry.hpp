#pragma once
// One factory per registered name: each makes the class or function object
// that module initialisation adds to `_core`. Defined in python/<tool>.cpp.

#include "object.hpp"

namespace larkspan::py {

Ref make_cleanup_splats(PyObject* module);
Ref make_merge_ply_files_py(PyObject* module);

}  // namespace larkspan::py
