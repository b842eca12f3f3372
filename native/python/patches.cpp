// The `BoundingBox` class and the `patches` function: declarations, argument
// conversion, the planner call, and the list of boxes it returns.

#include "../patches.hpp"

#include "../common/text.hpp"
#include "args.hpp"
#include "interpreter.hpp"
#include "registry.hpp"

namespace larkspan::py {

using patches::BoundingBox;

namespace {

// ---- BoundingBox ----

const Declaration& bounding_box_declaration = Declaration::make(
    "", "BoundingBox", Receiver::None,
    {{"min_x", "Lower x bound, included."},
     {"max_x", "Upper x bound, included."},
     {"min_y", "Lower y bound, included."},
     {"max_y", "Upper y bound, included."}},
    {.summary = "An axis-aligned rectangle of the ground plane, both bounds included.",
     .returns = "Returns the box; nothing is validated (min_x may exceed max_x).",
     .raises = "Raises TypeError for a bound that is not a number."});

PyObject* bounding_box_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<4> bound{};
        if (!bounding_box_declaration.bind(args, kwargs, bound)) return nullptr;
        BoundingBox box;
        if (!to_double(bound[0], box.min_x) || !to_double(bound[1], box.max_x) ||
            !to_double(bound[2], box.min_y) || !to_double(bound[3], box.max_y))
            return nullptr;
        return new_instance_of<BoundingBox>(type, box);
    });
}

template <double (BoundingBox::*Size)() const>
PyObject* get_size(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<BoundingBox>(self), borrow)) return nullptr;
        return PyFloat_FromDouble((value_of<BoundingBox>(self).*Size)());
    });
}

PyMethodDef bounding_box_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

// width and height have no setter: assigning them is CPython's own
// read-only attribute error.
PyGetSetDef bounding_box_getset[] = {
    member_property<BoundingBox, &BoundingBox::min_x>("min_x", "Lower x bound, included."),
    member_property<BoundingBox, &BoundingBox::max_x>("max_x", "Upper x bound, included."),
    member_property<BoundingBox, &BoundingBox::min_y>("min_y", "Lower y bound, included."),
    member_property<BoundingBox, &BoundingBox::max_y>("max_y", "Upper y bound, included."),
    {"width", &get_size<&BoundingBox::width>, nullptr, "max_x - min_x (read-only).", nullptr},
    {"height", &get_size<&BoundingBox::height>, nullptr, "max_y - min_y (read-only).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- patches ----

const patches::PlanOptions kDefaults{};

const Declaration& patches_declaration = Declaration::make(
    "", "patches", Receiver::None,
    {{"camera_positions",
      "Camera ground positions (x, y): a sequence of 2-tuples of numbers, or a\n"
      "C-contiguous (N, 2) array of float64 or float32 (a numpy array, a\n"
      "memoryview), which is read without making a Python object per camera."},
     {"max_cameras", "Most cameras one buffered patch may hold; None: the default.",
      std::to_string(kDefaults.max_cameras)},
     {"buffer_meters", "Margin added on every side of every patch, also when counting\n"
                       "cameras; None: the default.",
      text::format_shortest(kDefaults.buffer)},
     {"target_bins", "Grid cells the plan aims at per axis; bounds the work; None: the\n"
                     "default.",
      std::to_string(kDefaults.target_bins)}},
    {.summary = "Plan buffered patches over camera positions.",
     .returns = "Returns a list of BoundingBox, already widened by the buffer, strips from left to\n"
                "right and bottom to top within a strip. A grid plan prints one line\n"
                "\"Created N patches (aspect cost: C)\" on standard output.",
     .raises = "Raises ValueError for no positions (\"Camera positions cannot be empty\"),\n"
               "for max_cameras or target_bins 0, a negative or NaN buffer, an array of\n"
               "another shape, a position tuple whose length is not 2, and when no plan\n"
               "exists (\"No solution found - try increasing max_cameras or reducing\n"
               "buffer\"); TypeError for values of the wrong type; OverflowError for\n"
               "negative integers.",
     .details = "No buffered patch holds more than max_cameras cameras; among such plans\n"
                "the fewest patches win, then the squarest. The interpreter lock is\n"
                "released while the plan is made."});

// One camera position: a tuple (or tuple subclass) of exactly two numbers.
bool as_position(PyObject* item, patches::Position& out) {
    return require_tuple(item) && require_tuple_length(item, 2) &&
           as_double(PyTuple_GET_ITEM(item, 0), out.x) && as_double(PyTuple_GET_ITEM(item, 1), out.y);
}

// A sequence of position tuples, or an (N, 2) float array read in place.
bool to_positions(const Argument& argument, std::vector<patches::Position>& out) {
    if (!PyObject_CheckBuffer(argument.value)) return to_vector(argument, out, as_position);
    BufferView buffer;
    if (!buffer.acquire(argument.value)) {
        prefix_argument_error(argument.name);
        return false;
    }
    return to_float_rows(buffer, argument.name, 2, out, [](const double* row) {
        return patches::Position{row[0], row[1]};
    });
}

PyObject* box_list(const std::vector<BoundingBox>& boxes) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(boxes.size())));
    if (!list) return nullptr;
    for (std::size_t index = 0; index < boxes.size(); ++index) {
        PyObject* box = new_instance<BoundingBox>(boxes[index]);
        if (box == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(index), box);  // steals
    }
    return list.release();
}

PyObject* patches_entry(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<4> bound{};
        if (!patches_declaration.bind(args, kwargs, bound)) return nullptr;
        std::vector<patches::Position> cameras;
        if (!to_positions(bound[0], cameras)) return nullptr;
        patches::PlanOptions options = kDefaults;
        if (!to_optional_uint64(bound[1], options.max_cameras) ||
            !to_optional_double(bound[2], options.buffer) ||
            !to_optional_uint64(bound[3], options.target_bins))
            return nullptr;

        auto planned = [&] {
            ReleasedInterpreter released;
            return patches::patches(cameras, options, [&] { return released.poll_signals(); });
        }();
        if (!planned) return raise(planned.error());
        return box_list(*planned);
    });
}

}  // namespace

Ref make_bounding_box(PyObject*) {
    return make_class<BoundingBox>(bounding_box_declaration, bounding_box_new, bounding_box_methods,
                                   bounding_box_getset);
}

Ref make_patches(PyObject* module) {
    return make_function(patches_declaration, to_cfunction(patches_entry), module);
}

}  // namespace larkspan::py
