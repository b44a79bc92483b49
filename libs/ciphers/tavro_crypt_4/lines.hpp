// _TavroCrypt4's line map, and what the module's files share.
//
// Line numbers are those of the reference body beside this file, reference.py: each
// constant carries the statement it stands for, and tests/test_line_map.py holds every
// constant to its statement.
#pragma once

#include "ciphers/pinned.hpp"
#include "frame/calls.hpp"
#include "frame/fast_answer.hpp"
#include "frame/library.hpp"
#include "frame/reach_guard.hpp"
#include "native/token.hpp"

namespace tavro_crypt_4 {

using tavro::Context;
using tavro::Ref;
namespace token = tavro::token;

#define TAVRO_CRYPT_4_IDENTIFIERS(X)                                                            \
    X(s_hashlib, "hashlib") X(s_random, "random") X(s_numpy, "numpy") X(s_np, "np")             \
    X(s_crypt_3_module, "tavro.libs.ciphers.tavro_crypt_3") X(s_TavroCrypt3, "_TavroCrypt3")    \
    X(s_TavroCrypt4, "_TavroCrypt4") X(s_f1_entry, "_TavroCrypt4__f1")                          \
    X(s_f2_entry, "_TavroCrypt4__f2") X(s_e1, "e1") X(s_d1, "d1") X(s_md5, "md5")               \
    X(s_hexdigest, "hexdigest") X(s_encode, "encode") X(s_rstrip, "rstrip") X(s_range, "range") \
    X(s_test, "__test__")                                                                       \
    X(s_x1, "x1") X(s_x, "x") X(s_v, "v") X(s_y, "y") X(s_u, "u") X(s_a, "a") X(s_b, "b")       \
    X(s_q, "q") X(s_r, "r") X(s_s, "s") X(s_t, "t") X(s_raw, "raw") X(s_ln, "ln")               \
    X(s_r1, "r1") X(s_tmp, "tmp") X(s_i, "i") X(s_k, "k") X(s_j, "j")                           \
    X(s_encrypted, "encrypted") X(s_enc, "enc") X(s_c1, "c1") X(s_c2, "c2") X(s_lc, "lc")       \
    X(s_m, "m") X(s_dunder_name, "__name__") X(s_dunder_func, "__func__") X(s_str, "str")       \
    X(s_int, "int") X(s_bytearray, "bytearray")
#define TAVRO_CRYPT_4_LITERALS(X) X(s_equals, "=") X(s_utf_8, "utf-8")
#define TAVRO_CRYPT_4_INTEGERS(X)                                                              \
    X(i_0, 0) X(i_1, 1) X(i_2, 2) X(i_8, token::position_keys) X(i_10, token::header_size)     \
    X(i_32, token::tag_size) X(i_256, 256) X(i_fallback_multiplier, token::fallback_multiplier)

TAVRO_CRYPT_4_IDENTIFIERS(TAVRO_EXTERN)
TAVRO_CRYPT_4_LITERALS(TAVRO_EXTERN)
TAVRO_CRYPT_4_INTEGERS(TAVRO_EXTERN)
extern PyObject* i_key[token::header_size];  // the key table's entries

// Calls on fewer plain bytes (token characters, for d1) keep the interpreter lock. Timed on
// two cores, for e1 and d1 of 1 to 64 KiB, letting it go changed one thread's time by less
// than the noise at every size, while two threads' calls per second, over one thread's, went
// from 0.77-0.98x to: 0.66-1.31x at 1 KiB (so not there), 1.18-1.43x at 2 KiB, 1.44-1.70x
// at 4 KiB, 1.75-1.97x at 8 KiB.
inline constexpr std::size_t unlocked_from = 4 * 1024;

// The fast paths give what the bodies would, without their calls, while the classes, their
// helpers, `hashlib.md5` and the codec's own reach are as they were at load.
extern tavro::ReachGuard fast_path_reach;
// hashlib's own md5, which the general paths answer for as 3.9 does.
extern tavro::pinned::Function standard_md5;

// The module body.
constexpr int line_import_hashlib = 4;  // import hashlib
constexpr int line_import_random = 5;  // import random
constexpr int line_import_numpy = 6;  // import numpy as np
constexpr int line_import_crypt_3 = 7;  // from tavro.libs.ciphers.tavro_crypt_3 import _T...
constexpr int line_class = 10;  // class _TavroCrypt4:
constexpr int line_test = 75;  // __test__ = {}

// __f1(x1): inverse of x1 modulo 256 by the extended Euclidean algorithm (for odd x1).
constexpr int line_f1 = 12;  // def __f1(x1):
constexpr int line_f1_reduce = 15;  // a, b = 256, x1 % 256
constexpr int line_f1_loop = 16;  // while b != 0:
constexpr int line_f1_quotient = 17;  // q = int(a / b)
constexpr int line_f1_remainder = 18;  // r = int(a - b * q)
constexpr int line_f1_s = 19;  // s = int(x - u * q)
constexpr int line_f1_t = 20;  // t = int(y - v * q)
constexpr int line_f1_until_positive = 22;  // while y < 0:
constexpr int line_f1_add = 23;  // y += 256

// __f2(): a new list holding the key table.
constexpr int line_f2 = 27;  // def __f2():
constexpr int line_f2_return = 28;  // return [0x6B, 0x3D, 0xA7, 0x12, 0xC4, 0x5E, 0x89, 0...

// e1(raw): the token of a text or of a sequence of byte values.
constexpr int line_e1 = 31;  // def e1(raw):
constexpr int line_e1_isinstance = 32;  // if isinstance(raw, str):
constexpr int line_e1_encode = 33;  // raw = raw.encode("utf-8")
constexpr int line_e1_length = 34;  // ln = len(raw)
constexpr int line_e1_payload = 35;  // r1 = bytearray()
constexpr int line_e1_key_table = 36;  // tmp = _TavroCrypt4.__f2()
constexpr int line_e1_header_loop = 37;  // for i in range(len(tmp)):
constexpr int line_e1_header_append = 38;  // r1.append(tmp[i])
constexpr int line_e1_seed = 39;  // i = r1[0]
constexpr int line_e1_offset = 40;  // k = r1[1]
constexpr int line_e1_make_odd = 41;  // i += 1 if i % 2 == 0 else 0
constexpr int line_e1_is_one = 42;  // if i == 1:
constexpr int line_e1_loop = 44;  // for j in range(ln):
constexpr int line_e1_encipher = 45;  // tmp = (int(raw[j]) * i + k + r1[2 + j % 8]) % 256
constexpr int line_e1_append = 46;  // r1.append(tmp)
constexpr int line_e1_body = 47;  // r1 = _TavroCrypt3.e1(r1).rstrip("=")
constexpr int line_e1_tag = 48;  // return r1 + hashlib.md5(r1.encode("utf-8")).hexdigest()

// d1(encrypted, enc=None): the bytes (or text) of a token, or None when its tag differs.
constexpr int line_d1 = 51;  // def d1(encrypted, enc=None):
constexpr int line_d1_body = 52;  // raw = encrypted[0:len(encrypted) - 32]
constexpr int line_d1_tag = 53;  // c1 = encrypted[len(encrypted) - 32:]
constexpr int line_d1_digest = 54;  // c2 = hashlib.md5(raw.encode("utf-8")).hexdigest()
constexpr int line_d1_compare = 55;  // if c2 != c1:
constexpr int line_d1_payload = 57;  // raw = _TavroCrypt3.d1(raw)
constexpr int line_d1_length = 58;  // ln = len(raw)
constexpr int line_d1_seed = 59;  // i = raw[0]
constexpr int line_d1_even = 60;  // if i % 2 == 0:
constexpr int line_d1_make_odd = 61;  // i += 1
constexpr int line_d1_is_one = 62;  // if i == 1:
constexpr int line_d1_inverse = 64;  // lc = _TavroCrypt4.__f1(i)
constexpr int line_d1_offset = 65;  // m = raw[1]
constexpr int line_d1_output = 66;  // r1 = bytearray()
constexpr int line_d1_loop = 67;  // for j in range(10, ln):
constexpr int line_d1_decipher = 68;  // tmp = ((raw[j] - raw[2 + (j - 10) % 8] - m) * lc)...
constexpr int line_d1_append = 69;  // r1.append(tmp)
constexpr int line_d1_if_enc = 70;  // if enc:
constexpr int line_d1_decode = 71;  // return r1.decode(encoding=enc)

// The paths of e1 and d1 (see tavro::Method): fast.cpp, general.cpp, and written_39.cpp
// for 3.9 calls whose builtins are not the module's own.
tavro::FastAnswer e1_fast(Context& context, PyObject* const* parameters);
PyObject* e1_general(Context& context, PyObject* const* parameters);
PyObject* e1_written(Context& context, PyObject* const* parameters);
tavro::FastAnswer d1_fast(Context& context, PyObject* const* parameters);
PyObject* d1_general(Context& context, PyObject* const* parameters);
PyObject* d1_written(Context& context, PyObject* const* parameters);

// What the general paths and the bodies as written share.

// Python's `value % 256` for any int, as a C value in 0..255.
bool byte_of(PyObject* integer, long& byte);

// int(value()) for the result of Python operators; the call's own `int`, if it has one, is
// looked up before they run.
template <class Value>
Ref truncate(Context& context, Value&& value) {
    if (!context.foreign_builtins()) {
        Ref computed = Ref::steal(value());
        return computed ? Ref::steal(PyNumber_Long(computed.get())) : Ref();
    }
    Ref to_int = tavro::global(context, s_int);
    Ref computed = to_int ? Ref::steal(value()) : Ref();
    return computed ? tavro::call(to_int.get(), {computed.get()}) : Ref();
}

// Hex MD5 digest of the UTF-8 form of `text`, through the module global `hashlib`.
Ref md5_hex(Context& context, PyObject* text);
// The token of a payload: its Base64 text without padding, then the MD5 digest of that.
PyObject* seal(Context& context, PyObject* payload);
// The first five statements of d1: 1 with `payload` set to `_TavroCrypt3.d1` of the token's
// body when its tag matches, 0 when the tag differs (d1 answers None), -1 with an exception
// set.
int open_payload(Context& context, PyObject* encrypted, Ref& payload);
// The multiplier from header byte 0, with Python's operators: the payload may be anything
// that _TavroCrypt3.d1 was rebound to return.
Ref multiplier_from_seed(Context& context, Ref seed);

}  // namespace tavro_crypt_4
