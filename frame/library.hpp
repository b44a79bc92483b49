// What a cipher module tells the frame about itself, and the state the frame keeps for it.
//
// Each extension library holds one `Library`. Its first member is the module definition the
// interpreter receives, so the create and exec steps find their library from the definition.
// Everything in it lives until the process ends: nothing is freed at unload.
#pragma once

#include <Python.h>

#include <cstdint>
#include <span>

namespace frame {

struct Context;

// A method body: receives the bound parameters (borrowed, in parameter order) and returns a
// new reference, or nullptr with an exception set after updating `context.line` to the
// statement that failed.
using Body = PyObject* (*)(Context& context, PyObject* const* parameters);

// A string the module uses, made once at load. Identifiers are interned; literals are not.
struct StringConstant {
    PyObject** slot;
    const char* text;
    bool interned;
};

struct IntConstant {
    PyObject** slot;
    long value;
};

inline constexpr int max_locals = 12;

// The docstring of both modules.
inline constexpr const char* credit_block =
    "Author: the tavro ciphers team.\n"
    "Company: Tavro Devices.\n"
    "Created: 2026-12-08.";

// One method, described once: the binder, the function object, its code object and its
// traceback entries all read this row.
struct Method {
    const char* name;         // short name, used in binding messages: "e1"
    const char* qualname;     // "_TavroCrypt3.e1"
    PyObject** class_entry;   // key in the class namespace (mangled for private helpers)
    int parameter_count;      // the first `parameter_count` locals are the parameters
    int required_count;
    PyObject** locals[max_locals];  // variable names, parameters first; unused slots null
    int definition_line;      // the decorator sits on the line above
    Body body;

    // Made at load.
    PyObject* name_string = nullptr;
    PyObject* qualname_string = nullptr;
    PyObject* code = nullptr;            // the function's __code__
    PyObject* traceback_name = nullptr;  // "tavro.libs.ciphers.<module>.<qualname>"

    int local_count() const {
        int count = 0;
        while (count < max_locals && locals[count]) ++count;
        return count;
    }
    // Binding errors of a method without parameters leave its traceback alone.
    bool binding_failure_adds_entry() const { return parameter_count > 0; }
};

// A builtin the module captures once at load, never looking it up again.
struct CapturedBuiltin {
    PyObject** name;
    PyObject** value;
};

struct Description {
    const char* name;         // "tavro_crypt_3"
    const char* full_name;    // "tavro.libs.ciphers.tavro_crypt_3"
    const char* source_path;  // file name of code objects and traceback entries
    int* run_as_main;         // exported flag an embedding host may set before import
    std::span<const StringConstant> strings;
    std::span<const IntConstant> ints;
    std::span<Method> methods;
    std::span<const CapturedBuiltin> builtins;  // captured after `staticmethod`
    int (*run_body)(Context& context);
};

// Code objects of traceback entries, one per line, sorted by line.
struct TracebackCodes {
    struct Entry {
        int line;
        PyObject* code;
    };
    Entry* entries = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t capacity = 0;
};

// Identifiers the frame itself uses.
struct FrameNames {
    PyObject* append;
    PyObject* co_argcount;
    PyObject* co_filename;
    PyObject* co_flags;
    PyObject* co_name;
    PyObject* co_nlocals;
    PyObject* co_qualname;
    PyObject* co_varnames;
    PyObject* replace;
    PyObject* dunder_main;
    PyObject* dunder_metaclass;
    PyObject* dunder_module;
    PyObject* dunder_name;
    PyObject* dunder_qualname;
    PyObject* staticmethod;
};

struct Library {
    PyModuleDef definition;
    Description description;

    std::int64_t interpreter_id = -1;
    PyObject* module = nullptr;  // the module a successful exec step recorded
    PyObject* globals = nullptr;
    PyObject* builtins = nullptr;
    PyTypeObject* function_type = nullptr;

    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* empty_str = nullptr;
    PyObject* source_path = nullptr;
    PyObject* full_name = nullptr;
    PyObject* init_name = nullptr;      // "init <full name>", the traceback name of the load
    PyObject* none_default = nullptr;   // (None,): defaults of methods with an optional parameter
    PyObject* staticmethod = nullptr;
    FrameNames names{};
    TracebackCodes traceback_codes;

    explicit Library(const Description& description);
};

// What a method body or the module body is doing right now: the library it belongs to, the
// name its traceback entry carries and the line of the statement under way.
struct Context {
    Library& library;
    PyObject* traceback_name;
    int line;
};

}  // namespace frame
