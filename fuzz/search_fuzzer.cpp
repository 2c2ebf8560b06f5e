// libFuzzer target for the tree search: each input is a board size, a few
// roots reached by random-looking legal moves, the search's settings, and the
// evaluations the "network" returns, leaf by leaf. Every step is checked for
// the trees' shape, the visits and values they hold, and progress: a search
// must finish within a bounded number of steps whatever it is told.
//
// Input layout:
//   byte 0, 1   width = 4 + b0 % 29, height = 4 + b1 % 29 (every word count 1..16)
//   byte 2      roots = 1 + b2 % 3
//   byte 3      moves played from the empty board to each root: b3 % min(cells / 2, 64),
//               up to the first that would end the game
//   byte 4      algorithm (b % 2: PUCT, Gumbel), simulations = 1 + (b / 2) % 40
//   byte 5      leaves_per_step = 1 + b % 4, gumbel_samples = 1 + (b / 4) % 16
//   byte 6      dirichlet_fraction = (b % 4) / 4, seed = b
//   then        per leaf: one value byte (b / 127.5 - 1) and one byte per
//               column for its logit ((b - 128) / 16, 255 as -inf); a step
//               whose first value byte is 0 is taken back unevaluated; after
//               each finished search one byte: advance by the best action or
//               a sampled one (b % 2), restart ended games or not (b / 2 % 2)
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

#include "../src/search.h"
#include "fuzz_support.h"

using namespace gravline;

namespace {

constexpr char kFuzzerName[] = "search_fuzzer";

template <int NW>
void check_tree(const TreeSearch<NW> &s, std::size_t t) {
    const SearchTree<NW> &tree = s.tree(t);
    const auto &nodes = tree.nodes;
    FUZZ_CHECK(!nodes.empty() && nodes[0].parent == -1);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
        const SearchNode &n = nodes[i];
        // No virtual loss outlives a step; a value sum never exceeds its visits.
        FUZZ_CHECK(n.virtual_loss == 0);
        FUZZ_CHECK(std::abs(n.value_sum) <= n.visits + 1e-6);
        FUZZ_CHECK(n.prior >= 0 && n.prior <= 1.0f + 1e-5f);
        if (!n.expanded()) continue;
        FUZZ_CHECK(n.children <= s.width());
        FUZZ_CHECK(n.first_child > static_cast<int32_t>(i) || n.children == 0);
        FUZZ_CHECK(static_cast<std::size_t>(n.first_child) + n.children <= nodes.size());
        for (int k = 0; k < n.children; ++k) FUZZ_CHECK(nodes[n.first_child + k].parent == static_cast<int32_t>(i));
    }
    const uint32_t legal = tree.stopped ? 0 : s.root_legal(t);
    std::array<uint32_t, kMaxColumns> visits{};
    s.visit_counts(t, visits.data());
    for (unsigned c = 0; c < s.width(); ++c) FUZZ_CHECK(visits[c] == 0 || (legal >> c & 1));
    const double v = s.root_value(t);
    FUZZ_CHECK(v >= -1.0 - 1e-9 && v <= 1.0 + 1e-9);
}

template <int NW>
void check_results(const TreeSearch<NW> &s, std::size_t t, GameRng &rng) {
    const unsigned w = s.width();
    const int best = s.best_action(t);
    if (s.stopped(t)) {
        FUZZ_CHECK(best == -1);
        return;
    }
    const uint32_t legal = s.root_legal(t);
    FUZZ_CHECK(best >= 0 && (legal >> best & 1));
    for (double temperature : {0.0, 0.5, 1.0}) {
        std::array<float, kMaxColumns> p{};
        s.policy(t, temperature, p.data());
        double sum = 0;
        for (unsigned c = 0; c < w; ++c) {
            FUZZ_CHECK(p[c] >= 0 && (p[c] == 0 || (legal >> c & 1)));
            sum += p[c];
        }
        FUZZ_CHECK(std::abs(sum - 1) < 1e-4);
        const int a = s.sample_action(t, temperature, rng);
        FUZZ_CHECK(a >= 0 && (legal >> a & 1));
    }
    std::array<uint16_t, kMaxColumns> d{};
    s.distribution(t, d.data());
    for (unsigned c = 0; c < w; ++c) FUZZ_CHECK(d[c] == 0 || (legal >> c & 1));
}

template <int NW>
void run(unsigned w, unsigned h, Input in) {
    const std::size_t count = 1 + in.next() % 3;
    const unsigned moves = in.next() % std::min(w * h / 2, 64u);
    const uint8_t a = in.next(), b = in.next(), c = in.next();
    SearchConfig config;
    config.algorithm = a % 2 ? SearchAlgorithm::Gumbel : SearchAlgorithm::Puct;
    config.simulations = 1 + (a / 2) % 40;
    config.leaves_per_step = 1 + b % 4;
    config.gumbel_samples = 1 + (b / 4) % 16;
    config.dirichlet_fraction = (c % 4) / 4.0;
    config.seed = c;

    GameRng rng = GameRng::for_game(c, 1);
    std::vector<Game<NW>> roots;
    while (roots.size() < count) {
        // Random moves, up to the first that would end the game.
        Game<NW> g = Game<NW>::make(w, h);
        for (unsigned m = 0; m < moves; ++m) {
            const auto legal = g.legal_moves();
            Game<NW> after = g;
            if (!after.make_move(legal[rng.below(legal.size)]) || after.over) break;
            g = after;
        }
        roots.push_back(g);
    }
    TreeSearch<NW> s = TreeSearch<NW>::make(roots, config);
    std::vector<float> logits(w), value(1);
    for (int search = 0; search < 4; ++search) {
        // Each step backs up at least one simulation of every unfinished tree
        // (or takes them all back): twice the simulations and some is plenty.
        // Steps whose leaves were all taken back do not count.
        for (uint32_t step = 0, taken_back = 0; !s.done(); ++step) {
            FUZZ_CHECK(step < 8 * config.simulations + 16 + taken_back);
            // Every tree's leaves gathered at once, or each tree's in turn.
            const bool together = in.next() % 2;
            if (together) s.gather_range(0, s.count());
            for (std::size_t t = 0; t < s.count(); ++t) {
                if (s.done(t)) {
                    FUZZ_CHECK(s.tree(t).leaves.empty());
                    continue;
                }
                const std::size_t leaves = together ? s.tree(t).leaves.size() : s.gather(t);
                FUZZ_CHECK(leaves <= config.leaves_per_step);
                if (leaves == 0) continue;
                const uint8_t first = in.next();
                if (first == 0 && !in.empty()) {
                    s.abandon(t);
                    check_tree(s, t);
                    ++taken_back;
                    continue;
                }
                std::vector<float> all_logits(leaves * w), all_values(leaves);
                for (std::size_t k = 0; k < leaves; ++k) {
                    all_values[k] = static_cast<float>((k ? in.next() : first) / 127.5 - 1.0);
                    all_values[k] = std::min(1.0f, std::max(-1.0f, all_values[k]));
                    for (unsigned col = 0; col < w; ++col) {
                        const uint8_t x = in.next();
                        all_logits[k * w + col] = x == 255 ? -std::numeric_limits<float>::infinity() : (x - 128) / 16.0f;
                    }
                }
                FUZZ_CHECK(!s.check(t, all_logits.data(), all_values.data(), 0));
                s.expand(t, all_logits.data(), all_values.data(), 0);
                check_tree(s, t);
            }
        }
        FUZZ_CHECK(!s.pending());
        const uint8_t next = in.next();
        for (std::size_t t = 0; t < s.count(); ++t) {
            check_tree(s, t);
            check_results(s, t, rng);
            if (s.stopped(t)) continue;
            const int col = next % 2 ? s.sample_action(t, 1.0, rng) : s.best_action(t);
            s.advance(t, static_cast<unsigned>(col), next / 2 % 2);
            check_tree(s, t);
        }
    }
}

template <int NW = 1>
void dispatch(unsigned w, unsigned h, Input in) {
    if constexpr (NW <= kMaxWords) {
        if (words_for(w, h) != NW) return dispatch<NW + 1>(w, h, in);
        run<NW>(w, h, in);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 7) return 0;
    const unsigned w = kMinDimension + data[0] % (kMaxDimension - kMinDimension + 1);
    const unsigned h = kMinDimension + data[1] % (kMaxDimension - kMinDimension + 1);
    dispatch(w, h, Input(data + 2, size - 2));
    return 0;
}
