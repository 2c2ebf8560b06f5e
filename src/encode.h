// What a learning pipeline reads off a game: the 17 input planes in raw float
// memory, and the action codec (an action is a column).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "game.h"

namespace gravline {

/// The plane that tells the colour to move, after two planes per position.
inline constexpr unsigned kColourPlane = 2 * kHistoryPositions;
/// Planes in all: 8 positions x 2 colours, and the colour-to-move plane.
inline constexpr unsigned kSpatialInputPlanes = kColourPlane + 1;
static_assert(kSpatialInputPlanes == 17);
/// Length of the global feature vector: there are none.
inline constexpr unsigned kGlobalInputFeatures = 0;

/// Calls one(i) for each index i of a plane buffer that holds 1.0 for this
/// position: plane 2t for each cell holding a piece of `perspective`, plane
/// 2t + 1 for each cell of the other player, planes `rows` x `cols` (value of
/// plane p, row r, column c at p*rows*cols + r*cols + c). Cells outside the
/// board or the plane are skipped; an index at or past `len` is a fault.
template <int NW, class One>
void visit_plane_ones(std::size_t len, const Board<NW> &board, Player perspective, unsigned t,
                      unsigned cols, unsigned rows, One &&one) {
    const std::size_t plane = std::size_t{rows} * cols;
    const auto put = [&](const Bitboard<NW> &pieces, unsigned p) {
        pieces.for_each_bit([&](unsigned k) {
            const unsigned col = k % board.width, row = k / board.width;
            if (col >= cols || row >= rows || row >= board.height) return;
            const std::size_t at = p * plane + std::size_t{row} * cols + col;
            if (at >= len) [[unlikely]]
                fatal("plane index " + std::to_string(at) + " is past the buffer of " +
                      std::to_string(len));
            one(at);
        });
    };
    // Red is looked up first, so a cell in both sets belongs to Red.
    const Bitboard<NW> yellow = board.yellow.and_not(board.red);
    const bool red_is_mover = perspective == Player::Red;
    put(board.red, 2 * t + (red_is_mover ? 0 : 1));
    put(yellow, 2 * t + (red_is_mover ? 1 : 0));
}

/// Writes 1.0 into plane 2t for each cell holding a piece of `perspective`, and
/// into plane 2t + 1 for each cell of the other player, in a buffer of `len`
/// floats laid out as for visit_plane_ones. Only ones are written: the buffer
/// must start zeroed.
template <int NW>
void fill_gravline_planes(float *buf, std::size_t len, const Board<NW> &board, Player perspective,
                          unsigned t, unsigned cols, unsigned rows) {
    visit_plane_ones(len, board, perspective, t, cols, rows, [buf](std::size_t i) { buf[i] = 1.0f; });
}

/// Calls one(i) for each index i that holds 1.0 in the 17 planes of `game`, each
/// index once: the current position and up to seven before it, from the side
/// to move's point of view, then the colour plane (all ones when Red moves).
///
/// Earlier positions come from taking back the recorded moves one by one on a
/// private copy of the board, so the game itself is never touched, even when
/// set_piece edits have made its history disagree with its board.
template <int NW, class One>
void visit_planes(const Game<NW> &game, One &&one) {
    const unsigned w = game.width(), h = game.height();
    const std::size_t plane = std::size_t{w} * h, len = kSpatialInputPlanes * plane;
    const Player mover = game.turn;
    Board<NW> board = game.board;
    visit_plane_ones(len, board, mover, 0, w, h, one);
    const std::size_t k = std::min<std::size_t>(game.history.size(), kHistoryPlies);
    for (unsigned t = 1; t <= k; ++t) {
        const Move m = game.history[game.history.size() - t];
        if (board.on_board(m.col, m.row)) {
            const unsigned bit = board.cell(m.col, m.row);
            board.red.clear_bit(bit);
            board.yellow.clear_bit(bit);
        }
        visit_plane_ones(len, board, mover, t, w, h, one);
    }
    if (mover == Player::Red)
        for (std::size_t i = kColourPlane * plane; i < len; ++i) one(i);
}

/// Writes the 17 planes of `game` into a zeroed buffer of 17 x height x width floats.
template <int NW>
void encode_planes(const Game<NW> &game, float *buf) {
    visit_planes(game, [buf](std::size_t i) { buf[i] = 1.0f; });
}

/// The move that lands in column `action`: its row is the column's piece count.
/// None for a column off the board or a full one. Turn and end of game play no part.
template <int NW>
std::optional<Move> decode_move(uint64_t action, const Board<NW> &board, const BoardGeometry<NW> &g) {
    if (action >= board.width) return std::nullopt;
    const unsigned h = board.column_height(static_cast<unsigned>(action), g);
    if (h >= board.height) return std::nullopt;
    return Move{static_cast<uint8_t>(action), static_cast<uint8_t>(h)};
}

/// Reward of an outcome from Red's side: 1, -1, or 0 for a draw or no outcome.
constexpr double reward_absolute(std::optional<GameOutcome> o) {
    if (!o || *o == GameOutcome::Draw) return 0.0;
    return *o == GameOutcome::RedWin ? 1.0 : -1.0;
}

/// Reward of an outcome for `p` (Red or Yellow).
constexpr double reward_for(GameOutcome o, Player p) {
    const double r = reward_absolute(o);
    return p == Player::Red ? r : (r == 0.0 ? 0.0 : -r);
}

}  // namespace gravline
