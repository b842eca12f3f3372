"""Runs a command as on a machine without Debian's development packages and,
optionally, as a user without root.

In a private mount namespace (this machine's files stay as they are), every
file of every installed `-dev` package is hidden, except those of the C and
C++ compiler (glibc's, libstdc++'s and the kernel's headers), and so are the
files of the system's oneTBB library packages: a folder that only such
packages use is covered by an empty file system, and a file in a shared
folder by /dev/null, which reads as empty. A build or program that still reached one of them
would fail. Needs root, to make the namespace.

    python scripts/without_dev_packages.py [--user NAME --home DIR] [--keep PATH]... -- COMMAND...

--user runs COMMAND as NAME with HOME set to DIR (created, owned by NAME).
Paths given with --keep (the interpreter's installation, the source
tree) stay reachable for that user even when they lie in root's home folder,
which is then replaced by an empty one.
"""

from __future__ import annotations

import argparse
import ctypes
import os
import pwd
import re
import subprocess
import sys
import tempfile
from pathlib import Path

DPKG_INFO = Path("/var/lib/dpkg/info")
# What Debian's g++ package brings: the compiler needs these headers and
# libraries, so they stay.
COMPILER_PACKAGES = re.compile(
    r"(libc6|libcrypt|libnsl|libtirpc|linux-libc|libgcc-\d+|libstdc\+\+-\d+)-dev")
HIDDEN_RUNTIME = re.compile(r"libtbb.*")  # the system's oneTBB library


def installed_package_lists() -> dict[str, list[str]]:
    lists = {}
    for path in DPKG_INFO.glob("*.list"):
        package = path.stem.split(":")[0]
        lists[package] = path.read_text(errors="replace").splitlines()
    return lists


def is_hidden(package: str) -> bool:
    if HIDDEN_RUNTIME.fullmatch(package):
        return True
    return package.endswith("-dev") and not COMPILER_PACKAGES.fullmatch(package)


def what_to_cover(lists: dict[str, list[str]]) -> tuple[list[str], list[str]]:
    """Folders used by hidden packages only (outermost first), and the hidden
    packages' files that lie in folders shared with other packages."""
    kept = set()
    hidden = set()
    for package, paths in lists.items():
        (hidden if is_hidden(package) else kept).update(paths)
    hidden -= kept
    folders, files = [], []
    for path in sorted(hidden):
        if any(str(parent) in folders for parent in Path(path).parents):
            continue  # inside a folder already covered
        if os.path.islink(path) or not os.path.exists(path):
            # A link is left: covering it would cover the file it names, which
            # may belong to a package that stays (libssl.so names libssl.so.3).
            continue
        if os.path.isdir(path):
            folders.append(path)
        else:
            files.append(path)
    return folders, files


LIBC = ctypes.CDLL(None, use_errno=True)
MS_RDONLY, MS_BIND, MS_MOVE = 1, 4096, 8192


def mount(source: str, target: str, fstype: str | None = None, flags: int = 0,
          options: str | None = None) -> None:
    """mount(2) itself: some two thousand calls, too many for the mount program."""
    if LIBC.mount(source.encode(), target.encode(), fstype and fstype.encode(), flags,
                  options and options.encode()) != 0:
        error = ctypes.get_errno()
        raise OSError(error, f"mount {source} on {target}: {os.strerror(error)}")




def hide_dev_packages() -> int:
    folders, files = what_to_cover(installed_package_lists())
    for folder in folders:
        mount("hidden", folder, "tmpfs", MS_RDONLY, "mode=755")
    for file in files:
        mount("/dev/null", file, None, MS_BIND)  # reads as empty
    return len(folders) + len(files)


def open_root_home(keep: list[str]) -> None:
    """Replaces root's home, which other users cannot enter, with an empty
    one holding only the kept paths that lie in it."""
    home = pwd.getpwuid(0).pw_dir
    inside = [p for p in keep if p == home or p.startswith(home + "/")]
    if not inside:
        return
    staging = tempfile.mkdtemp(prefix="kept-")
    for i, path in enumerate(inside):
        os.mkdir(f"{staging}/{i}")
        mount(path, f"{staging}/{i}", None, MS_BIND)
    mount("home", home, "tmpfs", 0, "mode=755")
    for i, path in enumerate(inside):
        os.makedirs(path, exist_ok=True)
        mount(f"{staging}/{i}", path, None, MS_MOVE)
        os.rmdir(f"{staging}/{i}")
    os.rmdir(staging)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--user")
    parser.add_argument("--home", type=Path)
    parser.add_argument("--keep", action="append", default=[])
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("command", nargs="+")
    args = parser.parse_args()
    if args.user and not args.home:
        parser.error("--user needs --home")

    if not args.inside:
        if os.geteuid() != 0:
            sys.exit("without_dev_packages.py needs root to make a private mount namespace")
        return subprocess.run(["unshare", "--mount", "--propagation", "private", sys.executable,
                               __file__, "--inside", *sys.argv[1:]]).returncode

    count = hide_dev_packages()
    print(f"(hidden: {count} folders and files of Debian development packages and of libtbb)",
          flush=True)
    if args.user:
        keep = [os.path.realpath(p) for p in args.keep]
        open_root_home(keep)
        user = pwd.getpwnam(args.user)
        home = args.home.resolve()
        home.mkdir(parents=True, exist_ok=True)
        os.chown(home, user.pw_uid, user.pw_gid)
        os.environ.update(HOME=str(home), USER=user.pw_name, LOGNAME=user.pw_name)
        os.setgroups([])
        os.setgid(user.pw_gid)
        os.setuid(user.pw_uid)
    os.execvp(args.command[0], args.command)


if __name__ == "__main__":
    sys.exit(main())
