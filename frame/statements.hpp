// Statements of module bodies: imports, class statements, plain bindings. Each reports a
// failure at `context.line`, which the caller sets to the statement's line.
#pragma once

#include "library.hpp"

#include <span>

namespace tavro {

// `import <name>` (as `bind_as`), relative to the module's own package first.
bool import_module(Context& context, PyObject* name, PyObject* bind_as);
// `from <name> import <attribute>`, relative first as well.
bool import_from(Context& context, PyObject* name, PyObject* attribute);
// `class <name>:` holding `methods`, each wrapped in staticmethod, bound in the namespace.
bool build_class(Context& context, PyObject* name, int class_line, std::span<Method> methods);
// `<name> = {}`
bool bind_new_dict(Context& context, PyObject* name);

}  // namespace tavro
