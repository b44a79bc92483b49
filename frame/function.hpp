// The function type every method is an object of, shared by both libraries of a process.
#pragma once

#include "library.hpp"
#include "ref.hpp"

namespace frame {

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

// Readies the function type for `library`: the first library of the process registers its
// type, the other takes that one after checking its layout. 0, or -1 with an exception set.
int ready_function_type(Library& library);

// A new function object for `method`; `defaults` may be null.
PyObject* new_function(Library& library, Method& method, PyObject* defaults);

// Binds a call's arguments to `method`'s parameters, filling optional parameters with None.
// `bound` holds strong references: a keyword value stays alive even if the caller's dict
// changes while the body runs. False with TypeError set on a bad call.
bool bind_arguments(const Method& method, PyObject* arguments, PyObject* keywords,
                    Ref* bound);

}  // namespace frame
