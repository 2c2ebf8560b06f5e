// The tree search: Sequential Halving's schedule, the budget, terminal and
// proven positions, virtual loss, tree reuse and determinism, on every word count.
#include <gtest/gtest.h>

#include <numeric>
#include <set>
#include <vector>

#include "../../src/search.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

template <class T>
class Search : public ::testing::Test {};
TYPED_TEST_SUITE(Search, WordCounts);

/// Runs every tree with a fixed evaluator: uniform logits, value 0.
template <int NW>
void run_flat(TreeSearch<NW> &s) {
    std::vector<float> logits(kMaxColumns * 64, 0.0f), values(64, 0.0f);
    while (!s.done())
        for (std::size_t t = 0; t < s.count(); ++t) {
            s.gather(t);
            s.expand(t, logits.data(), values.data(), 0);
        }
}

TEST(SearchSchedule, SequentialHalvingVisits) {
    // Four actions, eight simulations: one round of four, then two rounds of the best two.
    EXPECT_EQ(considered_visits(4, 8), (std::vector<uint32_t>{0, 0, 0, 0, 1, 1, 2, 2}));
    // One action takes every simulation.
    EXPECT_EQ(considered_visits(1, 3), (std::vector<uint32_t>{0, 1, 2}));
    // Sixteen actions, 32 simulations: 16 x 1, then 8 x 1 (32 / (4 * 8) = 1), then 4 x 2.
    const auto seq = considered_visits(16, 32);
    ASSERT_EQ(seq.size(), 32u);
    EXPECT_EQ(std::count(seq.begin(), seq.begin() + 16, 0u), 16);
    EXPECT_EQ(std::count(seq.begin() + 16, seq.begin() + 24, 1u), 8);
    EXPECT_EQ(std::vector<uint32_t>(seq.begin() + 24, seq.end()), (std::vector<uint32_t>{2, 2, 2, 2, 3, 3, 3, 3}));
}

TYPED_TEST(Search, BudgetAndRootValueCountEverySimulation) {
    constexpr int NW = TypeParam::value;
    for (const Size sz : sizes_for<NW>()) {
        for (SearchAlgorithm a : {SearchAlgorithm::Puct, SearchAlgorithm::Gumbel}) {
            SearchConfig c;
            c.algorithm = a;
            c.simulations = 40;
            c.leaves_per_step = 3;
            auto s = TreeSearch<NW>::make({Game<NW>::make(sz.width, sz.height), Game<NW>::make(sz.width, sz.height)}, c);
            run_flat(s);
            for (std::size_t t = 0; t < 2; ++t) {
                std::vector<uint32_t> v(sz.width);
                s.visit_counts(t, v.data());
                EXPECT_EQ(std::accumulate(v.begin(), v.end(), 0u), 40u);
                EXPECT_EQ(s.tree(t).nodes[0].visits, 41u);
                for (const SearchNode &n : s.tree(t).nodes) EXPECT_EQ(n.virtual_loss, 0u);
                std::vector<float> p(sz.width);
                s.policy(t, 1.0, p.data());
                EXPECT_NEAR(std::accumulate(p.begin(), p.end(), 0.0), 1.0, 1e-5);
            }
        }
    }
}

TYPED_TEST(Search, VirtualLossGathersDistinctLeaves) {
    constexpr int NW = TypeParam::value;
    const Size sz = sizes_for<NW>()[0];
    SearchConfig c;
    c.simulations = 100;
    c.leaves_per_step = 5;
    c.dirichlet_fraction = 0;
    auto s = TreeSearch<NW>::make({Game<NW>::make(sz.width, sz.height)}, c);
    std::vector<float> logits(kMaxColumns * 8, 0.0f), values(8, 0.25f);
    ASSERT_EQ(s.gather(0), 1u);  // the root alone
    s.expand(0, logits.data(), values.data(), 0);
    const std::size_t n = s.gather(0);
    EXPECT_EQ(n, 5u);
    std::set<int32_t> nodes;
    for (const auto &leaf : s.tree(0).leaves) nodes.insert(leaf.node);
    EXPECT_EQ(nodes.size(), n);
    EXPECT_EQ(s.tree(0).nodes[0].virtual_loss, n);
}

TYPED_TEST(Search, WinInOneIsProvenAndPlayed) {
    constexpr int NW = TypeParam::value;
    const Size sz = sizes_for<NW>()[0];
    // Red has three in column 0 and moves: column 0 wins.
    Game<NW> g = Game<NW>::make(sz.width, sz.height);
    for (unsigned col : {0u, 1u, 0u, 1u, 0u, 2u}) {
        Move m{static_cast<uint8_t>(col), static_cast<uint8_t>(g.board.column_height(col, *g.geometry))};
        ASSERT_TRUE(g.make_move(m));
    }
    for (SearchAlgorithm a : {SearchAlgorithm::Puct, SearchAlgorithm::Gumbel}) {
        SearchConfig c;
        c.algorithm = a;
        c.simulations = 300;
        c.seed = 3;
        c.gumbel_samples = kMaxColumns;  // a Gumbel root only looks at the columns it samples
        auto s = TreeSearch<NW>::make({g}, c);
        s.run_rollout(0);
        EXPECT_EQ(s.best_action(0), 0);
        EXPECT_TRUE(s.tree(0).nodes[0].state & node_state::kWin);
        EXPECT_GT(s.root_value(0), 0.5);
    }
}

TYPED_TEST(Search, ForcedBlockIsPlayed) {
    constexpr int NW = TypeParam::value;
    const Size sz = sizes_for<NW>()[0];
    // Yellow to move; Red threatens column 0 (three stacked).
    Game<NW> g = Game<NW>::make(sz.width, sz.height);
    for (unsigned col : {0u, 1u, 0u, 2u, 0u}) {
        Move m{static_cast<uint8_t>(col), static_cast<uint8_t>(g.board.column_height(col, *g.geometry))};
        ASSERT_TRUE(g.make_move(m));
    }
    SearchConfig c;
    c.simulations = 400;
    c.seed = 5;
    auto s = TreeSearch<NW>::make({g}, c);
    s.run_rollout(0);
    EXPECT_EQ(s.best_action(0), 0);
}

TYPED_TEST(Search, AdvanceKeepsTheChildsSubtree) {
    constexpr int NW = TypeParam::value;
    const Size sz = sizes_for<NW>()[0];
    SearchConfig c;
    c.simulations = 200;
    auto s = TreeSearch<NW>::make({Game<NW>::make(sz.width, sz.height)}, c);
    s.run_rollout(0);
    const int a = s.best_action(0);
    const auto &before = s.tree(0);
    const SearchNode &r = before.nodes[0];
    int32_t child = -1;
    for (int k = 0; k < r.children; ++k)
        if (before.nodes[r.first_child + k].column == a) child = r.first_child + k;
    ASSERT_GE(child, 0);
    const SearchNode kept = before.nodes[child];
    std::vector<uint32_t> grand(sz.width, 0);
    for (int k = 0; k < kept.children; ++k)
        grand[before.nodes[kept.first_child + k].column] = before.nodes[kept.first_child + k].visits;
    s.advance(0, static_cast<unsigned>(a), false);
    std::vector<uint32_t> v(sz.width);
    s.visit_counts(0, v.data());
    EXPECT_EQ(v, grand);
    EXPECT_EQ(s.tree(0).nodes[0].visits, kept.visits);
    EXPECT_EQ(s.tree(0).root.moves, 1u);
    s.run_rollout(0);
    s.visit_counts(0, v.data());
    EXPECT_EQ(std::accumulate(v.begin(), v.end(), 0u), std::accumulate(grand.begin(), grand.end(), 0u) + 200u);
    // Every kept node's children point back at it.
    const auto &nodes = s.tree(0).nodes;
    for (std::size_t i = 0; i < nodes.size(); ++i)
        for (int k = 0; k < nodes[i].children; ++k) EXPECT_EQ(nodes[nodes[i].first_child + k].parent, int32_t(i));
}

TYPED_TEST(Search, EndedGameStopsOrRestarts) {
    constexpr int NW = TypeParam::value;
    const Size sz = sizes_for<NW>()[0];
    Game<NW> g = Game<NW>::make(sz.width, sz.height);
    for (unsigned col : {0u, 1u, 0u, 1u, 0u, 2u}) {
        Move m{static_cast<uint8_t>(col), static_cast<uint8_t>(g.board.column_height(col, *g.geometry))};
        ASSERT_TRUE(g.make_move(m));
    }
    SearchConfig c;
    c.simulations = 16;
    auto s = TreeSearch<NW>::make({g, g}, c);
    s.run_rollout(0);
    s.run_rollout(1);
    s.advance(0, 0, false);
    s.advance(1, 0, true);
    EXPECT_TRUE(s.stopped(0));
    EXPECT_TRUE(s.done(0));
    EXPECT_EQ(s.best_action(0), -1);
    EXPECT_FALSE(s.stopped(1));
    EXPECT_EQ(s.tree(1).root.moves, 0u);
    s.run_rollout(1);
    std::vector<uint32_t> v(sz.width);
    s.visit_counts(1, v.data());
    EXPECT_EQ(std::accumulate(v.begin(), v.end(), 0u), 16u);
}

TYPED_TEST(Search, SameSeedSameTreesWithNoise) {
    constexpr int NW = TypeParam::value;
    const Size sz = sizes_for<NW>()[0];
    for (SearchAlgorithm a : {SearchAlgorithm::Puct, SearchAlgorithm::Gumbel}) {
        SearchConfig c;
        c.algorithm = a;
        c.simulations = 50;
        c.seed = 11;
        std::vector<Game<NW>> roots(3, Game<NW>::make(sz.width, sz.height));
        auto s1 = TreeSearch<NW>::make(roots, c), s2 = TreeSearch<NW>::make(roots, c);
        for (std::size_t t = 3; t-- > 0;) s2.run_rollout(t);  // another order
        for (std::size_t t = 0; t < 3; ++t) s1.run_rollout(t);
        for (std::size_t t = 0; t < 3; ++t) {
            std::vector<uint32_t> v1(sz.width), v2(sz.width);
            s1.visit_counts(t, v1.data());
            s2.visit_counts(t, v2.data());
            EXPECT_EQ(v1, v2);
        }
    }
}

/// Every expanded node that is not settled was evaluated once and passed each
/// later visit to a child; no virtual loss or pending leaf is left.
template <int NW>
void expect_counts_add_up(const SearchTree<NW> &tree) {
    for (const SearchNode &n : tree.nodes) {
        EXPECT_EQ(n.virtual_loss, 0u);
        EXPECT_FALSE(n.state & node_state::kPending);
        if (!n.expanded()) continue;
        uint32_t below = 0;
        for (int k = 0; k < n.children; ++k) below += tree.nodes[n.first_child + k].visits;
        if (n.state & node_state::kSettled) EXPECT_GE(n.visits, below);
        else EXPECT_EQ(n.visits, below + 1);
    }
}

TYPED_TEST(Search, RandomDrivesKeepTheCountsConsistent) {
    constexpr int NW = TypeParam::value;
    std::mt19937_64 rng(NW);
    for (const Size sz : sizes_for<NW>()) {
        for (int round = 0; round < 3; ++round) {
            SearchConfig c;
            c.algorithm = round % 2 ? SearchAlgorithm::Gumbel : SearchAlgorithm::Puct;
            c.simulations = 1 + rng() % 60;
            c.leaves_per_step = 1 + rng() % 6;
            c.gumbel_samples = 1 + rng() % 8;
            c.seed = rng();
            auto s = TreeSearch<NW>::make(std::vector<Game<NW>>(3, Game<NW>::make(sz.width, sz.height)), c);
            std::uniform_real_distribution<float> unit(-1, 1);
            for (int move = 0; move < 12; ++move) {
                while (!s.done())
                    for (std::size_t t = 0; t < s.count(); ++t) {
                        const std::size_t n = s.gather(t);
                        std::vector<float> logits(n * sz.width), values(n);
                        for (float &x : logits) x = 3 * unit(rng);
                        for (float &x : values) x = unit(rng);
                        // Now and then a step is taken back instead of evaluated.
                        if (rng() % 7 == 0) s.abandon(t);
                        else s.expand(t, logits.data(), values.data(), 0);
                    }
                for (std::size_t t = 0; t < s.count(); ++t) {
                    expect_counts_add_up(s.tree(t));
                    const int a = s.best_action(t);
                    if (a >= 0) s.advance(t, static_cast<unsigned>(a), rng() % 2);
                    else EXPECT_TRUE(s.stopped(t));
                }
            }
        }
    }
}

TEST(SearchNoise, DirichletDrawsSumToOneAndHaveTheirMean) {
    GameRng rng = GameRng::for_game(1, 2);
    double sum = 0;
    for (int i = 0; i < 20000; ++i) sum += gamma_draw(rng, 0.3);
    EXPECT_NEAR(sum / 20000, 0.3, 0.02);  // Gamma(a, 1) has mean a
}

}  // namespace

TYPED_TEST(Search, TreesGatheredTogetherGrowAsOneAfterAnother) {
    constexpr int NW = TypeParam::value;
    for (const Size sz : sizes_for<NW>()) {
        for (SearchAlgorithm a : {SearchAlgorithm::Puct, SearchAlgorithm::Gumbel}) {
            for (uint32_t leaves : {1u, 3u}) {
                SearchConfig c;
                c.algorithm = a;
                c.simulations = 30;
                c.leaves_per_step = leaves;
                c.seed = 5;
                // More trees than walks under way at once, so that trees start as others end.
                const std::vector<Game<NW>> roots(13, Game<NW>::make(sz.width, sz.height));
                auto alone = TreeSearch<NW>::make(roots, c), together = TreeSearch<NW>::make(roots, c);
                std::mt19937_64 rng_alone(7), rng_together(7);
                auto evaluate = [&](TreeSearch<NW> &s, std::size_t t, std::mt19937_64 &rng) {
                    std::uniform_real_distribution<float> unit(-1, 1);
                    const std::size_t n = s.tree(t).leaves.size();
                    std::vector<float> logits(n * sz.width), values(n);
                    for (float &x : logits) x = 3 * unit(rng);
                    for (float &x : values) x = unit(rng);
                    s.expand(t, logits.data(), values.data(), 0, s.count());
                };
                while (!alone.done()) {
                    ASSERT_FALSE(together.done());
                    for (std::size_t t = 0; t < alone.count(); ++t) alone.gather(t);
                    together.gather_range(0, 6);
                    together.gather_range(6, together.count());
                    for (std::size_t t = 0; t < alone.count(); ++t) {
                        ASSERT_EQ(alone.tree(t).leaves.size(), together.tree(t).leaves.size());
                        evaluate(alone, t, rng_alone);
                        evaluate(together, t, rng_together);
                    }
                }
                EXPECT_TRUE(together.done());
                for (std::size_t t = 0; t < alone.count(); ++t) {
                    const auto &x = alone.tree(t).nodes, &y = together.tree(t).nodes;
                    ASSERT_EQ(x.size(), y.size());
                    for (std::size_t i = 0; i < x.size(); ++i) {
                        EXPECT_EQ(x[i].visits, y[i].visits);
                        EXPECT_EQ(x[i].value_sum, y[i].value_sum);
                        EXPECT_EQ(x[i].state, y[i].state);
                    }
                }
            }
        }
    }
}

TEST(SearchMemory, FreedTreesLendTheirNodesToTheNextSearch) {
    SearchConfig c;
    c.simulations = 50;
    const std::vector<Game<1>> roots(4, Game<1>::make(7, 6));
    std::set<const SearchNode *> freed;
    {
        auto s = TreeSearch<1>::make(roots, c);
        run_flat(s);
        for (std::size_t t = 0; t < s.count(); ++t) freed.insert(s.tree(t).nodes.data());
    }
    auto s = TreeSearch<1>::make(roots, c);
    for (std::size_t t = 0; t < s.count(); ++t) {
        EXPECT_TRUE(freed.count(s.tree(t).nodes.data())) << "tree " << t;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(s.tree(t).nodes.data()) % 64, 0u);
    }
    // A reused array holds nothing of the last search: the run is the same.
    run_flat(s);
    std::vector<uint32_t> v(7);
    s.visit_counts(0, v.data());
    EXPECT_EQ(std::accumulate(v.begin(), v.end(), 0u), 50u);
}
