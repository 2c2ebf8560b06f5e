// The engine alone: random playouts from the empty board for word counts 1, 2
// and 16, against the one-word 7 x 6 position of floor_bitboard.h. Both pick
// moves the same way from the same random numbers, so on 7 x 6 they play the
// very same games; main() checks that before anything is timed.
//
//   engine_bench --benchmark_format=json --benchmark_repetitions=15
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>

#include "floor_bitboard.h"
#include "../src/game.h"

namespace {

using gravline::Game;
using gravline::GameOutcome;
using gravline::MoveList;

/// splitmix64, with a multiply-shift for a number below n (no division).
struct Rng {
    uint64_t s;
    uint64_t next() {
        uint64_t z = (s += 0x9e3779b97f4a7c15);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
        z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
        return z ^ (z >> 31);
    }
    unsigned below(unsigned n) { return static_cast<unsigned>(((next() >> 32) * n) >> 32); }
};

/// Plays `g` to the end: each ply takes the rng.below(n)-th of the n legal
/// moves, which the engine lists from the leftmost column.
template <int NW>
void play_out(Game<NW> &g, Rng &rng) {
    while (!g.over) {
        const MoveList moves = g.legal_moves();
        g.make_move(moves[rng.below(moves.size)]);
    }
}

int result_of(const std::optional<GameOutcome> &o) {
    if (o == GameOutcome::RedWin) return 1;
    if (o == GameOutcome::YellowWin) return -1;
    return 0;
}

void report_plies(benchmark::State &state, uint64_t plies) {
    state.counters["plies"] = benchmark::Counter(static_cast<double>(plies),
                                                 benchmark::Counter::kAvgIterations);
}

/// A playout from a copy of the empty game. Assigning the root keeps the
/// history's buffer, so after the first playout no move allocates.
template <int NW>
void engine_playout(benchmark::State &state, unsigned width, unsigned height) {
    const Game<NW> root = Game<NW>::make(width, height);
    Game<NW> g = root;
    Rng rng{1};
    uint64_t plies = 0;
    for (auto _ : state) {
        g = root;
        play_out(g, rng);
        plies += g.history.size();
        benchmark::DoNotOptimize(g.outcome);
    }
    report_plies(state, plies);
}

/// The same on a new game each time, whose history grows from empty.
void engine_playout_new_game(benchmark::State &state) {
    Rng rng{1};
    uint64_t plies = 0;
    for (auto _ : state) {
        Game<1> g = Game<1>::make(7, 6);
        play_out(g, rng);
        plies += g.history.size();
        benchmark::DoNotOptimize(g.outcome);
    }
    report_plies(state, plies);
}

void floor_playout(benchmark::State &state) {
    Rng rng{1};
    uint64_t plies = 0;
    for (auto _ : state) {
        int n = 0;
        benchmark::DoNotOptimize(floor7x6::random_playout(rng, n));
        plies += n;
    }
    report_plies(state, plies);
}

void register_all() {
    benchmark::RegisterBenchmark("playout/floor/7x6", floor_playout);
    benchmark::RegisterBenchmark("playout/engine/7x6", engine_playout<1>, 7u, 6u);
    benchmark::RegisterBenchmark("playout/engine/9x8", engine_playout<2>, 9u, 8u);
    benchmark::RegisterBenchmark("playout/engine/32x32", engine_playout<16>, 32u, 32u);
    benchmark::RegisterBenchmark("playout/engine_new_game/7x6", engine_playout_new_game);
}

/// Both sides play the same games from the same seed: same lengths, same results.
bool same_games(int count) {
    Rng a{7}, b{7};
    const Game<1> root = Game<1>::make(7, 6);
    for (int i = 0; i < count; ++i) {
        Game<1> g = root;
        play_out(g, a);
        int plies = 0;
        const int result = floor7x6::random_playout(b, plies);
        if (static_cast<int>(g.history.size()) != plies || result_of(g.outcome) != result) {
            std::fprintf(stderr, "game %d: engine %zu plies, result %d; floor %d plies, result %d\n", i,
                         g.history.size(), result_of(g.outcome), plies, result);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (!same_games(10000)) return 1;
    register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
