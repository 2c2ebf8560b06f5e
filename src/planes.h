// The 17 input planes of a position written straight into floats: the writer
// that batches of games, encode_games and the expansion of records share.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "encode.h"

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define GRAVLINE_AVX_COPY 1
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

#ifdef GRAVLINE_AVX_COPY
/// Copies n floats (n >= 8) in 32-byte moves, the last one ending at n. The
/// buffers must not overlap. Only for a processor with AVX.
__attribute__((target("avx"))) inline void copy_floats_avx(float *to, const float *from, std::size_t n) {
    std::size_t k = 0;
    for (; k + 32 <= n; k += 32) {
        const __m256 a = _mm256_loadu_ps(from + k), b = _mm256_loadu_ps(from + k + 8);
        const __m256 c = _mm256_loadu_ps(from + k + 16), d = _mm256_loadu_ps(from + k + 24);
        _mm256_storeu_ps(to + k, a);
        _mm256_storeu_ps(to + k + 8, b);
        _mm256_storeu_ps(to + k + 16, c);
        _mm256_storeu_ps(to + k + 24, d);
    }
    for (; k + 8 <= n; k += 8) _mm256_storeu_ps(to + k, _mm256_loadu_ps(from + k));
    if (k < n) _mm256_storeu_ps(to + n - 8, _mm256_loadu_ps(from + n - 8));
}
#endif

/// Copies n floats between buffers that do not overlap. A plane copied inline
/// in 32-byte moves, where the processor has them, takes about a tenth less
/// time than through memcpy, whose call and choice of method weigh on copies
/// of a few hundred bytes.
inline void copy_floats(float *to, const float *from, std::size_t n) {
#ifdef GRAVLINE_AVX_COPY
    static const bool avx = __builtin_cpu_supports("avx");
    if (avx && n >= 8) return copy_floats_avx(to, from, n);
#endif
    std::memcpy(to, from, n * sizeof(float));
}

/// The 17 planes of a position into `out` (17 x cells floats, every one
/// written, nothing past them): planes 2t and 2t + 1 hold the side to move's
/// and the other side's pieces t moves ago, for t up to seven and the moves
/// there are (later planes zero), and plane 16 is all ones when Red moves.
/// `cell_at(t)` for t = 1 .. min(moves, 7) is the cell of the t-th last move,
/// or `cells` or more for one off the board, which takes nothing back. Equal to
/// encode_planes of the same game.
template <int NW, class CellAt>
void write_planes(float *out, const Bitboard<NW> &red, const Bitboard<NW> &yellow, bool red_moves,
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
        copy_floats(plane, plane - pair, pair);
        const std::size_t c = cell_at(t);
        if (c < cells) plane[c] = plane[cells + c] = 0.0f;
    }
    float *const turn_plane = out + std::size_t{2 * (kHistoryPlies + 1)} * cells;
    // Most positions have a whole history, and nothing to zero.
    if (plane < turn_plane) std::memset(plane, 0, static_cast<std::size_t>(turn_plane - plane) * sizeof(float));
    std::fill_n(turn_plane, cells, red_moves ? 1.0f : 0.0f);
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
