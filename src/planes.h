// The 17 input planes of a position written straight into floats: the writer
// that batches of games, encode_games and the expansion of records share.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encode.h"

// On x86 the planes are also written in 32-byte stores, chosen at run time
// where the processor has AVX.
#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define GRAVLINE_AVX_PLANES 1
#endif

namespace gravline {

/// Entry b holds the eight floats of byte b, bit j as float j: 1.0 or 0.0.
alignas(32) inline constexpr auto kByteFloats = [] {
    std::array<std::array<float, 8>, 256> t{};
    for (unsigned b = 0; b < 256; ++b)
        for (unsigned j = 0; j < 8; ++j) t[b][j] = (b >> j) & 1 ? 1.0f : 0.0f;
    return t;
}();

/// Writes bit k of `bits` as float k (1.0 or 0.0) for k < n, in whole groups of
/// eight: one plane, whose cell (col, row) is float row * width + col as it is
/// bit row * width + col. Up to 7 floats past out + n are written too, with
/// whatever bits follow; the caller writes them again afterwards.
template <int NW>
inline void write_bit_plane_over(float *out, const Bitboard<NW> &bits, unsigned n) {
    // Word by word from a local copy: the stores below may alias anything, and
    // would make the compiler load `bits` again for every byte.
    for (unsigned i = 0; i < static_cast<unsigned>(NW) && 64 * i < n; ++i, out += 64) {
        uint64_t word = bits.w[i];
        const unsigned end = std::min(n - 64 * i, 64u);
        for (unsigned k = 0; k < end; k += 8, word >>= 8)
            std::memcpy(out + k, kByteFloats[word & 0xff].data(), 8 * sizeof(float));
    }
}

/// The 17 planes of a position into `out` (17 x cells floats, every one
/// written, nothing past them): planes 2t and 2t + 1 hold the side to move's
/// and the other side's pieces t moves ago, for t up to seven and the moves
/// there are (later planes zero), and plane 16 is all ones when Red moves.
/// `cell_at(t)` for t = 1 .. min(moves, 7) is the cell of the t-th last move,
/// or `cells` or more for one off the board, which takes nothing back. Equal to
/// encode_planes of the same game. Written in 16-byte stores, on any processor.
template <int NW, class CellAt>
void write_planes_portable(float *out, const Bitboard<NW> &red, const Bitboard<NW> &yellow, bool red_moves,
                           unsigned cells, std::size_t moves, CellAt &&cell_at) {
    // Red is looked up first, so a cell in both sets belongs to Red.
    const Bitboard<NW> y = yellow.and_not(red);
    const unsigned back = static_cast<unsigned>(std::min<std::size_t>(moves, kHistoryPlies));
    const std::size_t pair = 2 * std::size_t{cells};
    // The pieces now, whose second plane's overhang the copies below write over.
    write_bit_plane_over(out, red_moves ? red : y, cells);
    write_bit_plane_over(out + cells, red_moves ? y : red, cells);
    // Each earlier position is the one after it less one piece: a copy of the
    // two planes before, with that cell cleared in both.
    float *plane = out + pair;
    for (unsigned t = 1; t <= back; ++t, plane += pair) {
        std::memcpy(plane, plane - pair, pair * sizeof(float));
        const std::size_t c = cell_at(t);
        if (c < cells) plane[c] = plane[cells + c] = 0.0f;
    }
    float *const turn_plane = out + std::size_t{2 * (kHistoryPlies + 1)} * cells;
    // Most positions have a whole history, and nothing to zero.
    if (plane < turn_plane) std::memset(plane, 0, static_cast<std::size_t>(turn_plane - plane) * sizeof(float));
    std::fill_n(turn_plane, cells, red_moves ? 1.0f : 0.0f);
}

#ifdef GRAVLINE_AVX_PLANES
/// Writes a string of bits as floats (1.0 or 0.0), given in pieces of up to 64
/// bits and written out 64 at a time, each byte as eight floats in one 32-byte
/// store. Only for a processor with AVX.
class AvxBitWriter {
public:
    __attribute__((target("avx"))) explicit AvxBitWriter(float *out) : out_(out) {}

    /// Appends the first `cells` bits of `b` (none set beyond them).
    template <int NW>
    __attribute__((target("avx"))) void put(const Bitboard<NW> &b, unsigned cells) {
        for (unsigned i = 0; 64 * i < cells; ++i) put(b.w[i], std::min(cells - 64 * i, 64u));
    }

    /// Appends the low `n` bits of `bits` (1 <= n <= 64; none set above them).
    __attribute__((target("avx"))) void put(uint64_t bits, unsigned n) {
        word_ |= bits << fill_;
        fill_ += n;
        if (fill_ < 64) return;
        write_word(word_);
        fill_ -= 64;
        prev_ = word_;
        // The bits that did not fit; none when the word ended exactly.
        word_ = fill_ ? bits >> (n - fill_) : 0;
    }

    /// Writes the bits still held: whole bytes, then the eight floats that end
    /// at the last bit, over floats already written. At least eight bits in all.
    __attribute__((target("avx"))) void finish() {
        unsigned k = 0;
        for (; k + 8 <= fill_; k += 8) write_byte(out_ + k, (word_ >> k) & 0xff);
        if (k == fill_) return;
        const uint64_t last = fill_ >= 8 ? word_ >> (fill_ - 8) : word_ << (8 - fill_) | prev_ >> (56 + fill_);
        write_byte(out_ + fill_ - 8, last & 0xff);
    }

private:
    __attribute__((target("avx"))) static void write_byte(float *to, uint64_t byte) {
        _mm256_storeu_ps(to, _mm256_load_ps(kByteFloats[byte].data()));
    }

    __attribute__((target("avx"))) void write_word(uint64_t w) {
        for (unsigned k = 0; k < 64; k += 8, w >>= 8) write_byte(out_ + k, w & 0xff);
        out_ += 64;
    }

    float *out_;
    uint64_t word_ = 0, prev_ = 0;
    unsigned fill_ = 0;
};

/// write_planes_portable's planes, written as one string of bits from first to
/// last float in 32-byte stores. Only for a processor with AVX. Nothing written
/// is read back: a load of a store still on its way to the cache would hold up
/// everything after it.
template <int NW, class CellAt>
__attribute__((target("avx"))) void write_planes_avx(float *out, const Bitboard<NW> &red,
                                                     const Bitboard<NW> &yellow, bool red_moves, unsigned cells,
                                                     std::size_t moves, CellAt &&cell_at) {
    // Red is looked up first, so a cell in both sets belongs to Red.
    const Bitboard<NW> y = yellow.and_not(red);
    const unsigned back = static_cast<unsigned>(std::min<std::size_t>(moves, kHistoryPlies));
    AvxBitWriter writer(out);
    // Each earlier position is the one after it less one piece.
    Bitboard<NW> mine = red_moves ? red : y, theirs = red_moves ? y : red;
    for (unsigned t = 0; t <= kHistoryPlies; ++t) {
        if (t > back) mine = theirs = Bitboard<NW>{};
        else if (t > 0) {
            const std::size_t c = cell_at(t);
            if (c < cells) {
                mine.clear_bit(static_cast<unsigned>(c));
                theirs.clear_bit(static_cast<unsigned>(c));
            }
        }
        writer.put(mine, cells);
        writer.put(theirs, cells);
    }
    writer.put(red_moves ? Bitboard<NW>::first_bits(cells) : Bitboard<NW>{}, cells);
    writer.finish();
}

/// Whether this processor runs write_planes_avx.
inline bool has_avx() {
    // Asked each time rather than kept in a guarded static: the answer is one
    // load from the processor model that the runtime fills in at start-up,
    // and no guard can be left taken in a child forked during a first use.
    return __builtin_cpu_supports("avx");
}
#endif

/// The 17 planes of a position into `out`, as write_planes_portable writes
/// them: in 32-byte stores where the processor has them, which write the
/// planes of a minibatch in 10 to 20% less time.
template <int NW, class CellAt>
void write_planes(float *out, const Bitboard<NW> &red, const Bitboard<NW> &yellow, bool red_moves,
                  unsigned cells, std::size_t moves, CellAt &&cell_at) {
#ifdef GRAVLINE_AVX_PLANES
    if (has_avx()) return write_planes_avx(out, red, yellow, red_moves, cells, moves, cell_at);
#endif
    write_planes_portable(out, red, yellow, red_moves, cells, moves, cell_at);
}

/// The 17 planes of `game` into `out` (17 x height x width floats, every one
/// written, nothing zeroed first): what encode_planes writes into a zeroed buffer.
template <int NW>
void write_game_planes(const Game<NW> &game, float *out) {
    const unsigned w = game.width(), h = game.height();
    const std::size_t moves = game.history.size();
    write_planes(out, game.board.red, game.board.yellow, game.turn == Player::Red, w * h, moves,
                 [&](std::size_t t) -> std::size_t {
                     const Move m = game.history[moves - t];
                     return m.col < w && m.row < h ? std::size_t{m.row} * w + m.col : w * h;
                 });
}

}  // namespace gravline
