// Loading: the create and exec steps that bring a cipher module into the interpreter.
#pragma once

#include "library.hpp"

namespace tavro {

// The library's entry point returns this.
PyObject* module_definition(Library& library);

}  // namespace tavro

// Defines the library of module `tavro.libs.ciphers.<module>`: its state, the exported flag an
// embedding host may set before the import to run it as __main__ (`<module>_run_as_main`)
// and the entry point. The remaining arguments are the Description's tables and module body.
#define TAVRO_CIPHER_MODULE(module, strings_, ints_, methods_, builtins_, run_body_)        \
    extern "C" {                                                                         \
    Py_EXPORTED_SYMBOL int module##_run_as_main = 0;                                     \
    }                                                                                    \
    namespace {                                                                          \
    tavro::Library library({                                                             \
        .name = #module,                                                                 \
        .full_name = "tavro.libs.ciphers." #module,                                      \
        .source_path = "tavro/libs/ciphers/" #module ".py",                              \
        .run_as_main = &module##_run_as_main,                                            \
        .strings = strings_,                                                             \
        .ints = ints_,                                                                   \
        .methods = methods_,                                                             \
        .builtins = builtins_,                                                           \
        .run_body = run_body_,                                                           \
    });                                                                                  \
    }                                                                                    \
    PyMODINIT_FUNC PyInit_##module() { return tavro::module_definition(library); }
