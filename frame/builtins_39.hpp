// Calls whose builtins are not the module's own, as 3.9 makes them: built for 3.9 alone, the
// only version whose calls can have them (see versions::CallBuiltins).
#pragma once

#include "library.hpp"
#include "ref.hpp"

namespace tavro {

// `name` among `builtins`, looked up as 3.9 looks up a global there: a dict directly, any
// other mapping by subscript, whose KeyError means "not there"; else NameError.
Ref foreign_builtin(PyObject* builtins, PyObject* name);

// swallow_exception (handlers.hpp) as a 3.9 frame runs the handlers: the exception gets the
// entry of the failing line, and is the one being handled while each handler's name is
// looked up like any global. Re-raised, or taken by neither, it leaves with that entry alone.
bool handle_as_written(Context& context, int memory_error_line, int exception_line);

}  // namespace tavro
