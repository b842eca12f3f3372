// The OrthoCells class: declarations, argument conversion and the calls into
// the loaded file.

#include "../ortho_cells.hpp"

#include "args.hpp"
#include "interpreter.hpp"
#include "registry.hpp"

namespace larkspan::py {

namespace {

using ortho_cells::Cell;
using ortho_cells::OrthoCells;

const Declaration& ortho_cells_declaration = Declaration::make(
    "", "OrthoCells", Receiver::None,
    {{"ply_path", "The binary little-endian PLY splat file to load (str or os.PathLike)."}},
    {.summary = "A PLY splat file held in memory, cut into rectangular cells.",
     .returns = "Returns the loaded file; it keeps the header and every vertex record in memory\n"
                "until it is released.",
     .raises = "Raises the matching OSError subclass (FileNotFoundError, ...) for a file\n"
               "that cannot be read or holds fewer records than its header announces,\n"
               "ValueError for a header it cannot use (\"Invalid vertex count\", an ascii\n"
               "or big-endian format), TypeError for a ply_path that is not a path.",
     .details = "Only x, y and z of each record are decoded; every other property is\n"
                "carried through byte for byte. The interpreter lock is released while\n"
                "the file is read."});

const Declaration& get_bounds_declaration = Declaration::make(
    "OrthoCells", "get_bounds", Receiver::Instance, {},
    {.summary = "The ground-plane extent and mean height of the loaded splats.",
     .returns = "Returns (min_x, max_x, min_y, max_y, mean_z) as floats, NaN coordinates ignored;\n"
                "(inf, -inf, inf, -inf, nan) for a file without splats.",
     .raises = ""});

const Declaration& extract_all_cells_declaration = Declaration::make(
    "OrthoCells", "extract_all_cells", Receiver::Instance,
    {{"cells", "A list of tuples (min_x, max_x, min_y, max_y, output_path), bounds\n"
               "included, output_path a str or os.PathLike; further items are ignored."}},
    {.summary = "Write the splats of each cell to the cell's own PLY file.",
     .returns = "Returns None. A splat on an edge shared by cells goes into each of them; a cell\n"
                "without splats writes no file.",
     .raises = "Raises OSError after writing the other cells when a cell file cannot be\n"
               "written (each failure is also reported on standard error), ValueError for\n"
               "cells that share an output file, TypeError or IndexError for a cell that\n"
               "does not convert (before anything is written).",
     .details = "Cells are written in parallel with the interpreter lock released."});

const Declaration& write_ply_file_declaration = Declaration::make(
    "OrthoCells", "write_ply_file", Receiver::Instance,
    {{"output_path", "The PLY file to write (str or os.PathLike)."},
     {"vertex_data", "The vertex records: any C-contiguous bytes-like object (bytes,\n"
                     "bytearray, memoryview, a numpy array), written without a copy."},
     {"vertex_count", "The count written on the header's vertex element line."}},
    {.summary = "Write vertex records under the loaded file's header.",
     .returns = "Returns None.",
     .raises = "Raises the matching OSError subclass for a file that cannot be written,\n"
               "ValueError for a buffer that is not C-contiguous, TypeError for arguments\n"
               "of the wrong type, OverflowError for a negative vertex_count."});

// A cell tuple (min_x, max_x, min_y, max_y, output_path, ...); items after
// the fifth are ignored. Items are converted in order, the first failure
// raised.
bool as_cell(PyObject* item, Cell& cell) {
    if (!require_tuple(item)) return false;
    double* bounds[] = {&cell.min_x, &cell.max_x, &cell.min_y, &cell.max_y};
    for (Py_ssize_t k = 0; k < 4; ++k) {
        PyObject* value = tuple_item(item, k);
        if (value == nullptr || !as_double(value, *bounds[k])) return false;
    }
    PyObject* path = tuple_item(item, 4);
    return path != nullptr && as_path(path, cell.output_path);
}

PyObject* ortho_cells_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!ortho_cells_declaration.bind(args, kwargs, bound)) return nullptr;
        std::string ply_path;
        if (!to_path(bound[0], ply_path)) return nullptr;
        auto loaded = [&] {
            ReleasedInterpreter released;
            return ortho_cells::load(ply_path, [&] { return released.poll_signals(); });
        }();
        if (!loaded) return raise(loaded.error());
        return new_instance_of<OrthoCells>(type, std::move(*loaded));
    });
}

PyObject* get_bounds(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<OrthoCells>(self), borrow)) return nullptr;
        const auto b = [&] {
            ReleasedInterpreter released;
            return ortho_cells::get_bounds(value_of<OrthoCells>(self));
        }();
        return Py_BuildValue("(ddddd)", b.min_x, b.max_x, b.min_y, b.max_y, b.mean_z);
    });
}

PyObject* extract_all_cells(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        if (!extract_all_cells_declaration.bind(args, kwargs, bound)) return nullptr;
        std::vector<Cell> cells;
        if (!to_vector(bound[0], cells, as_cell)) return nullptr;
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<OrthoCells>(self), borrow)) return nullptr;
        auto extracted = [&] {
            ReleasedInterpreter released;
            return ortho_cells::extract_all_cells(value_of<OrthoCells>(self), cells,
                                                  [&] { return released.poll_signals(); });
        }();
        if (!extracted) return raise(extracted.error());
        Py_RETURN_NONE;
    });
}

PyObject* write_ply_file(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<3> bound{};
        if (!write_ply_file_declaration.bind(args, kwargs, bound)) return nullptr;
        std::string output_path;
        BufferView vertex_data;
        std::uint64_t vertex_count = 0;
        if (!to_path(bound[0], output_path) ||
            !to_bytes_view(bound[1], vertex_data) ||
            !to_uint64(bound[2], vertex_count))
            return nullptr;
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<OrthoCells>(self), borrow)) return nullptr;
        auto written = [&] {
            ReleasedInterpreter released;
            return ortho_cells::write_ply_file(value_of<OrthoCells>(self), output_path,
                                               vertex_data.bytes(), vertex_count,
                                               [&] { return released.poll_signals(); });
        }();
        if (!written) return raise(written.error());
        Py_RETURN_NONE;
    });
}

PyMethodDef methods[] = {
    get_bounds_declaration.method(to_cfunction(get_bounds)),
    extract_all_cells_declaration.method(to_cfunction(extract_all_cells)),
    write_ply_file_declaration.method(to_cfunction(write_ply_file)),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef no_properties[] = {{nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

Ref make_ortho_cells(PyObject*) {
    return make_class<OrthoCells>(ortho_cells_declaration, ortho_cells_new, methods, no_properties);
}

}  // namespace larkspan::py
