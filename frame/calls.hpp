// Calls and globals: what method bodies use to reach Python.
#pragma once

#include "library.hpp"
#include "ref.hpp"

#include <initializer_list>

namespace tavro {

// A module global as the body sees it at this moment: the module namespace first, then the
// builtins module (or the call's own builtins, see Context), else NameError. Never cached, so
// a rebinding counts from the next use.
Ref global(Context& context, PyObject* name);

// An attribute of the builtins module, or NameError as for a missing global.
Ref builtin(Library& library, PyObject* name);

inline Ref attribute(PyObject* object, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(object, name));
}

// Calls `callable` through its type's call slot under the interpreter's recursion guard, and
// turns a result missing without an exception into SystemError.
Ref call(PyObject* callable, PyObject* arguments, PyObject* keywords = nullptr);
Ref call(PyObject* callable, std::initializer_list<PyObject*> arguments);
Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> arguments);
// `<global>(arguments)`, the global looked up now.
Ref call_global(Context& context, PyObject* name, std::initializer_list<PyObject*> arguments);
// `<global>.<method>(arguments)`: the global looked up now, the method on it as well.
Ref call_global_method(Context& context, PyObject* global_name, PyObject* method_name,
                       std::initializer_list<PyObject*> arguments);
// object.name(keyword=value), with no positional arguments.
Ref call_method_with_keyword(Context& context, PyObject* object, PyObject* name,
                             PyObject* keyword, PyObject* value);

// `text.encode(codec)` where `codec` names UTF-8: an exact str is encoded directly, anything
// else (a subclass may override encode) through its method.
Ref encode_utf8(PyObject* text, PyObject* encode_name, PyObject* codec);

// The widest character of text that is ASCII alone: asked of PyUnicode_New, it makes the
// compact ASCII str whose characters are its bytes, which the libraries then write directly.
inline constexpr Py_UCS4 ascii_max = 127;

// The bytes a fast path reads from an exact bytes, bytearray or str (its UTF-8 form). False,
// with no exception set, for anything else or a str that has no UTF-8 form. The pointer is
// valid only until code that could change the object runs; while `owner` lives it is valid
// for good when `immutable` (bytes and str never change), so the lock may be let go then.
struct PlainBytes {
    const unsigned char* data;
    Py_ssize_t size;
    bool immutable;
    Ref owner;  // the object `data` points into: the argument, or the UTF-8 copy of a str
};
bool plain_bytes(PyObject* object, PlainBytes& plain);

// What `if enc: data.decode(encoding=enc)` does with `enc`, for a fast path: `name` null when
// `enc` is None or "" (no decoding), else the codec's name as C text. False, with no
// exception set, for any other `enc` (a subclass, a name with a NUL in it ...).
struct PlainEncoding {
    const char* name = nullptr;
    // The interpreter's own UTF-8, ASCII or Latin-1 decoder, which it picks by name without
    // asking the codec registry, and which turns ASCII bytes into the same characters.
    // Set by recognise_codec only.
    bool keeps_ascii = false;
    bool utf_8 = false;  // and of those, UTF-8
};
bool plain_encoding(PyObject* enc, PlainEncoding& encoding);
// Fills in `keeps_ascii` and `utf_8` for a named codec: the names PyUnicode_Decode sends to
// its own decoders after folding case and turning "-" and " " into "_"; any other spelling
// is simply not recognised.
void recognise_codec(PlainEncoding& encoding);

// Python's `obj[index]` for a non-negative index.
Ref item(PyObject* object, Py_ssize_t index);

// Appends `value` to a bytearray as `bytearray.append` would, errors included.
bool append_byte(Context& context, PyObject* bytearray, PyObject* value);

// Python's truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* object) { return PyObject_IsTrue(object); }

// `isinstance(object, <type_name>)`, 1, 0 or -1 with an exception set: with the module's own
// builtins the type check of `type` that it stands for, else the call of whatever the two
// names are.
int is_instance(Context& context, PyObject* object, PyObject* type_name, PyTypeObject* type);

// `len(object)`, as an int (or whatever the call's own `len` answers).
Ref length(Context& context, PyObject* object);

// Runs the handlers `except MemoryError: raise` (on `memory_error_line`) and `except
// Exception:` (on `exception_line`) that turn bad data into an answer, for the exception in
// flight. True when the second takes it: the method's traceback entry is added and the
// exception dropped. Running out of memory and exceptions outside `Exception`
// (KeyboardInterrupt, SystemExit) are not bad data: they stay in flight and the result is
// false.
bool swallow_exception(Context& context, int memory_error_line, int exception_line);

}  // namespace tavro
