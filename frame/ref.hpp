// References to Python objects: `Ref` owns one, `Borrowed` does not.
//
// Rules of use:
//  1. A `Ref` owns exactly one strong reference, or none (empty). Its destructor releases it,
//     so every early return on an error path releases what the function holds.
//  2. `Ref::steal(p)` adopts a new reference (the result of an API call that returns one);
//     an API failure gives an empty `Ref`, and the exception stays set.
//  3. `Ref::borrow(p)` takes a new strong reference to a borrowed pointer.
//  4. A `Borrowed` names a reference that something else keeps alive: a container the
//     function holds, or its caller. It is valid only until code that could release that
//     owner runs (any call into Python); take a `Ref` (`strong()`) to keep it longer.
//  5. A plain `PyObject*` parameter is borrowed from the caller for the duration of the call.
//  6. `release()` hands the reference to the caller (the usual way to return a result).
#pragma once

#include <Python.h>

#include <utility>

namespace tavro {

class Ref {
public:
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref doomed(std::move(*this));
        object_ = other.release();
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    static Ref steal(PyObject* object) { return Ref(object); }
    static Ref borrow(PyObject* object) {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit Ref(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

class Borrowed {
public:
    Borrowed() = default;
    explicit Borrowed(PyObject* object) : object_(object) {}

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    Ref strong() const { return Ref::borrow(object_); }

private:
    PyObject* object_ = nullptr;
};

}  // namespace tavro
