"""Builds the blockwright extension on the C library.

The library comes from one of two places:

- BLOCKWRIGHT_PREFIX names an installed tree (include/blockwright.h and
  libblockwright.a or libblockwright.so under lib/, lib64/ or
  lib/<multiarch>/), which is linked as it is;
- otherwise the repository this folder belongs to is built with CMake into
  the build folder (the static library alone, nothing downloaded), and
  linked statically, so the module needs no other file at run time.
  BLOCKWRIGHT_CMAKE_ARGS adds arguments to that configure step
  (e.g. "-DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++").
"""
import os
import re
import shlex
import subprocess
import sys
import sysconfig
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = Path(__file__).resolve().parent
REPO = HERE.parent


def repository_version():
    cmakelists = REPO / "CMakeLists.txt"
    if cmakelists.is_file():
        m = re.search(r"project\(blockwright\s+VERSION\s+([0-9.]+)", cmakelists.read_text())
        if m:
            return m.group(1)
    return "0"


def installed_library(prefix):
    """The header folder and library file of an installed tree."""
    prefix = Path(prefix)
    include = prefix / "include"
    if not (include / "blockwright.h").is_file():
        sys.exit(f"blockwright: BLOCKWRIGHT_PREFIX={prefix}: no include/blockwright.h there")
    libdirs = [prefix / "lib", prefix / "lib64"]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    if multiarch:
        libdirs.insert(0, prefix / "lib" / multiarch)
    for name in ("libblockwright.a", "libblockwright.so"):
        for d in libdirs:
            if (d / name).exists():
                return include, d / name
    sys.exit(f"blockwright: BLOCKWRIGHT_PREFIX={prefix}: no libblockwright.a or .so under lib/")


class BuildWithLibrary(build_ext):
    """Obtains the C library before the extension is compiled and linked."""

    def run(self):
        prefix = os.environ.get("BLOCKWRIGHT_PREFIX")
        if prefix:
            include, library = installed_library(prefix)
        else:
            include, library = self.build_library()
        for ext in self.extensions:
            # Linked again whenever the library or its header changes.
            ext.depends += [str(include / "blockwright.h"), str(library)]
            ext.include_dirs.append(str(include))
            if library.suffix == ".a":
                ext.extra_objects.append(str(library))
            else:
                ext.library_dirs.append(str(library.parent))
                ext.runtime_library_dirs.append(str(library.parent))
                ext.libraries.append("blockwright")
        super().run()

    def build_library(self):
        if not (REPO / "include" / "blockwright.h").is_file():
            sys.exit("blockwright: this folder is not inside a Blockwright checkout; "
                     "set BLOCKWRIGHT_PREFIX to an installed Blockwright")
        build = Path(self.build_temp).resolve() / "cmake"
        jobs = os.environ.get("BLOCKWRIGHT_JOBS") or str(os.cpu_count() or 1)
        configure = ["cmake", "-S", str(REPO), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                     "-DBLOCKWRIGHT_TESTS=OFF", "-DBLOCKWRIGHT_BENCH=OFF", "-DBLOCKWRIGHT_GSTREAMER=OFF",
                     "-DBLOCKWRIGHT_PROGRAMS=OFF", "-DBLOCKWRIGHT_INSTALL=OFF"]
        configure += shlex.split(os.environ.get("BLOCKWRIGHT_CMAKE_ARGS", ""))
        try:
            subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
            subprocess.run(["cmake", "--build", str(build), "--target", "blockwright_static",
                            "-j", jobs], check=True)
        except FileNotFoundError:
            sys.exit("blockwright: cmake is needed to build the C library (Debian: apt-get install cmake)")
        except subprocess.CalledProcessError as e:
            sys.exit(f"blockwright: building the C library failed: {e}")
        return REPO / "include", build / "lib" / "libblockwright.a"


setup(
    name="blockwright",
    version=repository_version(),
    description="A small, integer-only baseline JPEG encoder for 8-bit frames",
    long_description=(HERE / "README.md").read_text(encoding="utf-8"),
    long_description_content_type="text/markdown",
    python_requires=">=3.9",
    package_dir={"": "src"},
    packages=["blockwright"],
    package_data={"blockwright": ["py.typed", "*.pyi"]},
    ext_modules=[
        Extension(
            "blockwright._blockwright",
            sources=["src/blockwright/_blockwright.c"],
            libraries=["pthread"],
            extra_compile_args=["-std=c11", "-Wall", "-Wextra", "-Wpedantic", "-Wshadow", "-Wconversion",
                                "-Wno-sign-conversion", "-Werror", "-fvisibility=hidden"],
        )
    ],
    cmdclass={"build_ext": BuildWithLibrary},
    zip_safe=False,
)
