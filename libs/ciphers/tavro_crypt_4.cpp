// tavro_crypt_4: the keyed byte cipher `_TavroCrypt4`.
//
// A token is the Base64 text (no padding) of the key header followed by every input byte
// enciphered as (byte * multiplier + offset + position key) mod 256, then the MD5 hex digest
// of that text. Decryption reads the key from the token's own header, so tokens made under
// any key table decrypt. Line numbers are those of the plain-Python rendering beside this
// file, tavro_crypt_4.py, which tests hold the code to.
#include "frame/calls.hpp"
#include "frame/function.hpp"
#include "frame/loading.hpp"
#include "frame/originals.hpp"
#include "frame/statements.hpp"
#include "native/base64.hpp"
#include "native/md5.hpp"
#include "pinned.hpp"
#include "native/utf8.hpp"

#include <algorithm>
#include <array>
#include <cstring>

using tavro::Context;
using tavro::Ref;

namespace {

#define IDENTIFIERS(X)                                                                     \
    X(s_hashlib, "hashlib") X(s_random, "random") X(s_numpy, "numpy") X(s_np, "np")         \
    X(s_crypt_3_module, "tavro.libs.ciphers.tavro_crypt_3") X(s_TavroCrypt3, "_TavroCrypt3") \
    X(s_TavroCrypt4, "_TavroCrypt4") X(s_f1_entry, "_TavroCrypt4__f1")                      \
    X(s_f2_entry, "_TavroCrypt4__f2") X(s_e1, "e1") X(s_d1, "d1") X(s_md5, "md5")           \
    X(s_hexdigest, "hexdigest") X(s_encode, "encode") X(s_decode, "decode")                 \
    X(s_encoding, "encoding") X(s_rstrip, "rstrip") X(s_range, "range") X(s_test, "__test__") \
    X(s_x1, "x1") X(s_x, "x") X(s_v, "v") X(s_y, "y") X(s_u, "u") X(s_a, "a") X(s_b, "b")  \
    X(s_q, "q") X(s_r, "r") X(s_s, "s") X(s_t, "t") X(s_raw, "raw") X(s_ln, "ln")           \
    X(s_r1, "r1") X(s_tmp, "tmp") X(s_i, "i") X(s_k, "k") X(s_j, "j")                       \
    X(s_encrypted, "encrypted") X(s_enc, "enc") X(s_c1, "c1") X(s_c2, "c2") X(s_lc, "lc")   \
    X(s_m, "m") X(s_dunder_name, "__name__") X(s_dunder_func, "__func__") X(s_str, "str")   \
    X(s_int, "int") X(s_bytearray, "bytearray")
#define LITERALS(X) X(s_equals, "=") X(s_utf_8, "utf-8")

IDENTIFIERS(TAVRO_DECLARE)
LITERALS(TAVRO_DECLARE)

const tavro::StringConstant strings[] = {IDENTIFIERS(TAVRO_IDENTIFIER_ROW)
                                             LITERALS(TAVRO_LITERAL_ROW)};

// The key table: multiplier seed, offset byte, then the eight position keys. Tokens carry it
// in their header, so changing it changes new tokens but never breaks old ones.
constexpr int header_size = 10;
constexpr long key_table[header_size] = {0x6B, 0x3D, 0xA7, 0x12, 0xC4,
                                         0x5E, 0x89, 0xF3, 0x2B, 0x70};
constexpr int position_keys = 8;
constexpr long fallback_multiplier = 167;  // when the seed would give 1, which enciphers nothing
constexpr int tag_size = 32;

#define INTEGERS(X)                                                                   \
    X(i_0, 0) X(i_1, 1) X(i_2, 2) X(i_8, position_keys) X(i_10, header_size)              \
    X(i_32, tag_size) X(i_256, 256) X(i_fallback_multiplier, fallback_multiplier)

INTEGERS(TAVRO_DECLARE)
PyObject* i_key[header_size];

constexpr auto ints = [] {
    constexpr int named = 0 INTEGERS(TAVRO_COUNT);
    std::array<tavro::IntConstant, named + header_size> rows{{INTEGERS(TAVRO_INT_ROW)}};
    for (int index = 0; index < header_size; ++index) {
        rows[named + index] = {&i_key[index], key_table[index]};
    }
    return rows;
}();

// The fast paths give what the bodies would, without their calls, while the classes, their
// helpers, `hashlib.md5` and the codec's own originals are as they were at load.
tavro::Originals originals;

// hashlib's own md5, which the general paths answer for as 3.9 does.
tavro::pinned::Function standard_md5;

PyObject* captured_range;

const tavro::CapturedBuiltin builtins[] = {{&s_range, &captured_range}};

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

constexpr long inverse_of_byte(long b) {
    long a = 256, x = 1, y = 0, u = 0, v = 1;
    while (b != 0) {
        long q = a / b;
        long r = a - b * q, s = x - u * q, t = y - v * q;
        a = b, b = r, x = u, y = v, u = s, v = t;
    }
    while (y < 0) y += 256;
    return y;
}

// int(value()) for the result of Python operators; the call's own `int`, if it has one, is
// looked up before they run.
template <class Value>
Ref truncate(Context& context, Value&& value) {
    if (!context.builtins) {
        Ref computed = Ref::steal(value());
        return computed ? Ref::steal(PyNumber_Long(computed.get())) : Ref();
    }
    Ref to_int = tavro::global(context, s_int);
    Ref computed = to_int ? Ref::steal(value()) : Ref();
    return computed ? tavro::call(to_int.get(), {computed.get()}) : Ref();
}

Ref times_minus(Context& context, PyObject* left, PyObject* right, PyObject* factor) {
    // int(left - right * factor)
    return truncate(context, [&]() -> PyObject* {
        Ref product = Ref::steal(PyNumber_Multiply(right, factor));
        return product ? PyNumber_Subtract(left, product.get()) : nullptr;
    });
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
        Ref q = truncate(context, [&] { return PyNumber_TrueDivide(a.get(), b.get()); });
        if (!q) return nullptr;
        context.line = line_f1_remainder;
        Ref r = times_minus(context, a.get(), b.get(), q.get());
        if (!r) return nullptr;
        context.line = line_f1_s;
        Ref s = times_minus(context, x.get(), u.get(), q.get());
        if (!s) return nullptr;
        context.line = line_f1_t;
        Ref t = times_minus(context, y.get(), v.get(), q.get());
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
    if (!PyLong_CheckExact(x1) || context.builtins) return f1_by_operators(context, x1);
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

constexpr long multiplier_of(long seed) {
    long multiplier = seed % 2 == 0 ? seed + 1 : seed;
    return multiplier == 1 ? fallback_multiplier : multiplier;
}

// The inverse of the multiplier of every seed byte a token header can carry, so that reading
// a token costs no division.
constexpr auto inverse_of_seed = [] {
    std::array<unsigned char, 256> inverses{};
    for (int seed = 0; seed < 256; ++seed) {
        inverses[seed] = static_cast<unsigned char>(inverse_of_byte(multiplier_of(seed)));
    }
    return inverses;
}();

// Hex MD5 digest of the UTF-8 form of `text`, through the module global `hashlib`, which is
// looked up before its argument is made, as the body reads.
Ref md5_hex(Context& context, PyObject* text) {
    Ref hashlib = tavro::global(context, s_hashlib);
    if (!hashlib) return {};
    Ref md5 = tavro::attribute(hashlib.get(), s_md5);
    if (!md5) return {};
    Ref data = tavro::encode_utf8(text, s_encode, s_utf_8);
    if (!data) return {};
    if (standard_md5.answers(md5.get())) return tavro::pinned::md5_hexdigest(data.get());
    Ref digest = tavro::call(md5.get(), {data.get()});
    if (!digest) return {};
    return tavro::call_method(digest.get(), s_hexdigest, {});
}

// e1(raw): the token of a text or of a sequence of byte values.
constexpr int line_e1 = 31;
constexpr int line_e1_isinstance = 32;
constexpr int line_e1_encode = 33;
constexpr int line_e1_length = 34;
constexpr int line_e1_payload = 35;
constexpr int line_e1_key_table = 36;
constexpr int line_e1_header_loop = 37;
constexpr int line_e1_header_append = 38;
constexpr int line_e1_seed = 39;
constexpr int line_e1_offset = 40;
constexpr int line_e1_make_odd = 41;
constexpr int line_e1_is_one = 42;
constexpr int line_e1_loop = 44;
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
    context.line = line_e1_append;  // growing the payload is what the appends do
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
        Ref item = tavro::item(raw, j);
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
    Ref table = tavro::call_global_method(context, s_TavroCrypt4, s_f2_entry, {});
    if (!table) return false;
    context.line = line_e1_header_loop;
    Py_ssize_t entries = PyObject_Size(table.get());
    if (entries < 0) return false;
    for (Py_ssize_t index = 0; index < entries; ++index) {
        context.line = line_e1_header_append;
        Ref entry = tavro::item(table.get(), index);
        if (!entry || !tavro::append_byte(context, payload, entry.get())) return false;
    }
    return true;
}

// Enciphered payload bytes go through a block this size on their way into the token, so a
// token of any size is written in one pass with no copy of the payload. A multiple of 3, so
// the Base64 of the blocks joins up.
constexpr std::size_t block_size = 3 * 1024;

// What the fast path adds to each multiplied byte, by position: the offset and the position
// key of the key table, reduced once.
constexpr auto key_addends = [] {
    std::array<unsigned char, position_keys> addends{};
    for (int position = 0; position < position_keys; ++position) {
        addends[position] = static_cast<unsigned char>(key_table[1] + key_table[2 + position]);
    }
    return addends;
}();

PyObject* encrypt_fast(PyObject* raw) {
    tavro::PlainBytes plain;
    if (!originals.hold() || !tavro::plain_bytes(raw, plain)) return nullptr;
    const std::size_t plain_size = static_cast<std::size_t>(plain.size);
    const std::size_t body_size = tavro::base64::encoded_size(header_size + plain_size, false);
    PyObject* token = PyUnicode_New(static_cast<Py_ssize_t>(body_size + tag_size), 127);
    if (!token) {
        PyErr_Clear();
        return nullptr;
    }
    char* const body = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(token));
    constexpr unsigned multiplier = static_cast<unsigned>(multiplier_of(key_table[0]));
    unsigned char block[block_size];
    std::copy(std::begin(key_table), std::end(key_table), block);
    std::size_t filled = header_size;
    char* out = body;
    for (std::size_t j = 0; j < plain_size;) {
        const std::size_t count = std::min(block_size - filled, plain_size - j);
        for (const std::size_t end = j + count; j < end; ++j) {
            block[filled++] =
                static_cast<unsigned char>(plain.data[j] * multiplier + key_addends[j % position_keys]);
        }
        if (filled == block_size) {
            out = tavro::base64::encode(block, filled, out, false);
            filled = 0;
        }
    }
    out = tavro::base64::encode(block, filled, out, false);
    tavro::Md5 digest;
    digest.update(reinterpret_cast<const unsigned char*>(body), body_size);
    digest.hex_digest(out);
    return token;
}

// The token of a payload: its Base64 text without padding, then the MD5 digest of that.
PyObject* seal(Context& context, PyObject* payload) {
    context.line = line_e1_body;
    Ref padded = tavro::call_global_method(context, s_TavroCrypt3, s_e1, {payload});
    if (!padded) return nullptr;
    Ref body = tavro::call_method(padded.get(), s_rstrip, {s_equals});
    if (!body) return nullptr;
    context.line = line_e1_tag;
    Ref tag = md5_hex(context, body.get());
    if (!tag) return nullptr;
    return PyNumber_Add(body.get(), tag.get());
}

// `for item in iterable: take(item)` with the `for` statement on `line`.
template <class Take>
bool for_each(Context& context, int line, Ref iterable, Take&& take) {
    Ref iterator = iterable ? Ref::steal(PyObject_GetIter(iterable.get())) : Ref();
    if (!iterator) return false;
    for (;;) {
        context.line = line;
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item) return !PyErr_Occurred();
        if (!take(item.get())) return false;
    }
}

// `sequence.append(value())`: the method is looked up before the value is made.
template <class Value>
bool append(Context& context, PyObject* sequence, Value&& value) {
    Ref method = tavro::attribute(sequence, context.library.names.append);
    Ref made = method ? Ref::steal(value()) : Ref();
    return made && tavro::call(method.get(), {made.get()});
}

// e1 as the class body writes it, for a call whose builtins are not the module's own (see
// tavro::Context): each name is looked up, and each builtin called, where the body does.
PyObject* e1_as_written(Context& context, PyObject* argument) {
    Ref raw = Ref::borrow(argument);
    context.line = line_e1_isinstance;
    int text = tavro::is_instance(context, raw.get(), s_str, &PyUnicode_Type);
    if (text < 0) return nullptr;
    if (text) {
        context.line = line_e1_encode;
        raw = tavro::call_method(raw.get(), s_encode, {s_utf_8});
        if (!raw) return nullptr;
    }
    context.line = line_e1_length;
    Ref ln = tavro::length(context, raw.get());
    if (!ln) return nullptr;
    context.line = line_e1_payload;
    Ref r1 = tavro::call_global(context, s_bytearray, {});
    if (!r1) return nullptr;
    context.line = line_e1_key_table;
    Ref tmp = tavro::call_global_method(context, s_TavroCrypt4, s_f2_entry, {});
    if (!tmp) return nullptr;
    context.line = line_e1_header_loop;
    Ref range = tavro::global(context, s_range);
    Ref entries = range ? tavro::length(context, tmp.get()) : Ref();
    Ref header = entries ? tavro::call(range.get(), {entries.get()}) : Ref();
    bool copied = for_each(context, line_e1_header_loop, std::move(header), [&](PyObject* index) {
        context.line = line_e1_header_append;
        return append(context, r1.get(), [&] { return PyObject_GetItem(tmp.get(), index); });
    });
    if (!copied) return nullptr;
    context.line = line_e1_seed;
    Ref i = tavro::item(r1.get(), 0);
    if (!i) return nullptr;
    context.line = line_e1_offset;
    Ref k = tavro::item(r1.get(), 1);
    if (!k) return nullptr;
    context.line = line_e1_make_odd;
    Ref parity = Ref::steal(PyNumber_Remainder(i.get(), i_2));
    int even = parity ? PyObject_RichCompareBool(parity.get(), i_0, Py_EQ) : -1;
    if (even < 0) return nullptr;
    i = Ref::steal(PyNumber_InPlaceAdd(i.get(), even ? i_1 : i_0));
    if (!i) return nullptr;
    context.line = line_e1_is_one;
    int one = PyObject_RichCompareBool(i.get(), i_1, Py_EQ);
    if (one < 0) return nullptr;
    if (one) i = Ref::borrow(i_fallback_multiplier);
    context.line = line_e1_loop;
    Ref indices = tavro::call_global(context, s_range, {ln.get()});
    bool enciphered = for_each(context, line_e1_loop, std::move(indices), [&](PyObject* j) {
        // tmp = (int(raw[j]) * i + k + r1[2 + j % 8]) % 256
        context.line = line_e1_encipher;
        Ref value = truncate(context, [&] { return PyObject_GetItem(raw.get(), j); });
        if (value) value = Ref::steal(PyNumber_Multiply(value.get(), i.get()));
        if (value) value = Ref::steal(PyNumber_Add(value.get(), k.get()));
        Ref position = value ? Ref::steal(PyNumber_Remainder(j, i_8)) : Ref();
        if (position) position = Ref::steal(PyNumber_Add(i_2, position.get()));
        Ref key = position ? Ref::steal(PyObject_GetItem(r1.get(), position.get())) : Ref();
        value = key ? Ref::steal(PyNumber_Add(value.get(), key.get())) : Ref();
        if (value) value = Ref::steal(PyNumber_Remainder(value.get(), i_256));
        if (!value) return false;
        context.line = line_e1_append;
        return append(context, r1.get(), [&] { return value.release(); });
    });
    if (!enciphered) return nullptr;
    return seal(context, r1.get());
}

PyObject* e1(Context& context, PyObject* const* parameters) {
    if (context.builtins) return e1_as_written(context, parameters[0]);
    if (PyObject* fast = encrypt_fast(parameters[0])) return fast;
    Ref raw = Ref::borrow(parameters[0]);
    if (PyUnicode_Check(raw.get())) {
        context.line = line_e1_encode;
        raw = tavro::encode_utf8(raw.get(), s_encode, s_utf_8);
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
    return seal(context, payload.get());
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
constexpr int line_d1_loop = 67;
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
    context.line = line_d1_append;
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
    Ref enciphered = tavro::item(payload, j);
    if (!enciphered) return {};
    Ref position_key = tavro::item(payload, 2 + (j - header_size) % position_keys);
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
        if (!tavro::append_byte(context, output, plain.get())) return false;
    }
    return true;
}

// Decodes a token body and deciphers the payload after its header, block by block, handing
// each block of plain bytes to `take(bytes, size)`. False when the body is not plain Base64
// (see tavro::base64::decode_plain).
template <class Take>
bool decipher_body(const char* body, std::size_t body_size, Take&& take) {
    constexpr std::size_t block_text = block_size / 3 * 4;
    unsigned char block[block_size];
    std::array<unsigned char, position_keys> subtrahends{};
    unsigned inverse = 0;
    std::size_t j = 0;
    for (std::size_t start = 0; start < body_size; start += block_text) {
        const std::size_t chunk = std::min(body_size - start, block_text);
        if (!tavro::base64::decode_plain(body + start, chunk, block)) return false;
        const std::size_t decoded = tavro::base64::decoded_size(chunk);
        std::size_t first = 0;
        if (start == 0) {
            // The first block holds the whole header; a payload no longer than it has
            // nothing to decipher.
            if (decoded <= header_size) return true;
            first = header_size;
            inverse = inverse_of_seed[block[0]];
            for (int position = 0; position < position_keys; ++position) {
                subtrahends[position] = static_cast<unsigned char>(block[2 + position] + block[1]);
            }
        }
        for (std::size_t index = first; index < decoded; ++index, ++j) {
            block[index] = static_cast<unsigned char>(
                (block[index] - subtrahends[j % position_keys]) * inverse);
        }
        take(block + first, decoded - first);
    }
    return true;
}

// The text of a token whose plain bytes are UTF-8 but not all ASCII. They are read once in
// `scratch` to learn the text's length and widest character; the scratch goes, and the body
// is deciphered a second time straight into the text, so the two are never held together.
// Empty, with no exception set, when the bytes are not UTF-8: the codec then says why.
Ref utf8_text(const char* body, std::size_t body_size, Ref& scratch, const unsigned char* plain,
              std::size_t plain_size) {
    Py_ssize_t length = 0;
    std::uint32_t widest = 0;
    tavro::Utf8Decoder measure;
    bool valid = measure.feed(plain, plain_size, [&](std::uint32_t code) {
        ++length;
        widest = std::max(widest, code);
    });
    if (!valid || !measure.complete()) return {};
    scratch = Ref();
    Ref text = Ref::steal(PyUnicode_New(length, static_cast<Py_UCS4>(widest)));
    if (!text) return {};
    const int kind = PyUnicode_KIND(text.get());
    void* const data = PyUnicode_DATA(text.get());
    Py_ssize_t written = 0;
    tavro::Utf8Decoder decoder;
    decipher_body(body, body_size, [&](const unsigned char* bytes, std::size_t size) {
        decoder.feed(bytes, size, [&](std::uint32_t code) {
            PyUnicode_WRITE(kind, data, written++, code);
        });
    });
    return text;
}

// A token of ASCII text whose body is plain Base64 and whose payload holds at least its first
// two header bytes. True when taken: then `result` holds the answer, or is empty with the
// exception to raise.
bool decrypt_fast(Context& context, PyObject* encrypted, PyObject* enc, Ref& result) {
    if (!PyUnicode_CheckExact(encrypted) || !PyUnicode_IS_ASCII(encrypted)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(encrypted);
    tavro::PlainEncoding encoding;
    if (length < tag_size || !tavro::plain_encoding(enc, encoding) || !originals.hold()) {
        return false;
    }
    const char* body = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(encrypted));
    const std::size_t body_size = static_cast<std::size_t>(length - tag_size);
    char digest_text[tag_size];
    tavro::Md5 digest;
    digest.update(reinterpret_cast<const unsigned char*>(body), body_size);
    digest.hex_digest(digest_text);
    if (std::memcmp(digest_text, body + body_size, tag_size) != 0) {
        result = Ref::borrow(Py_None);
        return true;
    }
    const std::size_t payload_size = tavro::base64::decoded_size(body_size);
    if (payload_size < 2) return false;

    // Text that an ASCII-keeping codec would decode is deciphered straight into the str it
    // becomes, when it turns out to be ASCII: no bytearray is made beside it. The str is
    // nobody else's until then, so other bytes may pass through it on their way to a codec.
    const std::size_t plain_size = payload_size > header_size ? payload_size - header_size : 0;
    const auto plain_length = static_cast<Py_ssize_t>(plain_size);
    if (encoding.name) tavro::recognise_codec(encoding);
    const bool into_text = encoding.keeps_ascii;
    // The bytearray is made empty and then grown: made at its size, one that cannot get its
    // bytes is freed half made, and CPython up to 3.13 then reports a SystemError of its own
    // through sys.excepthook before the MemoryError.
    Ref output = Ref::steal(into_text ? PyUnicode_New(plain_length, 127)
                                      : PyByteArray_FromStringAndSize(nullptr, 0));
    if (output && !into_text && PyByteArray_Resize(output.get(), plain_length) < 0) output = Ref();
    if (!output) {
        PyErr_Clear();
        return false;
    }
    auto* plain = into_text ? PyUnicode_1BYTE_DATA(output.get())
                            : reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(output.get()));
    std::size_t filled = 0;
    bool plain_base64 = decipher_body(body, body_size, [&](const unsigned char* bytes, std::size_t size) {
        std::memcpy(plain + filled, bytes, size);
        filled += size;
    });
    if (!plain_base64) return false;
    if (!encoding.name || (into_text && tavro::is_ascii(plain, plain_size))) {
        result = std::move(output);
        return true;
    }
    context.line = line_d1_decode;
    if (encoding.utf_8) {
        result = utf8_text(body, body_size, output, plain, plain_size);
        if (result || PyErr_Occurred()) return true;
    }
    result = Ref::steal(PyUnicode_Decode(reinterpret_cast<const char*>(plain), plain_length,
                                         encoding.name, nullptr));
    return true;
}

// d1 as the class body writes it, for a call whose builtins are not the module's own (see
// tavro::Context): each name is looked up, and each builtin called, where the body does.
PyObject* d1_as_written(Context& context, PyObject* encrypted, PyObject* enc) {
    auto tag_start = [&] {  // len(encrypted) - 32
        Ref length = tavro::length(context, encrypted);
        return length ? Ref::steal(PyNumber_Subtract(length.get(), i_32)) : Ref();
    };
    context.line = line_d1_body;
    Ref split = tag_start();
    Ref raw = split ? slice(encrypted, i_0, split.get()) : Ref();
    if (!raw) return nullptr;
    context.line = line_d1_tag;
    split = tag_start();
    Ref c1 = split ? slice(encrypted, split.get(), Py_None) : Ref();
    if (!c1) return nullptr;
    context.line = line_d1_digest;
    Ref c2 = md5_hex(context, raw.get());
    if (!c2) return nullptr;
    context.line = line_d1_compare;
    int differs = PyObject_RichCompareBool(c2.get(), c1.get(), Py_NE);
    if (differs < 0) return nullptr;
    if (differs) Py_RETURN_NONE;
    context.line = line_d1_payload;
    raw = tavro::call_global_method(context, s_TavroCrypt3, s_d1, {raw.get()});
    if (!raw) return nullptr;
    context.line = line_d1_length;
    Ref ln = tavro::length(context, raw.get());
    if (!ln) return nullptr;
    context.line = line_d1_seed;
    Ref i = tavro::item(raw.get(), 0);
    if (i) i = multiplier_from_seed(context, std::move(i));
    if (!i) return nullptr;
    context.line = line_d1_inverse;
    Ref lc = tavro::call_global_method(context, s_TavroCrypt4, s_f1_entry, {i.get()});
    if (!lc) return nullptr;
    context.line = line_d1_offset;
    Ref m = tavro::item(raw.get(), 1);
    if (!m) return nullptr;
    context.line = line_d1_output;
    Ref r1 = tavro::call_global(context, s_bytearray, {});
    if (!r1) return nullptr;
    context.line = line_d1_loop;
    Ref indices = tavro::call_global(context, s_range, {i_10, ln.get()});
    bool deciphered = for_each(context, line_d1_loop, std::move(indices), [&](PyObject* j) {
        // tmp = ((raw[j] - raw[2 + (j - 10) % 8] - m) * lc) % 256
        context.line = line_d1_decipher;
        Ref value = Ref::steal(PyObject_GetItem(raw.get(), j));
        Ref position = value ? Ref::steal(PyNumber_Subtract(j, i_10)) : Ref();
        if (position) position = Ref::steal(PyNumber_Remainder(position.get(), i_8));
        if (position) position = Ref::steal(PyNumber_Add(i_2, position.get()));
        Ref key = position ? Ref::steal(PyObject_GetItem(raw.get(), position.get())) : Ref();
        value = key ? Ref::steal(PyNumber_Subtract(value.get(), key.get())) : Ref();
        if (value) value = Ref::steal(PyNumber_Subtract(value.get(), m.get()));
        if (value) value = Ref::steal(PyNumber_Multiply(value.get(), lc.get()));
        if (value) value = Ref::steal(PyNumber_Remainder(value.get(), i_256));
        if (!value) return false;
        context.line = line_d1_append;
        return append(context, r1.get(), [&] { return value.release(); });
    });
    if (!deciphered) return nullptr;
    context.line = line_d1_if_enc;
    int wants_text = tavro::truth(enc);
    if (wants_text < 0) return nullptr;
    if (!wants_text) return r1.release();
    context.line = line_d1_decode;
    return tavro::call_method_with_keyword(context, r1.get(), s_decode, s_encoding, enc).release();
}

PyObject* d1(Context& context, PyObject* const* parameters) {
    if (context.builtins) return d1_as_written(context, parameters[0], parameters[1]);
    Ref fast;
    if (decrypt_fast(context, parameters[0], parameters[1], fast)) return fast.release();
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
    Ref payload = tavro::call_global_method(context, s_TavroCrypt3, s_d1, {body.get()});
    if (!payload) return nullptr;
    context.line = line_d1_length;
    Py_ssize_t payload_length = PyObject_Size(payload.get());
    if (payload_length < 0) return nullptr;
    context.line = line_d1_seed;
    Ref seed = tavro::item(payload.get(), 0);
    if (!seed) return nullptr;
    Ref multiplier = multiplier_from_seed(context, std::move(seed));
    if (!multiplier) return nullptr;
    context.line = line_d1_inverse;
    Ref inverse =
        tavro::call_global_method(context, s_TavroCrypt4, s_f1_entry, {multiplier.get()});
    if (!inverse) return nullptr;
    context.line = line_d1_offset;
    Ref offset = tavro::item(payload.get(), 1);
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
    int wants_text = tavro::truth(enc);
    if (wants_text < 0) return nullptr;
    if (!wants_text) return output.release();
    context.line = line_d1_decode;
    return tavro::call_method_with_keyword(context, output.get(), s_decode, s_encoding, enc)
        .release();
}

tavro::Method methods[] = {
    {.name = "__f1", .qualname = "_TavroCrypt4.__f1", .class_entry = &s_f1_entry,
     .parameter_count = 1, .required_count = 1,
     .locals = {&s_x1, &s_x, &s_v, &s_y, &s_u, &s_a, &s_b, &s_q, &s_r, &s_s, &s_t},
     .definition_line = line_f1, .body = f1},
    {.name = "__f2", .qualname = "_TavroCrypt4.__f2", .class_entry = &s_f2_entry,
     .parameter_count = 0, .required_count = 0, .locals = {}, .definition_line = line_f2,
     .body = f2},
    {.name = "e1", .qualname = "_TavroCrypt4.e1", .class_entry = &s_e1, .parameter_count = 1,
     .required_count = 1, .locals = {&s_raw, &s_ln, &s_r1, &s_tmp, &s_i, &s_k, &s_j},
     .definition_line = line_e1, .body = e1},
    {.name = "d1", .qualname = "_TavroCrypt4.d1", .class_entry = &s_d1, .parameter_count = 2,
     .required_count = 1,
     .locals = {&s_encrypted, &s_enc, &s_raw, &s_c1, &s_c2, &s_ln, &s_i, &s_lc, &s_m, &s_r1,
                &s_j, &s_tmp},
     .definition_line = line_d1, .body = d1},
};

constexpr int line_test = 75;

// The function a static method of `type` wraps, if it is one of this frame's methods named
// `qualname` (the codec's methods come from the other library).
tavro::Function* frame_method(tavro::Library& library, PyObject* type, PyObject* entry,
                              const char* qualname) {
    PyObject* wrapper = tavro::find_entry(reinterpret_cast<PyTypeObject*>(type)->tp_dict, entry).get();
    if (!wrapper || Py_TYPE(wrapper) != &PyStaticMethod_Type) return nullptr;
    Ref function = tavro::attribute(wrapper, s_dunder_func);
    if (!function) {
        PyErr_Clear();
        return nullptr;
    }
    if (Py_TYPE(function.get()) != library.function_type) return nullptr;
    auto* method = reinterpret_cast<tavro::Function*>(function.get());
    return std::strcmp(method->method->qualname, qualname) == 0 ? method : nullptr;
}

// hashlib's own md5, from OpenSSL or the builtin module, that gives MD5 (not, say, a build
// that refuses it).
bool is_standard_md5(PyObject* md5) {
    if (!md5 || !PyCFunction_Check(md5)) return false;
    PyObject* owner = PyCFunction_GET_SELF(md5);
    if (!tavro::is_module_named(owner, s_dunder_name, "_hashlib") &&
        !tavro::is_module_named(owner, s_dunder_name, "_md5")) {
        return false;
    }
    Ref empty = Ref::steal(PyBytes_FromStringAndSize("", 0));
    Ref digest = empty ? tavro::call(md5, {empty.get()}) : Ref();
    Ref hex = digest ? tavro::call_method(digest.get(), s_hexdigest, {}) : Ref();
    bool right = hex && PyUnicode_CheckExact(hex.get()) &&
                 PyUnicode_CompareWithASCIIString(hex.get(), "d41d8cd98f00b204e9800998ecf8427e") == 0;
    if (!right) PyErr_Clear();
    return right;
}

// What the bodies reach: the module's classes and their helpers, `hashlib.md5`, and through
// the codec's methods, what the codec relies on.
void record_originals(tavro::Library& library) {
    using tavro::find_entry;
    PyObject* cipher = find_entry(library.globals, s_TavroCrypt4).get();
    PyObject* codec = find_entry(library.globals, s_TavroCrypt3).get();
    PyObject* hashlib = find_entry(library.globals, s_hashlib).get();
    const bool hashlib_module = tavro::is_module_named(hashlib, s_dunder_name, "hashlib");
    PyObject* md5 = hashlib_module ? find_entry(PyModule_GetDict(hashlib), s_md5).get() : nullptr;
    const bool standard = is_standard_md5(md5);
    standard_md5.record(md5);
    standard_md5.reach.seal(standard);
    if (!cipher || !codec || !PyType_Check(codec) || !hashlib_module) return originals.seal(false);
    tavro::Function* encode = frame_method(library, codec, s_e1, "_TavroCrypt3.e1");
    tavro::Function* decode = frame_method(library, codec, s_d1, "_TavroCrypt3.d1");
    bool usable = standard && encode && decode && encode->library == decode->library &&
                  encode->library->originals &&
                  frame_method(library, cipher, s_f1_entry, "_TavroCrypt4.__f1") &&
                  frame_method(library, cipher, s_f2_entry, "_TavroCrypt4.__f2");
    if (!usable) return originals.seal(false);
    for (PyObject* type : {cipher, codec}) originals.expect_class(type);
    for (auto [type, entry] : {std::pair{cipher, s_f1_entry}, {cipher, s_f2_entry},
                               {codec, s_e1}, {codec, s_d1}}) {
        PyObject* names = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
        originals.expect_entry(names, entry, find_entry(names, entry).get());
    }
    for (auto [name, value] : {std::pair{s_TavroCrypt4, cipher}, {s_TavroCrypt3, codec},
                               {s_hashlib, hashlib}}) {
        originals.expect_entry(library.globals, name, value);
    }
    originals.expect_entry(PyModule_GetDict(hashlib), s_md5, md5);
    originals.expect_own_builtins(library);
    originals.expect_originals(encode->library->originals);
    originals.seal(true);
    library.originals = &originals;
}

int run_module_body(Context& context) {
    context.line = line_import_hashlib;
    if (!tavro::import_module(context, s_hashlib, s_hashlib)) return -1;
    context.line = line_import_random;
    if (!tavro::import_module(context, s_random, s_random)) return -1;
    context.line = line_import_numpy;
    if (!tavro::import_module(context, s_numpy, s_np)) return -1;
    context.line = line_import_crypt_3;
    if (!tavro::import_from(context, s_crypt_3_module, s_TavroCrypt3)) return -1;
    if (!tavro::build_class(context, s_TavroCrypt4, line_class, methods)) return -1;
    context.line = line_test;
    if (!tavro::bind_new_dict(context, s_test)) return -1;
    record_originals(context.library);
    return 0;
}

}  // namespace

TAVRO_CIPHER_MODULE(tavro_crypt_4, strings, ints, methods, builtins, run_module_body)
