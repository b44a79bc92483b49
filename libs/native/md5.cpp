// MD5 (RFC 1321).
#include "md5.hpp"

#include <algorithm>
#include <array>
#include <cstring>

namespace tavro {
namespace {

// The two hexadecimal digits of every byte.
constexpr auto hex_pairs = [] {
    constexpr char digits[] = "0123456789abcdef";
    std::array<std::array<char, 2>, 256> table{};
    for (int value = 0; value < 256; ++value)
        table[value] = {digits[value >> 4], digits[value & 15]};
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

// One step of a round: `a` takes b + ((a + f(b, c, d) + word + sine) <<< shift). Each f is
// written so that `b`, the value the step before made, comes in last: the rest of the sum is
// ready by then, which keeps the chain of dependent instructions short.
#define MD5_STEP(f, a, b, c, d, word, sine, shift) \
    a += (word) + (sine);                          \
    a += f(b, c, d);                               \
    a = rotate_left(a, shift) + b;

#define MD5_F(x, y, z) ((((y) ^ (z)) & (x)) ^ (z))
// (x & z) | (y & ~z), whose two halves share no bit, so an addition joins them.
#define MD5_G(x, y, z) (((x) & (z)) + ((y) & ~(z)))
#define MD5_H(x, y, z) (((y) ^ (z)) ^ (x))
#define MD5_I(x, y, z) ((((z) ^ 0xffffffffu) | (x)) ^ (y))

// The rounds in full, as RFC 1321 lists them: message word, constant and shift of each step.
void Md5::compress(const unsigned char* block) {
    std::uint32_t w[16];
    for (int index = 0; index < 16; ++index) w[index] = load_le32(block + 4 * index);
    std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    MD5_STEP(MD5_F, a, b, c, d, w[0], 0xd76aa478, 7)
    MD5_STEP(MD5_F, d, a, b, c, w[1], 0xe8c7b756, 12)
    MD5_STEP(MD5_F, c, d, a, b, w[2], 0x242070db, 17)
    MD5_STEP(MD5_F, b, c, d, a, w[3], 0xc1bdceee, 22)
    MD5_STEP(MD5_F, a, b, c, d, w[4], 0xf57c0faf, 7)
    MD5_STEP(MD5_F, d, a, b, c, w[5], 0x4787c62a, 12)
    MD5_STEP(MD5_F, c, d, a, b, w[6], 0xa8304613, 17)
    MD5_STEP(MD5_F, b, c, d, a, w[7], 0xfd469501, 22)
    MD5_STEP(MD5_F, a, b, c, d, w[8], 0x698098d8, 7)
    MD5_STEP(MD5_F, d, a, b, c, w[9], 0x8b44f7af, 12)
    MD5_STEP(MD5_F, c, d, a, b, w[10], 0xffff5bb1, 17)
    MD5_STEP(MD5_F, b, c, d, a, w[11], 0x895cd7be, 22)
    MD5_STEP(MD5_F, a, b, c, d, w[12], 0x6b901122, 7)
    MD5_STEP(MD5_F, d, a, b, c, w[13], 0xfd987193, 12)
    MD5_STEP(MD5_F, c, d, a, b, w[14], 0xa679438e, 17)
    MD5_STEP(MD5_F, b, c, d, a, w[15], 0x49b40821, 22)

    MD5_STEP(MD5_G, a, b, c, d, w[1], 0xf61e2562, 5)
    MD5_STEP(MD5_G, d, a, b, c, w[6], 0xc040b340, 9)
    MD5_STEP(MD5_G, c, d, a, b, w[11], 0x265e5a51, 14)
    MD5_STEP(MD5_G, b, c, d, a, w[0], 0xe9b6c7aa, 20)
    MD5_STEP(MD5_G, a, b, c, d, w[5], 0xd62f105d, 5)
    MD5_STEP(MD5_G, d, a, b, c, w[10], 0x02441453, 9)
    MD5_STEP(MD5_G, c, d, a, b, w[15], 0xd8a1e681, 14)
    MD5_STEP(MD5_G, b, c, d, a, w[4], 0xe7d3fbc8, 20)
    MD5_STEP(MD5_G, a, b, c, d, w[9], 0x21e1cde6, 5)
    MD5_STEP(MD5_G, d, a, b, c, w[14], 0xc33707d6, 9)
    MD5_STEP(MD5_G, c, d, a, b, w[3], 0xf4d50d87, 14)
    MD5_STEP(MD5_G, b, c, d, a, w[8], 0x455a14ed, 20)
    MD5_STEP(MD5_G, a, b, c, d, w[13], 0xa9e3e905, 5)
    MD5_STEP(MD5_G, d, a, b, c, w[2], 0xfcefa3f8, 9)
    MD5_STEP(MD5_G, c, d, a, b, w[7], 0x676f02d9, 14)
    MD5_STEP(MD5_G, b, c, d, a, w[12], 0x8d2a4c8a, 20)

    MD5_STEP(MD5_H, a, b, c, d, w[5], 0xfffa3942, 4)
    MD5_STEP(MD5_H, d, a, b, c, w[8], 0x8771f681, 11)
    MD5_STEP(MD5_H, c, d, a, b, w[11], 0x6d9d6122, 16)
    MD5_STEP(MD5_H, b, c, d, a, w[14], 0xfde5380c, 23)
    MD5_STEP(MD5_H, a, b, c, d, w[1], 0xa4beea44, 4)
    MD5_STEP(MD5_H, d, a, b, c, w[4], 0x4bdecfa9, 11)
    MD5_STEP(MD5_H, c, d, a, b, w[7], 0xf6bb4b60, 16)
    MD5_STEP(MD5_H, b, c, d, a, w[10], 0xbebfbc70, 23)
    MD5_STEP(MD5_H, a, b, c, d, w[13], 0x289b7ec6, 4)
    MD5_STEP(MD5_H, d, a, b, c, w[0], 0xeaa127fa, 11)
    MD5_STEP(MD5_H, c, d, a, b, w[3], 0xd4ef3085, 16)
    MD5_STEP(MD5_H, b, c, d, a, w[6], 0x04881d05, 23)
    MD5_STEP(MD5_H, a, b, c, d, w[9], 0xd9d4d039, 4)
    MD5_STEP(MD5_H, d, a, b, c, w[12], 0xe6db99e5, 11)
    MD5_STEP(MD5_H, c, d, a, b, w[15], 0x1fa27cf8, 16)
    MD5_STEP(MD5_H, b, c, d, a, w[2], 0xc4ac5665, 23)

    MD5_STEP(MD5_I, a, b, c, d, w[0], 0xf4292244, 6)
    MD5_STEP(MD5_I, d, a, b, c, w[7], 0x432aff97, 10)
    MD5_STEP(MD5_I, c, d, a, b, w[14], 0xab9423a7, 15)
    MD5_STEP(MD5_I, b, c, d, a, w[5], 0xfc93a039, 21)
    MD5_STEP(MD5_I, a, b, c, d, w[12], 0x655b59c3, 6)
    MD5_STEP(MD5_I, d, a, b, c, w[3], 0x8f0ccc92, 10)
    MD5_STEP(MD5_I, c, d, a, b, w[10], 0xffeff47d, 15)
    MD5_STEP(MD5_I, b, c, d, a, w[1], 0x85845dd1, 21)
    MD5_STEP(MD5_I, a, b, c, d, w[8], 0x6fa87e4f, 6)
    MD5_STEP(MD5_I, d, a, b, c, w[15], 0xfe2ce6e0, 10)
    MD5_STEP(MD5_I, c, d, a, b, w[6], 0xa3014314, 15)
    MD5_STEP(MD5_I, b, c, d, a, w[13], 0x4e0811a1, 21)
    MD5_STEP(MD5_I, a, b, c, d, w[4], 0xf7537e82, 6)
    MD5_STEP(MD5_I, d, a, b, c, w[11], 0xbd3af235, 10)
    MD5_STEP(MD5_I, c, d, a, b, w[2], 0x2ad7d2bb, 15)
    MD5_STEP(MD5_I, b, c, d, a, w[9], 0xeb86d391, 21)

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const unsigned char* data, std::size_t size) {
    length_ += size;
    // GCOVR_EXCL_START: the libraries feed whole 64-byte blocks but the last, so only
    // fuzz-native feeds the pieces this joins
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
