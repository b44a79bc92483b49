// Fast-path input: recognising the arguments a fast path can read directly.
#pragma once

#include "ref.hpp"

#include <Python.h>

namespace tavro {

// The widest character of text that is ASCII alone: asked of PyUnicode_New, it makes the
// compact ASCII str whose characters are its bytes, which the libraries then write directly.
inline constexpr Py_UCS4 ascii_max = 127;

// A new ASCII str of `size` characters for a fast path to write, or null with no exception
// set: the general path then makes the call, and reports a failure as the body would.
Ref new_ascii_text(Py_ssize_t size);
inline char* ascii_characters(PyObject* text) {
    return reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text));
}

// The bytes a fast path reads from an exact bytes, bytearray or str (its UTF-8 form). False,
// with no exception set, for anything else or a str that has no UTF-8 form. The pointer is
// valid only until code that could change the object runs; while `owner` lives it is valid
// for good when `immutable` (bytes and str never change), so the lock may be let go then.
struct PlainBytes {
    const unsigned char* data;
    Py_ssize_t size;
    bool immutable;
    Ref owner;  // the object `data` points into: the argument, or the UTF-8 copy of a str
};
bool plain_bytes(PyObject* object, PlainBytes& plain);

// What `if enc: data.decode(encoding=enc)` does with `enc`, for a fast path: `name` null when
// `enc` is None or "" (no decoding), else the codec's name as C text. False, with no
// exception set, for any other `enc` (a subclass, a name with a NUL in it ...).
struct PlainEncoding {
    const char* name = nullptr;
    // The interpreter's own UTF-8, ASCII or Latin-1 decoder, which it picks by name without
    // asking the codec registry, and which turns ASCII bytes into the same characters.
    // Set by recognise_codec only.
    bool keeps_ascii = false;
    bool utf_8 = false;  // and of those, UTF-8
};
bool plain_encoding(PyObject* enc, PlainEncoding& encoding);
// Fills in `keeps_ascii` and `utf_8` for a named codec: the names PyUnicode_Decode sends to
// its own decoders after folding case and turning "-" and " " into "_"; any other spelling
// is simply not recognised.
void recognise_codec(PlainEncoding& encoding);

}  // namespace tavro
