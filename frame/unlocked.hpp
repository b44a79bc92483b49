// Unlocked: the interpreter lock let go for a stretch of plain C++ work.
#pragma once

#include <Python.h>

namespace tavro {

// While an `Unlocked` made with `let_go` lives, this thread runs without the interpreter
// lock, so other threads run Python meanwhile. Inside, no Python API may be called, and only
// memory no other thread can change or free may be used: the bytes of an exact `bytes` or
// `str` the caller holds a reference to (they never change), and objects made by this call
// that nobody else has seen yet.
class Unlocked {
public:
    explicit Unlocked(bool let_go) : saved_(let_go ? PyEval_SaveThread() : nullptr) {}
    ~Unlocked() {
        if (saved_) PyEval_RestoreThread(saved_);
    }
    Unlocked(const Unlocked&) = delete;
    Unlocked& operator=(const Unlocked&) = delete;

private:
    PyThreadState* saved_;
};

}  // namespace tavro
