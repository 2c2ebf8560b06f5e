// CRC-32 of the zip format (the reflected polynomial 0xEDB88320), as zlib's
// crc32() computes it: crc32(crc32(0, a), b) is the CRC of a followed by b.
// Shard files carry one per member, over every byte written, so it runs at
// the speed of a copy: on x86-64 with carry-less multiplication it folds 64
// bytes a step; elsewhere it reads eight bytes a step through tables.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define GRAVLINE_CRC32_FOLD 1
#endif

namespace gravline {
namespace crc32_detail {

constexpr uint32_t kPolynomial = 0xEDB88320u;

/// tables[k][b]: the register after byte b and then k zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> make_tables() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    for (uint32_t b = 0; b < 256; ++b) {
        uint32_t c = b;
        for (int i = 0; i < 8; ++i) c = (c >> 1) ^ (c & 1 ? kPolynomial : 0);
        t[0][b] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (uint32_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
    return t;
}

inline constexpr auto kTables = make_tables();

/// The register (not inverted) after `n` bytes at `p`.
inline uint32_t by_tables(uint32_t reg, const uint8_t *p, std::size_t n) {
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t w;
        std::memcpy(&w, p, 8);
        if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
        w ^= reg;
        reg = kTables[7][w & 0xff] ^ kTables[6][(w >> 8) & 0xff] ^ kTables[5][(w >> 16) & 0xff] ^
              kTables[4][(w >> 24) & 0xff] ^ kTables[3][(w >> 32) & 0xff] ^ kTables[2][(w >> 40) & 0xff] ^
              kTables[1][(w >> 48) & 0xff] ^ kTables[0][w >> 56];
    }
    for (; n; --n, ++p) reg = (reg >> 8) ^ kTables[0][(reg ^ *p) & 0xff];
    return reg;
}

#ifdef GRAVLINE_CRC32_FOLD
#define GRAVLINE_CRC32_TARGET __attribute__((target("pclmul")))

GRAVLINE_CRC32_TARGET inline __m128i load(const uint8_t *q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
}

/// x's low half times k's low, its high half times k's high, and `next`.
GRAVLINE_CRC32_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), next);
}

/// The register after `n` bytes (n >= 64) at `p`: four 128-bit lanes folded
/// forward 512 bits a step, then into one, which with the last bytes goes
/// through the tables. Folding keeps the remainder modulo the polynomial, so
/// the folded lane stands for everything before it. The constants are
/// x^(512+32), x^(512-32), x^(128+32) and x^(128-32) modulo the polynomial,
/// bit-reflected and shifted left by one.
GRAVLINE_CRC32_TARGET inline uint32_t by_folding(uint32_t reg, const uint8_t *p, std::size_t n) {
    const __m128i by4 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i by1 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    n -= 64;
    for (; n >= 64; n -= 64, p += 64) {
        x0 = fold(x0, by4, load(p));
        x1 = fold(x1, by4, load(p + 16));
        x2 = fold(x2, by4, load(p + 32));
        x3 = fold(x3, by4, load(p + 48));
    }
    __m128i x = fold(fold(fold(x0, by1, x1), by1, x2), by1, x3);
    for (; n >= 16; n -= 16, p += 16) x = fold(x, by1, load(p));
    alignas(16) uint8_t lane[16];
    _mm_store_si128(reinterpret_cast<__m128i *>(lane), x);
    return by_tables(by_tables(0, lane, 16), p, n);
}

#undef GRAVLINE_CRC32_TARGET

inline bool can_fold() {
    static const bool ok = __builtin_cpu_supports("pclmul");
    return ok;
}
#endif

}  // namespace crc32_detail

/// zlib's crc32(crc, p, n): the CRC-32 of the bytes before (whose CRC is
/// `crc`, 0 for none) followed by the `n` bytes at `p`.
inline uint32_t crc32(uint32_t crc, const void *data, std::size_t n) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t reg = ~crc;
#ifdef GRAVLINE_CRC32_FOLD
    if (n >= 64 && crc32_detail::can_fold()) return ~crc32_detail::by_folding(reg, p, n);
#endif
    return ~crc32_detail::by_tables(reg, p, n);
}

}  // namespace gravline
