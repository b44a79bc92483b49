// _TavroCrypt4's fast paths: e1 and d1 computed natively, while everything their bodies
// reach is as it was at load (fast_path_reach), for exact bytes, bytearray and str.
#include "lines.hpp"

#include "frame/fast_input.hpp"
#include "frame/unlocked.hpp"
#include "native/utf8.hpp"

#include <algorithm>
#include <cstring>

namespace tavro_crypt_4 {
namespace {

// The text of a token whose plain bytes are UTF-8 but not all ASCII. They are read once in
// `scratch` to learn the text's length and widest character; the scratch goes, and the body
// is deciphered a second time straight into the text, so the two are never held together.
// Empty, with no exception set, when the bytes are not UTF-8: the codec then says why. With
// `unlocked`, the lock is let go while the bytes are read.
Ref utf8_text(const char* body, std::size_t body_size, Ref& scratch, const unsigned char* plain,
              std::size_t plain_size, bool unlocked) {
    Py_ssize_t length = 0;
    std::uint32_t widest = 0;
    bool valid;
    {
        tavro::Unlocked work(unlocked);
        tavro::Utf8Decoder measure;
        valid = measure.feed(plain, plain_size, [&](std::uint32_t code) {
            ++length;
            widest = std::max(widest, code);
        });
        valid = valid && measure.complete();
    }
    if (!valid) return {};
    scratch = Ref();
    Ref text = Ref::steal(PyUnicode_New(length, static_cast<Py_UCS4>(widest)));
    if (!text) return {};
    const int kind = PyUnicode_KIND(text.get());
    void* const data = PyUnicode_DATA(text.get());
    Py_ssize_t written = 0;
    tavro::Utf8Decoder decoder;
    tavro::Unlocked work(unlocked);
    token::decipher_body(body, body_size, [&](const unsigned char* bytes, std::size_t size) {
        decoder.feed(bytes, size,
                     [&](std::uint32_t code) { PyUnicode_WRITE(kind, data, written++, code); });
    });
    return text;
}

}  // namespace

tavro::FastAnswer e1_fast(Context&, PyObject* const* parameters) {
    tavro::PlainBytes plain;
    if (!fast_path_reach.hold() || !tavro::plain_bytes(parameters[0], plain)) {
        return tavro::FastAnswer::declined();
    }
    const auto plain_size = static_cast<std::size_t>(plain.size);
    const auto size = static_cast<Py_ssize_t>(token::token_size(plain_size));
    Ref text = tavro::new_ascii_text(size);
    if (!text) return tavro::FastAnswer::declined();
    char* const out = tavro::ascii_characters(text.get());
    {
        tavro::Unlocked work(plain.immutable && plain_size >= unlocked_from);
        token::seal(plain.data, plain_size, out);
    }
    return tavro::FastAnswer::answered(std::move(text));
}

// A token of ASCII text whose body is plain Base64 and whose payload holds at least its first
// two header bytes.
tavro::FastAnswer d1_fast(Context& context, PyObject* const* parameters) {
    PyObject *encrypted = parameters[0], *enc = parameters[1];
    using tavro::FastAnswer;
    if (!PyUnicode_CheckExact(encrypted) || !PyUnicode_IS_ASCII(encrypted)) {
        return FastAnswer::declined();
    }
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(encrypted));
    tavro::PlainEncoding encoding;
    if (length < token::tag_size || !tavro::plain_encoding(enc, encoding) ||
        !fast_path_reach.hold()) {
        return FastAnswer::declined();
    }
    // The token is an exact str, which never changes, and the call's own reference keeps it:
    // its bytes can be read with the lock let go.
    const char* token_text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(encrypted));
    const std::size_t body_size = length - token::tag_size;
    const std::size_t payload_size = tavro::base64::decoded_size(body_size);
    if (payload_size < 2) return FastAnswer::declined();

    // Text that an ASCII-keeping codec would decode is deciphered straight into the str it
    // becomes, when it turns out to be ASCII: no bytearray is made beside it. The str is
    // nobody else's until then, so other bytes may pass through it on their way to a codec.
    const std::size_t plain_size =
        payload_size > token::header_size ? payload_size - token::header_size : 0;
    const auto plain_length = static_cast<Py_ssize_t>(plain_size);
    if (encoding.name) tavro::recognise_codec(encoding);
    const bool into_text = encoding.keeps_ascii;
    // The bytearray is made empty and then grown: made at its size, one that cannot get its
    // bytes is freed half made, and CPython up to 3.13 then reports a SystemError of its own
    // through sys.excepthook before the MemoryError.
    Ref output = Ref::steal(into_text ? PyUnicode_New(plain_length, tavro::ascii_max)
                                      : PyByteArray_FromStringAndSize(nullptr, 0));
    if (output && !into_text && PyByteArray_Resize(output.get(), plain_length) < 0) output = Ref();
    if (!output) {
        PyErr_Clear();
        return FastAnswer::declined();
    }
    auto* plain = into_text ? PyUnicode_1BYTE_DATA(output.get())
                            : reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(output.get()));
    std::size_t filled = 0;
    auto copy = [&](const unsigned char* bytes, std::size_t size) {
        std::memcpy(plain + filled, bytes, size);
        filled += size;
    };
    // The tag is checked in the same pass that deciphers, so the body is read once; the
    // output of a token with a wrong tag is dropped.
    const bool unlocked = length >= unlocked_from;
    token::Read read;
    bool ascii = false;
    {
        tavro::Unlocked work(unlocked);
        read = token::read_token(token_text, length, copy);
        ascii = read == token::Read::opened && into_text && tavro::is_ascii(plain, plain_size);
    }
    if (read == token::Read::wrong_tag) return FastAnswer::answered(Ref::borrow(Py_None));
    if (read == token::Read::not_plain) return FastAnswer::declined();
    if (!encoding.name || ascii) return FastAnswer::answered(std::move(output));
    context.line = line_d1_decode;
    if (encoding.utf_8) {
        Ref text = utf8_text(token_text, body_size, output, plain, plain_size, unlocked);
        if (text || PyErr_Occurred()) return FastAnswer::answered(std::move(text));
    }
    return FastAnswer::answered(Ref::steal(PyUnicode_Decode(reinterpret_cast<const char*>(plain),
                                                            plain_length, encoding.name, nullptr)));
}

}  // namespace tavro_crypt_4
