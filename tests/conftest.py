"""Shared fixtures; the builders they use live in tests/support."""

import os
import sys
from pathlib import Path

import pytest

from larkspan.splat import _core
from support.ply import write_ply


@pytest.fixture
def ply_factory(tmp_path):
    counter = iter(range(10**6))

    def make(rows, name=None, **kw):
        return write_ply(tmp_path / (name or f"in_{next(counter)}.ply"), rows, **kw)

    return make


@pytest.fixture(scope="session")
def probe():
    """The test-only module built beside the C++ unit tests, if present."""
    directory = os.environ.get("LARKSPAN_PROBE_DIR")
    if not directory or not list(Path(directory).glob("_probe*.so")):
        pytest.skip("the probe module is built by scripts/test.sh")
    sys.path.insert(0, directory)
    try:
        import _probe
    finally:
        sys.path.remove(directory)
    return _probe


@pytest.fixture
def core():
    return _core
