// Traceback entries: failures inside the libraries, which have no Python frames of their own.
#pragma once

#include "library.hpp"

namespace tavro {

// Pushes an entry (the library's source path, `line`, `name`) onto the traceback of the
// exception in flight. When the code object or frame cannot be made, no entry is added and
// the exception in flight is kept.
void add_traceback_entry(Library& library, PyObject* name, int line);

}  // namespace tavro
