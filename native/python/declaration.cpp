#include "declaration.hpp"

#include <algorithm>
#include <utility>

#include "../common/error.hpp"

namespace larkspan::py {

namespace {

std::string signature_of(const std::string& name, Receiver receiver,
                         const std::vector<Parameter>& parameters) {
    std::string text = name + "(";
    if (receiver == Receiver::Instance) text += "$self";
    if (receiver == Receiver::Class) text += "$cls";
    bool first = receiver == Receiver::None || receiver == Receiver::Static;
    for (const Parameter& parameter : parameters) {
        if (!first) text += ", ";
        first = false;
        text += parameter.name;
        if (parameter.default_text) text += "=" + *parameter.default_text;
    }
    return text + ")";
}

// `text` filled into lines of at most `width` columns (a longer word stands
// alone), each indented by `indent` spaces; line breaks in `text` count as
// spaces.
std::string wrapped(const std::string& text, std::size_t indent, std::size_t width = 76) {
    const std::string pad(indent, ' ');
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find_first_of(" \n", start), text.size());
        const std::string word = text.substr(start, end - start);
        start = end + 1;
        if (word.empty()) continue;
        if (!line.empty() && indent + line.size() + 1 + word.size() > width) {
            out += (out.empty() ? "" : "\n") + pad + line;
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    if (!line.empty()) out += (out.empty() ? "" : "\n") + pad + line;
    return out;
}

// The layout CPython's own functions use: the text signature and its
// separator, the summary line, the parameters each with its help indented
// below it, then what it returns and raises.
std::string doc_of(const std::string& signature, const std::vector<Parameter>& parameters,
                   const Documentation& doc) {
    std::string text = signature + "\n--\n\n" + wrapped(doc.summary, 0);
    if (!parameters.empty()) {
        text += "\n";
        for (const Parameter& parameter : parameters)
            text += "\n  " + parameter.name + "\n" + wrapped(parameter.help, 4);
    }
    for (const std::string* paragraph : {&doc.details, &doc.returns, &doc.raises})
        if (!paragraph->empty()) text += "\n\n" + wrapped(*paragraph, 0);
    return text;
}

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

Py_ssize_t parameter_index(PyObject* key, const std::vector<Parameter>& parameters) {
    for (std::size_t i = 0; i < parameters.size(); ++i)
        if (PyUnicode_CompareWithASCIIString(key, parameters[i].name.c_str()) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

// "takes 1 positional argument" / "takes from 1 to 4 positional arguments".
std::string takes_text(std::size_t required, std::size_t count) {
    std::string text = "takes ";
    if (required == count) text += std::to_string(count);
    else text += "from " + std::to_string(required) + " to " + std::to_string(count);
    return text + " positional argument" + (count == 1 && required == count ? "" : "s");
}

}  // namespace

Declaration::Declaration(std::string owner, std::string name, Receiver receiver,
                         std::vector<Parameter> parameters, Documentation doc)
    : owner_(std::move(owner)),
      name_(std::move(name)),
      callable_(owner_.empty() ? name_ : owner_ + "." + name_),
      receiver_(receiver),
      parameters_(std::move(parameters)),
      doc_(doc_of(signature_of(name_, receiver_, parameters_), parameters_, doc)) {}

const Declaration& Declaration::make(std::string owner, std::string name, Receiver receiver,
                                     std::vector<Parameter> parameters, Documentation doc) {
    return *new Declaration(std::move(owner), std::move(name), receiver, std::move(parameters),
                            std::move(doc));
}

// Checked in the interpreter's order: keywords, surplus positionals, missing
// arguments.
bool Declaration::bind(PyObject* args, PyObject* kwargs, std::span<Argument> out) const {
    const std::size_t count = parameters_.size();
    if (out.size() != count) panic("binding " + callable_ + " into the wrong number of slots");
    const char* callable = callable_.c_str();
    for (std::size_t i = 0; i < count; ++i) out[i] = {nullptr, parameters_[i].name.c_str()};
    const Py_ssize_t nargs = args == nullptr ? 0 : PyTuple_GET_SIZE(args);
    for (Py_ssize_t i = 0; i < nargs && static_cast<std::size_t>(i) < count; ++i)
        out[static_cast<std::size_t>(i)].value = PyTuple_GET_ITEM(args, i);

    if (kwargs != nullptr) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", callable);
                return false;
            }
            const Py_ssize_t index = parameter_index(key, parameters_);
            if (index < 0) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", callable, key);
                return false;
            }
            if (out[static_cast<std::size_t>(index)].value != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", callable, key);
                return false;
            }
            out[static_cast<std::size_t>(index)].value = value;
        }
    }

    std::size_t required = 0;
    for (const Parameter& parameter : parameters_) required += !parameter.default_text;
    if (static_cast<std::size_t>(nargs) > count) {
        PyErr_Format(PyExc_TypeError, "%s() %s but %zd %s given", callable,
                     takes_text(required, count).c_str(), nargs, nargs == 1 ? "was" : "were");
        return false;
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i)
        if (out[i].value == nullptr && !parameters_[i].default_text)
            missing.push_back(parameters_[i].name.c_str());
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", callable,
                     missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

PyMethodDef Declaration::method(PyCFunction function) const {
    int flags = parameters_.empty() && receiver_ == Receiver::Instance ? METH_NOARGS
                                                                       : METH_VARARGS | METH_KEYWORDS;
    if (receiver_ == Receiver::Class) flags |= METH_CLASS;
    if (receiver_ == Receiver::Static) flags |= METH_STATIC;
    return {name_.c_str(), function, flags, doc_.c_str()};
}

}  // namespace larkspan::py
