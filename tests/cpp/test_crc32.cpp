// CRC-32: the folded and table paths against a bit-at-a-time reference, for
// every length around the fold's steps and for unaligned starts.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "../../src/crc32.h"

namespace {

uint32_t bitwise(uint32_t crc, const uint8_t *p, std::size_t n) {
    crc = ~crc;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b) crc = (crc >> 1) ^ (crc & 1 ? 0xEDB88320u : 0);
    }
    return ~crc;
}

TEST(Crc32, KnownValues) {
    const std::string check = "123456789";
    EXPECT_EQ(gravline::crc32(0, check.data(), check.size()), 0xCBF43926u);
    EXPECT_EQ(gravline::crc32(0, nullptr, 0), 0u);
    EXPECT_EQ(gravline::crc32(0x12345678u, nullptr, 0), 0x12345678u);
}

TEST(Crc32, EveryLengthAndOffsetMatchesTheReference) {
    std::mt19937_64 rng(7);
    std::vector<uint8_t> data(4096 + 64);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    for (std::size_t offset : {0, 1, 3, 8, 13})
        for (std::size_t n = 0; n <= 300; ++n)
            ASSERT_EQ(gravline::crc32(0, data.data() + offset, n), bitwise(0, data.data() + offset, n))
                << "offset " << offset << " length " << n;
    for (std::size_t n : {1000, 1023, 4096})
        EXPECT_EQ(gravline::crc32(0, data.data() + 5, n), bitwise(0, data.data() + 5, n));
}

TEST(Crc32, PiecesChainLikeTheWhole) {
    std::mt19937_64 rng(11);
    std::vector<uint8_t> data(2000);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    const uint32_t whole = gravline::crc32(0, data.data(), data.size());
    for (std::size_t cut : {0, 1, 63, 64, 65, 700, 1999, 2000}) {
        const uint32_t first = gravline::crc32(0, data.data(), cut);
        EXPECT_EQ(gravline::crc32(first, data.data() + cut, data.size() - cut), whole) << "cut " << cut;
    }
    // Starting from a CRC that is not zero exercises the register's seed in
    // the folded path.
    EXPECT_EQ(gravline::crc32(0xDEADBEEFu, data.data(), data.size()), bitwise(0xDEADBEEFu, data.data(), data.size()));
}

}  // namespace
