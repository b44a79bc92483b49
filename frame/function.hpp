// The function type: every method is an object of it, shared by both libraries of a process.
#pragma once

#include "library.hpp"

namespace tavro {

struct Function {
    PyObject_HEAD
    Method* method;
    Library* library;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;  // a tuple, or null for None
    PyObject* code;
    PyObject* globals;
    PyObject* dict;         // made on first use
    PyObject* annotations;  // made on first use
    PyObject* weakrefs;
};

static_assert(std::is_standard_layout_v<Function> &&
                  sizeof(Function) == sizeof(PyObject) + 12 * sizeof(void*),
              "Function changed: bump shared_layout_version");

// Readies the function type for `library`: the first library of the process registers its
// type, the other takes that one after checking its layout. 0, or -1 with an exception set.
int ready_function_type(Library& library);

// A new function object for `method`; `defaults` may be null.
PyObject* new_function(Library& library, Method& method, PyObject* defaults);

}  // namespace tavro
