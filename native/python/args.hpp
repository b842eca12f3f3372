#pragma once
// Binding and conversion of arguments and properties, and the class machinery
// (instances, borrow flags, properties) that every tool's binding uses.
//
// Every function here reports failure by returning false / nullptr with a
// Python exception set.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdint>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "../common/json.hpp"
#include "errors.hpp"
#include "object.hpp"

namespace larkspan::py {

// ---- binding ----

namespace detail {
bool bind_arguments(PyObject* args, PyObject* kwargs, const char* callable,
                    const char* const* names, std::size_t count, PyObject** out);
}

// Binds positional and keyword arguments to N required parameters, with the
// TypeErrors CPython raises for a Python function: missing, unexpected,
// repeated and surplus arguments, naming the callable ("split_ply",
// "Config.add_patch") and the parameter. The bound objects are borrowed.
template <std::size_t N>
bool bind(PyObject* args, PyObject* kwargs, const char* callable,
          const std::array<const char*, N>& names, std::array<PyObject*, N>& out) {
    return detail::bind_arguments(args, kwargs, callable, names.data(), N, out.data());
}

// Takes the pending exception (normalised, traceback attached) off the
// thread's error state; null when none is pending.
Ref fetch_exception();

// ---- conversion ----

// Re-raises a pending TypeError as "argument 'NAME': MESSAGE" with the
// original as its cause; other exceptions stay as they are.
void prefix_argument_error(const char* name);

// Unprefixed conversions, for sequence elements.
bool as_string(PyObject* value, std::string& out);
bool as_f64(PyObject* value, double& out);
bool as_instance(PyObject* value, PyTypeObject* type, const char* class_name);
// An integer (int or any object with __index__) in the unsigned 64-bit range:
// TypeError for other objects, OverflowError for negative or too large values.
bool as_u64(PyObject* value, std::uint64_t& out);

// Conversions of one named argument.
bool to_string(PyObject* value, const char* name, std::string& out);
bool to_f64(PyObject* value, const char* name, double& out);
bool to_u64(PyObject* value, const char* name, std::uint64_t& out);

// A sequence argument: a str is refused ("Can't extract `str` to `Vec`");
// every element goes through `element(item, out_element)`, which converts it
// without the argument prefix (the prefix is added once, here).
template <class T, class Convert>
bool to_vector(PyObject* value, const char* name, std::vector<T>& out, Convert&& element);
bool check_sequence(PyObject* value, const char* name);  // used by to_vector

// ---- borrow flags ----

// Counts shared borrows (>0) or marks one exclusive borrow (-1) of an
// instance for the duration of a call.
struct BorrowFlag {
    long state = 0;
};

class SharedBorrow {
public:
    static bool acquire(BorrowFlag& flag, SharedBorrow& out);  // "Already mutably borrowed"
    SharedBorrow() = default;
    SharedBorrow(SharedBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ~SharedBorrow() {
        if (flag_) --flag_->state;
    }

private:
    BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
public:
    static bool acquire(BorrowFlag& flag, ExclusiveBorrow& out);  // "Already borrowed"
    ExclusiveBorrow() = default;
    ExclusiveBorrow(ExclusiveBorrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)) {}
    ~ExclusiveBorrow() {
        if (flag_) flag_->state = 0;
    }

private:
    BorrowFlag* flag_ = nullptr;
};

// ---- classes ----

// The Python object layout of a class wrapping a C++ value.
template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    T value;
};

// The class object of T, made once by make_class.
template <class T>
struct ClassOf {
    static inline PyTypeObject* type = nullptr;
};

template <class T>
T& value_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self)->value;
}
template <class T>
BorrowFlag& flag_of(PyObject* self) {
    return reinterpret_cast<Instance<T>*>(self)->borrow;
}

namespace detail {
template <class T>
void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<Instance<T>*>(self)->value.~T();
    type->tp_free(self);
    Py_DECREF(type);
}

Ref make_heap_type(const char* name, const char* doc, int basicsize, newfunc tp_new,
                   destructor tp_dealloc, PyMethodDef* methods, PyGetSetDef* getset);
}  // namespace detail

// Creates the class for T. `name` is the bare class name; the class lives in
// "builtins". `doc` is "Name(args)\n--\n\n" so the constructor has a text
// signature and no docstring.
template <class T>
Ref make_class(const char* name, const char* doc, newfunc tp_new, PyMethodDef* methods,
               PyGetSetDef* getset) {
    Ref type = detail::make_heap_type(name, doc, static_cast<int>(sizeof(Instance<T>)), tp_new,
                                      &detail::dealloc<T>, methods, getset);
    if (type) {
        Py_XDECREF(reinterpret_cast<PyObject*>(ClassOf<T>::type));
        Py_INCREF(type.get());
        ClassOf<T>::type = reinterpret_cast<PyTypeObject*>(type.get());
    }
    return type;
}

// A new instance of `type` (T's class or a subclass) holding `value`.
template <class T>
PyObject* new_instance_of(PyTypeObject* type, T value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    auto* instance = reinterpret_cast<Instance<T>*>(self);
    new (&instance->borrow) BorrowFlag{};
    new (&instance->value) T(std::move(value));
    return self;
}

template <class T>
PyObject* new_instance(T value) {
    return new_instance_of<T>(ClassOf<T>::type, std::move(value));
}

// An argument that must be an instance of T's class: TypeError naming the
// argument, the value's type and the class otherwise.
template <class T>
T* to_instance(PyObject* value, const char* name, const char* class_name);

template <class T>
T* to_instance(PyObject* value, const char* name, const char* class_name) {
    if (!as_instance(value, ClassOf<T>::type, class_name)) {
        prefix_argument_error(name);
        return nullptr;
    }
    return &value_of<T>(value);
}

// ---- properties ----

int refuse_delete();  // AttributeError "can't delete attribute"

// Read/write float and str properties over a member of T. The property name
// travels in the closure so the conversion error can name it.
template <class T, auto Member>
PyObject* get_member(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<T>(self), borrow)) return nullptr;
        const auto& field = value_of<T>(self).*Member;
        using M = std::remove_cvref_t<decltype(field)>;
        if constexpr (std::is_same_v<M, double>) return PyFloat_FromDouble(field);
        else return PyUnicode_FromStringAndSize(field.data(), static_cast<Py_ssize_t>(field.size()));
    });
}

template <class T, auto Member>
int set_member(PyObject* self, PyObject* value, void* closure) {
    if (value == nullptr) return refuse_delete();
    return guarded([&]() -> int {
        const char* name = static_cast<const char*>(closure);
        using M = std::remove_cvref_t<decltype(value_of<T>(self).*Member)>;
        M converted{};
        bool ok;
        if constexpr (std::is_same_v<M, double>) ok = to_f64(value, name, converted);
        else ok = to_string(value, name, converted);
        if (!ok) return -1;
        ExclusiveBorrow borrow;
        if (!ExclusiveBorrow::acquire(flag_of<T>(self), borrow)) return -1;
        value_of<T>(self).*Member = std::move(converted);
        return 0;
    });
}

template <class T, auto Member>
constexpr PyGetSetDef member_property(const char* name) {
    return {name, &get_member<T, Member>, &set_member<T, Member>, nullptr,
            const_cast<char*>(name)};
}

// ---- functions ----

// A module-level function object for the registration table.
Ref make_function(PyMethodDef* def, PyObject* module);

// The PyMethodDef slot type for any of the calling conventions in use.
template <class Fn>
PyCFunction to_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// For the tools driven by one JSON document: binds and converts the single
// `config_json` argument and decodes it into T; a document that does not
// decode raises ValueError "JSON parse error: ...".
template <class T>
bool read_config_json(PyObject* args, PyObject* kwargs, const char* callable, T& out) {
    std::array<PyObject*, 1> bound{};
    if (!bind(args, kwargs, callable, {"config_json"}, bound)) return false;
    std::string text;
    if (!to_string(bound[0], "config_json", text)) return false;
    auto decoded = json::decode<T>(text);
    if (!decoded) {
        raise(decoded.error().prefixed("JSON parse error: "));
        return false;
    }
    out = std::move(*decoded);
    return true;
}

// Inserts key: int(count) into a result dictionary.
bool set_count(PyObject* dict, const char* key, std::uint64_t count);

// ---- template definitions ----

template <class T, class Convert>
bool to_vector(PyObject* value, const char* name, std::vector<T>& out, Convert&& element) {
    if (!check_sequence(value, name)) return false;
    Py_ssize_t size = PySequence_Size(value);
    if (size < 0) {
        prefix_argument_error(name);
        return false;
    }
    std::vector<T> converted;
    converted.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        Ref item = Ref::steal(PySequence_GetItem(value, i));
        T element_value{};
        if (!item || !element(item.get(), element_value)) {
            prefix_argument_error(name);
            return false;
        }
        converted.push_back(std::move(element_value));
    }
    out = std::move(converted);
    return true;
}

}  // namespace larkspan::py
