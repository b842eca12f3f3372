#pragma once
// Owning references to Python objects: the destructor releases, so no early
// return can leak or double-release.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace larkspan::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (what most C API calls return); null allowed.
    static Ref steal(PyObject* object) { return Ref(object); }
    // Adds a reference to an object someone else owns.
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    // Hands the reference to the caller (a return value, a stealing API call).
    PyObject* release() { return std::exchange(object_, nullptr); }
    explicit operator bool() const { return object_ != nullptr; }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace larkspan::py
