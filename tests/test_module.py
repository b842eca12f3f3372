"""The module object, its registration, calling conventions and failure paths."""

import inspect
import pathlib
import subprocess
import sys
import textwrap

import pytest

from larkspan.splat import _core

REGISTRATION_ORDER = [
    "Config", "Patch", "split_ply", "BoundingBox", "patches",
    "cleanup_splats", "merge_ply_files_py", "split_cameras_json", "OrthoCells",
]
FUNCTION_SIGNATURES = {
    "split_ply": "(config)",
    "patches": "(camera_positions, max_cameras=700, buffer_meters=1.5, target_bins=100)",
    "cleanup_splats": "(config_json)",
    "merge_ply_files_py": "(config_json)",
    "split_cameras_json": "(config_json)",
}
CLASS_SIGNATURES = {
    "Config": "(input_file)",
    "Patch": "(output_file)",
    "BoundingBox": "(min_x, max_x, min_y, max_y)",
    "OrthoCells": "(ply_path)",
}


def run_python(code):
    """Runs code in a fresh interpreter; returns its stdout."""
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


class TestModuleObject:
    def test_name_and_docstring(self):
        assert _core.__name__ == "larkspan.splat._core"
        assert _core.__doc__ == "The main native module of larkspan.splat."

    def test_all_lists_registered_names_in_order(self):
        assert _core.__all__ == REGISTRATION_ORDER

    def test_no_other_public_attributes(self):
        public = {name for name in vars(_core) if not name.startswith("__")}
        assert public == set(_core.__all__)

    def test_package_reexports_the_tools(self):
        import larkspan.splat as package
        assert package.__all__ == _core.__all__
        for name in _core.__all__:
            assert getattr(package, name) is getattr(_core, name)

    def test_version_comes_from_the_installed_metadata(self):
        from importlib.metadata import version

        import larkspan.splat as package
        assert package.__version__ == version("larkspan-splat")

    def test_reimport_returns_the_same_object(self):
        assert run_python("""
            import sys
            import larkspan.splat._core as first
            del sys.modules["larkspan.splat._core"]
            import larkspan.splat._core as second
            print(first is second, second.__all__ == first.__all__)
        """) == "True True"

    def test_import_from_a_second_interpreter_fails(self):
        out = run_python("""
            import larkspan.splat._core
            try:
                import _interpreters as interpreters
            except ImportError:
                import _xxsubinterpreters as interpreters
            if hasattr(interpreters, "exec"):
                # Single-phase modules load in legacy sub-interpreters: the
                # module's own check must refuse.
                sub = interpreters.create("legacy")
                failure = interpreters.exec(sub, "import larkspan.splat._core")
                print(failure.type.__name__, "sub-interpreters" in failure.msg)
            else:
                # A legacy sub-interpreter (3.12 makes isolated ones by
                # default, which refuse single-phase modules themselves).
                sub = interpreters.create(isolated=False)
                try:
                    interpreters.run_string(sub, "import larkspan.splat._core")
                except Exception as e:
                    print("ImportError", "ImportError" in str(e) and "sub-interpreters" in str(e))
        """)
        assert out == "ImportError True"


class TestSignatures:
    @pytest.mark.parametrize("name", FUNCTION_SIGNATURES)
    def test_function_text_signature(self, name):
        fn = getattr(_core, name)
        assert fn.__text_signature__ == FUNCTION_SIGNATURES[name]
        params = inspect.signature(fn).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)

    @pytest.mark.parametrize("name", CLASS_SIGNATURES)
    def test_class_lives_in_builtins(self, name):
        cls = getattr(_core, name)
        assert cls.__name__ == name
        assert cls.__module__ == "builtins"
        assert cls.__text_signature__ == CLASS_SIGNATURES[name]


def python_function_error(call):
    """The TypeError CPython raises for the same call of a Python function."""
    def merge_ply_files_py(config_json):
        pass
    try:
        call(merge_ply_files_py)
    except TypeError as e:
        return str(e)
    raise AssertionError("the call binds")


class TestBinding:
    @pytest.mark.parametrize("call", [
        lambda f: f(),
        lambda f: f("{}", "{}"),
        lambda f: f("{}", other=1),
        lambda f: f(other=1),
        lambda f: f("{}", config_json="{}"),
        lambda f: f(**{"config_json": "{}", "x": 1}),
    ], ids=["missing", "surplus", "unexpected", "unexpected-only", "twice", "extra-keyword"])
    def test_worded_as_for_a_python_function(self, call):
        with pytest.raises(TypeError) as info:
            call(_core.merge_ply_files_py)
        assert str(info.value).endswith(python_function_error(call).split("() ", 1)[1])
        assert str(info.value).startswith("merge_ply_files_py() ")

    @pytest.mark.parametrize("value, type_name", [
        (b"{}", "bytes"), (pathlib.Path("x.json"), "PosixPath"), (None, "NoneType"), (1, "int")])
    def test_text_conversion_names_argument_and_type(self, value, type_name):
        with pytest.raises(TypeError) as info:
            _core.merge_ply_files_py(value)
        message = str(info.value)
        assert message.startswith("argument 'config_json': ")
        assert type_name in message
        assert isinstance(info.value.__cause__, TypeError)
        assert str(info.value.__cause__) == message.removeprefix("argument 'config_json': ")

    @pytest.mark.parametrize("call", [
        lambda f: f(),
        lambda f: f(max_cameras=1),
        lambda f: f([], 1, 2, 3, 4),
        lambda f: f([], 1, max_cameras=1),
        lambda f: f([], bins=1),
    ], ids=["missing", "only-defaulted", "surplus", "twice", "unexpected"])
    def test_defaults_worded_as_for_a_python_function(self, call):
        def patches(camera_positions, max_cameras=700, buffer_meters=1.5, target_bins=100):
            pass
        with pytest.raises(TypeError) as expected:
            call(patches)
        with pytest.raises(TypeError) as info:
            call(_core.patches)
        assert str(info.value) == "patches() " + str(expected.value).split("patches() ", 1)[1]

    def test_keyword_and_positional_calls_agree(self, tmp_path, capfd):
        errors = []
        for call in (lambda: _core.merge_ply_files_py("{}"),
                     lambda: _core.merge_ply_files_py(config_json="{}")):
            with pytest.raises(ValueError) as info:
                call()
            errors.append(str(info.value))
        assert errors[0] == errors[1]


class TestFailurePaths:
    """Reached through the test-only probe module built with the C++ tests."""

    def test_panic_is_not_an_exception(self, probe, capfd):
        with pytest.raises(BaseException) as info:
            try:
                probe.panic("invariant broken")
            except Exception:  # must not catch it
                pytest.fail("PanicException was caught by `except Exception`")
        assert type(info.value).__name__ == "PanicException"
        assert type(info.value).__bases__ == (BaseException,)
        assert info.value.args == ("invariant broken",)
        err = capfd.readouterr().err
        assert "invariant broken" in err and "probe.cpp:" in err

    def test_panic_class_is_made_once(self, probe):
        types = set()
        for call in (lambda: probe.panic("a"), lambda: probe.throw("b")):
            try:
                call()
            except BaseException as e:  # noqa: B036
                types.add(type(e))
        assert len(types) == 1

    def test_escaped_cpp_exception_becomes_panic(self, probe, capfd):
        with pytest.raises(BaseException) as info:
            probe.throw("vector too long")
        assert type(info.value).__name__ == "PanicException"
        assert "vector too long" in capfd.readouterr().err

    def test_exception_text(self, probe):
        class Unprintable(Exception):
            def __str__(self):
                raise RuntimeError("no")

        assert probe.exception_text(KeyboardInterrupt()) == "KeyboardInterrupt: "
        assert probe.exception_text(ValueError("bad value")) == "ValueError: bad value"
        assert probe.exception_text(Unprintable()) == (
            "TestFailurePaths.test_exception_text.<locals>.Unprintable: <exception str() failed>")

    def test_borrow_conflicts(self, probe):
        holder = probe.Holder()
        with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
            holder.write_during(lambda: holder.value)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            holder.read_during(lambda: setattr(holder, "value", 1.0))
        holder.read_during(lambda: holder.value)  # shared borrows nest

    def test_properties(self, probe):
        holder = probe.Holder()
        holder.value = 1
        assert holder.value == 1.0 and type(holder.value) is float
        with pytest.raises(TypeError) as info:
            holder.value = "1.0"
        assert str(info.value).startswith("argument 'value': ")
        assert holder.value == 1.0
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del holder.value
        assert type(holder).__module__ == "builtins"
