#pragma once

// CRC-32 (the IEEE polynomial, reflected, as zlib and PNG compute it), eight
// bytes a step with tables made at compile time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace corvane {

// Four bytes as a little-endian word, whatever the host's order (one load where it is little-endian).
inline std::uint32_t load_le32(const unsigned char *p) noexcept {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

namespace crc32_detail {

constexpr std::uint32_t polynomial = 0xEDB88320u;

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t c = byte;
        for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1u) != 0 ? polynomial : 0u);
        t[0][byte] = c;
    }
    // Table k advances a byte's remainder over k further zero bytes.
    for (std::size_t k = 1; k < 8; ++k) {
        for (std::size_t byte = 0; byte < 256; ++byte) t[k][byte] = (t[k - 1][byte] >> 8) ^ t[0][t[k - 1][byte] & 0xFF];
    }
    return t;
}

inline constexpr Tables tables = make_tables();

}  // namespace crc32_detail

inline std::uint32_t crc32(std::string_view bytes) noexcept {
    const auto &t = crc32_detail::tables;
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    std::size_t n = bytes.size();
    std::uint32_t c = 0xFFFFFFFFu;
    for (; n >= 8; n -= 8, p += 8) {
        const std::uint32_t low = load_le32(p) ^ c, high = load_le32(p + 4);
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; n > 0; --n, ++p) c = (c >> 8) ^ t[0][(c ^ *p) & 0xFF];
    return c ^ 0xFFFFFFFFu;
}

}  // namespace corvane
