// Base64 (RFC 4648): encoding, and decoding plain and lenient.
#include "base64.hpp"

#include "base64_kernels.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace tavro::base64 {
namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of every 12 bits, so that 3 bytes take two look-ups.
constexpr auto pairs = [] {
    std::array<std::array<char, 2>, 4096> table{};
    for (int bits = 0; bits < 4096; ++bits)
        table[bits] = {alphabet[bits >> 6], alphabet[bits & 63]};
    return table;
}();

// For each of the four places in a group, a character's 6 bits already shifted into place;
// anything but a data character of either alphabet ("-" and "_" stand for "+" and "/") sets
// a bit above the 24 a group fills, so one test after the loop finds it.
constexpr std::uint32_t not_data = 1u << 24;

constexpr auto decoding = [] {
    std::array<std::array<std::uint32_t, 256>, 4> tables{};
    for (int place = 0; place < 4; ++place) {
        tables[place].fill(not_data);
        auto set = [&](unsigned char c, std::uint32_t value) {
            tables[place][c] = value << (6 * (3 - place));
        };
        for (int index = 0; index < 64; ++index)
            set(static_cast<unsigned char>(alphabet[index]), index);
        set('-', 62);
        set('_', 63);
    }
    return tables;
}();

inline std::uint32_t bits_of(const char* text, int place) {
    return decoding[place][static_cast<unsigned char>(text[place])];
}

// Shorter input is left to the plain code: finding the kernels would cost more than they save.
constexpr std::size_t kernels_from = 64;

// The first set of kernels this processor runs, if any.
const Kernels* usable_kernels() {
    for (const Kernels& kernels : vector_kernels()) {
        if (kernels.available()) return &kernels;
    }
    return nullptr;
}

}  // namespace

char* encode_without_kernels(const unsigned char* data, std::size_t size, char* out, bool padded) {
    std::size_t index = 0;
    for (; index + 3 <= size; index += 3, out += 4) {
        const unsigned group = data[index] << 16 | data[index + 1] << 8 | data[index + 2];
        std::memcpy(out, pairs[group >> 12].data(), 2);
        std::memcpy(out + 2, pairs[group & 0xfff].data(), 2);
    }
    const std::size_t rest = size - index;
    if (rest == 0) return out;
    const unsigned group = data[index] << 16 | (rest == 2 ? data[index + 1] << 8 : 0);
    *out++ = alphabet[group >> 18];
    *out++ = alphabet[(group >> 12) & 63];
    if (rest == 2) *out++ = alphabet[(group >> 6) & 63];
    if (padded) {
        *out++ = '=';
        if (rest == 1) *out++ = '=';
    }
    return out;
}

bool decode_plain_without_kernels(const char* text, std::size_t size, unsigned char* out) {
    const std::size_t rest = size % 4;
    if (rest == 1) return false;
    std::uint32_t seen = 0;
    for (const char* end = text + (size - rest); text != end; text += 4) {
        const std::uint32_t group =
            bits_of(text, 0) | bits_of(text, 1) | bits_of(text, 2) | bits_of(text, 3);
        seen |= group;
        *out++ = static_cast<unsigned char>(group >> 16);
        *out++ = static_cast<unsigned char>(group >> 8);
        *out++ = static_cast<unsigned char>(group);
    }
    if (rest >= 2) {
        std::uint32_t group = bits_of(text, 0) | bits_of(text, 1);
        if (rest == 3) group |= bits_of(text, 2);
        seen |= group;
        *out++ = static_cast<unsigned char>(group >> 16);
        if (rest == 3) *out++ = static_cast<unsigned char>(group >> 8);
    }
    return !(seen & not_data);
}

#if !defined(__x86_64__) && !defined(__aarch64__) && !defined(__arm__)
std::span<const Kernels> vector_kernels() { return {}; }
#endif

namespace {

// Long input goes through the kernels in functions of its own: short input, the common case,
// then goes straight on to the plain code, with no registers saved for a kernel's call.
[[gnu::noinline]] char* encode_long(const unsigned char* data, std::size_t size, char* out,
                                    bool padded) {
    if (const Kernels* kernels = usable_kernels()) {
        const std::size_t taken = kernels->encode(data, size, out);
        data += taken;
        size -= taken;
        out += taken / 3 * 4;
    }
    return encode_without_kernels(data, size, out, padded);
}

[[gnu::noinline]] bool decode_plain_long(const char* text, std::size_t size, unsigned char* out) {
    if (const Kernels* kernels = usable_kernels()) {
        bool plain = true;
        const std::size_t taken = kernels->decode(text, size, out, plain);
        if (!plain) return false;
        text += taken;
        size -= taken;
        out += taken / 4 * 3;
    }
    return decode_plain_without_kernels(text, size, out);
}

}  // namespace

char* encode(const unsigned char* data, std::size_t size, char* out, bool padded) {
    if (size >= kernels_from) return encode_long(data, size, out, padded);
    return encode_without_kernels(data, size, out, padded);
}

bool decode_plain(const char* text, std::size_t size, unsigned char* out) {
    if (size >= kernels_from) return decode_plain_long(text, size, out);
    return decode_plain_without_kernels(text, size, out);
}

LenientResult decode_lenient(const unsigned char* text, std::size_t size, unsigned char* out,
                             std::size_t appended_pads) {
    const unsigned char* const start = out;
    // Lines of plain data in whole groups, as wrapped text comes, go to the plain decoder;
    // from the first line that is anything else on, the characters are read one by one.
    std::size_t index = 0;
    while (index < size) {
        const void* newline = std::memchr(text + index, '\n', size - index);
        const std::size_t end = newline ? static_cast<const unsigned char*>(newline) - text : size;
        std::size_t line = end - index;
        if (line && text[end - 1] == '\r') --line;
        if (line % 4 || !decode_plain(reinterpret_cast<const char*>(text + index), line, out))
            break;
        out += line / 4 * 3;
        index = newline ? end + 1 : size;
    }
    int place = 0, pads = 0;
    unsigned left = 0;
    for (; index < size + appended_pads; ++index) {
        if (index >= size || text[index] == '=') {
            if (place >= 2 && place + ++pads >= 4)
                return {Lenient::decoded, std::size_t(out - start), 0};
            continue;
        }
        const unsigned char c = text[index];
        const std::uint32_t value = decoding[3][c];
        if (value & not_data) continue;
        pads = 0;
        switch (place) {
        case 0: left = value; break;
        case 1:
            *out++ = static_cast<unsigned char>(left << 2 | value >> 4);
            left = value & 0x0f;
            break;
        case 2:
            *out++ = static_cast<unsigned char>(left << 4 | value >> 2);
            left = value & 0x03;
            break;
        case 3: *out++ = static_cast<unsigned char>(left << 6 | value); break;
        }
        place = (place + 1) % 4;
    }
    const std::size_t written = out - start;
    if (place == 0) return {Lenient::decoded, written, 0};
    if (place == 1) return {Lenient::one_too_many, written, written / 3 * 4 + 1};
    return {Lenient::bad_padding, written, 0};
}

}  // namespace tavro::base64
