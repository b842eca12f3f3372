#pragma once
// Errors as values: every step returns std::expected<T, Error>; only the Python
// entry point turns an Error into an exception.

#include <expected>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace larkspan {

// The exception class an Error becomes at the Python boundary.
enum class ErrorKind {
    Value,        // ValueError: configuration and argument values
    Os,           // OSError: files, plain class whatever the error number
    OsMatching,   // OSError subclass chosen from the error number
    Runtime,      // RuntimeError: failed workers, failed camera splits
    Interrupted,  // KeyboardInterrupt
    Type,         // TypeError
    Memory,       // MemoryError
};

struct Error {
    ErrorKind kind = ErrorKind::Value;
    std::string message;
    int os_errno = 0;  // the system error number, 0 when the failure has none

    static Error value(std::string text) { return {ErrorKind::Value, std::move(text), 0}; }
    static Error runtime(std::string text) { return {ErrorKind::Runtime, std::move(text), 0}; }
    static Error os(std::string text, int errnum = 0) {
        return {ErrorKind::Os, std::move(text), errnum};
    }

    // The same failure under another kind and with a step prefix, as entry
    // points report it ("Write error: ...").
    [[nodiscard]] Error as(ErrorKind new_kind, std::string_view prefix = {}) const {
        return {new_kind, std::string(prefix) + message, os_errno};
    }
    [[nodiscard]] Error prefixed(std::string_view prefix) const { return as(kind, prefix); }
};

template <class T>
using Result = std::expected<T, Error>;
using Status = std::expected<void, Error>;

inline std::unexpected<Error> fail(Error e) { return std::unexpected<Error>(std::move(e)); }

// An internal invariant failure: something the design treats as impossible.
// It unwinds to the entry point, which raises PanicException.
class Panic : public std::exception {
public:
    explicit Panic(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Writes "panicked at FILE:LINE: MESSAGE" to stderr and throws Panic.
[[noreturn]] void panic(std::string_view message,
                        std::source_location where = std::source_location::current());

// Checked arithmetic for sizes read from files.
inline bool multiply_overflows(unsigned long long a, unsigned long long b,
                               unsigned long long& product) {
    return __builtin_mul_overflow(a, b, &product);
}

}  // namespace larkspan
