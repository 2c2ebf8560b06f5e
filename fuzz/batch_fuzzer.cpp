// libFuzzer target for batches of games: each input is a board size, a batch
// size and a list of operations on the batch, with a Game replayed beside every
// batch game and everything observable compared after each operation.
//
// Input layout:
//   byte 0, 1   width = 4 + b0 % 29, height = 4 + b1 % 29 (every word count 1..16)
//   byte 2      games = 1 + b2 % 8
//   then ops    one opcode byte each (taken modulo 6), followed by its own
//               argument bytes; a missing argument byte reads as 0
//     0 step    one byte per game: action = b % (width + 3) - 1, so -1 skips,
//               0..width-1 are columns and width, width + 1 lie off the board;
//               any illegal action refuses the whole step and changes nothing
//     1 reset   one byte: game b % games starts again
//     2 edit    four bytes: game, col, row, piece (0 empty, 1 Red, 2 Yellow) set
//               on that game's Game, then every game copied into a new batch
//     3 unmake  one byte: that game's Game takes back a move, then the copy as in edit
//     4 run     one byte: up to b random-looking legal steps of every game
//     5 split   the planes and legal masks written in chunks of 1, 2 and 3 games
//               by a pool of two workers agree with one run and with each Game
#include <cstddef>
#include <cstdint>
#include <vector>

#include "../src/batch.h"
#include "fuzz_support.h"

using namespace gravline;

namespace {

constexpr char kFuzzerName[] = "batch_fuzzer";

/// Plays column c in a Game through its own move list, as apply_action would.
template <int NW>
bool play_column(Game<NW> &g, unsigned c) {
    for (const Move m : g.legal_moves())
        if (m.col == c) return g.make_move(m);
    return false;
}

template <int NW>
struct Fuzzed {
    unsigned w, h;
    std::vector<Game<NW>> games;
    Batch<NW> batch;

    /// A new batch holding copies of the games, as from_games makes it.
    void copy_in() {
        std::size_t capacity = 0;
        for (const Game<NW> &g : games) capacity = std::max(capacity, Batch<NW>::capacity_for(g));
        batch = Batch<NW>::make(games.size(), w, h, capacity);
        for (std::size_t i = 0; i < games.size(); ++i) batch.assign(i, games[i]);
    }

    void check_all() const {
        const std::size_t n = games.size(), per_game = kSpatialInputPlanes * w * h;
        std::vector<float> planes(n * per_game, -1.0f), reference(per_game);
        batch.observe(0, n, planes.data());
        for (std::size_t i = 0; i < n; ++i) {
            const Game<NW> &g = games[i];
            FUZZ_CHECK(batch.legal_columns(i) == g.legal_columns());
            FUZZ_CHECK(batch.turn(i) == g.turn);
            FUZZ_CHECK(batch.over(i) == g.over);
            FUZZ_CHECK(batch.outcome(i) == g.outcome);
            FUZZ_CHECK(batch.moves(i) == g.history.size());
            FUZZ_CHECK(batch.hash(i, HashFields::State) == state_hash(g));
            FUZZ_CHECK(batch.hash(i, HashFields::Transposition) == transposition_hash(g));
            std::fill(reference.begin(), reference.end(), 0.0f);
            encode_planes(g, reference.data());
            FUZZ_CHECK(std::equal(reference.begin(), reference.end(), planes.begin() + i * per_game));
            const Game<NW> back = batch.game(i);
            FUZZ_CHECK(back.board.red == g.board.red && back.board.yellow == g.board.yellow);
            FUZZ_CHECK(back.turn == g.turn && back.over == g.over && back.outcome == g.outcome);
            FUZZ_CHECK(back.history.size() == g.history.size());
            for (std::size_t j = 0; j < g.history.size(); ++j) FUZZ_CHECK(back.history[j] == g.history[j]);
        }
    }

    /// One step: every action checked first, as GameBatch.step checks them.
    void step(const std::vector<int> &actions) {
        const std::size_t n = games.size();
        bool legal = true;
        for (std::size_t i = 0; i < n; ++i) {
            const int a = actions[i];
            const bool batch_legal = a == -1 || (a >= 0 && batch.is_legal(i, static_cast<uint64_t>(a)));
            const bool game_legal = a == -1 || (a >= 0 && (games[i].legal_columns() >> a & 1));
            FUZZ_CHECK(batch_legal == game_legal);
            legal = legal && batch_legal;
        }
        if (!legal) return;  // refused whole: check_all finds every game as it was
        std::vector<int8_t> cols(actions.begin(), actions.end());
        std::vector<float> rewards(n, -1.0f);
        std::vector<uint8_t> done(n, 7);
        batch.step(0, n, cols.data(), rewards.data(), done.data());
        for (std::size_t i = 0; i < n; ++i) {
            bool won = false;
            if (actions[i] >= 0) {
                const Player mover = games[i].turn;
                FUZZ_CHECK(play_column(games[i], actions[i]));
                won = games[i].outcome == win_for(mover);
            }
            FUZZ_CHECK(rewards[i] == (won ? 1.0f : 0.0f));
            FUZZ_CHECK(done[i] == (games[i].over ? 1 : 0));
        }
    }

    void run(Input in) {
        const std::size_t n = games.size();
        check_all();
        while (!in.empty()) {
            switch (in.next() % 6) {
            case 0: {
                std::vector<int> actions(n);
                for (int &a : actions) a = static_cast<int>(in.next() % (w + 3)) - 1;
                step(actions);
                break;
            }
            case 1: {
                const std::size_t i = in.next() % n;
                batch.reset(i);
                games[i] = Game<NW>::make(w, h);
                break;
            }
            case 2: {
                Game<NW> &g = games[in.next() % n];
                const unsigned col = in.next() % w, row = in.next() % h, piece = in.next() % 3;
                g.board.set_piece(col, row, piece == 0   ? std::nullopt
                                            : piece == 1 ? std::optional(Player::Red)
                                                         : std::optional(Player::Yellow));
                copy_in();
                break;
            }
            case 3:
                games[in.next() % n].unmake_move();
                copy_in();
                break;
            case 4: {
                unsigned steps = in.next(), seed = steps * 2654435761u;
                for (unsigned s = 0; s < steps; ++s) {
                    std::vector<int> actions(n, -1);
                    for (std::size_t i = 0; i < n; ++i) {
                        const uint32_t legal = games[i].legal_columns();
                        seed = seed * 1103515245u + 12345u;
                        if (legal) {
                            unsigned pick = (seed >> 16) % std::popcount(legal);
                            uint32_t rest = legal;
                            while (pick--) rest &= rest - 1;
                            actions[i] = std::countr_zero(rest);
                        }
                    }
                    step(actions);
                }
                break;
            }
            case 5: {
                const std::size_t per_game = kSpatialInputPlanes * w * h;
                std::vector<float> one(n * per_game), split(n * per_game);
                std::vector<uint8_t> mask_one(n * w), mask_split(n * w);
                batch.observe(0, n, one.data());
                batch.legal_mask(0, n, mask_one.data());
                for (std::size_t i = 0; i < n; ++i)
                    for (unsigned c = 0; c < w; ++c)
                        FUZZ_CHECK(mask_one[i * w + c] == (games[i].legal_columns() >> c & 1));
                WorkerPool pool(2);
                for (std::size_t chunk : {1u, 2u, 3u}) {
                    pool.run(n, chunk, [&](std::size_t lo, std::size_t hi) {
                        batch.observe(lo, hi, split.data());
                        batch.legal_mask(lo, hi, mask_split.data());
                    });
                    FUZZ_CHECK(one == split && mask_one == mask_split);
                }
                break;
            }
            }
            check_all();
        }
    }
};

template <int NW = 1>
void dispatch(unsigned w, unsigned h, std::size_t count, Input in) {
    if constexpr (NW <= kMaxWords) {
        if (words_for(w, h) != NW) return dispatch<NW + 1>(w, h, count, in);
        Fuzzed<NW> f{w, h, std::vector<Game<NW>>(count, Game<NW>::make(w, h)),
                     Batch<NW>::make(count, w, h)};
        f.run(in);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 3) return 0;
    const unsigned w = kMinDimension + data[0] % (kMaxDimension - kMinDimension + 1);
    const unsigned h = kMinDimension + data[1] % (kMaxDimension - kMinDimension + 1);
    dispatch(w, h, 1 + data[2] % 8, Input(data + 3, size - 3));
    return 0;
}
