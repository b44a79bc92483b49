// Pinned calls: the standard library's functions the bodies call, answered as CPython 3.9
// answers them.
//
// Stored tokens were made and read by 3.9's base64, binascii and hashlib. Later releases
// change what those functions accept: 3.15's urlsafe_b64decode takes text without padding,
// warns on "+" and "/" and announces that it will drop them, and a 32-bit binascii refuses
// more than a token can hold. So while a body is about to call the interpreter's own
// function, with all that function reaches still the interpreter's own, the libraries
// compute its answer here; a function anyone has rebound is called as the body calls it.
#pragma once

#include "frame/reach_guard.hpp"
#include "frame/ref.hpp"

namespace tavro::pinned {

// A standard-library function as it was at load, and what it reaches.
class Function {
public:
    // Records the function; the caller adds what it reaches to `reach`, then seals it. The
    // place it was found in is not part of it: the body may find it elsewhere.
    void record(PyObject* function);
    // Whether calling `candidate` now would run the recorded function on its own reach.
    bool answers(PyObject* candidate) {
        return recorded_ && candidate == recorded_ && reach.hold();
    }

    ReachGuard reach;

private:
    PyObject* recorded_ = nullptr;
};

// `base64.b64encode(data).decode(encoding="UTF-8")`: the text of any C-contiguous buffer,
// however large, or MemoryError.
Ref b64encode_text(PyObject* data);

// What 3.9's urlsafe_b64decode reaches besides its code: names it calls methods by and the
// objects of its module.
struct DecodeNames {
    PyObject* encode;       // "encode"
    PyObject* ascii;        // "ascii"
    PyObject* translate;    // "translate"
    PyObject* dunder_class; // "__class__"
    PyObject* dunder_name;  // "__name__"
    PyObject* translation;  // base64._urlsafe_decode_translation
    PyObject* bytes_types;  // base64.bytes_types
};
// `base64.urlsafe_b64decode(text)`: decoded bytes, or the error 3.9 raises.
Ref urlsafe_b64decode(PyObject* text, const DecodeNames& names);

// `hashlib.md5(data).hexdigest()`.
Ref md5_hexdigest(PyObject* data);

}  // namespace tavro::pinned
