// Loading: the create and exec steps that bring a cipher module into the interpreter.
#pragma once

#include "library.hpp"

namespace tavro {

// The library's entry point returns this.
PyObject* module_definition(Library& library);

}  // namespace tavro
