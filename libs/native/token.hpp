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
#include "md5.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>

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

// A row of a key's eight position values repeated, so that a run of bytes starting at any
// position reads them in order from row + position % 8.
using KeyRow = std::array<unsigned char, 64 + position_keys>;

// Each byte at `bytes` becomes (byte - row[k]) * inverse: written over whole runs of 64, which
// compilers turn into vector code.
inline void decipher_run(unsigned char* bytes, std::size_t count, const unsigned char* row,
                         unsigned inverse) {
    std::size_t done = 0;
    for (; done + 64 <= count; done += 64) {
        for (std::size_t k = 0; k < 64; ++k) {
            bytes[done + k] = static_cast<unsigned char>((bytes[done + k] - row[k]) * inverse);
        }
    }
    for (std::size_t k = 0; done + k < count; ++k) {
        bytes[done + k] = static_cast<unsigned char>((bytes[done + k] - row[k]) * inverse);
    }
}

// Reads a token body (the text before its tag) block by block: `text(chars, size)` sees each
// piece of its text, then, while the text is plain Base64 (see base64::decode_plain), the
// piece is decoded and the payload after the header deciphered under the header's own key,
// and `take(bytes, size)` gets the plain bytes. False once the text is not plain (`text`
// still sees all of it); a payload no longer than its header has nothing to decipher.
template <class Text, class Take>
bool read_body(const char* body, std::size_t body_size, Text&& text, Take&& take) {
    constexpr std::size_t block_text = block_size / 3 * 4;
    unsigned char block[block_size];
    KeyRow subtrahends{};
    unsigned inverse = 0;
    std::size_t position = 0;
    bool plain = true, header_only = false;
    for (std::size_t start = 0; start < body_size; start += block_text) {
        const std::size_t chunk = std::min(body_size - start, block_text);
        text(body + start, chunk);
        if (!plain || header_only) continue;
        if (!base64::decode_plain(body + start, chunk, block)) {
            plain = false;
            continue;
        }
        const std::size_t decoded = base64::decoded_size(chunk);
        std::size_t first = 0;
        if (start == 0) {
            if (decoded <= header_size) {  // the first block holds the header
                header_only = true;
                continue;
            }
            first = header_size;
            inverse = inverse_of_seed[block[0]];
            for (int index = 0; index < position_keys; ++index) {
                subtrahends[index] = static_cast<unsigned char>(block[2 + index] + block[1]);
            }
            // The rest of the row by copying: computed byte by byte, it cost a short token
            // more than deciphering its payload.
            for (std::size_t index = position_keys; index < subtrahends.size();
                 index += position_keys) {
                std::memcpy(&subtrahends[index], &subtrahends[0], position_keys);
            }
        }
        decipher_run(block + first, decoded - first, subtrahends.data() + position % position_keys,
                     inverse);
        position += decoded - first;
        take(block + first, decoded - first);
    }
    return plain;
}

// read_body without looking at the text.
template <class Take>
bool decipher_body(const char* body, std::size_t body_size, Take&& take) {
    return read_body(body, body_size, [](const char*, std::size_t) {}, take);
}

// How reading a whole token ended.
enum class Read { opened, wrong_tag, not_plain };

// Reads a token (at least tag_size characters) in one pass: its tag is checked while its body
// is read as read_body reads it, so `take` may have seen plain bytes of a token whose tag
// turns out wrong.
template <class Take>
Read read_token(const char* token, std::size_t size, Take&& take) {
    Md5 digest;
    auto text = [&](const char* chars, std::size_t count) {
        digest.update(reinterpret_cast<const unsigned char*>(chars), count);
    };
    const std::size_t body_size = size - tag_size;
    const bool plain = read_body(token, body_size, text, take);
    char expected[tag_size];
    digest.hex_digest(expected);
    if (std::memcmp(expected, token + body_size, tag_size) != 0) return Read::wrong_tag;
    return plain ? Read::opened : Read::not_plain;
}

}  // namespace tavro::token
