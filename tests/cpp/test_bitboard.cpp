// Bitboard operations across word boundaries, and the geometry masks of each size.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "../../src/bitboard.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

template <int NW>
Bitboard<NW> random_bits(std::mt19937_64 &rng) {
    Bitboard<NW> b;
    for (auto &x : b.w) x = rng() & rng();  // sparse enough to leave gaps
    return b;
}

template <int NW>
Bitboard<NW> bits(std::initializer_list<unsigned> ks) {
    Bitboard<NW> b;
    for (unsigned k : ks) b.set_bit(k);
    return b;
}

template <int NW>
std::vector<unsigned> set_bits(const Bitboard<NW> &b) {
    std::vector<unsigned> out;
    for (unsigned k = 0; k < 64u * NW; ++k)
        if (b.get_bit(k)) out.push_back(k);
    return out;
}

}  // namespace

template <class T>
class BitboardTest : public ::testing::Test {};
TYPED_TEST_SUITE(BitboardTest, WordCounts);

TYPED_TEST(BitboardTest, ShiftLeftMovesEveryBitUpAndDropsOverflow) {
    constexpr int NW = TypeParam::value;
    constexpr unsigned kBits = 64 * NW;
    std::mt19937_64 rng(NW);
    for (int trial = 0; trial < 20; ++trial) {
        const Bitboard<NW> in = random_bits<NW>(rng);
        for (unsigned n : {0u, 1u, 5u, 63u, 64u, 65u, 127u, 128u, 129u, kBits - 1, kBits, kBits + 1}) {
            const Bitboard<NW> out = in.shift_left(n);
            for (unsigned k = 0; k < kBits; ++k) {
                const bool want = k >= n && in.get_bit(k - n);
                ASSERT_EQ(out.get_bit(k), want) << "n=" << n << " bit " << k;
            }
        }
    }
    EXPECT_EQ(bits<NW>({63}).shift_left(1), NW == 1 ? Bitboard<NW>{} : bits<NW>({64}));
    Bitboard<NW> all;
    for (auto &x : all.w) x = ~uint64_t{0};
    EXPECT_EQ(all.shift_left(0), all);
    EXPECT_TRUE(all.shift_left(kBits).empty());
    EXPECT_EQ(all.shift_left(kBits - 1), bits<NW>({kBits - 1}));
}

TYPED_TEST(BitboardTest, SetOperationsAndCounts) {
    constexpr int NW = TypeParam::value;
    std::mt19937_64 rng(100 + NW);
    for (int trial = 0; trial < 20; ++trial) {
        const Bitboard<NW> a = random_bits<NW>(rng), b = random_bits<NW>(rng);
        const Bitboard<NW> o = a | b, n = a & b, d = a.and_not(b);
        int ones = 0;
        for (unsigned k = 0; k < 64u * NW; ++k) {
            ASSERT_EQ(o.get_bit(k), a.get_bit(k) || b.get_bit(k));
            ASSERT_EQ(n.get_bit(k), a.get_bit(k) && b.get_bit(k));
            ASSERT_EQ(d.get_bit(k), a.get_bit(k) && !b.get_bit(k));
            ones += a.get_bit(k);
        }
        EXPECT_EQ(a.count_ones(), ones);
        const std::vector<unsigned> want = set_bits(a);
        std::vector<unsigned> seen;
        a.for_each_bit([&](unsigned k) { seen.push_back(k); });
        EXPECT_EQ(seen, want);
        if (!want.empty()) {
            EXPECT_EQ(a.lowest_set_bit(), want.front());
        }
    }
}

TYPED_TEST(BitboardTest, SingleBitsInEveryWord) {
    constexpr int NW = TypeParam::value;
    for (unsigned k = 0; k < 64u * NW; ++k) {
        Bitboard<NW> b;
        b.set_bit(k);
        ASSERT_EQ(b.w[k / 64], uint64_t{1} << (k % 64));
        ASSERT_EQ(b.lowest_set_bit(), k);
        b.set_bit(64u * NW - 1);  // a higher bit does not hide the lowest
        ASSERT_EQ(b.lowest_set_bit(), k);
        b.clear_bit(k);
        b.clear_bit(64u * NW - 1);
        ASSERT_TRUE(b.empty());
        ASSERT_EQ(Bitboard<NW>::first_bits(k).count_ones(), static_cast<int>(k));
        ASSERT_FALSE(Bitboard<NW>::first_bits(k).get_bit(k));
        ASSERT_TRUE(Bitboard<NW>::first_bits(k + 1).get_bit(k));
    }
}

TYPED_TEST(BitboardTest, IndexPastTheLastWordIsAnInternalError) {
    constexpr int NW = TypeParam::value;
    Bitboard<NW> b;
    EXPECT_NO_THROW(b.set_bit(64 * NW - 1));
    EXPECT_THROW(b.set_bit(64 * NW), InternalError);
    EXPECT_THROW(b.clear_bit(64 * NW + 63), InternalError);
    EXPECT_THROW((void)b.get_bit(64 * NW), InternalError);
    EXPECT_THROW((void)b.get_bit(100000), InternalError);
    EXPECT_EQ(b.count_ones(), 1);
}

// ---- geometry ----

TEST(BoardGeometry, StandardBoardMasks) {
    const auto g = BoardGeometry<1>::make(7, 6);
    EXPECT_EQ(g.width, 7);
    EXPECT_EQ(g.height, 6);
    EXPECT_EQ(set_bits(g.column_masks[0]), (std::vector<unsigned>{0, 7, 14, 21, 28, 35}));
    EXPECT_EQ(set_bits(g.column_masks[6]), (std::vector<unsigned>{6, 13, 20, 27, 34, 41}));
    EXPECT_EQ(set_bits(g.top_row), (std::vector<unsigned>{35, 36, 37, 38, 39, 40, 41}));
    const uint64_t board = (uint64_t{1} << 42) - 1;
    EXPECT_EQ(g.not_first_column.w[0], board & ~g.column_masks[0].w[0]);
    EXPECT_EQ(g.not_last_column.w[0], board & ~g.column_masks[6].w[0]);
    for (unsigned c = 7; c < kMaxColumns; ++c) EXPECT_TRUE(g.column_masks[c].empty()) << c;
}

namespace {

/// Every mask of one size against its definition, cell by cell.
template <int NW>
void expect_masks_match(unsigned width, unsigned height) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height);
    const auto g = BoardGeometry<NW>::make(width, height);
    EXPECT_EQ(g.width, width);
    EXPECT_EQ(g.height, height);
    for (unsigned k = 0; k < 64u * NW; ++k) {
        const bool on = k < width * height;
        const unsigned col = k % width, row = k / width;
        ASSERT_EQ(g.not_first_column.get_bit(k), on && col != 0) << k;
        ASSERT_EQ(g.not_last_column.get_bit(k), on && col != width - 1) << k;
        ASSERT_EQ(g.top_row.get_bit(k), on && row == height - 1) << k;
        for (unsigned c = 0; c < kMaxColumns; ++c)
            ASSERT_EQ(g.column_masks[c].get_bit(k), on && c < width && col == c) << k << " col " << c;
    }
}

}  // namespace

// Every bit of every word is checked, so the boards that fill their words
// exactly (8 x 8, 16 x 16, 32 x 32) show that no mask spills past the board.
TEST(BoardGeometry, MasksOfManySizes) {
    for (Size s : std::vector<Size>{{7, 6}, {6, 7}, {8, 8}, {9, 8}, {4, 4}, {4, 32}, {32, 4}, {13, 5},
                                    {16, 16}, {20, 16}, {31, 31}, {32, 32}})
        with_word_count(words_for(s.width, s.height),
                        [&](auto nw) { expect_masks_match<nw.value>(s.width, s.height); });
}

TEST(BoardGeometry, BadSizesAndWrongWordCountsAreInternalErrors) {
    EXPECT_EQ(internal_error_text([] { BoardGeometry<1>::make(3, 6); }),
              "Board width must be between 4 and 32");
    // Width is checked first, so two bad dimensions name the width.
    EXPECT_EQ(internal_error_text([] { BoardGeometry<1>::make(2, 2); }),
              "Board width must be between 4 and 32");
    EXPECT_EQ(internal_error_text([] { BoardGeometry<1>::make(7, 3); }),
              "Board height must be between 4 and 32");
    EXPECT_EQ(internal_error_text([] { BoardGeometry<2>::make(7, 6); }),
              "NW=2 does not match board 7x6 (need 1)");
    EXPECT_EQ(internal_error_text([] { BoardGeometry<15>::make(32, 32); }),
              "NW=15 does not match board 32x32 (need 16)");
    EXPECT_NO_THROW(BoardGeometry<1>::make(4, 4));
    EXPECT_NO_THROW(BoardGeometry<16>::make(32, 32));
}

// ---- the shared geometry of each size ----

TEST(SharedGeometry, OneGeometryPerSizeEqualToAFreshlyBuiltOne) {
    const BoardGeometry<1> &a = shared_geometry<1>(7, 6);
    EXPECT_EQ(&a, &shared_geometry<1>(7, 6));
    EXPECT_NE(&a, &shared_geometry<1>(6, 7));
    const BoardGeometry<16> &big = shared_geometry<16>(32, 32);
    const BoardGeometry<16> fresh = BoardGeometry<16>::make(32, 32);
    EXPECT_EQ(big.column_masks, fresh.column_masks);
    EXPECT_EQ(big.top_row, fresh.top_row);
    EXPECT_EQ(big.not_first_column, fresh.not_first_column);
    EXPECT_EQ(big.not_last_column, fresh.not_last_column);
    EXPECT_EQ(big.width, 32);
    EXPECT_EQ(big.height, 32);
    // A filled slot is never handed out under another word count.
    EXPECT_EQ(internal_error_text([] { shared_geometry<2>(7, 6); }),
              "NW=2 does not match board 7x6 (need 1)");
    EXPECT_EQ(internal_error_text([] { shared_geometry<1>(33, 4); }),
              "Board width must be between 4 and 32");
}

// Threads that meet on the first use of a size all get the one geometry that was published.
TEST(SharedGeometry, ThreadsRacingOnAFirstUseAgreeOnOneGeometry) {
    constexpr int kThreads = 8;
    std::vector<const BoardGeometry<5> *> seen(kThreads);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) {
            }
            seen[i] = &shared_geometry<5>(20, 16);  // no test before this one uses the size
        });
    for (auto &t : threads) t.join();
    for (const auto *g : seen) EXPECT_EQ(g, seen[0]);
    EXPECT_EQ(seen[0]->column_masks, BoardGeometry<5>::make(20, 16).column_masks);
}
