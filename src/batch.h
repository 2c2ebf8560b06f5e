// Batch<NW>: many games of one size in structure-of-arrays form, stepped,
// observed and hashed together, and the plane writer they share with a Game.
//
// Per game, for a 7 x 6 board (NW = 1, 42 cells):
//
//   red_[i], yellow_[i]   8 + 8 bytes   the two colours' pieces
//   history_[i * cap ..]  42 bytes      cell index (row * width + col) of each move
//   moves_[i]             4 bytes       how many moves the history holds
//   status_[i]            1 byte        outcome code in bits 0-1, Yellow to move in bit 2
//
// 63 bytes in all. The history has room for `cap` moves per game: every cell of
// the board, or more for a game copied in whose edited board let it grow past that.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

#include <unistd.h>

#include "hash.h"
#include "planes.h"

namespace gravline {

// ---- legal masks ----

/// Entry b holds byte j = bit j of b, e.g. 0b101 gives bytes 1, 0, 1, 0, ...
/// (in memory order, whatever the machine's byte order).
inline constexpr auto kSpreadBits = [] {
    std::array<std::array<uint8_t, 8>, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j) t[b][j] = (b >> j) & 1;
    return t;
}();

// ---- threads ----

/// Worker threads that help the calling thread through a range of games. The
/// range is handed out in chunks from a shared counter, so the calling thread
/// never waits for a worker that has not started: it takes whatever chunks are
/// left itself and then waits only for chunks already being worked on. Each
/// game is worked on once, by whichever thread claims it, so results do not
/// depend on the thread count.
///
///   WorkerPool pool(1);   // one worker beside the calling thread
///   pool.run(n, 256, [&](std::size_t lo, std::size_t hi) { ... });
class WorkerPool {
public:
    /// Starts `workers` threads, or as many as the system gives.
    explicit WorkerPool(unsigned workers) : owner_(getpid()), core_(std::make_unique<Core>()) {
        core_->threads.reserve(workers);
        for (unsigned k = 0; k < workers; ++k) {
            try {
                core_->threads.emplace_back([core = core_.get()] { core->work(); });
            } catch (const std::system_error &) {
                break;  // fewer helpers; the calling thread does the rest
            }
        }
    }
    ~WorkerPool() {
        // A forked child has none of the threads, and its copies of the lock
        // and condition variables still count the parent's waiters: it
        // touches none of them, and lets the whole state go.
        if (getpid() != owner_) {
            (void)core_.release();
            return;
        }
        {
            std::lock_guard lock(core_->mu);
            core_->stop = true;
        }
        core_->wake.notify_all();
        for (std::thread &t : core_->threads) t.join();
    }
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    unsigned workers() const { return static_cast<unsigned>(core_->threads.size()); }

    /// Calls f(lo, hi) on chunks of at most `chunk` items covering [0, n) once
    /// each, on the calling thread and any workers that are free; returns when
    /// all are done, rethrowing the first exception of any chunk. A call made
    /// while another is running, or in a forked child, does its work alone on
    /// its own thread.
    template <class F>
    void run(std::size_t n, std::size_t chunk, F &&f) {
        chunk = std::max<std::size_t>(chunk, 1);
        const auto alone = [&] {
            for (std::size_t lo = 0; lo < n; lo += chunk) f(lo, std::min(n, lo + chunk));
        };
        if (core_->threads.empty() || n <= chunk || getpid() != owner_) return alone();
        std::unique_lock busy(core_->run_mu, std::try_to_lock);
        if (!busy) return alone();
        using Fn = std::remove_reference_t<F>;
        Core &c = *core_;
        {
            std::lock_guard lock(c.mu);
            c.call = [](void *ctx, std::size_t lo, std::size_t hi) { (*static_cast<Fn *>(ctx))(lo, hi); };
            c.ctx = &f;
            c.n = n;
            c.chunk = chunk;
            c.next.store(0, std::memory_order_relaxed);
            c.failure = nullptr;
            c.open = true;
            ++c.generation;
        }
        c.wake.notify_all();
        c.claim();
        std::unique_lock lock(c.mu);
        // No worker joins from here on; those that did finish their chunks.
        c.open = false;
        c.done.wait(lock, [&c] { return c.active == 0; });
        if (c.failure) std::rethrow_exception(std::exchange(c.failure, nullptr));
    }

private:
    struct Core {
        /// Works on chunks until none are left.
        void claim() {
            for (;;) {
                const std::size_t lo = next.fetch_add(chunk, std::memory_order_relaxed);
                if (lo >= n) return;
                try {
                    call(ctx, lo, std::min(n, lo + chunk));
                } catch (...) {
                    std::lock_guard lock(mu);
                    if (!failure) failure = std::current_exception();
                }
            }
        }

        void work() {
            uint64_t seen = 0;
            std::unique_lock lock(mu);
            for (;;) {
                wake.wait(lock, [&] { return stop || (open && generation != seen); });
                if (stop) return;
                seen = generation;
                ++active;
                lock.unlock();
                claim();
                lock.lock();
                if (--active == 0) done.notify_one();
            }
        }

        std::mutex run_mu;  // one run at a time
        std::mutex mu;      // guards everything below but next
        std::condition_variable wake, done;
        // The current run: read by a worker only between joining it (active
        // counted, under mu) and leaving it, while the caller waits for it.
        void (*call)(void *, std::size_t, std::size_t) = nullptr;
        void *ctx = nullptr;
        std::size_t n = 0, chunk = 1;
        std::atomic<std::size_t> next{0};
        std::exception_ptr failure;
        bool open = false, stop = false;
        uint64_t generation = 0;
        unsigned active = 0;
        std::vector<std::thread> threads;
    };

    const pid_t owner_;  // the process whose threads these are
    std::unique_ptr<Core> core_;
};

// ---- the batch ----

/// The status byte of a game in a batch.
namespace batch_status {
inline constexpr uint8_t kRunning = 0;  // bits 0-1: 0, or 1 + the GameOutcome value
inline constexpr uint8_t kOutcomeBits = 3;
inline constexpr uint8_t kYellowToMove = 4;
}  // namespace batch_status

template <int NW, template <class> class Alloc = std::allocator>
class Batch {
public:
    static constexpr int kWords = NW;
    /// A cell index: four words hold at most 256 cells, so one byte does there.
    using Cell = std::conditional_t<NW <= 4, uint8_t, uint16_t>;
    template <class T>
    using Vec = std::vector<T, Alloc<T>>;

    /// `count` new games, Red to move in each, with room for `capacity` moves
    /// per game (at least one per cell); fails for a size outside 4..32 or of
    /// another word count.
    static Batch make(std::size_t count, unsigned width, unsigned height, std::size_t capacity = 0) {
        Batch b;
        b.geometry_ = BoardGeometry<NW>::make(width, height);
        b.count_ = count;
        b.capacity_ = std::max<std::size_t>(capacity, std::size_t{width} * height);
        b.red_.resize(count);
        b.yellow_.resize(count);
        b.history_.resize(count * b.capacity_);
        b.moves_.resize(count);
        b.status_.resize(count);
        return b;
    }

    /// Room a game needs in a batch: its history and a move per empty cell,
    /// since every later move fills one.
    static std::size_t capacity_for(const Game<NW> &g) {
        const std::size_t cells = std::size_t{g.width()} * g.height();
        return g.history.size() + cells - std::min<std::size_t>(cells, g.board.occupied().count_ones());
    }

    std::size_t count() const { return count_; }
    unsigned width() const { return geometry_.width; }
    unsigned height() const { return geometry_.height; }
    unsigned cells() const { return unsigned{geometry_.width} * geometry_.height; }
    std::size_t capacity() const { return capacity_; }

    Player turn(std::size_t i) const {
        return status_[i] & batch_status::kYellowToMove ? Player::Yellow : Player::Red;
    }
    bool over(std::size_t i) const { return (status_[i] & batch_status::kOutcomeBits) != 0; }
    std::optional<GameOutcome> outcome(std::size_t i) const {
        const unsigned code = status_[i] & batch_status::kOutcomeBits;
        if (code == 0) return std::nullopt;
        return static_cast<GameOutcome>(code - 1);
    }
    uint32_t moves(std::size_t i) const { return moves_[i]; }
    const Bitboard<NW> &red(std::size_t i) const { return red_[i]; }
    const Bitboard<NW> &yellow(std::size_t i) const { return yellow_[i]; }

    /// Bit c set for each column c whose top cell is empty; none once the game is over.
    uint32_t legal_columns(std::size_t i) const {
        if (over(i)) return 0;
        const unsigned w = geometry_.width;
        const Bitboard<NW> occupied = red_[i] | yellow_[i];
        return ~occupied.extract((geometry_.height - 1u) * w, w) & ((uint64_t{1} << w) - 1);
    }

    /// True when game i may play column `col`: a legal column, and room in its history.
    bool is_legal(std::size_t i, uint64_t col) const {
        return col < geometry_.width && (legal_columns(i) >> col & 1) && moves_[i] < capacity_;
    }

    /// Plays column `col` in game i, which must be legal there, as
    /// Game::make_move plays it; answers true when the move won the game.
    bool play(std::size_t i, unsigned col) {
        const Bitboard<NW> occupied = red_[i] | yellow_[i];
        // A board edited below its pieces lands the piece in the lowest gap.
        const unsigned k = geometry_.column_masks[col].and_not(occupied).lowest_set_bit();
        // The mover is looked up, not branched on: the games of a batch are at
        // any ply, so a branch on the turn would be guessed wrong half the time.
        const unsigned yellow_moves = (status_[i] & batch_status::kYellowToMove) != 0;
        Bitboard<NW> *const sides[2] = {&red_[i], &yellow_[i]};
        Bitboard<NW> &mine = *sides[yellow_moves];
        mine.set_bit(k);
        history_[i * capacity_ + moves_[i]++] = static_cast<Cell>(k);
        static constexpr uint8_t kWon[2] = {1 + static_cast<uint8_t>(GameOutcome::RedWin),
                                            1 + static_cast<uint8_t>(GameOutcome::YellowWin)};
        constexpr uint8_t kDrawn = 1 + static_cast<uint8_t>(GameOutcome::Draw);
        const bool won = has_four(mine, geometry_);
        const bool full = geometry_.top_row.and_not(occupied | mine).empty();
        // The turn passes; a win counts before a full board.
        const uint8_t turn = yellow_moves ? 0 : batch_status::kYellowToMove;
        status_[i] = static_cast<uint8_t>(turn | (won ? kWon[yellow_moves] : full ? kDrawn : 0));
        return won;
    }

    /// Game i starts again: an empty board, Red to move.
    void reset(std::size_t i) {
        red_[i] = {};
        yellow_[i] = {};
        moves_[i] = 0;
        status_[i] = batch_status::kRunning;
    }

    /// Plays cols[i] in each game i of [begin, end) where it is not -1: every
    /// such move must be legal. rewards[i] becomes 1.0 where the move won,
    /// else 0.0; done[i] 1 where the game is over afterwards, else 0.
    void step(std::size_t begin, std::size_t end, const int8_t *cols, float *rewards, uint8_t *done) {
        for (std::size_t i = begin; i < end; ++i) {
            const bool won = cols[i] >= 0 && play(i, static_cast<unsigned>(cols[i]));
            rewards[i] = won ? 1.0f : 0.0f;
            done[i] = over(i);
        }
    }

    /// The 17 planes of game i into `out` (17 x height x width floats).
    void write_planes(std::size_t i, float *out) const {
        const Cell *h = &history_[i * capacity_];
        const std::size_t moves = moves_[i];
        gravline::write_planes(out, red_[i], yellow_[i], turn(i) == Player::Red, cells(), moves,
                               [h, moves](std::size_t t) -> std::size_t { return h[moves - t]; });
    }

    /// The planes of games [begin, end), game i's at out + i * 17 * cells.
    void observe(std::size_t begin, std::size_t end, float *out) const {
        const std::size_t per_game = std::size_t{kSpatialInputPlanes} * cells();
        for (std::size_t i = begin; i < end; ++i) write_planes(i, out + i * per_game);
    }

    /// Legal columns of games [begin, end) as bytes 0 or 1, game i's width
    /// bytes at out + i * width.
    void legal_mask(std::size_t begin, std::size_t end, uint8_t *out) const {
        const unsigned w = geometry_.width;
        for (std::size_t i = begin; i < end; ++i) {
            const uint32_t cols = legal_columns(i);
            uint8_t *row = out + i * w;
            // Eight columns at a time, each bit spread to a byte. A part row
            // spills into the next row, which is written after it; only the
            // last row of the range, whose next one may be another thread's,
            // ends byte by byte.
            const bool spill = i + 1 < end;
            unsigned c = 0;
            for (; c + 8 <= w || (spill && c < w); c += 8)
                std::memcpy(row + c, kSpreadBits[(cols >> c) & 0xff].data(), 8);
            for (; c < w; ++c) row[c] = cols >> c & 1;
        }
    }

    /// Game i's hash with the fields of `upto`, equal to the same game's as a Game.
    uint64_t hash(std::size_t i, HashFields upto) const {
        Board<NW> board;
        board.red = red_[i];
        board.yellow = yellow_[i];
        board.width = geometry_.width;
        board.height = geometry_.height;
        const Cell *h = &history_[i * capacity_];
        const unsigned w = geometry_.width;
        return hash_message(board, turn(i), over(i), outcome(i), moves_[i],
                            [h, w](std::size_t j) {
                                return Move{static_cast<uint8_t>(h[j] % w), static_cast<uint8_t>(h[j] / w)};
                            },
                            upto)
            .finish();
    }

    /// Game i as a Game, with its whole history.
    Game<NW> game(std::size_t i) const {
        Game<NW> g = Game<NW>::make(geometry_.width, geometry_.height);
        g.board.red = red_[i];
        g.board.yellow = yellow_[i];
        g.turn = turn(i);
        g.over = over(i);
        g.outcome = outcome(i);
        const Cell *h = &history_[i * capacity_];
        const unsigned w = geometry_.width;
        for (uint32_t j = 0; j < moves_[i]; ++j)
            g.history.push_back(Move{static_cast<uint8_t>(h[j] % w), static_cast<uint8_t>(h[j] / w)});
        return g;
    }

    /// Game i becomes a copy of `g`, which has this batch's size and fits its
    /// history capacity (capacity_for).
    void assign(std::size_t i, const Game<NW> &g) {
        if (g.width() != geometry_.width || g.height() != geometry_.height)
            fatal("a game of another size cannot join the batch");
        if (capacity_for(g) > capacity_) fatal("a game's history does not fit the batch");
        red_[i] = g.board.red;
        yellow_[i] = g.board.yellow;
        const unsigned w = geometry_.width, h = geometry_.height;
        Cell *out = &history_[i * capacity_];
        std::size_t n = 0;
        for (const Move m : g.history) {
            if (m.col >= w || m.row >= h) fatal("a recorded move lies off the board");
            out[n++] = static_cast<Cell>(m.row * w + m.col);
        }
        moves_[i] = static_cast<uint32_t>(n);
        uint8_t status = g.turn == Player::Yellow ? batch_status::kYellowToMove : 0;
        // Over and outcome go together in a Game; the outcome is what is kept.
        if (g.over && g.outcome) status |= 1 + static_cast<uint8_t>(*g.outcome);
        status_[i] = status;
    }

private:
    BoardGeometry<NW> geometry_;
    std::size_t count_ = 0;
    std::size_t capacity_ = 0;
    Vec<Bitboard<NW>> red_;
    Vec<Bitboard<NW>> yellow_;
    Vec<Cell> history_;
    Vec<uint32_t> moves_;
    Vec<uint8_t> status_;
};

}  // namespace gravline
