// Traceback entries, and the per-library cache of their code objects.
#include "traceback.hpp"

#include "versions.hpp"

#include <frameobject.h>

namespace tavro {
namespace {

constexpr Py_ssize_t codes_growth = 64;

// Index of the first entry whose line is not below `line`.
Py_ssize_t lower_bound(const TracebackCodes& codes, int line) {
    Py_ssize_t low = 0, high = codes.size;
    while (low < high) {
        Py_ssize_t middle = low + (high - low) / 2;
        if (codes.entries[middle].line < line) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low;
}

// The cache keeps the first code object made for a line; failing to grow only skips caching.
// Making the code object may have collected garbage, run finalizers and filled the cache
// meanwhile, so the place is looked for again.
void remember(TracebackCodes& codes, int line, PyObject* code) {
    Py_ssize_t position = lower_bound(codes, line);
    if (position < codes.size && codes.entries[position].line == line) return;
    if (codes.size == codes.capacity) {
        Py_ssize_t capacity = codes.capacity + codes_growth;
        auto* grown = PyMem_Realloc(codes.entries, capacity * sizeof(TracebackCodes::Entry));
        if (!grown) return;
        codes.entries = static_cast<TracebackCodes::Entry*>(grown);
        codes.capacity = capacity;
    }
    for (Py_ssize_t index = codes.size; index > position; --index) {
        codes.entries[index] = codes.entries[index - 1];
    }
    Py_INCREF(code);
    codes.entries[position] = {line, code};
    ++codes.size;
}

// From 3.11 a traceback entry reads its line from the code's line table, so the code is the
// interpreter's own placeholder (`PyCode_NewEmpty`): a line table for the first line, and
// bytecode that raises should anything run it.
PyCodeObject* code_for_line(Library& library, PyObject* name, int line) {
    TracebackCodes& codes = library.traceback_codes;
    {
        versions::Locked locked(codes.mutex);
        Py_ssize_t position = lower_bound(codes, line);
        if (position < codes.size && codes.entries[position].line == line) {
            PyObject* code = codes.entries[position].code;
            Py_INCREF(code);
            return reinterpret_cast<PyCodeObject*>(code);
        }
    }
    const char* name_text = PyUnicode_AsUTF8(name);
    if (!name_text) return nullptr;
    PyCodeObject* code = PyCode_NewEmpty(library.description.source_path, name_text, line);
    if (code) {
        versions::Locked locked(codes.mutex);
        remember(codes, line, reinterpret_cast<PyObject*>(code));
    }
    return code;
}

}  // namespace

void add_traceback_entry(Library& library, PyObject* name, int line) {
    if (!name || !library.globals) return;
    PyFrameObject* entry_frame;
    {
        versions::PendingException in_flight;
        PyCodeObject* code = code_for_line(library, name, line);
        entry_frame =
            code ? PyFrame_New(PyThreadState_Get(), code, library.globals, nullptr) : nullptr;
        Py_XDECREF(code);
        if (!entry_frame) PyErr_Clear();
        in_flight.restore();
    }
    if (!entry_frame) return;
    PyTraceBack_Here(entry_frame);
    Py_DECREF(entry_frame);
}

}  // namespace tavro
