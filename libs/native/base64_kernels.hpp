// The vector code of the Base64 encoder and plain decoder, one set of kernels per
// instruction set a processor may have. A kernel takes whole groups from the front of its
// input and says how much it took; the plain code does the rest. base64.cpp uses the first
// set the processor runs; scripts/fuzz-native checks every set against the plain code.
#pragma once

#include <cstddef>
#include <span>

namespace tavro::base64 {

struct Kernels {
    const char* name;
    bool (*available)();
    // Encodes groups of 3 bytes at `data` as 4 characters at `out`; returns the bytes taken
    // (a multiple of 3).
    std::size_t (*encode)(const unsigned char* data, std::size_t size, char* out);
    // Decodes groups of 4 data characters of either alphabet at `text` into 3 bytes at `out`,
    // leaving room for the plain code to end the text; returns the characters taken (a
    // multiple of 4), and sets `plain` false, taking nothing more, at a character that is
    // not data.
    std::size_t (*decode)(const char* text, std::size_t size, unsigned char* out, bool& plain);
};

// The sets this build has, best first (none where it has no vector code).
std::span<const Kernels> vector_kernels();

// The plain code alone, for comparison.
char* encode_without_kernels(const unsigned char* data, std::size_t size, char* out, bool padded);
bool decode_plain_without_kernels(const char* text, std::size_t size, unsigned char* out);

}  // namespace tavro::base64
