// Base64 (RFC 4648): encoding in the standard alphabet; decoding of text that holds nothing
// but data characters of either alphabet (the fast paths), and the lenient decoding that
// stored tokens were read with (the general paths, whatever the interpreter's own does).
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
constexpr std::size_t decoded_size(std::size_t size) {
    return size / 4 * 3 + (size % 4 ? size % 4 - 1 : 0);
}

// Decodes `text` into decoded_size(size) bytes at `out` when it is plain: only data
// characters of the standard or the URL-safe alphabet, in a count that padding can complete
// (not one more than a multiple of 4). False otherwise, with `out` holding nothing of use.
bool decode_plain(const char* text, std::size_t size, unsigned char* out);

// How lenient decoding ended.
enum class Lenient {
    decoded,
    one_too_many,  // a count of data characters one more than a multiple of 4
    bad_padding,   // data characters left over and no pad sequence to end them
};
struct LenientResult {
    Lenient status;
    std::size_t size;             // bytes written
    std::size_t data_characters;  // read before the end, for the message of one_too_many
};

// CPython 3.9's binascii.a2b_base64, after urlsafe_b64decode's translation: characters of
// neither alphabet are skipped, "=" after at least two data characters of a group ends the
// data once the group is complete with it, and "=" anywhere else is skipped. The text is
// read as if `appended_pads` "=" followed it. Needs (size + 3) / 4 * 3 bytes at `out`, however
// many of them it leaves as the answer: lines of whole groups are decoded there before their
// characters are known to be data.
LenientResult decode_lenient(const unsigned char* text, std::size_t size, unsigned char* out,
                             std::size_t appended_pads = 0);

// The characters of `text` before the "=" that complete its last group, when that is how it
// ends: a count of characters that is a multiple of 4, the last one or two of them "=".
// Otherwise `size` itself. Whether those before are data characters is the decoder's to say.
constexpr std::size_t before_padding(const char* text, std::size_t size) {
    if (size % 4 || size == 0 || text[size - 1] != '=') return size;
    return size - (text[size - 2] == '=' ? 2 : 1);
}

}  // namespace tavro::base64
