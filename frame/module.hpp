// Loading a cipher module: the create and exec steps, and the statements of module bodies.
#pragma once

#include "calls.hpp"

namespace frame {

// The library's entry point returns this.
PyObject* module_definition(Library& library);

// `import <name>` (as `bind_as`), relative to the module's own package first.
bool import_module(Context& context, PyObject* name, PyObject* bind_as);
// `from <name> import <attribute>`, relative first as well.
bool import_from(Context& context, PyObject* name, PyObject* attribute);
// `class <name>:` holding `methods`, each wrapped in staticmethod, bound in the namespace.
bool build_class(Context& context, PyObject* name, int class_line, std::span<Method> methods);
// `<name> = {}`
bool bind_new_dict(Context& context, PyObject* name);

}  // namespace frame
