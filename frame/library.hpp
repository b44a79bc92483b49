// What a cipher module tells the frame about itself, and the state the frame keeps for it.
//
// Each extension library holds one `Library`. Its first member is the module definition the
// interpreter receives, so the create and exec steps find their library from the definition.
// Everything in it lives until the process ends: nothing is freed at unload.
#pragma once

#include "fast_answer.hpp"
#include "versions.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

namespace tavro {

struct Context;
class ReachGuard;

// A method's paths: each receives the bound parameters (in parameter order, kept alive by
// the caller). A general path, or the body as written, returns a new reference, or nullptr
// with an exception set after updating `context.line` to the statement that failed.
using Body = PyObject* (*)(Context& context, PyObject* const* parameters);
// A fast path answers the call natively or declines it (see FastAnswer).
using FastBody = FastAnswer (*)(Context& context, PyObject* const* parameters);

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

// A module lists its strings and integers once, as rows `X(variable, value)`:
//   #define IDENTIFIERS(X) X(s_base64, "base64") X(s_e1, "e1")
//   IDENTIFIERS(TAVRO_DECLARE)         defines the variables
//   IDENTIFIERS(TAVRO_EXTERN)          declares them, for a module made of several files
//   IDENTIFIERS(TAVRO_IDENTIFIER_ROW)  yields the table rows that make them at load
#define TAVRO_DECLARE(variable, value) PyObject* variable = nullptr;
#define TAVRO_EXTERN(variable, value) extern PyObject* variable;
#define TAVRO_IDENTIFIER_ROW(variable, text) tavro::StringConstant{&variable, text, true},
#define TAVRO_LITERAL_ROW(variable, text) tavro::StringConstant{&variable, text, false},
#define TAVRO_INT_ROW(variable, value) tavro::IntConstant{&variable, value},
#define TAVRO_COUNT(variable, value) +1

// The most variables a method has (_TavroCrypt4.d1's twelve), and the most parameters (the
// d1 methods' two): a call binds its arguments on the stack, in room for the parameters.
inline constexpr int max_locals = 12;
inline constexpr int max_parameters = 2;

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
    // A call takes `fast` when there is one and it answers, else `general`. A 3.9 call whose
    // builtins are not the module's own takes `written_39` when there is one, else `general`.
    FastBody fast = nullptr;
    Body general;
    Body written_39 = nullptr;

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

// Code objects of traceback entries, one per line, sorted by line; calls in any thread
// read and fill it under `mutex`.
struct TracebackCodes {
    struct Entry {
        int line;
        PyObject* code;
    };
    Entry* entries = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t capacity = 0;
    versions::Mutex mutex;
};

// Identifiers the frame itself uses.
#define TAVRO_FRAME_NAMES(X)                                                              \
    X(append, "append") X(co_argcount, "co_argcount") X(co_filename, "co_filename")       \
    X(co_flags, "co_flags") X(co_name, "co_name") X(co_nlocals, "co_nlocals")             \
    X(co_qualname, "co_qualname") X(co_varnames, "co_varnames") X(replace, "replace")     \
    X(dunder_main, "__main__") X(dunder_metaclass, "__metaclass__")                       \
    X(dunder_module, "__module__") X(dunder_name, "__name__")                             \
    X(dunder_qualname, "__qualname__") X(staticmethod, "staticmethod")                    \
    X(dunder_builtins, "__builtins__") X(isinstance, "isinstance") X(len, "len")           \
    X(MemoryError, "MemoryError") X(Exception, "Exception") X(decode, "decode")             \
    X(encoding, "encoding")

struct FrameNames {
    TAVRO_FRAME_NAMES(TAVRO_DECLARE)
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
    PyObject* source_path = nullptr;
    PyObject* full_name = nullptr;
    PyObject* init_name = nullptr;      // "init <full name>", the traceback name of the load
    PyObject* none_default = nullptr;  // (None,): defaults of methods with an optional parameter
    PyObject* staticmethod = nullptr;
    FrameNames names{};
    TracebackCodes traceback_codes;
    ReachGuard* fast_path_reach = nullptr;  // what the module's fast paths rely on, if it has any
    versions::BuiltinsEntry builtins_entry;

    explicit Library(const Description& description);
};

// What a method body or the module body is doing right now: the library it belongs to, the
// name its traceback entry carries, the line of the statement under way (0 once the
// exception in flight carries the method's entry already), and the builtins of the call when
// they are not the module's own (only on 3.9, see versions::CallBuiltins).
struct Context {
    Library& library;
    PyObject* traceback_name;
    int line;
    PyObject* builtins_39 = nullptr;

    // Null on every version but 3.9, where the compiler then drops what depends on it.
    PyObject* foreign_builtins() const {
        return versions::calls_find_module_builtins ? builtins_39 : nullptr;
    }
};

// The two libraries of a process share one function type, and a call through it reads the
// `Method`, `Library` and `Context` of whichever library made the function. Libraries of
// different builds must therefore agree on these layouts, or not share: the version is part
// of the key the type is registered under. Changing any of these structs, or what the type
// itself offers (its slots and methods), means bumping it and updating the checks below.
inline constexpr int shared_layout_version = 7;

constexpr std::size_t aligned(std::size_t size, std::size_t alignment) {
    return (size + alignment - 1) / alignment * alignment;
}
static_assert(std::is_standard_layout_v<Library> && offsetof(Library, definition) == 0,
              "the create and exec steps find the Library from its module definition");
static_assert(sizeof(Method) == aligned(22 * sizeof(void*) + 3 * sizeof(int), alignof(Method)),
              "Method changed: bump shared_layout_version");
static_assert(sizeof(Context) == aligned(3 * sizeof(void*) + sizeof(int), alignof(Context)),
              "Context changed: bump shared_layout_version");
static_assert(sizeof(FrameNames) == 22 * sizeof(void*),
              "the frame's names changed: bump shared_layout_version");
static_assert(sizeof(TracebackCodes) ==
                  aligned(sizeof(void*) + 2 * sizeof(Py_ssize_t) + sizeof(versions::Mutex),
                          alignof(TracebackCodes)),
              "TracebackCodes changed: bump shared_layout_version");
static_assert(sizeof(Library) ==
                  aligned(sizeof(PyModuleDef) + sizeof(Description) + sizeof(std::int64_t) +
                              10 * sizeof(void*) + sizeof(FrameNames) + sizeof(TracebackCodes) +
                              sizeof(void*) + sizeof(versions::BuiltinsEntry),
                          alignof(Library)),
              "Library changed: bump shared_layout_version");

}  // namespace tavro
