// The self-play generator: whole games played in C++ by a random or tactical
// policy, each from its own seed, written as Records, on one or more threads.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "records.h"

namespace gravline {

/// How a move is chosen, always uniformly over a set of columns.
enum class Policy : uint8_t {
    /// Every legal column.
    Random,
    /// The winning drops if there are any, else the columns where the opponent
    /// would win at once (blocks), else every legal column.
    Tactical,
};

/// SplitMix64's output function: a bijection of 64-bit words that mixes every
/// input bit into every output bit.
constexpr uint64_t mix64(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

/// The random numbers of one game: a SplitMix64 stream whose start depends on
/// the run's seed and the game's index alone, so a game plays the same in any
/// run, on any thread, whatever games come before it.
struct GameRng {
    static constexpr uint64_t kGamma = 0x9e3779b97f4a7c15u;
    uint64_t state;

    static constexpr GameRng for_game(uint64_t seed, uint64_t index) {
        return GameRng{mix64(mix64(seed) ^ mix64(index + kGamma))};
    }

    constexpr uint64_t next() { return mix64(state += kGamma); }

    /// Uniform in 0 .. k - 1 for 1 <= k <= 32 (Lemire's multiply and reject,
    /// so no value is favoured).
    constexpr unsigned below(unsigned k) {
        uint64_t m = (next() >> 32) * k;
        if (static_cast<uint32_t>(m) < k) {
            const uint32_t floor = static_cast<uint32_t>(-k) % k;
            while (static_cast<uint32_t>(m) < floor) m = (next() >> 32) * k;
        }
        return static_cast<unsigned>(m >> 32);
    }
};

/// The index of the n-th set bit of `bits` (n counted from 0), e.g. 2 for n = 1 in 0b101.
constexpr unsigned nth_set_bit(uint32_t bits, unsigned n) {
    for (; n > 0; --n) bits &= bits - 1;
    return static_cast<unsigned>(std::countr_zero(bits));
}

/// Bits moved towards lower indices by 0 < r < 64: bit k - r holds old bit k.
template <int NW>
constexpr Bitboard<NW> shift_down(const Bitboard<NW> &b, unsigned r) {
    Bitboard<NW> out;
    for (int i = 0; i + 1 < NW; ++i) out.w[i] = (b.w[i] >> r) | (b.w[i + 1] << (64 - r));
    out.w[NW - 1] = b.w[NW - 1] >> r;
    return out;
}

/// The masks of one board size that the generator needs, built once per run
/// and shared by every thread.
template <int NW>
struct PlayBoard {
    BoardGeometry<NW> g;
    Bitboard<NW> all;
    Bitboard<NW> bottom_row;
    unsigned width = 0, height = 0, cells = 0;

    static PlayBoard make(unsigned width, unsigned height) {
        PlayBoard p;
        p.g = BoardGeometry<NW>::make(width, height);
        p.all = Bitboard<NW>::first_bits(width * height);
        p.bottom_row = Bitboard<NW>::first_bits(width);
        p.width = width;
        p.height = height;
        p.cells = width * height;
        return p;
    }

    /// The cells that would complete a four of `u` if a piece of its colour
    /// were put there, among the cells with no piece above them (every empty
    /// cell of a board that a game reaches). For each direction with stride
    /// d, a cell k completes a four when three of k - 3d .. k + 3d around it,
    /// in a run of four with k, are in u. `up` moves bits by +d and `down` by
    /// -d, each followed by its guard, which drops the bits that crossed the
    /// left or right edge into another row.
    Bitboard<NW> winning_cells(const Bitboard<NW> &u) const {
        Bitboard<NW> win;
        const auto line = [&](unsigned d, const Bitboard<NW> &up_guard, const Bitboard<NW> &down_guard) {
            const Bitboard<NW> u1 = u.shift_within_word(d) & up_guard;
            const Bitboard<NW> u2 = u1.shift_within_word(d) & up_guard;
            const Bitboard<NW> d1 = shift_down(u, d) & down_guard;
            const Bitboard<NW> d2 = shift_down(d1, d) & down_guard;
            const Bitboard<NW> u3 = u2.shift_within_word(d) & up_guard;
            const Bitboard<NW> d3 = shift_down(d2, d) & down_guard;
            win = win | (u1 & u2 & (u3 | d1)) | (d1 & d2 & (d3 | u1));
        };
        // Sideways and the rising diagonal move a bit one column right going
        // up, so its wrap lands in column 0; the falling diagonal the other way.
        line(1, g.not_first_column, g.not_last_column);
        line(width + 1, g.not_first_column, g.not_last_column);
        line(width - 1, g.not_last_column, g.not_first_column);
        // Upwards nothing wraps, but bits leave the top of the board.
        const Bitboard<NW> v1 = u.shift_within_word(width) & all;
        const Bitboard<NW> v2 = v1.shift_within_word(width);
        const Bitboard<NW> v3 = v2.shift_within_word(width);
        return (win | (v1 & v2 & v3)) & all;
    }

    /// The columns of a set of cells, e.g. {0, 8} on 7 x 6 gives columns {0, 1}.
    uint32_t columns_of(const Bitboard<NW> &cells_set) const {
        uint32_t cols = 0;
        cells_set.for_each_bit([&](unsigned k) { cols |= uint32_t{1} << (k % width); });
        return cols;
    }
};

/// Plays game `index` of a run to its end and appends one record per position
/// before a move to `out`.
template <int NW>
void play_game(const PlayBoard<NW> &pb, Policy policy, uint64_t seed, uint64_t index, Records &out) {
    GameRng rng = GameRng::for_game(seed, index);
    const unsigned w = pb.width;
    std::array<Bitboard<NW>, 2> pieces{};  // Red's, Yellow's
    Bitboard<NW> landing = pb.bottom_row;  // the cell each open column fills next
    // The cells that would complete a four of each side's pieces: a side's
    // set changes only when it moves, so each move computes one set.
    std::array<Bitboard<NW>, 2> threats{};
    std::array<uint8_t, kMaxColumns> heights{};
    // The last eight moves, the most recent in the low byte: a record's
    // last_moves in one store. Slots before the start of the game hold kNoMove.
    uint64_t recent = ~uint64_t{0};
    static_assert(kRecordMoves == 8 && kNoMove == 0xff);
    uint32_t open = static_cast<uint32_t>((uint64_t{1} << w) - 1);
    // Room for the longest game at once, cut to the game's length at the end:
    // one resize a game instead of one a position.
    const std::size_t first = out.size();
    out.resize_for_overwrite(first + pb.cells);
    std::size_t end = first;
    int8_t winner = 0;
    for (unsigned ply = 0;; ++ply) {
        const int me = ply & 1;
        const Bitboard<NW> wins = threats[me] & landing;
        uint32_t choice = open;
        if (policy == Policy::Tactical) {
            if (!wins.empty()) {
                choice = pb.columns_of(wins);
            } else {
                const Bitboard<NW> blocks = threats[1 - me] & landing;
                if (!blocks.empty()) choice = pb.columns_of(blocks);
            }
        }
        const unsigned col = nth_set_bit(choice, rng.below(std::popcount(choice)));

        const std::size_t i = end++;
        std::memcpy(out.red.data() + i * NW, pieces[0].w.data(), sizeof pieces[0].w);
        std::memcpy(out.yellow.data() + i * NW, pieces[1].w.data(), sizeof pieces[1].w);
        const uint64_t last_moves = std::endian::native == std::endian::little ? recent : __builtin_bswap64(recent);
        std::memcpy(out.last_moves.data() + i * kRecordMoves, &last_moves, kRecordMoves);
        out.turn[i] = me == 0 ? 1 : -1;
        out.policy[i] = choice;
        out.game[i] = static_cast<uint32_t>(index);
        out.ply[i] = static_cast<uint16_t>(ply);
        out.action[i] = static_cast<uint8_t>(col);

        const unsigned k = heights[col] * w + col;
        Bitboard<NW> cell;
        cell.set_bit(k);
        pieces[me] = pieces[me] | cell;
        landing = landing.and_not(cell);
        if (++heights[col] < pb.height) landing.set_bit(k + w);
        else open &= ~(uint32_t{1} << col);
        recent = recent << 8 | col;
        if (!(wins & cell).empty()) {
            winner = me == 0 ? 1 : -1;
            break;
        }
        if (ply + 1 == pb.cells) break;
        threats[me] = pb.winning_cells(pieces[me]);
    }
    out.resize(end);
    for (std::size_t i = first; i < end; ++i) {
        out.value[i] = static_cast<int8_t>(winner * out.turn[i]);
        const bool last = i + 1 == end;
        out.opponent_policy[i] = last ? 0 : out.policy[i + 1];
        out.opponent_mask[i] = last ? 0 : 1;
    }
}

/// What a run plays: `games` games numbered first_game .. first_game + games - 1.
struct SelfPlayConfig {
    unsigned width = 7, height = 6;
    Policy policy = Policy::Tactical;
    uint64_t seed = 0;
    uint64_t first_game = 0;
    uint64_t games = 0;
    unsigned threads = 1;
};

/// Games per unit of work: about the same work for every size, well under a
/// millisecond, so that threads finish together and a run answers an interrupt.
inline uint64_t chunk_games(unsigned width, unsigned height) {
    return std::max<uint64_t>(1, 16384 / (uint64_t{width} * height));
}

/// How often a run reports between chunks, at most.
inline constexpr std::chrono::milliseconds kReportInterval{10};

/// The fields of a set of records as address ranges: where each starts and
/// its bytes per record.
struct RecordsRoom {
    std::array<std::pair<char *, std::size_t>, 13> fields{};
    int count = 0;

    static RecordsRoom of(Records &r) {
        RecordsRoom room;
        Records::for_each_field(
            [&](std::size_t per_record, auto &v) {
                room.fields[room.count++] = {reinterpret_cast<char *>(v.data()), per_record * sizeof(v[0])};
            },
            r);
        return room;
    }
};

/// Asks the kernel to make records [from, to) of `room` resident now, so that
/// the thread that writes them later takes no page faults (Linux). Only a hint:
/// nothing is written, and a range that was freed meanwhile merely fails.
inline void prefault(const RecordsRoom &room, std::size_t from, std::size_t to) {
#ifdef MADV_POPULATE_WRITE
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    for (int f = 0; f < room.count; ++f) {
        const auto [base, per_record] = room.fields[f];
        const uintptr_t lo = (reinterpret_cast<uintptr_t>(base) + from * per_record) & ~(page - 1);
        const uintptr_t hi = reinterpret_cast<uintptr_t>(base) + to * per_record;
        if (hi > lo) (void)madvise(reinterpret_cast<void *>(lo), hi - lo, MADV_POPULATE_WRITE);
    }
#else
    (void)room, (void)from, (void)to;
#endif
}

/// Thrown by run_self_play in a child process forked (by `between`) while
/// the run had worker threads: the child has none of them, and the chunks and
/// the lock they held are lost with them, so the run cannot go on there.
struct ForkedRun : std::runtime_error {
    ForkedRun() : std::runtime_error("the process was forked during a run with worker threads") {}
};

/// What the threads of a run share, the result included. On the heap, so that
/// a forked child can leave it untouched (ForkedRun): there its lock may be
/// held, its condition variable waited on and the result half appended by
/// threads that do not exist, and releasing any of it could wait forever.
struct SelfPlayShared {
    std::mutex lock;
    std::condition_variable changed;
    // Chunk k waits in slot k % ahead until it is appended.
    std::vector<Records> parts;
    std::vector<char> ready;
    // Emptied chunk buffers, handed back for reuse: a run allocates a few
    // buffers instead of one per chunk.
    std::vector<Records> spare;
    // next: the first chunk not handed out; collected: the first not in `out`.
    // Only the thread that set `appending` touches `out`.
    std::size_t next = 0, collected = 0;
    bool appending = false, stop = false;
    std::exception_ptr failure;
    // The result's room that workers make resident before playing: records
    // fault_from .. fault_to - 1 of `room`.
    RecordsRoom room;
    std::size_t fault_from = 0, fault_to = 0;
    Records out;
    std::vector<std::jthread> workers;
};

/// Owns a run's shared state: on leaving, stops and joins the workers and
/// frees it, except in a child forked while there were workers, where it is
/// left as it is.
class SelfPlayRun {
    SelfPlayShared *s_ = new SelfPlayShared;
    const pid_t owner_ = getpid();

public:
    SelfPlayRun() = default;
    SelfPlayRun(const SelfPlayRun &) = delete;
    SelfPlayRun &operator=(const SelfPlayRun &) = delete;
    ~SelfPlayRun() {
        if (abandoned()) return;
        join();
        delete s_;
    }
    /// Stops the workers and waits for them (nothing in a forked child).
    void join() {
        if (abandoned()) return;
        {
            std::lock_guard held(s_->lock);
            s_->stop = true;
        }
        s_->changed.notify_all();
        s_->workers.clear();
    }
    SelfPlayShared &operator*() const { return *s_; }
    /// Whether this is a child process forked since the workers started,
    /// which has none of them.
    bool abandoned() const { return !s_->workers.empty() && getpid() != owner_; }
};

/// Plays a run into `out` (replaced), games in index order, on `threads`
/// threads: the calling thread and threads - 1 workers. Chunks of games are
/// handed out in order and played into buffers; whichever thread finds the
/// next chunk due in `out` finished appends it, and every one after it that is
/// finished too, so the copying (and the first touch of the result's memory)
/// is shared like the games; once the first chunk sizes the result, workers
/// first make its memory resident, piece by piece, ahead of the appending
/// thread. A chunk whose turn has come when it is handed out
/// is played straight into `out` (always so on one thread). After a chunk, at
/// most every kReportInterval and after the last, `between(games done)` runs
/// on the calling thread; a false answer stops the run, which then returns
/// false with `out` holding the games appended so far, whole chunks in order.
/// The records are the same for any number of threads.
template <int NW>
bool run_self_play(const SelfPlayConfig &c, Records &result, const std::function<bool(uint64_t)> &between) {
    const PlayBoard<NW> pb = PlayBoard<NW>::make(c.width, c.height);
    result = Records::make(c.width, c.height);
    if (c.games == 0) return !between || between(0);
    const uint64_t chunk = chunk_games(c.width, c.height);
    const std::size_t chunks = static_cast<std::size_t>((c.games + chunk - 1) / chunk);
    const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(std::max(1u, c.threads), chunks));
    // No chunk is handed out this many chunks or more past the first one not
    // yet in `out`, which bounds the chunks waiting to be appended.
    const std::size_t ahead = 4 * std::size_t{threads};
    const auto play_chunk = [&](std::size_t k, Records &into) {
        const uint64_t start = k * chunk, count = std::min(chunk, c.games - start);
        for (uint64_t gi = 0; gi < count; ++gi) play_game(pb, c.policy, c.seed, c.first_game + start + gi, into);
    };

    SelfPlayRun run;
    SelfPlayShared &shared = *run;
    std::mutex &lock = shared.lock;
    std::condition_variable &changed = shared.changed;
    std::vector<Records> &parts = shared.parts, &spare = shared.spare;
    std::vector<char> &ready = shared.ready;
    std::size_t &next = shared.next, &collected = shared.collected;
    bool &appending = shared.appending, &stop = shared.stop;
    std::exception_ptr &failure = shared.failure;
    RecordsRoom &room = shared.room;
    std::size_t &fault_from = shared.fault_from, &fault_to = shared.fault_to;
    Records &out = shared.out;
    out = Records::make(c.width, c.height);
    parts.resize(ahead);
    ready.assign(ahead, 0);
    const std::size_t fault_piece = std::max<std::size_t>(1, (std::size_t{2} << 20) / Records::bytes_per_record(NW));

    // Called with `lock` held: a chunk buffer, reused if one is spare.
    const auto take_buffer = [&] {
        Records part;
        if (!spare.empty()) {
            part = std::move(spare.back());
            spare.pop_back();
        }
        return part;
    };
    // A buffer made ready with room for a chunk of long games.
    const auto prepare = [&](Records &part) {
        if (part.width == 0) part = Records::make(c.width, c.height);
        part.reserve(chunk * std::min(pb.cells, 64u));
    };
    // After chunk `collected` is in `out`, with `appending` set.
    const auto appended = [&] {
        // The first chunk's positions per game size the whole run, so the
        // result rarely grows (and copies itself) afterwards.
        if (collected == 0) {
            const uint64_t estimate = out.size() * (chunks + chunks / 4);
            out.reserve(static_cast<std::size_t>(std::min<uint64_t>(estimate, uint64_t{1} << 22)));
            if (threads > 1) {
                const RecordsRoom reserved = RecordsRoom::of(out);
                std::lock_guard held(lock);
                room = reserved;
                fault_from = out.size();
                fault_to = std::min<std::size_t>(out.turn.capacity(), out.size() * chunks);
                changed.notify_all();
            }
        }
    };
    // Called with `lock` held: appends the finished chunks that are due, in
    // order, unless another thread is appending (it will take them too).
    const auto drain = [&](std::unique_lock<std::mutex> &held) {
        if (appending) return;
        appending = true;
        while (!stop && ready[collected % ahead]) {
            const std::size_t slot = collected % ahead;
            Records part = std::move(parts[slot]);
            ready[slot] = 0;
            held.unlock();
            try {
                out.append(part);
                appended();
            } catch (...) {
                held.lock();
                appending = false;
                throw;
            }
            part.resize(0);
            held.lock();
            spare.push_back(std::move(part));
            ++collected;
            changed.notify_all();
        }
        appending = false;
    };
    // Plays the next chunk handed out: straight into `out` when it is due and
    // nobody is appending, else into a buffer that waits for its turn.
    // Returns false when no chunk may be handed out now.
    const auto play_next = [&](std::unique_lock<std::mutex> &held) {
        if (stop || next >= chunks || next >= collected + ahead) return false;
        const std::size_t k = next++;
        if (k == collected && !appending) {
            appending = true;
            held.unlock();
            try {
                play_chunk(k, out);
                appended();
            } catch (...) {
                held.lock();
                appending = false;
                throw;
            }
            held.lock();
            ++collected;
            appending = false;
            changed.notify_all();
        } else {
            Records part = take_buffer();
            held.unlock();
            try {
                prepare(part);
                play_chunk(k, part);
            } catch (...) {
                held.lock();
                throw;
            }
            held.lock();
            parts[k % ahead] = std::move(part);
            ready[k % ahead] = 1;
            changed.notify_all();
        }
        drain(held);
        return true;
    };
    // Called with `lock` held: a failure on any thread stops the run, and the
    // calling thread rethrows it.
    const auto fail = [&] {
        if (!failure) failure = std::current_exception();
        stop = true;
        changed.notify_all();
    };
    const auto work = [&] {
        std::unique_lock held(lock);
        for (;;) {
            changed.wait(held, [&] {
                return stop || next >= chunks || next < collected + ahead || fault_from < fault_to;
            });
            if (stop) return;
            if (fault_from < fault_to) {
                const std::size_t from = fault_from, to = std::min(fault_to, from + fault_piece);
                fault_from = to;
                const RecordsRoom where = room;
                held.unlock();
                prefault(where, from, to);
                held.lock();
                continue;
            }
            if (next >= chunks) return;
            try {
                play_next(held);
            } catch (...) {
                fail();
                return;
            }
        }
    };

    bool finished = true;
    {
        // Stops the workers on every exit, a throwing between() included; the
        // workers are joined before `out` is given back.
        struct Join {
            SelfPlayRun &run;
            ~Join() { run.join(); }
        } join{run};
        for (unsigned t = 1; t < threads; ++t) shared.workers.emplace_back(work);
        auto last_report = std::chrono::steady_clock::now();
        std::unique_lock held(lock);
        while (!failure) {
            // Play a chunk if one may be handed out, else take part in
            // appending, else wait for the workers.
            if (!play_next(held)) {
                drain(held);
                if (collected < chunks)
                    changed.wait(held, [&] {
                        return failure || collected == chunks || (!appending && ready[collected % ahead]) ||
                               (next < chunks && next < collected + ahead);
                    });
            }
            if (failure) break;
            const auto now = std::chrono::steady_clock::now();
            if (between && (collected == chunks || now - last_report >= kReportInterval)) {
                last_report = now;
                const uint64_t done = std::min(c.games, collected * chunk);
                held.unlock();
                const bool go_on = between(done);
                // A child forked by between() has only this thread: with
                // workers, the run cannot go on there, and nothing they shared
                // may be touched (not even this lock). A run on one thread
                // goes on.
                if (run.abandoned()) throw ForkedRun();
                held.lock();
                if (!go_on) {
                    finished = false;
                    break;
                }
            }
            if (collected == chunks) break;
        }
    }
    if (failure) std::rethrow_exception(failure);
    result = std::move(out);
    return finished;
}

}  // namespace gravline
