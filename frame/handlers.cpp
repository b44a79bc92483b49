// The except clauses of the bodies that turn bad data into an answer.
#include "handlers.hpp"

#include "builtins_39.hpp"
#include "traceback.hpp"
#include "versions.hpp"

namespace tavro {

bool swallow_exception(Context& context, int memory_error_line, int exception_line) {
    if constexpr (versions::calls_find_module_builtins) {
        if (context.foreign_builtins()) {
            return handle_as_written(context, memory_error_line, exception_line);
        }
    }
    if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return false;
    }
    add_traceback_entry(context.library, context.traceback_name, context.line);
    // The handler runs no code, so sys.exc_info() never shows the exception, and the one the
    // caller is handling stays as it is.
    versions::PendingException caught;
    caught.normalize();
    return true;
}

PyObject* result_or_handled(Context& context, Ref result, int memory_error_line, int exception_line,
                            PyObject* fallback) {
    if (!result && swallow_exception(context, memory_error_line, exception_line)) {
        result = Ref::borrow(fallback);
    }
    return result.release();
}

}  // namespace tavro
