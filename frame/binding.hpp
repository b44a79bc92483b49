// Argument binding: a call's positional tuple and keyword dict onto a method's parameters.
#pragma once

#include "library.hpp"
#include "ref.hpp"

namespace tavro {

// Binds a call's arguments to `method`'s parameters, filling optional parameters with None.
// `bound` holds strong references: a keyword value stays alive even if the caller's dict
// changes while the body runs. False with TypeError set on a bad call.
bool bind_arguments(const Method& method, PyObject* arguments, PyObject* keywords, Ref* bound);

}  // namespace tavro
