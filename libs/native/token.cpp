// The token format of `_TavroCrypt4`: writing a token.
#include "token.hpp"

#include "md5.hpp"

namespace tavro::token {
namespace {

// What is added to each multiplied byte, by position: the offset and the position key of
// key_table, reduced once, so that enciphering has no branch per byte.
constexpr KeyRow addends = [] {
    KeyRow row{};
    for (std::size_t index = 0; index < row.size(); ++index) {
        row[index] = encipher(0, 0, key_table[1], key_table[2 + index % position_keys]);
    }
    return row;
}();

constexpr unsigned multiplier = static_cast<unsigned>(multiplier_of(key_table[0]));

// Each byte times the multiplier plus row[k], into `out`: written over whole runs of 64, which
// compilers turn into vector code.
void encipher_run(const unsigned char* plain, std::size_t count, const unsigned char* row,
                  unsigned char* out) {
    std::size_t done = 0;
    for (; done + 64 <= count; done += 64) {
        for (std::size_t k = 0; k < 64; ++k) {
            out[done + k] = static_cast<unsigned char>(plain[done + k] * multiplier + row[k]);
        }
    }
    for (std::size_t k = 0; done + k < count; ++k) {
        out[done + k] = static_cast<unsigned char>(plain[done + k] * multiplier + row[k]);
    }
}

}  // namespace

// Each block is enciphered, encoded and its text hashed while both are still in the cache.
void seal(const unsigned char* plain, std::size_t size, char* out) {
    unsigned char block[block_size];
    std::copy(std::begin(key_table), std::end(key_table), block);
    std::size_t filled = header_size;
    Md5 digest;
    auto encode = [&] {
        char* const text = out;
        out = base64::encode(block, filled, out, false);
        const auto size = static_cast<std::size_t>(out - text);
        digest.update(reinterpret_cast<const unsigned char*>(text), size);
        filled = 0;
    };
    for (std::size_t j = 0; j < size;) {
        const std::size_t count = std::min(block_size - filled, size - j);
        encipher_run(plain + j, count, addends.data() + j % position_keys, block + filled);
        j += count;
        filled += count;
        if (filled == block_size) encode();
    }
    encode();
    digest.hex_digest(out);
}

}  // namespace tavro::token
