// What differs between the CPython versions the frame is built for (3.9 to 3.14). Nothing
// outside this file tests PY_VERSION_HEX.
#pragma once

#include <Python.h>

#include <cstring>
#include <utility>

namespace frame::versions {

// 3.9 and 3.10 mark code without free variables CO_NOFREE; 3.11 dropped the flag.
inline constexpr bool code_gains_nofree_flag = PY_VERSION_HEX < 0x030B0000;

// Code objects carry a qualified name from 3.11 on.
inline constexpr bool code_has_qualname = PY_VERSION_HEX >= 0x030B0000;

// Fills `compiled` with the version the library is built for and `running` with the
// interpreter's, as the load-time check compares them; true when they match.
//
// A 3.9 build compares the first digit of the major and of the minor number, as the
// libraries always have ("3.1" stands for every 3.1x). From 3.10 on that would confuse
// releases, so a build compares and names the whole major.minor.
inline bool same_version(char (&compiled)[8], char (&running)[8]) {
    const char* version = Py_GetVersion();
    PyOS_snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    if constexpr (PY_MINOR_VERSION < 10) {
        PyOS_snprintf(running, 4, "%s", version);
        return compiled[0] == running[0] && compiled[2] == running[2];
    }
    std::size_t length = 0, dots = 0;
    while (length + 1 < sizeof running && version[length]) {
        char c = version[length];
        if (c == '.' && ++dots == 2) break;
        if (c != '.' && (c < '0' || c > '9')) break;
        running[length++] = c;
    }
    running[length] = '\0';
    return std::strcmp(compiled, running) == 0;
}

// The exception in flight, taken out of flight for as long as this lives: dropped at the
// end unless put back with `restore`.
class PendingException {
public:
    PendingException() {
#if PY_VERSION_HEX >= 0x030C0000
        value_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &value_, &traceback_);
#endif
    }
    PendingException(const PendingException&) = delete;
    PendingException& operator=(const PendingException&) = delete;
    ~PendingException() {
        Py_XDECREF(value_);
#if PY_VERSION_HEX < 0x030C0000
        Py_XDECREF(type_);
        Py_XDECREF(traceback_);
#endif
    }

    void restore() {
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(std::exchange(value_, nullptr));
#else
        PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
#endif
    }

    // Makes the exception object, as an `except` clause does (its class may run code), and
    // attaches the traceback; 3.12 and later hold only the object, made at the raise.
    void normalize() {
#if PY_VERSION_HEX < 0x030C0000
        PyErr_NormalizeException(&type_, &value_, &traceback_);
        if (traceback_ && value_) PyException_SetTraceback(value_, traceback_);
#endif
    }

private:
    PyObject* value_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
};

}  // namespace frame::versions
