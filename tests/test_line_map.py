"""The lines the library's traceback entries report are the lines of each module's reference
body (libs/ciphers/*/reference.py): every failure that can be provoked runs
through both, and both must fail the same way at the same lines."""
import ast
import glob
import hashlib
import os
import re

import pytest

from conftest import MODULE_FOLDERS, run_python


def raising(exception):
    def fail(*args, **kwargs):
        raise exception("provoked")
    return fail


class Failing:
    """Whatever is asked of it (encode, decode, truth, arithmetic, comparison) raises."""
    def __init__(self, exception=MemoryError):
        self.exception = exception

    def fail(self, *args, **kwargs):
        raise self.exception("provoked")

    encode = decode = __bool__ = __mod__ = __ne__ = __eq__ = __iadd__ = __add__ = fail
    __mul__ = __sub__ = __rsub__ = __rtruediv__ = fail


class StrFailing(str):
    def encode(self, *args):
        raise MemoryError("provoked")


class BytesFailing(bytes):
    def decode(self, *args):
        raise MemoryError("provoked")


class Returning:
    def __init__(self, value):
        self.value = value

    def __call__(self, *args):
        return self.value


class Even:
    """An odd seed for d1: `i % 2 == 0` holds, `i += 1` fails."""
    def __mod__(self, other):
        return 0

    def __iadd__(self, other):
        raise ValueError("provoked")


class Odd:
    def __mod__(self, other):
        return 1

    def __eq__(self, other):
        raise ValueError("provoked")


class Slicing:
    """A token whose second slice fails, or whose tag cannot be compared."""
    def __init__(self, fail_on):
        self.fail_on, self.calls = fail_on, 0

    def __len__(self):
        return 40

    def __getitem__(self, bounds):
        self.calls += 1
        if self.calls == self.fail_on:
            raise KeyError("provoked")
        part = Failing(ValueError)
        part.encode = lambda *args: b""
        return part


def sealed(body):
    return body + hashlib.md5(body.encode("utf-8")).hexdigest()


def payload_codec(payload):
    return type("Codec", (), {"d1": staticmethod(Returning(payload)),
                              "e1": staticmethod(lambda raw: "")})


def key_helper(table):
    return type("Keys", (), {"_TavroCrypt4__f2": staticmethod(Returning(table))})


EMPTY_TAG = hashlib.md5(b"").hexdigest()

# (case, rebinding of (module, name, value) or None, call on (codec, cipher))
CASES = [
    ("3.e1 encode", None, lambda c, k: c.e1(StrFailing("x"))),
    ("3.e1 b64encode", ("3", "base64", type("B", (), {"b64encode": raising(MemoryError)})),
     lambda c, k: c.e1(b"x")),
    ("3.e1 decode", ("3", "base64", type("B", (), {"b64encode": Returning(Failing())})),
     lambda c, k: c.e1(b"x")),
    ("3.e2", ("3", "_TavroCrypt3", None), lambda c, k: c.e2("x")),
    ("3.d1 text", None, lambda c, k: c.d1(BytesFailing(b"YQ"))),
    ("3.d1 b64decode",
     ("3", "base64", type("B", (), {"urlsafe_b64decode": raising(MemoryError)})),
     lambda c, k: c.d1("YQ")),
    ("3.d1 if enc", None, lambda c, k: c.d1("YQ", Failing())),
    ("3.d1 decode",
     ("3", "base64", type("B", (), {"urlsafe_b64decode": Returning(Failing())})),
     lambda c, k: c.d1("YQ", "utf-8")),
    ("__f1 reduce", None, lambda c, k: k._TavroCrypt4__f1(object())),
    ("__f1 loop", None, lambda c, k: k._TavroCrypt4__f1(type("M", (), {
        "__mod__": Returning(Failing(ValueError))})())),
    ("__f1 quotient", None, lambda c, k: k._TavroCrypt4__f1(type("M", (), {
        "__mod__": Returning(type("B", (), {"__ne__": Returning(True)})())})())),
    ("__f1 remainder", None, lambda c, k: k._TavroCrypt4__f1(type("M", (), {
        "__mod__": Returning(type("B", (), {"__ne__": Returning(True),
                                            "__rtruediv__": Returning(1.0),
                                            "__mul__": raising(ValueError)})())})())),
    ("e1 encode", None, lambda c, k: k.e1(StrFailing("x"))),
    ("e1 length", None, lambda c, k: k.e1(None)),
    ("e1 key table", ("4", "_TavroCrypt4", None), lambda c, k: k.e1("x")),
    ("e1 header loop", ("4", "_TavroCrypt4", key_helper(None)), lambda c, k: k.e1("x")),
    ("e1 header append", ("4", "_TavroCrypt4", key_helper(["x"])), lambda c, k: k.e1("x")),
    ("e1 seed", ("4", "_TavroCrypt4", key_helper([])), lambda c, k: k.e1("x")),
    ("e1 offset", ("4", "_TavroCrypt4", key_helper([3])), lambda c, k: k.e1("x")),
    ("e1 encipher", None, lambda c, k: k.e1([1, "x"])),
    ("e1 body", ("4", "_TavroCrypt3", None), lambda c, k: k.e1("x")),
    ("e1 tag", ("4", "hashlib", None), lambda c, k: k.e1("x")),
    ("d1 body", None, lambda c, k: k.d1(None)),
    ("d1 tag", None, lambda c, k: k.d1(Slicing(fail_on=2))),
    ("d1 digest", None, lambda c, k: k.d1(b"x" * 40)),
    ("d1 compare", None, lambda c, k: k.d1(Slicing(fail_on=0))),
    ("d1 payload", ("4", "_TavroCrypt3", None), lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 length", None, lambda c, k: k.d1(sealed("A"))),
    ("d1 seed", None, lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 even", ("4", "_TavroCrypt3", payload_codec([object()])), lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 make odd", ("4", "_TavroCrypt3", payload_codec([Even()])),
     lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 is one", ("4", "_TavroCrypt3", payload_codec([Odd()])), lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 inverse", ("4", "_TavroCrypt4", None), lambda c, k: k.d1(sealed("AQ"))),
    ("d1 offset", None, lambda c, k: k.d1(sealed("AQ"))),
    ("d1 decipher", ("4", "_TavroCrypt3", payload_codec([3, 5] + [0] * 8 + ["x"])),
     lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 append", ("4", "_TavroCrypt3", payload_codec([3, 5] + [0] * 8 + [1.5])),
     lambda c, k: k.d1(EMPTY_TAG)),
    ("d1 if enc", None, lambda c, k: k.d1(k.e1("x"), Failing())),
    ("d1 decode", None, lambda c, k: k.d1(k.e1("x"), "no-such-codec")),
]


def outcome(implementation, monkeypatch, rebinding, call):
    modules = {"3": implementation.crypt3, "4": implementation.crypt4}
    codec, cipher = implementation.crypt3._TavroCrypt3, implementation.crypt4._TavroCrypt4
    if rebinding:
        module, name, value = rebinding
        if value is None:
            monkeypatch.delattr(modules[module], name)
        else:
            monkeypatch.setattr(modules[module], name, value)
    try:
        call(codec, cipher)
    except BaseException as error:
        return type(error), implementation.method_entries(error)
    finally:
        monkeypatch.undo()
    raise AssertionError("no failure")


@pytest.mark.parametrize("case, rebinding, call", CASES, ids=[case[0] for case in CASES])
def test_failures_report_the_rendering_lines(library, model, monkeypatch, case, rebinding,
                                            call):
    native = outcome(library, monkeypatch, rebinding, call)
    rendered = outcome(model, monkeypatch, rebinding, call)
    assert native == rendered
    assert native[1], "the failure should carry an entry of the method"


def statement_line(module, predicate):
    path = os.path.join(MODULE_FOLDERS, module, "reference.py")
    with open(path) as source:
        tree = ast.parse(source.read())
    return next(node.lineno for node in tree.body if predicate(node))


def imports(name):
    return lambda node: isinstance(node, (ast.Import, ast.ImportFrom)) and (
        getattr(node, "module", None) == name or any(a.name == name for a in node.names))


@pytest.mark.parametrize("module, planted, line", [
    ("tavro_crypt_3", "base64", imports("base64")),
    ("tavro_crypt_4", "hashlib", imports("hashlib")),
    ("tavro_crypt_4", "random", imports("random")),
    ("tavro_crypt_4", "numpy", imports("numpy")),
    ("tavro_crypt_4", "tavro_crypt_3", imports("tavro.libs.ciphers.tavro_crypt_3")),
])
def test_module_body_failures_report_the_rendering_lines(package_copy, module, planted, line):
    env, package = package_copy
    if planted == "tavro_crypt_3":
        for library_file in package.glob("tavro_crypt_3*"):
            library_file.unlink()
    (package / (planted + ".py")).write_text("raise ValueError('planted')\n")
    output = run_python(f"""
        import traceback
        try:
            import tavro.libs.ciphers.{module}
        except ValueError as error:
            entry = traceback.extract_tb(error.__traceback__)
            print([e.lineno for e in entry if e.name == "init tavro.libs.ciphers.{module}"])
        """, env=env)
    assert output.returncode == 0, output.stderr
    assert output.stdout.strip() == str([statement_line(module, line)])


# A line constant as the native code writes it, and anything else that looks like one.
LINE_CONSTANT = re.compile(r"^constexpr int (line_\w+) = (\d+);  // (.+)$", re.M)
ANY_LINE_CONSTANT = re.compile(r"\bline_\w+\s*=\s*\d+")


def test_every_line_constant_names_its_statement():
    """Every line a traceback entry can report carries, beside its number, the rendering's
    statement on that line ("..." ending a long one): a number that drifts from its
    statement, or a constant without one, fails here."""
    checked, untied = 0, []
    for path in glob.glob(os.path.join(MODULE_FOLDERS, "tavro_crypt_*", "*.[ch]pp")):
        rendering = os.path.join(os.path.dirname(path), "reference.py")
        with open(rendering) as file:
            statements = [line.strip() for line in file.read().splitlines()]
        with open(path) as file:
            source = file.read()
        tied = LINE_CONSTANT.findall(source)
        for name, number, statement in tied:
            checked += 1
            text = statements[int(number) - 1]
            cut = statement.endswith("...") and text.startswith(statement[:-3])
            if text != statement and not cut:
                untied.append((name, number, statement))
        if len(ANY_LINE_CONSTANT.findall(source)) != len(tied):
            untied.append((os.path.basename(path), "untied constants"))
    assert checked >= 60 and not untied
