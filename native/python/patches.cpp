// The `BoundingBox` class and the `patches` function: argument conversion,
// the planner call, and the list of boxes it returns.

#include "../patches.hpp"

#include "args.hpp"
#include "registry.hpp"

namespace larkspan::py {

using patches::BoundingBox;

namespace {

// ---- BoundingBox ----

PyObject* bounding_box_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, 4> bound{};
        if (!bind(args, kwargs, "BoundingBox", {"min_x", "max_x", "min_y", "max_y"}, bound))
            return nullptr;
        BoundingBox box;
        if (!to_f64(bound[0], "min_x", box.min_x) || !to_f64(bound[1], "max_x", box.max_x) ||
            !to_f64(bound[2], "min_y", box.min_y) || !to_f64(bound[3], "max_y", box.max_y))
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
    member_property<BoundingBox, &BoundingBox::min_x>("min_x"),
    member_property<BoundingBox, &BoundingBox::max_x>("max_x"),
    member_property<BoundingBox, &BoundingBox::min_y>("min_y"),
    member_property<BoundingBox, &BoundingBox::max_y>("max_y"),
    {"width", &get_size<&BoundingBox::width>, nullptr, nullptr, nullptr},
    {"height", &get_size<&BoundingBox::height>, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- patches ----

// One camera position: a tuple (or tuple subclass) of exactly two numbers.
bool as_position(PyObject* item, patches::Position& out) {
    if (!PyTuple_Check(item)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'tuple'",
                     Py_TYPE(item)->tp_name);
        return false;
    }
    const Py_ssize_t size = PyTuple_GET_SIZE(item);
    if (size != 2) {
        PyErr_Format(PyExc_ValueError, "expected tuple of length 2, but got tuple of length %zd",
                     size);
        return false;
    }
    return as_f64(PyTuple_GET_ITEM(item, 0), out.x) && as_f64(PyTuple_GET_ITEM(item, 1), out.y);
}

// None selects the default kept in `out`.
bool to_optional_u64(PyObject* value, const char* name, std::uint64_t& out) {
    return value == Py_None || to_u64(value, name, out);
}

bool to_optional_f64(PyObject* value, const char* name, double& out) {
    return value == Py_None || to_f64(value, name, out);
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
        std::array<PyObject*, 4> bound{};
        if (!bind(args, kwargs, "patches",
                  {"camera_positions", "max_cameras", "buffer_meters", "target_bins"}, bound))
            return nullptr;
        std::vector<patches::Position> cameras;
        if (!to_vector(bound[0], "camera_positions", cameras, as_position)) return nullptr;
        patches::PlanOptions options;
        if (!to_optional_u64(bound[1], "max_cameras", options.max_cameras) ||
            !to_optional_f64(bound[2], "buffer_meters", options.buffer) ||
            !to_optional_u64(bound[3], "target_bins", options.target_bins))
            return nullptr;

        auto planned = patches::patches(cameras, options, poll_signals);
        if (!planned) return raise(planned.error());
        return box_list(*planned);
    });
}

PyMethodDef patches_def = {
    "patches", to_cfunction(patches_entry),
    METH_VARARGS | METH_KEYWORDS,
    "patches(camera_positions, max_cameras, buffer_meters, target_bins)\n--\n\n"};

}  // namespace

Ref make_bounding_box(PyObject*) {
    return make_class<BoundingBox>("BoundingBox", "BoundingBox(min_x, max_x, min_y, max_y)\n--\n\n",
                                   bounding_box_new, bounding_box_methods, bounding_box_getset);
}

Ref make_patches(PyObject* module) { return make_function(&patches_def, module); }

}  // namespace larkspan::py
