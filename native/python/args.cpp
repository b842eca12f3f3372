#include "args.hpp"

#include <bit>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace larkspan::py {

namespace detail {

Ref make_heap_type(const char* name, const char* doc, int basicsize, newfunc tp_new,
                   destructor tp_dealloc, PyMethodDef* methods, PyGetSetDef* getset) {
    // The qualified name puts the class in "builtins"; the class itself is
    // named bare. Older CPython keeps a pointer to the PyType_Spec name, so the
    // names live as long as the process (one per class).
    static std::deque<std::string> names;
    const std::string& qualified = names.emplace_back(std::string("builtins.") + name);
    PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(tp_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(tp_dealloc)},
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_methods, methods},
        {Py_tp_getset, getset},
        {0, nullptr},
    };
    PyType_Spec spec = {qualified.c_str(), basicsize, 0, Py_TPFLAGS_DEFAULT, slots};
    // CPython keeps the doc after its signature as __doc__ and reads the text
    // signature from the slot.
    return Ref::steal(PyType_FromSpec(&spec));
}

}  // namespace detail

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

namespace {

void type_error_for(PyObject* value, const char* target) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 Py_TYPE(value)->tp_name, target);
}

}  // namespace

void prefix_argument_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    Ref cause = fetch_exception();
    Ref text = Ref::steal(PyObject_Str(cause.get()));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, text.get()));
    if (!message) return;
    Ref error = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!error) return;
    PyException_SetCause(error.get(), cause.release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

bool as_text(PyObject* value, std::string& out) {
    if (!PyUnicode_Check(value)) {
        type_error_for(value, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value, &size);
    if (data == nullptr) return false;
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

bool as_path(PyObject* value, std::string& out) {
    Ref text;
    if (PyUnicode_Check(value)) {
        text = Ref::borrow(value);
    } else if (PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__fspath__")) {
        text = Ref::steal(PyOS_FSPath(value));
        if (!text) return false;
        if (!PyUnicode_Check(text.get())) {  // a bytes path: refused as bytes are
            type_error_for(value, "str");
            return false;
        }
    } else {
        type_error_for(value, "str");
        return false;
    }
    // Encoded as open() encodes it, so names that are not valid UTF-8 (read
    // from a directory listing) name the same file.
    Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(text.get()));
    if (!encoded) return false;
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

PyObject* new_path(const std::string& path) {
    return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

bool as_double(PyObject* value, double& out) {
    double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool as_uint64(PyObject* value, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(value));
    if (!index) return false;
    const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool as_instance(PyObject* value, PyTypeObject* type, const char* class_name) {
    if (type != nullptr && PyObject_TypeCheck(value, type)) return true;
    type_error_for(value, class_name);
    return false;
}

namespace {

// The named form of an unprefixed conversion.
template <class T>
bool named(bool (*convert)(PyObject*, T&), PyObject* value, const char* name, T& out) {
    if (convert(value, out)) return true;
    prefix_argument_error(name);
    return false;
}

}  // namespace

bool to_text(PyObject* value, const char* name, std::string& out) {
    return named(as_text, value, name, out);
}

bool to_path(PyObject* value, const char* name, std::string& out) {
    return named(as_path, value, name, out);
}

bool to_double(PyObject* value, const char* name, double& out) {
    return named(as_double, value, name, out);
}

bool to_uint64(PyObject* value, const char* name, std::uint64_t& out) {
    return named(as_uint64, value, name, out);
}

bool to_optional_double(PyObject* value, const char* name, double& out) {
    return value == nullptr || value == Py_None || to_double(value, name, out);
}

bool to_optional_uint64(PyObject* value, const char* name, std::uint64_t& out) {
    return value == nullptr || value == Py_None || to_uint64(value, name, out);
}

PyObject* tuple_item(PyObject* tuple, Py_ssize_t index) {
    if (index < PyTuple_GET_SIZE(tuple)) return PyTuple_GET_ITEM(tuple, index);
    PyErr_SetString(PyExc_IndexError, "tuple index out of range");
    return nullptr;
}

bool require_tuple(PyObject* value) {
    if (PyTuple_Check(value)) return true;
    type_error_for(value, "tuple");
    return false;
}

bool require_tuple_length(PyObject* tuple, Py_ssize_t length) {
    const Py_ssize_t size = PyTuple_GET_SIZE(tuple);
    if (size == length) return true;
    PyErr_Format(PyExc_ValueError, "expected tuple of length %zd, but got tuple of length %zd", length,
                 size);
    return false;
}

bool BufferView::acquire(PyObject* value) {
    if (held_) {
        PyBuffer_Release(&view_);
        held_ = false;
    }
    if (PyObject_GetBuffer(value, &view_, PyBUF_RECORDS_RO) < 0) return false;
    held_ = true;
    return true;
}

bool to_bytes_view(const Argument& argument, BufferView& out) {
    PyObject* value = argument.value;
    const char* name = argument.name;
    if (!PyObject_CheckBuffer(value)) {
        type_error_for(value, "bytes");
        prefix_argument_error(name);
        return false;
    }
    if (!out.acquire(value)) {
        prefix_argument_error(name);
        return false;
    }
    if (!PyBuffer_IsContiguous(&out.view(), 'C')) {
        PyErr_Format(PyExc_ValueError, "argument '%s': expected a C-contiguous buffer", name);
        return false;
    }
    return true;
}

namespace {

// The item format without a byte-order mark that means this machine's order.
std::string native_format(const char* format) {
    std::string text = format == nullptr ? "B" : format;
    if (!text.empty() && (text[0] == '@' || text[0] == '=' ||
                          (text[0] == '<' && std::endian::native == std::endian::little) ||
                          (text[0] == '>' && std::endian::native == std::endian::big)))
        text.erase(0, 1);
    return text;
}

std::string shape_text(const Py_buffer& view) {
    std::string text = "(";
    for (int d = 0; d < view.ndim; ++d) {
        if (d > 0) text += ", ";
        text += std::to_string(view.shape[d]);
    }
    if (view.ndim == 1) text += ",";
    return text + ")";
}

}  // namespace

bool check_float_rows(const BufferView& buffer, const char* name, std::size_t columns,
                      FloatItems& items) {
    const Py_buffer& view = buffer.view();
    const std::string expected = "expected a C-contiguous (N, " + std::to_string(columns) +
                                 ") array of float64 or float32";
    const std::string format = native_format(view.format);
    if (format == "d" && view.itemsize == 8) {
        items = FloatItems::Float64;
    } else if (format == "f" && view.itemsize == 4) {
        items = FloatItems::Float32;
    } else {
        PyErr_Format(PyExc_TypeError, "argument '%s': %s, got items of format '%s'", name,
                     expected.c_str(), view.format == nullptr ? "B" : view.format);
        return false;
    }
    if (view.ndim != 2 || view.shape[1] != static_cast<Py_ssize_t>(columns)) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %s, got shape %s", name, expected.c_str(),
                     shape_text(view).c_str());
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "argument '%s': %s, got a non-contiguous array", name,
                     expected.c_str());
        return false;
    }
    return true;
}

bool check_sequence(PyObject* value, const char* name) {
    if (PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    } else if (!PySequence_Check(value)) {
        type_error_for(value, "Sequence");
    } else {
        return true;
    }
    prefix_argument_error(name);
    return false;
}

bool SharedBorrow::acquire(BorrowFlag& flag, SharedBorrow& out) {
    if (flag.state < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
    }
    ++flag.state;
    out.flag_ = &flag;
    return true;
}

bool ExclusiveBorrow::acquire(BorrowFlag& flag, ExclusiveBorrow& out) {
    if (flag.state != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return false;
    }
    flag.state = -1;
    out.flag_ = &flag;
    return true;
}

int refuse_delete() {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
}

Ref make_function(const Declaration& declaration, PyCFunction function, PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return {};
    // The interpreter keeps a pointer to the method entry for the life of
    // the function object: made once, kept for the process.
    static std::deque<PyMethodDef> entries;
    PyMethodDef& def = entries.emplace_back(declaration.method(function));
    return Ref::steal(PyCFunction_NewEx(&def, module, module_name.get()));
}

bool set_count(PyObject* dict, const char* key, std::uint64_t count) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace larkspan::py
