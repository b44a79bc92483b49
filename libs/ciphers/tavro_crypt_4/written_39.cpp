// _TavroCrypt4's bodies as written, for a call whose builtins are not the module's own (on
// 3.9, see tavro::Context): each name is looked up, and each builtin called, where the body
// does.
#include "lines.hpp"

namespace tavro_crypt_4 {
namespace {

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

}  // namespace

PyObject* e1_written(Context& context, PyObject* const* parameters) {
    Ref raw = Ref::borrow(parameters[0]);
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

PyObject* d1_written(Context& context, PyObject* const* parameters) {
    PyObject *encrypted = parameters[0], *enc = parameters[1];
    Ref raw;
    if (int opened = open_payload(context, encrypted, raw); opened <= 0) {
        return opened < 0 ? nullptr : Ref::borrow(Py_None).release();
    }
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
    return tavro::decoded_if_asked(context, std::move(r1), enc, line_d1_if_enc, line_d1_decode)
        .release();
}

}  // namespace tavro_crypt_4
