// Unlocked: the interpreter lock let go for a stretch of plain C++ work.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tavro {

// Work on fewer bytes than this keeps the lock. Timed on two cores, for e1 and d1 of 1 to
// 64 KiB, letting it go changed one thread's time by less than the noise at every size,
// while two threads' calls per second, over one thread's, went from 0.77-0.98x to: 0.66-1.31x
// at 1 KiB (so not there), 1.18-1.43x at 2 KiB, 1.44-1.70x at 4 KiB, 1.75-1.97x at 8 KiB.
inline constexpr std::size_t unlocked_from = 4 * 1024;

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
