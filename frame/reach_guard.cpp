// What a fast path takes for granted, and the check that it still holds.
#include "reach_guard.hpp"

namespace tavro {
namespace {

bool holds_entry(PyObject* dict, PyObject* name, PyObject* value) {
    Borrowed found = find_entry(dict, name);
    return found && found.get() == value;
}

// The same entries in the same order. The copy is the guard's alone.
bool same_entries(PyObject* dict, PyObject* copy) {
    versions::CriticalSection still(dict);
    if (PyDict_GET_SIZE(dict) != PyDict_GET_SIZE(copy)) return false;
    Py_ssize_t position = 0, copy_position = 0;
    PyObject *key, *value, *copy_key, *copy_value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (!PyDict_Next(copy, &copy_position, &copy_key, &copy_value) || key != copy_key ||
            value != copy_value) {
            return false;
        }
    }
    return true;
}

PyObject* dict_of(PyTypeObject* type) { return type->tp_dict; }

}  // namespace

Borrowed find_entry(PyObject* dict, PyObject* name) {
    versions::CriticalSection still(dict);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &position, &key, &value)) {
        if (key == name) return Borrowed(value);
    }
    return {};
}

bool is_module_named(PyObject* object, PyObject* dunder_name, const char* name) {
    if (!object || !PyModule_CheckExact(object)) return false;
    Borrowed found = find_entry(PyModule_GetDict(object), dunder_name);
    return found && PyUnicode_CheckExact(found.get()) &&
           PyUnicode_CompareWithASCIIString(found.get(), name) == 0;
}

bool is_builtin_of(PyObject* function, PyObject* module) {
    return function && PyCFunction_Check(function) && PyCFunction_GET_SELF(function) == module;
}

void ReachGuard::expect_entry(PyObject* dict, PyObject* name, PyObject* value) {
    if (entry_count_ == max_entries || !dict || !value) {
        overflow_ = true;
        return;
    }
    entries_[entry_count_++] = {dict, name, value};
    bool class_dict = false;
    for (int index = 0; index < class_count_; ++index) {
        class_dict |= dict_of(classes_[index].type) == dict;
    }
    if (!class_dict) {
        bool watched = false;
        for (int index = 0; index < entry_count_ - 1; ++index)
            watched |= entries_[index].dict == dict;
        if (!watched && !watch_.add(dict)) overflow_ = true;
    }
}

void ReachGuard::expect_unchanged(PyObject* dict) {
    PyObject* copy = PyDict_Copy(dict);
    if (!copy || copy_count_ == max_copies || !watch_.add(dict)) {
        Py_XDECREF(copy);
        overflow_ = true;
        return;
    }
    copies_[copy_count_++] = {dict, copy};
}

void ReachGuard::expect_class(PyObject* type) {
    if (class_count_ == max_classes || !PyType_Check(type) || Py_TYPE(type) != &PyType_Type) {
        overflow_ = true;
        return;
    }
    classes_[class_count_++].type = reinterpret_cast<PyTypeObject*>(type);
}

void ReachGuard::expect_function(PyObject* function) {
    if (function_count_ == max_functions || !PyFunction_Check(function)) {
        overflow_ = true;
        return;
    }
    functions_[function_count_++] = {function, PyFunction_GET_CODE(function),
                                     PyFunction_GET_DEFAULTS(function),
                                     PyFunction_GET_KW_DEFAULTS(function)};
}

void ReachGuard::expect_own_builtins(Library& library) {
    if (versions::calls_find_module_builtins) {
        expect_entry(library.globals, library.names.dunder_builtins, library.builtins);
    }
}

void ReachGuard::expect_held(ReachGuard* other) {
    if (other_count_ == max_others) {
        overflow_ = true;
        return;
    }
    others_[other_count_++] = other;
}

void ReachGuard::seal(bool usable) {
    // Everything recorded is kept alive by the library that recorded it, for good.
    for (int index = 0; index < entry_count_; ++index) Py_INCREF(entries_[index].value);
    for (int index = 0; index < function_count_; ++index) Py_INCREF(functions_[index].function);
    // Recording fails only when memory runs out; the module is then as good without it.
    usable_ = usable && !overflow_ && !PyErr_Occurred();
    PyErr_Clear();
    if (usable_) usable_ = look_again();
}

bool ReachGuard::look_again() {
    // What is marked as seen is what stood before looking, so that a change made while
    // another thread looks is looked at again by the next call.
    const versions::DictWatch::Stamp stamp = watch_.stamp();
    // A class the interpreter no longer gives version tags (3.13 stops after many changes)
    // keeps version 0, and is looked at again on every call.
    unsigned class_versions[max_classes];
    for (int index = 0; index < class_count_; ++index) {
        PyTypeObject* type = classes_[index].type;
        if (!versions::type_version(type) && entry_count_ > 0) {
            versions::assign_type_version(type, entries_[0].name);
        }
        class_versions[index] = versions::type_version(type);
    }
    for (int index = 0; index < entry_count_; ++index) {
        const Entry& entry = entries_[index];
        if (!holds_entry(entry.dict, entry.name, entry.value)) return false;
    }
    for (int index = 0; index < copy_count_; ++index) {
        if (!same_entries(copies_[index].dict, copies_[index].copy)) return false;
    }
    for (int index = 0; index < class_count_; ++index) {
        classes_[index].version.store(class_versions[index], std::memory_order_relaxed);
    }
    watch_.mark(stamp);
    return true;
}

bool ReachGuard::hold() {
    if (!usable_) return false;
    for (int index = 0; index < other_count_; ++index) {
        if (!others_[index]->hold()) return false;
    }
    for (int index = 0; index < function_count_; ++index) {
        const Function& known = functions_[index];
        if (PyFunction_GET_CODE(known.function) != known.code ||
            PyFunction_GET_DEFAULTS(known.function) != known.defaults ||
            PyFunction_GET_KW_DEFAULTS(known.function) != known.keyword_defaults) {
            return false;
        }
    }
    bool classes_unchanged = true;
    for (int index = 0; index < class_count_; ++index) {
        const Class& known = classes_[index];
        if (Py_TYPE(known.type) != &PyType_Type) return false;
        const unsigned version = known.version.load(std::memory_order_relaxed);
        classes_unchanged &= version && versions::type_version(known.type) == version;
    }
    if (classes_unchanged && watch_.unchanged()) return true;
    return look_again();
}

}  // namespace tavro
