// MoveHistory: inline while short, on the heap once long, copies and moves of both.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "../../src/history.h"

using namespace gravline;

namespace {

constexpr uint32_t kInline = MoveHistory::kInline;

Move nth(std::size_t i) { return Move{static_cast<uint8_t>(i % 251), static_cast<uint8_t>(i / 251)}; }

MoveHistory with_moves(std::size_t n) {
    MoveHistory h;
    for (std::size_t i = 0; i < n; ++i) h.push_back(nth(i));
    return h;
}

void expect_moves(const MoveHistory &h, std::size_t n) {
    ASSERT_EQ(h.size(), n);
    EXPECT_EQ(h.empty(), n == 0);
    std::size_t i = 0;
    for (Move m : h) EXPECT_EQ(m, nth(i++));
    for (i = 0; i < n; ++i) EXPECT_EQ(h[i], nth(i));
    if (n) {
        EXPECT_EQ(h.back(), nth(n - 1));
    }
}

}  // namespace

// Around the inline room and well past it: the moves read back in order, and
// the storage moves to the heap exactly when the inline room is exceeded.
TEST(MoveHistory, GrowsPastTheInlineRoomAndShrinksBack) {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{kInline}, std::size_t{kInline + 1},
                          std::size_t{3 * kInline + 5}, std::size_t{5000}}) {
        MoveHistory h = with_moves(n);
        expect_moves(h, n);
        EXPECT_EQ(h.is_inline(), n <= kInline) << n;
        while (h.size() > n / 2) h.pop_back();
        expect_moves(h, n / 2);
        h.push_back(nth(n / 2));
        expect_moves(h, n / 2 + 1);
        h.clear();
        expect_moves(h, 0);
    }
}

TEST(MoveHistory, CopiesAreIndependentAndTakeOnlyTheRoomTheyNeed) {
    for (std::size_t n : {std::size_t{0}, std::size_t{kInline}, std::size_t{kInline + 1}, std::size_t{300}}) {
        const MoveHistory original = with_moves(n);
        MoveHistory copy = original;
        expect_moves(copy, n);
        EXPECT_TRUE(copy == original);
        EXPECT_EQ(copy.is_inline(), n <= kInline);
        if (!copy.is_inline()) {
            EXPECT_EQ(copy.capacity(), n);
        }
        copy.push_back(Move{1, 1});
        expect_moves(original, n);
        EXPECT_FALSE(copy == original);
    }
    // A long history taken back to a few moves copies inline again.
    MoveHistory shrunk = with_moves(100);
    while (shrunk.size() > 3) shrunk.pop_back();
    const MoveHistory copy = shrunk;
    EXPECT_TRUE(copy.is_inline());
    expect_moves(copy, 3);
}

TEST(MoveHistory, AssignmentAndMovesOfEitherStorage) {
    for (std::size_t a : {std::size_t{2}, std::size_t{40}})
        for (std::size_t b : {std::size_t{0}, std::size_t{5}, std::size_t{70}}) {
            MoveHistory x = with_moves(a), y = with_moves(b);
            x = y;
            expect_moves(x, b);
            expect_moves(y, b);
            MoveHistory z = with_moves(a);
            z = std::move(y);
            expect_moves(z, b);
            expect_moves(y, 0);  // a moved-from history is empty and usable
            y.push_back(nth(0));
            expect_moves(y, 1);
            MoveHistory w(std::move(z));
            expect_moves(w, b);
            expect_moves(z, 0);
            x = static_cast<const MoveHistory &>(x);  // self-assignment keeps the moves
            expect_moves(x, b);
        }
}
