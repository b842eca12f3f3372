"""The module object, its calling conventions and failure paths."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import larkspan.splat as package
from larkspan.splat import _core
from larkspan.splat._core import BoundingBox, Patch, merge_ply_files_py, patches

def test_names_and_registration_order():
    assert _core.__all__ == package.__all__ == [
        "Config", "Patch", "split_ply", "BoundingBox", "patches", "cleanup_splats", "merge_ply_files_py",
        "split_cameras_json", "OrthoCells"]
    assert {n for n in vars(_core) if not n.startswith("__")} == set(_core.__all__)
    assert all(getattr(package, n) is getattr(_core, n) for n in _core.__all__)
    # Signatures and defaults are checked against the stub by stubtest; the help text follows them.
    assert all(getattr(_core, n).__doc__ for n in _core.__all__)

def test_a_sub_interpreter_is_refused():
    code = """
        import larkspan.splat._core
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        if hasattr(interpreters, "exec"):  # a legacy sub-interpreter: the module's own check refuses
            failure = interpreters.exec(interpreters.create("legacy"), "import larkspan.splat._core")
            print(failure.type.__name__, "sub-interpreters" in failure.msg)
        else:
            try:
                interpreters.run_string(interpreters.create(isolated=False), "import larkspan.splat._core")
            except Exception as e:
                print("ImportError", "ImportError" in str(e) and "sub-interpreters" in str(e))"""
    run = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert (run.returncode, run.stdout.strip()) == (0, "ImportError True"), run.stderr

@pytest.mark.parametrize("target, call", [
    (merge_ply_files_py, lambda f: f()),  # one missing
    (merge_ply_files_py, lambda f: f("{}", "{}")),  # surplus
    (merge_ply_files_py, lambda f: f("{}", other=1)),
    (merge_ply_files_py, lambda f: f("{}", config_json="{}")),
    (patches, lambda f: f(max_cameras=1)),
    (patches, lambda f: f([], 1, 2, 3, 4)),  # "from 1 to 4"
    (Patch.with_bounds, lambda f: f()),  # five missing
    (BoundingBox, lambda f: f(1, 2)),  # two missing
])
def test_binding_errors_are_worded_as_for_a_python_function(target, call):
    qualname = target.__qualname__
    exec(f"def twin{inspect.signature(target)}: pass", namespace := {})
    with pytest.raises(TypeError) as python:
        call(namespace["twin"])
    with pytest.raises(TypeError) as ours:
        call(target)
    assert str(ours.value) == f"{qualname}() " + str(python.value).split("() ", 1)[1]

def test_an_internal_failure_is_a_panic_not_an_exception(probe, capfd):
    kinds = set()
    for fail, text in (("panic", "invariant broken"), ("throw", "vector too long")):
        with pytest.raises(BaseException) as raised:
            getattr(probe, fail)(text)
        assert not isinstance(raised.value, Exception) and raised.value.args == (text,)
        err = capfd.readouterr().err
        assert text in err and (fail == "throw" or "probe.cpp:" in err)  # where it failed
        kinds.add(type(raised.value))
    (kind,) = kinds  # the class is made once
    assert (kind.__name__, kind.__bases__) == ("PanicException", (BaseException,))

def test_exception_text_and_borrows(probe):
    class Unprintable(Exception):
        def __str__(self):
            raise RuntimeError("no")
    assert [probe.exception_text(e) for e in (KeyboardInterrupt(), ValueError("bad"), Unprintable())] \
        == ["KeyboardInterrupt: ", "ValueError: bad",
            "test_exception_text_and_borrows.<locals>.Unprintable: <exception str() failed>"]
    holder = probe.Holder()
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        holder.write_during(lambda: holder.value)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        holder.read_during(lambda: setattr(holder, "value", 1.0))
    holder.read_during(lambda: holder.value)  # shared borrows nest
