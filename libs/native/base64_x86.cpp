// Base64 kernels for x86-64 processors with SSSE3 (all but the oldest), 16 characters a step.
#include "base64_kernels.hpp"

#if defined(__x86_64__)
#include <immintrin.h>

#include <cstring>

namespace tavro::base64 {
namespace {

#define TAVRO_SSSE3 __attribute__((target("ssse3")))

// The character of each 6-bit value: the value plus an offset that depends on its range
// (A-Z, a-z, 0-9, "+", "/"), the offset looked up by a 4-bit index of that range.
TAVRO_SSSE3 __m128i characters_of(__m128i values) {
    const __m128i offsets =
        _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                      '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    __m128i range = _mm_subs_epu8(values, _mm_set1_epi8(51));  // 52..63 to 1..12, others 0
    const __m128i letters = _mm_cmpgt_epi8(_mm_set1_epi8(26), values);
    range = _mm_or_si128(range, _mm_and_si128(letters, _mm_set1_epi8(13)));
    return _mm_add_epi8(values, _mm_shuffle_epi8(offsets, range));
}

TAVRO_SSSE3 std::size_t encode_ssse3(const unsigned char* data, std::size_t size, char* out) {
    std::size_t taken = 0;
    // Each step reads 16 bytes and uses 12.
    for (; taken + 16 <= size; taken += 12, out += 16) {
        __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + taken));
        // Each group of 3 bytes a, b, c as the 32-bit lane b a c b, from which two multiplies
        // move the four 6-bit values into the four bytes.
        bytes = _mm_shuffle_epi8(bytes,
                                 _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10, 9, 11, 10));
        const __m128i first = _mm_mulhi_epu16(_mm_and_si128(bytes, _mm_set1_epi32(0x0fc0fc00)),
                                              _mm_set1_epi32(0x04000040));
        const __m128i second = _mm_mullo_epi16(_mm_and_si128(bytes, _mm_set1_epi32(0x003f03f0)),
                                               _mm_set1_epi32(0x01000010));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         characters_of(_mm_or_si128(first, second)));
    }
    return taken;
}

// Characters by their high and low 4 bits. A high half names a class (2: "+", "-", "/"; 3:
// digits; 4 and 6: letters from "A" and "a"; 5: "P" to "Z" and "_"; 7: "p" to "z"; any
// other, bytes from 0x80 on among them: never data), and a low half the classes in which it
// is not data, so that one AND of two look-ups tells data from the rest.
TAVRO_SSSE3 std::size_t decode_ssse3(const char* text, std::size_t size, unsigned char* out,
                                     bool& plain) {
    const __m128i class_of_high = _mm_setr_epi8(0x20, 0x20, 0x01, 0x02, 0x04, 0x08, 0x04, 0x10,
                                                0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20);
    const __m128i not_data_of_low = _mm_setr_epi8(0x25, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21, 0x21,
                                                  0x21, 0x21, 0x23, 0x3A, 0x3B, 0x3A, 0x3B, 0x32);
    // What turns a character into its value: by the high half, but by the low half in class 2
    // ("+", "-", "/"), and "_" on its own.
    const __m128i offset_of_high =
        _mm_setr_epi8(0, 0, 0, 52 - '0', -'A', -'A', 26 - 'a', 26 - 'a', 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i offset_of_symbol =
        _mm_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 62 - '+', 0, 62 - '-', 0, 63 - '/');
    const __m128i nibble = _mm_set1_epi8(0x0f);
    std::size_t taken = 0;
    // Each step writes 16 bytes and keeps 12: 24 characters left leave room for it.
    for (; taken + 24 <= size; taken += 16, out += 12) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + taken));
        const __m128i high = _mm_and_si128(_mm_srli_epi32(chars, 4), nibble);
        const __m128i low = _mm_and_si128(chars, nibble);
        const __m128i not_data = _mm_and_si128(_mm_shuffle_epi8(class_of_high, high),
                                               _mm_shuffle_epi8(not_data_of_low, low));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(not_data, _mm_setzero_si128())) != 0xffff) {
            plain = false;
            return taken;
        }
        const __m128i symbol = _mm_cmpeq_epi8(high, _mm_set1_epi8(2));
        const __m128i underscore = _mm_cmpeq_epi8(chars, _mm_set1_epi8('_'));
        __m128i offset =
            _mm_or_si128(_mm_andnot_si128(symbol, _mm_shuffle_epi8(offset_of_high, high)),
                         _mm_and_si128(symbol, _mm_shuffle_epi8(offset_of_symbol, low)));
        offset = _mm_or_si128(_mm_andnot_si128(underscore, offset),
                              _mm_and_si128(underscore, _mm_set1_epi8(63 - '_')));
        const __m128i values = _mm_add_epi8(chars, offset);
        // Four 6-bit values to 24 bits in each 32-bit lane, then the lanes' bytes in order.
        const __m128i pairs = _mm_maddubs_epi16(values, _mm_set1_epi32(0x01400140));
        const __m128i groups = _mm_madd_epi16(pairs, _mm_set1_epi32(0x00011000));
        const __m128i bytes = _mm_shuffle_epi8(
            groups, _mm_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    }
    return taken;
}

bool has_ssse3() { return __builtin_cpu_supports("ssse3"); }

constexpr Kernels kernels[] = {{"ssse3", has_ssse3, encode_ssse3, decode_ssse3}};

}  // namespace

std::span<const Kernels> vector_kernels() { return kernels; }

}  // namespace tavro::base64
#endif
