// _TavroCrypt3's line map, and what the module's files share.
//
// e1 and d1 never raise for bad data (they answer "" and None); e2 lets errors through.
// Line numbers are those of the reference body beside this file, reference.py: each
// constant carries the statement it stands for, and tests/test_line_map.py holds every
// constant to its statement.
#pragma once

#include "ciphers/pinned.hpp"
#include "frame/fast_answer.hpp"
#include "frame/library.hpp"
#include "frame/reach_guard.hpp"

namespace tavro_crypt_3 {

using tavro::Context;
using tavro::Ref;

#define TAVRO_CRYPT_3_IDENTIFIERS(X)                                                            \
    X(s_base64, "base64") X(s_b64encode, "b64encode")                                           \
    X(s_urlsafe_b64decode, "urlsafe_b64decode") X(s_decode, "decode") X(s_encode, "encode")     \
    X(s_encoding, "encoding") X(s_rstrip, "rstrip") X(s_e1, "e1") X(s_e2, "e2")                 \
    X(s_d1, "d1") X(s_raw, "raw") X(s_enc, "enc") X(s_bs, "bs") X(s_ed, "ed")                   \
    X(s_dd, "dd") X(s_class_name, "_TavroCrypt3") X(s_test, "__test__")                         \
    X(s_b64decode, "b64decode") X(s_bytes_from_decode_data, "_bytes_from_decode_data")          \
    X(s_urlsafe_decode_translation, "_urlsafe_decode_translation") X(s_binascii, "binascii")    \
    X(s_b2a_base64, "b2a_base64") X(s_a2b_base64, "a2b_base64") X(s_bytes_types, "bytes_types") \
    X(s_isinstance, "isinstance") X(s_str, "str") X(s_bytes, "bytes")                           \
    X(s_dunder_name, "__name__") X(s_memoryview, "memoryview") X(s_translate, "translate")      \
    X(s_dunder_class, "__class__")
#define TAVRO_CRYPT_3_LITERALS(X)                                                 \
    X(s_empty, "") X(s_equals, "=") X(s_upper_utf_8, "UTF-8") X(s_utf_8, "utf-8") \
    X(s_ascii, "ascii")

TAVRO_CRYPT_3_IDENTIFIERS(TAVRO_EXTERN)
TAVRO_CRYPT_3_LITERALS(TAVRO_EXTERN)
extern PyObject* i_4;

// Calls on fewer bytes (characters, for d1) keep the interpreter lock. Base64 alone does a
// tenth of the cipher's work per byte, so it takes more bytes to gain: timed on two cores,
// two threads' calls per second, over one thread's, went from 0.76-1.05x with the lock held
// to 0.65-1.19x let go at 4 KiB, 1.03-1.5x at 16 KiB, 1.1-1.82x at 64 KiB; one thread's time
// did not move beyond the noise.
inline constexpr std::size_t unlocked_from = 16 * 1024;

// The fast paths give what the bodies would, without their calls, while the module's
// `base64` and all that its functions reach are the standard library's, as at load.
extern tavro::ReachGuard fast_path_reach;

// The interpreter's own base64 functions, which the general paths answer for as 3.9 does.
extern tavro::pinned::Function standard_b64encode, standard_urlsafe_b64decode;
extern tavro::pinned::DecodeNames decode_names;

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

// e2(raw): e1 without its "=" padding.
constexpr int line_e2 = 20;  // def e2(raw):
constexpr int line_e2_return = 21;  // return _TavroCrypt3.e1(raw).rstrip("=")

// d1(raw, enc=None): decodes either alphabet, restoring missing padding; None on any failure.
constexpr int line_d1 = 24;  // def d1(raw, enc=None):
constexpr int line_d1_isinstance = 26;  // if isinstance(raw, bytes):
constexpr int line_d1_text = 27;  // raw = raw.decode("UTF-8")
constexpr int line_d1_b64decode = 28;  // dd = base64.urlsafe_b64decode(raw + "=" * (-len(raw) % 4))
constexpr int line_d1_if_enc = 29;  // if enc:
constexpr int line_d1_decode = 30;  // return dd.decode(encoding=enc)
constexpr int line_d1_except_memory_error = 32;  // except MemoryError: raise
constexpr int line_d1_except_exception = 33;  // except Exception: return None

constexpr int line_test = 36;  // __test__ = {}

// The paths of e1 and d1 (see tavro::Method): fast.cpp and general.cpp. The general paths
// are the bodies as written, 3.9 calls with builtins of their own included.
tavro::FastAnswer e1_fast(Context& context, PyObject* const* parameters);
PyObject* e1_general(Context& context, PyObject* const* parameters);
tavro::FastAnswer d1_fast(Context& context, PyObject* const* parameters);
PyObject* d1_general(Context& context, PyObject* const* parameters);

}  // namespace tavro_crypt_3
