// What method bodies use to reach Python: module globals, attributes and calls.
#pragma once

#include "library.hpp"
#include "ref.hpp"

#include <initializer_list>

namespace frame {

// A module global as the body sees it at this moment: the module namespace first, then the
// builtins module, else NameError. Never cached, so a rebinding counts from the next use.
Ref global(Context& context, PyObject* name);

inline Ref attribute(PyObject* object, PyObject* name) {
    return Ref::steal(PyObject_GetAttr(object, name));
}

// Calls `callable` through its type's call slot under the interpreter's recursion guard, and
// turns a result missing without an exception into SystemError.
Ref call(PyObject* callable, PyObject* arguments, PyObject* keywords = nullptr);
Ref call(PyObject* callable, std::initializer_list<PyObject*> arguments);
Ref call_method(PyObject* object, PyObject* name, std::initializer_list<PyObject*> arguments);
// object.name(keyword=value), with no positional arguments.
Ref call_method_with_keyword(Context& context, PyObject* object, PyObject* name,
                             PyObject* keyword, PyObject* value);

// Python's `obj[index]` for a non-negative index.
Ref item(PyObject* object, Py_ssize_t index);

// Appends `value` to a bytearray as `bytearray.append` would, errors included.
bool append_byte(Context& context, PyObject* bytearray, PyObject* value);

// Python's truth test: 1, 0, or -1 with an exception set.
inline int truth(PyObject* object) { return PyObject_IsTrue(object); }

// Runs the handler that turns bad data into an answer, for the exception in flight: the
// method's traceback entry is added, the exception is shown to sys.exc_info() while handled,
// then dropped, and the exception the caller was handling is restored. Running out of memory
// and exceptions outside `Exception` (KeyboardInterrupt, SystemExit) are not bad data: they
// stay in flight and the result is false.
bool swallow_exception(Context& context);

}  // namespace frame
