// MD5 (RFC 1321), fed in pieces. The ciphers only need it to make and check integrity tags,
// so it is written for clarity first; it is still close to the cost of hashlib's.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavro {

class Md5 {
public:
    void update(const unsigned char* data, std::size_t size);
    // Writes the 32 lowercase hexadecimal digits of the digest; the object is spent.
    void hex_digest(char* out);

private:
    void compress(const unsigned char* block);

    std::uint32_t state_[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    std::uint64_t length_ = 0;  // bytes fed so far
    unsigned char pending_[64];
    std::size_t pending_size_ = 0;
};

}  // namespace tavro
