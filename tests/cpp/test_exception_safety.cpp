// The strong guarantee of the game's changing operations: an allocation that
// fails part-way (out of memory) leaves the game exactly as it was. The
// allocation functions of this test program are replaced by ones that can be
// told to fail.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "../../src/game.h"
#include "support.h"

namespace {

// Allocations on this thread that succeed before one fails; negative: none fails.
thread_local long allocations_before_failure = -1;

}  // namespace

// Kept out of line: inlined into a caller, free() behind a delete looks mismatched to the compiler.
[[gnu::noinline]] void *operator new(std::size_t n) {
    if (allocations_before_failure == 0) {
        allocations_before_failure = -1;
        throw std::bad_alloc();
    }
    if (allocations_before_failure > 0) --allocations_before_failure;
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void *p) noexcept { std::free(p); }
// The sized form too, or a sanitizer's own would free what this malloc'ed.
[[gnu::noinline]] void operator delete(void *p, std::size_t) noexcept { std::free(p); }
// The array forms as well: the history allocates arrays, and a sanitizer's
// runtime serves them itself instead of through the single-object form above.
[[gnu::noinline]] void *operator new[](std::size_t n) { return ::operator new(n); }
[[gnu::noinline]] void operator delete[](void *p) noexcept { ::operator delete(p); }
[[gnu::noinline]] void operator delete[](void *p, std::size_t) noexcept { ::operator delete(p); }
// The nothrow forms (std::stable_sort's buffer), which the sanitizer's runtime
// would otherwise serve with its own heap and this delete then free with free().
[[gnu::noinline]] void *operator new(std::size_t n, const std::nothrow_t &) noexcept {
    try {
        return ::operator new(n);
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}
[[gnu::noinline]] void operator delete(void *p, const std::nothrow_t &) noexcept { ::operator delete(p); }

using namespace gravline;
using namespace gravline::testing;

namespace {

/// Runs f with this thread's next allocation failing; true when f failed with bad_alloc.
template <class F>
bool fails_for_memory(F &&f) {
    allocations_before_failure = 0;
    bool failed = false;
    try {
        f();
    } catch (const std::bad_alloc &) {
        failed = true;
    }
    allocations_before_failure = -1;
    return failed;
}

template <int NW>
void expect_same_game(const Game<NW> &a, const Game<NW> &b) {
    EXPECT_EQ(a.board.red, b.board.red);
    EXPECT_EQ(a.board.yellow, b.board.yellow);
    EXPECT_EQ(a.turn, b.turn);
    EXPECT_EQ(a.over, b.over);
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.history, b.history);
}

/// A legal move of `g` that does not end the game, if there is one.
template <int NW>
std::optional<Move> quiet_move(const Game<NW> &g) {
    for (const Move m : g.legal_moves()) {
        Game<NW> trial = g;
        trial.make_move(m);
        if (!trial.over) return m;
    }
    return std::nullopt;
}

}  // namespace

// A long game on the largest board, so that the history outgrows any storage
// of its own and has to allocate several times. Each move is first tried with
// the allocation failing: the game must be untouched, and the same move must
// then play normally. Taking every move back at the end empties the board,
// which a move left on the board without its record would not.
TEST(ExceptionSafety, AMoveThatCannotBeRecordedChangesNothing) {
    Game<16> g = Game<16>::make(32, 32);
    unsigned failures = 0, moves = 0;
    // A floating piece: moves in its column land below the row they name, and
    // the record keeps the landing row.
    g.board.set_piece(5, 3, Player::Yellow);
    for (; moves < 400; ++moves) {
        const std::optional<Move> m = quiet_move(g);
        if (!m) break;
        const Game<16> before = g;
        if (fails_for_memory([&] { g.make_move(*m); })) {
            ++failures;
            expect_same_game(g, before);
        } else {
            // Nothing to fail: the move was played; undo it to replay it below.
            ASSERT_TRUE(g.unmake_move());
            expect_same_game(g, before);
        }
        ASSERT_TRUE(g.make_move(*m));
        ASSERT_EQ(g.history.back().col, m->col);
    }
    EXPECT_GE(moves, 300u);
    EXPECT_GE(failures, 1u);
    for (unsigned i = 0; i < moves; ++i) ASSERT_TRUE(g.unmake_move());
    EXPECT_EQ(g.board.red, Bitboard<16>{});
    EXPECT_EQ(g.board.yellow.count_ones(), 1u);
    EXPECT_EQ(g.board.get_piece(5, 3), Player::Yellow);
}

// A refused move changes nothing, whether or not memory is short.
TEST(ExceptionSafety, RefusedMovesNeedNoMemory) {
    Game<1> g = Game<1>::make(7, 6);
    ASSERT_TRUE(g.make_move({3, 0}));
    const Game<1> before = g;
    for (const Move m : {Move{3, 0}, Move{7, 0}, Move{2, 1}}) {
        bool played = true;
        EXPECT_FALSE(fails_for_memory([&] { played = g.make_move(m); }));
        EXPECT_FALSE(played);
        expect_same_game(g, before);
    }
}
