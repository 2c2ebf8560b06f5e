// Bitboard<NW>: one bit per cell in NW 64-bit words, and BoardGeometry<NW>, the
// per-size masks that the rules need, built once per size and shared.
//
// Cell (col, row) is bit row * width + col; bit k is bit k % 64 of word k / 64.
// Rows follow each other with no guard bits. For 7 x 6 (NW = 1):
//
//   row 5 | 35 36 37 38 39 40 41 |
//   ...
//   row 1 |  7  8  9 10 11 12 13 |
//   row 0 |  0  1  2  3  4  5  6 |
//
// Bits from width * height up are outside the board and zero in every stone set.
#pragma once

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <string>
#include <type_traits>

#include "limits.h"

namespace gravline {

/// The failure of a bit index past the last word; kept out of line so that the
/// check itself stays one compare.
[[noreturn, gnu::cold, gnu::noinline]] inline void index_error(unsigned k) {
    fatal("bit index " + std::to_string(k) + " is past the last word");
}

/// std::popcount behind an empty asm statement: a loop of these stays a
/// scalar loop, which the vectoriser would otherwise turn into vector logic
/// followed by unpacking each lane for the count, which costs more than it saves.
constexpr int scalar_popcount(uint64_t x) {
    if (!std::is_constant_evaluated()) asm("" : "+r"(x));
    return std::popcount(x);
}

template <int NW>
struct Bitboard {
    static_assert(1 <= NW && NW <= kMaxWords);
    std::array<uint64_t, NW> w{};

    /// Fails on an index past the last word, which no on-board cell reaches.
    static constexpr void check_index(unsigned k) {
        if (k / 64 >= static_cast<unsigned>(NW)) [[unlikely]]
            index_error(k);
    }

    constexpr bool get_bit(unsigned k) const {
        check_index(k);
        return (w[k / 64] >> (k % 64)) & 1;
    }
    constexpr void set_bit(unsigned k) {
        check_index(k);
        w[k / 64] |= uint64_t{1} << (k % 64);
    }
    constexpr void clear_bit(unsigned k) {
        check_index(k);
        w[k / 64] &= ~(uint64_t{1} << (k % 64));
    }

    constexpr Bitboard operator|(const Bitboard &o) const {
        Bitboard r;
        for (int i = 0; i < NW; ++i) r.w[i] = w[i] | o.w[i];
        return r;
    }
    constexpr Bitboard operator&(const Bitboard &o) const {
        Bitboard r;
        for (int i = 0; i < NW; ++i) r.w[i] = w[i] & o.w[i];
        return r;
    }
    /// a AND NOT b.
    constexpr Bitboard and_not(const Bitboard &o) const {
        Bitboard r;
        for (int i = 0; i < NW; ++i) r.w[i] = w[i] & ~o.w[i];
        return r;
    }
    /// Word by word: a defaulted comparison may become a call to memcmp.
    friend constexpr bool operator==(const Bitboard &a, const Bitboard &b) {
        uint64_t differ = 0;
        for (int i = 0; i < NW; ++i) differ |= a.w[i] ^ b.w[i];
        return differ == 0;
    }

    constexpr bool empty() const {
        uint64_t any = 0;
        for (uint64_t x : w) any |= x;
        return any == 0;
    }

    /// Number of set bits, e.g. 2 for {0b101}.
    constexpr int count_ones() const {
        int n = 0;
        for (uint64_t x : w) n += std::popcount(x);
        return n;
    }

    /// Index of the least significant set bit, words scanned from word 0 up.
    /// The caller makes sure the set is not empty.
    constexpr unsigned lowest_set_bit() const {
        for (int i = 0; i < NW; ++i)
            if (w[i]) return 64 * i + std::countr_zero(w[i]);
        return 64 * NW;
    }

    /// Moves every bit towards higher indices: bit k + n holds old bit k. Bits
    /// pushed past the last word are lost; nothing is masked to the board.
    /// With NW = 2, {bit 63} shifted by 1 is {bit 64}.
    constexpr Bitboard shift_left(unsigned n) const {
        if constexpr (NW == 1) {
            Bitboard out;
            out.w[0] = n < 64 ? w[0] << n : 0;
            return out;
        }
        if (0 < n && n < 64) return shift_within_word(n);
        if (n == 0) return *this;
        if (n >= 64u * NW) return Bitboard{};
        const unsigned q = n / 64, r = n % 64;
        Bitboard out;
        for (int i = static_cast<int>(q); i < NW; ++i) {
            uint64_t v = w[i - q];
            if (r != 0) {
                v <<= r;
                if (i > static_cast<int>(q)) v |= w[i - q - 1] >> (64 - r);
            }
            out.w[i] = v;
        }
        return out;
    }

    /// Bits `start` .. `start + n - 1` as the low bits of a word, n <= 32, e.g. the
    /// top row of a board. Bits past the last word read as zero.
    constexpr uint32_t extract(unsigned start, unsigned n) const {
        const unsigned i = start / 64, r = start % 64;
        uint64_t v = i < static_cast<unsigned>(NW) ? w[i] >> r : 0;
        if (r != 0 && i + 1 < static_cast<unsigned>(NW)) v |= w[i + 1] << (64 - r);
        return static_cast<uint32_t>(v & ((uint64_t{1} << n) - 1));
    }

    /// shift_left for 0 < r < 64, the strides of the line test: each word takes
    /// its own bits moved up and the top bits of the word below.
    constexpr Bitboard shift_within_word(unsigned r) const {
        Bitboard out;
        out.w[0] = w[0] << r;
        for (int i = 1; i < NW; ++i) out.w[i] = (w[i] << r) | (w[i - 1] >> (64 - r));
        return out;
    }

    /// The set of bits 0 .. n - 1.
    static constexpr Bitboard first_bits(unsigned n) {
        Bitboard b;
        for (int i = 0; i < NW; ++i) {
            const unsigned lo = 64u * i;
            if (n >= lo + 64) b.w[i] = ~uint64_t{0};
            else if (n > lo) b.w[i] = (uint64_t{1} << (n - lo)) - 1;
        }
        return b;
    }

    /// Calls f(k) for every set bit k, lowest first.
    template <class F>
    constexpr void for_each_bit(F &&f) const {
        for (int i = 0; i < NW; ++i)
            for (uint64_t x = w[i]; x; x &= x - 1) f(64u * i + std::countr_zero(x));
    }
};

/// The masks of one board size, built once and never changed. Games and boards
/// do not own one: they share the one of their size (shared_geometry).
template <int NW>
struct BoardGeometry {
    /// Entry c holds every cell of column c; entries from width up are empty.
    std::array<Bitboard<NW>, kMaxColumns> column_masks{};
    /// The board without column 0: the wrap guard of the shifts by 1 and width + 1.
    Bitboard<NW> not_first_column;
    /// The board without its last column: the wrap guard of the shift by width - 1.
    Bitboard<NW> not_last_column;
    Bitboard<NW> top_row;
    uint8_t width = 0;
    uint8_t height = 0;

    /// Fails for a size outside 4..32 or one that needs another word count.
    static constexpr BoardGeometry make(unsigned width, unsigned height) {
        check_size(NW, width, height);
        BoardGeometry g;
        const Bitboard<NW> all = Bitboard<NW>::first_bits(width * height);
        Bitboard<NW> first_column;
        for (unsigned r = 0; r < height; ++r) first_column.set_bit(r * width);
        for (unsigned c = 0; c < width; ++c) g.column_masks[c] = first_column.shift_left(c);
        g.not_first_column = all.and_not(first_column);
        g.not_last_column = all.and_not(g.column_masks[width - 1]);
        g.top_row = all.and_not(Bitboard<NW>::first_bits((height - 1) * width));
        g.width = static_cast<uint8_t>(width);
        g.height = static_cast<uint8_t>(height);
        return g;
    }
};

namespace detail {

/// The geometry of each size, 4 x 4 .. 32 x 32, once it was first asked for.
/// A size has exactly one word count, so a slot always holds a
/// BoardGeometry<words_for(width, height)>. Entries are never freed or changed.
inline std::atomic<const void *> geometry_slots[kDimensions * kDimensions]{};

}  // namespace detail

/// The slow path of shared_geometry: build, publish or lose the race.
template <int NW>
[[gnu::noinline]] const BoardGeometry<NW> &build_shared_geometry(std::atomic<const void *> &slot,
                                                                 unsigned width, unsigned height) {
    const auto *made = new BoardGeometry<NW>(BoardGeometry<NW>::make(width, height));
    const void *seen = nullptr;
    if (slot.compare_exchange_strong(seen, made, std::memory_order_acq_rel,
                                     std::memory_order_acquire))
        return *made;
    delete made;  // another thread published the same masks first
    return *static_cast<const BoardGeometry<NW> *>(seen);
}

/// The geometry of a width x height board, shared by every game and board of
/// that size; fails as BoardGeometry<NW>::make does. The first use of a size
/// builds it without a lock: threads that race each build one, the first to
/// publish it wins and the others free theirs. With no lock, no thread ever
/// waits for another, and a process forked during a build finds either nothing
/// (and builds) or a complete geometry.
template <int NW>
const BoardGeometry<NW> &shared_geometry(unsigned width, unsigned height) {
    // Inline, as the per-call cost of a Python Board's column_height is mostly this.
    const unsigned c = width - kMinDimension, r = height - kMinDimension;
    if (c >= kDimensions || r >= kDimensions || words_for(width, height) != NW) [[unlikely]]
        size_error(NW, width, height);
    std::atomic<const void *> &slot = detail::geometry_slots[c * kDimensions + r];
    // Acquire: the masks written before the pointer was published are seen.
    if (const void *g = slot.load(std::memory_order_acquire)) [[likely]]
        return *static_cast<const BoardGeometry<NW> *>(g);
    return build_shared_geometry<NW>(slot, width, height);
}

}  // namespace gravline
