// _TavroCrypt3's fast paths: e1 and d1 computed natively, while everything their bodies
// reach is as it was at load (fast_path_reach), for exact str, bytes and bytearray.
#include "lines.hpp"

#include "frame/fast_input.hpp"
#include "frame/handlers.hpp"
#include "frame/unlocked.hpp"
#include "native/base64.hpp"
#include "native/utf8.hpp"

namespace tavro_crypt_3 {
namespace {

// Text as the body reads it, for the fast path: an exact str, or an exact bytes (which the
// body decodes as UTF-8). A bytearray, or text that is not ASCII, always comes to None: the
// body's `raw + "="...` refuses the one, the decoder's ASCII check the other.
struct FastText {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    bool none = false;  // the call answers None
};
bool fast_text(PyObject* raw, FastText& found) {
    if (PyUnicode_CheckExact(raw)) {
        found.none = !PyUnicode_IS_ASCII(raw);
        found.text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(raw));
        found.size = PyUnicode_GET_LENGTH(raw);
    } else if (PyBytes_CheckExact(raw)) {
        found.text = PyBytes_AS_STRING(raw);
        found.size = PyBytes_GET_SIZE(raw);
    } else {
        found.none = PyByteArray_CheckExact(raw);
        return found.none;
    }
    return true;
}

}  // namespace

tavro::FastAnswer e1_fast(Context&, PyObject* const* parameters) {
    tavro::PlainBytes plain;
    if (!fast_path_reach.hold() || !tavro::plain_bytes(parameters[0], plain)) {
        return tavro::FastAnswer::declined();
    }
    const Py_ssize_t size = tavro::base64::encoded_size(plain.size, true);
    Ref text = tavro::new_ascii_text(size);
    if (!text) return tavro::FastAnswer::declined();
    char* const out = tavro::ascii_characters(text.get());
    {
        const auto bytes = static_cast<std::size_t>(plain.size);
        tavro::Unlocked work(plain.immutable && bytes >= unlocked_from);
        tavro::base64::encode(plain.data, bytes, out, true);
    }
    return tavro::FastAnswer::answered(std::move(text));
}

// Base64 text as str or bytes: plain (see tavro::base64::decode_plain), padded, or anything
// else 3.9's decoder reads (lines, stray characters), which the pinned decoder answers.
tavro::FastAnswer d1_fast(Context& context, PyObject* const* parameters) {
    PyObject *raw = parameters[0], *enc = parameters[1];
    FastText text;
    tavro::PlainEncoding encoding;
    if (!fast_text(raw, text) || !tavro::plain_encoding(enc, encoding) || !fast_path_reach.hold()) {
        return tavro::FastAnswer::declined();
    }
    if (text.none) return tavro::FastAnswer::answered(Ref::borrow(Py_None));
    const auto size = static_cast<std::size_t>(text.size);
    const std::size_t body = tavro::base64::before_padding(text.text, size);
    Py_ssize_t decoded_size = tavro::base64::decoded_size(body);
    Ref dd = Ref::steal(PyBytes_FromStringAndSize(nullptr, decoded_size));
    if (!dd) {
        PyErr_Clear();
        return tavro::FastAnswer::declined();
    }
    auto* decoded = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(dd.get()));
    bool plain_base64;
    {
        // An exact str or bytes never changes, and the call's own reference keeps it: its
        // bytes can be read with the lock let go.
        tavro::Unlocked work(size >= unlocked_from);
        plain_base64 = tavro::base64::decode_plain(text.text, body, decoded);
    }
    if (!plain_base64) {
        const auto* characters = reinterpret_cast<const unsigned char*>(text.text);
        if (!tavro::is_ascii(characters, size))
            return tavro::FastAnswer::answered(Ref::borrow(Py_None));
        if (!standard_urlsafe_b64decode.reach.hold()) return tavro::FastAnswer::declined();
        // The lenient decoder needs room for 3 bytes per 4 characters, whatever they are.
        decoded_size = (text.size + 3) / 4 * 3;
        dd = Ref::steal(PyBytes_FromStringAndSize(nullptr, decoded_size));
        if (!dd) {
            PyErr_Clear();
            return tavro::FastAnswer::declined();
        }
        decoded = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(dd.get()));
        // The body pads by the length of the whole text, characters the decoder skips included.
        const auto result =
            tavro::base64::decode_lenient(characters, size, decoded, (4 - size % 4) % 4);
        if (result.status != tavro::base64::Lenient::decoded) {
            return tavro::FastAnswer::answered(Ref::borrow(Py_None));
        }
        if (static_cast<Py_ssize_t>(result.size) != decoded_size) {
            decoded_size = static_cast<Py_ssize_t>(result.size);
            // The output is new and ours alone, as resizing in place requires.
            PyObject* resized = dd.release();
            if (_PyBytes_Resize(&resized, decoded_size) < 0) {
                PyErr_Clear();
                return tavro::FastAnswer::declined();
            }
            dd = Ref::steal(resized);
        }
    }
    if (!encoding.name) return tavro::FastAnswer::answered(std::move(dd));
    context.line = line_d1_decode;
    Ref decoded_text = Ref::steal(
        PyUnicode_Decode(PyBytes_AS_STRING(dd.get()), decoded_size, encoding.name, nullptr));
    return tavro::FastAnswer::answered(Ref::steal(
        tavro::result_or_handled(context, std::move(decoded_text), line_d1_except_memory_error,
                                 line_d1_except_exception, Py_None)));
}

}  // namespace tavro_crypt_3
