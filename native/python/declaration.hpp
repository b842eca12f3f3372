#pragma once
// Every function, method and constructor of the module is declared once: its
// name, its parameters with their defaults, and what help() shows about it.
// The argument binding, the text signature (`__text_signature__`) and the
// docstring (`__doc__`) all follow from that one declaration, and the stub
// check compares `_core.pyi` against what it produces.

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "object.hpp"

namespace larkspan::py {

// An argument as bound to its parameter: the object (borrowed; null for a
// defaulted parameter that was not passed) and the parameter's name, which
// conversion errors quote.
struct Argument {
    PyObject* value = nullptr;
    const char* name = nullptr;
};

struct Parameter {
    std::string name;
    std::string help;  // shown under the name
    std::optional<std::string> default_text = std::nullopt;  // a Python literal; none: required
};

// How a callable receives its object, which shows in the text signature.
enum class Receiver {
    None,      // module function or class constructor: "name(a, b)"
    Instance,  // method: "name($self, a)"
    Class,     // class method: "name($cls, a)"
    Static,    // static method: "name(a)"
};

// Paragraphs of help text; help() shows them filled to 76 columns.
struct Documentation {
    std::string summary = {};  // one line: what it does
    std::string returns = {};  // "Returns ..." paragraph
    std::string raises = {};   // "Raises ..." paragraph; empty when it raises nothing of its own
    std::string details = {};  // anything else worth saying, placed after the parameters
};

class Declaration {
public:
    // `owner` is the class a method belongs to ("" for module functions and
    // constructors); binding errors name the callable "Owner.name".
    Declaration(std::string owner, std::string name, Receiver receiver,
                std::vector<Parameter> parameters, Documentation doc);

    // Declarations are made once and live as long as the process: the
    // interpreter keeps pointers to their names and docs.
    static const Declaration& make(std::string owner, std::string name, Receiver receiver,
                                   std::vector<Parameter> parameters, Documentation doc);

    const char* name() const { return name_.c_str(); }
    // "name(params)\n--\n\n" and the documentation, as CPython reads it.
    const char* doc() const { return doc_.c_str(); }
    const std::vector<Parameter>& parameters() const { return parameters_; }

    // Binds positional and keyword arguments like a Python function with
    // these parameters (all positional-or-keyword), with CPython's wording
    // for missing, unexpected, repeated and surplus arguments. A parameter
    // with a default that is not passed is left null. `out` holds one slot
    // per parameter.
    bool bind(PyObject* args, PyObject* kwargs, std::span<Argument> out) const;

    // The method table entry: calling convention and flags follow from the
    // receiver and the parameters (no parameters: METH_NOARGS).
    PyMethodDef method(PyCFunction function) const;

private:
    std::string owner_;
    std::string name_;
    std::string callable_;  // as binding errors name it
    Receiver receiver_;
    std::vector<Parameter> parameters_;
    std::string doc_;
};

// Bound arguments of a declaration with N parameters.
template <std::size_t N>
using Bound = std::array<Argument, N>;

}  // namespace larkspan::py
