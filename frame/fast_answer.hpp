// FastAnswer: what a method's fast path gives back.
#pragma once

#include "ref.hpp"

#include <utility>

namespace tavro {

// A fast path either declines a call, and the method's general path then makes it, or
// answers it: with the result, or with no result and the exception to raise set. Declining
// leaves no exception set.
class FastAnswer {
public:
    static FastAnswer declined() { return FastAnswer(false, Ref()); }
    static FastAnswer answered(Ref result) { return FastAnswer(true, std::move(result)); }

    bool answered() const { return answered_; }
    // The result as the method returns it: a new reference, or null with the exception set.
    PyObject* release() { return result_.release(); }

private:
    FastAnswer(bool answered, Ref result) : answered_(answered), result_(std::move(result)) {}

    bool answered_;
    Ref result_;
};

}  // namespace tavro
