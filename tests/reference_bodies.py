"""The reference bodies of both modules (libs/ciphers/<module>/reference.py), loaded as one
model of the libraries.

The bodies sit beside the native code that renders them and are never installed: the tests
run against them as well as against the libraries, and the benchmarks use them as the
baseline.
"""
import ast
import importlib.util
import os

# The folder of the modules' folders, each holding its reference body.
MODULE_FOLDERS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                          "libs", "ciphers")

# The standard library's functions the bodies call that a pin may answer for.
PINNABLE = {("base64", "b64encode"), ("base64", "urlsafe_b64decode"), ("hashlib", "md5")}


class _Pinning(ast.NodeTransformer):
    """`module.function(...)` becomes `__pinned__(module.function)(...)`: the function is
    looked up as the body looks it up, then the pin says what to call."""

    def visit_Call(self, node):
        self.generic_visit(node)
        target = node.func
        if (isinstance(target, ast.Attribute) and isinstance(target.value, ast.Name) and
                (target.value.id, target.attr) in PINNABLE):
            node.func = ast.copy_location(ast.Call(
                func=ast.copy_location(ast.Name("__pinned__", ast.Load()), target),
                args=[target], keywords=[]), target)
        return node


def load_body(name, pin=None, **rebound):
    path = os.path.join(MODULE_FOLDERS, name, "reference.py")
    spec = importlib.util.spec_from_file_location("reference_" + name, path)
    module = importlib.util.module_from_spec(spec)
    if pin is None:
        spec.loader.exec_module(module)
    else:
        with open(path, encoding="utf-8") as source:
            tree = _Pinning().visit(ast.parse(source.read(), path))
        vars(module)["__pinned__"] = pin
        exec(compile(tree, path, "exec"), vars(module))
    vars(module).update(rebound)
    return module


def load(pin=None):
    """The two modules, the cipher's body calling the codec's body. With `pin`,
    each call of a function in PINNABLE calls `pin(function)` instead."""
    crypt3 = load_body("tavro_crypt_3", pin)
    crypt4 = load_body("tavro_crypt_4", pin, _TavroCrypt3=crypt3._TavroCrypt3)
    return crypt3, crypt4
