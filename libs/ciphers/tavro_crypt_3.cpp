// tavro_crypt_3: the Base64 text codec `_TavroCrypt3`.
//
// e1 and d1 never raise for bad data (they answer "" and None); e2 lets errors through.
// Line numbers are those of the plain-Python rendering beside this file, tavro_crypt_3.py,
// which tests hold the code to.
#include "frame/calls.hpp"
#include "frame/fast_answer.hpp"
#include "frame/loading.hpp"
#include "frame/reach_guard.hpp"
#include "frame/statements.hpp"
#include "frame/unlocked.hpp"
#include "native/base64.hpp"
#include "native/utf8.hpp"
#include "pinned.hpp"


using tavro::Context;
using tavro::Ref;

namespace {

#define IDENTIFIERS(X)                                                                   \
    X(s_base64, "base64") X(s_b64encode, "b64encode")                                     \
    X(s_urlsafe_b64decode, "urlsafe_b64decode") X(s_decode, "decode") X(s_encode, "encode") \
    X(s_encoding, "encoding") X(s_rstrip, "rstrip") X(s_e1, "e1") X(s_e2, "e2")           \
    X(s_d1, "d1") X(s_raw, "raw") X(s_enc, "enc") X(s_bs, "bs") X(s_ed, "ed")             \
    X(s_dd, "dd") X(s_class_name, "_TavroCrypt3") X(s_test, "__test__")                   \
    X(s_b64decode, "b64decode") X(s_bytes_from_decode_data, "_bytes_from_decode_data")     \
    X(s_urlsafe_decode_translation, "_urlsafe_decode_translation") X(s_binascii, "binascii") \
    X(s_b2a_base64, "b2a_base64") X(s_a2b_base64, "a2b_base64") X(s_bytes_types, "bytes_types") \
    X(s_isinstance, "isinstance") X(s_str, "str") X(s_bytes, "bytes")                    \
    X(s_dunder_name, "__name__") X(s_memoryview, "memoryview") X(s_translate, "translate")   \
    X(s_dunder_class, "__class__")
#define LITERALS(X)                                                                         \
    X(s_empty, "") X(s_equals, "=") X(s_upper_utf_8, "UTF-8") X(s_utf_8, "utf-8") X(s_ascii, "ascii")

IDENTIFIERS(TAVRO_DECLARE)
LITERALS(TAVRO_DECLARE)

const tavro::StringConstant strings[] = {IDENTIFIERS(TAVRO_IDENTIFIER_ROW)
                                             LITERALS(TAVRO_LITERAL_ROW)};

PyObject* i_4;
const tavro::IntConstant ints[] = {{&i_4, 4}};

// Calls on fewer bytes (characters, for d1) keep the interpreter lock. Base64 alone does a
// tenth of the cipher's work per byte, so it takes more bytes to gain: timed on two cores,
// two threads' calls per second, over one thread's, went from 0.76-1.05x with the lock held
// to 0.65-1.19x let go at 4 KiB, 1.03-1.5x at 16 KiB, 1.1-1.82x at 64 KiB; one thread's time
// did not move beyond the noise.
constexpr std::size_t unlocked_from = 16 * 1024;

// The fast paths give what the bodies would, without their calls, while the module's
// `base64` and all that its functions reach are the standard library's, as at load.
tavro::ReachGuard fast_path_reach;

// The interpreter's own base64 functions, which the general paths answer for as 3.9 does.
tavro::pinned::Function standard_b64encode, standard_urlsafe_b64decode;
tavro::pinned::DecodeNames decode_names;

constexpr int line_import_base64 = 4;  // import base64
constexpr int line_class = 7;  // class _TavroCrypt3:

// e1(raw): Base64 text in the standard alphabet, padded; "" on any failure.
constexpr int line_e1 = 9;  // def e1(raw):
constexpr int line_e1_isinstance = 11;  // if isinstance(raw, str):
constexpr int line_e1_encode = 12;  // raw = raw.encode("utf-8")
constexpr int line_e1_b64encode = 13;  // bs = base64.b64encode(raw)
constexpr int line_e1_decode = 14;  // ed = bs.decode(encoding="UTF-8")
constexpr int line_e1_except_memory_error = 15;  // except MemoryError: raise
constexpr int line_e1_except_exception = 16;  // except Exception: ed = ""

Ref encode_base64(Context& context, PyObject* raw) {
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
    if (standard_b64encode.answers(b64encode.get())) return tavro::pinned::b64encode_text(data.get());
    Ref bs = tavro::call(b64encode.get(), {data.get()});
    if (!bs) return {};
    context.line = line_e1_decode;
    if (PyBytes_CheckExact(bs.get())) {
        return Ref::steal(
            PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bs.get()), PyBytes_GET_SIZE(bs.get()), nullptr));
    }
    return tavro::call_method_with_keyword(context, bs.get(), s_decode, s_encoding,
                                           s_upper_utf_8);
}

tavro::FastAnswer encode_fast(PyObject* raw) {
    tavro::PlainBytes plain;
    if (!fast_path_reach.hold() || !tavro::plain_bytes(raw, plain)) {
        return tavro::FastAnswer::declined();
    }
    const Py_ssize_t size = tavro::base64::encoded_size(plain.size, true);
    Ref text = Ref::steal(PyUnicode_New(size, tavro::ascii_max));
    if (!text) {
        PyErr_Clear();
        return tavro::FastAnswer::declined();
    }
    char* const out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
    {
        const auto bytes = static_cast<std::size_t>(plain.size);
        tavro::Unlocked work(plain.immutable && bytes >= unlocked_from);
        tavro::base64::encode(plain.data, bytes, out, true);
    }
    return tavro::FastAnswer::answered(std::move(text));
}

PyObject* e1(Context& context, PyObject* const* parameters) {
    if (!context.builtins) {
        if (auto fast = encode_fast(parameters[0]); fast.answered()) return fast.release();
    }
    Ref ed = encode_base64(context, parameters[0]);
    if (!ed) {
        if (!tavro::swallow_exception(context, line_e1_except_memory_error,
                                      line_e1_except_exception)) {
            return nullptr;
        }
        ed = Ref::borrow(s_empty);
    }
    return ed.release();
}

// e2(raw): e1 without its "=" padding.
constexpr int line_e2 = 20;  // def e2(raw):
constexpr int line_e2_return = 21;  // return _TavroCrypt3.e1(raw).rstrip("=")

PyObject* e2(Context& context, PyObject* const* parameters) {
    context.line = line_e2_return;
    Ref padded = tavro::call_global_method(context, s_class_name, s_e1, {parameters[0]});
    if (!padded) return nullptr;
    return tavro::call_method(padded.get(), s_rstrip, {s_equals}).release();
}

// d1(raw, enc=None): decodes either alphabet, restoring missing padding; None on any failure.
constexpr int line_d1 = 24;  // def d1(raw, enc=None):
constexpr int line_d1_isinstance = 26;  // if isinstance(raw, bytes):
constexpr int line_d1_text = 27;  // raw = raw.decode("UTF-8")
constexpr int line_d1_b64decode = 28;  // dd = base64.urlsafe_b64decode(raw + "=" * (-len(raw) % 4))
constexpr int line_d1_if_enc = 29;  // if enc:
constexpr int line_d1_decode = 30;  // return dd.decode(encoding=enc)
constexpr int line_d1_except_memory_error = 32;  // except MemoryError: raise
constexpr int line_d1_except_exception = 33;  // except Exception: return None

Ref decode_base64(Context& context, PyObject* raw, PyObject* enc) {
    Ref text = Ref::borrow(raw);
    context.line = line_d1_isinstance;
    int is_bytes = tavro::is_instance(context, raw, s_bytes, &PyBytes_Type);
    if (is_bytes < 0) return {};
    if (is_bytes) {
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
    context.line = line_d1_if_enc;
    int wants_text = tavro::truth(enc);
    if (wants_text < 0) return {};
    if (!wants_text) return dd;
    context.line = line_d1_decode;
    return tavro::call_method_with_keyword(context, dd.get(), s_decode, s_encoding, enc);
}

// Text as the body reads it, for the fast path: an exact str, or an exact bytes (which the
// body decodes as UTF-8). A bytearray, or text that is not ASCII, always comes to None: the
// body's `raw + "="...` refuses the one, the decoder's ASCII check the other.
struct FastText {
    const char* text = nullptr;
    Py_ssize_t size = 0;
    bool none = false;  // the call answers None
};
bool fast_text(PyObject* raw, FastText& found) {
    if (PyUnicode_CheckExact(raw)) {
        found.none = !PyUnicode_IS_ASCII(raw);
        found.text = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(raw));
        found.size = PyUnicode_GET_LENGTH(raw);
    } else if (PyBytes_CheckExact(raw)) {
        found.text = PyBytes_AS_STRING(raw);
        found.size = PyBytes_GET_SIZE(raw);
    } else {
        found.none = PyByteArray_CheckExact(raw);
        return found.none;
    }
    return true;
}

// Base64 text as str or bytes: plain (see tavro::base64::decode_plain), padded, or anything
// else 3.9's decoder reads (lines, stray characters), which the pinned decoder answers.
tavro::FastAnswer decode_fast(Context& context, PyObject* raw, PyObject* enc) {
    FastText text;
    tavro::PlainEncoding encoding;
    if (!fast_text(raw, text) || !tavro::plain_encoding(enc, encoding) || !fast_path_reach.hold()) {
        return tavro::FastAnswer::declined();
    }
    if (text.none) return tavro::FastAnswer::answered(Ref::borrow(Py_None));
    const auto size = static_cast<std::size_t>(text.size);
    const std::size_t body = tavro::base64::before_padding(text.text, size);
    Py_ssize_t decoded_size = tavro::base64::decoded_size(body);
    Ref dd = Ref::steal(PyBytes_FromStringAndSize(nullptr, decoded_size));
    if (!dd) {
        PyErr_Clear();
        return tavro::FastAnswer::declined();
    }
    auto* decoded = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(dd.get()));
    bool plain_base64;
    {
        // An exact str or bytes never changes: held here, its bytes can be read with the lock
        // let go.
        const Ref held = Ref::borrow(raw);
        tavro::Unlocked work(size >= unlocked_from);
        plain_base64 = tavro::base64::decode_plain(text.text, body, decoded);
    }
    if (!plain_base64) {
        const auto* characters = reinterpret_cast<const unsigned char*>(text.text);
        if (!tavro::is_ascii(characters, size)) return tavro::FastAnswer::answered(Ref::borrow(Py_None));
        if (!standard_urlsafe_b64decode.reach.hold()) return tavro::FastAnswer::declined();
        // The lenient decoder needs room for 3 bytes per 4 characters, whatever they are.
        decoded_size = (text.size + 3) / 4 * 3;
        dd = Ref::steal(PyBytes_FromStringAndSize(nullptr, decoded_size));
        if (!dd) {
            PyErr_Clear();
            return tavro::FastAnswer::declined();
        }
        decoded = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(dd.get()));
        // The body pads by the length of the whole text, characters the decoder skips included.
        const auto result = tavro::base64::decode_lenient(characters, size, decoded, (4 - size % 4) % 4);
        if (result.status != tavro::base64::Lenient::decoded) {
            return tavro::FastAnswer::answered(Ref::borrow(Py_None));
        }
        if (static_cast<Py_ssize_t>(result.size) != decoded_size) {
            decoded_size = static_cast<Py_ssize_t>(result.size);
            // The output is new and ours alone, as resizing in place requires.
            PyObject* resized = dd.release();
            if (_PyBytes_Resize(&resized, decoded_size) < 0) {
                PyErr_Clear();
                return tavro::FastAnswer::declined();
            }
            dd = Ref::steal(resized);
        }
    }
    if (!encoding.name) return tavro::FastAnswer::answered(std::move(dd));
    context.line = line_d1_decode;
    Ref result = Ref::steal(PyUnicode_Decode(PyBytes_AS_STRING(dd.get()), decoded_size,
                                         encoding.name, nullptr));
    if (!result && tavro::swallow_exception(context, line_d1_except_memory_error,
                                            line_d1_except_exception)) {
        result = Ref::borrow(Py_None);
    }
    return tavro::FastAnswer::answered(std::move(result));
}

PyObject* d1(Context& context, PyObject* const* parameters) {
    if (!context.builtins) {
        auto fast = decode_fast(context, parameters[0], parameters[1]);
        if (fast.answered()) return fast.release();
    }
    Ref result = decode_base64(context, parameters[0], parameters[1]);
    if (!result) {
        if (!tavro::swallow_exception(context, line_d1_except_memory_error,
                                      line_d1_except_exception)) {
            return nullptr;
        }
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

constexpr int line_test = 36;  // __test__ = {}

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
    encoder.reach.expect_entry(binascii_names, s_b2a_base64, find_entry(binascii_names, s_b2a_base64).get());
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
    decoder.reach.expect_entry(binascii_names, s_a2b_base64, find_entry(binascii_names, s_a2b_base64).get());
    for (PyObject* name : {s_isinstance, s_str, s_memoryview}) {
        decoder.reach.expect_entry(builtin_names, name, find_entry(builtin_names, name).get());
    }
    PyObject* memoryview = find_entry(builtin_names, s_memoryview).get();
    decoder.reach.seal(usable && memoryview == reinterpret_cast<PyObject*>(&PyMemoryView_Type));
    decode_names = {s_encode, s_ascii, s_translate, s_dunder_class, s_dunder_name,
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
             is_urlsafe_translation(translation) && bytes_types && PyTuple_CheckExact(bytes_types) &&
             PyTuple_GET_SIZE(bytes_types) == 2 &&
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
    for (PyObject* name : {s_b64encode, s_urlsafe_b64decode, s_b64decode, s_bytes_from_decode_data}) {
        fast_path_reach.expect_function(find_entry(base64_names, name).get());
    }
    fast_path_reach.expect_entry(binascii_names, s_b2a_base64, b2a);
    fast_path_reach.expect_entry(binascii_names, s_a2b_base64, a2b);
    fast_path_reach.expect_entry(builtin_names, s_isinstance, isinstance);
    fast_path_reach.expect_entry(builtin_names, s_str, reinterpret_cast<PyObject*>(&PyUnicode_Type));
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

TAVRO_CIPHER_MODULE(tavro_crypt_3, strings, ints, methods, {}, run_module_body)
