"""Builds the extension assocnet._assocnet with CMake (this folder's
CMakeLists.txt on its own, reading the C++ sources of the checkout around it)
for the python that runs pip; pyproject.toml holds the rest."""
import os
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        out = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        work = os.path.join(os.path.abspath(self.build_temp), "cmake")
        subprocess.check_call(["cmake", "-S", HERE, "-B", work, "-DCMAKE_BUILD_TYPE=Release",
                               "-DPython_EXECUTABLE=" + sys.executable,
                               "-DASSOCNET_PYTHON_DIR=" + out])
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.check_call(["cmake", "--build", work, "--target", "_assocnet", "-j", jobs])


setup(ext_modules=[Extension("assocnet._assocnet", sources=[])], cmdclass={"build_ext": CMakeBuild})
