// SipHash against published vectors, the exact hash messages of known games,
// and which changes to a game each hash sees.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <vector>

#include "../../src/encode.h"
#include "../../src/hash.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

std::vector<uint8_t> counting_bytes(size_t n) {
    std::vector<uint8_t> m(n);
    for (size_t i = 0; i < n; ++i) m[i] = static_cast<uint8_t>(i);
    return m;
}

template <int NW>
std::vector<uint8_t> message(const Game<NW> &g, HashFields upto) {
    const HashMessage m = hash_message(g, upto);
    return {m.data(), m.data() + m.size()};
}

/// Little-endian 64-bit words.
std::vector<uint8_t> u64s(std::initializer_list<uint64_t> words) {
    std::vector<uint8_t> out;
    for (uint64_t w : words)
        for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

/// Red wins with four in column 0 after seven moves.
Game<1> column_win() {
    auto g = Game<1>::make(7, 6);
    play(g, {0, 1, 0, 1, 0, 1, 0});
    return g;
}

}  // namespace

// Key 00..0f, message 00 01 .. of each length: the vectors published with the
// SipHash-2-4 reference implementation.
TEST(SipHash, TwoFourPublishedVectors) {
    const uint64_t k0 = 0x0706050403020100ull, k1 = 0x0f0e0d0c0b0a0908ull;
    const std::pair<size_t, uint64_t> vectors[] = {
        {0, 0x726fdb47dd0e0e31ull},  {1, 0x74f839c593dc67fdull},  {7, 0xab0200f58b01d137ull},
        {8, 0x93f5f5799a932462ull},  {15, 0xa129ca6149be45e5ull}, {16, 0x3f2acc7f57c29bdbull},
        {63, 0x958a324ceb064572ull},
    };
    for (auto [len, want] : vectors) {
        const auto m = counting_bytes(len);
        EXPECT_EQ((siphash<2, 4>(m.data(), len, k0, k1)), want) << len;
    }
}

// Zero key, message 00 01 .. of each length: SipHash-1-3 values of the
// reference implementation, as republished in the OCaml runtime's test suite.
TEST(SipHash, OneThreeZeroKeyVectors) {
    EXPECT_EQ(siphash13(nullptr, 0), 15130871412783076140ull);
    const std::pair<size_t, uint64_t> vectors[] = {
        {0, 0xd1fba762150c532cull},  {1, 0x68a914128e01e473ull},  {7, 0x2f098ab0c751325aull},
        {8, 0xead411e67ebe2eeaull},  {9, 0x75927f9d95124362ull},  {15, 0xf30eb725bb91c9eaull},
        {16, 0x8972188433a5c5b7ull}, {52, 0xded6177b9826835aull}, {63, 0x385d3e39e5f37359ull},
    };
    for (auto [len, want] : vectors) {
        const auto m = counting_bytes(len);
        EXPECT_EQ(siphash13(m.data(), len), want) << len;
    }
}

TEST(HashMessage, NewStandardGame) {
    const auto g = Game<1>::make(7, 6);
    // 0100000000000000 0000000000000000 0100000000000000 0000000000000000
    // 07 06 01 00 0000000000000000 0000000000000000
    const auto position = u64s({1, 0, 1, 0}) + std::vector<uint8_t>{7, 6, 0x01};
    const auto transposition = position + std::vector<uint8_t>{0} + u64s({0});
    const auto state = transposition + u64s({0});
    EXPECT_EQ(message(g, HashFields::Position), position);
    EXPECT_EQ(message(g, HashFields::Transposition), transposition);
    EXPECT_EQ(message(g, HashFields::State), state);
    ASSERT_EQ(state.size(), 52u);
    EXPECT_EQ(state_hash(g), 12513035348757088845ull);
    EXPECT_EQ(transposition_hash(g), 11662295138548180633ull);
    EXPECT_EQ(python_hash(position_hash(g)), 1231240090846988874);
}

TEST(HashMessage, AfterRedDropsInColumnThree) {
    auto g = Game<1>::make(7, 6);
    play(g, {3});
    const auto transposition =
        u64s({1, 8, 1, 0}) + std::vector<uint8_t>{7, 6, 0xFF, 0} + u64s({0});
    EXPECT_EQ(message(g, HashFields::State), (transposition + u64s({1}) + std::vector<uint8_t>{3, 0}));
    EXPECT_EQ(state_hash(g), 16522831597811446852ull);
    EXPECT_EQ(transposition_hash(g), 5076636341670763276ull);
    EXPECT_EQ(python_hash(position_hash(g)), 5747234783373043202);
}

TEST(HashMessage, RedWinsInColumnZero) {
    const auto g = column_win();
    const uint64_t red = 1 | 1 << 7 | 1 << 14 | 1 << 21, yellow = 1 << 1 | 1 << 8 | 1 << 15;
    const auto want = u64s({1, red, 1, yellow}) + std::vector<uint8_t>{7, 6, 0xFF, 1} +
                      u64s({1, 0, 7}) + std::vector<uint8_t>{0, 0, 1, 0, 0, 1, 1, 1, 0, 2, 1, 2, 0, 3};
    EXPECT_EQ(message(g, HashFields::State), want);
    EXPECT_EQ(state_hash(g), 757399061492564880ull);
    EXPECT_EQ(transposition_hash(g), 4994100036866473222ull);
    EXPECT_EQ(python_hash(position_hash(g)), -3995502691167116177);
}

TEST(HashMessage, LargestMessageIs314Bytes) {
    auto g = Game<16>::make(32, 32);
    play(g, {0, 1, 0, 1, 2, 3, 0, 1, 0});
    ASSERT_TRUE(g.over);
    EXPECT_EQ(message(g, HashFields::State).size(), 314u);
    const auto m = message(g, HashFields::State);
    // Only the last seven moves are hashed, oldest first.
    EXPECT_EQ(std::vector<uint8_t>(m.end() - 14, m.end()),
              (std::vector<uint8_t>{0, 1, 1, 1, 2, 0, 3, 0, 0, 2, 1, 2, 0, 3}));
}

TEST(PythonHash, ReadsSignedAndNeverGivesMinusOne) {
    EXPECT_EQ(python_hash(0), 0);
    EXPECT_EQ(python_hash(12345), 12345);
    EXPECT_EQ(python_hash(uint64_t{1} << 63), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(python_hash(~uint64_t{0}), -2);      // 2^64 - 1
    EXPECT_EQ(python_hash(~uint64_t{0} - 1), -2);  // 2^64 - 2
    EXPECT_EQ(python_hash(~uint64_t{0} - 2), -3);
    EXPECT_EQ(python_hash(move_hash({3, 0})), 7293462908534724562);
    EXPECT_EQ(python_hash(move_hash({0, 0})), 6165216591721696495);
}

TEST(GameHashes, TranspositionsShareAllButTheStateHash) {
    auto a = Game<1>::make(7, 6), b = a;
    play(a, {0, 1, 2});
    play(b, {2, 1, 0});
    EXPECT_EQ(position_hash(a), position_hash(b));
    EXPECT_EQ(transposition_hash(a), transposition_hash(b));
    EXPECT_NE(state_hash(a), state_hash(b));
}

TEST(GameHashes, MovesOlderThanTheLastSevenAreNotHashed) {
    auto a = Game<1>::make(7, 6), b = a;
    play(a, {0, 2, 1});
    play(b, {1, 2, 0});
    for (auto *g : {&a, &b}) play(*g, {5, 5, 6, 6, 5, 5, 6});
    EXPECT_EQ(state_hash(a), state_hash(b));
    // One more move in common still leaves them equal; one less does not.
    ASSERT_TRUE(a.unmake_move() && b.unmake_move());
    EXPECT_NE(state_hash(a), state_hash(b));
}

TEST(GameHashes, SizeTurnAndStatusEachChangeTheHashes) {
    const auto expect_all_differ = [](const auto &x, const auto &y) {
        EXPECT_NE(state_hash(x), state_hash(y));
        EXPECT_NE(transposition_hash(x), transposition_hash(y));
        EXPECT_NE(position_hash(x), position_hash(y));
    };
    // Equal bit sets, different sizes; 8 x 8 and 9 x 8 also differ in word count.
    expect_all_differ(Game<1>::make(7, 6), Game<1>::make(6, 7));
    expect_all_differ(Game<1>::make(8, 8), Game<2>::make(9, 8));
    EXPECT_EQ(message(Game<2>::make(9, 8), HashFields::State).size(), 68u);

    auto red = Game<1>::make(7, 6), yellow = red;
    yellow.turn = Player::Yellow;
    expect_all_differ(red, yellow);

    // The same pieces and side to move, placed by hand in a game that has not ended.
    const auto won = column_win();
    auto placed = Game<1>::make(7, 6);
    placed.board = won.board;
    placed.turn = won.turn;
    placed.history = won.history;
    EXPECT_EQ(position_hash(placed), position_hash(won));
    EXPECT_NE(transposition_hash(placed), transposition_hash(won));
    EXPECT_NE(state_hash(placed), state_hash(won));
}

TEST(GameHashes, TakingBackAMoveRestoresEveryHash) {
    auto g = column_win();
    ASSERT_TRUE(g.unmake_move());
    const uint64_t s = state_hash(g), t = transposition_hash(g), p = position_hash(g);
    std::vector<float> planes(17 * 42);
    encode_planes(g, planes.data());
    play(g, {0});
    EXPECT_NE(state_hash(g), s);
    ASSERT_TRUE(g.unmake_move());
    EXPECT_EQ(state_hash(g), s);
    EXPECT_EQ(transposition_hash(g), t);
    EXPECT_EQ(position_hash(g), p);
}
