// Argument binding, with the messages of a Python 2 style function, which callers match on.
#include "binding.hpp"

namespace tavro {
namespace {

PyObject* parameter_name(const Method& method, int index) { return *method.locals[index]; }

bool count_error(const Method& method, Py_ssize_t given) {
    const char* word;
    Py_ssize_t expected;
    if (method.required_count == method.parameter_count) {
        word = "exactly";
        expected = method.parameter_count;
    } else if (given < method.required_count) {
        word = "at least";
        expected = method.required_count;
    } else {
        word = "at most";
        expected = method.parameter_count;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 method.name, word, expected, expected == 1 ? "" : "s", given);
    return false;
}

bool keywords_must_be_strings(const Method& method) {
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", method.name);
    return false;
}

bool unexpected_keyword(const Method& method, PyObject* key) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", method.name, key);
    return false;
}

// 1 when `key` spells `name`, 0 when not, -1 with an exception set.
int same_text(PyObject* key, PyObject* name) {
    if (PyUnicode_GET_LENGTH(key) != PyUnicode_GET_LENGTH(name)) return 0;
    int order = PyUnicode_Compare(key, name);
    if (order == -1 && PyErr_Occurred()) return -1;
    return order == 0;
}

// Walks every keyword in dict order; the first one that fits no free parameter decides.
bool match_keywords(const Method& method, PyObject* keywords, int filled_by_position, Ref* bound) {
    const int count = method.parameter_count;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(keywords, &position, &key, &value)) {
        int index = filled_by_position;
        while (index < count && key != parameter_name(method, index)) ++index;
        if (index < count) {
            bound[index] = Ref::borrow(value);
            continue;
        }
        if (!PyUnicode_Check(key)) return keywords_must_be_strings(method);
        bool matched = false;
        for (index = filled_by_position; index < count && !matched; ++index) {
            int same = same_text(key, parameter_name(method, index));
            if (same < 0) return false;
            if (same) {
                bound[index] = Ref::borrow(value);
                matched = true;
            }
        }
        if (matched) continue;
        for (index = 0; index < filled_by_position && index < count; ++index) {
            int same = same_text(key, parameter_name(method, index));
            if (same < 0) return false;
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             method.name, key);
                return false;
            }
        }
        return unexpected_keyword(method, key);
    }
    return true;
}

// A method without parameters names the last keyword, unless a key is not a string.
bool bind_nothing(const Method& method, Py_ssize_t given, PyObject* keywords) {
    if (given > 0) return count_error(method, given);
    if (!keywords || PyDict_GET_SIZE(keywords) == 0) return true;
    Py_ssize_t position = 0;
    PyObject *key, *value, *last = nullptr;
    while (PyDict_Next(keywords, &position, &key, &value)) {
        if (!PyUnicode_Check(key)) return keywords_must_be_strings(method);
        last = key;
    }
    return unexpected_keyword(method, last);
}

}  // namespace

bool bind_arguments(const Method& method, PyObject* arguments, PyObject* keywords, Ref* bound) {
    const Py_ssize_t given = PyTuple_GET_SIZE(arguments);
    const int count = method.parameter_count;
    if (count == 0) return bind_nothing(method, given, keywords);
    if (given > count || (!keywords && given < method.required_count)) {
        return count_error(method, given);
    }
    for (int index = 0; index < count; ++index) {
        bound[index] = Ref::borrow(index < given ? PyTuple_GET_ITEM(arguments, index) : Py_None);
    }
    if (!keywords) return true;

    // The expected names are looked up directly before any walk of the dict.
    Py_ssize_t unbound = PyDict_GET_SIZE(keywords);
    if (given == 0) {
        Borrowed value(PyDict_GetItemWithError(keywords, parameter_name(method, 0)));
        if (!value) return PyErr_Occurred() ? false : count_error(method, given);
        bound[0] = value.strong();
        --unbound;
    }
    if (given <= 1) {
        for (int index = 1; index < count && unbound > 0; ++index) {
            Borrowed value(PyDict_GetItemWithError(keywords, parameter_name(method, index)));
            if (value) {
                bound[index] = value.strong();
                --unbound;
            } else if (PyErr_Occurred()) {
                return false;
            }
        }
    }
    if (unbound > 0) return match_keywords(method, keywords, static_cast<int>(given), bound);
    return true;
}

}  // namespace tavro
