// _TavroCrypt4's general paths: e1 and d1 making the calls their bodies make, for whatever
// the fast paths leave (rebound globals and helpers, subclasses, sequences of numbers).
#include "lines.hpp"

#include "frame/calls.hpp"

namespace tavro_crypt_4 {

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

// Looked up before its argument is made, as the body reads.
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

namespace {

// Reads payload[index], as Python's bytearray indexing does.
bool payload_byte(PyObject* payload, Py_ssize_t index, long& byte) {
    if (index >= PyByteArray_GET_SIZE(payload)) {
        PyErr_SetString(PyExc_IndexError, "bytearray index out of range");
        return false;
    }
    byte = static_cast<unsigned char>(PyByteArray_AS_STRING(payload)[index]);
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

// The position keys come from the payload itself, which for a full key table is its header.
bool encipher_items(Context& context, PyObject* payload, PyObject* raw, Py_ssize_t length,
                    long multiplier, long offset) {
    for (Py_ssize_t j = 0; j < length; ++j) {
        context.line = line_e1_encipher;
        Ref item = tavro::item(raw, j);
        if (!item) return false;
        Ref plain = Ref::steal(PyNumber_Long(item.get()));
        long plain_byte, position_key;
        if (!plain || !byte_of(plain.get(), plain_byte) ||
            !payload_byte(payload, 2 + j % token::position_keys, position_key)) {
            return false;
        }
        context.line = line_e1_append;
        const unsigned char enciphered =
            token::encipher(plain_byte, multiplier, offset, position_key);
        if (!tavro::append_known_byte(payload, enciphered)) return false;
    }
    return true;
}

// encrypted[start:stop], with the message Python 2 gave for objects that cannot be sliced.
Ref slice(PyObject* sequence, PyObject* start, PyObject* stop) {
    PyMappingMethods* mapping = Py_TYPE(sequence)->tp_as_mapping;
    if (!mapping || !mapping->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(sequence)->tp_name);
        return {};
    }
    Ref bounds = Ref::steal(PySlice_New(start, stop, nullptr));
    if (!bounds) return {};
    return Ref::steal(mapping->mp_subscript(sequence, bounds.get()));
}

// ((payload[j] - position key - offset) * inverse) % 256 with Python's operators.
Ref decipher_item(PyObject* payload, Py_ssize_t j, PyObject* inverse, PyObject* offset) {
    Ref enciphered = tavro::item(payload, j);
    if (!enciphered) return {};
    Ref position_key = tavro::item(payload, 2 + (j - token::header_size) % token::position_keys);
    if (!position_key) return {};
    Ref value = Ref::steal(PyNumber_Subtract(enciphered.get(), position_key.get()));
    if (value) value = Ref::steal(PyNumber_Subtract(value.get(), offset));
    if (value) value = Ref::steal(PyNumber_Multiply(value.get(), inverse));
    if (value) value = Ref::steal(PyNumber_Remainder(value.get(), i_256));
    return value;
}

}  // namespace

int open_payload(Context& context, PyObject* encrypted, Ref& payload) {
    auto tag_start = [&] {  // len(encrypted) - 32
        Ref length = tavro::length(context, encrypted);
        return length ? Ref::steal(PyNumber_Subtract(length.get(), i_32)) : Ref();
    };
    context.line = line_d1_body;
    Ref split = tag_start();
    Ref body = split ? slice(encrypted, i_0, split.get()) : Ref();
    if (!body) return -1;
    context.line = line_d1_tag;
    split = tag_start();
    Ref tag = split ? slice(encrypted, split.get(), Py_None) : Ref();
    if (!tag) return -1;
    context.line = line_d1_digest;
    Ref digest = md5_hex(context, body.get());
    if (!digest) return -1;
    context.line = line_d1_compare;
    int differs = PyObject_RichCompareBool(digest.get(), tag.get(), Py_NE);
    if (differs) return differs < 0 ? -1 : 0;
    context.line = line_d1_payload;
    payload = tavro::call_global_method(context, s_TavroCrypt3, s_d1, {body.get()});
    return payload ? 1 : -1;
}

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

PyObject* e1_general(Context& context, PyObject* const* parameters) {
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
    long seed, offset;
    context.line = line_e1_seed;
    if (!payload_byte(payload.get(), 0, seed)) return nullptr;
    context.line = line_e1_offset;
    if (!payload_byte(payload.get(), 1, offset)) return nullptr;
    const long multiplier = token::multiplier_of(seed);
    if (!encipher_items(context, payload.get(), raw.get(), length, multiplier, offset)) {
        return nullptr;
    }
    return seal(context, payload.get());
}

PyObject* d1_general(Context& context, PyObject* const* parameters) {
    PyObject *encrypted = parameters[0], *enc = parameters[1];
    Ref payload;
    if (int opened = open_payload(context, encrypted, payload); opened <= 0) {
        return opened < 0 ? nullptr : Ref::borrow(Py_None).release();
    }
    context.line = line_d1_length;
    Py_ssize_t payload_length = PyObject_Size(payload.get());
    if (payload_length < 0) return nullptr;
    context.line = line_d1_seed;
    Ref seed = tavro::item(payload.get(), 0);
    if (!seed) return nullptr;
    Ref multiplier = multiplier_from_seed(context, std::move(seed));
    if (!multiplier) return nullptr;
    context.line = line_d1_inverse;
    Ref inverse = tavro::call_global_method(context, s_TavroCrypt4, s_f1_entry, {multiplier.get()});
    if (!inverse) return nullptr;
    context.line = line_d1_offset;
    Ref offset = tavro::item(payload.get(), 1);
    if (!offset) return nullptr;
    context.line = line_d1_output;
    Ref output = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!output) return nullptr;
    for (Py_ssize_t j = token::header_size; j < payload_length; ++j) {
        context.line = line_d1_decipher;
        Ref plain = decipher_item(payload.get(), j, inverse.get(), offset.get());
        if (!plain) return nullptr;
        context.line = line_d1_append;
        if (!tavro::append_byte(context, output.get(), plain.get())) return nullptr;
    }
    return tavro::decoded_if_asked(context, std::move(output), enc, line_d1_if_enc, line_d1_decode)
        .release();
}

}  // namespace tavro_crypt_4
