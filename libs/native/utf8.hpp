// UTF-8 decoding for the fast paths, fed in pieces: strict as the interpreter's own decoder
// is (no overlong forms, no surrogates, nothing past U+10FFFF), so that whatever it accepts
// decodes there to the same text. What it refuses is left to the interpreter, whose error
// messages are its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tavro {

// True when every byte is below 0x80, read a word at a time.
inline bool is_ascii(const unsigned char* bytes, std::size_t size) {
    std::uint64_t bits = 0;
    std::size_t index = 0;
    for (; index + 8 <= size; index += 8) {
        std::uint64_t word;
        std::memcpy(&word, bytes + index, 8);
        bits |= word;
    }
    for (; index < size; ++index) bits |= bytes[index];
    return !(bits & 0x8080808080808080u);
}

class Utf8Decoder {
public:
    // Passes each complete code point of `data` to `emit`, carrying an unfinished sequence
    // over to the next piece. False at the first byte that cannot belong to UTF-8 text; the
    // decoder is then spent.
    template <class Emit>
    bool feed(const unsigned char* data, std::size_t size, Emit&& emit) {
        for (std::size_t index = 0; index < size; ++index) {
            const unsigned byte = data[index];
            if (missing_ == 0) {
                if (byte < 0x80) {
                    emit(static_cast<std::uint32_t>(byte));
                } else if (!start(byte)) {
                    return false;
                }
                continue;
            }
            if (byte < low_ || byte > high_) return false;
            low_ = 0x80, high_ = 0xBF;
            code_ = code_ << 6 | (byte & 0x3F);
            if (--missing_ == 0) emit(code_);
        }
        return true;
    }
    // True when the text did not stop in the middle of a character.
    bool complete() const { return missing_ == 0; }

private:
    // The lead byte of a longer sequence: how many bytes follow, and the range the first of
    // them must fall in to rule out overlong forms, surrogates and code points past U+10FFFF.
    bool start(unsigned byte) {
        if (byte < 0xC2 || byte > 0xF4) return false;
        missing_ = byte < 0xE0 ? 1 : byte < 0xF0 ? 2 : 3;
        code_ = byte & (0x7F >> (missing_ + 1));
        low_ = byte == 0xE0 ? 0xA0 : byte == 0xF0 ? 0x90 : 0x80;
        high_ = byte == 0xED ? 0x9F : byte == 0xF4 ? 0x8F : 0xBF;
        return true;
    }

    std::uint32_t code_ = 0;
    unsigned missing_ = 0;
    unsigned low_ = 0x80, high_ = 0xBF;
};

}  // namespace tavro
