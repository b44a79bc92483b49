// Fast-path input: recognising the arguments a fast path can read directly.
#include "fast_input.hpp"

#include "versions.hpp"

#include <cstring>
#include <initializer_list>

namespace tavro {

Ref new_ascii_text(Py_ssize_t size) {
    Ref text = Ref::steal(PyUnicode_New(size, ascii_max));
    if (!text) PyErr_Clear();
    return text;
}

bool plain_bytes(PyObject* object, PlainBytes& plain) {
    plain.immutable = true;
    plain.owner = Ref::borrow(object);
    if (PyBytes_CheckExact(object)) {
        plain.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(object));
        plain.size = PyBytes_GET_SIZE(object);
    } else if (PyByteArray_CheckExact(object) && versions::free_threaded) {
        // Another thread may write or resize it at any moment: the call reads a copy, which
        // holds the bytes as they stood at one instant.
        {
            versions::CriticalSection still(object);
            plain.owner = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(object),
                                                               PyByteArray_GET_SIZE(object)));
        }
        if (!plain.owner) {
            PyErr_Clear();
            return false;
        }
        plain.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(plain.owner.get()));
        plain.size = PyBytes_GET_SIZE(plain.owner.get());
    } else if (PyByteArray_CheckExact(object)) {
        plain.data = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(object));
        plain.size = PyByteArray_GET_SIZE(object);
        plain.immutable = false;
    } else if (PyUnicode_CheckExact(object) && PyUnicode_IS_ASCII(object)) {
        plain.data = PyUnicode_1BYTE_DATA(object);
        plain.size = PyUnicode_GET_LENGTH(object);
    } else if (PyUnicode_CheckExact(object)) {
        plain.owner = Ref::steal(PyUnicode_AsUTF8String(object));
        if (!plain.owner) {
            PyErr_Clear();
            return false;
        }
        plain.data = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(plain.owner.get()));
        plain.size = PyBytes_GET_SIZE(plain.owner.get());
    } else {
        return false;
    }
    return true;
}

void recognise_codec(PlainEncoding& encoding) {
    char folded[16];
    std::size_t size = 0;
    for (const char* name = encoding.name; name[size]; ++size) {
        if (size + 1 == sizeof folded) return;
        const char c = name[size];
        folded[size] = c == '-' || c == ' ' ? '_' : c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c;
    }
    folded[size] = 0;
    auto is_one_of = [&](std::initializer_list<const char*> names) {
        for (const char* known : names) {
            if (std::strcmp(folded, known) == 0) return true;
        }
        return false;
    };
    encoding.utf_8 = is_one_of({"utf_8", "utf8"});
    encoding.keeps_ascii = encoding.utf_8 || is_one_of({"ascii", "us_ascii", "latin1", "latin_1",
                                                        "iso_8859_1", "iso8859_1"});
}

bool plain_encoding(PyObject* enc, PlainEncoding& encoding) {
    if (enc == Py_None) return true;
    if (!PyUnicode_CheckExact(enc)) return false;
    if (PyUnicode_GET_LENGTH(enc) == 0) return true;
    Py_ssize_t size;
    encoding.name = PyUnicode_AsUTF8AndSize(enc, &size);
    if (!encoding.name) {
        PyErr_Clear();
        return false;
    }
    return std::strlen(encoding.name) == static_cast<std::size_t>(size);
}

}  // namespace tavro
