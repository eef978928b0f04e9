"""The package kexio built through CMake: setuptools asks for one extension, kexio._kexio,
and this build configures the project in its own folder (build-python) for the Python
that runs it, builds the module with the libraries it needs, and puts libkexio.so, the
libraries it loads at run time and the colormaps into the package's lib/ folder, where
the module finds them. The version is the project's, as CMakeLists.txt states it."""
import glob
import os
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

HERE = os.path.dirname(os.path.abspath(__file__))
# Everything the build makes stays in this folder: the CMake build and setuptools' own
# files (build/ is the project's CMake build).
BUILD = os.path.join(HERE, "build-python")


def version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(kexio VERSION ([0-9.]+)", f.read()).group(1)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build = BUILD
        configure = ["cmake", "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                     "-DKEXIO_PYTHON_PACKAGE=ON", "-DKEXIO_TESTS=OFF", "-DKEXIO_BENCH=OFF",
                     f"-DPython3_EXECUTABLE={sys.executable}"]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        if shutil.which("ccache"):
            configure += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache",
                          "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        subprocess.run(configure, check=True)
        jobs = os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        subprocess.run(["cmake", "--build", build, "--target", "kexio_python_package",
                        "-j", jobs], check=True)
        package = os.path.dirname(os.path.abspath(self.get_ext_fullpath(ext.name)))
        os.makedirs(os.path.join(package, "lib"), exist_ok=True)
        for f in glob.glob(os.path.join(build, "python", "kexio", "*")):
            if os.path.isfile(f):
                shutil.copy2(f, package)
        for f in glob.glob(os.path.join(build, "lib", "lib*.so")):
            shutil.copy2(f, os.path.join(package, "lib"))
        shutil.copytree(os.path.join(build, "lib", "cmaps"), os.path.join(package, "lib", "cmaps"),
                        dirs_exist_ok=True)


os.makedirs(BUILD, exist_ok=True)
setup(version=version(), ext_modules=[Extension("kexio._kexio", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      options={"build": {"build_base": os.path.join(BUILD, "setuptools")},
               "egg_info": {"egg_base": BUILD}})
