// Records: self-play positions stored compactly, one record per position before
// a move, the checks that a set of records is consistent, and their expansion
// into the float32 training arrays (input planes, policy and value targets).
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <sys/mman.h>

#include "planes.h"

namespace gravline {

/// Moves kept per record, most recent first: the planes look back seven.
inline constexpr unsigned kRecordMoves = 8;
/// A move slot before the start of the game.
inline constexpr uint8_t kNoMove = 0xff;

/// Large blocks of freed records' fields, kept for the next records to use:
/// their pages are resident already, and on some machines faulting in fresh
/// memory costs as much as generating the games written to it. At most kBlocks
/// blocks and kBytes bytes in all; the oldest go first. The lock is only ever
/// tried: a thread that finds it taken, or a forked child that inherited it
/// taken, allocates and frees as if there were no cache.
template <int Blocks>
class BlockCacheOf {
public:
    static constexpr int kBlocks = Blocks;
    static constexpr std::size_t kBytes = std::size_t{128} << 20;

    /// A kept block of exactly `bytes`, or null.
    void *take(std::size_t bytes) noexcept {
        std::unique_lock held(lock_, std::try_to_lock);
        if (!held) return nullptr;
        for (int i = count_ - 1; i >= 0; --i)
            if (blocks_[i].bytes == bytes) return remove(i);
        return nullptr;
    }

    /// Keeps a block of `bytes` (aligned to `align`) with at most `limit`
    /// bytes kept in all, or frees it.
    void give(void *p, std::size_t bytes, std::align_val_t align, std::size_t limit = kBytes) noexcept {
        std::unique_lock held(lock_, std::try_to_lock);
        if (!held || bytes > limit) return ::operator delete(p, align);
        while (count_ == kBlocks || total_ + bytes > limit) ::operator delete(remove(0), align);
        blocks_[count_++] = {p, bytes};
        total_ += bytes;
    }

private:
    struct Block {
        void *p;
        std::size_t bytes;
    };

    /// Block i out of the cache, the later ones moved up.
    void *remove(int i) noexcept {
        void *p = blocks_[i].p;
        total_ -= blocks_[i].bytes;
        std::copy(blocks_ + i + 1, blocks_ + count_, blocks_ + i);
        --count_;
        return p;
    }

    std::mutex lock_;
    Block blocks_[kBlocks]{};
    int count_ = 0;
    std::size_t total_ = 0;
};

using BlockCache = BlockCacheOf<32>;

/// The one cache of every records' fields: never destroyed, so records freed
/// late in the process's exit still find it.
inline constinit BlockCache field_blocks;
static_assert(std::is_trivially_destructible_v<BlockCache>);

/// What an allocator of this engine makes without a value is left as the
/// memory holds it: a plain resize makes room to be written over, and every
/// caller that needs zeros asks for them.
struct DefaultInitConstruct {
    template <class U>
    void construct(U *p) noexcept {
        ::new (static_cast<void *>(p)) U;
    }
    template <class U, class... A>
    void construct(U *p, A &&...args) {
        ::new (static_cast<void *>(p)) U(std::forward<A>(args)...);
    }
};

/// The most bytes that field_blocks keeps: the whole number of MiB in the
/// environment variable DREVIK_GRAVLINE_RECORDS_CACHE_MB (0 keeps nothing),
/// else BlockCache::kBytes. Read once, at the first records freed.
inline std::size_t records_cache_limit() noexcept {
    // Kept plus one (0: not read yet) in an atomic rather than a guarded
    // static: threads that race read the same variable and store the same
    // value, and a child forked while another thread was reading it reads it
    // again, where a guarded static's guard would stay taken in the child and
    // its first use would wait forever.
    static constinit std::atomic<std::size_t> kept{0};
    if (const std::size_t k = kept.load(std::memory_order_relaxed)) return k - 1;
    const std::size_t limit = [] {
        const char *text = std::getenv("DREVIK_GRAVLINE_RECORDS_CACHE_MB");
        if (!text || *text < '0' || *text > '9') return BlockCache::kBytes;
        char *end = nullptr;
        errno = 0;
        const unsigned long long mib = std::strtoull(text, &end, 10);
        if (*end != '\0' || errno != 0) return BlockCache::kBytes;
        // At most a TiB, so that the bytes cannot overflow.
        return static_cast<std::size_t>(std::min<unsigned long long>(mib, 1ull << 20)) << 20;
    }();
    kept.store(limit + 1, std::memory_order_relaxed);
    return limit;
}

/// The allocator of the records' fields. From kHugeFrom bytes up an array
/// starts on a 2 MiB boundary, and the kernel is asked to back its whole 2 MiB
/// pages with huge pages, as NumPy does for its large arrays: a minibatch drawn
/// at random from a large set of records reads every field of each record, and
/// with small pages nearly every one of those reads also misses the TLB. Their
/// blocks come in a few sizes, and are kept for reuse when freed (BlockCache).
template <class T>
struct FieldAllocator : DefaultInitConstruct {
    using value_type = T;
    static constexpr std::size_t kHugePage = std::size_t{1} << 21;
    static constexpr std::size_t kHugeFrom = std::size_t{1} << 20;

    /// The block that holds `bytes` from kHugeFrom up: whole huge pages, at
    /// most a quarter more than asked for, so that arrays of nearly the same
    /// size (a run's result from one seed and the next) share one block size.
    static constexpr std::size_t block_size(std::size_t bytes) {
        std::size_t pages = (bytes + kHugePage - 1) / kHugePage;
        if (pages > 4) {
            const std::size_t step = std::size_t{1} << (std::bit_width(pages) - 3);
            pages = (pages + step - 1) / step * step;
        }
        return pages * kHugePage;
    }

    FieldAllocator() = default;
    template <class U>
    constexpr FieldAllocator(const FieldAllocator<U> &) noexcept {}

    T *allocate(std::size_t n) {
        // Far more than any machine holds, and no rounding below overflows.
        if (n > (std::size_t{1} << 56) / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugeFrom) return static_cast<T *>(::operator new(bytes));
        const std::size_t whole = block_size(bytes);
        if (void *kept = field_blocks.take(whole)) return static_cast<T *>(kept);
        void *p = ::operator new(whole, std::align_val_t{kHugePage});
#ifdef MADV_HUGEPAGE
        // Advice that the kernel refuses changes nothing.
        (void)madvise(p, whole, MADV_HUGEPAGE);
#endif
        return static_cast<T *>(p);
    }
    void deallocate(T *p, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes < kHugeFrom) return ::operator delete(p);
        field_blocks.give(p, block_size(bytes), std::align_val_t{kHugePage}, records_cache_limit());
    }
    friend constexpr bool operator==(const FieldAllocator &, const FieldAllocator &) { return true; }
};

template <class T>
using FieldVector = std::vector<T, FieldAllocator<T>>;

/// The positions of self-play games, one record per position before a move, as
/// one array per field (what a NumPy caller sees is the same layout). A record
/// of a board of `words` words per bit set takes 16 * words + 26 bytes:
///
///   red, yellow       words x u64 each   the pieces, bit row * width + col
///   last_moves        8 x u8             columns of the last 8 moves, the most
///                                        recent first; 0xff before the start
///   turn              i8                 the side to move, 1 Red, -1 Yellow
///   policy            u32                the columns the move was drawn from,
///                                        uniformly: the target is 1/k on each
///                                        of the k set bits
///   opponent_policy   u32                the same for the next position; 0 at
///                                        a game's last position
///   opponent_mask     u8                 1 where opponent_policy is a target
///   value             i8                 the result for the side to move:
///                                        1 won, -1 lost, 0 drawn
///   game              u32                the game's index in its run
///   ply               u16                moves played before this position
///   action            u8                 the column played from it
///
/// A 7 x 6 record is 42 bytes. Records of version 2 (a search's) also hold
///
///   visits            width x u16        the search's distribution over the
///                                        columns (visit counts, or weights
///                                        summing to about 65535): the policy
///                                        target; `policy` is its set of
///                                        columns with weight
///   root_value        f32                the search's value of the position
///                                        for the side to move
///
/// 60 bytes for 7 x 6.
struct Records {
    unsigned width = 0;
    unsigned height = 0;
    int words = 0;
    FieldVector<uint64_t> red;
    FieldVector<uint64_t> yellow;
    FieldVector<uint8_t> last_moves;
    FieldVector<int8_t> turn;
    FieldVector<uint32_t> policy;
    FieldVector<uint32_t> opponent_policy;
    FieldVector<uint8_t> opponent_mask;
    FieldVector<int8_t> value;
    FieldVector<uint32_t> game;
    FieldVector<uint16_t> ply;
    FieldVector<uint8_t> action;
    int version = 1;
    FieldVector<uint16_t> visits;    // version 2 only
    FieldVector<float> root_value;   // version 2 only

    /// No records for boards of this size; fails for a size outside 4..32.
    static Records make(unsigned width, unsigned height, int version = 1) {
        check_size(words_for(width, height), width, height);
        Records r;
        r.width = width;
        r.height = height;
        r.words = words_for(width, height);
        r.version = version;
        return r;
    }

    static constexpr std::size_t bytes_per_record(int words) { return 16u * words + 26u; }

    std::size_t size() const { return turn.size(); }

    /// Calls f(per_record, field) for each field of `r` in the order above, red
    /// first: the field's vector and its elements per record. Given more
    /// Records, f also gets their same field: f(per_record, field, field_2, ...).
    template <class F, class R, class... More>
    static void for_each_field(F &&f, R &r, More &...more) {
        const std::size_t words = r.words;
        f(words, r.red, more.red...);
        f(words, r.yellow, more.yellow...);
        f(std::size_t{kRecordMoves}, r.last_moves, more.last_moves...);
        f(std::size_t{1}, r.turn, more.turn...);
        f(std::size_t{1}, r.policy, more.policy...);
        f(std::size_t{1}, r.opponent_policy, more.opponent_policy...);
        f(std::size_t{1}, r.opponent_mask, more.opponent_mask...);
        f(std::size_t{1}, r.value, more.value...);
        f(std::size_t{1}, r.game, more.game...);
        f(std::size_t{1}, r.ply, more.ply...);
        f(std::size_t{1}, r.action, more.action...);
        // Fields of version 2, with no elements in version 1's records.
        const bool search = r.version >= 2;
        f(search ? std::size_t{r.width} : 0, r.visits, more.visits...);
        f(std::size_t{search}, r.root_value, more.root_value...);
    }

    /// Every field resized to n records; new records are zero.
    void resize(std::size_t n) {
        for_each_field([n](std::size_t k, auto &v) { v.resize(n * k, {}); }, *this);
    }

    /// Every field resized to n records; new records hold whatever the memory
    /// held, for a caller that writes every field of each before reading it.
    void resize_for_overwrite(std::size_t n) {
        for_each_field([n](std::size_t k, auto &v) { v.resize(n * k); }, *this);
    }

    void reserve(std::size_t n) {
        for_each_field([n](std::size_t k, auto &v) { v.reserve(n * k); }, *this);
    }

    /// Appends the records of `o`, which must be of the same size.
    void append(const Records &o) {
        if (o.width != width || o.height != height) fatal("records of another board size appended");
        if (o.version != version) fatal("records of another version appended");
        const auto add = [](std::size_t, auto &to, const auto &from) {
            to.insert(to.end(), from.begin(), from.end());
        };
        for_each_field(add, *this, o);
    }

    /// The records [first, first + n), in order; the range lies within size().
    Records slice(std::size_t first, std::size_t n) const {
        Records out = make_like();
        const auto copy = [first, n](std::size_t k, auto &to, const auto &from) {
            to.assign(from.begin() + first * k, from.begin() + (first + n) * k);
        };
        for_each_field(copy, out, *this);
        return out;
    }

    /// The records indices[0 .. n-1] (each below size()), in that order.
    Records take(const uint64_t *indices, std::size_t n) const {
        Records out = make_like();
        out.resize_for_overwrite(n);
        const auto gather = [indices, n](std::size_t k, auto &to, const auto &from) {
            auto *dst = to.data();
            const auto *src = from.data();
            for (std::size_t j = 0; j < n; ++j)
                std::copy_n(src + indices[j] * k, k, dst + j * k);
        };
        for_each_field(gather, out, *this);
        return out;
    }

    friend bool operator==(const Records &, const Records &) = default;

private:
    /// No records, of this board size and version.
    Records make_like() const {
        Records r;
        r.width = width;
        r.height = height;
        r.words = words;
        r.version = version;
        return r;
    }
};

namespace records_detail {

template <int NW>
Bitboard<NW> load_bits(const FieldVector<uint64_t> &v, std::size_t i) {
    Bitboard<NW> b;
    std::memcpy(b.w.data(), v.data() + i * NW, sizeof b.w);
    return b;
}

/// Bit order of a 32-bit word reversed: bit 0 becomes bit 31.
constexpr uint32_t reverse_bits(uint32_t x) {
    x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
    x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
    x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
    return __builtin_bswap32(x);
}

/// Each row of the board reversed, column c going to column width - 1 - c.
template <int NW>
Bitboard<NW> mirror(const Bitboard<NW> &b, const BoardGeometry<NW> &g) {
    const unsigned width = g.width, height = g.height;
    if constexpr (NW == 1) {
        // In one word each column moves as a whole, c and width - 1 - c
        // trading places, the middle one of an odd width staying.
        const uint64_t x = b.w[0];
        uint64_t m = width % 2 ? x & g.column_masks[width / 2].w[0] : 0;
        for (unsigned c = 0; c < width / 2; ++c) {
            const unsigned d = width - 1 - 2 * c;
            m |= (x & g.column_masks[c].w[0]) << d | (x & g.column_masks[width - 1 - c].w[0]) >> d;
        }
        return Bitboard<NW>{{m}};
    } else {
        Bitboard<NW> out;
        for (unsigned r = 0; r < height; ++r) {
            const uint64_t row = reverse_bits(b.extract(r * width, width)) >> (32 - width);
            const unsigned start = r * width, i = start / 64, s = start % 64;
            out.w[i] |= row << s;
            // A row that runs into the next word; s > 0 there, since width <= 32.
            if (s + width > 64) out.w[i + 1] |= row >> (64 - s);
        }
        return out;
    }
}

inline constexpr unsigned kNoCell = ~0u;

/// The cell of column `col`'s top piece among `occupied`, whose columns hold
/// their pieces from the bottom up without gaps; kNoCell for an empty column.
template <int NW>
unsigned top_cell(const Bitboard<NW> &occupied, unsigned col, const BoardGeometry<NW> &g) {
    const int n = (occupied & g.column_masks[col]).count_ones();
    return n == 0 ? kNoCell : (n - 1u) * g.width + col;
}

/// A policy row: 1/k on each of the k columns of `columns`, 0 elsewhere, the
/// columns reversed when `mirrored`.
inline void write_policy(float *dst, uint32_t columns, unsigned width, bool mirrored) {
    // Entry k is 1/k rounded from double, as 1.0 / k stored into a float32
    // array is; entry 0 serves the empty set.
    static constexpr auto kShares = [] {
        std::array<float, kMaxColumns + 1> t{};
        for (unsigned k = 1; k <= kMaxColumns; ++k) t[k] = static_cast<float>(1.0 / k);
        return t;
    }();
    const float share = kShares[std::popcount(columns)];
    const uint32_t bits = mirrored ? reverse_bits(columns) >> (32 - width) : columns;
    // Four floats at a time from the bits' table, the last four ending at the
    // row's end (a row has four or more).
    const auto put4 = [&](unsigned c) {
        const float *ones = kByteFloats[(bits >> c) & 0xf].data();
        float four[4];
        for (unsigned k = 0; k < 4; ++k) four[k] = ones[k] * share;
        std::memcpy(dst + c, four, sizeof four);
    };
    unsigned c = 0;
    for (; c + 4 <= width; c += 4) put4(c);
    if (c < width) put4(width - 4);
}

}  // namespace records_detail

/// Where expand writes: C-contiguous float32 buffers of `rows` rows each
/// (states rows of 17 x height x width, policy rows of width).
struct ExpandOut {
    float *states;
    float *policies;
    float *values;
    float *opponent_policies;
    float *opponent_policy_masks;
    float *root_values = nullptr;  // version 2: the search's values
};

/// Writes the training rows of records indices[0 .. n-1] (each below r.size();
/// all of them, in order, when `indices` is null): row j holds the planes of the
/// record's position exactly as encode_planes gives them for the game replayed
/// to it, its policy and opponent policy targets, its value and mask. With
/// `mirror`, rows n .. 2n - 1 then hold the same records with every row of
/// planes and every policy reversed left to right, and the same value and mask.
template <int NW>
void expand_records(const Records &r, const uint64_t *indices, std::size_t n, bool mirror,
                    const ExpandOut &out) {
    using namespace records_detail;
    const unsigned w = r.width, h = r.height, cells = w * h;
    const BoardGeometry<NW> g = BoardGeometry<NW>::make(w, h);
    const std::size_t state_size = std::size_t{kSpatialInputPlanes} * cells;
    // The chosen records are gathered first, in one pass of independent loads:
    // picked at random from a large set, each field of each record is a cache
    // miss, and here the misses overlap instead of stalling the writing below.
    struct Picked {
        Bitboard<NW> red, yellow;
        std::array<uint8_t, kHistoryPlies> moves;
        // The cells of those moves; `cells` for none.
        std::array<uint16_t, kHistoryPlies> taken;
        uint32_t policy, opponent_policy;
        uint16_t ply;
        int8_t turn, value;
        uint8_t mask;
    };
    std::vector<Picked> picked(n);
    // Each field of a record some way ahead is asked for early, so that more
    // misses are under way at once than the loads alone would start.
    constexpr std::size_t kAhead = 16;
    // Always inlined: as a function of its own the compiler finds it free of
    // effects and drops the calls.
    const auto prefetch = [&](std::size_t i) __attribute__((always_inline)) {
        __builtin_prefetch(r.red.data() + i * NW);
        __builtin_prefetch(r.yellow.data() + i * NW);
        __builtin_prefetch(r.last_moves.data() + i * kRecordMoves);
        __builtin_prefetch(r.policy.data() + i);
        __builtin_prefetch(r.opponent_policy.data() + i);
        __builtin_prefetch(r.ply.data() + i);
        __builtin_prefetch(r.turn.data() + i);
        __builtin_prefetch(r.value.data() + i);
        __builtin_prefetch(r.opponent_mask.data() + i);
    };
    if (indices)
        for (std::size_t j = 0; j < std::min(n, kAhead); ++j) prefetch(indices[j]);
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = indices ? indices[j] : j;
        if (indices && j + kAhead < n) prefetch(indices[j + kAhead]);
        Picked &p = picked[j];
        p.red = load_bits<NW>(r.red, i);
        p.yellow = load_bits<NW>(r.yellow, i);
        std::memcpy(p.moves.data(), r.last_moves.data() + i * kRecordMoves, kHistoryPlies);
        p.policy = r.policy[i];
        p.opponent_policy = r.opponent_policy[i];
        p.ply = r.ply[i];
        p.turn = r.turn[i];
        p.value = r.value[i];
        p.mask = r.opponent_mask[i];
    }
    // The cell of each of the last moves: the top piece of its column once the
    // moves after it are taken back. Each record's cells form a chain through
    // its board; found here, in a short loop, the chains of several records
    // overlap, where between rows of planes each one would stall.
    for (Picked &p : picked) {
        Bitboard<NW> occupied = p.red | p.yellow;
        const unsigned back = std::min<unsigned>(p.ply, kHistoryPlies);
        for (unsigned t = 0; t < back; ++t) {
            const unsigned col = p.moves[t];
            const unsigned k = col < w ? top_cell(occupied, col, g) : kNoCell;
            p.taken[t] = static_cast<uint16_t>(k == kNoCell ? cells : k);
            if (k != kNoCell) occupied.clear_bit(k);
        }
    }
    for (int pass = 0; pass < (mirror ? 2 : 1); ++pass) {
        const bool mirrored = pass == 1;
        const std::size_t base = mirrored ? n : 0;
        for (std::size_t j = 0; j < n; ++j) {
            const Picked &p = picked[j];
            const std::size_t row = base + j;
            float *planes = out.states + row * state_size;
            Bitboard<NW> red = p.red, yellow = p.yellow;
            if (mirrored) {
                red = records_detail::mirror(red, g);
                yellow = records_detail::mirror(yellow, g);
            }
            // A mirrored row takes the same cells' mirror images, in the same
            // rows of the board.
            const auto cell_at = [&](std::size_t t) -> std::size_t {
                const unsigned taken = p.taken[t - 1], col = p.moves[t - 1];
                if (!mirrored || taken >= cells) return taken;
                return taken - col + (w - 1 - col);
            };
            write_planes(planes, red, yellow, p.turn == 1, cells, p.ply, cell_at);

            if (r.version >= 2) {
                // The search's distribution, normalised, the columns reversed when mirrored.
                const std::size_t i = indices ? indices[j] : j;
                const uint16_t *v = r.visits.data() + i * w;
                double sum = 0;
                for (unsigned c = 0; c < w; ++c) sum += v[c];
                float *dst = out.policies + row * w;
                for (unsigned c = 0; c < w; ++c)
                    dst[mirrored ? w - 1 - c : c] = sum > 0 ? static_cast<float>(v[c] / sum) : 0.0f;
                if (out.root_values) out.root_values[row] = r.root_value[i];
            } else {
                write_policy(out.policies + row * w, p.policy, w, mirrored);
            }
            write_policy(out.opponent_policies + row * w, p.opponent_policy, w, mirrored);
            out.values[row] = p.value;
            out.opponent_policy_masks[row] = p.mask;
        }
    }
}

/// What is wrong with record i, or an empty string. A record is sound when its
/// position is one a game reaches: pieces on the board, none in both colours,
/// none floating, Red's count and Yellow's agreeing with the ply and the turn,
/// no four yet; its last moves take back the top pieces in turn, in the right
/// colours; the policy is a non-empty set of open columns holding the action;
/// the opponent's policy and mask are set exactly when the action does not end
/// the game, and then name columns open after it; a value the action decides
/// (a win, a draw on the last cell) is that value.
template <int NW>
std::string check_record(const Records &r, std::size_t i, const BoardGeometry<NW> &g) {
    using namespace records_detail;
    const unsigned w = r.width, h = r.height, cells = w * h;
    const auto fail = [i](const std::string &what) { return "record " + std::to_string(i) + ": " + what; };
    Bitboard<NW> red = load_bits<NW>(r.red, i), yellow = load_bits<NW>(r.yellow, i);
    const Bitboard<NW> all = Bitboard<NW>::first_bits(cells);
    if (!red.and_not(all).empty() || !yellow.and_not(all).empty()) return fail("a piece lies off the board");
    if (!(red & yellow).empty()) return fail("a cell holds both colours");
    const Bitboard<NW> occupied = red | yellow;
    // A piece above an empty cell: the empty cells moved up a row meet a piece.
    if (!(all.and_not(occupied).shift_left(w) & occupied).empty())
        for (unsigned c = 0; c < w; ++c) {
            const Bitboard<NW> column = occupied & g.column_masks[c];
            const unsigned n = column.count_ones();
            if (column != (g.column_masks[c] & Bitboard<NW>::first_bits(n * w)))
                return fail("a piece in column " + std::to_string(c) + " floats above an empty cell");
        }
    const unsigned ply = r.ply[i];
    if (ply >= cells) return fail("the move count " + std::to_string(ply) + " is past the board");
    if (static_cast<unsigned>(occupied.count_ones()) != ply)
        return fail("the board holds " + std::to_string(occupied.count_ones()) + " pieces, not " +
                    std::to_string(ply));
    if (static_cast<unsigned>(red.count_ones()) != (ply + 1) / 2)
        return fail("Red's pieces do not match the move count");
    const int8_t turn = ply % 2 == 0 ? 1 : -1;
    if (r.turn[i] != turn) return fail("the side to move does not match the move count");
    if (has_four(red, g) || has_four(yellow, g)) return fail("the game is already over");

    // Taking back the last moves: each column's top piece is the colour that moved.
    Bitboard<NW> back_red = red, back_yellow = yellow;
    for (unsigned t = 0; t < kRecordMoves; ++t) {
        const uint8_t col = r.last_moves[i * kRecordMoves + t];
        if (t >= ply) {
            if (col != kNoMove) return fail("a move is recorded before the start of the game");
            continue;
        }
        if (col >= w) return fail("a recorded move's column is off the board");
        // The mover of ply - 1 - t (Red on even plies) owns the column's top piece.
        Bitboard<NW> &mover = (ply - 1 - t) % 2 == 0 ? back_red : back_yellow;
        const unsigned k = top_cell(back_red | back_yellow, col, g);
        if (k == kNoCell || !mover.get_bit(k)) return fail("the recorded moves do not lead to the position");
        mover.clear_bit(k);
    }

    const uint32_t board_columns = static_cast<uint32_t>((uint64_t{1} << w) - 1);
    const uint32_t open = ~occupied.extract((h - 1) * w, w) & board_columns;
    if (r.policy[i] == 0 || (r.policy[i] & ~open))
        return fail("the policy is not a set of open columns");
    const unsigned action = r.action[i];
    if (action >= w || !((r.policy[i] >> action) & 1)) return fail("the action is not in the policy");

    // The position after the action: does it end the game, and how?
    Bitboard<NW> mine = turn == 1 ? red : yellow;
    const unsigned landing = (occupied & g.column_masks[action]).count_ones() * w + action;
    mine.set_bit(landing);
    Bitboard<NW> after = occupied;
    after.set_bit(landing);
    const bool won = has_four(mine, g), full = ply + 1 == cells;
    const bool ends = won || full;
    if (r.opponent_mask[i] > 1) return fail("the opponent mask is neither 0 nor 1");
    if (r.opponent_mask[i] == ends)
        return fail(ends ? "the opponent mask is set after the game's last move"
                         : "the opponent mask is clear although the game goes on");
    const uint32_t open_after = ~after.extract((h - 1) * w, w) & board_columns;
    if (ends ? r.opponent_policy[i] != 0 : (r.opponent_policy[i] == 0 || (r.opponent_policy[i] & ~open_after)))
        return fail("the opponent policy does not match the next position");
    const int8_t v = r.value[i];
    if (v < -1 || v > 1) return fail("the value is not 1, 0 or -1");
    if ((won && v != 1) || (!won && full && v != 0)) return fail("the value does not match the game's end");
    if (r.version >= 2) {
        const uint16_t *d = r.visits.data() + i * w;
        uint32_t weighted = 0;
        for (unsigned c = 0; c < w; ++c)
            if (d[c]) weighted |= uint32_t{1} << c;
        if (weighted & ~open) return fail("the distribution covers a full column");
        if (weighted == 0) return fail("the distribution is zero where a move was played");
        if (weighted != r.policy[i]) return fail("the policy is not the distribution's columns");
        const float rv = r.root_value[i];
        if (!(rv >= -1.0f && rv <= 1.0f)) return fail("the root value is not in [-1, 1]");
    }
    return {};
}

/// What is wrong with a set of records, naming the first faulty record, or an
/// empty string: the fields' lengths, then each record in turn.
template <int NW>
std::string check_records(const Records &r) {
    if (r.words != NW || words_for(r.width, r.height) != NW || !dimension_ok(r.width) || !dimension_ok(r.height))
        return "the board size does not match the bit sets";
    if (r.version != 1 && r.version != 2) return "unknown records version";
    const std::size_t n = r.size();
    bool lengths = true;
    Records::for_each_field([&](std::size_t k, const auto &v) { lengths = lengths && v.size() == n * k; }, r);
    if (!lengths) return "the fields' lengths disagree";
    const BoardGeometry<NW> g = BoardGeometry<NW>::make(r.width, r.height);
    for (std::size_t i = 0; i < n; ++i)
        if (std::string e = check_record(r, i, g); !e.empty()) return e;
    return {};
}

}  // namespace gravline
