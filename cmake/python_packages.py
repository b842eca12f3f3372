"""Where the build's Python environment keeps the native dependencies.

    python python_packages.py file DISTRIBUTION SUFFIX
        prints the real path of the installed file of DISTRIBUTION whose
        path ends in SUFFIX, or nothing when the distribution or the file
        is not installed;
    python python_packages.py libdir-from-package PACKAGE_DIR
        prints the path from an installed package folder (such as
        larkspan/splat) to the folder where wheels put their shared
        libraries as data files (`<prefix>/lib`), relative to the first.

Used by CMakeLists.txt; the standard library only.
"""

import importlib.metadata
import os
import sys
import sysconfig


def installed_file(distribution: str, suffix: str) -> str:
    try:
        files = importlib.metadata.files(distribution) or []
    except importlib.metadata.PackageNotFoundError:
        return ""
    for file in files:
        if file.as_posix().endswith(suffix):
            path = os.path.realpath(file.locate())
            if os.path.exists(path):
                return path
    return ""


def libdir_from_package(package_dir: str) -> str:
    paths = sysconfig.get_paths()
    return os.path.relpath(os.path.join(paths["data"], "lib"),
                           os.path.join(paths["platlib"], package_dir))


if __name__ == "__main__":
    command, *args = sys.argv[1:]
    if command == "file":
        print(installed_file(*args))
    elif command == "libdir-from-package":
        print(libdir_from_package(*args))
    else:
        sys.exit(f"unknown command {command!r}")
