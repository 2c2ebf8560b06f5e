// The batched tree search: one tree per root position, each in one flat array
// of nodes, grown by steps that gather leaves from every tree (select), take
// the evaluator's priors and values for them (expand) and back them up.
//
// A node is an index into its tree's array; the children of a node are one
// contiguous range of it, one child per legal column in column order. A node
// keeps no position: the search replays the columns from the root down.
// Values are in [-1, 1]; a node's value_sum is seen from the side that moved
// into it, so a parent reads its children's Q directly.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "batch.h"
#include "selfplay.h"

namespace gravline {

enum class SearchAlgorithm : uint8_t { Puct, Gumbel };

/// The settings of a search, fixed at its start.
struct SearchConfig {
    SearchAlgorithm algorithm = SearchAlgorithm::Puct;
    uint32_t simulations = 800;     // new simulations per search, the root's own evaluation apart
    uint32_t leaves_per_step = 1;   // leaves gathered per tree and step, kept apart by virtual loss
    double c_puct_init = 1.25;
    double c_puct_base = 19652;
    double dirichlet_alpha = 0.3;
    double dirichlet_fraction = 0.25;  // 0: no root noise
    uint32_t gumbel_samples = 16;      // actions sampled at a Gumbel root
    double gumbel_scale = 1.0;         // 0: no Gumbel noise, the top actions by prior
    double c_visit = 50;
    double c_scale = 1.0;
    uint64_t seed = 0;
};

/// A position as the search replays it: the pieces, the side to move and the
/// cells of the last moves, which the planes need.
template <int NW>
struct SearchPosition {
    Bitboard<NW> red, yellow;
    uint32_t moves = 0;
    bool yellow_moves = false;
    std::array<uint16_t, kHistoryPlies> recent{};  // the last moves' cells, latest first

    /// Bit c for each column whose top cell is empty.
    uint32_t legal(const BoardGeometry<NW> &g) const {
        const unsigned w = g.width;
        return static_cast<uint32_t>(~(red | yellow).extract((g.height - 1u) * w, w) & ((uint64_t{1} << w) - 1));
    }

    /// Plays a legal column, without asking whether the game ended.
    void drop(unsigned col, const BoardGeometry<NW> &g) {
        const Bitboard<NW> occupied = red | yellow;
        // A board edited below its pieces lands the piece in the lowest gap.
        const unsigned k = g.column_masks[col].and_not(occupied).lowest_set_bit();
        (yellow_moves ? yellow : red).set_bit(k);
        std::copy_backward(recent.begin(), recent.end() - 1, recent.end());
        recent[0] = static_cast<uint16_t>(k);
        ++moves;
        yellow_moves = !yellow_moves;
    }

    /// After a move: 1 when it won, 2 when it filled the board, else 0.
    int ended(const BoardGeometry<NW> &g) const {
        if (has_four(yellow_moves ? red : yellow, g)) return 1;
        return g.top_row.and_not(red | yellow).empty() ? 2 : 0;
    }

    /// Plays a legal column; answers as ended() does.
    int play(unsigned col, const BoardGeometry<NW> &g) {
        drop(col, g);
        return ended(g);
    }

    /// The 17 planes into `out`, as encode_planes writes them.
    void write_planes(float *out, unsigned cells) const {
        const auto *r = recent.data();
        gravline::write_planes(out, red, yellow, !yellow_moves, cells, moves,
                               [r](std::size_t t) -> std::size_t { return r[t - 1]; });
    }

    /// The position of a game that is not over.
    static SearchPosition of(const Game<NW> &game) {
        SearchPosition p;
        p.red = game.board.red;
        p.yellow = game.board.yellow;
        p.yellow_moves = game.turn == Player::Yellow;
        p.moves = static_cast<uint32_t>(game.history.size());
        const unsigned w = game.width(), h = game.height();
        for (unsigned t = 0; t < kHistoryPlies; ++t) {
            p.recent[t] = static_cast<uint16_t>(w * h);  // off the board: takes nothing back
            if (t < game.history.size()) {
                const Move m = game.history[game.history.size() - 1 - t];
                if (m.col < w && m.row < h) p.recent[t] = static_cast<uint16_t>(m.row * w + m.col);
            }
        }
        return p;
    }
};

/// What is known of a node beyond its statistics.
namespace node_state {
inline constexpr uint8_t kExpanded = 1;  // its children exist
inline constexpr uint8_t kChecked = 2;   // whether the game is over there is known
inline constexpr uint8_t kDraw = 4;      // the game ended drawn there
inline constexpr uint8_t kWin = 8;       // a proven win for the side to move there
inline constexpr uint8_t kLoss = 16;     // a proven loss for it (the game was won by the move into it, or
                                         // every reply is a proven win)
inline constexpr uint8_t kPending = 32;  // gathered in this step, waiting for its evaluation
inline constexpr uint8_t kSettled = kDraw | kWin | kLoss;
}  // namespace node_state

/// One node: 40 bytes. Its fields have no initialisers, so that the children
/// a leaf grows are written once: SearchNode{} is a node of zeros (a root
/// has parent -1).
struct SearchNode {
    int32_t parent;
    int32_t first_child;
    uint32_t visits;
    uint32_t virtual_loss;
    double value_sum;  // from the view of the side that moved into the node
    float prior;
    float logit;
    float value;       // the evaluator's value, for the side to move here
    uint8_t column;
    uint8_t children;
    uint8_t state;

    bool expanded() const { return state & node_state::kExpanded; }
    /// The exact value for the side to move of a settled node.
    double exact() const { return state & node_state::kWin ? 1.0 : state & node_state::kLoss ? -1.0 : 0.0; }
};

/// The freed arrays of search trees' nodes, kept for the next search's trees:
/// a large batch of trees fills tens of MiB, and faulting in fresh pages for
/// them costs a search from new a sixth of its time. Never destroyed, as
/// field_blocks.
inline constinit BlockCacheOf<1024> node_blocks;
static_assert(std::is_trivially_destructible_v<BlockCacheOf<1024>>);

/// The allocator of the trees' nodes: arrays on cache lines, from node_blocks
/// when one of the size asked for is kept there, and given back to it.
template <class T>
struct NodeAllocator : DefaultInitConstruct {
    using value_type = T;
    static constexpr std::align_val_t kAlign{64};
    static constexpr std::size_t kKeptBytes = std::size_t{64} << 20;

    NodeAllocator() = default;
    template <class U>
    constexpr NodeAllocator(const NodeAllocator<U> &) noexcept {}

    T *allocate(std::size_t n) {
        if (n > (std::size_t{1} << 48) / sizeof(T)) throw std::bad_array_new_length();
        if (void *kept = node_blocks.take(n * sizeof(T))) return static_cast<T *>(kept);
        return static_cast<T *>(::operator new(n * sizeof(T), kAlign));
    }
    void deallocate(T *p, std::size_t n) noexcept { node_blocks.give(p, n * sizeof(T), kAlign, kKeptBytes); }
    friend constexpr bool operator==(const NodeAllocator &, const NodeAllocator &) { return true; }
};

using SearchNodes = std::vector<SearchNode, NodeAllocator<SearchNode>>;

/// A leaf gathered in this step: its node, position and legal columns.
template <int NW>
struct SearchLeaf {
    int32_t node;
    int32_t root_child;  // the root's child it went through (its place among them), or -1
    uint32_t legal;
    uint32_t path_begin, path_end;  // its path from the root in the tree's `paths`
    SearchPosition<NW> position;
};

/// One root's tree and its search's progress.
template <int NW>
struct SearchTree {
    SearchNodes nodes;  // nodes[0] is the root
    SearchPosition<NW> root;
    GameRng rng{0};
    uint32_t started = 0;   // simulations of this search begun (pending or backed up)
    uint32_t finished = 0;  // simulations of this search backed up
    bool stopped = false;   // the root game ended and was not restarted: no search
    bool fresh = true;      // the search has not yet prepared its root (noise, Gumbel draws)
    std::vector<SearchLeaf<NW>> leaves;
    // The nodes from the root down to each leaf of this step, leaf after
    // leaf: the backup then loads them all at once instead of one parent at a time.
    std::vector<int32_t> paths;
    // The Gumbel root: the draws, the considered columns (a bit each) and
    // each root child's simulations begun in this search.
    std::array<float, kMaxColumns> gumbel{};
    uint32_t considered = 0;
    uint32_t considered_count = 0;
    std::array<uint32_t, kMaxColumns> root_visits{};

    void clear_to(const SearchPosition<NW> &p) {
        SearchNode r{};
        r.parent = -1;
        nodes.assign(1, r);
        root = p;
    }
};

/// Uniform in (0, 1).
inline double open_unit(GameRng &rng) { return (static_cast<double>(rng.next() >> 11) + 0.5) * 0x1.0p-53; }

/// A Gamma(alpha, 1) draw (Marsaglia and Tsang; alpha < 1 boosted by a power of a uniform).
inline double gamma_draw(GameRng &rng, double alpha) {
    if (alpha < 1) return gamma_draw(rng, alpha + 1) * std::pow(open_unit(rng), 1 / alpha);
    const double d = alpha - 1.0 / 3, c = 1 / std::sqrt(9 * d);
    for (;;) {
        const double x = std::sqrt(-2 * std::log(open_unit(rng))) * std::cos(2 * M_PI * open_unit(rng));
        double v = 1 + c * x;
        if (v <= 0) continue;
        v = v * v * v;
        const double u = open_unit(rng);
        if (u < 1 - 0.0331 * x * x * x * x || std::log(u) < 0.5 * x * x + d * (1 - v + std::log(v))) return d * v;
    }
}

/// For each simulation of a Gumbel root, the count of this search's visits
/// that the child it goes to must have: Sequential Halving over m considered
/// actions, each phase giving every remaining action the same visits and
/// keeping the better half, e.g. m = 4, n = 8 gives 0 0 0 0 1 1 2 2.
inline std::vector<uint32_t> considered_visits(uint32_t m, uint32_t n) {
    std::vector<uint32_t> seq;
    seq.reserve(n);
    if (m <= 1) {
        for (uint32_t k = 0; k < n; ++k) seq.push_back(k);
        return seq;
    }
    const uint32_t log2m = static_cast<uint32_t>(std::bit_width(m - 1));  // ceil(log2 m)
    std::vector<uint32_t> visits(m, 0);
    uint32_t count = m;
    while (seq.size() < n) {
        const uint32_t extra = std::max<uint32_t>(1, n / (log2m * count));
        for (uint32_t e = 0; e < extra; ++e) {
            seq.insert(seq.end(), visits.begin(), visits.begin() + count);
            for (uint32_t i = 0; i < count; ++i) ++visits[i];
        }
        count = std::max<uint32_t>(2, count / 2);
    }
    seq.resize(n);
    return seq;
}

template <int NW>
class TreeSearch;

/// c(s) sqrt(N(s)) of AlphaZero's rule, c(s) = c_init + log((N(s) + c_base + 1) / c_base),
/// kept for the parent counts a search meets most: a log and a square root a
/// level saved, the same doubles as computed each time.
class ExploreTable {
public:
    ExploreTable() = default;
    ExploreTable(const SearchConfig &c, std::size_t size) : init_(c.c_puct_init), base_(c.c_puct_base), table_(size) {
        for (std::size_t n = 0; n < size; ++n) table_[n] = compute(double(n));
    }
    double operator()(double parent_n) const {
        const auto k = static_cast<std::size_t>(parent_n);
        return k < table_.size() ? table_[k] : compute(parent_n);
    }

private:
    double compute(double n) const { return (init_ + std::log((n + base_ + 1) / base_)) * std::sqrt(n); }
    double init_ = 1.25, base_ = 19652;
    std::vector<double> table_;
};

/// AlphaZero's rule: the child maximising Q + c(s) P sqrt(N(s)) / (1 + N),
/// an unvisited child's Q being 0. Virtual loss counts as visits that lost.
/// A child that is a proven win for the side to move there is never chosen.
struct PuctRule {
    [[gnu::always_inline]] static int32_t select(const SearchConfig &, const ExploreTable &table, const SearchNode *nodes,
                                                 const SearchNode &s) {
        const double explore = table(double(s.visits) + s.virtual_loss);
        // Every child's score first, without branches, so that the divisions
        // overlap; then the first best, skipping proven wins.
        const SearchNode *ch = nodes + s.first_child;
        std::array<double, kMaxColumns> score;
        for (int k = 0; k < s.children; ++k) {
            const double n = double(ch[k].visits) + ch[k].virtual_loss;
            const double q = (ch[k].value_sum - ch[k].virtual_loss) / std::max(n, 1.0);
            score[k] = q + explore * ch[k].prior / (1.0 + n);
        }
        int best = -1;
        double best_score = -std::numeric_limits<double>::infinity();
        for (int k = 0; k < s.children; ++k) {
            if (ch[k].state & node_state::kWin) continue;
            if (best < 0 || score[k] > best_score) best = k, best_score = score[k];
        }
        return best < 0 ? -1 : s.first_child + best;
    }
};

/// The Gumbel search's completed Q of node s's children and its sigma: Q for
/// a visited child, the mixed value for the others.
struct GumbelValues {
    /// v_mix = (v + N * sum_visited(P q) / sum_visited(P)) / (1 + N), N the children's visits.
    static double mixed_value(const SearchNode *nodes, const SearchNode &s) {
        double n = 0, pq = 0, p = 0;
        for (int32_t i = s.first_child; i < s.first_child + s.children; ++i) {
            const SearchNode &ch = nodes[i];
            if (!ch.visits) continue;
            n += ch.visits;
            pq += double(ch.prior) * (ch.value_sum / ch.visits);
            p += ch.prior;
        }
        if (n == 0) return s.value;
        return (double(s.value) + (p > 0 ? n * pq / p : 0.0)) / (1 + n);
    }

    /// logit + sigma(completed Q) of every child, sigma(q) = (c_visit + max N) c_scale q.
    static void scores(const SearchConfig &c, const SearchNode *nodes, const SearchNode &s, double *out) {
        const double mix = mixed_value(nodes, s);
        uint32_t max_n = 0;
        for (int32_t i = s.first_child; i < s.first_child + s.children; ++i) max_n = std::max(max_n, nodes[i].visits);
        const double scale = (c.c_visit + max_n) * c.c_scale;
        for (int k = 0; k < s.children; ++k) {
            const SearchNode &ch = nodes[s.first_child + k];
            const double q = ch.visits ? ch.value_sum / ch.visits : mix;
            out[k] = double(ch.logit) + scale * q;
        }
    }

    /// The improved policy softmax(logit + sigma(completed Q)) of s's children.
    static void improved(const SearchConfig &c, const SearchNode *nodes, const SearchNode &s, double *out) {
        scores(c, nodes, s, out);
        double m = -std::numeric_limits<double>::infinity(), sum = 0;
        for (int k = 0; k < s.children; ++k) m = std::max(m, out[k]);
        for (int k = 0; k < s.children; ++k) sum += out[k] = std::exp(out[k] - m);
        for (int k = 0; k < s.children; ++k) out[k] /= sum;
    }
};

/// The Gumbel search's rule below the root: the child maximising
/// pi'(a) - N(a) / (1 + sum N), pi' the improved policy, virtual loss
/// counting as visits; a proven win for the side to move there is never chosen.
struct GumbelRule {
    [[gnu::always_inline]] static int32_t select(const SearchConfig &c, const ExploreTable &, const SearchNode *nodes,
                                                 const SearchNode &s) {
        std::array<double, kMaxColumns> pi;
        GumbelValues::improved(c, nodes, s, pi.data());
        double total = 0;
        for (int k = 0; k < s.children; ++k) total += double(nodes[s.first_child + k].visits) + nodes[s.first_child + k].virtual_loss;
        int32_t best = -1;
        double best_score = -std::numeric_limits<double>::infinity();
        for (int k = 0; k < s.children; ++k) {
            const SearchNode &ch = nodes[s.first_child + k];
            if (ch.state & node_state::kWin) continue;
            const double score = pi[k] - (double(ch.visits) + ch.virtual_loss) / (1 + total);
            if (best < 0 || score > best_score) best = s.first_child + k, best_score = score;
        }
        return best;
    }
};

/// Appends a search's record of position `p` to `out` (version 2): `columns`
/// the game's columns so far, `dist` the search's distribution (width
/// weights, at least one where a move may be played), `root_value` its value,
/// `action` the column played. The value, opponent policy and mask are left
/// for finish_search_game.
template <int NW>
void append_search_record(const SearchPosition<NW> &p, const std::vector<uint8_t> &columns, const uint16_t *dist,
                          float root_value, unsigned action, uint32_t game, Records &out) {
    const unsigned w = out.width;
    out.red.insert(out.red.end(), p.red.w.begin(), p.red.w.end());
    out.yellow.insert(out.yellow.end(), p.yellow.w.begin(), p.yellow.w.end());
    for (unsigned t = 0; t < kRecordMoves; ++t)
        out.last_moves.push_back(t < columns.size() ? columns[columns.size() - 1 - t] : kNoMove);
    out.turn.push_back(p.yellow_moves ? -1 : 1);
    uint32_t weighted = 0;
    for (unsigned c = 0; c < w; ++c)
        if (dist[c]) weighted |= uint32_t{1} << c;
    out.policy.push_back(weighted);
    out.opponent_policy.push_back(0);
    out.opponent_mask.push_back(0);
    out.value.push_back(0);
    out.game.push_back(game);
    out.ply.push_back(static_cast<uint16_t>(columns.size()));
    out.action.push_back(static_cast<uint8_t>(action));
    out.visits.insert(out.visits.end(), dist, dist + w);
    out.root_value.push_back(root_value);
}

/// Fills in the records [first, size) of one game that `winner` won (1 Red,
/// -1 Yellow, 0 drawn): each value for its side to move, and the next
/// record's policy as the opponent's.
inline void finish_search_game(Records &out, std::size_t first, int winner) {
    const std::size_t end = out.size();
    for (std::size_t i = first; i < end; ++i) {
        out.value[i] = static_cast<int8_t>(winner * out.turn[i]);
        const bool last = i + 1 == end;
        out.opponent_policy[i] = last ? 0 : out.policy[i + 1];
        out.opponent_mask[i] = last ? 0 : 1;
    }
}

/// The trees of many roots of one size and the steps that grow them. Each tree
/// is worked on by one thread at a time, and its random numbers come from the
/// run's seed and its root's index, so results never depend on the threads.
template <int NW>
class TreeSearch {
public:
    /// A search of `roots` (games of one size, none over).
    static TreeSearch make(const std::vector<Game<NW>> &roots, const SearchConfig &c) {
        TreeSearch s;
        s.config_ = c;
        s.geometry_ = BoardGeometry<NW>::make(roots.at(0).width(), roots.at(0).height());
        s.trees_.resize(roots.size());
        for (std::size_t t = 0; t < roots.size(); ++t) {
            if (roots[t].width() != s.geometry_.width || roots[t].height() != s.geometry_.height)
                fatal("roots of one size only");
            if (roots[t].over) fatal("a finished game cannot be searched");
            SearchTree<NW> &tree = s.trees_[t];
            tree.rng = GameRng::for_game(c.seed, t);
            // Room for a child per column for each simulation and the root's
            // own evaluation, within reason: a tree grows by doubling past it.
            tree.nodes.reserve(std::min<std::size_t>((std::size_t{c.simulations} + 1) * s.geometry_.width + 1, 1 << 16));
            tree.clear_to(SearchPosition<NW>::of(roots[t]));
        }
        // A parent's count: this search's simulations, each tree's virtual
        // losses and the root's own evaluation (a kept subtree may have more).
        if (c.algorithm == SearchAlgorithm::Puct)
            s.explore_ = ExploreTable(c, std::min<std::size_t>(std::size_t{c.simulations} + c.leaves_per_step + 2, 1 << 20));
        if (c.algorithm == SearchAlgorithm::Gumbel)
            for (uint32_t m = 1; m <= std::min<uint32_t>(c.gumbel_samples, kMaxColumns); ++m)
                s.halving_[m] = considered_visits(m, c.simulations);
        return s;
    }

    std::size_t count() const { return trees_.size(); }
    unsigned width() const { return geometry_.width; }
    unsigned height() const { return geometry_.height; }
    unsigned cells() const { return unsigned{geometry_.width} * geometry_.height; }
    const SearchConfig &config() const { return config_; }
    const SearchTree<NW> &tree(std::size_t t) const { return trees_[t]; }

    /// True when tree t has run all of this search's simulations.
    bool done(std::size_t t) const {
        const SearchTree<NW> &tree = trees_[t];
        return tree.stopped || (tree.nodes[0].expanded() && tree.finished >= config_.simulations);
    }
    bool done() const {
        for (std::size_t t = 0; t < trees_.size(); ++t)
            if (!done(t)) return false;
        return true;
    }
    /// True while some tree has leaves gathered and not yet expanded.
    bool pending() const {
        for (const auto &tree : trees_)
            if (!tree.leaves.empty()) return true;
        return false;
    }

    /// Gathers tree t's leaves for this step, up to leaves_per_step: each
    /// simulation walks down from the root by the algorithm's rule. One that
    /// ends where the game is over or the result is proven is backed up at
    /// once and the gathering goes on; one that ends at a leaf already
    /// gathered ends the gathering. Returns the leaves gathered.
    std::size_t gather(std::size_t t) {
        gather_range(t, t + 1);
        return trees_[t].leaves.size();
    }

    /// Gathers the leaves of trees [lo, hi) as gather() does for each, with
    /// the walks of several trees under way at once, a level of each in turn:
    /// a walk asks for the children of the node it goes to and leaves them to
    /// arrive while the other walks take their steps, where one walk at a time
    /// would wait for every level's nodes in turn (a large batch of trees has
    /// left the caches since its last step). Each tree's walks still run in
    /// their order, so the result is that of one tree after another.
    void gather_range(std::size_t lo, std::size_t hi) {
        if (config_.algorithm == SearchAlgorithm::Puct) gather_with<PuctRule>(lo, hi);
        else gather_with<GumbelRule>(lo, hi);
    }

    /// The planes and legal mask of tree t's k-th leaf.
    void write_leaf(std::size_t t, std::size_t k, float *planes, uint8_t *mask) const {
        const SearchLeaf<NW> &leaf = trees_[t].leaves[k];
        leaf.position.write_planes(planes, cells());
        for (unsigned c = 0; c < geometry_.width; ++c) mask[c] = leaf.legal >> c & 1;
    }

    /// Why the evaluations of tree t's leaves (rows of `logits`, `values`
    /// from `row`) cannot be used, or nothing: a value outside [-1, 1] or a
    /// logit of a legal column that is NaN or +inf.
    std::optional<std::string> check(std::size_t t, const float *logits, const float *values, std::size_t row) const {
        const SearchTree<NW> &tree = trees_[t];
        for (std::size_t k = 0; k < tree.leaves.size(); ++k) {
            const float v = values[row + k];
            if (!(v >= -1.0f && v <= 1.0f))
                return "values[" + std::to_string(row + k) + "] must be in [-1, 1]";
            const float *l = logits + (row + k) * geometry_.width;
            for (uint32_t cols = tree.leaves[k].legal; cols; cols &= cols - 1) {
                const float x = l[std::countr_zero(cols)];
                if (std::isnan(x) || x == std::numeric_limits<float>::infinity())
                    return "priors[" + std::to_string(row + k) + "] must be finite or -inf on legal columns";
            }
        }
        return std::nullopt;
    }

    /// Expands tree t's leaves with their logits (width per leaf, illegal
    /// columns ignored) and values from row `row`, and backs the values up.
    /// `end` bounds the trees this caller expands after t, as for gather().
    void expand(std::size_t t, const float *logits, const float *values, std::size_t row, std::size_t end = 0) {
        SearchTree<NW> &tree = trees_[t];
        // The next tree's paths are fetched while this one is expanded.
        if (t + 1 < std::min(end, trees_.size())) {
            const SearchTree<NW> &next = trees_[t + 1];
            for (const int32_t i : next.paths) __builtin_prefetch(next.nodes.data() + i, 1);
        }
        for (std::size_t k = 0; k < tree.leaves.size(); ++k)
            expand_leaf(tree, tree.leaves[k], logits + (row + k) * geometry_.width, values[row + k]);
        tree.leaves.clear();
        if (tree.fresh && tree.nodes[0].expanded()) prepare_root(tree);
    }

    /// Takes back tree t's leaves of this step unevaluated, as if never gathered.
    void abandon(std::size_t t) {
        SearchTree<NW> &tree = trees_[t];
        for (const SearchLeaf<NW> &leaf : tree.leaves) {
            tree.nodes[leaf.node].state &= ~node_state::kPending;
            if (leaf.node == 0 && !tree.nodes[0].expanded()) continue;  // the root's own evaluation
            for (int32_t j = leaf.node; j >= 0; j = tree.nodes[j].parent) --tree.nodes[j].virtual_loss;
            --tree.started;
            if (leaf.root_child >= 0) --tree.root_visits[leaf.root_child];
        }
        tree.leaves.clear();
    }

    /// The legal columns at root t.
    uint32_t root_legal(std::size_t t) const { return trees_[t].root.legal(geometry_); }

    /// Runs tree t's search to its end with the built-in evaluator: uniform
    /// priors and the value of one random playout from the leaf.
    void run_rollout(std::size_t t) {
        SearchTree<NW> &tree = trees_[t];
        const std::array<float, kMaxColumns> zero{};
        while (!done(t)) {
            gather(t);
            for (SearchLeaf<NW> &leaf : tree.leaves)
                expand_leaf(tree, leaf, zero.data(), static_cast<float>(rollout(leaf.position, tree.rng)));
            tree.leaves.clear();
            if (tree.fresh && tree.nodes[0].expanded()) prepare_root(tree);
        }
    }

    /// The value of a random playout from `p` for its side to move.
    double rollout(SearchPosition<NW> p, GameRng &rng) const {
        for (int sign = 1;; sign = -sign) {
            const uint32_t legal = p.legal(geometry_);
            const int r = p.play(nth_set_bit(legal, rng.below(std::popcount(legal))), geometry_);
            if (r == 1) return sign;
            if (r == 2) return 0;
        }
    }

    // ---- results ----

    /// The root children's visits by column (zero for an illegal one or a stopped tree).
    void visit_counts(std::size_t t, uint32_t *out) const {
        std::fill_n(out, geometry_.width, 0u);
        const SearchTree<NW> &tree = trees_[t];
        if (tree.stopped) return;
        const SearchNode &r = tree.nodes[0];
        for (int k = 0; k < r.children; ++k) out[tree.nodes[r.first_child + k].column] = tree.nodes[r.first_child + k].visits;
    }

    /// The root value for its side to move: the mean of every value backed up
    /// through the root, its own evaluation included; 0 for a stopped tree.
    double root_value(std::size_t t) const {
        const SearchNode &r = trees_[t].nodes[0];
        if (trees_[t].stopped || r.visits == 0) return 0;
        return -r.value_sum / r.visits;
    }

    /// The move to play: a proven winning move if there is one; for PUCT the
    /// most visited child that is not a proven loss (the lowest column on a
    /// tie), for Gumbel the considered child with most visits of this search
    /// and the best Gumbel score; -1 for a stopped tree or an unexpanded root.
    int best_action(std::size_t t) const {
        const SearchTree<NW> &tree = trees_[t];
        const SearchNode &r = tree.nodes[0];
        if (tree.stopped || !r.expanded()) return -1;
        const SearchNode *n = tree.nodes.data();
        for (int k = 0; k < r.children; ++k)
            if (n[r.first_child + k].state & node_state::kLoss) return n[r.first_child + k].column;
        if (config_.algorithm == SearchAlgorithm::Gumbel && tree.considered) {
            std::array<double, kMaxColumns> s;
            GumbelValues::scores(config_, n, r, s.data());
            uint32_t most = 0;
            for (int k = 0; k < r.children; ++k)
                if (tree.considered >> k & 1) most = std::max(most, tree.root_visits[k]);
            int best = -1;
            double best_score = 0;
            for (int k = 0; k < r.children; ++k) {
                if (!(tree.considered >> k & 1) || tree.root_visits[k] != most) continue;
                const double score = tree.gumbel[k] + s[k];
                if (best < 0 || score > best_score) best = k, best_score = score;
            }
            return n[r.first_child + best].column;
        }
        int best = -1;
        bool best_lost = true;
        for (int k = 0; k < r.children; ++k) {
            const SearchNode &ch = n[r.first_child + k];
            const bool lost = ch.state & node_state::kWin;
            if (best < 0 || (best_lost && !lost) || (lost == best_lost && ch.visits > n[r.first_child + best].visits))
                best = k, best_lost = lost;
        }
        return n[r.first_child + best].column;
    }

    /// The search's distribution over columns: visits^(1/T) normalised for
    /// PUCT, the improved policy^(1/T) normalised for Gumbel, the best action
    /// alone at T = 0; all zero for a stopped tree or an unexpanded root.
    void policy(std::size_t t, double temperature, float *out) const {
        std::fill_n(out, geometry_.width, 0.0f);
        const SearchTree<NW> &tree = trees_[t];
        const SearchNode &r = tree.nodes[0];
        if (tree.stopped || !r.expanded()) return;
        if (temperature <= 0) {
            out[best_action(t)] = 1.0f;
            return;
        }
        std::array<double, kMaxColumns> p{};
        const SearchNode *n = tree.nodes.data();
        if (config_.algorithm == SearchAlgorithm::Gumbel) GumbelValues::improved(config_, n, r, p.data());
        else
            for (int k = 0; k < r.children; ++k) p[k] = n[r.first_child + k].visits;
        double top = 0;
        for (int k = 0; k < r.children; ++k) top = std::max(top, p[k]);
        if (top <= 0) {  // no visits yet: the best action
            out[best_action(t)] = 1.0f;
            return;
        }
        double sum = 0;
        for (int k = 0; k < r.children; ++k) sum += p[k] = p[k] > 0 ? std::pow(p[k] / top, 1 / temperature) : 0.0;
        for (int k = 0; k < r.children; ++k) out[n[r.first_child + k].column] = static_cast<float>(p[k] / sum);
    }

    /// A column drawn from policy(t, temperature) with `rng`; -1 for a stopped tree.
    int sample_action(std::size_t t, double temperature, GameRng &rng) const {
        if (temperature <= 0) return best_action(t);
        std::array<float, kMaxColumns> p{};
        policy(t, temperature, p.data());
        double u = open_unit(rng), acc = 0;
        int last = -1;
        for (unsigned c = 0; c < geometry_.width; ++c) {
            if (p[c] <= 0) continue;
            last = static_cast<int>(c);
            acc += p[c];
            if (u < acc) return last;
        }
        return last;
    }

    /// Root t's distribution as width weights for a record: the visit counts
    /// (scaled down past 65535) for PUCT, the improved policy times 65535 for
    /// Gumbel; every column with a share keeps a weight of at least 1.
    void distribution(std::size_t t, uint16_t *out) const {
        const unsigned w = geometry_.width;
        std::fill_n(out, w, uint16_t{0});
        if (config_.algorithm == SearchAlgorithm::Gumbel) {
            std::array<float, kMaxColumns> p{};
            policy(t, 1.0, p.data());
            for (unsigned c = 0; c < w; ++c)
                if (p[c] > 0) out[c] = static_cast<uint16_t>(std::clamp(std::lround(p[c] * 65535.0), 1l, 65535l));
            return;
        }
        std::array<uint32_t, kMaxColumns> v{};
        visit_counts(t, v.data());
        const uint32_t top = *std::max_element(v.begin(), v.begin() + w);
        for (unsigned c = 0; c < w; ++c)
            if (v[c]) out[c] = static_cast<uint16_t>(top <= 65535 ? v[c] : std::max<uint64_t>(1, uint64_t{v[c]} * 65535 / top));
    }

    // ---- moving on ----

    /// Root t plays `col` (legal there): the child's subtree becomes the tree,
    /// and a new search of `simulations` begins. A game that ends starts again
    /// from the empty board when `restart`, else the tree stops.
    void advance(std::size_t t, unsigned col, bool restart) {
        SearchTree<NW> &tree = trees_[t];
        SearchPosition<NW> next = tree.root;
        const int result = next.play(col, geometry_);
        tree.started = tree.finished = 0;
        tree.fresh = true;
        tree.considered = tree.considered_count = 0;
        tree.root_visits.fill(0);
        if (result != 0) {
            tree.clear_to(restart ? SearchPosition<NW>::of(Game<NW>::make(geometry_.width, geometry_.height)) : next);
            tree.stopped = !restart;
            return;
        }
        const SearchNode &r = tree.nodes[0];
        int32_t child = -1;
        for (int k = 0; k < r.children; ++k)
            if (tree.nodes[r.first_child + k].column == col) child = r.first_child + k;
        if (child < 0) return tree.clear_to(next);
        // Breadth first from the child, so each node's children stay one range.
        SearchNodes kept;
        std::vector<int32_t> from;
        kept.reserve(tree.nodes.size());
        kept.push_back(tree.nodes[child]);
        from.push_back(child);
        kept[0].parent = -1;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            const SearchNode old = tree.nodes[from[i]];
            if (!old.expanded()) continue;
            kept[i].first_child = static_cast<int32_t>(kept.size());
            for (int k = 0; k < old.children; ++k) {
                kept.push_back(tree.nodes[old.first_child + k]);
                kept.back().parent = static_cast<int32_t>(i);
                from.push_back(old.first_child + k);
            }
        }
        tree.nodes = std::move(kept);
        tree.root = next;
        if (tree.nodes[0].expanded()) prepare_root(tree);
    }

    /// Whether tree t stopped because its game ended.
    bool stopped(std::size_t t) const { return trees_[t].stopped; }

private:
    /// Backs `value` (for the side to move at `node`) up to the root,
    /// taking back the virtual loss of a gathered leaf's path.
    static void backup(SearchTree<NW> &tree, int32_t node, double value, uint32_t virtual_loss) {
        for (int32_t i = node; i >= 0; i = tree.nodes[i].parent) {
            SearchNode &n = tree.nodes[i];
            n.visits += 1;
            n.value_sum -= value;
            n.virtual_loss -= virtual_loss;
            value = -value;
        }
        ++tree.finished;
    }

    /// Node `i` was just proven: the parent of a proven loss is a proven win,
    /// and a node whose children are all proven wins is a proven loss.
    static void settle(SearchTree<NW> &tree, int32_t i) {
        for (int32_t p = tree.nodes[i].parent; p >= 0; i = p, p = tree.nodes[p].parent) {
            SearchNode &parent = tree.nodes[p];
            if (parent.state & (node_state::kWin | node_state::kLoss)) return;
            if (tree.nodes[i].state & node_state::kLoss) {
                parent.state |= node_state::kWin;
                continue;
            }
            for (int k = 0; k < parent.children; ++k)
                if (!(tree.nodes[parent.first_child + k].state & node_state::kWin)) return;
            parent.state |= node_state::kLoss;
        }
    }

    /// The root's child of this simulation in a Gumbel search: among the
    /// considered children with the visits Sequential Halving asks for, the
    /// best g + logit + sigma(completed Q).
    int32_t gumbel_root_child(const SearchTree<NW> &tree) const {
        const SearchNode *n = tree.nodes.data();
        const SearchNode &r = n[0];
        std::array<double, kMaxColumns> s;
        GumbelValues::scores(config_, n, r, s.data());
        const std::vector<uint32_t> &seq = halving_[tree.considered_count];
        const uint32_t want = seq.empty() ? 0 : seq[std::min<std::size_t>(tree.started, seq.size() - 1)];
        int best = -1;
        bool best_match = false;
        double best_score = 0;
        for (int k = 0; k < r.children; ++k) {
            if (!(tree.considered >> k & 1) || (n[r.first_child + k].state & node_state::kWin)) continue;
            const bool match = tree.root_visits[k] == want;
            const double score = tree.gumbel[k] + s[k];
            if (best < 0 || (match && !best_match) || (match == best_match && score > best_score))
                best = k, best_match = match, best_score = score;
        }
        if (best < 0) return PuctRule::select(config_, explore_, n, r);
        return r.first_child + best;
    }

    /// A walk from a tree's root down to the leaf of one simulation, under way.
    struct Walk {
        SearchPosition<NW> p;  // the position at node i
        std::size_t t;
        int32_t i;
        int root_child;       // the root's child it went through (its place among them), or -1
        uint32_t path_begin;  // where its path starts in the tree's `paths`
    };

    /// Asks for the lines of node s's children.
    static void prefetch_children(const SearchNode *nodes, const SearchNode &s) {
        const char *first = reinterpret_cast<const char *>(nodes + s.first_child);
        const char *last = reinterpret_cast<const char *>(nodes + s.first_child + s.children) - 1;
        for (const char *line = first; line <= last; line += 64) __builtin_prefetch(line);
        __builtin_prefetch(last);
    }

    template <class Rule>
    void gather_with(std::size_t lo, std::size_t hi) {
        constexpr std::size_t kWalks = 8;
        std::array<Walk, kWalks> walks;
        std::size_t count = 0, next = lo;
        // A walk of the next tree that wants one, into w; false when no tree is left.
        auto start_next = [&](Walk &w) {
            while (next < hi) {
                const std::size_t t = next++;
                if (begin_gathering(t)) {
                    start_walk(t, w);
                    return true;
                }
            }
            return false;
        };
        while (count < kWalks && start_next(walks[count])) ++count;
        while (count > 0) {
            for (std::size_t k = 0; k < count;) {
                Walk &w = walks[k];
                if (step<Rule>(w)) {
                    ++k;
                } else if (end_walk(w) && wants_walk(trees_[w.t])) {
                    start_walk(w.t, w);
                    ++k;
                } else if (start_next(w)) {
                    ++k;
                } else {
                    w = walks[--count];  // the last walk takes this place, and its step
                }
            }
        }
    }

    /// Starts tree t's gathering; true when it wants walks. The root's own
    /// evaluation comes first, alone, and is no simulation of the budget.
    bool begin_gathering(std::size_t t) {
        SearchTree<NW> &tree = trees_[t];
        tree.leaves.clear();
        if (tree.stopped) return false;
        if (!tree.nodes[0].expanded()) {
            tree.nodes[0].state |= node_state::kPending;
            tree.paths.assign(1, 0);
            tree.leaves.push_back({0, -1, tree.root.legal(geometry_), 0, 1, tree.root});
            return false;
        }
        if (tree.fresh) prepare_root(tree);
        tree.paths.clear();
        return wants_walk(tree);
    }

    bool wants_walk(const SearchTree<NW> &tree) const {
        return tree.leaves.size() < config_.leaves_per_step && tree.started < config_.simulations;
    }

    void start_walk(std::size_t t, Walk &w) {
        SearchTree<NW> &tree = trees_[t];
        w = {tree.root, t, 0, -1, static_cast<uint32_t>(tree.paths.size())};
        tree.paths.push_back(0);
        prefetch_children(tree.nodes.data(), tree.nodes[0]);
    }

    /// Takes walk w a level down by the algorithm's rule; false when it has
    /// reached its end (a node not expanded, or one whose result is known).
    template <class Rule>
    bool step(Walk &w) {
        SearchTree<NW> &tree = trees_[w.t];
        const SearchNode &s = tree.nodes[w.i];
        if (!s.expanded() || (s.state & node_state::kSettled)) return false;
        const int32_t c = config_.algorithm == SearchAlgorithm::Gumbel && w.i == 0
                              ? gumbel_root_child(tree)
                              : Rule::select(config_, explore_, tree.nodes.data(), s);
        if (w.i == 0) w.root_child = c - s.first_child;
        w.i = c;
        tree.paths.push_back(c);
        SearchNode &child = tree.nodes[c];
        w.p.drop(child.column, geometry_);
        if (!(child.state & node_state::kChecked)) {
            const int result = w.p.ended(geometry_);
            child.state |= node_state::kChecked | (result == 1 ? node_state::kLoss : result == 2 ? node_state::kDraw : 0);
            if (result == 1) settle(tree, c);
        }
        if (child.expanded()) prefetch_children(tree.nodes.data(), child);
        return true;
    }

    /// Ends walk w at its node: a leaf already gathered ends the tree's
    /// gathering (false); a settled node is backed up at once; any other
    /// becomes a leaf of this step, its path under virtual loss.
    bool end_walk(const Walk &w) {
        SearchTree<NW> &tree = trees_[w.t];
        SearchNode &leaf = tree.nodes[w.i];
        if (leaf.state & node_state::kPending) {
            tree.paths.resize(w.path_begin);
            return false;
        }
        ++tree.started;
        if (w.root_child >= 0) ++tree.root_visits[w.root_child];
        if (leaf.state & node_state::kSettled) {
            backup(tree, w.i, leaf.exact(), 0);
            tree.paths.resize(w.path_begin);
            return true;
        }
        leaf.state |= node_state::kPending;
        const auto path_end = static_cast<uint32_t>(tree.paths.size());
        for (uint32_t k = w.path_begin; k < path_end; ++k) ++tree.nodes[tree.paths[k]].virtual_loss;
        tree.leaves.push_back({w.i, w.root_child, w.p.legal(geometry_), w.path_begin, path_end, w.p});
        return true;
    }

    void expand_leaf(SearchTree<NW> &tree, const SearchLeaf<NW> &leaf, const float *logits, float value) {
        const int32_t first = static_cast<int32_t>(tree.nodes.size());
        // Softmax over the legal columns, in double, in column order.
        double m = -std::numeric_limits<double>::infinity();
        for (uint32_t cols = leaf.legal; cols; cols &= cols - 1) m = std::max(m, double(logits[std::countr_zero(cols)]));
        double sum = 0;
        std::array<double, kMaxColumns> e;
        int n = 0;
        for (uint32_t cols = leaf.legal; cols; cols &= cols - 1, ++n) {
            const double x = double(logits[std::countr_zero(cols)]);
            sum += e[n] = m == -std::numeric_limits<double>::infinity() ? 1.0 : std::exp(x - m);
        }
        // The children are made in place: a node built aside and copied in
        // would wait on its own stores.
        tree.nodes.resize(tree.nodes.size() + static_cast<std::size_t>(n));
        SearchNode *child = tree.nodes.data() + first;
        n = 0;
        for (uint32_t cols = leaf.legal; cols; cols &= cols - 1, ++n, ++child) {
            const unsigned c = static_cast<unsigned>(std::countr_zero(cols));
            child->parent = leaf.node;
            child->first_child = 0;
            child->visits = child->virtual_loss = 0;
            child->value_sum = 0;
            child->prior = static_cast<float>(e[n] / sum);
            child->logit = std::max(logits[c], -1e30f);
            child->value = 0;
            child->column = static_cast<uint8_t>(c);
            child->children = child->state = 0;
        }
        SearchNode &node = tree.nodes[leaf.node];
        node.first_child = first;
        node.children = static_cast<uint8_t>(n);
        node.value = value;
        node.state = static_cast<uint8_t>((node.state & ~node_state::kPending) | node_state::kExpanded | node_state::kChecked);
        const bool root = leaf.node == 0 && tree.nodes[0].visits == 0;
        // Up the recorded path from the leaf: the nodes' addresses are all
        // known at once, so their loads overlap, where following the parents
        // would wait for each in turn (at this point of a step they have
        // usually left the caches).
        double v = value;
        const uint32_t taken = root ? 0 : 1;
        for (uint32_t k = leaf.path_end; k-- > leaf.path_begin;) {
            SearchNode &n = tree.nodes[tree.paths[k]];
            n.visits += 1;
            n.value_sum -= v;
            n.virtual_loss -= taken;
            v = -v;
        }
        ++tree.finished;
        // The root's evaluation is no simulation of the budget.
        if (root) --tree.finished;
    }

    /// Once per search, on an expanded root: mixes Dirichlet noise into a PUCT
    /// root's priors, or draws a Gumbel root's noise and its considered children.
    void prepare_root(SearchTree<NW> &tree) {
        tree.fresh = false;
        SearchNode &r = tree.nodes[0];
        SearchNode *ch = tree.nodes.data() + r.first_child;
        if (config_.algorithm == SearchAlgorithm::Puct) {
            if (config_.dirichlet_fraction <= 0 || r.children == 0) return;
            std::array<double, kMaxColumns> g{};
            double sum = 0;
            for (int k = 0; k < r.children; ++k) sum += g[k] = gamma_draw(tree.rng, config_.dirichlet_alpha);
            const double f = config_.dirichlet_fraction;
            for (int k = 0; k < r.children; ++k)
                ch[k].prior = static_cast<float>((1 - f) * ch[k].prior + f * (sum > 0 ? g[k] / sum : 1.0 / r.children));
            return;
        }
        for (int k = 0; k < r.children; ++k)
            tree.gumbel[k] = config_.gumbel_scale > 0
                                 ? static_cast<float>(-config_.gumbel_scale * std::log(-std::log(open_unit(tree.rng))))
                                 : 0.0f;
        // The top m children by g + logit, the lower column first on a tie.
        const uint32_t m = std::min<uint32_t>({config_.gumbel_samples, r.children, kMaxColumns});
        tree.considered = 0;
        for (uint32_t j = 0; j < m; ++j) {
            int best = -1;
            for (int k = 0; k < r.children; ++k) {
                if (tree.considered >> k & 1) continue;
                if (best < 0 || double(tree.gumbel[k]) + ch[k].logit > double(tree.gumbel[best]) + ch[best].logit) best = k;
            }
            tree.considered |= uint32_t{1} << best;
        }
        tree.considered_count = m;
        tree.root_visits.fill(0);
    }

    SearchConfig config_;
    BoardGeometry<NW> geometry_;
    std::vector<SearchTree<NW>> trees_;
    std::array<std::vector<uint32_t>, kMaxColumns + 1> halving_;  // by considered count
    ExploreTable explore_;
};

}  // namespace gravline
