// libFuzzer target: the libraries' own Base64 and MD5 against OpenSSL's, and their tokens
// against tokens made here from the format's rules with OpenSSL's Base64 and MD5, on any input.
// A mismatch prints both sides and aborts, so libFuzzer keeps the input as a crash.
// MD5() is deprecated in OpenSSL 3 but is the plainest one-shot digest to compare against.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>
#include <openssl/md5.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base64.hpp"
#include "base64_kernels.hpp"
#include "md5.hpp"
#include "token.hpp"

namespace {

void fail(const char* what, const std::string& ours, const std::string& theirs) {
    std::fprintf(stderr, "native_codecs: %s\n  ours:      %s\n  reference: %s\n", what,
                 ours.c_str(), theirs.c_str());
    std::abort();
}

std::string hex(const unsigned char* bytes, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t index = 0; index < size; ++index) {
        text += digits[bytes[index] >> 4];
        text += digits[bytes[index] & 15];
    }
    return text;
}

// Pieces of input-derived lengths (1 to 130 bytes: within a block, across one and over
// several, with empty ones between) reach every path of update's buffering.
void check_md5(const unsigned char* data, std::size_t size) {
    tavro::Md5 md5;
    for (std::size_t at = 0; at < size;) {
        std::size_t piece = data[at] % 131;
        if (piece == 0) {
            md5.update(data + at, 0);
            piece = 1;
        }
        if (piece > size - at) piece = size - at;
        md5.update(data + at, piece);
        at += piece;
    }
    char ours[32];
    md5.hex_digest(ours);
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(data, size, digest);
    const std::string theirs = hex(digest, sizeof digest);
    if (std::string(ours, 32) != theirs) fail("MD5 of the input", std::string(ours, 32), theirs);
}

// decode_plain into exactly the promised room, so that writing past it is an ASan report.
bool decode(const char* text, std::size_t size, std::vector<unsigned char>& decoded) {
    decoded.assign(tavro::base64::decoded_size(size), 0);
    return tavro::base64::decode_plain(text, size, decoded.data());
}

void check_decoding(const std::string& text, const unsigned char* expected, std::size_t size,
                    const char* what) {
    if (tavro::base64::decoded_size(text.size()) != size) {
        fail(what, std::to_string(tavro::base64::decoded_size(text.size())), std::to_string(size));
    }
    std::vector<unsigned char> decoded;
    if (!decode(text.data(), text.size(), decoded)) fail(what, "not plain", text);
    if (!std::equal(decoded.begin(), decoded.end(), expected)) {
        fail(what, hex(decoded.data(), size), hex(expected, size));
    }
}

void check_encoding(const unsigned char* data, std::size_t size) {
    std::vector<unsigned char> reference(tavro::base64::encoded_size(size, true) + 1);
    const int reference_size = EVP_EncodeBlock(reference.data(), data, static_cast<int>(size));
    const std::string padded(reinterpret_cast<char*>(reference.data()), reference_size);
    std::string unpadded = padded.substr(0, padded.find('='));

    for (bool pad : {true, false}) {
        const std::string& theirs = pad ? padded : unpadded;
        // Exactly the promised room, so that writing past it is an ASan report.
        std::vector<char> buffer(tavro::base64::encoded_size(size, pad));
        if (buffer.size() != theirs.size()) {
            fail(pad ? "padded encoded_size" : "unpadded encoded_size",
                 std::to_string(buffer.size()), std::to_string(theirs.size()));
        }
        const std::string ours(buffer.data(),
                               tavro::base64::encode(data, size, buffer.data(), pad));
        if (ours != theirs) fail(pad ? "padded encoding" : "unpadded encoding", ours, theirs);
    }
    // Padding is not plain: such text goes to the standard library's decoder.
    std::vector<unsigned char> decoded;
    if (decode(padded.data(), padded.size(), decoded) != (size % 3 == 0)) {
        fail("decode_plain of the padded encoding", padded, "plain only without padding");
    }

    check_decoding(unpadded, data, size, "decoding of the unpadded encoding");
    for (std::size_t index = 0; index < unpadded.size(); ++index) {
        if (!(data[index % size] & 1)) continue;
        if (unpadded[index] == '+') unpadded[index] = '-';
        if (unpadded[index] == '/') unpadded[index] = '_';
    }
    check_decoding(unpadded, data, size, "decoding of the encoding with URL-safe characters");
}

// The input read as text: plain exactly when it is made of either alphabet and padding could
// complete it, and then it decodes as OpenSSL decodes its standard, padded form.
void check_text(const unsigned char* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    std::string standard(text, size);
    bool expected = size % 4 != 1;
    for (char& c : standard) {
        if (c == '-') c = '+';
        if (c == '_') c = '/';
        const bool data_character = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                    (c >= '0' && c <= '9') || c == '+' || c == '/';
        expected = expected && data_character;
    }
    std::vector<unsigned char> decoded;
    const bool ours = decode(text, size, decoded);
    if (ours != expected) {
        fail("decode_plain of the input", ours ? "plain" : "not plain",
             expected ? "plain" : "not plain");
    }
    if (!ours) return;

    while (standard.size() % 4) standard += '=';
    // EVP_DecodeBlock writes whole groups of 3, the bytes the padding stands for included.
    std::vector<unsigned char> reference(standard.size() / 4 * 3 + 1);
    const int reference_size =
        EVP_DecodeBlock(reference.data(), reinterpret_cast<const unsigned char*>(standard.data()),
                        static_cast<int>(standard.size()));
    const std::size_t decoded_size = tavro::base64::decoded_size(size);
    if (reference_size < 0 || static_cast<std::size_t>(reference_size) < decoded_size) {
        fail("OpenSSL rejects plain text", std::to_string(decoded_size), standard);
    }
    if (!std::equal(decoded.begin(), decoded.end(), reference.begin())) {
        fail("decoding of the input", hex(decoded.data(), decoded_size),
             hex(reference.data(), decoded_size));
    }
}

// `text` decoded by each set of vector kernels the processor runs, the plain code doing what
// the kernels leave, against the plain code alone.
void check_kernel_decoding(const std::string& text) {
    using namespace tavro::base64;
    std::vector<unsigned char> expected(decoded_size(text.size()));
    const bool expected_plain =
        decode_plain_without_kernels(text.data(), text.size(), expected.data());
    for (const Kernels& kernels : vector_kernels()) {
        if (!kernels.available()) continue;
        std::vector<unsigned char> decoded(expected.size());
        bool plain = true;
        const std::size_t taken = kernels.decode(text.data(), text.size(), decoded.data(), plain);
        if (plain) {
            plain = decode_plain_without_kernels(text.data() + taken, text.size() - taken,
                                                 decoded.data() + taken / 4 * 3);
        }
        if (plain != expected_plain) fail(kernels.name, plain ? "plain" : "not plain", text);
        if (plain && decoded != expected) {
            fail(kernels.name, hex(decoded.data(), decoded.size()),
                 hex(expected.data(), expected.size()));
        }
    }
}

// The same for encoding `data`, and for decoding its encoding with a character that is not
// data put in at a place the input chooses, and the input itself as text.
void check_kernels(const unsigned char* data, std::size_t size) {
    using namespace tavro::base64;
    std::vector<char> expected(encoded_size(size, false));
    encode_without_kernels(data, size, expected.data(), false);
    for (const Kernels& kernels : vector_kernels()) {
        if (!kernels.available()) continue;
        std::vector<char> encoded(expected.size());
        const std::size_t taken = kernels.encode(data, size, encoded.data());
        encode_without_kernels(data + taken, size - taken, encoded.data() + taken / 3 * 4, false);
        if (encoded != expected) {
            fail(kernels.name, std::string(encoded.begin(), encoded.end()),
                 std::string(expected.begin(), expected.end()));
        }
    }
    std::string text(expected.begin(), expected.end());
    check_kernel_decoding(text);
    if (!text.empty()) {
        text[(size ? data[size - 1] * 7 : 0) % text.size()] = size % 2 ? '=' : '\x80';
        check_kernel_decoding(text);
    }
    check_kernel_decoding(std::string(reinterpret_cast<const char*>(data), size));
}

// The format's rules, written out plainly: the multiplier is the seed made odd, 1 becoming
// 167.
std::vector<unsigned char> enciphered(const unsigned char* header, const unsigned char* plain,
                                      std::size_t size) {
    unsigned multiplier = header[0] | 1u;
    if (multiplier == 1) multiplier = 167;
    std::vector<unsigned char> payload(header, header + tavro::token::header_size);
    for (std::size_t j = 0; j < size; ++j) {
        payload.push_back(
            static_cast<unsigned char>(plain[j] * multiplier + header[1] + header[2 + j % 8]));
    }
    return payload;
}

std::string reference_body(const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> text(payload.size() / 3 * 4 + 5);
    const int text_size =
        EVP_EncodeBlock(text.data(), payload.data(), static_cast<int>(payload.size()));
    const std::string padded(reinterpret_cast<char*>(text.data()), text_size);
    return padded.substr(0, padded.find('='));
}

// The plain bytes of a token, read with read_token, which must end as `expected`.
std::string opened(const std::string& token, tavro::token::Read expected, const char* what) {
    std::string plain;
    auto take = [&](const unsigned char* bytes, std::size_t size) {
        plain.append(reinterpret_cast<const char*>(bytes), size);
    };
    if (tavro::token::read_token(token.data(), token.size(), take) != expected) {
        fail(what, "read otherwise", token);
    }
    return plain;
}

std::string sealed(const std::string& body) {
    unsigned char digest[MD5_DIGEST_LENGTH];
    MD5(reinterpret_cast<const unsigned char*>(body.data()), body.size(), digest);
    return body + hex(digest, sizeof digest);
}

// The input as a payload under the libraries' key, and, past its first ten bytes, as a
// payload under a key made of them, which a reader must take from the token's header.
void check_token(const unsigned char* data, std::size_t size) {
    namespace token = tavro::token;
    using token::Read;
    const std::string theirs = sealed(reference_body(enciphered(token::key_table, data, size)));
    std::vector<char> buffer(token::token_size(size));  // exactly the promised room
    token::seal(data, size, buffer.data());
    const std::string ours(buffer.begin(), buffer.end());
    if (ours != theirs) fail("token of the input", ours, theirs);
    const std::string plain(reinterpret_cast<const char*>(data), size);
    const std::string read = opened(ours, Read::opened, "reading the token");
    if (read != plain) fail("reading the token", read, plain);

    const std::size_t at = size ? data[0] : 0;
    std::string forged = ours;
    forged[forged.size() - 1 - at % token::tag_size] ^= 1;
    opened(forged, Read::wrong_tag, "reading a token with a changed tag");
    std::string body = ours.substr(0, ours.size() - token::tag_size);
    if (!body.empty()) {
        body[at % body.size()] = '=';
        opened(sealed(body), Read::not_plain, "reading a token whose body is not plain");
    }

    if (size < token::header_size) return;
    const std::string under_input_key = sealed(
        reference_body(enciphered(data, data + token::header_size, size - token::header_size)));
    const std::string read_under_input_key =
        opened(under_input_key, Read::opened, "reading a token made under another key");
    if (read_under_input_key != plain.substr(token::header_size)) {
        fail("reading a token made under another key", read_under_input_key,
             plain.substr(token::header_size));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    check_md5(data, size);
    check_encoding(data, size);
    check_text(data, size);
    check_token(data, size);
    check_kernels(data, size);
    return 0;
}
