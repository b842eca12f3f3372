#include "args.hpp"

#include <deque>
#include <string>
#include <vector>

namespace larkspan::py {

namespace detail {

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

Py_ssize_t parameter_index(PyObject* key, const char* const* names, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) return static_cast<Py_ssize_t>(i);
    return -1;
}

}  // namespace

// Binds like a Python function whose parameters are all required and
// positional-or-keyword, with CPython's wording for each failure, checked in
// the interpreter's order: keywords, surplus positionals, missing arguments.
bool bind_arguments(PyObject* args, PyObject* kwargs, const char* callable,
                    const char* const* names, std::size_t count, PyObject** out) {
    for (std::size_t i = 0; i < count; ++i) out[i] = nullptr;
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs && static_cast<std::size_t>(i) < count; ++i)
        out[i] = PyTuple_GET_ITEM(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", callable);
                return false;
            }
            const Py_ssize_t index = parameter_index(key, names, count);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", callable, key);
                return false;
            }
            if (out[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", callable, key);
                return false;
            }
            out[index] = value;
        }
    }

    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd %s given", callable,
                     count, count == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
        return false;
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (out[i] == nullptr) missing.push_back(names[i]);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", callable,
                     missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

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
    Ref type = Ref::steal(PyType_FromSpec(&spec));
    // CPython stores the doc minus its signature as __doc__, which leaves ""
    // for a doc that is only a signature; the class has no docstring. The
    // text signature is read from the slot and stays.
    if (type && PyObject_SetAttrString(type.get(), "__doc__", Py_None) < 0) return {};
    return type;
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

bool as_string(PyObject* value, std::string& out) {
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

bool as_f64(PyObject* value, double& out) {
    double converted = PyFloat_AsDouble(value);
    if (converted == -1.0 && PyErr_Occurred()) return false;
    out = converted;
    return true;
}

bool as_u64(PyObject* value, std::uint64_t& out) {
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

bool to_string(PyObject* value, const char* name, std::string& out) {
    if (as_string(value, out)) return true;
    prefix_argument_error(name);
    return false;
}

bool to_f64(PyObject* value, const char* name, double& out) {
    if (as_f64(value, out)) return true;
    prefix_argument_error(name);
    return false;
}

bool to_u64(PyObject* value, const char* name, std::uint64_t& out) {
    if (as_u64(value, out)) return true;
    prefix_argument_error(name);
    return false;
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

Ref make_function(PyMethodDef* def, PyObject* module) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return {};
    return Ref::steal(PyCFunction_NewEx(def, module, module_name.get()));
}

bool set_count(PyObject* dict, const char* key, std::uint64_t count) {
    Ref value = Ref::steal(PyLong_FromUnsignedLongLong(count));
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

}  // namespace larkspan::py
