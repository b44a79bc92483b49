// _TavroCrypt3's general paths: e1 and d1 making the calls their bodies make, for whatever
// the fast paths leave (rebound globals, subclasses, other codecs, 3.9 calls with builtins of
// their own).
#include "lines.hpp"

#include "frame/calls.hpp"
#include "frame/handlers.hpp"

namespace tavro_crypt_3 {
namespace {

// The try block of e1.
Ref encoded(Context& context, PyObject* raw) {
    Ref data = Ref::borrow(raw);
    context.line = line_e1_isinstance;
    int text = tavro::is_instance(context, raw, s_str, &PyUnicode_Type);
    if (text < 0) return {};
    if (text) {
        context.line = line_e1_encode;
        data = tavro::encode_utf8(raw, s_encode, s_utf_8);
        if (!data) return {};
    }
    context.line = line_e1_b64encode;
    Ref base64 = tavro::global(context, s_base64);
    if (!base64) return {};
    Ref b64encode = tavro::attribute(base64.get(), s_b64encode);
    if (!b64encode) return {};
    if (standard_b64encode.answers(b64encode.get()))
        return tavro::pinned::b64encode_text(data.get());
    Ref bs = tavro::call(b64encode.get(), {data.get()});
    if (!bs) return {};
    context.line = line_e1_decode;
    if (PyBytes_CheckExact(bs.get())) {
        return Ref::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bs.get()), PyBytes_GET_SIZE(bs.get()), nullptr));
    }
    return tavro::call_method_with_keyword(context, bs.get(), s_decode, s_encoding, s_upper_utf_8);
}

// The try block of d1.
Ref decoded(Context& context, PyObject* raw, PyObject* enc) {
    Ref text = Ref::borrow(raw);
    context.line = line_d1_isinstance;
    int is_bytes = tavro::is_instance(context, raw, s_bytes, &PyBytes_Type);
    if (is_bytes < 0) return {};
    if (is_bytes) {
        context.line = line_d1_text;
        text = PyBytes_CheckExact(raw)
                   ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw),
                                                     nullptr))
                   : tavro::call_method(raw, s_decode, {s_upper_utf_8});
        if (!text) return {};
    }
    context.line = line_d1_b64decode;
    Ref base64 = tavro::global(context, s_base64);
    if (!base64) return {};
    Ref b64decode = tavro::attribute(base64.get(), s_urlsafe_b64decode);
    if (!b64decode) return {};
    // "=" * (-len(raw) % 4), with Python's operators: the call's own `len` may answer anything.
    Ref missing = tavro::length(context, text.get());
    if (missing) missing = Ref::steal(PyNumber_Negative(missing.get()));
    if (missing) missing = Ref::steal(PyNumber_Remainder(missing.get(), i_4));
    Ref padding = missing ? Ref::steal(PyNumber_Multiply(s_equals, missing.get())) : Ref();
    if (!padding) return {};
    Ref padded = Ref::steal(PyNumber_Add(text.get(), padding.get()));
    if (!padded) return {};
    Ref dd = standard_urlsafe_b64decode.answers(b64decode.get())
                 ? tavro::pinned::urlsafe_b64decode(padded.get(), decode_names)
                 : tavro::call(b64decode.get(), {padded.get()});
    if (!dd) return {};
    return tavro::decoded_if_asked(context, std::move(dd), enc, line_d1_if_enc, line_d1_decode);
}

}  // namespace

PyObject* e1_general(Context& context, PyObject* const* parameters) {
    return tavro::result_or_handled(context, encoded(context, parameters[0]),
                                    line_e1_except_memory_error, line_e1_except_exception, s_empty);
}

PyObject* d1_general(Context& context, PyObject* const* parameters) {
    return tavro::result_or_handled(context, decoded(context, parameters[0], parameters[1]),
                                    line_d1_except_memory_error, line_d1_except_exception, Py_None);
}

}  // namespace tavro_crypt_3
