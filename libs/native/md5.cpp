// MD5 (RFC 1321).
#include "md5.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavro {
namespace {

constexpr std::uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
    0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
    0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
    0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
    0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
    0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
    0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
    0xeb86d391};

// The two hexadecimal digits of every byte.
constexpr auto hex_pairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<std::array<char, 2>, 256> table{};
    for (int value = 0; value < 256; ++value) table[value] = {digits[value >> 4], digits[value & 15]};
    return table;
}();

inline std::uint32_t rotate_left(std::uint32_t value, int count) {
    return (value << count) | (value >> (32 - count));
}

inline std::uint32_t load_le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

}  // namespace

// One step of a round: `a` takes b + ((a + f(b, c, d) + word + sine) <<< shift).
#define MD5_STEP(f, a, b, c, d, word, sine, shift) \
    a += f(b, c, d) + (word) + (sine);            \
    a = rotate_left(a, shift) + b;

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

void Md5::compress(const unsigned char* block) {
    std::uint32_t w[16];
    for (int index = 0; index < 16; ++index) w[index] = load_le32(block + 4 * index);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (int step = 0; step < 16; step += 4) {
        MD5_STEP(MD5_F, a, b, c, d, w[step], sines[step], 7)
        MD5_STEP(MD5_F, d, a, b, c, w[step + 1], sines[step + 1], 12)
        MD5_STEP(MD5_F, c, d, a, b, w[step + 2], sines[step + 2], 17)
        MD5_STEP(MD5_F, b, c, d, a, w[step + 3], sines[step + 3], 22)
    }
    for (int step = 16; step < 32; step += 4) {
        MD5_STEP(MD5_G, a, b, c, d, w[(5 * step + 1) % 16], sines[step], 5)
        MD5_STEP(MD5_G, d, a, b, c, w[(5 * step + 6) % 16], sines[step + 1], 9)
        MD5_STEP(MD5_G, c, d, a, b, w[(5 * step + 11) % 16], sines[step + 2], 14)
        MD5_STEP(MD5_G, b, c, d, a, w[(5 * step + 16) % 16], sines[step + 3], 20)
    }
    for (int step = 32; step < 48; step += 4) {
        MD5_STEP(MD5_H, a, b, c, d, w[(3 * step + 5) % 16], sines[step], 4)
        MD5_STEP(MD5_H, d, a, b, c, w[(3 * step + 8) % 16], sines[step + 1], 11)
        MD5_STEP(MD5_H, c, d, a, b, w[(3 * step + 11) % 16], sines[step + 2], 16)
        MD5_STEP(MD5_H, b, c, d, a, w[(3 * step + 14) % 16], sines[step + 3], 23)
    }
    for (int step = 48; step < 64; step += 4) {
        MD5_STEP(MD5_I, a, b, c, d, w[(7 * step) % 16], sines[step], 6)
        MD5_STEP(MD5_I, d, a, b, c, w[(7 * step + 7) % 16], sines[step + 1], 10)
        MD5_STEP(MD5_I, c, d, a, b, w[(7 * step + 14) % 16], sines[step + 2], 15)
        MD5_STEP(MD5_I, b, c, d, a, w[(7 * step + 21) % 16], sines[step + 3], 21)
    }
    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const unsigned char* data, std::size_t size) {
    length_ += size;
    // GCOVR_EXCL_START: the libraries hash each text in one call; fuzz-native feeds pieces
    if (pending_size_ > 0) {
        std::size_t taken = std::min(size, sizeof pending_ - pending_size_);
        std::memcpy(pending_ + pending_size_, data, taken);
        pending_size_ += taken;
        data += taken;
        size -= taken;
        if (pending_size_ < sizeof pending_) return;
        compress(pending_);
        pending_size_ = 0;
    }  // GCOVR_EXCL_STOP
    for (; size >= 64; data += 64, size -= 64) compress(data);
    std::memcpy(pending_, data, size);
    pending_size_ = size;
}

void Md5::hex_digest(char* out) {
    // The padding goes straight into the pending block: a "1" bit, zeros, the length in bits.
    const std::uint64_t bits = length_ * 8;
    pending_[pending_size_++] = 0x80;
    if (pending_size_ > 56) {
        std::memset(pending_ + pending_size_, 0, sizeof pending_ - pending_size_);
        compress(pending_);
        pending_size_ = 0;
    }
    std::memset(pending_ + pending_size_, 0, 56 - pending_size_);
    for (int index = 0; index < 8; ++index) pending_[56 + index] = (bits >> (8 * index)) & 0xff;
    compress(pending_);
    for (int word = 0; word < 4; ++word) {
        for (int byte = 0; byte < 4; ++byte, out += 2) {
            std::memcpy(out, hex_pairs[(state_[word] >> (8 * byte)) & 0xff].data(), 2);
        }
    }
}

}  // namespace tavro
