// Calls whose builtins are not the module's own, as 3.9 makes them.
#include "builtins_39.hpp"

#include "calls.hpp"
#include "traceback.hpp"
#include "versions.hpp"

#include <utility>

namespace tavro {

Ref foreign_builtin(PyObject* builtins, PyObject* name) {
    if (PyDict_CheckExact(builtins)) {
        Borrowed value(PyDict_GetItemWithError(builtins, name));
        if (value || PyErr_Occurred()) return value.strong();
    } else {
        Ref value = Ref::steal(PyObject_GetItem(builtins, name));
        if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return {};
}

namespace {

// Whether `except handler:` takes `exception`; -1 with 3.9's TypeError when `handler` is not
// a class deriving from BaseException or a tuple of them.
int catches(PyObject* handler, PyObject* exception) {
    const bool tuple = PyTuple_Check(handler);
    for (Py_ssize_t index = 0; index < (tuple ? PyTuple_GET_SIZE(handler) : 1); ++index) {
        if (!PyExceptionClass_Check(tuple ? PyTuple_GET_ITEM(handler, index) : handler)) {
            PyErr_SetString(PyExc_TypeError,
                            "catching classes that do not inherit from "
                            "BaseException is not allowed");
            return -1;
        }
    }
    return PyErr_GivenExceptionMatches(exception, handler);
}

}  // namespace

bool handle_as_written(Context& context, int memory_error_line, int exception_line) {
    add_traceback_entry(context.library, context.traceback_name, context.line);
    versions::PendingException caught;
    caught.normalize();
    const FrameNames& names = context.library.names;
    {
        versions::HandledException handling(caught.value());
        for (auto [line, name] :
             {std::pair{memory_error_line, names.MemoryError}, {exception_line, names.Exception}}) {
            context.line = line;
            Ref handler = global(context, name);
            int taken = handler ? catches(handler.get(), caught.value()) : -1;
            if (taken < 0) return false;
            if (taken && name == names.Exception) return true;
            if (taken) break;  // `raise`: it goes on as it is
        }
    }
    caught.restore();
    context.line = 0;
    return false;
}

}  // namespace tavro
