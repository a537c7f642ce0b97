"""The compiled part of the Python module for pip install . (pyproject.toml has the rest).

The extension pairfit._core is built by this project's own CMake build (the target
pairfit_python of python/CMakeLists.txt) for the interpreter that runs pip, so the library's
sources and flags (-ffp-contract=off: the module gives the programs' numbers bit for bit)
are stated once, in CMakeLists.txt.
"""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = Path(__file__).resolve().parent


def cmake_version():
    """The version of CMakeLists.txt's project(), the one of the programs and the library."""
    text = (SOURCE / "CMakeLists.txt").read_text()
    return re.search(r"project\(pairfit VERSION ([0-9.]+)", text).group(1)


class CMakeBuild(build_ext):
    """Builds each extension (one: pairfit._core) with CMake and copies it into place."""

    def build_extension(self, extension):
        import pybind11

        build = Path(self.build_temp).resolve() / "cmake"
        configure = ["cmake", "-S", str(SOURCE), "-B", str(build),
                     "-DCMAKE_BUILD_TYPE=Release", "-DPAIRFIT_PYTHON=ON", "-DPAIRFIT_TESTS=OFF",
                     f"-DPython3_EXECUTABLE={sys.executable}",
                     f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
        subprocess.run(configure, check=True)
        # Two jobs unless the caller says otherwise: the library is big to compile.
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(["cmake", "--build", str(build), "--target", "pairfit_python",
                        "--parallel", jobs], check=True)
        target = Path(self.get_ext_fullpath(extension.name))
        built = build / "python" / "pairfit" / target.name
        if not built.exists():
            found = sorted(path.name for path in built.parent.glob("_core*"))
            raise RuntimeError(f"CMake built {found} in {built.parent}, not {target.name}")
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(version=cmake_version(),
      ext_modules=[Extension("pairfit._core", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      # Beside the CMake build folders, not inside build/.
      options={"build": {"build_base": "build-pip"}})
