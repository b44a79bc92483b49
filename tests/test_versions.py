"""What the interpreter version changes, and what it must not change.

Each difference here is one the interpreter forces; docs/compatibility.md lists them by version.
"""
import builtins
import sys

import pytest

from conftest import entries, run_python

CRYPT3 = "tavro.libs.ciphers.tavro_crypt_3"
CRYPT4 = "tavro.libs.ciphers.tavro_crypt_4"
FROM_3_11 = sys.version_info >= (3, 11)


def all_methods(crypt3, crypt4):
    codec, cipher = crypt3._TavroCrypt3, crypt4._TavroCrypt4
    return [codec.e1, codec.e2, codec.d1, cipher._TavroCrypt4__f1, cipher._TavroCrypt4__f2,
            cipher.e1, cipher.d1]


def test_code_objects_by_version(crypt3, crypt4):
    for function in all_methods(crypt3, crypt4):
        code = function.__code__
        assert code.co_flags == 3
        assert code.co_consts == code.co_names == code.co_freevars == code.co_cellvars == ()
        if FROM_3_11:
            # The placeholder bytecode needs a stack slot; it raises if run.
            assert code.co_stacksize == 1 and code.co_code != b""
            assert code.co_qualname == function.__qualname__
        else:
            assert code.co_stacksize == 0 and code.co_code == b""


def test_module_docstrings_are_one_text(crypt3, crypt4):
    assert crypt3.__doc__ == crypt4.__doc__
    assert len(crypt3.__doc__.splitlines()) == 3


def test_running_a_method_code_raises_instead_of_crashing():
    output = run_python(f"""
        import types
        from {CRYPT4} import _TavroCrypt4 as cipher
        def attempt(run):
            try:
                run()
            except BaseException as error:
                print(type(error).__name__, error, sep=": ")
        attempt(lambda: exec(cipher._TavroCrypt4__f2.__code__, {{}}))
        attempt(lambda: types.FunctionType(cipher.e1.__code__, {{}})("x"))
        attempt(lambda: exec(cipher.e1.__code__, {{}}))
        """)
    assert output.returncode == 0, output.stderr
    results = [line for line in output.stdout.splitlines() if ": " in line]
    running = "AssertionError: " if FROM_3_11 else "SystemError: unknown opcode"
    assert results == [running, running,
                       "TypeError: e1() missing 1 required positional argument: 'raw'"]


def test_isolated_subinterpreters_refuse_before_the_module_does():
    if sys.version_info < (3, 12):
        pytest.skip("isolated sub-interpreters exist from 3.12")
    inner = f"try:\n    import {CRYPT3}\nexcept ImportError as error:\n    print(error)\n"
    output = run_python(f"""
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        import {CRYPT3}
        interpreters.run_string(interpreters.create(), {inner!r})
        """)
    assert output.returncode == 0, output.stderr
    assert output.stdout.strip() == (
        f"module {CRYPT3} does not support loading in subinterpreters")


FAILURES = f"""
import hashlib, sys, traceback
from {CRYPT3} import _TavroCrypt3 as codec
from {CRYPT4} import _TavroCrypt4 as cipher
if sys.argv[1] == "nested":
    # e1 reaches its key helper through the module global: here a method of the codec.
    sys.modules["{CRYPT4}"]._TavroCrypt4 = type("T", (), {{"_TavroCrypt4__f2": codec.e2}})
if sys.argv[1] == "global":
    # A near name is left in the module, which a printer would suggest for a NameError
    # that carried the name looked up.
    del sys.modules["{CRYPT4}"]._TavroCrypt3
failing = {{
    "binding": lambda: cipher.d1(),
    "body": lambda: cipher.d1(hashlib.md5(b"").hexdigest()),
    "nested": lambda: cipher.e1("x"),
    "helper": lambda: cipher._TavroCrypt4__f1("x"),
    "global": lambda: cipher.e1("x"),
}}[sys.argv[1]]
try:
    failing()
except Exception:
    print(traceback.format_exc(), file=sys.stderr)
    print("--- printer", file=sys.stderr)
failing()
"""


# The last line printed, where later printers could add to what 3.9 printed: from 3.10 they
# suggest a near name for a NameError that carries the name it looked up.
LAST_LINES = {"global": "NameError: name '_TavroCrypt3' is not defined"}


@pytest.mark.parametrize("case", ["binding", "body", "nested", "helper", "global"])
def test_traceback_entries_read_the_same_through_both_printers(case):
    """The interpreter's printer and the traceback module show each native entry as
    file, line and qualified name, with no source line, on every version."""
    process = run_python(FAILURES, case)
    formatted, printed = process.stderr.strip().split("\n--- printer\n")
    formatted = formatted.strip()

    def native_entries(text):
        lines = text.splitlines()
        found = []
        for index, line in enumerate(lines):
            if line.startswith('  File "tavro/libs/ciphers/'):
                following = lines[index + 1] if index + 1 < len(lines) else ""
                assert not following.startswith("    "), (line, following)
                found.append(line)
        return found

    expected_count = 2 if case == "nested" else 1
    assert native_entries(formatted) == native_entries(printed)
    assert len(native_entries(printed)) == expected_count
    assert formatted.splitlines()[-1] == printed.splitlines()[-1]
    if case in LAST_LINES:
        assert printed.splitlines()[-1] == LAST_LINES[case]
    for line in native_entries(printed):
        assert line.split(", in ")[1].startswith(("tavro.libs.ciphers.tavro_crypt_3.",
                                                  "tavro.libs.ciphers.tavro_crypt_4."))


def test_entries_hold_file_line_and_name(crypt4):
    cipher = crypt4._TavroCrypt4
    with pytest.raises(TypeError) as caught:
        cipher._TavroCrypt4__f1("x")
    file, name, line = entries(caught.value)[-1]
    assert (file, name) == ("tavro/libs/ciphers/tavro_crypt_4.py",
                            "tavro.libs.ciphers.tavro_crypt_4._TavroCrypt4.__f1")
    assert line > cipher._TavroCrypt4__f1.__code__.co_firstlineno
    frame = caught.value.__traceback__
    while frame.tb_next:
        frame = frame.tb_next
    assert frame.tb_frame.f_lineno == line and frame.tb_frame.f_globals is vars(crypt4)
    with pytest.raises(TypeError) as again:
        cipher._TavroCrypt4__f1("x")
    # One code object a line, kept for the next traceback through it.
    assert again.value.__traceback__.tb_next.tb_frame.f_code is frame.tb_frame.f_code


def raised(kind, message, method, line, context=None):
    return ("raised", kind, message, [(method, line)], context)


def as_untouched(call):
    """The outcome the call has with the module's builtins left alone."""
    return ("untouched", call)


BUILTINS = vars(builtins)
NOT_BASE_EXCEPTION = "catching classes that do not inherit from BaseException is not allowed"
# The module whose `__builtins__` is replaced (None: deleted), the call, and its outcome on
# 3.9, where a function takes its builtins from that entry at every call. From 3.10 a function
# keeps the builtins it was made with, and every call has its untouched outcome.
REPLACED_BUILTINS = [
    ("cipher", None, "cipher.e1('x')",
     raised(NameError, "name 'isinstance' is not defined", "e1", 32)),
    ("cipher", None, "cipher.d1(token)", raised(NameError, "name 'len' is not defined", "d1", 52)),
    ("cipher", None, "cipher._TavroCrypt4__f1(3)",
     raised(NameError, "name 'int' is not defined", "__f1", 17)),
    ("cipher", None, "cipher._TavroCrypt4__f1(256)", ("returned", 0)),
    ("codec", None, "codec.e2('x')",
     raised(NameError, "name 'MemoryError' is not defined", "e1", 15,
            (NameError, "name 'isinstance' is not defined"))),
    ("codec", None, "codec.d1('YWJj')",
     raised(NameError, "name 'MemoryError' is not defined", "d1", 32,
            (NameError, "name 'isinstance' is not defined"))),
    ("cipher", dict(BUILTINS), "cipher.d1(token, 'utf-8')", ("returned", "hi é")),
    ("cipher", dict(BUILTINS, isinstance=lambda o, t: False), "cipher.e1('123')",
     as_untouched("cipher.e1(b'\\x01\\x02\\x03')")),
    ("cipher", dict(BUILTINS, len=lambda o: 1), "cipher.d1(token)", ("returned", None)),
    ("cipher", dict(BUILTINS, len=lambda o: 1), "cipher.e1(b'xyz')",
     raised(IndexError, "bytearray index out of range", "e1", 40)),
    ("cipher", dict(BUILTINS, range=lambda *a: range(0)), "cipher.d1(token, 'utf-8')",
     ("returned", "")),
    ("cipher", dict(BUILTINS, bytearray=list), "cipher.d1(token)",
     ("returned", list("hi é".encode()))),
    ("cipher", dict(BUILTINS, bytearray=list), "cipher.e1(b'ab')",
     ("returned", "d41d8cd98f00b204e9800998ecf8427e")),
    ("cipher", dict(BUILTINS, int=str), "cipher._TavroCrypt4__f1(3)",
     raised(TypeError, "unsupported operand type(s) for -: 'int' and 'str'", "__f1", 18)),
    ("codec", dict(BUILTINS, isinstance=lambda o, t: False), "codec.e1('abc')", ("returned", "")),
    ("codec", dict(BUILTINS, MemoryError=Exception), "codec.e1(None)",
     raised(TypeError, "a bytes-like object is required, not 'NoneType'", "e1", 13)),
    ("codec", dict(BUILTINS, Exception=5), "codec.e1(None)",
     raised(TypeError, NOT_BASE_EXCEPTION, "e1", 16,
            (TypeError, "a bytes-like object is required, not 'NoneType'"))),
    ("codec", dict(BUILTINS, Exception=(ValueError, TypeError)), "codec.e1(None)",
     ("returned", "")),
    ("codec", dict(BUILTINS, Exception=(TypeError, 5)), "codec.e1(3)",
     raised(TypeError, NOT_BASE_EXCEPTION, "e1", 16,
            (TypeError, "a bytes-like object is required, not 'int'"))),
    # Builtins that are not a dict of the interpreter's own type are subscripted.
    ("cipher", type("Mapping", (dict,), {})(), "cipher.e1('x')",
     raised(NameError, "name 'isinstance' is not defined", "e1", 32)),
    # The cipher's own calls of the codec see the codec's builtins.
    ("codec", dict(BUILTINS, bytes=str), "cipher.d1(token)",
     raised(TypeError, "object of type 'NoneType' has no len()", "d1", 58)),
    # A call from a frame of the module's own globals takes that frame's builtins, whatever
    # the entry says by then.
    ("cipher", BUILTINS, "sharing_globals(token)", ("returned", "hi é")),
]

SHARING = """
def sharing_globals(token):
    global __builtins__
    kept, __builtins__ = __builtins__, {}
    try:
        return _TavroCrypt4.d1(token, "utf-8")
    finally:
        __builtins__ = kept
"""


def test_a_replaced_module_builtins_counts_on_3_9_alone(implementation, monkeypatch):
    def outcome(call):
        try:
            return ("returned", eval(call, namespace))
        except Exception as error:
            context = error.__context__
            return ("raised", type(error), str(error), implementation.method_entries(error)[-1:],
                    context and (type(context), str(context)))

    modules = {"codec": implementation.crypt3, "cipher": implementation.crypt4}
    exec(SHARING, vars(implementation.crypt4))
    namespace = {"codec": implementation.crypt3._TavroCrypt3,
                 "cipher": implementation.crypt4._TavroCrypt4,
                 "token": implementation.crypt4._TavroCrypt4.e1("hi é"),
                 "sharing_globals": vars(implementation.crypt4).pop("sharing_globals")}
    for module, replacement, call, on_3_9 in REPLACED_BUILTINS:
        untouched = outcome(call)
        if on_3_9[0] == "untouched":
            on_3_9 = outcome(on_3_9[1])
        if replacement is None:
            monkeypatch.delattr(modules[module], "__builtins__")
        else:
            monkeypatch.setattr(modules[module], "__builtins__", replacement)
        got = outcome(call)
        monkeypatch.undo()
        assert got == (on_3_9 if sys.version_info < (3, 10) else untouched), (module, call)
