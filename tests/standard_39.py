"""The standard library's functions the method bodies call, as CPython 3.9 answers them.

The libraries answer for the interpreter's own base64 encoder, URL-safe decoder and md5 with
3.9's results on every interpreter, so that stored tokens read the same whatever a later
release does to base64; the model does the same through `pin`. Written from 3.9's base64.py
and binascii.c, in plain Python that uses no Base64 of the interpreter's.
"""
import base64
import binascii
import builtins
import hashlib

_ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
_TO_CHARACTER = bytes.maketrans(bytes(range(64)), _ALPHABET)
_TO_VALUE = bytes.maketrans(_ALPHABET, bytes(range(64)))
# What binascii skips: everything but the alphabet and the pad character.
_SKIPPED = bytes(set(range(256)) - set(_ALPHABET + b"="))
_urlsafe_decode_translation = bytes.maketrans(b"-_", b"+/")
_md5 = hashlib.md5


_HEAP_TYPE = 1 << 9
_PYTHON_BUFFERS = "__buffer__" in vars(bytes)


def _memoryview(obj):
    """memoryview(obj) as 3.9 makes it. A class written in Python exports a buffer of its own
    from 3.12 (`__buffer__`); on 3.9 its objects exported what the nearest class written in C
    among its bases exports, or nothing."""
    mro = type(obj).__mro__ if _PYTHON_BUFFERS else ()
    for base in mro:
        if "__buffer__" in vars(base):
            if not base.__flags__ & _HEAP_TYPE:
                break
            for exporter in mro:
                if not exporter.__flags__ & _HEAP_TYPE and "__buffer__" in vars(exporter):
                    return memoryview(exporter.__buffer__(obj, 0x11c))  # PyBUF_FULL_RO
            raise TypeError("a bytes-like object is required, not '%s'" % type(obj).__name__)
    return memoryview(obj)


def _bytes_from_decode_data(s):
    if isinstance(s, str):
        try:
            return s.encode("ascii")
        except UnicodeEncodeError:
            raise ValueError("string argument should contain only ASCII characters")
    if isinstance(s, (bytes, bytearray)):
        return s
    try:
        return _memoryview(s).tobytes()
    except TypeError:
        raise TypeError("argument should be a bytes-like object or ASCII "
                        "string, not %r" % s.__class__.__name__) from None


def _simple_buffer(data):
    """The bytes of a C-contiguous buffer, as a simple buffer request takes them."""
    try:
        view = _memoryview(data)
    except TypeError:
        view = None  # raised outside the handler, so that it has no context, as from C
    if view is None:
        raise TypeError("a bytes-like object is required, not '%s'" % type(data).__name__)
    if not view.c_contiguous:
        raise BufferError("memoryview: underlying buffer is not C-contiguous")
    return view.tobytes()


def _a2b_base64(data):
    if str in type(data).__mro__:
        if not str.isascii(data):
            raise ValueError("string argument should contain only ASCII characters")
        data = str.encode(data, "ascii")
    else:
        try:
            data = _simple_buffer(data)
        except TypeError:
            raise TypeError("argument should be bytes, buffer or ASCII string, not '%s'"
                            % type(data).__name__) from None
    kept = data.translate(None, _SKIPPED)
    # A pad sequence after at least two data characters of a group ends the data when it
    # completes the group; any other "=" is skipped.
    place = pads = start = 0
    stop = len(kept)
    while True:
        at = kept.find(b"=", start)
        run = (len(kept) if at < 0 else at) - start
        if run:
            place, pads = (place + run) % 4, 0
        if at < 0:
            break
        if place >= 2:
            pads += 1
            if place + pads >= 4:
                stop = at
                break
        start = at + 1
    values = kept[:stop].replace(b"=", b"").translate(_TO_VALUE)
    count = len(values)
    if stop == len(kept) and count % 4 == 1:
        raise binascii.Error("Invalid base64-encoded string: number of data characters (%d) "
                             "cannot be 1 more than a multiple of 4" % count)
    if stop == len(kept) and count % 4:
        raise binascii.Error("Incorrect padding")
    whole = count // 4 * 4
    first, second, third, fourth = (values[k:whole:4] for k in range(4))
    out = bytearray(whole // 4 * 3)
    out[0::3] = bytes((a << 2 | b >> 4) & 255 for a, b in zip(first, second))
    out[1::3] = bytes((b << 4 | c >> 2) & 255 for b, c in zip(second, third))
    out[2::3] = bytes((c << 6 | d) & 255 for c, d in zip(third, fourth))
    rest = values[whole:]
    if len(rest) >= 2:
        out.append((rest[0] << 2 | rest[1] >> 4) & 255)
    if len(rest) == 3:
        out.append((rest[1] << 4 | rest[2] >> 2) & 255)
    return bytes(out)


def b64decode(s):
    return _a2b_base64(_bytes_from_decode_data(s))


def urlsafe_b64decode(s):
    s = _bytes_from_decode_data(s)
    s = s.translate(_urlsafe_decode_translation)
    return b64decode(s)


def b64encode(s):
    """3.9's binascii.b2a_base64(s, newline=False), with no limit on the size."""
    if str in type(s).__mro__:
        raise TypeError("a bytes-like object is required, not 'str'")
    data = _simple_buffer(s)
    whole = len(data) // 3 * 3
    first, second, third = (data[k:whole:3] for k in range(3))
    out = bytearray(whole // 3 * 4)
    out[0::4] = bytes(a >> 2 for a in first)
    out[1::4] = bytes((a & 3) << 4 | b >> 4 for a, b in zip(first, second))
    out[2::4] = bytes((b & 15) << 2 | c >> 6 for b, c in zip(second, third))
    out[3::4] = bytes(c & 63 for c in third)
    rest = data[whole:]
    if rest:
        group = rest[0] << 16 | (rest[1] << 8 if len(rest) == 2 else 0)
        last = [group >> 6 & 63] if len(rest) == 2 else []
        out += bytes([group >> 18, group >> 12 & 63] + last)
    return bytes(out).translate(_TO_CHARACTER) + b"=" * (-len(data) % 3)


def md5(data):
    if str in type(data).__mro__:
        raise TypeError("Strings must be encoded before hashing")
    try:
        _memoryview(data)
    except TypeError:
        raise TypeError("object supporting the buffer API required") from None
    return _md5(_simple_buffer(data))


# What each function reaches, as the libraries record it at load: the functions' code and
# defaults, and entries of base64, binascii and the builtins.
def _function_state(function):
    return function, function.__code__, function.__defaults__, function.__kwdefaults__


def _reach(functions, entries):
    recorded = [_function_state(f) for f in functions]
    entries = [(namespace, name, vars(namespace)[name]) for namespace, name in entries]

    def holds():
        functions_hold = all(a is b for state in recorded
                             for a, b in zip(_function_state(state[0]), state))
        return functions_hold and all(vars(namespace).get(name, holds) is value
                                      for namespace, name, value in entries)
    return holds


_encoder = (base64.b64encode, _reach([base64.b64encode], [
    (base64, "binascii"), (binascii, "b2a_base64")]), b64encode)
_decoder = (base64.urlsafe_b64decode, _reach(
    [base64.urlsafe_b64decode, base64.b64decode, base64._bytes_from_decode_data],
    [(base64, name) for name in ("b64decode", "_bytes_from_decode_data",
                                 "_urlsafe_decode_translation", "bytes_types", "binascii")] +
    [(binascii, "a2b_base64")] +
    [(builtins, name) for name in ("isinstance", "str", "memoryview")]),
    urlsafe_b64decode)
_hasher = (hashlib.md5, lambda: True, md5)


def pin(function):
    """What a body calls when it is about to call `function`."""
    for original, reach_holds, twin in (_encoder, _decoder, _hasher):
        if function is original and reach_holds():
            return twin
    return function
