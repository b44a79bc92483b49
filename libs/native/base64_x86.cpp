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
    const __m128i offsets = _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                                          '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
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
        bytes = _mm_shuffle_epi8(bytes, _mm_setr_epi8(1, 0, 2, 1, 4, 3, 5, 4, 7, 6, 8, 7, 10,
                                                      9, 11, 10));
        const __m128i first = _mm_mulhi_epu16(_mm_and_si128(bytes, _mm_set1_epi32(0x0fc0fc00)),
                                              _mm_set1_epi32(0x04000040));
        const __m128i second = _mm_mullo_epi16(_mm_and_si128(bytes, _mm_set1_epi32(0x003f03f0)),
                                               _mm_set1_epi32(0x01000010));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         characters_of(_mm_or_si128(first, second)));
    }
    return taken;
}

TAVRO_SSSE3 __m128i within(__m128i chars, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(chars, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), chars));
}

TAVRO_SSSE3 __m128i either(__m128i chars, char one, char other) {
    return _mm_or_si128(_mm_cmpeq_epi8(chars, _mm_set1_epi8(one)),
                        _mm_cmpeq_epi8(chars, _mm_set1_epi8(other)));
}

TAVRO_SSSE3 std::size_t decode_ssse3(const char* text, std::size_t size, unsigned char* out,
                                     bool& plain) {
    std::size_t taken = 0;
    // Each step writes 16 bytes and keeps 12: 24 characters left leave room for it.
    for (; taken + 24 <= size; taken += 16, out += 12) {
        const __m128i chars = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + taken));
        // Bytes above 127 compare as negative and fall in no range.
        const __m128i upper = within(chars, 'A', 'Z'), lower = within(chars, 'a', 'z');
        const __m128i digit = within(chars, '0', '9');
        const __m128i plus = either(chars, '+', '-'), slash = either(chars, '/', '_');
        const __m128i data = _mm_or_si128(_mm_or_si128(upper, lower),
                                          _mm_or_si128(digit, _mm_or_si128(plus, slash)));
        if (_mm_movemask_epi8(data) != 0xffff) {
            plain = false;
            return taken;
        }
        __m128i shift = _mm_and_si128(upper, _mm_set1_epi8(-'A'));
        shift = _mm_or_si128(shift, _mm_and_si128(lower, _mm_set1_epi8(26 - 'a')));
        shift = _mm_or_si128(shift, _mm_and_si128(digit, _mm_set1_epi8(52 - '0')));
        __m128i values = _mm_add_epi8(chars, shift);
        values = _mm_or_si128(_mm_andnot_si128(_mm_or_si128(plus, slash), values),
                              _mm_or_si128(_mm_and_si128(plus, _mm_set1_epi8(62)),
                                           _mm_and_si128(slash, _mm_set1_epi8(63))));
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
