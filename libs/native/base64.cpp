// Base64 (RFC 4648) for the fast paths.
#include "base64.hpp"

#include <array>

namespace tavro::base64 {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr signed char not_data = -1;

// Both alphabets at once: "-" and "_" stand for "+" and "/".
constexpr std::array<signed char, 256> decoding = [] {
    std::array<signed char, 256> table{};
    table.fill(not_data);
    for (int index = 0; index < 64; ++index) {
        table[static_cast<unsigned char>(alphabet[index])] = static_cast<signed char>(index);
    }
    table['-'] = 62;
    table['_'] = 63;
    return table;
}();

inline unsigned value_of(char c) { return static_cast<unsigned>(decoding[static_cast<unsigned char>(c)]); }

}  // namespace

char* encode(const unsigned char* data, std::size_t size, char* out, bool padded) {
    std::size_t index = 0;
    for (; index + 3 <= size; index += 3) {
        const unsigned group = data[index] << 16 | data[index + 1] << 8 | data[index + 2];
        *out++ = alphabet[group >> 18];
        *out++ = alphabet[(group >> 12) & 63];
        *out++ = alphabet[(group >> 6) & 63];
        *out++ = alphabet[group & 63];
    }
    const std::size_t rest = size - index;
    if (rest == 0) return out;
    const unsigned group = data[index] << 16 | (rest == 2 ? data[index + 1] << 8 : 0);
    *out++ = alphabet[group >> 18];
    *out++ = alphabet[(group >> 12) & 63];
    if (rest == 2) *out++ = alphabet[(group >> 6) & 63];
    if (padded) {
        *out++ = '=';
        if (rest == 1) *out++ = '=';
    }
    return out;
}

bool is_plain(const char* text, std::size_t size) {
    if (size % 4 == 1) return false;
    unsigned char seen = 0;
    for (std::size_t index = 0; index < size; ++index) {
        seen |= static_cast<unsigned char>(decoding[static_cast<unsigned char>(text[index])]);
    }
    return !(seen & 0x80);
}

void decode_plain(const char* text, std::size_t size, unsigned char* out) {
    std::size_t index = 0;
    for (; index + 4 <= size; index += 4) {
        const unsigned group = value_of(text[index]) << 18 | value_of(text[index + 1]) << 12 |
                               value_of(text[index + 2]) << 6 | value_of(text[index + 3]);
        *out++ = static_cast<unsigned char>(group >> 16);
        *out++ = static_cast<unsigned char>(group >> 8);
        *out++ = static_cast<unsigned char>(group);
    }
    const std::size_t rest = size - index;
    if (rest < 2) return;
    unsigned group = value_of(text[index]) << 18 | value_of(text[index + 1]) << 12;
    if (rest == 3) group |= value_of(text[index + 2]) << 6;
    *out++ = static_cast<unsigned char>(group >> 16);
    if (rest == 3) *out++ = static_cast<unsigned char>(group >> 8);
}

}  // namespace tavro::base64
