// tavro_crypt_3's module definition: the Base64 text codec `_TavroCrypt3`.
//
// Its names, the class's methods and what their fast paths rely on; e1 and d1 are made in
// fast.cpp and general.cpp beside this file.
#include "lines.hpp"

#include "frame/calls.hpp"
#include "frame/loading.hpp"
#include "frame/statements.hpp"

namespace tavro_crypt_3 {

TAVRO_CRYPT_3_IDENTIFIERS(TAVRO_DECLARE)
TAVRO_CRYPT_3_LITERALS(TAVRO_DECLARE)
PyObject* i_4;

tavro::ReachGuard fast_path_reach;
tavro::pinned::Function standard_b64encode, standard_urlsafe_b64decode;
tavro::pinned::DecodeNames decode_names;

namespace {

const tavro::StringConstant strings[] = {TAVRO_CRYPT_3_IDENTIFIERS(TAVRO_IDENTIFIER_ROW)
                                             TAVRO_CRYPT_3_LITERALS(TAVRO_LITERAL_ROW)};

const tavro::IntConstant ints[] = {{&i_4, 4}};

PyObject* e2(Context& context, PyObject* const* parameters) {
    context.line = line_e2_return;
    Ref padded = tavro::call_global_method(context, s_class_name, s_e1, {parameters[0]});
    if (!padded) return nullptr;
    return tavro::call_method(padded.get(), s_rstrip, {s_equals}).release();
}

tavro::Method methods[] = {
    {.name = "e1",
     .qualname = "_TavroCrypt3.e1",
     .class_entry = &s_e1,
     .parameter_count = 1,
     .required_count = 1,
     .locals = {&s_raw, &s_bs, &s_ed},
     .definition_line = line_e1,
     .fast = e1_fast,
     .general = e1_general},
    {.name = "e2",
     .qualname = "_TavroCrypt3.e2",
     .class_entry = &s_e2,
     .parameter_count = 1,
     .required_count = 1,
     .locals = {&s_raw},
     .definition_line = line_e2,
     .general = e2},
    {.name = "d1",
     .qualname = "_TavroCrypt3.d1",
     .class_entry = &s_d1,
     .parameter_count = 2,
     .required_count = 1,
     .locals = {&s_raw, &s_enc, &s_dd},
     .definition_line = line_d1,
     .fast = d1_fast,
     .general = d1_general},
};

// bytes.maketrans(b"-_", b"+/"), the table that turns the URL-safe alphabet into the standard.
bool is_urlsafe_translation(PyObject* table) {
    if (!table || !PyBytes_CheckExact(table) || PyBytes_GET_SIZE(table) != 256) return false;
    const auto* entries = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(table));
    for (int index = 0; index < 256; ++index) {
        int expected = index == '-' ? '+' : index == '_' ? '/' : index;
        if (entries[index] != expected) return false;
    }
    return true;
}

// base64's own encoder and URL-safe decoder with what each reaches, for the general paths.
void record_standard_functions(PyObject* base64_names, PyObject* binascii, PyObject* builtin_names,
                               bool usable) {
    using tavro::find_entry;
    PyObject* binascii_names = PyModule_GetDict(binascii);
    auto& encoder = standard_b64encode;
    encoder.record(find_entry(base64_names, s_b64encode).get());
    encoder.reach.expect_function(find_entry(base64_names, s_b64encode).get());
    encoder.reach.expect_entry(base64_names, s_binascii, binascii);
    encoder.reach.expect_entry(binascii_names, s_b2a_base64,
                               find_entry(binascii_names, s_b2a_base64).get());
    encoder.reach.seal(usable);

    auto& decoder = standard_urlsafe_b64decode;
    decoder.record(find_entry(base64_names, s_urlsafe_b64decode).get());
    for (PyObject* name : {s_urlsafe_b64decode, s_b64decode, s_bytes_from_decode_data}) {
        decoder.reach.expect_function(find_entry(base64_names, name).get());
    }
    for (PyObject* name : {s_b64decode, s_bytes_from_decode_data, s_urlsafe_decode_translation,
                           s_bytes_types, s_binascii}) {
        decoder.reach.expect_entry(base64_names, name, find_entry(base64_names, name).get());
    }
    decoder.reach.expect_entry(binascii_names, s_a2b_base64,
                               find_entry(binascii_names, s_a2b_base64).get());
    for (PyObject* name : {s_isinstance, s_str, s_memoryview}) {
        decoder.reach.expect_entry(builtin_names, name, find_entry(builtin_names, name).get());
    }
    PyObject* memoryview = find_entry(builtin_names, s_memoryview).get();
    decoder.reach.seal(usable && memoryview == reinterpret_cast<PyObject*>(&PyMemoryView_Type));
    decode_names = {s_encode,
                    s_ascii,
                    s_translate,
                    s_dunder_class,
                    s_dunder_name,
                    find_entry(base64_names, s_urlsafe_decode_translation).get(),
                    find_entry(base64_names, s_bytes_types).get()};
}

// What the bodies reach through `base64`: its functions, and what those use of the module,
// of `binascii` and of the builtins on the way that plain input takes.
void record_fast_path_reach(tavro::Library& library) {
    using tavro::find_entry;
    PyObject* base64 = find_entry(library.globals, s_base64).get();
    bool usable = tavro::is_module_named(base64, s_dunder_name, "base64");
    if (!usable) return fast_path_reach.seal(false);
    PyObject* base64_names = PyModule_GetDict(base64);
    PyObject* binascii = find_entry(base64_names, s_binascii).get();
    PyObject* translation = find_entry(base64_names, s_urlsafe_decode_translation).get();
    PyObject* bytes_types = find_entry(base64_names, s_bytes_types).get();
    usable = tavro::is_module_named(binascii, s_dunder_name, "binascii") &&
             !find_entry(base64_names, s_isinstance) && !find_entry(base64_names, s_str) &&
             is_urlsafe_translation(translation) && bytes_types &&
             PyTuple_CheckExact(bytes_types) && PyTuple_GET_SIZE(bytes_types) == 2 &&
             PyTuple_GET_ITEM(bytes_types, 0) == reinterpret_cast<PyObject*>(&PyBytes_Type) &&
             PyTuple_GET_ITEM(bytes_types, 1) == reinterpret_cast<PyObject*>(&PyByteArray_Type);
    if (!usable) return fast_path_reach.seal(false);
    PyObject* binascii_names = PyModule_GetDict(binascii);
    PyObject* b2a = find_entry(binascii_names, s_b2a_base64).get();
    PyObject* a2b = find_entry(binascii_names, s_a2b_base64).get();
    PyObject* builtin_names = PyModule_GetDict(library.builtins);
    PyObject* isinstance = find_entry(builtin_names, s_isinstance).get();
    usable = tavro::is_builtin_of(b2a, binascii) && tavro::is_builtin_of(a2b, binascii) &&
             tavro::is_builtin_of(isinstance, library.builtins) &&
             find_entry(builtin_names, s_str).get() == reinterpret_cast<PyObject*>(&PyUnicode_Type);
    record_standard_functions(base64_names, binascii, builtin_names, usable);
    fast_path_reach.expect_entry(library.globals, s_base64, base64);
    fast_path_reach.expect_unchanged(base64_names);
    for (PyObject* name :
         {s_b64encode, s_urlsafe_b64decode, s_b64decode, s_bytes_from_decode_data}) {
        fast_path_reach.expect_function(find_entry(base64_names, name).get());
    }
    fast_path_reach.expect_entry(binascii_names, s_b2a_base64, b2a);
    fast_path_reach.expect_entry(binascii_names, s_a2b_base64, a2b);
    fast_path_reach.expect_entry(builtin_names, s_isinstance, isinstance);
    fast_path_reach.expect_entry(builtin_names, s_str,
                                 reinterpret_cast<PyObject*>(&PyUnicode_Type));
    fast_path_reach.expect_own_builtins(library);
    fast_path_reach.seal(usable);
    library.fast_path_reach = &fast_path_reach;
}

int run_module_body(Context& context) {
    context.line = line_import_base64;
    if (!tavro::import_module(context, s_base64, s_base64)) return -1;
    if (!tavro::build_class(context, s_class_name, line_class, methods)) return -1;
    context.line = line_test;
    if (!tavro::bind_new_dict(context, s_test)) return -1;
    record_fast_path_reach(context.library);
    return 0;
}

}  // namespace
}  // namespace tavro_crypt_3

TAVRO_CIPHER_MODULE(tavro_crypt_3, tavro_crypt_3::strings, tavro_crypt_3::ints,
                    tavro_crypt_3::methods, {}, tavro_crypt_3::run_module_body)
