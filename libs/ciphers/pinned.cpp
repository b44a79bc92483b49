// Pinned calls: the standard library's functions the bodies call, answered as CPython 3.9
// answers them.
#include "pinned.hpp"

#include "frame/calls.hpp"
#include "frame/fast_input.hpp"
#include "frame/versions.hpp"
#include "native/base64.hpp"
#include "native/md5.hpp"

#include <utility>

namespace tavro::pinned {
namespace {

const char* const not_ascii = "string argument should contain only ASCII characters";

// binascii.a2b_base64 of `size` characters at `text`, exported by `exporter`. The output is
// made before the text is read, so no code runs between reading it and answering.
Ref decode_characters(PyObject* exporter, const unsigned char* text, Py_ssize_t size, Ref output) {
    auto* out = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(output.get()));
    base64::LenientResult result;
    {
        versions::CriticalSection still(versions::changing_exporter(exporter));
        result = base64::decode_lenient(text, size, out);
    }
    if (result.status == base64::Lenient::one_too_many) {
        PyErr_Format(PyExc_ValueError,
                     "Invalid base64-encoded string: number of data characters (%zd) cannot be "
                     "1 more than a multiple of 4",
                     static_cast<Py_ssize_t>(result.data_characters));
        return {};
    }
    if (result.status == base64::Lenient::bad_padding) {
        PyErr_SetString(PyExc_ValueError, "Incorrect padding");
        return {};
    }
    // The output is new and ours alone, as resizing in place requires.
    PyObject* resized = output.release();
    if (_PyBytes_Resize(&resized, static_cast<Py_ssize_t>(result.size)) < 0) return {};
    return Ref::steal(resized);
}

Ref output_for(Py_ssize_t characters) {
    return Ref::steal(PyBytes_FromStringAndSize(nullptr, (characters + 3) / 4 * 3));
}

// 3.9's binascii.a2b_base64(data): ASCII text or a buffer.
Ref a2b_base64(PyObject* data) {
    if (PyUnicode_Check(data)) {
        if (!PyUnicode_IS_ASCII(data)) {
            PyErr_SetString(PyExc_ValueError, not_ascii);
            return {};
        }
        Ref output = output_for(PyUnicode_GET_LENGTH(data));
        if (!output) return {};
        return decode_characters(data, PyUnicode_1BYTE_DATA(data), PyUnicode_GET_LENGTH(data),
                                 std::move(output));
    }
    Py_buffer view;
    if (versions::get_buffer(data, &view, PyBUF_SIMPLE) < 0) {
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) return {};
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError,
                     "argument should be bytes, buffer or ASCII string, not '%.100s'",
                     Py_TYPE(data)->tp_name);
        return {};
    }
    // The export keeps the buffer where it is while the output is made, whatever that runs.
    Ref output = output_for(view.len);
    Ref decoded = output ? decode_characters(data, static_cast<const unsigned char*>(view.buf),
                                             view.len, std::move(output))
                         : Ref();
    PyBuffer_Release(&view);
    return decoded;
}

// memoryview(s).tobytes().
Ref buffer_copy(PyObject* s) {
    Py_buffer view;
    if (versions::get_buffer(s, &view, PyBUF_FULL_RO) < 0) return {};
    Ref copy = Ref::steal(PyBytes_FromStringAndSize(nullptr, view.len));
    if (copy) {
        versions::CriticalSection still(versions::changing_exporter(s));
        if (PyBuffer_ToContiguous(PyBytes_AS_STRING(copy.get()), &view, view.len, 'C') < 0)
            copy = Ref();
    }
    PyBuffer_Release(&view);
    return copy;
}

// 3.9's base64._bytes_from_decode_data(s).
Ref bytes_from_decode_data(PyObject* s, const DecodeNames& names) {
    int is_text = PyObject_IsInstance(s, reinterpret_cast<PyObject*>(&PyUnicode_Type));
    if (is_text < 0) return {};
    if (is_text) {
        Ref encoded = PyUnicode_CheckExact(s) ? Ref::steal(PyUnicode_AsASCIIString(s))
                                              : call_method(s, names.encode, {names.ascii});
        if (!encoded && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
            PyErr_SetString(PyExc_ValueError, not_ascii);
        }
        return encoded;
    }
    int is_bytes = PyObject_IsInstance(s, names.bytes_types);
    if (is_bytes < 0) return {};
    if (is_bytes) return Ref::borrow(s);
    Ref copy = buffer_copy(s);
    if (copy || !PyErr_ExceptionMatches(PyExc_TypeError)) return copy;
    PyErr_Clear();
    Ref type = attribute(s, names.dunder_class);
    Ref type_name = type ? attribute(type.get(), names.dunder_name) : Ref();
    if (!type_name) return {};
    PyErr_Format(PyExc_TypeError, "argument should be a bytes-like object or ASCII string, not %R",
                 type_name.get());
    return {};
}

}  // namespace

void Function::record(PyObject* function) {
    // Kept for good, as everything the library records at load.
    Py_XINCREF(function);
    recorded_ = function;
}

Ref b64encode_text(PyObject* data) {
    Py_buffer view;
    if (versions::get_buffer(data, &view, PyBUF_SIMPLE) < 0) return {};
    // A token body must fit a str; past that the data could not have been held either.
    const bool fits =
        static_cast<std::size_t>(view.len) <= static_cast<std::size_t>(PY_SSIZE_T_MAX) / 4 * 3 - 3;
    Ref text =
        fits ? Ref::steal(PyUnicode_New(base64::encoded_size(view.len, true), tavro::ascii_max))
             : Ref();
    if (!fits) PyErr_NoMemory();
    if (text) {
        versions::CriticalSection still(versions::changing_exporter(data));
        base64::encode(static_cast<const unsigned char*>(view.buf), view.len,
                       reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get())), true);
    }
    PyBuffer_Release(&view);
    return text;
}

Ref urlsafe_b64decode(PyObject* text, const DecodeNames& names) {
    if (PyUnicode_CheckExact(text)) return a2b_base64(text);
    Ref data = bytes_from_decode_data(text, names);
    if (!data) return {};
    // translate() of an exact bytes or bytearray only swaps "-" and "_" for "+" and "/",
    // which the decoder reads alike; anything else is asked, and b64decode looks again.
    if (!PyBytes_CheckExact(data.get()) && !PyByteArray_CheckExact(data.get())) {
        data = call_method(data.get(), names.translate, {names.translation});
        if (data) data = bytes_from_decode_data(data.get(), names);
        if (!data) return {};
    }
    return a2b_base64(data.get());
}

Ref md5_hexdigest(PyObject* data) {
    if (PyUnicode_Check(data)) {
        PyErr_SetString(PyExc_TypeError, "Strings must be encoded before hashing");
        return {};
    }
    if (!versions::has_buffer(data)) {
        PyErr_SetString(PyExc_TypeError, "object supporting the buffer API required");
        return {};
    }
    Py_buffer view;
    if (versions::get_buffer(data, &view, PyBUF_SIMPLE) < 0) return {};
    Ref hex = Ref::steal(PyUnicode_New(32, tavro::ascii_max));
    if (hex) {
        Md5 md5;
        versions::CriticalSection still(versions::changing_exporter(data));
        md5.update(static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len));
        md5.hex_digest(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(hex.get())));
    }
    PyBuffer_Release(&view);
    return hex;
}

}  // namespace tavro::pinned
