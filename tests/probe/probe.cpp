// A test-only module that drives the binding layer's failure paths, which no
// tool reaches by design: an internal invariant failure, an escaped C++
// exception, and borrow conflicts of an instance.

#include <stdexcept>

#include "python/args.hpp"
#include "python/errors.hpp"

namespace larkspan::py {
namespace {

const Declaration& panic_declaration = Declaration::make(
    "", "panic", Receiver::None, {{"message", "The invariant failure's text."}},
    {.summary = "Fail an internal invariant.", .returns = "", .raises = "Raises PanicException."});

const Declaration& throw_declaration = Declaration::make(
    "", "throw", Receiver::None, {{"message", "The exception's text."}},
    {.summary = "Let a C++ exception escape.", .returns = "", .raises = "Raises PanicException."});

template <bool escape>
PyObject* probe_fail(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Bound<1> bound{};
        std::string message;
        if (!(escape ? throw_declaration : panic_declaration).bind(args, kwargs, bound) ||
            !to_text(bound[0], message))
            return nullptr;
        if (escape) throw std::runtime_error(message);
        panic(message);
    });
}

PyObject* probe_exception_text(PyObject*, PyObject* exception) {
    return guarded([&]() -> PyObject* {
        const std::string text = exception_text(exception);
        return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    });
}

// A value whose borrow flag read_during and write_during hold, shared or
// exclusive, while calling `callback`, which can try to borrow it again.
struct Holder { double value = 0; };

PyObject* holder_new(PyTypeObject* t, PyObject*, PyObject*) { return new_instance_of<Holder>(t, Holder{}); }

template <class Borrow>
PyObject* holder_call_during(PyObject* self, PyObject* callback) {
    Borrow borrow;
    if (!Borrow::acquire(flag_of<Holder>(self), borrow)) return nullptr;
    return PyObject_CallNoArgs(callback);
}

PyMethodDef holder_methods[] = {
    {"read_during", holder_call_during<SharedBorrow>, METH_O, nullptr},
    {"write_during", holder_call_during<ExclusiveBorrow>, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef holder_getset[] = {
    member_property<Holder, &Holder::value>("value", "A float."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef functions[] = {
    panic_declaration.method(to_cfunction(probe_fail<false>)),
    throw_declaration.method(to_cfunction(probe_fail<true>)),
    {"exception_text", probe_exception_text, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_def = {PyModuleDef_HEAD_INIT, "_probe", nullptr, -1, functions,
                         nullptr, nullptr, nullptr, nullptr};

}  // namespace
}  // namespace larkspan::py

PyMODINIT_FUNC PyInit__probe(void) {
    using namespace larkspan::py;
    Ref module = Ref::steal(PyModule_Create(&probe_def));
    if (!module) return nullptr;
    static const Declaration& holder_declaration = Declaration::make(
        "", "Holder", Receiver::None, {},
        {.summary = "A value to borrow.", .returns = "", .raises = ""});
    Ref holder = make_class<Holder>(holder_declaration, holder_new, holder_methods, holder_getset);
    if (!holder || PyModule_AddObjectRef(module.get(), "Holder", holder.get()) < 0) return nullptr;
    return module.release();
}
