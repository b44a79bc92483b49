// The token format of `_TavroCrypt4`, in plain C++: the key header, the enciphering of each
// payload byte, the Base64 body without padding, and the MD5 tag over that text.
//
// payload  = key header (10 bytes) + every plain byte p at position j enciphered as
//            (p * multiplier + offset + position_key[j % 8]) % 256
// token    = Base64 of the payload, standard alphabet, "=" padding removed
//            + the 32 lowercase hex digits of the MD5 of that text
// A reader takes the key from the token's own header, so tokens made under any key table
// read back. docs/token-format.md tells the same for people.
#pragma once

#include "base64.hpp"

#include <algorithm>
#include <array>
#include <cstddef>

namespace tavro::token {

// The key table: multiplier seed, offset byte, then the position keys. Changing it changes
// new tokens but never breaks old ones.
inline constexpr int header_size = 10;
inline constexpr unsigned char key_table[header_size] = {0x6B, 0x3D, 0xA7, 0x12, 0xC4,
                                                         0x5E, 0x89, 0xF3, 0x2B, 0x70};
inline constexpr int position_keys = 8;
// The multiplier when the seed would give 1, which would encipher nothing.
inline constexpr int fallback_multiplier = 167;
inline constexpr std::size_t tag_size = 32;

// The multiplier a seed byte stands for: the seed made odd, and never 1.
constexpr long multiplier_of(long seed) {
    const long multiplier = seed % 2 == 0 ? seed + 1 : seed;
    return multiplier == 1 ? fallback_multiplier : multiplier;
}

// What `_TavroCrypt4.__f1` gives for a byte: the inverse of an odd `b` modulo 256, by the
// extended Euclidean algorithm it runs.
constexpr long inverse_of_byte(long b) {
    long a = 256, x = 1, y = 0, u = 0, v = 1;
    while (b != 0) {
        const long q = a / b;
        const long r = a - b * q, s = x - u * q, t = y - v * q;
        a = b, b = r, x = u, y = v, u = s, v = t;
    }
    while (y < 0) y += 256;
    return y;
}

constexpr unsigned char encipher(long plain, long multiplier, long offset, long position_key) {
    return static_cast<unsigned char>((plain * multiplier + offset + position_key) & 0xFF);
}

// Characters of the token of `size` plain bytes.
constexpr std::size_t token_size(std::size_t size) {
    return base64::encoded_size(header_size + size, false) + tag_size;
}

// Writes the token of `size` plain bytes under key_table: token_size(size) characters at
// `out`.
void seal(const unsigned char* plain, std::size_t size, char* out);

// Whether the last tag_size characters of `token` (at least that long) are the tag of the
// text before them.
bool tag_matches(const char* token, std::size_t size);

// Payload bytes pass through blocks this size on their way into or out of a token, so a
// token of any size is read or written in one pass with no copy of its payload. A multiple
// of 3, so that the Base64 of the blocks joins up.
inline constexpr std::size_t block_size = 3 * 1024;

// The inverse of the multiplier of every seed byte a header can carry, so that reading a
// token costs no division.
inline constexpr auto inverse_of_seed = [] {
    std::array<unsigned char, 256> inverses{};
    for (int seed = 0; seed < 256; ++seed) {
        inverses[seed] = static_cast<unsigned char>(inverse_of_byte(multiplier_of(seed)));
    }
    return inverses;
}();

// Decodes a token body (the text before its tag) and deciphers the payload after its header
// under the header's own key, block by block, handing each block of plain bytes to
// `take(bytes, size)`. False when the body is not plain Base64 (see base64::decode_plain);
// a payload no longer than its header has nothing to decipher.
template <class Take>
bool decipher_body(const char* body, std::size_t body_size, Take&& take) {
    constexpr std::size_t block_text = block_size / 3 * 4;
    unsigned char block[block_size];
    std::array<unsigned char, position_keys> subtrahends{};
    unsigned inverse = 0;
    std::size_t j = 0;
    for (std::size_t start = 0; start < body_size; start += block_text) {
        const std::size_t chunk = std::min(body_size - start, block_text);
        if (!base64::decode_plain(body + start, chunk, block)) return false;
        const std::size_t decoded = base64::decoded_size(chunk);
        std::size_t first = 0;
        if (start == 0) {
            if (decoded <= header_size) return true;  // the first block holds the header
            first = header_size;
            inverse = inverse_of_seed[block[0]];
            for (int position = 0; position < position_keys; ++position) {
                subtrahends[position] = static_cast<unsigned char>(block[2 + position] + block[1]);
            }
        }
        for (std::size_t index = first; index < decoded; ++index, ++j) {
            block[index] = static_cast<unsigned char>(
                (block[index] - subtrahends[j % position_keys]) * inverse);
        }
        take(block + first, decoded - first);
    }
    return true;
}

}  // namespace tavro::token
