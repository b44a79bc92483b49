// tavro_crypt_3: the Base64 text codec `_TavroCrypt3`.
//
// e1 and d1 never raise for bad data (they answer "" and None); e2 lets errors through.
// Line numbers are those of the plain-Python rendering beside this file, tavro_crypt_3.py,
// which tests hold the code to.
#include "frame/calls.hpp"
#include "frame/loading.hpp"
#include "frame/statements.hpp"

using tavro::Context;
using tavro::Ref;

namespace {

#define IDENTIFIERS(X)                                                                   \
    X(s_base64, "base64") X(s_b64encode, "b64encode")                                     \
    X(s_urlsafe_b64decode, "urlsafe_b64decode") X(s_decode, "decode") X(s_encode, "encode") \
    X(s_encoding, "encoding") X(s_rstrip, "rstrip") X(s_e1, "e1") X(s_e2, "e2")           \
    X(s_d1, "d1") X(s_raw, "raw") X(s_enc, "enc") X(s_bs, "bs") X(s_ed, "ed")             \
    X(s_dd, "dd") X(s_class_name, "_TavroCrypt3") X(s_test, "__test__")
#define LITERALS(X) X(s_empty, "") X(s_equals, "=") X(s_upper_utf_8, "UTF-8") X(s_utf_8, "utf-8")

IDENTIFIERS(TAVRO_DECLARE)
LITERALS(TAVRO_DECLARE)

const tavro::StringConstant strings[] = {IDENTIFIERS(TAVRO_IDENTIFIER_ROW)
                                             LITERALS(TAVRO_LITERAL_ROW)};

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
        data = tavro::encode_utf8(raw, s_encode, s_utf_8);
        if (!data) return {};
    }
    context.line = line_e1_b64encode;
    Ref bs = tavro::call_global_method(context, s_base64, s_b64encode, {data.get()});
    if (!bs) return {};
    context.line = line_e1_decode;
    if (PyBytes_CheckExact(bs.get())) {
        return Ref::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bs.get()), PyBytes_GET_SIZE(bs.get()), nullptr));
    }
    return tavro::call_method_with_keyword(context, bs.get(), s_decode, s_encoding,
                                           s_upper_utf_8);
}

PyObject* e1(Context& context, PyObject* const* parameters) {
    Ref ed = encode_base64(context, parameters[0]);
    if (!ed) {
        if (!tavro::swallow_exception(context)) return nullptr;
        ed = Ref::borrow(s_empty);
    }
    return ed.release();
}

// e2(raw): e1 without its "=" padding.
constexpr int line_e2 = 20;
constexpr int line_e2_return = 21;

PyObject* e2(Context& context, PyObject* const* parameters) {
    context.line = line_e2_return;
    Ref padded = tavro::call_global_method(context, s_class_name, s_e1, {parameters[0]});
    if (!padded) return nullptr;
    return tavro::call_method(padded.get(), s_rstrip, {s_equals}).release();
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
                   : tavro::call_method(raw, s_decode, {s_upper_utf_8});
        if (!text) return {};
    }
    context.line = line_d1_b64decode;
    Ref base64 = tavro::global(context, s_base64);
    if (!base64) return {};
    Ref b64decode = tavro::attribute(base64.get(), s_urlsafe_b64decode);
    if (!b64decode) return {};
    Py_ssize_t length = PyObject_Size(text.get());
    if (length < 0) return {};
    Py_ssize_t missing = (4 - length % 4) % 4;
    Ref padding = Ref::steal(PySequence_Repeat(s_equals, missing));
    if (!padding) return {};
    Ref padded = Ref::steal(PyNumber_Add(text.get(), padding.get()));
    if (!padded) return {};
    Ref dd = tavro::call(b64decode.get(), {padded.get()});
    if (!dd) return {};
    context.line = line_d1_if_enc;
    int wants_text = tavro::truth(enc);
    if (wants_text < 0) return {};
    if (!wants_text) return dd;
    context.line = line_d1_decode;
    return tavro::call_method_with_keyword(context, dd.get(), s_decode, s_encoding, enc);
}

PyObject* d1(Context& context, PyObject* const* parameters) {
    Ref result = decode_base64(context, parameters[0], parameters[1]);
    if (!result) {
        if (!tavro::swallow_exception(context)) return nullptr;
        result = Ref::borrow(Py_None);
    }
    return result.release();
}

tavro::Method methods[] = {
    {.name = "e1", .qualname = "_TavroCrypt3.e1", .class_entry = &s_e1, .parameter_count = 1,
     .required_count = 1, .locals = {&s_raw, &s_bs, &s_ed}, .definition_line = line_e1,
     .body = e1},
    {.name = "e2", .qualname = "_TavroCrypt3.e2", .class_entry = &s_e2, .parameter_count = 1,
     .required_count = 1, .locals = {&s_raw}, .definition_line = line_e2, .body = e2},
    {.name = "d1", .qualname = "_TavroCrypt3.d1", .class_entry = &s_d1, .parameter_count = 2,
     .required_count = 1, .locals = {&s_raw, &s_enc, &s_dd}, .definition_line = line_d1,
     .body = d1},
};

constexpr int line_test = 36;

int run_module_body(Context& context) {
    context.line = line_import_base64;
    if (!tavro::import_module(context, s_base64, s_base64)) return -1;
    if (!tavro::build_class(context, s_class_name, line_class, methods)) return -1;
    context.line = line_test;
    return tavro::bind_new_dict(context, s_test) ? 0 : -1;
}

}  // namespace

TAVRO_CIPHER_MODULE(tavro_crypt_3, strings, {}, methods, {}, run_module_body)
