// The solver against a plain minimax over Game: scores, move scores and signs
// from many positions of small boards and from near-full boards of every word
// count, the published values of small empty boards, budgets and bad positions.
#include <gtest/gtest.h>

#include <map>
#include <unordered_map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../../src/solver.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

using Memo = std::unordered_map<std::string, int>;

/// Plain minimax with the score convention, memoised on the two piece sets;
/// `g` must be running and is left as it was.
template <int NW>
int brute_score(Game<NW> &g, Memo &memo) {
    std::string key(reinterpret_cast<const char *>(g.board.red.w.data()), sizeof g.board.red.w);
    key.append(reinterpret_cast<const char *>(g.board.yellow.w.data()), sizeof g.board.yellow.w);
    if (auto it = memo.find(key); it != memo.end()) return it->second;
    const int cells = static_cast<int>(g.width() * g.height());
    const int played = g.board.occupied().count_ones();
    int best = -1000;
    for (const Move m : g.legal_moves()) {
        g.make_move(m);
        int s;
        if (g.over) s = *g.outcome == GameOutcome::Draw ? 0 : (cells + 1 - played) / 2;
        else s = -brute_score(g, memo);
        g.unmake_move();
        best = std::max(best, s);
    }
    memo.emplace(std::move(key), best);
    return best;
}

/// The score of each column's move by minimax; kFullColumnScore for a full column.
template <int NW>
std::vector<int> brute_move_scores(Game<NW> g, Memo &memo) {
    const int cells = static_cast<int>(g.width() * g.height());
    const int played = g.board.occupied().count_ones();
    std::vector<int> out(g.width(), kFullColumnScore);
    for (const Move m : g.legal_moves()) {
        g.make_move(m);
        if (g.over) out[m.col] = *g.outcome == GameOutcome::Draw ? 0 : (cells + 1 - played) / 2;
        else out[m.col] = -brute_score(g, memo);
        g.unmake_move();
    }
    return out;
}

/// A running position with `empty` cells left, reached by random drops none
/// of which makes a four; retried when every drop would make one. On boards
/// of more than 36 cells the lower rows (an even number, leaving three or
/// more) are first filled with a pattern that holds no four, Red and Yellow
/// alike in number: (col / 2 + row) even is Red.
template <int NW>
Game<NW> random_position(unsigned width, unsigned height, unsigned empty, std::mt19937_64 &rng) {
    const unsigned prefilled = width * height > 36 ? (height - 3) / 2 * 2 : 0;
    for (;;) {
        Game<NW> g = Game<NW>::make(width, height);
        for (unsigned r = 0; r < prefilled; ++r)
            for (unsigned c = 0; c < width; ++c)
                g.board.set_piece(c, r, (c / 2 + r) % 2 == 0 ? Player::Red : Player::Yellow);
        unsigned left = width * (height - prefilled);
        while (left > empty) {
            const MoveList moves = g.legal_moves();
            std::vector<Move> quiet;
            for (const Move m : moves) {
                g.make_move(m);
                if (!g.over) quiet.push_back(m);
                g.unmake_move();
            }
            if (quiet.empty()) break;
            g.make_move(quiet[rng() % quiet.size()]);
            --left;
        }
        if (left == empty) return g;
    }
}

template <int NW>
struct Fixture {
    TranspositionTable table{1 << 20};
    Solver<NW> solver;
    Fixture(unsigned w, unsigned h) : solver(w, h, table) {}
};

/// Checks score, sign and move scores of `g` against minimax.
template <int NW>
void expect_agrees(Solver<NW> &solver, Game<NW> g, Memo &memo) {
    ASSERT_EQ(Solver<NW>::invalid_reason(g), nullptr);
    const int truth = brute_score(g, memo);
    const auto p = Solver<NW>::position_of(g);
    ASSERT_EQ(solver.solve(p, false), truth) << g.board.to_string();
    EXPECT_EQ(solver.solve(p, true), (truth > 0) - (truth < 0)) << g.board.to_string();
    std::vector<int> scores(g.width());
    ASSERT_TRUE(solver.move_scores(p, scores.data()));
    EXPECT_EQ(scores, brute_move_scores(g, memo)) << g.board.to_string();
}

TEST(Solver, AgreesWithMinimaxOnSmallBoards) {
    for (const Size s : {Size{4, 4}, Size{5, 4}, Size{4, 5}}) {
        Fixture<1> f(s.width, s.height);
        std::mt19937_64 rng(s.width * 100 + s.height);
        const unsigned cells = s.width * s.height;
        // Minimax's memo serves every position of a size: a position's score
        // does not depend on the way it was reached.
        Memo memo;
        for (int i = 0; i < 150; ++i) {
            SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " #" + std::to_string(i));
            // Every depth from the empty board on 4 x 4, from 6 pieces on the larger
            // boards; the table is kept from one position to the next.
            const unsigned first = cells == 16 ? 0 : 6;
            expect_agrees(f.solver, random_position<1>(s.width, s.height, cells - first - i % (cells - first), rng), memo);
        }
    }
}

TEST(Solver, AgreesWithMinimaxWithoutTheTableKeptBetweenPositions) {
    std::mt19937_64 rng(7);
    for (int i = 0; i < 60; ++i) {
        Fixture<1> f(5, 4);
        Memo memo;
        expect_agrees(f.solver, random_position<1>(5, 4, 6 + i % 8, rng), memo);
    }
}

// Published values of the empty board (the table of results by board size):
// draws on 4 x N and on 5 x 4, 5 x 5; the second player wins 6 x 4.
TEST(Solver, EmptyBoardValuesOfSmallSizes) {
    struct Known {
        unsigned w, h;
        int sign;
    };
    for (const Known k : {Known{4, 4, 0}, Known{5, 4, 0}, Known{4, 5, 0}, Known{6, 4, -1}, Known{4, 6, 0},
                          Known{5, 5, 0}, Known{7, 4, 0}}) {
        Fixture<1> f(k.w, k.h);
        const auto p = Solver<1>::position_of(Game<1>::make(k.w, k.h));
        const std::optional<int> weak = f.solver.solve(p, true);
        ASSERT_TRUE(weak);
        EXPECT_EQ(*weak, k.sign) << k.w << "x" << k.h;
        const std::optional<int> exact = f.solver.solve(p, false);
        EXPECT_EQ((*exact > 0) - (*exact < 0), k.sign) << k.w << "x" << k.h;
    }
}

template <class T>
class SolverWords : public ::testing::Test {};
TYPED_TEST_SUITE(SolverWords, WordCounts);

// Near-full boards of each word count: the layout's word boundaries and every
// row stride are crossed, and minimax is cheap with a dozen cells left.
TYPED_TEST(SolverWords, AgreesWithMinimaxNearTheEnd) {
    constexpr int NW = TypeParam::value;
    std::mt19937_64 rng(NW);
    for (const Size s : sizes_for<NW>()) {
        Fixture<NW> f(s.width, s.height);
        Memo memo;
        for (int i = 0; i < (NW == 16 ? 4 : 12); ++i) {
            SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " #" + std::to_string(i));
            expect_agrees(f.solver, random_position<NW>(s.width, s.height, 4 + i % 8, rng), memo);
        }
    }
}

TEST(Solver, BudgetStopsTheSearchAndLeavesTheTableSound) {
    Fixture<1> f(5, 4);
    const auto p = Solver<1>::position_of(Game<1>::make(5, 4));
    EXPECT_EQ(f.solver.solve(p, false, SolveBudget{100, {}, {}}), std::nullopt);
    EXPECT_LE(f.solver.nodes(), 101u);
    const auto past = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    EXPECT_EQ(f.solver.solve(p, false, SolveBudget{UINT64_MAX, past, {}}), std::nullopt);
    std::vector<int> scores(5);
    EXPECT_FALSE(f.solver.move_scores(p, scores.data(), SolveBudget{50, {}, {}}));
    int asked = 0;
    const auto stop = [&asked] { return ++asked == 2; };
    Fixture<1> deep(6, 5);
    EXPECT_EQ(deep.solver.solve(Solver<1>::position_of(Game<1>::make(6, 5)), false, SolveBudget{UINT64_MAX, {}, stop}),
              std::nullopt);
    EXPECT_EQ(asked, 2);
    // After the stopped searches, the same table gives what a fresh one gives.
    Fixture<1> fresh(5, 4);
    const std::optional<int> truth = fresh.solver.solve(p, false);
    ASSERT_TRUE(truth);
    EXPECT_EQ(f.solver.solve(p, false), truth);
}

TEST(Solver, ThreadsShareOneTable) {
    TranspositionTable table(1 << 16);  // small, so that threads overwrite each other's entries
    std::mt19937_64 rng(11);
    std::vector<Game<1>> games;
    for (int i = 0; i < 40; ++i) games.push_back(random_position<1>(5, 4, 8 + i % 6, rng));
    std::vector<int> truth;
    Memo memo;
    for (Game<1> &g : games) {
        truth.push_back(brute_score(g, memo));
    }
    std::vector<std::optional<int>> got(games.size());
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            Solver<1> solver(5, 4, table);
            for (int round = 0; round < 3; ++round)
                for (std::size_t i = t; i < games.size(); i += 2)
                    got[i] = solver.solve(Solver<1>::position_of(games[i]), false);
        });
    for (std::thread &th : threads) th.join();
    for (std::size_t i = 0; i < games.size(); ++i) EXPECT_EQ(got[i], truth[i]) << i;
}

TEST(Solver, InvalidPositionsAreNamed) {
    Game<1> g = Game<1>::make(7, 6);
    EXPECT_EQ(Solver<1>::invalid_reason(g), nullptr);
    g.board.set_piece(2, 1, Player::Red);
    EXPECT_STREQ(Solver<1>::invalid_reason(g), "the board has a piece above an empty cell");
    g = Game<1>::make(7, 6);
    g.board.set_piece(2, 0, Player::Yellow);
    EXPECT_STREQ(Solver<1>::invalid_reason(g), "the piece counts do not fit the player to move");
    g = Game<1>::make(7, 6);
    for (unsigned c : {0u, 1u, 0u, 1u, 0u, 1u, 0u}) g.make_move(Move{uint8_t(c), uint8_t(g.board.column_height(c, *g.geometry))});
    EXPECT_STREQ(Solver<1>::invalid_reason(g), "the game is over");
    g.over = false;
    g.outcome.reset();
    EXPECT_STREQ(Solver<1>::invalid_reason(g), "the board already holds four in a row");
}

TEST(Solver, TableSizeIsAPowerOfTwoWithinTheBytes) {
    EXPECT_EQ(TranspositionTable(1).entries(), 1u);
    EXPECT_EQ(TranspositionTable(1000).entries(), 32u);
    EXPECT_EQ(TranspositionTable(1 << 20).bytes(), std::size_t{1} << 20);
}

}  // namespace
