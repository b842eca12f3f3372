#include "errors.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "../common/io.hpp"

namespace larkspan::py {

namespace {

Ref message_object(const std::string& message) {
    return Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()),
                                           "replace"));
}

PyObject* exception_class(const Error& error) {
    switch (error.kind) {
        case ErrorKind::Value: return PyExc_ValueError;
        case ErrorKind::Os: return PyExc_OSError;
        case ErrorKind::OsMatching: return os_error_class(error.os_errno);
        case ErrorKind::Runtime: return PyExc_RuntimeError;
        case ErrorKind::Interrupted: return PyExc_KeyboardInterrupt;
        case ErrorKind::Type: return PyExc_TypeError;
        case ErrorKind::Memory: return PyExc_MemoryError;
    }
    return PyExc_RuntimeError;
}

}  // namespace

PyObject* os_error_class(int errnum) {
    switch (errnum) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EACCES:
        case EPERM: return PyExc_PermissionError;
        case EEXIST: return PyExc_FileExistsError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EISDIR: return PyExc_IsADirectoryError;
        case EINTR: return PyExc_InterruptedError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case EAGAIN: return PyExc_BlockingIOError;
        case EPIPE: return PyExc_BrokenPipeError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        default: return PyExc_OSError;
    }
}

std::string exception_text(PyObject* exception) {
    std::string text;
    Ref qualname = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(exception)),
                                                     "__qualname__"));
    const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
    text = name != nullptr ? name : Py_TYPE(exception)->tp_name;
    PyErr_Clear();
    text += ": ";
    Ref str = Ref::steal(PyObject_Str(exception));
    const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        return text + "<exception str() failed>";
    }
    return text + utf8;
}

PyObject* raise(const Error& error) {
    if (error.kind == ErrorKind::Memory && error.message.empty()) return PyErr_NoMemory();
    Ref message = message_object(error.message);
    if (!message) return nullptr;
    PyErr_SetObject(exception_class(error), message.get());
    return nullptr;
}

int raise_int(const Error& error) {
    raise(error);
    return -1;
}

PyObject* panic_exception_type() {
    // Made once per process; the module is too, and no interpreter but the
    // first may import it.
    static PyObject* type = PyErr_NewExceptionWithDoc(
        "larkspan.splat.PanicException",
        "An internal invariant of a native tool failed. Derived from BaseException so "
        "that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    return type;
}

void raise_panic(const char* message) noexcept {
    try {
        PyObject* type = panic_exception_type();
        if (type == nullptr) return;  // its creation left an exception set
        Ref text = message_object(message);
        if (!text) return;
        PyErr_SetObject(type, text.get());
    } catch (...) {
        io::print_error("uncaught panic at ffi boundary\n");
        std::abort();
    }
}

void raise_escaped(const char* message) noexcept {
    try {
        io::print_error(std::string("panicked in native code:\n") + message + "\n");
    } catch (...) {
        io::print_error("uncaught panic at ffi boundary\n");
        std::abort();
    }
    raise_panic(message);
}

}  // namespace larkspan::py
