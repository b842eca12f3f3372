#pragma once
// Where an Error becomes a Python exception, and the guard that keeps every
// C++ exception on this side of the interpreter.

#include "../common/error.hpp"
#include "object.hpp"

#include <new>
#include <string>
#include <type_traits>

namespace larkspan::py {

// Sets the exception the error kind maps to, with the message as its only
// argument; returns nullptr for use as `return raise(e);`.
PyObject* raise(const Error& error);
int raise_int(const Error& error);

// The OSError subclass CPython uses for an error number (FileNotFoundError
// for ENOENT...), plain OSError for others and for 0.
PyObject* os_error_class(int errnum);

// A Python exception as tool messages embed it: the type's qualified name,
// ": ", then str() of the exception, or "<exception str() failed>".
std::string exception_text(PyObject* exception);

// PanicException: derived from BaseException so `except Exception` lets it
// through; created on first use and kept for the life of the process.
PyObject* panic_exception_type();

// Raises PanicException for an escaped C++ exception. A failure while doing
// so aborts the process: nothing sane is left to report to.
void raise_panic(const char* message) noexcept;
// The same for a C++ exception that was not thrown by panic(): its message is
// written to stderr first, as panic() does.
void raise_escaped(const char* message) noexcept;

// Runs an entry point body, turning anything it throws into a Python
// exception. Returns what the body returns (a new reference or nullptr, or an
// int status for setters).
template <class Fn>
auto guarded(Fn&& body) noexcept -> decltype(body()) {
    using R = decltype(body());
    constexpr R failed = [] {
        if constexpr (std::is_pointer_v<R>) return static_cast<R>(nullptr);
        else return static_cast<R>(-1);
    }();
    try {
        return body();
    } catch (const Panic& panic) {
        raise_panic(panic.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_escaped(e.what());
    } catch (...) {
        raise_escaped("unknown C++ exception");
    }
    return failed;
}

}  // namespace larkspan::py
