#pragma once
// Binding and conversion of arguments and properties, and the class machinery
// (instances, borrow flags, properties) that every tool's binding uses.
//
// Every function here reports failure by returning false / nullptr with a
// Python exception set.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "../common/json.hpp"
#include "declaration.hpp"
#include "errors.hpp"
#include "object.hpp"

namespace larkspan::py {

// ---- conversion ----

// Takes the pending exception (normalised, traceback attached) off the
// thread's error state; null when none is pending.
Ref fetch_exception();

// Re-raises a pending TypeError as "argument 'NAME': MESSAGE" with the
// original as its cause; other exceptions stay as they are.
void prefix_argument_error(const char* name);

// Unprefixed conversions, for sequence and tuple elements.
bool as_text(PyObject* value, std::string& out);
// A path as open() takes it: a str, or an os.PathLike whose __fspath__ gives
// a str; encoded as the file system expects. Other objects are refused as a
// non-str is ("'int' object cannot be converted to 'str'").
bool as_path(PyObject* value, std::string& out);
bool as_double(PyObject* value, double& out);
bool as_instance(PyObject* value, PyTypeObject* type, const char* class_name);
// An integer (int or any object with __index__) in the unsigned 64-bit range:
// TypeError for other objects, OverflowError for negative or too large values.
bool as_uint64(PyObject* value, std::uint64_t& out);

// Conversions of one named argument.
bool to_text(PyObject* value, const char* name, std::string& out);
bool to_path(PyObject* value, const char* name, std::string& out);
bool to_double(PyObject* value, const char* name, double& out);
bool to_uint64(PyObject* value, const char* name, std::uint64_t& out);
// An argument that may be left out or None: `out` then keeps its default.
bool to_optional_double(PyObject* value, const char* name, double& out);
bool to_optional_uint64(PyObject* value, const char* name, std::uint64_t& out);

// The same for a bound argument, named by its parameter.
inline bool to_text(const Argument& a, std::string& out) { return to_text(a.value, a.name, out); }
inline bool to_path(const Argument& a, std::string& out) { return to_path(a.value, a.name, out); }
inline bool to_double(const Argument& a, double& out) { return to_double(a.value, a.name, out); }
inline bool to_uint64(const Argument& a, std::uint64_t& out) { return to_uint64(a.value, a.name, out); }
inline bool to_optional_double(const Argument& a, double& out) {
    return to_optional_double(a.value, a.name, out);
}
inline bool to_optional_uint64(const Argument& a, std::uint64_t& out) {
    return to_optional_uint64(a.value, a.name, out);
}

// A path as Python reads it back: a str decoded as the file system does, so
// what as_path encoded comes back unchanged.
PyObject* new_path(const std::string& path);

// Item `index` of a tuple; IndexError "tuple index out of range" past its end.
PyObject* tuple_item(PyObject* tuple, Py_ssize_t index);
// TypeError unless `value` is a tuple (or a tuple subclass).
bool require_tuple(PyObject* value);
// ValueError unless the tuple holds exactly `length` items.
bool require_tuple_length(PyObject* tuple, Py_ssize_t length);

// A sequence argument: a str is refused ("Can't extract `str` to `Vec`");
// every element goes through `element(item, out_element)`, which converts it
// without the argument prefix (the prefix is added once, here).
template <class T, class Convert>
bool to_vector(PyObject* value, const char* name, std::vector<T>& out, Convert&& element);
bool check_sequence(PyObject* value, const char* name);  // used by to_vector
template <class T, class Convert>
bool to_vector(const Argument& argument, std::vector<T>& out, Convert&& element) {
    return to_vector(argument.value, argument.name, out, std::forward<Convert>(element));
}

// ---- buffers ----

// An exported buffer of a Python object, released with it. The object stays
// alive and cannot resize its memory while the view exists.
class BufferView {
public:
    BufferView() = default;
    BufferView(BufferView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    BufferView& operator=(BufferView&&) = delete;
    BufferView(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    // Exports `value`'s buffer with its shape, strides and item format.
    bool acquire(PyObject* value);

    const Py_buffer& view() const { return view_; }
    std::span<const char> bytes() const {
        return {static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A C-contiguous bytes-like argument (bytes, bytearray, memoryview, an
// array), read in place. Objects without the buffer protocol are refused with
// TypeError ("'str' object cannot be converted to 'bytes'"), a buffer that is
// not C-contiguous with ValueError; both name the argument.
bool to_bytes_view(const Argument& argument, BufferView& out);

// The item types an array of floats may have.
enum class FloatItems { Float64, Float32 };

// Checks that `buffer` is a C-contiguous (N, columns) array of float64 or
// float32 in native byte order: TypeError for another item type, ValueError
// for another shape or a non-contiguous buffer, each naming the argument and
// what was expected.
bool check_float_rows(const BufferView& buffer, const char* name, std::size_t columns,
                      FloatItems& items);

// The rows of such an array, each widened to doubles and made into a T by
// `make_row(const double* values)`; no Python object is made per row.
template <class T, class MakeRow>
bool to_float_rows(const BufferView& buffer, const char* name, std::size_t columns,
                   std::vector<T>& out, MakeRow&& make_row);

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

// Creates the class for T. The constructor's declaration names the class
// (bare; the class lives in "builtins") and gives the class its text
// signature and docstring.
template <class T>
Ref make_class(const Declaration& constructor, newfunc tp_new, PyMethodDef* methods,
               PyGetSetDef* getset) {
    Ref type = detail::make_heap_type(constructor.name(), constructor.doc(),
                                      static_cast<int>(sizeof(Instance<T>)), tp_new,
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
T* to_instance(const Argument& argument, const char* class_name) {
    if (!as_instance(argument.value, ClassOf<T>::type, class_name)) {
        prefix_argument_error(argument.name);
        return nullptr;
    }
    return &value_of<T>(argument.value);
}

// ---- properties ----

int refuse_delete();  // AttributeError "can't delete attribute"

// Read/write properties over a member of T: floats, and paths (the only text
// members the classes hold). The property name travels in the closure so the
// conversion error can name it.
template <class T, auto Member>
PyObject* get_member(PyObject* self, void*) {
    return guarded([&]() -> PyObject* {
        SharedBorrow borrow;
        if (!SharedBorrow::acquire(flag_of<T>(self), borrow)) return nullptr;
        const auto& field = value_of<T>(self).*Member;
        using M = std::remove_cvref_t<decltype(field)>;
        if constexpr (std::is_same_v<M, double>) return PyFloat_FromDouble(field);
        else return new_path(field);
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
        if constexpr (std::is_same_v<M, double>) ok = to_double(value, name, converted);
        else ok = to_path(value, name, converted);
        if (!ok) return -1;
        ExclusiveBorrow borrow;
        if (!ExclusiveBorrow::acquire(flag_of<T>(self), borrow)) return -1;
        value_of<T>(self).*Member = std::move(converted);
        return 0;
    });
}

// `doc` is what help() shows for the property.
template <class T, auto Member>
constexpr PyGetSetDef member_property(const char* name, const char* doc) {
    return {name, &get_member<T, Member>, &set_member<T, Member>, doc, const_cast<char*>(name)};
}

// ---- functions ----

// A module-level function object for the registration table, made from the
// function's declaration.
Ref make_function(const Declaration& declaration, PyCFunction function, PyObject* module);

// The PyMethodDef slot type for any of the calling conventions in use.
template <class Fn>
PyCFunction to_cfunction(Fn* fn) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

// For the tools driven by one JSON document: binds and converts the single
// `config_json` argument and decodes it into T; a document that does not
// decode raises ValueError "JSON parse error: ...".
template <class T>
bool read_config_json(PyObject* args, PyObject* kwargs, const Declaration& declaration, T& out) {
    Bound<1> bound{};
    if (!declaration.bind(args, kwargs, bound)) return false;
    std::string text;
    if (!to_text(bound[0], text)) return false;
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

template <class T, class MakeRow>
bool to_float_rows(const BufferView& buffer, const char* name, std::size_t columns,
                   std::vector<T>& out, MakeRow&& make_row) {
    FloatItems items{};
    if (!check_float_rows(buffer, name, columns, items)) return false;
    const std::size_t rows = columns == 0 ? 0 : static_cast<std::size_t>(buffer.view().shape[0]);
    const char* data = buffer.bytes().data();
    std::vector<T> converted;
    converted.reserve(rows);
    std::vector<double> row(columns);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < columns; ++c) {
            if (items == FloatItems::Float64) {
                std::memcpy(&row[c], data + (r * columns + c) * sizeof(double), sizeof(double));
            } else {
                float value;
                std::memcpy(&value, data + (r * columns + c) * sizeof(float), sizeof(float));
                row[c] = value;
            }
        }
        converted.push_back(make_row(row.data()));
    }
    out = std::move(converted);
    return true;
}

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
