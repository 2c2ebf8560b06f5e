// The exact solver: a negamax alpha-beta search over the bitboards, driven by
// null-window searches that narrow the score's bounds, with a transposition
// table kept between searches and shared by threads without a lock.
//
// Scores are for the side to move: 0 a draw; a win with the mover's k-th last
// piece scores k, a loss to the opponent's k-th last piece scores -k. The first
// player has ceil(W*H/2) pieces and the second floor(W*H/2), so a drop that
// wins after n pieces were played scores (W*H + 1 - n) / 2.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <cstdint>
#include <memory>
#include <optional>

#include "game.h"
#include "selfplay.h"

namespace gravline {

/// The score a move_scores row holds for a full column: below every score.
inline constexpr int kFullColumnScore = -1000;

/// Bounds on scores found by earlier searches, one entry per slot, shared by
/// any number of threads without a lock. An entry is two words, `data` and
/// `check = key ^ data`: a reader that meets a half-written entry finds the
/// check wrong and treats the slot as empty, so a torn entry is never read.
///
///   data: bits 0-15 the score + 32768, bits 16-17 the kind (1 lower, 2 upper bound)
class TranspositionTable {
public:
    static constexpr std::size_t kEntryBytes = 16;
    enum Kind : uint64_t { kLower = 1, kUpper = 2 };

    /// A table of the largest power of two of entries that fits in `bytes` (at least one).
    explicit TranspositionTable(std::size_t bytes) {
        std::size_t n = 1;
        while (n * 2 * kEntryBytes <= bytes) n *= 2;
        slots_ = std::make_unique<Slot[]>(n);
        mask_ = n - 1;
    }

    std::size_t entries() const { return mask_ + 1; }
    std::size_t bytes() const { return entries() * kEntryBytes; }

    void clear() {
        for (std::size_t i = 0; i <= mask_; ++i) {
            slots_[i].check.store(0, std::memory_order_relaxed);
            slots_[i].data.store(0, std::memory_order_relaxed);
        }
    }

    /// The bound stored for `key`: kind (0 when none) and score.
    std::pair<unsigned, int> get(uint64_t key) const {
        const Slot &s = slots_[mix64(key) & mask_];
        const uint64_t d = s.data.load(std::memory_order_relaxed);
        const uint64_t c = s.check.load(std::memory_order_relaxed);
        if ((c ^ d) != key) return {0, 0};
        return {static_cast<unsigned>(d >> 16 & 3), static_cast<int>(d & 0xffff) - 32768};
    }

    void put(uint64_t key, Kind kind, int score) {
        Slot &s = slots_[mix64(key) & mask_];
        const uint64_t d = static_cast<uint64_t>(score + 32768) | kind << 16;
        s.data.store(d, std::memory_order_relaxed);
        s.check.store(key ^ d, std::memory_order_relaxed);
    }

private:
    struct Slot {
        std::atomic<uint64_t> check{0};
        std::atomic<uint64_t> data{0};
    };
    static_assert(sizeof(Slot) == kEntryBytes);
    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
};

/// Where a search stops early: after `max_nodes` nodes, at `deadline`, or
/// when `interrupted` (asked every 2^18 nodes, a few tens of milliseconds) says so.
struct SolveBudget {
    uint64_t max_nodes = UINT64_MAX;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    std::function<bool()> interrupted;
};

/// One thread's searcher for one board size over a shared table. Not thread
/// safe itself: each thread makes its own.
template <int NW>
class Solver {
public:
    using BB = Bitboard<NW>;

    /// A position as the search sees it: the mover's pieces, every piece, and
    /// the cell each open column fills next.
    struct Position {
        BB cur, mask, landing;
        unsigned moves = 0;
    };

    Solver(unsigned width, unsigned height, TranspositionTable &table)
        : pb_(PlayBoard<NW>::make(width, height)), table_(table) {
        w_ = width;
        cells_ = width * height;
        // Centre first, then outwards, left before right: 3 2 4 1 5 0 6 on 7 columns.
        for (unsigned c = 0; c < width; ++c) order_[c] = static_cast<uint8_t>(c);
        std::stable_sort(order_.begin(), order_.begin() + width, [width](unsigned a, unsigned b) {
            const auto off = [width](unsigned c) { return std::abs(2 * static_cast<int>(c) - static_cast<int>(width) + 1); };
            return off(a) < off(b);
        });
    }

    /// The search's view of a game; the caller checks it is a reachable,
    /// running position (valid_position).
    static Position position_of(const Game<NW> &g) {
        Position p;
        p.mask = g.board.occupied();
        p.cur = g.turn == Player::Red ? g.board.red : g.board.yellow;
        p.moves = static_cast<unsigned>(p.mask.count_ones());
        const unsigned w = g.width(), h = g.height();
        for (unsigned c = 0; c < w; ++c) {
            const unsigned n = g.board.column_height(c, *g.geometry);
            if (n < h) p.landing.set_bit(n * w + c);
        }
        return p;
    }

    /// Why a game cannot be solved, or nullptr: over, pieces floating above
    /// a gap, piece counts that do not fit the turn, or a four on the board.
    static const char *invalid_reason(const Game<NW> &g) {
        if (g.over) return "the game is over";
        const unsigned w = g.width(), h = g.height();
        const BB occ = g.board.occupied();
        for (unsigned c = 0; c < w; ++c) {
            const unsigned n = g.board.column_height(c, *g.geometry);
            for (unsigned r = 0; r < n; ++r)
                if (!occ.get_bit(r * w + c)) return "the board has a piece above an empty cell";
        }
        const int red = g.board.red.count_ones(), yellow = g.board.yellow.count_ones();
        if (red - yellow != (g.turn == Player::Red ? 0 : 1))
            return "the piece counts do not fit the player to move";
        if (has_four(g.board.red, *g.geometry) || has_four(g.board.yellow, *g.geometry))
            return "the board already holds four in a row";
        if (occ.count_ones() == static_cast<int>(w * h)) return "the board is full";
        return nullptr;
    }

    /// The exact score of a running position, or only its sign (1, 0, -1) when
    /// `weak`; none when the budget ran out first (nodes() says how far it got).
    std::optional<int> solve(const Position &p, bool weak, const SolveBudget &budget = {}) {
        start(budget);
        const int r = solve_inner(p, weak);
        if (stopped_) return std::nullopt;
        return r;
    }

    /// The score of playing each column (kFullColumnScore for a full one);
    /// false when the budget ran out.
    bool move_scores(const Position &p, int *out, const SolveBudget &budget = {}) {
        start(budget);
        for (unsigned c = 0; c < w_; ++c) {
            const BB mv = p.landing & pb_.g.column_masks[c];
            if (mv.empty()) {
                out[c] = kFullColumnScore;
                continue;
            }
            if (!(pb_.winning_cells(p.cur) & mv).empty()) {
                out[c] = win_score(p.moves);
                continue;
            }
            const Position child = play(p, mv);
            if (child.moves == cells_) {
                out[c] = 0;
                continue;
            }
            out[c] = -solve_inner(child, false);
            if (stopped_) return false;
        }
        return true;
    }

    /// Nodes searched since the last solve or move_scores call began.
    uint64_t nodes() const { return nodes_; }

    /// The table key of a position: exact (the mover's pieces with each open
    /// column's landing cell, and one bit per full column above the board)
    /// where that fits 64 bits, as on 7 x 6; else a 64-bit hash of both sets.
    uint64_t key(const Position &p) const {
        if constexpr (NW == 1) {
            if (cells_ + w_ <= 64) {
                const uint64_t full = p.mask.extract(cells_ - w_, w_);
                return (p.cur | p.landing).w[0] | full << cells_;
            }
        }
        uint64_t h = 0x243f6a8885a308d3u;
        for (int i = 0; i < NW; ++i) h = mix64(h ^ p.cur.w[i]) + mix64(p.mask.w[i] + GameRng::kGamma * (i + 1));
        return h;
    }

private:
    PlayBoard<NW> pb_;
    TranspositionTable &table_;
    unsigned w_ = 0, cells_ = 0;
    std::array<uint8_t, kMaxColumns> order_{};
    uint64_t nodes_ = 0;
    bool stopped_ = false;
    SolveBudget budget_;

    void start(const SolveBudget &budget) {
        budget_ = budget;
        nodes_ = 0;
        stopped_ = false;
    }

    int win_score(unsigned moves) const { return static_cast<int>(cells_ + 1 - moves) / 2; }

    Position play(const Position &p, const BB &mv) const {
        Position c;
        c.cur = p.mask.and_not(p.cur);
        c.mask = p.mask | mv;
        c.landing = (p.landing.and_not(mv)) | (mv.shift_left(w_) & pb_.all);
        c.moves = p.moves + 1;
        return c;
    }

    int solve_inner(const Position &p, bool weak) {
        if (!(pb_.winning_cells(p.cur) & p.landing).empty()) {
            const int s = win_score(p.moves);
            return weak ? 1 : s;
        }
        int lo = -static_cast<int>(cells_ - p.moves) / 2, hi = win_score(p.moves);
        if (weak) {
            lo = std::max(lo, -1);
            hi = std::min(hi, 1);
        }
        // Each null-window search halves the range; guesses lean towards 0,
        // where the cheap searches are.
        while (lo < hi) {
            int med = lo + (hi - lo) / 2;
            if (med <= 0 && lo / 2 < med) med = lo / 2;
            else if (med >= 0 && hi / 2 > med) med = hi / 2;
            const int r = negamax(p, med, med + 1);
            if (stopped_) return 0;
            if (r <= med) hi = r;
            else lo = r;
        }
        return weak ? std::clamp(lo, -1, 1) : lo;
    }

    /// The clock is read once every 1024 nodes.
    bool out_of_budget() {
        if (nodes_ > budget_.max_nodes) return true;
        if ((nodes_ & 1023) != 0) return false;
        if (budget_.deadline && std::chrono::steady_clock::now() >= *budget_.deadline) return true;
        return (nodes_ & ((1u << 18) - 1)) == 0 && budget_.interrupted && budget_.interrupted();
    }

    /// The score within [alpha, beta] of a running position whose mover has no
    /// winning drop: a value <= alpha is an upper bound, >= beta a lower bound.
    int negamax(const Position &p, int alpha, int beta) {
        ++nodes_;
        if (out_of_budget()) [[unlikely]]
            stopped_ = true;
        if (stopped_) return 0;

        const BB opp_win = pb_.winning_cells(p.mask.and_not(p.cur)).and_not(p.mask);
        BB possible = p.landing;
        const BB forced = possible & opp_win;
        const int lose_now = -static_cast<int>(cells_ - p.moves) / 2;
        if (!forced.empty()) {
            // Two threats at once: one is blocked, the other wins.
            if (forced.count_ones() > 1) return lose_now;
            possible = forced;
        }
        // A drop under the opponent's winning cell hands it over.
        possible = possible.and_not(shift_down(opp_win, w_));
        if (possible.empty()) return lose_now;
        // Two cells left, neither a win for anyone: the board fills in a draw.
        if (p.moves + 2 >= cells_) return 0;

        const int lowest = -static_cast<int>(cells_ - 2 - p.moves) / 2;
        if (alpha < lowest) {
            alpha = lowest;
            if (alpha >= beta) return alpha;
        }
        int highest = static_cast<int>(cells_ - 1 - p.moves) / 2;
        const uint64_t k = key(p);
        const auto [kind, bound] = table_.get(k);
        if (kind == TranspositionTable::kUpper) highest = std::min(highest, bound);
        if (beta > highest) {
            beta = highest;
            if (alpha >= beta) return beta;
        }
        if (kind == TranspositionTable::kLower && alpha < bound) {
            alpha = bound;
            if (alpha >= beta) return alpha;
        }

        // Moves ordered by the winning cells they leave the mover, centre first among equals.
        std::array<BB, kMaxColumns> moves;
        std::array<int, kMaxColumns> order_score;
        unsigned n = 0;
        for (unsigned i = 0; i < w_; ++i) {
            const BB mv = possible & pb_.g.column_masks[order_[i]];
            if (mv.empty()) continue;
            const BB mine = p.cur | mv;
            const int s = (pb_.winning_cells(mine).and_not(p.mask | mv)).count_ones();
            unsigned j = n++;
            for (; j > 0 && order_score[j - 1] < s; --j) {
                moves[j] = moves[j - 1];
                order_score[j] = order_score[j - 1];
            }
            moves[j] = mv;
            order_score[j] = s;
        }

        for (unsigned i = 0; i < n; ++i) {
            const int s = -negamax(play(p, moves[i]), -beta, -alpha);
            if (stopped_) return 0;  // nothing half-searched reaches the table
            if (s >= beta) {
                table_.put(k, TranspositionTable::kLower, s);
                return s;
            }
            if (s > alpha) alpha = s;
        }
        table_.put(k, TranspositionTable::kUpper, alpha);
        return alpha;
    }
};

}  // namespace gravline
