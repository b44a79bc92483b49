// What differs between the CPython versions the frame is built for (3.9 to 3.15, and the
// free-threaded builds from 3.14). Nothing outside this file tests PY_VERSION_HEX or
// Py_GIL_DISABLED.
#pragma once

#include "ref.hpp"

#include <Python.h>
#if PY_VERSION_HEX < 0x030A0000
#include <frameobject.h>
#endif

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <utility>

namespace tavro::versions {

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

// Whether any of a set of dicts changed since a `stamp` taken before looking at them. Up to
// 3.11 every dict carries a version that any change moves (and no two changes share); from
// 3.12 that version is on its way out and the interpreter tells watchers of each change
// instead. Free-threaded builds call a watcher on the changing thread, before the change and
// under the dict's own lock, so a stamp taken before reading the dict (under that lock) never
// covers a change the reading missed.
#if PY_VERSION_HEX >= 0x030C0000
inline std::atomic<std::uint64_t> watched_dict_changes{0};
// One watcher serves every guard of the library: an interpreter has only a few.
inline int dict_watcher = -1;

inline int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    watched_dict_changes.fetch_add(1, std::memory_order_acq_rel);
    return 0;
}

// The other library of the process may ask a DictWatch of this one, so the count it reads
// is this library's, through `changes_`, not a global of the code doing the asking.
class DictWatch {
public:
    using Stamp = std::uint64_t;
    bool add(PyObject* dict) {
        if (dict_watcher < 0) dict_watcher = PyDict_AddWatcher(on_watched_dict_change);
        return dict_watcher >= 0 && PyDict_Watch(dict_watcher, dict) == 0;
    }
    Stamp stamp() const { return changes_->load(std::memory_order_acquire); }
    bool unchanged() const { return seen_.load(std::memory_order_relaxed) == stamp(); }
    void mark(Stamp stamp) { seen_.store(stamp, std::memory_order_relaxed); }

private:
    const std::atomic<std::uint64_t>* changes_ = &watched_dict_changes;
    std::atomic<std::uint64_t> seen_{0};
};
#else
class DictWatch {
public:
    struct Stamp {};
    bool add(PyObject* dict) {
        if (count_ == capacity) return false;
        dicts_[count_++] = reinterpret_cast<PyDictObject*>(dict);
        return true;
    }
    Stamp stamp() const { return {}; }
    bool unchanged() const {
        for (int index = 0; index < count_; ++index) {
            if (dicts_[index]->ma_version_tag != versions_[index]) return false;
        }
        return true;
    }
    // The interpreter lock keeps the dicts as they were looked at until now.
    void mark(Stamp) {
        for (int index = 0; index < count_; ++index)
            versions_[index] = dicts_[index]->ma_version_tag;
    }

private:
    static constexpr int capacity = 8;
    PyDictObject* dicts_[capacity];
    std::uint64_t versions_[capacity] = {};
    int count_ = 0;
};
#endif

// The version tag of a class, which any change to it or its bases replaces; 0 when it has
// none at the moment. `assign_type_version` gives it one.
inline unsigned type_version(PyTypeObject* type) {
#if PY_VERSION_HEX < 0x030D0000
    // Before 3.13 a change only clears this flag; the stale tag stays until the next lookup.
    if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return 0;
    return type->tp_version_tag;
#else
    // Free-threaded builds store it atomically, from any thread.
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_RELAXED);
#endif
}
inline void assign_type_version(PyTypeObject* type, PyObject* any_name) {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    PyUnstable_Type_AssignVersionTag(type);
#else
    _PyType_Lookup(type, any_name);
#endif
}

// Buffers as 3.9 exports them. From 3.12 a class written in Python can export a buffer of
// its own (`__buffer__`); 3.9 knew no such thing, and an object of such a class exported what
// the nearest class written in C among its bases exports, or nothing.
#if PY_VERSION_HEX >= 0x030C0000
inline bool defines_buffer_in_python(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !type->tp_dict) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(type->tp_dict, &position, &key, &value)) {
        if (PyUnicode_CheckExact(key) && PyUnicode_CompareWithASCIIString(key, "__buffer__") == 0) {
            return true;
        }
    }
    return false;
}

// The class whose buffer slot 3.9 would use for `object`, or null for none.
inline PyTypeObject* exporter_of(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    PyObject* mro = type->tp_mro;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || !mro || !PyTuple_Check(mro)) return type;
    bool from_python = false;
    for (Py_ssize_t index = 0; index < PyTuple_GET_SIZE(mro); ++index) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, index));
        if (base->tp_flags & Py_TPFLAGS_HEAPTYPE) {
            from_python |= defines_buffer_in_python(base);
            continue;
        }
        if (!from_python) return type;
        if (base->tp_as_buffer && base->tp_as_buffer->bf_getbuffer) return base;
    }
    return nullptr;
}

inline bool has_buffer(PyObject* object) {
    PyTypeObject* exporter = exporter_of(object);
    return exporter && exporter->tp_as_buffer && exporter->tp_as_buffer->bf_getbuffer;
}

inline int get_buffer(PyObject* object, Py_buffer* view, int flags) {
    PyTypeObject* exporter = exporter_of(object);
    if (exporter == Py_TYPE(object)) return PyObject_GetBuffer(object, view, flags);
    if (!exporter) {
        PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%.100s'",
                     Py_TYPE(object)->tp_name);
        return -1;
    }
    return exporter->tp_as_buffer->bf_getbuffer(object, view, flags);
}
#else
inline bool has_buffer(PyObject* object) { return PyObject_CheckBuffer(object); }
inline int get_buffer(PyObject* object, Py_buffer* view, int flags) {
    return PyObject_GetBuffer(object, view, flags);
}
#endif

// The builtins a call of a method sees, when they are not those of the module's own
// `__builtins__` as it was loaded.
//
// Up to 3.9 a Python function takes its builtins each time a call makes its frame: from the
// calling frame when that frame shares the function's globals, else from the globals'
// `__builtins__` entry, a module standing for its dict and a missing entry for a new dict
// holding only None. Replacing or deleting the entry therefore changes the builtins of the
// next call, and the libraries follow (their methods have no frames, so "the calling frame"
// is the innermost Python one). From 3.10 a function keeps the builtins it was made with:
// the libraries keep the ones they loaded with.
//
// What the `__builtins__` entry stood for when the module's globals last had a given version
// tag: while the tag stays, the globals have not changed, so neither has the entry.
struct BuiltinsEntry {
#if PY_VERSION_HEX < 0x030A0000
    std::uint64_t version = 0;
    PyObject* builtins = nullptr;  // borrowed from the entry
#endif
};

class CallBuiltins {
public:
    // False, with an exception set, when they cannot be found: the call then fails before it
    // starts, as 3.9 does when it cannot make the frame. `own` is the builtins module the
    // library loaded with, `entry_name` the interned "__builtins__".
    bool find(PyObject* globals, PyObject* own, PyObject* entry_name, BuiltinsEntry& entry) {
#if PY_VERSION_HEX < 0x030A0000
        PyFrameObject* caller = PyEval_GetFrame();
        PyObject* builtins;
        const std::uint64_t version = reinterpret_cast<PyDictObject*>(globals)->ma_version_tag;
        if (caller && caller->f_globals == globals) {
            builtins = caller->f_builtins;
        } else if (entry.builtins && entry.version == version) {
            builtins = entry.builtins;
        } else if (!(builtins = PyDict_GetItemWithError(globals, entry_name))) {
            if (PyErr_Occurred()) return false;
            foreign_ = Ref::steal(PyDict_New());
            return foreign_ && PyDict_SetItemString(foreign_.get(), "None", Py_None) == 0;
        } else {
            if (PyModule_Check(builtins)) builtins = PyModule_GetDict(builtins);
            entry = {version, builtins};
        }
        if (builtins != PyModule_GetDict(own)) foreign_ = Ref::borrow(builtins);
#else
        (void)globals, (void)own, (void)entry_name, (void)entry;
#endif
        return true;
    }

    // The mapping the call looks builtins up in, or null for the module's own.
    PyObject* foreign() const { return foreign_.get(); }

private:
    Ref foreign_;
};

// Whether a module's `__builtins__` entry decides the builtins of its calls (see CallBuiltins).
inline constexpr bool calls_find_module_builtins = PY_VERSION_HEX < 0x030A0000;

// A method's body as written for such calls, named in its row (Method::written_39): the files
// that define them build for 3.9 alone.
#if PY_VERSION_HEX < 0x030A0000
#define TAVRO_WRITTEN_39(body) body
#else
#define TAVRO_WRITTEN_39(body) nullptr
#endif

// While this lives, `exception` is the one being handled, as inside an `except` clause (what
// sys.exc_info() reports, and the context of anything raised); then the thread's own state is
// back. Calls that need it happen on 3.9 alone (see CallBuiltins).
class HandledException {
public:
    explicit HandledException(PyObject* exception) {
#if PY_VERSION_HEX < 0x030A0000
        // The thread's current entry, as an `except` clause keeps it: it may be empty while
        // sys.exc_info() shows an outer one.
        _PyErr_StackItem* current = PyThreadState_Get()->exc_info;
        type_ = current->exc_type, value_ = current->exc_value;
        traceback_ = current->exc_traceback;
        Py_XINCREF(type_), Py_XINCREF(value_), Py_XINCREF(traceback_);
#else
        PyErr_GetExcInfo(&type_, &value_, &traceback_);
#endif
        PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exception));
        Py_INCREF(type);
        Py_INCREF(exception);
        PyErr_SetExcInfo(type, exception, PyException_GetTraceback(exception));
    }
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    ~HandledException() { PyErr_SetExcInfo(type_, value_, traceback_); }

private:
    PyObject *type_, *value_, *traceback_;
};

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

    // The exception object; before 3.12, only once normalized.
    PyObject* value() const { return value_; }

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

// Free-threaded builds run calls in several threads at once, with no interpreter lock to
// keep one thread's objects still while another reads them. What the libraries took from
// that lock, they take there from the pieces below; elsewhere each piece costs nothing.
#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// A module's slots: its create and exec steps and, from 3.13, that it runs without the
// interpreter lock (a free-threaded build turns the lock back on for every thread when it
// loads a module that does not say so).
inline std::array<PyModuleDef_Slot, 4> module_slots(void* create, void* exec) {
    return {{{Py_mod_create, create},
             {Py_mod_exec, exec},
#ifdef Py_mod_gil
             {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
             {0, nullptr}}};
}

// While this lives, no other thread changes `object` through its own methods (a dict's
// entries, a bytearray's bytes). Only for plain C++ work: a call that can block, or run
// Python code, may suspend it. A null object is not locked.
class CriticalSection {
public:
#ifdef Py_GIL_DISABLED
    explicit CriticalSection(PyObject* object) : locked_(object != nullptr) {
        if (locked_) PyCriticalSection_Begin(&section_, object);
    }
    ~CriticalSection() {
        if (locked_) PyCriticalSection_End(&section_);
    }
#else
    explicit CriticalSection(PyObject*) {}
#endif
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

#ifdef Py_GIL_DISABLED
private:
    PyCriticalSection section_;
    bool locked_;
#endif
};

// The object whose lock keeps still the bytes `object` exports, or null when they never
// change (an exact bytes or str). Other exporters are locked themselves: a bytearray
// changes only under its own lock.
inline PyObject* changing_exporter(PyObject* object) {
    return PyBytes_CheckExact(object) || PyUnicode_CheckExact(object) ? nullptr : object;
}

// A lock for the libraries' own state; with the interpreter lock, that lock does its work.
// Held only across plain C++ work and the allocator.
class Mutex {
public:
    void lock() {
#ifdef Py_GIL_DISABLED
        PyMutex_Lock(&mutex_);
#endif
    }
    void unlock() {
#ifdef Py_GIL_DISABLED
        PyMutex_Unlock(&mutex_);
#endif
    }

private:
#ifdef Py_GIL_DISABLED
    PyMutex mutex_{};
#endif
};

class Locked {
public:
    explicit Locked(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Locked() { mutex_.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Mutex& mutex_;
};

// `dict[key]` as a strong reference: empty, with an exception set on failure and none when
// the key is missing. Another thread may replace the entry and free the old value at once, so
// from 3.13 the reference is taken inside the lookup.
inline Ref dict_item(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* value;
    PyDict_GetItemRef(dict, key, &value);
    return Ref::steal(value);
#else
    return Ref::borrow(PyDict_GetItemWithError(dict, key));
#endif
}

// `dict.setdefault(key, value)` as a strong reference, or empty with an exception set.
inline Ref dict_set_default(PyObject* dict, PyObject* key, PyObject* value) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* result;
    if (PyDict_SetDefaultRef(dict, key, value, &result) < 0) return {};
    return Ref::steal(result);
#else
    return Ref::borrow(PyDict_SetDefault(dict, key, value));
#endif
}

// An exact list's item at `index` when it has one, as a strong reference; empty, with no
// exception set, when it has not (the caller then asks the list's own subscript, for its
// message). Another thread may shrink the list meanwhile.
inline Ref list_item(PyObject* list, Py_ssize_t index) {
#ifdef Py_GIL_DISABLED
    Ref item = Ref::steal(PyList_GetItemRef(list, index));
    if (!item) PyErr_Clear();
    return item;
#else
    if (index >= PyList_GET_SIZE(list)) return {};
    return Ref::borrow(PyList_GET_ITEM(list, index));
#endif
}

// The import system's module of that name, made when missing, as a strong reference.
inline Ref add_module(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return Ref::steal(PyImport_AddModuleRef(name));
#else
    return Ref::borrow(PyImport_AddModule(name));
#endif
}

}  // namespace tavro::versions
