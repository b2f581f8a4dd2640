"""Builds the extension with the project's CMake build and installs it.

Only the extension and the core it links are built: no tests, so neither
GoogleTest nor the test tree is needed. setuptools' build folders go to
build-pip/, apart from build/ that `make` uses. CMAKE_ARGS in the environment
adds options to the configuration (CI: -DTESSELLO_WERROR=ON).
"""

import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        target = Path(self.get_ext_fullpath(ext.name)).resolve()
        build_dir = Path(self.build_temp).resolve() / "cmake"
        subprocess.check_call([
            "cmake", "-S", str(ROOT), "-B", str(build_dir), "-G", "Ninja",
            "-DCMAKE_BUILD_TYPE=Release",
            "-DTESSELLO_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
            *shlex.split(os.environ.get("CMAKE_ARGS", "")),
        ])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "tessello"])
        built = next((build_dir / "python").glob("tessello*.so"))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


# Every command that derives its folder from the build base (build_ext's
# temporary and library folders, bdist_wheel's staging folder) follows it; the
# metadata folder that installing writes goes there too, not beside this file.
BUILD_BASE = ROOT / "build-pip"
BUILD_BASE.mkdir(exist_ok=True)

setup(
    ext_modules=[Extension("tessello", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "build": {"build_base": str(BUILD_BASE)},
        "egg_info": {"egg_base": str(BUILD_BASE)},
    },
)
