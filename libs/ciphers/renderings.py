"""The plain-Python renderings of both class bodies, loaded as one model of the libraries.

The renderings sit beside the native code and are never installed: the tests run against
them as well as against the libraries, and the benchmarks use them as the baseline.
"""
import importlib.util
import os

RENDERINGS = os.path.dirname(os.path.abspath(__file__))


def load_rendering(name, **rebound):
    spec = importlib.util.spec_from_file_location(
        "rendering_" + name, os.path.join(RENDERINGS, name + ".py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    vars(module).update(rebound)
    return module


def load():
    """The two modules, the cipher's rendering calling the codec's rendering."""
    crypt3 = load_rendering("tavro_crypt_3")
    crypt4 = load_rendering("tavro_crypt_4", _TavroCrypt3=crypt3._TavroCrypt3)
    return crypt3, crypt4
