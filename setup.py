"""Builds the extension with the project's CMake build and installs it."""

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
            "-DTESSELLO_FAULT_INJECTION=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ])
        subprocess.check_call(["cmake", "--build", str(build_dir), "--target", "tessello"])
        built = next((build_dir / "python").glob("tessello*.so"))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(built, target)


setup(ext_modules=[Extension("tessello", sources=[])], cmdclass={"build_ext": CMakeBuild})
