// tavro_crypt_4: the keyed byte cipher `_TavroCrypt4`.
//
// A token is the Base64 text (no padding) of the key header followed by every input byte
// enciphered as (byte * multiplier + offset + position key) mod 256, then the MD5 hex digest
// of that text. Decryption reads the key from the token's own header, so tokens made under
// any key table decrypt. Line numbers are those of the module's original source.
#include "frame/module.hpp"

#include <algorithm>

using frame::Context;
using frame::Ref;

namespace {

PyObject *s_hashlib, *s_random, *s_numpy, *s_np, *s_crypt_3_module, *s_TavroCrypt3,
    *s_TavroCrypt4, *s_f1_entry, *s_f2_entry, *s_e1, *s_d1, *s_md5, *s_hexdigest, *s_encode,
    *s_decode, *s_encoding, *s_rstrip, *s_range, *s_test, *s_x1, *s_x, *s_v, *s_y, *s_u, *s_a,
    *s_b, *s_q, *s_r, *s_s, *s_t, *s_raw, *s_ln, *s_r1, *s_tmp, *s_i, *s_k, *s_j, *s_encrypted,
    *s_enc, *s_c1, *s_c2, *s_lc, *s_m;
PyObject *s_equals, *s_utf_8;

const frame::StringConstant strings[] = {
    {&s_hashlib, "hashlib", true},
    {&s_random, "random", true},
    {&s_numpy, "numpy", true},
    {&s_np, "np", true},
    {&s_crypt_3_module, "tavro.libs.ciphers.tavro_crypt_3", true},
    {&s_TavroCrypt3, "_TavroCrypt3", true},
    {&s_TavroCrypt4, "_TavroCrypt4", true},
    {&s_f1_entry, "_TavroCrypt4__f1", true},
    {&s_f2_entry, "_TavroCrypt4__f2", true},
    {&s_e1, "e1", true},
    {&s_d1, "d1", true},
    {&s_md5, "md5", true},
    {&s_hexdigest, "hexdigest", true},
    {&s_encode, "encode", true},
    {&s_decode, "decode", true},
    {&s_encoding, "encoding", true},
    {&s_rstrip, "rstrip", true},
    {&s_range, "range", true},
    {&s_test, "__test__", true},
    {&s_x1, "x1", true},
    {&s_x, "x", true},
    {&s_v, "v", true},
    {&s_y, "y", true},
    {&s_u, "u", true},
    {&s_a, "a", true},
    {&s_b, "b", true},
    {&s_q, "q", true},
    {&s_r, "r", true},
    {&s_s, "s", true},
    {&s_t, "t", true},
    {&s_raw, "raw", true},
    {&s_ln, "ln", true},
    {&s_r1, "r1", true},
    {&s_tmp, "tmp", true},
    {&s_i, "i", true},
    {&s_k, "k", true},
    {&s_j, "j", true},
    {&s_encrypted, "encrypted", true},
    {&s_enc, "enc", true},
    {&s_c1, "c1", true},
    {&s_c2, "c2", true},
    {&s_lc, "lc", true},
    {&s_m, "m", true},
    {&s_equals, "=", false},
    {&s_utf_8, "utf-8", false},
};

// The key table: multiplier seed, offset byte, then the eight position keys. Tokens carry it
// in their header, so changing it changes new tokens but never breaks old ones.
constexpr long key_table[10] = {0x6B, 0x3D, 0xA7, 0x12, 0xC4, 0x5E, 0x89, 0xF3, 0x2B, 0x70};
constexpr int header_size = 10;
constexpr int position_keys = 8;
constexpr long fallback_multiplier = 167;  // when the seed would give 1, which enciphers nothing
constexpr int tag_size = 32;

PyObject *i_0, *i_1, *i_2, *i_256, *i_fallback_multiplier, *i_key[10];

const frame::IntConstant ints[] = {
    {&i_0, 0},
    {&i_1, 1},
    {&i_2, 2},
    {&i_256, 256},
    {&i_fallback_multiplier, fallback_multiplier},
    {&i_key[0], key_table[0]},
    {&i_key[1], key_table[1]},
    {&i_key[2], key_table[2]},
    {&i_key[3], key_table[3]},
    {&i_key[4], key_table[4]},
    {&i_key[5], key_table[5]},
    {&i_key[6], key_table[6]},
    {&i_key[7], key_table[7]},
    {&i_key[8], key_table[8]},
    {&i_key[9], key_table[9]},
};

PyObject* captured_range;

const frame::CapturedBuiltin builtins[] = {{&s_range, &captured_range}};

constexpr int line_import_hashlib = 4;
constexpr int line_import_random = 5;
constexpr int line_import_numpy = 6;
constexpr int line_import_crypt_3 = 7;
constexpr int line_class = 10;

// Python's `value % 256` for any int, as a C value in 0..255.
bool byte_of(PyObject* integer, long& byte) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(integer, &overflow);
    if (!overflow) {
        if (value == -1 && PyErr_Occurred()) return false;
        byte = value & 0xFF;
        return true;
    }
    Ref reduced = Ref::steal(PyNumber_Remainder(integer, i_256));
    if (!reduced) return false;
    byte = PyLong_AsLong(reduced.get());
    return true;
}

// __f1(x1): inverse of x1 modulo 256 by the extended Euclidean algorithm (for odd x1).
constexpr int line_f1 = 12;
constexpr int line_f1_reduce = 15;
constexpr int line_f1_loop = 16;
constexpr int line_f1_quotient = 17;
constexpr int line_f1_remainder = 18;
constexpr int line_f1_s = 19;
constexpr int line_f1_t = 20;
constexpr int line_f1_until_positive = 22;
constexpr int line_f1_add = 23;

long inverse_of_byte(long b) {
    long a = 256, x = 1, y = 0, u = 0, v = 1;
    while (b != 0) {
        long q = a / b;
        long r = a - b * q, s = x - u * q, t = y - v * q;
        a = b, b = r, x = u, y = v, u = s, v = t;
    }
    while (y < 0) y += 256;
    return y;
}

// int(value) for the result of a Python operator.
Ref truncate(Ref value) {
    if (!value) return {};
    return Ref::steal(PyNumber_Long(value.get()));
}

Ref times_minus(PyObject* left, PyObject* right, PyObject* factor) {
    // int(left - right * factor)
    Ref product = Ref::steal(PyNumber_Multiply(right, factor));
    if (!product) return {};
    return truncate(Ref::steal(PyNumber_Subtract(left, product.get())));
}

// The same steps on any number type, with Python's operators.
PyObject* f1_by_operators(Context& context, PyObject* x1) {
    context.line = line_f1_reduce;
    Ref a = Ref::borrow(i_256), b = Ref::steal(PyNumber_Remainder(x1, i_256));
    if (!b) return nullptr;
    Ref x = Ref::borrow(i_1), y = Ref::borrow(i_0), u = Ref::borrow(i_0), v = Ref::borrow(i_1);
    for (;;) {
        context.line = line_f1_loop;
        int more = PyObject_RichCompareBool(b.get(), i_0, Py_NE);
        if (more < 0) return nullptr;
        if (!more) break;
        context.line = line_f1_quotient;
        Ref q = truncate(Ref::steal(PyNumber_TrueDivide(a.get(), b.get())));
        if (!q) return nullptr;
        context.line = line_f1_remainder;
        Ref r = times_minus(a.get(), b.get(), q.get());
        if (!r) return nullptr;
        context.line = line_f1_s;
        Ref s = times_minus(x.get(), u.get(), q.get());
        if (!s) return nullptr;
        context.line = line_f1_t;
        Ref t = times_minus(y.get(), v.get(), q.get());
        if (!t) return nullptr;
        a = std::move(b), b = std::move(r), x = std::move(u), y = std::move(v);
        u = std::move(s), v = std::move(t);
    }
    for (;;) {
        context.line = line_f1_until_positive;
        int negative = PyObject_RichCompareBool(y.get(), i_0, Py_LT);
        if (negative < 0) return nullptr;
        if (!negative) break;
        context.line = line_f1_add;
        y = Ref::steal(PyNumber_InPlaceAdd(y.get(), i_256));
        if (!y) return nullptr;
    }
    return y.release();
}

PyObject* f1(Context& context, PyObject* const* parameters) {
    PyObject* x1 = parameters[0];
    if (!PyLong_CheckExact(x1)) return f1_by_operators(context, x1);
    context.line = line_f1_reduce;
    long b;
    if (!byte_of(x1, b)) return nullptr;
    return PyLong_FromLong(inverse_of_byte(b));
}

// __f2(): a new list holding the key table.
constexpr int line_f2 = 27;
constexpr int line_f2_return = 28;

PyObject* f2(Context& context, PyObject* const*) {
    context.line = line_f2_return;
    PyObject* table = PyList_New(header_size);
    if (!table) return nullptr;
    for (int index = 0; index < header_size; ++index) {
        Py_INCREF(i_key[index]);
        PyList_SET_ITEM(table, index, i_key[index]);
    }
    return table;
}

long multiplier_of(long seed) {
    long multiplier = seed % 2 == 0 ? seed + 1 : seed;
    return multiplier == 1 ? fallback_multiplier : multiplier;
}

// Hex MD5 digest of the UTF-8 form of `text`, through the module global `hashlib`.
Ref md5_hex(Context& context, PyObject* text) {
    Ref data = PyUnicode_CheckExact(text) ? Ref::steal(PyUnicode_AsUTF8String(text))
                                          : frame::call_method(text, s_encode, {s_utf_8});
    if (!data) return {};
    Ref hashlib = frame::global(context, s_hashlib);
    if (!hashlib) return {};
    Ref digest = frame::call_method(hashlib.get(), s_md5, {data.get()});
    if (!digest) return {};
    return frame::call_method(digest.get(), s_hexdigest, {});
}

// e1(raw): the token of a text or of a sequence of byte values.
constexpr int line_e1 = 31;
constexpr int line_e1_encode = 33;
constexpr int line_e1_length = 34;
constexpr int line_e1_payload = 35;
constexpr int line_e1_key_table = 36;
constexpr int line_e1_header_loop = 37;
constexpr int line_e1_header_append = 38;
constexpr int line_e1_seed = 39;
constexpr int line_e1_offset = 40;
constexpr int line_e1_encipher = 45;
constexpr int line_e1_append = 46;
constexpr int line_e1_body = 47;
constexpr int line_e1_tag = 48;

struct EncipherKey {
    long multiplier;
    long offset;
};

// Reads payload[index], as Python's bytearray indexing does.
bool payload_byte(PyObject* payload, Py_ssize_t size, Py_ssize_t index, long& byte) {
    if (index >= size) {
        PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        return false;
    }
    byte = static_cast<unsigned char>(PyByteArray_AS_STRING(payload)[index]);
    return true;
}

long encipher(long plain_byte, EncipherKey key, long position_key) {
    return (plain_byte * key.multiplier + key.offset + position_key) & 0xFF;
}

// The position keys come from the payload itself, which for a full key table is its header.
bool encipher_buffer(Context& context, PyObject* payload, const unsigned char* plain,
                     Py_ssize_t length, EncipherKey key) {
    const Py_ssize_t start = PyByteArray_GET_SIZE(payload);
    if (PyByteArray_Resize(payload, start + length) < 0) return false;
    for (Py_ssize_t j = 0; j < length; ++j) {
        context.line = line_e1_encipher;
        long position_key;
        if (!payload_byte(payload, start + j, 2 + j % position_keys, position_key)) {
            return false;
        }
        PyByteArray_AS_STRING(payload)[start + j] =
            static_cast<char>(encipher(plain[j], key, position_key));
    }
    return true;
}

// The first `length` items of a bytearray, which raises at the first index past its end as
// `raw[j]` would.
bool encipher_bytearray(Context& context, PyObject* payload, PyObject* input, Py_ssize_t length,
                        EncipherKey key) {
    const Py_ssize_t available = std::min(length, PyByteArray_GET_SIZE(input));
    auto* plain = reinterpret_cast<const unsigned char*>(PyByteArray_AS_STRING(input));
    if (!encipher_buffer(context, payload, plain, available, key)) return false;
    if (available == length) return true;
    context.line = line_e1_encipher;
    PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
    return false;
}

bool encipher_items(Context& context, PyObject* payload, PyObject* raw, Py_ssize_t length,
                    EncipherKey key) {
    for (Py_ssize_t j = 0; j < length; ++j) {
        context.line = line_e1_encipher;
        Ref item = frame::item(raw, j);
        if (!item) return false;
        Ref plain = Ref::steal(PyNumber_Long(item.get()));
        long plain_byte, position_key;
        if (!plain || !byte_of(plain.get(), plain_byte) ||
            !payload_byte(payload, PyByteArray_GET_SIZE(payload), 2 + j % position_keys,
                          position_key)) {
            return false;
        }
        context.line = line_e1_append;
        char enciphered = static_cast<char>(encipher(plain_byte, key, position_key));
        Py_ssize_t size = PyByteArray_GET_SIZE(payload);
        if (PyByteArray_Resize(payload, size + 1) < 0) return false;
        PyByteArray_AS_STRING(payload)[size] = enciphered;
    }
    return true;
}

bool append_key_header(Context& context, PyObject* payload) {
    context.line = line_e1_key_table;
    Ref cipher = frame::global(context, s_TavroCrypt4);
    if (!cipher) return false;
    Ref table = frame::call_method(cipher.get(), s_f2_entry, {});
    if (!table) return false;
    context.line = line_e1_header_loop;
    Py_ssize_t entries = PyObject_Size(table.get());
    if (entries < 0) return false;
    for (Py_ssize_t index = 0; index < entries; ++index) {
        context.line = line_e1_header_append;
        Ref entry = frame::item(table.get(), index);
        if (!entry || !frame::append_byte(context, payload, entry.get())) return false;
    }
    return true;
}

PyObject* e1(Context& context, PyObject* const* parameters) {
    Ref raw = Ref::borrow(parameters[0]);
    if (PyUnicode_Check(raw.get())) {
        context.line = line_e1_encode;
        raw = PyUnicode_CheckExact(raw.get()) ? Ref::steal(PyUnicode_AsUTF8String(raw.get()))
                                              : frame::call_method(raw.get(), s_encode, {s_utf_8});
        if (!raw) return nullptr;
    }
    context.line = line_e1_length;
    Py_ssize_t length = PyObject_Size(raw.get());
    if (length < 0) return nullptr;
    context.line = line_e1_payload;
    Ref payload = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!payload || !append_key_header(context, payload.get())) return nullptr;

    EncipherKey key;
    const Py_ssize_t header = PyByteArray_GET_SIZE(payload.get());
    context.line = line_e1_seed;
    if (!payload_byte(payload.get(), header, 0, key.multiplier)) return nullptr;
    context.line = line_e1_offset;
    if (!payload_byte(payload.get(), header, 1, key.offset)) return nullptr;
    key.multiplier = multiplier_of(key.multiplier);

    // bytes and bytearray are read in place: their items are their bytes, and nothing that
    // runs during the loop can change them. A bytearray may have shrunk since its length was
    // taken (__f2 can run any code), so its pointer and size are read only now.
    PyObject* input = raw.get();
    bool enciphered;
    if (PyBytes_CheckExact(input)) {
        auto* plain = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(input));
        enciphered = encipher_buffer(context, payload.get(), plain, length, key);
    } else if (PyByteArray_CheckExact(input)) {
        enciphered = encipher_bytearray(context, payload.get(), input, length, key);
    } else {
        enciphered = encipher_items(context, payload.get(), input, length, key);
    }
    if (!enciphered) return nullptr;

    context.line = line_e1_body;
    Ref codec = frame::global(context, s_TavroCrypt3);
    if (!codec) return nullptr;
    Ref padded = frame::call_method(codec.get(), s_e1, {payload.get()});
    if (!padded) return nullptr;
    Ref body = frame::call_method(padded.get(), s_rstrip, {s_equals});
    if (!body) return nullptr;
    context.line = line_e1_tag;
    Ref tag = md5_hex(context, body.get());
    if (!tag) return nullptr;
    return PyNumber_Add(body.get(), tag.get());
}

// d1(encrypted, enc=None): the bytes (or text) of a token, or None when its tag differs.
constexpr int line_d1 = 51;
constexpr int line_d1_body = 52;
constexpr int line_d1_tag = 53;
constexpr int line_d1_digest = 54;
constexpr int line_d1_compare = 55;
constexpr int line_d1_payload = 57;
constexpr int line_d1_length = 58;
constexpr int line_d1_seed = 59;
constexpr int line_d1_even = 60;
constexpr int line_d1_make_odd = 61;
constexpr int line_d1_is_one = 62;
constexpr int line_d1_inverse = 64;
constexpr int line_d1_offset = 65;
constexpr int line_d1_output = 66;
constexpr int line_d1_decipher = 68;
constexpr int line_d1_append = 69;
constexpr int line_d1_if_enc = 70;
constexpr int line_d1_decode = 71;

// encrypted[start:stop], with the message Python 2 gave for objects that cannot be sliced.
Ref slice(PyObject* sequence, PyObject* start, PyObject* stop) {
    PyMappingMethods* mapping = Py_TYPE(sequence)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable",
                     Py_TYPE(sequence)->tp_name);
        return {};
    }
    Ref bounds = Ref::steal(PySlice_New(start, stop, nullptr));
    if (!bounds) return {};
    return Ref::steal(mapping->mp_subscript(sequence, bounds.get()));
}

// The multiplier from header byte 0, with Python's operators: the payload may be anything
// that _TavroCrypt3.d1 was rebound to return.
Ref multiplier_from_seed(Context& context, Ref seed) {
    context.line = line_d1_even;
    Ref parity = Ref::steal(PyNumber_Remainder(seed.get(), i_2));
    if (!parity) return {};
    int even = PyObject_RichCompareBool(parity.get(), i_0, Py_EQ);
    if (even < 0) return {};
    if (even) {
        context.line = line_d1_make_odd;
        seed = Ref::steal(PyNumber_InPlaceAdd(seed.get(), i_1));
        if (!seed) return {};
    }
    context.line = line_d1_is_one;
    int one = PyObject_RichCompareBool(seed.get(), i_1, Py_EQ);
    if (one < 0) return {};
    return one ? Ref::borrow(i_fallback_multiplier) : std::move(seed);
}

struct DecipherKey {
    PyObject* inverse;
    PyObject* offset;
};

long decipher(long enciphered, long position_key, long offset, long inverse) {
    return ((enciphered - position_key - offset) * inverse) & 0xFF;
}

bool decipher_bytes(Context& context, PyObject* output, PyObject* payload, DecipherKey key) {
    long inverse, offset;
    context.line = line_d1_decipher;
    if (!byte_of(key.inverse, inverse) || !byte_of(key.offset, offset)) return false;
    auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(payload));
    const Py_ssize_t size = PyBytes_GET_SIZE(payload);
    if (size <= header_size) return true;
    if (PyByteArray_Resize(output, size - header_size) < 0) return false;
    char* plain = PyByteArray_AS_STRING(output);
    for (Py_ssize_t j = header_size; j < size; ++j) {
        long position_key = bytes[2 + (j - header_size) % position_keys];
        plain[j - header_size] = static_cast<char>(decipher(bytes[j], position_key, offset, inverse));
    }
    return true;
}

// ((payload[j] - position key - offset) * inverse) % 256 with Python's operators.
Ref decipher_item(PyObject* payload, Py_ssize_t j, DecipherKey key) {
    Ref enciphered = frame::item(payload, j);
    if (!enciphered) return {};
    Ref position_key = frame::item(payload, 2 + (j - header_size) % position_keys);
    if (!position_key) return {};
    Ref value = Ref::steal(PyNumber_Subtract(enciphered.get(), position_key.get()));
    if (value) value = Ref::steal(PyNumber_Subtract(value.get(), key.offset));
    if (value) value = Ref::steal(PyNumber_Multiply(value.get(), key.inverse));
    if (value) value = Ref::steal(PyNumber_Remainder(value.get(), i_256));
    return value;
}

bool decipher_items(Context& context, PyObject* output, PyObject* payload, Py_ssize_t length,
                    DecipherKey key) {
    for (Py_ssize_t j = header_size; j < length; ++j) {
        context.line = line_d1_decipher;
        Ref plain = decipher_item(payload, j, key);
        if (!plain) return false;
        context.line = line_d1_append;
        if (!frame::append_byte(context, output, plain.get())) return false;
    }
    return true;
}

PyObject* d1(Context& context, PyObject* const* parameters) {
    PyObject* encrypted = parameters[0];
    PyObject* enc = parameters[1];
    context.line = line_d1_body;
    Py_ssize_t length = PyObject_Size(encrypted);
    if (length < 0) return nullptr;
    Ref split = Ref::steal(PyLong_FromSsize_t(length - tag_size));
    if (!split) return nullptr;
    Ref body = slice(encrypted, i_0, split.get());
    if (!body) return nullptr;
    context.line = line_d1_tag;
    Ref tag = slice(encrypted, split.get(), Py_None);
    if (!tag) return nullptr;
    context.line = line_d1_digest;
    Ref digest = md5_hex(context, body.get());
    if (!digest) return nullptr;
    context.line = line_d1_compare;
    int differs = PyObject_RichCompareBool(digest.get(), tag.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) Py_RETURN_NONE;

    context.line = line_d1_payload;
    Ref codec = frame::global(context, s_TavroCrypt3);
    if (!codec) return nullptr;
    Ref payload = frame::call_method(codec.get(), s_d1, {body.get()});
    if (!payload) return nullptr;
    context.line = line_d1_length;
    Py_ssize_t payload_length = PyObject_Size(payload.get());
    if (payload_length < 0) return nullptr;
    context.line = line_d1_seed;
    Ref seed = frame::item(payload.get(), 0);
    if (!seed) return nullptr;
    Ref multiplier = multiplier_from_seed(context, std::move(seed));
    if (!multiplier) return nullptr;
    context.line = line_d1_inverse;
    Ref cipher = frame::global(context, s_TavroCrypt4);
    if (!cipher) return nullptr;
    Ref inverse = frame::call_method(cipher.get(), s_f1_entry, {multiplier.get()});
    if (!inverse) return nullptr;
    context.line = line_d1_offset;
    Ref offset = frame::item(payload.get(), 1);
    if (!offset) return nullptr;
    context.line = line_d1_output;
    Ref output = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!output) return nullptr;

    DecipherKey key{inverse.get(), offset.get()};
    bool plain_bytes = PyBytes_CheckExact(payload.get()) && PyLong_CheckExact(inverse.get()) &&
                       PyLong_CheckExact(offset.get());
    bool deciphered =
        plain_bytes ? decipher_bytes(context, output.get(), payload.get(), key)
                    : decipher_items(context, output.get(), payload.get(), payload_length, key);
    if (!deciphered) return nullptr;

    context.line = line_d1_if_enc;
    int wants_text = frame::truth(enc);
    if (wants_text < 0) return nullptr;
    if (!wants_text) return output.release();
    context.line = line_d1_decode;
    return frame::call_method_with_keyword(context, output.get(), s_decode, s_encoding, enc)
        .release();
}

frame::Method methods[] = {
    {"__f1", "_TavroCrypt4.__f1", &s_f1_entry, 1, 1,
     {&s_x1, &s_x, &s_v, &s_y, &s_u, &s_a, &s_b, &s_q, &s_r, &s_s, &s_t}, line_f1, f1},
    {"__f2", "_TavroCrypt4.__f2", &s_f2_entry, 0, 0, {}, line_f2, f2},
    {"e1", "_TavroCrypt4.e1", &s_e1, 1, 1, {&s_raw, &s_ln, &s_r1, &s_tmp, &s_i, &s_k, &s_j},
     line_e1, e1},
    {"d1", "_TavroCrypt4.d1", &s_d1, 2, 1,
     {&s_encrypted, &s_enc, &s_raw, &s_c1, &s_c2, &s_ln, &s_i, &s_lc, &s_m, &s_r1, &s_j,
      &s_tmp},
     line_d1, d1},
};

constexpr int line_test = 75;

int run_module_body(Context& context) {
    context.line = line_import_hashlib;
    if (!frame::import_module(context, s_hashlib, s_hashlib)) return -1;
    context.line = line_import_random;
    if (!frame::import_module(context, s_random, s_random)) return -1;
    context.line = line_import_numpy;
    if (!frame::import_module(context, s_numpy, s_np)) return -1;
    context.line = line_import_crypt_3;
    if (!frame::import_from(context, s_crypt_3_module, s_TavroCrypt3)) return -1;
    if (!frame::build_class(context, s_TavroCrypt4, line_class, methods)) return -1;
    context.line = line_test;
    return frame::bind_new_dict(context, s_test) ? 0 : -1;
}

}  // namespace

// An embedding host sets this before the import to run the module as __main__.
extern "C" {
Py_EXPORTED_SYMBOL int tavro_crypt_4_run_as_main = 0;
}

namespace {

frame::Library library({
    .name = "tavro_crypt_4",
    .full_name = "tavro.libs.ciphers.tavro_crypt_4",
    .source_path = "tavro/libs/ciphers/tavro_crypt_4.py",
    .run_as_main = &tavro_crypt_4_run_as_main,
    .strings = strings,
    .ints = ints,
    .methods = methods,
    .builtins = builtins,
    .run_body = run_module_body,
});

}  // namespace

PyMODINIT_FUNC PyInit_tavro_crypt_4() { return frame::module_definition(library); }
