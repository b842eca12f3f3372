#include "../ortho_cells.hpp"

#include "args.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

using ortho_cells::Cell;
using ortho_cells::OrthoCells;

PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) {
    if (index < PyTuple_GET_SIZE(tuple)) return PyTuple_GET_ITEM(tuple, index);
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
}

// A cell tuple (min_x, max_x, min_y, max_y, output_path, ...); items after
// the fifth are ignored. Items are converted in order, the first failure
// raised.
bool as_cell(PyObject* item, Cell& cell) {
    if (!PyTuple_Check(item)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'", Py_TYPE(item)->tp_name);
        return false;
    }
    double* bounds[] = {&cell.min_x, &cell.max_x, &cell.min_y, &cell.max_y};
    for (Py_ssize_t k = 0; k < 4; ++k) {
        PyObject* value = tuple_item(item, k);
        if (value == nullptr || !as_f64(value, *bounds[k])) return false;
    }
    PyObject* path = tuple_item(item, 4);
    return path != nullptr && as_string(path, cell.output_path);
}

// A non-negative int (or an object with __index__); a negative one raises
// OverflowError unchanged.
bool to_u64(PyObject* value, const char* name, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) {
        prefix_argument_error(name);
        return false;
    }
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_argument_error(name);
        return false;
    }
    out = converted;
    return true;
}

bool to_bytes(PyObject* value, const char* name, std::span<const char>& out) {
    if (!PyBytes_Check(value)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'bytes'", Py_TYPE(value)->tp_name);
        prefix_argument_error(name);
        return false;
    }
    out = {PyBytes_AS_STRING(value), static_cast<std::size_t>(PyBytes_GET_SIZE(value))};
    return true;
}

PyObject* ortho_cells_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "OrthoCells", {"ply_path"}, bound)) return nullptr;
        std::string ply_path;
        if (!to_string(bound[0], "ply_path", ply_path)) return nullptr;
        auto loaded = ortho_cells::load(ply_path, poll_signals);
        if (!loaded) return raise(loaded.error());
        return new_instance_of<OrthoCells>(type, std::move(*loaded));
    });
}

PyObject* get_bounds(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<OrthoCells>(self), borrow)) return nullptr;
        const auto b = ortho_cells::get_bounds(value_of<OrthoCells>(self));
        return Py_BuildValue("(ddddd)", b.min_x, b.max_x, b.min_y, b.max_y, b.mean_z);
    });
}

PyObject* extract_all_cells(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};
        if (!bind(args, kwargs, "OrthoCells.extract_all_cells", {"cells"}, bound)) return nullptr;
        std::vector<Cell> cells;
        if (!to_vector(bound[0], "cells", cells, as_cell)) return nullptr;
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<OrthoCells>(self), borrow)) return nullptr;
        if (auto extracted = ortho_cells::extract_all_cells(value_of<OrthoCells>(self), cells, poll_signals); !extracted)
            return raise(extracted.error());
        Py_RETURN_NONE;
    });
}

PyObject* write_ply_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 3> bound{};
        if (!bind(args, kwargs, "OrthoCells.write_ply_file", {"output_path", "vertex_data", "vertex_count"}, bound))
            return nullptr;
        std::string output_path;
        std::span<const char> vertex_data;
        std::uint64_t vertex_count = 0;
        if (!to_string(bound[0], "output_path", output_path) ||
            !to_bytes(bound[1], "vertex_data", vertex_data) ||
            !to_u64(bound[2], "vertex_count", vertex_count))
            return nullptr;
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<OrthoCells>(self), borrow)) return nullptr;
        auto written = ortho_cells::write_ply_file(value_of<OrthoCells>(self), output_path, vertex_data,
                                                   vertex_count, poll_signals);
        if (!written) return raise(written.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef methods[] = {
    {"get_bounds", to_cfunction(get_bounds), METH_NOARGS, "get_bounds($self)\n--\n\n"},
    {"extract_all_cells", to_cfunction(extract_all_cells), METH_VARARGS | METH_KEYWORDS,
     "extract_all_cells($self, cells)\n--\n\n"},
    {"write_ply_file", to_cfunction(write_ply_file), METH_VARARGS | METH_KEYWORDS,
     "write_ply_file($self, output_path, vertex_data, vertex_count)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef no_properties[] = {{nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

Ref make_ortho_cells(PyObject*) {
    return make_class<OrthoCells>("OrthoCells", "OrthoCells(ply_path)\n--\n\n", ortho_cells_new, methods,
                                  no_properties);
}

}  // namespace larkspan::py
