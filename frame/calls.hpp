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
Ref call_method_with_keyword(Context& context, PyObject* object, PyObject* name, PyObject* keyword,
                             PyObject* value);

// `text.encode(codec)` where `codec` names UTF-8: an exact str is encoded directly, anything
// else (a subclass may override encode) through its method.
Ref encode_utf8(PyObject* text, PyObject* encode_name, PyObject* codec);

// Python's `obj[index]` for a non-negative index.
Ref item(PyObject* object, Py_ssize_t index);

// Appends `value` to a bytearray as `bytearray.append` would, errors included.
bool append_byte(Context& context, PyObject* bytearray, PyObject* value);
// Appends a byte already known, as `bytearray.append` does.
bool append_known_byte(PyObject* bytearray, unsigned char byte);

// The ending of the d1 bodies, `if enc:` on `if_line`, then `return data.decode(encoding=enc)`
// on `decode_line`, else `return data`.
Ref decoded_if_asked(Context& context, Ref data, PyObject* enc, int if_line, int decode_line);

// Python's truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* object) { return PyObject_IsTrue(object); }

// `isinstance(object, <type_name>)`, 1, 0 or -1 with an exception set: with the module's own
// builtins the type check of `type` that it stands for, else the call of whatever the two
// names are.
int is_instance(Context& context, PyObject* object, PyObject* type_name, PyTypeObject* type);

// `len(object)`, as an int (or whatever the call's own `len` answers).
Ref length(Context& context, PyObject* object);

}  // namespace tavro
