"""What help() shows for the module's classes, methods and functions, and the
type stubs checked against the signatures the module declares."""

import ast
import inspect
import pydoc
import types
from pathlib import Path

import pytest

from larkspan.splat import _core

STUB = Path(__file__).resolve().parents[1] / "src" / "larkspan" / "splat" / "_core.pyi"


def runtime_callables():
    """(qualified name, callable) for every function, constructor and method."""
    for name in _core.__all__:
        obj = getattr(_core, name)
        yield name, obj
        if isinstance(obj, type):
            for attr, raw in vars(obj).items():
                if not attr.startswith("_") and not isinstance(raw, types.GetSetDescriptorType):
                    yield f"{name}.{attr}", getattr(obj, attr)


def runtime_properties():
    for name in _core.__all__:
        obj = getattr(_core, name)
        if isinstance(obj, type):
            for attr, raw in vars(obj).items():
                if isinstance(raw, types.GetSetDescriptorType) and not attr.startswith("_"):
                    yield f"{name}.{attr}", raw


def decorators(node):
    return {d.id if isinstance(d, ast.Name) else getattr(d, "attr", "") for d in node.decorator_list}


def stub_callables():
    """(qualified name, [(parameter, default or inspect.Parameter.empty)], docstring)
    for every function, constructor and method of the stub, without the
    parameter a constructor or class method receives its class in."""
    def parameters(node, drop_first):
        args = node.args.args[1:] if drop_first else node.args.args
        defaults = [inspect.Parameter.empty] * (len(args) - len(node.args.defaults))
        defaults += [ast.literal_eval(d) for d in node.args.defaults]
        return [(a.arg, d) for a, d in zip(args, defaults)]

    tree = ast.parse(STUB.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, parameters(node, False), ast.get_docstring(node)
        elif isinstance(node, ast.ClassDef):
            yield node.name, None, ast.get_docstring(node)
            for member in node.body:
                if not isinstance(member, ast.FunctionDef):
                    continue
                kinds = decorators(member)
                if "property" in kinds or "setter" in kinds:
                    continue
                if member.name == "__new__":
                    yield node.name + ".__new__", parameters(member, True), None
                else:
                    yield (f"{node.name}.{member.name}",
                           parameters(member, "classmethod" in kinds), ast.get_docstring(member))


def signature_of(obj):
    return [(p.name, p.default) for p in inspect.signature(obj).parameters.values()]


RUNTIME = dict(runtime_callables())
STUBS = {name: (params, doc) for name, params, doc in stub_callables()}


class TestHelp:
    @pytest.mark.parametrize("name", RUNTIME)
    def test_documents_what_it_does_its_parameters_and_returns(self, name):
        obj = RUNTIME[name]
        doc = obj.__doc__
        assert doc and doc.split("\n")[0].endswith("."), name
        listed = [line.strip() for line in doc.split("\n") if line.startswith("  ")
                  and not line.startswith("    ")]
        expected = [p for p, _ in signature_of(obj) if p != "self"]
        assert listed == expected
        assert "\n\nReturns " in doc

    @pytest.mark.parametrize("name", [n for n in RUNTIME if n not in ("OrthoCells.get_bounds",)])
    def test_names_the_exceptions(self, name):
        assert "\n\nRaises " in RUNTIME[name].__doc__

    @pytest.mark.parametrize("name", dict(runtime_properties()))
    def test_properties_say_what_they_hold(self, name):
        assert dict(runtime_properties())[name].__doc__

    @pytest.mark.parametrize("obj, first_line", [
        (_core.patches,
         "patches(camera_positions, max_cameras=700, buffer_meters=1.5, target_bins=100)"),
        (_core.Config.add_patch, "add_patch(self, /, patch)"),
        (_core.Patch.with_bounds, "with_bounds(output_file, min_x, min_y, max_x, max_y)"),
    ])
    def test_help_starts_with_the_signature(self, obj, first_line):
        text = pydoc.render_doc(obj, renderer=pydoc.plaintext)
        assert first_line in text.split("\n")[2]

    def test_class_help_shows_constructor_and_members(self):
        text = pydoc.render_doc(_core.OrthoCells, renderer=pydoc.plaintext)
        assert "OrthoCells(ply_path)" in text
        for member in ("get_bounds", "extract_all_cells", "write_ply_file"):
            assert f"{member}(self, " in text or f"{member}(self, /)" in text


class TestStubs:
    def test_stub_declares_every_callable_and_nothing_else(self):
        runtime = set(RUNTIME) | {n + ".__new__" for n in _core.__all__
                                  if isinstance(getattr(_core, n), type)}
        assert set(STUBS) == runtime

    @pytest.mark.parametrize("name", [n for n in RUNTIME if not isinstance(RUNTIME[n], type)]
                             + [n + ".__new__" for n in _core.__all__
                                if isinstance(getattr(_core, n), type)])
    def test_parameters_and_defaults_agree(self, name):
        obj = RUNTIME[name.removesuffix(".__new__")]
        runtime = signature_of(obj)
        assert STUBS[name][0] == runtime

    @pytest.mark.parametrize("name", [n for n in STUBS if STUBS[n][1] is not None])
    def test_stub_docstrings_are_the_summaries(self, name):
        assert STUBS[name][1] == RUNTIME[name].__doc__.split("\n")[0]
