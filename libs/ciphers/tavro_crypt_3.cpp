// tavro_crypt_3: the Base64 text codec `_TavroCrypt3`.
//
// e1 and d1 never raise for bad data (they answer "" and None); e2 lets errors through.
// Line numbers are those of the module's original source, which tracebacks show.
#include "frame/module.hpp"

using frame::Context;
using frame::Ref;

namespace {

// Identifiers (interned) and literals.
PyObject *s_base64, *s_b64encode, *s_urlsafe_b64decode, *s_decode, *s_encode, *s_encoding,
    *s_rstrip, *s_e1, *s_e2, *s_d1, *s_raw, *s_enc, *s_bs, *s_ed, *s_dd, *s_class_name,
    *s_test;
PyObject *s_empty, *s_equals, *s_upper_utf_8, *s_utf_8;

const frame::StringConstant strings[] = {
    {&s_base64, "base64", true},
    {&s_b64encode, "b64encode", true},
    {&s_urlsafe_b64decode, "urlsafe_b64decode", true},
    {&s_decode, "decode", true},
    {&s_encode, "encode", true},
    {&s_encoding, "encoding", true},
    {&s_rstrip, "rstrip", true},
    {&s_e1, "e1", true},
    {&s_e2, "e2", true},
    {&s_d1, "d1", true},
    {&s_raw, "raw", true},
    {&s_enc, "enc", true},
    {&s_bs, "bs", true},
    {&s_ed, "ed", true},
    {&s_dd, "dd", true},
    {&s_class_name, "_TavroCrypt3", true},
    {&s_test, "__test__", true},
    {&s_empty, "", false},
    {&s_equals, "=", false},
    {&s_upper_utf_8, "UTF-8", false},
    {&s_utf_8, "utf-8", false},
};

constexpr int line_import_base64 = 4;
constexpr int line_class = 7;

// e1(raw): Base64 text in the standard alphabet, padded; "" on any failure.
constexpr int line_e1 = 9;
constexpr int line_e1_encode = 12;
constexpr int line_e1_b64encode = 13;
constexpr int line_e1_decode = 14;

Ref encode_base64(Context& context, PyObject* raw) {
    Ref data = Ref::borrow(raw);
    if (PyUnicode_Check(raw)) {
        context.line = line_e1_encode;
        data = PyUnicode_CheckExact(raw) ? Ref::steal(PyUnicode_AsUTF8String(raw))
                                         : frame::call_method(raw, s_encode, {s_utf_8});
        if (!data) return {};
    }
    context.line = line_e1_b64encode;
    Ref base64 = frame::global(context, s_base64);
    if (!base64) return {};
    Ref b64encode = frame::attribute(base64.get(), s_b64encode);
    if (!b64encode) return {};
    Ref bs = frame::call(b64encode.get(), {data.get()});
    if (!bs) return {};
    context.line = line_e1_decode;
    if (PyBytes_CheckExact(bs.get())) {
        return Ref::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bs.get()), PyBytes_GET_SIZE(bs.get()), nullptr));
    }
    return frame::call_method_with_keyword(context, bs.get(), s_decode, s_encoding,
                                           s_upper_utf_8);
}

PyObject* e1(Context& context, PyObject* const* parameters) {
    Ref ed = encode_base64(context, parameters[0]);
    if (!ed) {
        if (!frame::swallow_exception(context)) return nullptr;
        ed = Ref::borrow(s_empty);
    }
    return ed.release();
}

// e2(raw): e1 without its "=" padding.
constexpr int line_e2 = 20;
constexpr int line_e2_return = 21;

PyObject* e2(Context& context, PyObject* const* parameters) {
    context.line = line_e2_return;
    Ref codec = frame::global(context, s_class_name);
    if (!codec) return nullptr;
    Ref padded = frame::call_method(codec.get(), s_e1, {parameters[0]});
    if (!padded) return nullptr;
    return frame::call_method(padded.get(), s_rstrip, {s_equals}).release();
}

// d1(raw, enc=None): decodes either alphabet, restoring missing padding; None on any failure.
constexpr int line_d1 = 24;
constexpr int line_d1_text = 27;
constexpr int line_d1_b64decode = 28;
constexpr int line_d1_if_enc = 29;
constexpr int line_d1_decode = 30;

Ref decode_base64(Context& context, PyObject* raw, PyObject* enc) {
    Ref text = Ref::borrow(raw);
    if (PyBytes_Check(raw)) {
        context.line = line_d1_text;
        text = PyBytes_CheckExact(raw)
                   ? Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw),
                                                     PyBytes_GET_SIZE(raw), nullptr))
                   : frame::call_method(raw, s_decode, {s_upper_utf_8});
        if (!text) return {};
    }
    context.line = line_d1_b64decode;
    Ref base64 = frame::global(context, s_base64);
    if (!base64) return {};
    Ref b64decode = frame::attribute(base64.get(), s_urlsafe_b64decode);
    if (!b64decode) return {};
    Py_ssize_t length = PyObject_Size(text.get());
    if (length < 0) return {};
    Py_ssize_t missing = (4 - length % 4) % 4;
    Ref padding = Ref::steal(PySequence_Repeat(s_equals, missing));
    if (!padding) return {};
    Ref padded = Ref::steal(PyNumber_Add(text.get(), padding.get()));
    if (!padded) return {};
    Ref dd = frame::call(b64decode.get(), {padded.get()});
    if (!dd) return {};
    context.line = line_d1_if_enc;
    int wants_text = frame::truth(enc);
    if (wants_text < 0) return {};
    if (!wants_text) return dd;
    context.line = line_d1_decode;
    return frame::call_method_with_keyword(context, dd.get(), s_decode, s_encoding, enc);
}

PyObject* d1(Context& context, PyObject* const* parameters) {
    Ref result = decode_base64(context, parameters[0], parameters[1]);
    if (!result) {
        if (!frame::swallow_exception(context)) return nullptr;
        result = Ref::borrow(Py_None);
    }
    return result.release();
}

frame::Method methods[] = {
    {"e1", "_TavroCrypt3.e1", &s_e1, 1, 1, {&s_raw, &s_bs, &s_ed}, line_e1, e1},
    {"e2", "_TavroCrypt3.e2", &s_e2, 1, 1, {&s_raw}, line_e2, e2},
    {"d1", "_TavroCrypt3.d1", &s_d1, 2, 1, {&s_raw, &s_enc, &s_dd}, line_d1, d1},
};

constexpr int line_test = 36;

int run_module_body(Context& context) {
    context.line = line_import_base64;
    if (!frame::import_module(context, s_base64, s_base64)) return -1;
    if (!frame::build_class(context, s_class_name, line_class, methods)) return -1;
    context.line = line_test;
    return frame::bind_new_dict(context, s_test) ? 0 : -1;
}

}  // namespace

// An embedding host sets this before the import to run the module as __main__.
extern "C" {
Py_EXPORTED_SYMBOL int tavro_crypt_3_run_as_main = 0;
}

namespace {

frame::Library library({
    .name = "tavro_crypt_3",
    .full_name = "tavro.libs.ciphers.tavro_crypt_3",
    .source_path = "tavro/libs/ciphers/tavro_crypt_3.py",
    .run_as_main = &tavro_crypt_3_run_as_main,
    .strings = strings,
    .ints = {},
    .methods = methods,
    .builtins = {},
    .run_body = run_module_body,
});

}  // namespace

PyMODINIT_FUNC PyInit_tavro_crypt_3() { return frame::module_definition(library); }
