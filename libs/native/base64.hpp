// Base64 (RFC 4648) for the fast paths: encoding in the standard alphabet, and decoding of
// text that holds nothing but data characters of either alphabet. Anything less plain is
// left to the standard library's decoder, whose leniency is its own.
#pragma once

#include <cstddef>

namespace tavro::base64 {

// Characters of the encoding of `size` bytes, with or without the "=" padding.
constexpr std::size_t encoded_size(std::size_t size, bool padded) {
    return padded ? (size + 2) / 3 * 4 : size / 3 * 4 + (size % 3 ? size % 3 + 1 : 0);
}

// Writes the encoding of `data` at `out` and returns the end of what it wrote. Unpadded
// pieces can be joined when every piece but the last holds a multiple of 3 bytes.
char* encode(const unsigned char* data, std::size_t size, char* out, bool padded);

// Bytes that text of `size` characters decodes to.
constexpr std::size_t decoded_size(std::size_t size) { return size / 4 * 3 + (size % 4 ? size % 4 - 1 : 0); }

// Decodes `text` into decoded_size(size) bytes at `out` when it is plain: only data
// characters of the standard or the URL-safe alphabet, in a count that padding can complete
// (not one more than a multiple of 4). False otherwise, with `out` holding nothing of use.
bool decode_plain(const char* text, std::size_t size, unsigned char* out);

}  // namespace tavro::base64
