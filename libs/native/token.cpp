// The token format of `_TavroCrypt4`: writing a token and checking its tag.
#include "token.hpp"

#include "md5.hpp"

#include <cstring>

namespace tavro::token {
namespace {

// What is added to each multiplied byte, by position: the offset and the position key of
// key_table, reduced once, so that enciphering has no branch per byte.
constexpr auto key_addends = [] {
    std::array<unsigned char, position_keys> addends{};
    for (int position = 0; position < position_keys; ++position) {
        addends[position] = encipher(0, 0, key_table[1], key_table[2 + position]);
    }
    return addends;
}();

constexpr unsigned multiplier = static_cast<unsigned>(multiplier_of(key_table[0]));

}  // namespace

void seal(const unsigned char* plain, std::size_t size, char* out) {
    char* const body = out;
    unsigned char block[block_size];
    std::copy(std::begin(key_table), std::end(key_table), block);
    std::size_t filled = header_size;
    for (std::size_t j = 0; j < size;) {
        const std::size_t count = std::min(block_size - filled, size - j);
        for (const std::size_t end = j + count; j < end; ++j) {
            block[filled++] =
                static_cast<unsigned char>(plain[j] * multiplier + key_addends[j % position_keys]);
        }
        if (filled == block_size) {
            out = base64::encode(block, filled, out, false);
            filled = 0;
        }
    }
    out = base64::encode(block, filled, out, false);
    Md5 digest;
    const auto body_size = static_cast<std::size_t>(out - body);
    digest.update(reinterpret_cast<const unsigned char*>(body), body_size);
    digest.hex_digest(out);
}

bool tag_matches(const char* token, std::size_t size) {
    const std::size_t body_size = size - tag_size;
    char expected[tag_size];
    Md5 digest;
    digest.update(reinterpret_cast<const unsigned char*>(token), body_size);
    digest.hex_digest(expected);
    return std::memcmp(expected, token + body_size, tag_size) == 0;
}

}  // namespace tavro::token
