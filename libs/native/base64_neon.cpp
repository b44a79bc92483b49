// Base64 kernels for ARM processors with NEON (every 64-bit one, most 32-bit ones), 64
// characters a step.
#include "base64_kernels.hpp"

#include <cstdint>

#if defined(__aarch64__) || defined(__arm__)
// Debian's 32-bit ARM baseline lacks NEON: this file alone is built for it, and its code runs
// only where the processor says it has it.
#if defined(__arm__) && !defined(__ARM_NEON)
#pragma GCC target("fpu=neon")
#endif
#include <arm_neon.h>

#if defined(__arm__)
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace tavro::base64 {
namespace {

uint8x16_t pick(uint8x16_t mask, int value, uint8x16_t otherwise) {
    return vbslq_u8(mask, vdupq_n_u8(static_cast<std::uint8_t>(value)), otherwise);
}

// The character of each 6-bit value: the value plus an offset that depends on its range.
uint8x16_t characters_of(uint8x16_t values) {
    uint8x16_t offset = vdupq_n_u8('A');
    offset = pick(vcgeq_u8(values, vdupq_n_u8(26)), 'a' - 26, offset);
    offset = pick(vcgeq_u8(values, vdupq_n_u8(52)), '0' - 52, offset);
    offset = pick(vceqq_u8(values, vdupq_n_u8(62)), '+' - 62, offset);
    offset = pick(vceqq_u8(values, vdupq_n_u8(63)), '/' - 63, offset);
    return vaddq_u8(values, offset);
}

std::size_t encode_neon(const unsigned char* data, std::size_t size, char* out) {
    std::size_t taken = 0;
    for (; taken + 48 <= size; taken += 48, out += 64) {
        // Loaded apart: the first, second and third byte of each group.
        const uint8x16x3_t bytes = vld3q_u8(data + taken);
        const uint8x16_t a = bytes.val[0], b = bytes.val[1], c = bytes.val[2];
        uint8x16x4_t chars;
        chars.val[0] = characters_of(vshrq_n_u8(a, 2));
        chars.val[1] =
            characters_of(vorrq_u8(vshlq_n_u8(vandq_u8(a, vdupq_n_u8(0x03)), 4), vshrq_n_u8(b, 4)));
        chars.val[2] =
            characters_of(vorrq_u8(vshlq_n_u8(vandq_u8(b, vdupq_n_u8(0x0f)), 2), vshrq_n_u8(c, 6)));
        chars.val[3] = characters_of(vandq_u8(c, vdupq_n_u8(0x3f)));
        vst4q_u8(reinterpret_cast<std::uint8_t*>(out), chars);
    }
    return taken;
}

uint8x16_t within(uint8x16_t chars, char low, char high) {
    return vandq_u8(vcgeq_u8(chars, vdupq_n_u8(low)), vcleq_u8(chars, vdupq_n_u8(high)));
}

uint8x16_t either(uint8x16_t chars, char one, char other) {
    return vorrq_u8(vceqq_u8(chars, vdupq_n_u8(one)), vceqq_u8(chars, vdupq_n_u8(other)));
}

// The 6-bit values of data characters of either alphabet; `data` keeps only the lanes that
// hold one.
uint8x16_t values_of(uint8x16_t chars, uint8x16_t& data) {
    const uint8x16_t upper = within(chars, 'A', 'Z'), lower = within(chars, 'a', 'z');
    const uint8x16_t digit = within(chars, '0', '9');
    const uint8x16_t plus = either(chars, '+', '-'), slash = either(chars, '/', '_');
    data = vandq_u8(data, vorrq_u8(vorrq_u8(upper, lower), vorrq_u8(digit, vorrq_u8(plus, slash))));
    uint8x16_t offset = pick(upper, -'A', vdupq_n_u8(0));
    offset = pick(lower, 26 - 'a', offset);
    offset = pick(digit, 52 - '0', offset);
    return pick(slash, 63, pick(plus, 62, vaddq_u8(chars, offset)));
}

bool all_set(uint8x16_t mask) {
#if defined(__aarch64__)
    return vminvq_u8(mask) == 0xff;
#else
    const uint8x8_t halves = vand_u8(vget_low_u8(mask), vget_high_u8(mask));
    return vget_lane_u64(vreinterpret_u64_u8(halves), 0) == ~std::uint64_t{0};
#endif
}

std::size_t decode_neon(const char* text, std::size_t size, unsigned char* out, bool& plain) {
    std::size_t taken = 0;
    for (; taken + 64 <= size; taken += 64, out += 48) {
        const uint8x16x4_t chars = vld4q_u8(reinterpret_cast<const std::uint8_t*>(text + taken));
        uint8x16_t data = vdupq_n_u8(0xff);
        const uint8x16_t a = values_of(chars.val[0], data), b = values_of(chars.val[1], data);
        const uint8x16_t c = values_of(chars.val[2], data), d = values_of(chars.val[3], data);
        if (!all_set(data)) {
            plain = false;
            return taken;
        }
        uint8x16x3_t bytes;
        bytes.val[0] = vorrq_u8(vshlq_n_u8(a, 2), vshrq_n_u8(b, 4));
        bytes.val[1] = vorrq_u8(vshlq_n_u8(b, 4), vshrq_n_u8(c, 2));
        bytes.val[2] = vorrq_u8(vshlq_n_u8(c, 6), d);
        vst3q_u8(out, bytes);
    }
    return taken;
}

bool has_neon() {
#if defined(__aarch64__)
    return true;
#else
    return getauxval(AT_HWCAP) & HWCAP_NEON;
#endif
}

constexpr Kernels kernels[] = {{"neon", has_neon, encode_neon, decode_neon}};

}  // namespace

std::span<const Kernels> vector_kernels() { return kernels; }

}  // namespace tavro::base64
#endif
