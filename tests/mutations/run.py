"""Plants faults in the native code, one at a time, and runs the test suite
against each, to show which faults the suite catches.

Each fault in faults.py names a file, a snippet that must occur exactly once
in it and the snippet's faulty replacement. The tree is copied once into a
scratch folder and built as scripts/test.sh builds it (the module, the C++
units and the probe module in one CMake folder); for every fault the copy is
patched, rebuilt incrementally, the C++ units and pytest run (stopping at the
first failure), and the file is restored.

    .venv/bin/python tests/mutations/run.py [--only ID ...] [--tests-from DIR]
        [--json FILE] [--compare FILE] [--jobs N] [--keep DIR]

--tests-from DIR checks this tree's code against DIR's tests/ folder instead
of its own; --compare FILE names an earlier --json result and fails if a
fault caught there is not caught now. Prints one line per fault (caught /
MISSED / not applicable) and a summary; exits 1 when a fault is missed or no
longer applies, or when --compare finds a fault no longer caught.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from faults import FAULTS  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


def listed_files(root: Path, under: str = ".") -> list[str]:
    """The files git would commit below `under`: tracked or new, not ignored."""
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard", "--", under], cwd=root,
                         check=True, capture_output=True, text=True).stdout
    return [line for line in out.splitlines() if line and (root / line).is_file()]


def copy_files(source: Path, names: list[str], dest: Path) -> None:
    """Copies the files that differ, stamped now: a kept scratch tree built
    from other sources must rebuild them, whatever their times at the source."""
    for name in names:
        target = dest / name
        if target.is_file() and target.read_bytes() == (source / name).read_bytes():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(source / name, target)


def replace_tests(tree: Path, source: Path) -> None:
    """Puts the tests/ folder of `source` (a checkout) in place of the tree's."""
    if not (source / "tests").is_dir():
        sys.exit(f"{source} has no tests/ folder")
    shutil.rmtree(tree / "tests")
    try:
        copy_files(source, listed_files(source, "tests"), tree)
    except subprocess.CalledProcessError:  # not a git checkout: everything but caches
        shutil.copytree(source / "tests", tree / "tests",
                        ignore=shutil.ignore_patterns("__pycache__", ".hypothesis", "*.pyc"),
                        copy_function=shutil.copyfile)


def run(cmd: list[str], cwd: Path, env: dict[str, str] | None = None,
        timeout: float = 1800) -> subprocess.CompletedProcess:
    return subprocess.run(cmd, cwd=cwd, env=env, capture_output=True, text=True, timeout=timeout)


class Bench:
    """The scratch copy, its CMake tree and the staged package."""

    def __init__(self, tree: Path, jobs: int):
        self.tree = tree
        self.build = tree / "build" / "mutations"
        self.stage = self.build / "stage"
        self.jobs = jobs
        self.python = sys.executable

    def configure(self) -> None:
        # The options the package build and scripts/setup.sh --with-tests give.
        cmd = [self.python, "-m", "cmake", "-S", ".", "-B", str(self.build), "-G", "Ninja",
               "-DCMAKE_BUILD_TYPE=Release", "-DLARKSPAN_BUILD_MODULE=ON",
               "-DLARKSPAN_BUILD_TESTS=ON", f"-DPython_EXECUTABLE={self.python}"]
        ninja = Path(self.python).with_name("ninja")
        if ninja.exists():
            cmd.append(f"-DCMAKE_MAKE_PROGRAM={ninja}")
        result = run(cmd, self.tree)
        if result.returncode:
            sys.exit(f"configure failed:\n{result.stdout}{result.stderr}")

    def build_all(self) -> subprocess.CompletedProcess:
        return run([self.python, "-m", "cmake", "--build", str(self.build), "-j", str(self.jobs)],
                   self.tree)

    def stage_package(self) -> None:
        """The package as installed: the Python files and the two modules;
        the probe module stays in the build folder, where the tests look."""
        package = self.stage / "larkspan" / "splat"
        if self.stage.exists():
            shutil.rmtree(self.stage)
        shutil.copytree(self.tree / "src" / "larkspan", self.stage / "larkspan",
                        ignore=shutil.ignore_patterns("__pycache__"))
        for module in self.build.glob("*.so"):
            if not module.name.startswith("_probe"):
                shutil.copy2(module, package / module.name)

    def test(self, first: list[str] = ()) -> tuple[bool, str]:
        """True when the suite passes; otherwise the first failure's summary.
        The modules in `first` run on their own before the whole suite: a
        fault they catch is caught without waiting for the rest."""
        try:
            units = run([str(self.build / "native_tests"), "--gtest_brief=1"], self.tree)
        except subprocess.TimeoutExpired:
            return False, "C++ units: timed out"
        if units.returncode:
            failed = [l for l in units.stdout.splitlines() if "FAILED" in l]
            return False, "C++ units: " + (failed[0] if failed else "exit %d" % units.returncode)
        # Examples a fault made hypothesis save would be replayed against the next.
        shutil.rmtree(self.tree / ".hypothesis", ignore_errors=True)
        env = dict(os.environ, PYTHONPATH=str(self.stage), LARKSPAN_PROBE_DIR=str(self.build))
        env.pop("LARKSPAN_PROPERTY_SCALE", None)
        for modules in ([*first], []) if first else ([],):
            try:
                suite = run([self.python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider",
                             *modules], self.tree, env=env)
            except subprocess.TimeoutExpired:
                return False, "pytest: timed out"
            if suite.returncode:
                failed = [l for l in suite.stdout.splitlines() if l.startswith(("FAILED", "ERROR"))]
                return False, "pytest: " + (failed[0] if failed else "exit %d" % suite.returncode)
        return True, ""


# Test modules most likely to catch a fault in a native file, by a word of its
# path; they run first (the verdict is the same, it only comes sooner).
FIRST = {"split_point_cloud": "split_ply", "cleanup": "cleanup", "ortho_cells": "ortho_cells",
         "merge": "merge", "patches": "patches", "split_cameras": "split_cameras",
         "colmap": "colmap", "json": "config", "declaration": "module", "io.": "outputs",
         "records": "large_inputs", "ply.": "ply_layout"}


def first_modules(tree: Path, fault_file: str) -> list[str]:
    words = [module for word, module in FIRST.items() if word in fault_file]
    return sorted(str(path.relative_to(tree)) for word in words
                  for path in (tree / "tests").glob(f"test_*{word}*.py"))


def plant(bench: Bench, fault: dict) -> tuple[str, str]:
    """Applies one fault, tests, restores; the verdict and its detail."""
    path = bench.tree / fault["file"]
    original = path.read_text()
    occurrences = original.count(fault["find"])
    if occurrences != 1:
        return "not applicable", f"{occurrences} matches"
    path.write_text(original.replace(fault["find"], fault["replace"]))
    try:
        built = bench.build_all()
        if built.returncode:
            return "not applicable", "does not compile"
        bench.stage_package()
        passed, detail = bench.test(first_modules(bench.tree, fault["file"]))
        return ("MISSED", "") if passed else ("caught", detail)
    finally:
        path.write_text(original)
        os.utime(path)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", nargs="*", help="fault ids to run")
    parser.add_argument("--tests-from", type=Path, help="a checkout whose tests/ folder to use")
    parser.add_argument("--json", type=Path, help="write the results here")
    parser.add_argument("--compare", type=Path, help="an earlier --json result to compare with")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2)
    parser.add_argument("--keep", type=Path, help="scratch folder to use and keep")
    args = parser.parse_args()
    # A shell starts background jobs with Ctrl-C ignored, which the test
    # processes would inherit; the tests of interrupts need it delivered.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    faults = [f for f in FAULTS if not args.only or f["id"] in args.only]
    started = time.monotonic()
    scratch = args.keep or Path(tempfile.mkdtemp(prefix="larkspan-mutations-"))
    shutil.rmtree(scratch / "tests", ignore_errors=True)  # a kept folder's earlier suite
    copy_files(ROOT, listed_files(ROOT), scratch)
    if args.tests_from:
        replace_tests(scratch, args.tests_from.resolve())
    bench = Bench(scratch, args.jobs)
    bench.configure()
    if bench.build_all().returncode:
        sys.exit("the unmodified tree does not build")
    bench.stage_package()
    passed, why = bench.test()
    if not passed:  # once more: a test that fails only now and then is reported, not fatal
        print(f"the unmodified tree failed once: {why}", flush=True)
        passed, why = bench.test()
    if not passed:
        sys.exit(f"the unmodified tree fails its suite: {why}")
    print(f"unmodified tree built and passed in {time.monotonic() - started:.0f}s", flush=True)

    results = []
    for fault in faults:
        fault_started = time.monotonic()
        verdict, detail = plant(bench, fault)
        seconds = round(time.monotonic() - fault_started)
        results.append({"id": fault["id"], "file": fault["file"], "verdict": verdict,
                        "seconds": seconds, "detail": detail})
        print(f"{fault['id']:<26} {verdict:<14} {seconds:4d}s  {detail}", flush=True)
    if args.keep:
        bench.build_all()  # the kept tree as it was
    else:
        shutil.rmtree(scratch, ignore_errors=True)

    count = {v: sum(r["verdict"] == v for r in results) for v in ("caught", "MISSED", "not applicable")}
    minutes = (time.monotonic() - started) / 60
    print(f"\n{count['caught']} caught, {count['MISSED']} missed, {count['not applicable']} not "
          f"applicable, of {len(results)} faults, in {minutes:.0f} min")
    if args.json:
        args.json.parent.mkdir(parents=True, exist_ok=True)
        args.json.write_text(json.dumps({
            "tests_from": str(args.tests_from or ROOT), "minutes": round(minutes, 1),
            "caught": count["caught"], "missed": count["MISSED"],
            "not_applicable": count["not applicable"], "results": results}, indent=1) + "\n")
    lost = []
    if args.compare:
        before = {r["id"]: r["verdict"] for r in json.loads(args.compare.read_text())["results"]}
        now = {r["id"]: r["verdict"] for r in results}
        lost = [i for i, v in before.items() if v == "caught" and now.get(i, "caught") != "caught"]
        print("caught before but not now: " + (", ".join(lost) if lost else "none"))
    return 1 if count["MISSED"] or count["not applicable"] or lost else 0


if __name__ == "__main__":
    sys.exit(main())
