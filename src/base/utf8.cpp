#include "base/utf8.h"

#include <cstdint>
#include <cstring>

namespace tessello {

namespace {

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Byte length a lead byte announces, 0 for bytes that cannot lead.
int sequence_width(std::uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

// The range the second byte of a sequence must fall into, which excludes
// overlong forms, surrogates and code points above U+10FFFF.
bool second_byte_ok(std::uint8_t lead, std::uint8_t b) {
    switch (lead) {
        case 0xE0: return b >= 0xA0 && b <= 0xBF;
        case 0xED: return b >= 0x80 && b <= 0x9F;
        case 0xF0: return b >= 0x90 && b <= 0xBF;
        case 0xF4: return b >= 0x80 && b <= 0x8F;
        default: return is_continuation(b);
    }
}

std::string invalid(std::size_t len, std::size_t at) {
    return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
           std::to_string(at);
}

std::string incomplete(std::size_t at) {
    return "incomplete utf-8 byte sequence from index " + std::to_string(at);
}

}  // namespace

std::optional<std::string> utf8_error(std::string_view text) {
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Runs of ASCII, the common case for identifiers and metadata, are
        // checked eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if (word & 0x8080808080808080ull) break;
            i += 8;
        }
        if (i >= n) break;
        const std::uint8_t lead = p[i];
        const int width = sequence_width(lead);
        if (width == 1) {
            ++i;
            continue;
        }
        if (width == 0) return invalid(1, i);
        // Each following byte is checked as it is reached; running out of
        // input first makes the sequence incomplete rather than invalid.
        for (int k = 1; k < width; ++k) {
            if (i + k >= n) return incomplete(i);
            const std::uint8_t b = p[i + k];
            const bool ok = k == 1 ? second_byte_ok(lead, b) : is_continuation(b);
            if (!ok) return invalid(static_cast<std::size_t>(k), i);
        }
        i += static_cast<std::size_t>(width);
    }
    return std::nullopt;
}

}  // namespace tessello
