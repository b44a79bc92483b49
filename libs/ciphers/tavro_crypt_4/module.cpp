// tavro_crypt_4's module definition: the keyed byte cipher `_TavroCrypt4`.
//
// Its names, the two key helpers, the class's methods and what their fast paths rely on. A
// token is described in native/token.hpp; e1 and d1 are made in fast.cpp, general.cpp and
// written_39.cpp beside this file.
#include "lines.hpp"

#include "frame/calls.hpp"
#include "frame/function.hpp"
#include "frame/loading.hpp"
#include "frame/statements.hpp"

#include <array>
#include <cstring>

namespace tavro_crypt_4 {

TAVRO_CRYPT_4_IDENTIFIERS(TAVRO_DECLARE)
TAVRO_CRYPT_4_LITERALS(TAVRO_DECLARE)
TAVRO_CRYPT_4_INTEGERS(TAVRO_DECLARE)
PyObject* i_key[token::header_size];

tavro::ReachGuard fast_path_reach;
tavro::pinned::Function standard_md5;

namespace {

const tavro::StringConstant strings[] = {TAVRO_CRYPT_4_IDENTIFIERS(TAVRO_IDENTIFIER_ROW)
                                             TAVRO_CRYPT_4_LITERALS(TAVRO_LITERAL_ROW)};

constexpr auto ints = [] {
    constexpr int named = 0 TAVRO_CRYPT_4_INTEGERS(TAVRO_COUNT);
    std::array<tavro::IntConstant, named + token::header_size> rows{
        {TAVRO_CRYPT_4_INTEGERS(TAVRO_INT_ROW)}};
    for (int index = 0; index < token::header_size; ++index) {
        rows[named + index] = {&i_key[index], token::key_table[index]};
    }
    return rows;
}();

// Captured at load only so that loading fails, as the module body would, when the builtins
// lack `range`; the methods look `range` up where their bodies do.
PyObject* captured_range;
const tavro::CapturedBuiltin builtins[] = {{&s_range, &captured_range}};

Ref times_minus(Context& context, PyObject* left, PyObject* right, PyObject* factor) {
    // int(left - right * factor)
    return truncate(context, [&]() -> PyObject* {
        Ref product = Ref::steal(PyNumber_Multiply(right, factor));
        return product ? PyNumber_Subtract(left, product.get()) : nullptr;
    });
}

// The steps of the body on any number type, with Python's operators.
PyObject* f1_general(Context& context, PyObject* const* parameters) {
    PyObject* x1 = parameters[0];
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

tavro::FastAnswer f1_fast(Context& context, PyObject* const* parameters) {
    PyObject* x1 = parameters[0];
    if (!PyLong_CheckExact(x1)) return tavro::FastAnswer::declined();
    context.line = line_f1_reduce;
    long b;
    if (!byte_of(x1, b)) return tavro::FastAnswer::answered(Ref());
    return tavro::FastAnswer::answered(Ref::steal(PyLong_FromLong(token::inverse_of_byte(b))));
}

PyObject* f2(Context& context, PyObject* const*) {
    context.line = line_f2_return;
    PyObject* table = PyList_New(token::header_size);
    if (!table) return nullptr;
    for (int index = 0; index < token::header_size; ++index) {
        Py_INCREF(i_key[index]);
        PyList_SET_ITEM(table, index, i_key[index]);
    }
    return table;
}

tavro::Method methods[] = {
    {.name = "__f1",
     .qualname = "_TavroCrypt4.__f1",
     .class_entry = &s_f1_entry,
     .parameter_count = 1,
     .required_count = 1,
     .locals = {&s_x1, &s_x, &s_v, &s_y, &s_u, &s_a, &s_b, &s_q, &s_r, &s_s, &s_t},
     .definition_line = line_f1,
     .fast = f1_fast,
     .general = f1_general},
    {.name = "__f2",
     .qualname = "_TavroCrypt4.__f2",
     .class_entry = &s_f2_entry,
     .parameter_count = 0,
     .required_count = 0,
     .locals = {},
     .definition_line = line_f2,
     .general = f2},
    {.name = "e1",
     .qualname = "_TavroCrypt4.e1",
     .class_entry = &s_e1,
     .parameter_count = 1,
     .required_count = 1,
     .locals = {&s_raw, &s_ln, &s_r1, &s_tmp, &s_i, &s_k, &s_j},
     .definition_line = line_e1,
     .fast = e1_fast,
     .general = e1_general,
     .written_39 = TAVRO_WRITTEN_39(e1_written)},
    {.name = "d1",
     .qualname = "_TavroCrypt4.d1",
     .class_entry = &s_d1,
     .parameter_count = 2,
     .required_count = 1,
     .locals = {&s_encrypted, &s_enc, &s_raw, &s_c1, &s_c2, &s_ln, &s_i, &s_lc, &s_m, &s_r1, &s_j,
                &s_tmp},
     .definition_line = line_d1,
     .fast = d1_fast,
     .general = d1_general,
     .written_39 = TAVRO_WRITTEN_39(d1_written)},
};

// The function a static method of `type` wraps, if it is one of this frame's methods named
// `qualname` (the codec's methods come from the other library).
tavro::Function* frame_method(tavro::Library& library, PyObject* type, PyObject* entry,
                              const char* qualname) {
    PyObject* wrapper =
        tavro::find_entry(reinterpret_cast<PyTypeObject*>(type)->tp_dict, entry).get();
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
    bool right =
        hex && PyUnicode_CheckExact(hex.get()) &&
        PyUnicode_CompareWithASCIIString(hex.get(), "d41d8cd98f00b204e9800998ecf8427e") == 0;
    if (!right) PyErr_Clear();
    return right;
}

// What the bodies reach: the module's classes and their helpers, `hashlib.md5`, and through
// the codec's methods, what the codec relies on.
void record_fast_path_reach(tavro::Library& library) {
    using tavro::find_entry;
    PyObject* cipher = find_entry(library.globals, s_TavroCrypt4).get();
    PyObject* codec = find_entry(library.globals, s_TavroCrypt3).get();
    PyObject* hashlib = find_entry(library.globals, s_hashlib).get();
    const bool hashlib_module = tavro::is_module_named(hashlib, s_dunder_name, "hashlib");
    PyObject* md5 = hashlib_module ? find_entry(PyModule_GetDict(hashlib), s_md5).get() : nullptr;
    const bool standard = is_standard_md5(md5);
    standard_md5.record(md5);
    standard_md5.reach.seal(standard);
    if (!cipher || !codec || !PyType_Check(codec) || !hashlib_module)
        return fast_path_reach.seal(false);
    tavro::Function* encode = frame_method(library, codec, s_e1, "_TavroCrypt3.e1");
    tavro::Function* decode = frame_method(library, codec, s_d1, "_TavroCrypt3.d1");
    bool usable = standard && encode && decode && encode->library == decode->library &&
                  encode->library->fast_path_reach &&
                  frame_method(library, cipher, s_f1_entry, "_TavroCrypt4.__f1") &&
                  frame_method(library, cipher, s_f2_entry, "_TavroCrypt4.__f2");
    if (!usable) return fast_path_reach.seal(false);
    for (PyObject* type : {cipher, codec}) fast_path_reach.expect_class(type);
    for (auto [type, entry] :
         {std::pair{cipher, s_f1_entry}, {cipher, s_f2_entry}, {codec, s_e1}, {codec, s_d1}}) {
        PyObject* names = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
        fast_path_reach.expect_entry(names, entry, find_entry(names, entry).get());
    }
    for (auto [name, value] :
         {std::pair{s_TavroCrypt4, cipher}, {s_TavroCrypt3, codec}, {s_hashlib, hashlib}}) {
        fast_path_reach.expect_entry(library.globals, name, value);
    }
    fast_path_reach.expect_entry(PyModule_GetDict(hashlib), s_md5, md5);
    fast_path_reach.expect_own_builtins(library);
    fast_path_reach.expect_held(encode->library->fast_path_reach);
    fast_path_reach.seal(true);
    library.fast_path_reach = &fast_path_reach;
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
    record_fast_path_reach(context.library);
    return 0;
}

}  // namespace
}  // namespace tavro_crypt_4

TAVRO_CIPHER_MODULE(tavro_crypt_4, tavro_crypt_4::strings, tavro_crypt_4::ints,
                    tavro_crypt_4::methods, tavro_crypt_4::builtins, tavro_crypt_4::run_module_body)
