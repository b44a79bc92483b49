import functools
import inspect
import sys

import pytest

from conftest import PYTHON_COMMAND, entries, last_entry

CRYPT3 = "tavro.libs.ciphers.tavro_crypt_3"
CRYPT4 = "tavro.libs.ciphers.tavro_crypt_4"


@pytest.fixture
def methods(crypt3, crypt4):
    return {
        "e1": crypt3._TavroCrypt3.e1, "e2": crypt3._TavroCrypt3.e2, "d1": crypt3._TavroCrypt3.d1,
        "4.e1": crypt4._TavroCrypt4.e1, "4.d1": crypt4._TavroCrypt4.d1,
        "__f1": crypt4._TavroCrypt4._TavroCrypt4__f1, "__f2": crypt4._TavroCrypt4._TavroCrypt4__f2,
    }


# (method, args, kwargs, message)
BINDING_ERRORS = [
    ("4.e1", (), {}, "e1() takes exactly 1 positional argument (0 given)"),
    ("4.e1", ("a", "b"), {}, "e1() takes exactly 1 positional argument (2 given)"),
    ("4.e1", ("a",), {"raw": "b"}, "e1() got multiple values for keyword argument 'raw'"),
    ("4.e1", (), {"text": "a"}, "e1() takes exactly 1 positional argument (0 given)"),
    ("4.e1", ("a",), {"text": "a"}, "e1() got an unexpected keyword argument 'text'"),
    ("4.e1", ("a",), {1: 2}, "e1() keywords must be strings"),
    ("4.e1", (), {"raw": "a", 1: 2}, "e1() keywords must be strings"),
    ("4.e1", ("a", "b"), {"raw": "c"}, "e1() takes exactly 1 positional argument (2 given)"),
    ("e2", (), {}, "e2() takes exactly 1 positional argument (0 given)"),
    ("e2", (), {"raw": "a", "x": 1, "y": 2}, "e2() got an unexpected keyword argument 'x'"),
    ("4.d1", (), {"enc": "utf-8"}, "d1() takes at least 1 positional argument (0 given)"),
    ("4.d1", (), {}, "d1() takes at least 1 positional argument (0 given)"),
    ("4.d1", ("a", "b", "c"), {}, "d1() takes at most 2 positional arguments (3 given)"),
    ("4.d1", ("a", "b"), {"enc": "c"}, "d1() got multiple values for keyword argument 'enc'"),
    ("4.d1", ("a",), {"encrypted": "c"},
     "d1() got multiple values for keyword argument 'encrypted'"),
    ("d1", ("a",), {"encoding": "c"}, "d1() got an unexpected keyword argument 'encoding'"),
    ("d1", (), {"raw": "a", "enc": None, "zz": 1}, "d1() got an unexpected keyword argument 'zz'"),
    ("d1", ("a",), {"enc": None, 3: 4}, "d1() keywords must be strings"),
    ("__f1", (), {}, "__f1() takes exactly 1 positional argument (0 given)"),
    ("__f1", (1, 2), {}, "__f1() takes exactly 1 positional argument (2 given)"),
    ("__f1", (1,), {"y": 2}, "__f1() got an unexpected keyword argument 'y'"),
    ("__f2", (1,), {}, "__f2() takes exactly 0 positional arguments (1 given)"),
    ("__f2", (1, 2), {"a": 1}, "__f2() takes exactly 0 positional arguments (2 given)"),
    ("__f2", (), {"a": 1, "b": 2}, "__f2() got an unexpected keyword argument 'b'"),
    ("__f2", (), {"a": 1, 5: 2, "b": 3}, "__f2() keywords must be strings"),
]


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(methods, name, args, kwargs, message):
    function = methods[name]
    with pytest.raises(TypeError) as caught:
        function(*args, **kwargs)
    assert str(caught.value) == message
    module = CRYPT4 if name.startswith(("4.", "__")) else CRYPT3
    short = name.split(".")[-1]
    if short == "__f2":
        assert all(entry[1] != f"{module}._TavroCrypt4.__f2" for entry in entries(caught.value))
    else:
        assert last_entry(caught.value) == (
            function.__code__.co_filename, f"{module}.{function.__qualname__}",
            function.__code__.co_firstlineno)


class Spelled(str):
    """A keyword that spells a parameter's name but hashes otherwise."""

    def __hash__(self):
        return 1


class Uncomparable(str):
    __hash__ = str.__hash__

    def __eq__(self, other):
        raise KeyError("compared")


def test_keyword_binding(crypt3, crypt4):
    codec, cipher = crypt3._TavroCrypt3, crypt4._TavroCrypt4
    assert codec.d1("w6k", **{Spelled("enc"): "utf-8"}) == "é"
    with pytest.raises(TypeError, match=r"^d1\(\) got multiple values for keyword argument 'raw'"):
        codec.d1("w6k", **{Spelled("raw"): "x"})
    for arguments, keyword in (((), "raw"), (("w6k",), "enc")):
        with pytest.raises(KeyError, match="compared"):
            codec.d1(*arguments, **{Uncomparable(keyword): None})
    assert codec.e1(raw="a") == "YQ=="
    assert codec.d1(raw="w6k", enc="utf-8") == codec.d1("w6k", enc="utf-8") == "é"
    assert codec.d1(**{"r" + "aw": "YQ", "en" + "c": None}) == b"a"
    assert cipher._TavroCrypt4__f1(x1=3) == 171
    token = cipher.e1(raw="hi")
    assert cipher.d1(encrypted=token, enc="utf-8") == "hi"
    assert codec.e2(*["a"], **{}) == "YQ"


@pytest.mark.parametrize("call", [
    lambda f, *a: f(*a),
    lambda f, *a: f.__call__(*a),
    lambda f, *a: functools.partial(f, *a)(),
    lambda f, *a: list(map(f, *([x] for x in a)))[0],
    lambda f, *a: type(f).__call__(f, *a),
])
def test_every_way_of_calling_gives_the_same(crypt3, call):
    codec = crypt3._TavroCrypt3
    assert call(codec.d1, "w6k", "utf-8") == "é"
    assert call(codec().e2, "x") == codec.e2("x") == "eA"
    message = r"^e1\(\) takes exactly 1 positional argument \(2 given\)$"
    with pytest.raises(TypeError, match=message):
        call(codec.e1, "a", "b")


def test_function_attributes(crypt3, crypt4):
    codec, cipher = crypt3._TavroCrypt3, crypt4._TavroCrypt4
    table = [
        (codec.e1, "e1", "_TavroCrypt3.e1", CRYPT3, None, ("raw", "bs", "ed"), 1),
        (codec.e2, "e2", "_TavroCrypt3.e2", CRYPT3, None, ("raw",), 1),
        (codec.d1, "d1", "_TavroCrypt3.d1", CRYPT3, (None,), ("raw", "enc", "dd"), 2),
        (cipher._TavroCrypt4__f1, "__f1", "_TavroCrypt4.__f1", CRYPT4, None,
         ("x1", "x", "v", "y", "u", "a", "b", "q", "r", "s", "t"), 1),
        (cipher._TavroCrypt4__f2, "__f2", "_TavroCrypt4.__f2", CRYPT4, None, (), 0),
        (cipher.e1, "e1", "_TavroCrypt4.e1", CRYPT4, None,
         ("raw", "ln", "r1", "tmp", "i", "k", "j"), 1),
        (cipher.d1, "d1", "_TavroCrypt4.d1", CRYPT4, (None,),
         ("encrypted", "enc", "raw", "c1", "c2", "ln", "i", "lc", "m", "r1", "j", "tmp"), 2),
    ]
    modules = {CRYPT3: crypt3, CRYPT4: crypt4}
    for function, name, qualname, module, defaults, varnames, argcount in table:
        code = function.__code__
        assert (function.__name__, function.__qualname__, function.__module__) == (
            name, qualname, module)
        assert function.__name__ is sys.intern(name) is code.co_name  # names are interned
        assert function.__doc__ is None and function.__kwdefaults__ is None
        assert function.__closure__ is None and function.__annotations__ == {}
        assert function.__defaults__ == defaults
        assert function.__globals__ is vars(modules[module])
        assert (code.co_varnames, code.co_argcount, code.co_nlocals) == (
            varnames, argcount, len(varnames))
        assert (code.co_flags, code.co_kwonlyargcount, code.co_name) == (3, 0, name)
        assert code.co_filename == module.replace(".", "/") + ".py"
        assert type(function) is type(codec.e1)
    assert str(inspect.signature(codec.d1)) == "(raw, enc=None)"
    assert str(inspect.signature(cipher.d1)) == "(encrypted, enc=None)"
    assert str(inspect.signature(cipher._TavroCrypt4__f2)) == "()"
    lines = [f.__code__.co_firstlineno for f in (codec.e1, codec.e2, codec.d1)]
    assert lines == sorted(lines)


def test_function_dict_is_writable(crypt3):
    function = crypt3._TavroCrypt3.e2
    function.note = "kept"
    assert vars(function)["note"] == "kept" and function.note == "kept"
    del function.note


def test_function_attributes_are_set_as_on_a_python_function(crypt3):
    def plain(raw):
        pass

    function = crypt3._TavroCrypt3.e2
    assert repr(function) == f"<function _TavroCrypt3.e2 at {id(function):#x}>"
    names = ("__name__", "__qualname__", "__doc__", "__annotations__", "__dict__")
    saved = {name: getattr(function, name) for name in names}
    try:
        for name in names:
            for value in ("text", None, {"k": 1}, 1, "delete"):
                outcomes = []
                for target in (function, plain):
                    try:
                        if value == "delete":
                            delattr(target, name)
                        else:
                            setattr(target, name, value)
                        outcomes.append(getattr(target, name))
                    except TypeError:
                        outcomes.append(TypeError)
                # A Python function takes these for an empty dict; the library refuses them.
                if (name, value) not in (("__annotations__", None), ("__annotations__", "delete")):
                    assert outcomes[0] == outcomes[1], (name, value)
    finally:
        for name, value in saved.items():
            setattr(function, name, value)
    assert function.__qualname__ == "_TavroCrypt3.e2" and function("x") == "eA"


def test_the_collector_sees_what_a_function_holds(crypt4):
    import gc

    function = crypt4._TavroCrypt4.d1
    for held in (function.__name__, function.__qualname__, function.__module__, None,
                 function.__defaults__, function.__code__, function.__globals__,
                 function.__dict__, function.__annotations__):
        assert any(referrer is function for referrer in gc.get_referrers(held))


def test_name_error_after_deleting_a_global(crypt4, monkeypatch):
    monkeypatch.delattr(crypt4, "_TavroCrypt3")
    with pytest.raises(NameError, match="^name '_TavroCrypt3' is not defined$"):
        crypt4._TavroCrypt4.e1("x")
    import builtins
    monkeypatch.setattr(builtins, "_TavroCrypt3", sys.modules[CRYPT3]._TavroCrypt3,
                        raising=False)
    assert crypt4._TavroCrypt4.d1(crypt4._TavroCrypt4.e1("x"), "utf-8") == "x"


def test_recursion_is_guarded(crypt3, monkeypatch):
    codec = crypt3._TavroCrypt3

    class Loop:
        e1 = staticmethod(functools.partial(codec.e2))

    monkeypatch.setattr(crypt3, "_TavroCrypt3", Loop)
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(200)
    try:
        with pytest.raises(RecursionError) as caught:
            codec.e2("x")
    finally:
        sys.setrecursionlimit(limit)
    assert str(caught.value).endswith(" while calling a Python object")
    names = [entry[1] for entry in entries(caught.value)]
    assert names.count(f"{CRYPT3}._TavroCrypt3.e2") > 10


def test_result_missing_without_error_is_a_system_error(crypt4, monkeypatch):
    testcapi = pytest.importorskip("_testcapi")
    cipher = crypt4._TavroCrypt4

    class Broken:
        _TavroCrypt4__f2 = staticmethod(testcapi.return_null_without_error)

    monkeypatch.setattr(crypt4, "_TavroCrypt4", Broken)
    with pytest.raises(SystemError, match="^NULL result without error in PyObject_Call$"):
        cipher.e1("x")


def test_keyword_values_outlive_changes_to_the_callers_dict(crypt4):
    """A key whose comparison empties the keyword dict (found through the collector) must not
    free a value that binding already took from it."""
    import gc

    cipher = crypt4._TavroCrypt4
    token = cipher.e1("kept alive")

    reused = []

    class Emptying(str):
        def __hash__(self):
            return hash("enc")

        def __eq__(self, other):
            for referrer in gc.get_referrers(self):
                if isinstance(referrer, dict) and "encrypted" in referrer:
                    referrer.clear()
                    # Freed memory would be taken by strings of the same size.
                    reused.extend("".join(reversed(token)) for _ in range(100))
            return False

    # The only reference to the token's copy is the call's own keyword dict.
    result = cipher.d1(**{"encrypted": "".join(token), Emptying("other"): None})
    assert result == bytearray(b"kept alive")


def test_methods_pickle_and_copy_by_reference_as_python_functions_do(methods, monkeypatch):
    import copy
    import pickle
    import types

    # Python functions of the private helpers' qualified names, in a module of their own.
    twin = types.ModuleType("twin")
    exec("class _TavroCrypt4:\n    __f1 = __f2 = staticmethod(lambda: None)\n", vars(twin))
    monkeypatch.setitem(sys.modules, "twin", twin)

    # Up to 3.14 pickle refuses the private names; 3.15 finds them under the mangled name.
    def pickled(dumps, function, protocol):
        try:
            return pickle.loads(dumps(function, protocol)) is function
        except pickle.PicklingError as error:
            return str(error).replace(repr(function), "F").replace(function.__module__, "M")

    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        for dumps in (pickle.dumps, pickle._dumps):
            for name, function in methods.items():
                if name.startswith("__"):
                    plain = getattr(twin._TavroCrypt4, "_TavroCrypt4" + name)
                    plain.__qualname__ = function.__qualname__
                    assert pickled(dumps, function, protocol) == pickled(dumps, plain, protocol)
                else:
                    assert pickled(dumps, function, protocol) is True
    for function in methods.values():
        assert copy.copy(function) is function and copy.deepcopy(function) is function
        # Pickling adds no name a Python function lacks.
        assert set(dir(function)) <= set(dir(pickled))


@pytest.mark.skipif(len(PYTHON_COMMAND) > 1, reason="under emulation no worker process starts "
                                                   "(no exec, no shared memory for its locks)")
def test_process_pools_take_the_methods_as_they_are(crypt4):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor

    cipher = crypt4._TavroCrypt4
    texts = ["line %d" % number for number in range(20)] + [""]
    tokens = [cipher.e1(text) for text in texts] + ["not a token"]
    for method in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context(method)
        with ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
            assert list(pool.map(cipher.d1, tokens, ["utf-8"] * len(tokens))) == texts + [None]
            assert list(pool.map(cipher.e1, texts)) == tokens[:-1]
