"""The compiled peer: the reference bodies of both modules compiled to C extension
modules with Cython, which is what a user would pick instead of these libraries. It is a
yardstick for the benchmarks and never part of the package.

Built once per interpreter into build/bench-peer/<interpreter tag>/.
"""

import importlib
import os
import shutil
import subprocess
import sys
import sysconfig

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULES = os.path.join(ROOT, "libs", "ciphers")
BUILD = os.path.join(ROOT, "build", "bench-peer", sys.implementation.cache_tag)
NAMES = {"tavro_crypt_3": "peer_crypt_3", "tavro_crypt_4": "peer_crypt_4"}

SETUP = """
from setuptools import setup
from Cython.Build import cythonize
setup(ext_modules=cythonize(["peer_crypt_3.py", "peer_crypt_4.py"], language_level=3),
      script_args=["build_ext", "--inplace"])
"""


def build():
    os.makedirs(BUILD, exist_ok=True)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    if all(os.path.exists(os.path.join(BUILD, name + suffix)) for name in NAMES.values()):
        return
    for rendering, name in NAMES.items():
        shutil.copy(
            os.path.join(MODULES, rendering, "reference.py"), os.path.join(BUILD, name + ".py")
        )
    with open(os.path.join(BUILD, "setup.py"), "w") as setup:
        setup.write(SETUP)
    subprocess.run([sys.executable, "setup.py"], cwd=BUILD, check=True, stdout=subprocess.DEVNULL)


def load():
    """The two compiled modules, the cipher calling the compiled codec."""
    build()
    sys.path.insert(0, BUILD)
    crypt3 = importlib.import_module("peer_crypt_3")
    crypt4 = importlib.import_module("peer_crypt_4")
    crypt4._TavroCrypt3 = crypt3._TavroCrypt3
    return crypt3, crypt4
