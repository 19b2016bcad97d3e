#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace corvane {

namespace detail {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and code points past
// U+10FFFF included, exactly as a strict decoder rejects them).
inline std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        len = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        len = 3;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        len = 4;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    }
    return len;
}

}  // namespace detail

// The bytes of a key or tag as message text: valid UTF-8 passes unchanged;
// stray bytes and NUL (which would cut a C-string message short) become \xNN,
// so an error message naming any stored key can always be decoded.
inline std::string readable(std::string_view bytes) {
    static const char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const std::size_t len = bytes[i] == '\0' ? 0 : detail::utf8_sequence_length(bytes, i);
        if (len == 0) {
            const auto b = static_cast<unsigned char>(bytes[i]);
            out += "\\x";
            out += hex[b >> 4];
            out += hex[b & 0xF];
            ++i;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

}  // namespace corvane
