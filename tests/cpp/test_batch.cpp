// Batches of games against a Game replayed beside each one: moves, outcomes,
// planes, hashes and the round trip through Game, and the work split over threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <random>
#include <stdexcept>
#include <vector>

#include "../../src/batch.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

template <class T>
class BatchTest : public ::testing::Test {};
TYPED_TEST_SUITE(BatchTest, WordCounts);

/// Plays column c in a Game through its own move list; false when c is not legal.
template <int NW>
bool play_column(Game<NW> &g, unsigned c) {
    for (const Move m : g.legal_moves())
        if (m.col == c) return g.make_move(m);
    return false;
}

/// The planes of `g` as encode_planes writes them into a zeroed buffer.
template <int NW>
std::vector<float> reference_planes(const Game<NW> &g) {
    std::vector<float> buf(kSpatialInputPlanes * g.width() * g.height(), 0.0f);
    encode_planes(g, buf.data());
    return buf;
}

/// Every observable part of batch game i equals `g`, its round trip included.
template <int NW>
void expect_same(const Batch<NW> &b, std::size_t i, const Game<NW> &g) {
    SCOPED_TRACE(::testing::Message() << "game " << i << " after " << g.history.size() << " moves");
    EXPECT_EQ(b.legal_columns(i), g.legal_columns());
    EXPECT_EQ(b.turn(i), g.turn);
    EXPECT_EQ(b.over(i), g.over);
    EXPECT_EQ(b.outcome(i), g.outcome);
    EXPECT_EQ(b.moves(i), g.history.size());
    EXPECT_EQ(b.hash(i, HashFields::State), state_hash(g));
    EXPECT_EQ(b.hash(i, HashFields::Transposition), transposition_hash(g));
    // NaN first, so a float the writer skips shows.
    std::vector<float> planes(kSpatialInputPlanes * b.cells(), std::nanf(""));
    b.write_planes(i, planes.data());
    EXPECT_EQ(planes, reference_planes(g));
    const Game<NW> back = b.game(i);
    EXPECT_EQ(back.board.red, g.board.red);
    EXPECT_EQ(back.board.yellow, g.board.yellow);
    EXPECT_EQ(back.turn, g.turn);
    EXPECT_EQ(back.over, g.over);
    EXPECT_EQ(back.outcome, g.outcome);
    ASSERT_EQ(back.history.size(), g.history.size());
    for (std::size_t j = 0; j < g.history.size(); ++j) EXPECT_EQ(back.history[j], g.history[j]) << j;
}

/// Random play in a batch and in one Game per batch game: random legal
/// columns, skips, and now and then a reset, compared after every step.
template <int NW>
void run_random(Batch<NW> &b, std::vector<Game<NW>> &games, int steps, std::mt19937 &rng) {
    const std::size_t n = b.count();
    std::vector<int8_t> cols(n);
    std::vector<float> rewards(n);
    std::vector<uint8_t> done(n);
    for (int s = 0; s < steps; ++s) {
        for (std::size_t i = 0; i < n; ++i) {
            const uint32_t legal = games[i].legal_columns();
            cols[i] = -1;
            if (legal && rng() % 8 != 0) {
                unsigned pick = rng() % std::popcount(legal);
                uint32_t rest = legal;
                while (pick--) rest &= rest - 1;
                cols[i] = static_cast<int8_t>(std::countr_zero(rest));
            }
            ASSERT_EQ(cols[i] < 0 || b.is_legal(i, cols[i]), true) << i;
        }
        b.step(0, n, cols.data(), rewards.data(), done.data());
        for (std::size_t i = 0; i < n; ++i) {
            bool won = false;
            if (cols[i] >= 0) {
                const Player mover = games[i].turn;
                ASSERT_TRUE(play_column(games[i], cols[i]));
                won = games[i].outcome == win_for(mover);
            }
            EXPECT_EQ(rewards[i], won ? 1.0f : 0.0f) << i;
            EXPECT_EQ(done[i], games[i].over ? 1 : 0) << i;
            expect_same(b, i, games[i]);
            if (games[i].over && rng() % 2) {
                b.reset(i);
                games[i] = Game<NW>::make(b.width(), b.height());
            }
        }
    }
}

TYPED_TEST(BatchTest, RandomPlayMatchesGames) {
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(12 + NW);
    for (const Size s : sizes_for<NW>()) {
        SCOPED_TRACE(::testing::Message() << s.width << "x" << s.height);
        auto b = Batch<NW>::make(6, s.width, s.height);
        std::vector<Game<NW>> games(6, Game<NW>::make(s.width, s.height));
        for (std::size_t i = 0; i < b.count(); ++i) expect_same(b, i, games[i]);
        run_random(b, games, NW == 16 ? 120 : 2 * s.width * s.height, rng);
    }
}

TYPED_TEST(BatchTest, EditedGamesPlayOnAsGamesDo) {
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(77 + NW);
    const Size s = sizes_for<NW>()[0];
    std::vector<Game<NW>> games;
    // A floating piece: the next drop into its column lands below it.
    auto floating = Game<NW>::make(s.width, s.height);
    floating.board.set_piece(2, 3, Player::Yellow);
    games.push_back(floating);
    // A four made by hand: the game ends at Red's next move, wherever it goes.
    auto four = Game<NW>::make(s.width, s.height);
    for (unsigned c = 0; c < 4; ++c) four.board.set_piece(c, 0, Player::Red);
    games.push_back(four);
    // A history longer than the board: the same cell played and emptied again.
    auto looped = Game<NW>::make(s.width, s.height);
    for (unsigned k = 0; k < s.width * s.height + 5; ++k) {
        ASSERT_TRUE(play_column(looped, 0));
        looped.board.set_piece(0, 0, std::nullopt);
    }
    games.push_back(looped);
    // A top cell filled above a gap: that column is closed.
    auto capped = Game<NW>::make(s.width, s.height);
    play_column(capped, 1);
    capped.board.set_piece(1, s.height - 1, Player::Yellow);
    games.push_back(capped);

    std::size_t capacity = 0;
    for (const auto &g : games) capacity = std::max(capacity, Batch<NW>::capacity_for(g));
    EXPECT_GT(capacity, std::size_t{s.width} * s.height);
    auto b = Batch<NW>::make(games.size(), s.width, s.height, capacity);
    for (std::size_t i = 0; i < games.size(); ++i) {
        b.assign(i, games[i]);
        expect_same(b, i, games[i]);
    }
    EXPECT_FALSE(b.legal_columns(3) >> 1 & 1);
    run_random(b, games, 3 * s.width * s.height, rng);
}

TYPED_TEST(BatchTest, AssignRefusesWhatDoesNotFit) {
    constexpr int NW = TypeParam::value;
    const Size s = sizes_for<NW>()[0];
    auto b = Batch<NW>::make(1, s.width, s.height);
    auto looped = Game<NW>::make(s.width, s.height);
    for (unsigned k = 0; k <= s.width * s.height; ++k) {
        ASSERT_TRUE(play_column(looped, 0));
        looped.board.set_piece(0, 0, std::nullopt);
    }
    EXPECT_EQ(internal_error_text([&] { b.assign(0, looped); }), "a game's history does not fit the batch");
    const Size other = sizes_for<NW>()[1];
    EXPECT_EQ(internal_error_text([&] { b.assign(0, Game<NW>::make(other.width, other.height)); }),
              "a game of another size cannot join the batch");
    expect_same(b, 0, Game<NW>::make(s.width, s.height));
}

TYPED_TEST(BatchTest, GamePlanesWriteEveryFloat) {
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(5 + NW);
    for (const Size s : sizes_for<NW>()) {
        auto g = Game<NW>::make(s.width, s.height);
        for (int k = 0; k < 12 && !g.over; ++k) {
            const MoveList moves = g.legal_moves();
            g.make_move(moves[rng() % moves.size]);
            if (k == 6) g.board.set_piece(s.width - 1, s.height - 1, Player::Red);
            std::vector<float> planes(kSpatialInputPlanes * s.width * s.height, std::nanf(""));
            write_game_planes(g, planes.data());
            EXPECT_EQ(planes, reference_planes(g)) << s.width << "x" << s.height << " move " << k;
        }
    }
}

TYPED_TEST(BatchTest, BothPlaneWritersWriteThePlanesOfTheGame) {
    // The writer in 32-byte stores and the one for any processor, each against
    // the planes of the game itself: histories short and whole, a move whose
    // cell is off the board (it takes nothing back), every float written and
    // none past the planes.
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(11 + NW);
    for (const Size s : sizes_for<NW>()) {
        const unsigned cells = s.width * s.height;
        auto g = Game<NW>::make(s.width, s.height);
        for (int k = 0; k < 10 && !g.over; ++k) {
            const MoveList moves = g.legal_moves();
            g.make_move(moves[rng() % moves.size]);
            const std::size_t n = g.history.size();
            for (const bool off_board : {false, true}) {
                const auto cell_at = [&](std::size_t t) -> std::size_t {
                    const Move m = g.history[n - t];
                    return off_board && t == 1 ? cells : std::size_t{m.row} * s.width + m.col;
                };
                std::vector<float> expected = reference_planes(g);
                if (off_board) {
                    // The last move not taken back: every earlier plane keeps it.
                    const Move m = g.history[n - 1];
                    const std::size_t cell = std::size_t{m.row} * s.width + m.col;
                    for (std::size_t p = 2; p < 2 * kHistoryPositions && p / 2 <= n; ++p)
                        expected[p * cells + cell] = expected[(p % 2) * cells + cell];
                }
                const auto check = [&](const char *writer, auto write) {
                    const std::size_t size = kSpatialInputPlanes * cells;
                    std::vector<float> planes(size + 8, std::nanf(""));
                    write(planes.data());
                    for (std::size_t i = size; i < planes.size(); ++i) ASSERT_TRUE(std::isnan(planes[i])) << writer;
                    planes.resize(size);
                    EXPECT_EQ(planes, expected)
                        << writer << " " << s.width << "x" << s.height << " move " << k << " off " << off_board;
                };
                const bool red = g.turn == Player::Red;
                check("portable", [&](float *out) {
                    write_planes_portable(out, g.board.red, g.board.yellow, red, cells, n, cell_at);
                });
#ifdef GRAVLINE_AVX_PLANES
                if (has_avx())
                    check("avx", [&](float *out) {
                        write_planes_avx(out, g.board.red, g.board.yellow, red, cells, n, cell_at);
                    });
#endif
            }
        }
    }
}

TYPED_TEST(BatchTest, LegalMaskStepAndPlanesAreTheSameOnAnyThreadCount) {
    constexpr int NW = TypeParam::value;
    const std::size_t n = 37;
    for (const Size s : sizes_for<NW>()) {
        std::vector<std::vector<float>> planes;
        for (unsigned workers : {0u, 1u, 2u, 5u}) {
            WorkerPool pool(workers);
            auto b = Batch<NW>::make(n, s.width, s.height);
            std::mt19937 rng(9);
            std::vector<int8_t> cols(n);
            std::vector<float> rewards(n);
            std::vector<uint8_t> done(n), mask(n * s.width);
            for (int step = 0; step < 30; ++step) {
                // Chunks of 1 to 4 games: part rows of the mask end inside the buffer.
                pool.run(n, 1 + step % 4, [&](std::size_t lo, std::size_t hi) { b.legal_mask(lo, hi, mask.data()); });
                for (std::size_t i = 0; i < n; ++i) {
                    std::vector<int> legal;
                    for (unsigned c = 0; c < s.width; ++c) {
                        ASSERT_EQ(mask[i * s.width + c], b.legal_columns(i) >> c & 1) << i << " " << c;
                        if (mask[i * s.width + c]) legal.push_back(c);
                    }
                    cols[i] = legal.empty() ? -1 : static_cast<int8_t>(legal[rng() % legal.size()]);
                }
                pool.run(n, 3, [&](std::size_t lo, std::size_t hi) {
                    b.step(lo, hi, cols.data(), rewards.data(), done.data());
                });
            }
            std::vector<float> out(n * kSpatialInputPlanes * b.cells());
            pool.run(n, 2, [&](std::size_t lo, std::size_t hi) { b.observe(lo, hi, out.data()); });
            planes.push_back(out);
        }
        for (const auto &p : planes) EXPECT_EQ(p, planes[0]);
    }
}

TEST(WorkerPool, ChunksCoverTheRangeOnceAndFailuresComeBack) {
    for (unsigned workers : {0u, 1u, 3u}) {
        WorkerPool pool(workers);
        EXPECT_EQ(pool.workers(), workers);
        for (std::size_t n : {0, 1, 5, 1000}) {
            for (std::size_t chunk : {0, 1, 7, 2000}) {
                std::vector<std::atomic<int>> seen(n);
                pool.run(n, chunk, [&](std::size_t lo, std::size_t hi) {
                    EXPECT_LE(hi - lo, std::max<std::size_t>(chunk, 1));
                    for (std::size_t i = lo; i < hi; ++i) seen[i]++;
                });
                for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(seen[i].load(), 1) << n << " " << chunk << " " << i;
            }
        }
        EXPECT_THROW(pool.run(100, 10,
                              [](std::size_t lo, std::size_t) {
                                  if (lo == 50) throw InternalError("chunk failed");
                              }),
                     InternalError);
        // The pool works on after a failure.
        std::atomic<std::size_t> total{0};
        pool.run(100, 10, [&](std::size_t lo, std::size_t hi) { total += hi - lo; });
        EXPECT_EQ(total.load(), 100u);
    }
}

TEST(WorkerPool, TwoCallersAtOnceEachFinish) {
    WorkerPool pool(2);
    std::atomic<std::size_t> total{0};
    std::thread other([&] {
        for (int k = 0; k < 200; ++k) pool.run(64, 4, [&](std::size_t lo, std::size_t hi) { total += hi - lo; });
    });
    for (int k = 0; k < 200; ++k) pool.run(64, 4, [&](std::size_t lo, std::size_t hi) { total += hi - lo; });
    other.join();
    EXPECT_EQ(total.load(), 2u * 200 * 64);
}

TEST(BatchStorage, SevenBySixGameTakesSixtyThreeBytes) {
    // Two bit sets, one history byte per cell, the move count and the status byte.
    auto b = Batch<1>::make(1, 7, 6);
    EXPECT_EQ(b.capacity(), 42u);
    EXPECT_EQ(sizeof(Batch<1>::Cell), 1u);
    EXPECT_EQ(2 * sizeof(Bitboard<1>) + 42 * sizeof(Batch<1>::Cell) + sizeof(uint32_t) + 1, 63u);
    EXPECT_EQ(sizeof(Batch<5>::Cell), 2u);
}

}  // namespace
