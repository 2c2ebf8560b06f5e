// Game rules: legality, the four-in-a-row and draw tests, take-back, and play
// checked move by move against the slow grid engine.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "../../src/game.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

template <int NW>
void expect_same_game(const Game<NW> &a, const Game<NW> &b) {
    EXPECT_EQ(a.board.red, b.board.red);
    EXPECT_EQ(a.board.yellow, b.board.yellow);
    EXPECT_EQ(a.turn, b.turn);
    EXPECT_EQ(a.over, b.over);
    EXPECT_EQ(a.outcome, b.outcome);
    EXPECT_EQ(a.history, b.history);
}

std::optional<GameOutcome> outcome_of(const RefGame &ref) {
    if (!ref.outcome) return std::nullopt;
    return static_cast<GameOutcome>(*ref.outcome);
}

/// Builds a game from rows drawn top row first ('R', 'Y', '.'), with `turn` to move.
template <int NW>
Game<NW> from_rows(unsigned width, std::initializer_list<const char *> rows, Player turn) {
    auto g = Game<NW>::make(width, static_cast<unsigned>(rows.size()));
    unsigned r = static_cast<unsigned>(rows.size());
    for (const char *row : rows) {
        --r;
        for (unsigned c = 0; c < width; ++c)
            if (row[c] != '.') g.board.set_piece(c, r, row[c] == 'R' ? Player::Red : Player::Yellow);
    }
    g.turn = turn;
    return g;
}

}  // namespace

template <class T>
class GameTest : public ::testing::Test {};
TYPED_TEST_SUITE(GameTest, WordCounts);

TYPED_TEST(GameTest, NewGame) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        const auto g = Game<NW>::make(s.width, s.height);
        EXPECT_EQ(g.turn, Player::Red);
        EXPECT_FALSE(g.over);
        EXPECT_EQ(g.outcome, std::nullopt);
        EXPECT_TRUE(g.history.empty());
        const MoveList moves = g.legal_moves();
        ASSERT_EQ(moves.size, s.width);
        for (unsigned c = 0; c < s.width; ++c) EXPECT_EQ(moves[c], (Move{static_cast<uint8_t>(c), 0}));
        auto copy = g;
        EXPECT_FALSE(copy.unmake_move());
        expect_same_game(copy, g);
    }
    EXPECT_EQ(internal_error_text([] { Game<NW>::make(33, 4); }),
              "Board width must be between 4 and 32");
}

TEST(Game, OnlyTheExactLandingCellIsLegal) {
    auto g = Game<1>::make(7, 6);
    const auto fresh = g;
    EXPECT_FALSE(g.make_move({3, 1}));
    expect_same_game(g, fresh);
    EXPECT_TRUE(g.make_move({3, 0}));
    EXPECT_EQ(g.turn, Player::Yellow);
    EXPECT_FALSE(g.is_legal_move({3, 0}));
    EXPECT_FALSE(g.make_move({3, 2}));
    EXPECT_TRUE(g.make_move({3, 1}));
    EXPECT_EQ(g.turn, Player::Red);
    EXPECT_FALSE(g.is_legal_move({7, 0}));
    EXPECT_FALSE(g.is_legal_move({255, 0}));
    play(g, {3, 3, 3, 3});
    EXPECT_FALSE(g.is_legal_move({3, 6}));
    EXPECT_EQ(g.legal_moves().size, 6u);
    EXPECT_EQ(g.legal_moves()[3], (Move{4, 0}));
    EXPECT_EQ(std::vector<Move>(g.history.begin(), g.history.end()), (std::vector<Move>{{3, 0}, {3, 1}, {3, 2}, {3, 3}, {3, 4}, {3, 5}}));
}

namespace {

using Cells = std::array<int, 4>;

/// Gives `mover` every cell of the run but `last`, fills the cells below the
/// run with the opponent so that `last` is a landing cell, plays it and takes
/// it back.
template <int NW>
void play_run(const Game<NW> &base, const Cells &col, const Cells &row, int last, Player mover,
              bool line) {
    auto g = base;
    g.turn = mover;
    for (int i = 0; i < 4; ++i) {
        for (int r = 0; r < row[i]; ++r)
            if (!g.board.get_piece(col[i], r)) g.board.set_piece(col[i], r, other(mover));
        if (i != last) g.board.set_piece(col[i], row[i], mover);
    }
    const auto before = g;
    ASSERT_TRUE(g.make_move({static_cast<uint8_t>(col[last]), static_cast<uint8_t>(row[last])}));
    ASSERT_EQ(g.over, line);
    EXPECT_EQ(g.turn, other(mover));
    if (line) {
        EXPECT_EQ(g.outcome, win_for(mover));
        EXPECT_EQ(g.legal_moves().size, 0u);
        const unsigned c = (col[last] + 1) % g.width(), h = g.board.column_height(c, *g.geometry);
        EXPECT_FALSE(g.make_move({static_cast<uint8_t>(c), static_cast<uint8_t>(h)}));
    }
    EXPECT_TRUE(g.unmake_move());
    expect_same_game(g, before);
}

}  // namespace

// Every run of four cells p, p + d, p + 2d, p + 3d for the four line strides.
// Runs that stay on a straight line are fours; runs that wrap from one edge to
// the other are not. The runs cross every word boundary of the board.
TYPED_TEST(GameTest, EveryRunOfFourAlongALineStride) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        const int W = s.width, H = s.height;
        const auto base = Game<NW>::make(W, H);
        int fours = 0;
        for (int d : {1, W, W + 1, W - 1}) {
            for (int p = 0; p + 3 * d < W * H; ++p) {
                Cells col, row;
                for (int i = 0; i < 4; ++i) col[i] = (p + i * d) % W, row[i] = (p + i * d) / W;
                const int dc = col[1] - col[0], dr = row[1] - row[0];
                bool line = (dr == 0 && dc == 1) || (dr == 1 && dc >= -1 && dc <= 1);
                for (int i = 1; i < 4; ++i)
                    line = line && col[i] - col[i - 1] == dc && row[i] - row[i - 1] == dr;
                fours += line;
                for (int last = 0; last < 4; ++last) {
                    // Gravity: the piece played must be the run's highest in its column.
                    bool topmost = true;
                    for (int i = 0; i < 4; ++i)
                        topmost = topmost && (col[i] != col[last] || row[i] <= row[last]);
                    if (!topmost) continue;
                    SCOPED_TRACE(::testing::Message()
                                 << W << "x" << H << " p=" << p << " d=" << d << " last=" << last);
                    ASSERT_NO_FATAL_FAILURE(play_run(base, col, row, last, Player::Red, line));
                    ASSERT_NO_FATAL_FAILURE(play_run(base, col, row, last, Player::Yellow, line));
                }
            }
        }
        EXPECT_EQ(fours, (W - 3) * H + W * (H - 3) + 2 * (W - 3) * (H - 3));
    }
}

TEST(Game, LinesDoNotWrapAroundTheEdges) {
    const auto g = BoardGeometry<1>::make(7, 6);
    const auto four = [&](std::initializer_list<unsigned> cells) {
        Bitboard<1> u;
        for (unsigned k : cells) u.set_bit(k);
        return has_four(u, g);
    };
    // Bottom row columns 4, 5, 6 with column 0 of row 1; a rising-right diagonal
    // carried over the right edge; a rising-left one over the left edge.
    EXPECT_FALSE(four({4, 5, 6, 7}));
    EXPECT_FALSE(four({5, 13, 21, 29}));
    EXPECT_FALSE(four({2, 8, 14, 20}));
    // The same shapes one column inwards.
    EXPECT_TRUE(four({3, 4, 5, 6}));
    EXPECT_TRUE(four({3, 11, 19, 27}));
    EXPECT_TRUE(four({3, 9, 15, 21}));
}

TEST(Game, FiveInARowWins) {
    auto g = from_rows<1>(7, {".......", ".......", ".......", ".......", ".......", "RR.RR.."},
                          Player::Red);
    ASSERT_TRUE(g.make_move({2, 0}));
    EXPECT_EQ(g.outcome, GameOutcome::RedWin);
}

TEST(Game, FillingTheLastCellDrawsUnlessItCompletesAFour) {
    auto draw = from_rows<1>(4, {"YYR.", "RRYY", "YYRR", "RRYY"}, Player::Red);
    ASSERT_TRUE(draw.make_move({3, 3}));
    EXPECT_TRUE(draw.over);
    EXPECT_EQ(draw.outcome, GameOutcome::Draw);
    EXPECT_EQ(draw.turn, Player::Yellow);
    EXPECT_TRUE(draw.unmake_move());
    EXPECT_FALSE(draw.over);
    EXPECT_EQ(draw.outcome, std::nullopt);

    auto win = from_rows<1>(4, {"RRR.", "YRYR", "RYRY", "RYRY"}, Player::Red);
    ASSERT_TRUE(win.make_move({3, 3}));
    EXPECT_EQ(win.outcome, GameOutcome::RedWin);
}

// Only the top row decides a draw: the board below it may have holes.
TYPED_TEST(GameTest, AFullTopRowIsADraw) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        auto g = Game<NW>::make(s.width, s.height);
        const unsigned last = s.width / 2 & ~1u, top = s.height - 1;
        for (unsigned c = 0; c < s.width; ++c)
            if (c != last) g.board.set_piece(c, top, c % 2 ? Player::Yellow : Player::Red);
        for (unsigned r = 0; r < top; ++r)
            g.board.set_piece(last, r, r % 2 ? Player::Red : Player::Yellow);
        ASSERT_TRUE(g.make_move({static_cast<uint8_t>(last), static_cast<uint8_t>(top)}));
        EXPECT_EQ(g.outcome, GameOutcome::Draw) << s.width << "x" << s.height;
        EXPECT_EQ(g.legal_moves().size, 0u);
    }
}

TEST(Game, AFourPlacedByHandCountsOnTheOwnersNextMove) {
    auto g = Game<1>::make(7, 6);
    play(g, {6});
    for (unsigned c = 0; c < 4; ++c) g.board.set_piece(c, 0, Player::Red);
    EXPECT_FALSE(g.over);
    play(g, {5});
    EXPECT_FALSE(g.over) << "a Yellow move does not end the game";
    play(g, {6});
    EXPECT_EQ(g.outcome, GameOutcome::RedWin);

    auto y = Game<2>::make(9, 8);
    for (unsigned r = 4; r < 8; ++r) y.board.set_piece(8, r, Player::Yellow);
    play(y, {0});
    EXPECT_FALSE(y.over);
    play(y, {0});
    EXPECT_EQ(y.outcome, GameOutcome::YellowWin);
}

TEST(Game, HandEditedColumns) {
    auto g = Game<1>::make(7, 6);
    // A piece floating above a gap: the move names the piece count, lands in
    // the gap, and the history records where it landed.
    g.board.set_piece(2, 1, Player::Yellow);
    EXPECT_EQ(g.legal_moves()[2], (Move{2, 1}));
    EXPECT_FALSE(g.make_move({2, 0}));
    ASSERT_TRUE(g.make_move({2, 1}));
    EXPECT_EQ(g.history.back(), (Move{2, 0}));
    EXPECT_EQ(g.board.get_piece(2, 0), Player::Red);
    EXPECT_TRUE(g.unmake_move());
    EXPECT_EQ(g.board.get_piece(2, 0), std::nullopt);
    EXPECT_EQ(g.board.get_piece(2, 1), Player::Yellow);

    // An occupied top cell closes the column whatever lies below it.
    g.board.set_piece(4, 5, Player::Red);
    EXPECT_FALSE(g.make_move({4, 0}));
    EXPECT_FALSE(g.make_move({4, 1}));
    for (Move m : g.legal_moves()) EXPECT_NE(m.col, 4);
    EXPECT_EQ(g.legal_moves().size, 6u);
}

// Node counts of every legal move sequence from the empty 7 x 6 board. Up to
// six plies no column can fill, so the counts are powers of seven; at the
// seventh, the seven sequences that fill one column have six replies. The
// eighth, where the first games have ended, was counted by the grid engine.
namespace {

uint64_t perft(Game<1> &g, int depth) {
    if (depth == 0) return 1;
    uint64_t n = 0;
    for (Move m : g.legal_moves()) {
        EXPECT_TRUE(g.make_move(m));
        n += perft(g, depth - 1);
        EXPECT_TRUE(g.unmake_move());
    }
    return n;
}

uint64_t ref_perft(RefGame &g, int depth) {
    if (depth == 0) return 1;
    uint64_t n = 0;
    for (auto [c, r] : g.legal()) {
        g.play(c);
        n += ref_perft(g, depth - 1);
        g.undo();
    }
    return n;
}

}  // namespace

TEST(Game, PerftFromTheEmptyStandardBoard) {
    auto g = Game<1>::make(7, 6);
    RefGame ref(7, 6);
    uint64_t power = 1;
    for (int depth = 1; depth <= 6; ++depth) {
        power *= 7;
        EXPECT_EQ(perft(g, depth), power) << depth;
    }
    EXPECT_EQ(perft(g, 7), power * 7 - 7);
    EXPECT_EQ(ref_perft(ref, 8), 5673234u);
    EXPECT_EQ(perft(g, 8), 5673234u);
    expect_same_game(g, Game<1>::make(7, 6));
}

namespace {

/// Random moves on one size, compared with the grid engine after every step,
/// with refused probes, take-backs and replays along the way.
template <int NW>
void random_playout(unsigned width, unsigned height, std::mt19937 &rng) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height);
    auto g = Game<NW>::make(width, height);
    RefGame ref(width, height);
    for (;;) {
        const auto want = ref.legal();
        const MoveList got = g.legal_moves();
        ASSERT_EQ(got.size, want.size());
        for (unsigned i = 0; i < got.size; ++i)
            ASSERT_EQ(got[i], (Move{static_cast<uint8_t>(want[i].first),
                                    static_cast<uint8_t>(want[i].second)}));
        ASSERT_EQ(g.turn, static_cast<Player>(ref.turn));
        ASSERT_EQ(g.over, ref.outcome.has_value());
        ASSERT_EQ(g.outcome, outcome_of(ref));
        ASSERT_EQ(g.history.size(), ref.history.size());

        const Move probe{static_cast<uint8_t>(rng() % (width + 2)),
                         static_cast<uint8_t>(rng() % (height + 1))};
        bool legal = false;
        for (auto [c, r] : want) legal = legal || (probe.col == c && probe.row == r);
        ASSERT_EQ(g.is_legal_move(probe), legal);
        if (!legal) {
            const auto before = g;
            ASSERT_FALSE(g.make_move(probe));
            expect_same_game(g, before);
        }
        if (ref.outcome) break;
        if (!g.history.empty() && rng() % 8 == 0) {
            const auto before = g;
            const Move last = g.history.back();
            ASSERT_TRUE(g.unmake_move());
            ASSERT_TRUE(g.make_move(last));
            expect_same_game(g, before);
        }
        const auto [c, r] = want[rng() % want.size()];
        ASSERT_TRUE(g.make_move({static_cast<uint8_t>(c), static_cast<uint8_t>(r)}));
        ref.play(c);
    }
    ASSERT_TRUE(same_cells(g, ref));
    // Take everything back, checking each earlier position on the way.
    while (!ref.history.empty()) {
        ASSERT_TRUE(g.unmake_move());
        ref.undo();
        ASSERT_TRUE(same_cells(g, ref));
        ASSERT_EQ(g.turn, static_cast<Player>(ref.turn));
        ASSERT_FALSE(g.over);
    }
    EXPECT_FALSE(g.unmake_move());
    expect_same_game(g, Game<NW>::make(width, height));
}

}  // namespace

TEST(Game, RandomPlayoutsMatchTheGridEngineOnEverySize) {
    std::mt19937 rng(20240611);
    for (unsigned w = kMinDimension; w <= kMaxDimension; ++w)
        for (unsigned h = kMinDimension; h <= kMaxDimension; ++h)
            with_word_count(words_for(w, h), [&](auto nw) { random_playout<nw.value>(w, h, rng); });
}

// The masks are shared, not copied: every game of a size points at the same
// geometry, and a copy of a short game carries its moves inline.
TEST(Game, GamesOfOneSizeShareOneGeometry) {
    const auto a = Game<1>::make(7, 6), b = Game<1>::make(7, 6), c = Game<1>::make(6, 7);
    EXPECT_EQ(a.geometry, b.geometry);
    EXPECT_NE(a.geometry, c.geometry);
    EXPECT_EQ(a.geometry, &shared_geometry<1>(7, 6));
    auto g = Game<16>::make(32, 32);
    play(g, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    const Game<16> copy = g;
    EXPECT_EQ(copy.geometry, g.geometry);
    EXPECT_TRUE(copy.history.is_inline());
    expect_same_game(copy, g);
    static_assert(sizeof(Game<1>) <= 80, "a 7 x 6 game stays within 80 bytes");
}
