// The except clauses of the bodies that turn bad data into an answer.
#pragma once

#include "library.hpp"
#include "ref.hpp"

namespace tavro {

// Runs the handlers `except MemoryError: raise` (on `memory_error_line`) and `except
// Exception:` (on `exception_line`) that turn bad data into an answer, for the exception in
// flight. True when the second takes it: the method's traceback entry is added and the
// exception dropped. Running out of memory and exceptions outside `Exception`
// (KeyboardInterrupt, SystemExit) are not bad data: they stay in flight and the result is
// false.
bool swallow_exception(Context& context, int memory_error_line, int exception_line);

// The `try` statement of such a body: `result` when its block made one, else `fallback`
// when the handlers take the exception (a new reference either way), else null with the
// exception in flight.
PyObject* result_or_handled(Context& context, Ref result, int memory_error_line, int exception_line,
                            PyObject* fallback);

}  // namespace tavro
