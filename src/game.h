// Game<NW>: the rules. Legal moves, drops, the four-in-a-row and draw tests,
// the turn, the outcome and the move history with take-back.
#pragma once

#include <array>
#include <bit>
#include <optional>

#include "board.h"
#include "history.h"
#include "outcome.h"

namespace gravline {

/// At most one legal move per column, so a fixed array holds them all.
struct MoveList {
    std::array<Move, kMaxColumns> moves{};
    unsigned size = 0;

    const Move *begin() const { return moves.data(); }
    const Move *end() const { return moves.data() + size; }
    const Move &operator[](unsigned i) const { return moves[i]; }
};

/// True when `u` holds four in a line, horizontal, vertical or diagonal.
/// Each step shifts the set by the direction's stride; the guard removes cells
/// that the shift carried across the left or right edge into the next row.
template <int NW>
constexpr bool has_four(const Bitboard<NW> &u, const BoardGeometry<NW> &g) {
    const unsigned w = g.width;
    const auto line = [&u](unsigned d, const Bitboard<NW> *guard) {
        Bitboard<NW> s1 = u.shift_left(d), s2, s3;
        if (guard) s1 = s1 & *guard;
        s2 = s1.shift_left(d);
        if (guard) s2 = s2 & *guard;
        s3 = s2.shift_left(d);
        if (guard) s3 = s3 & *guard;
        return !(u & s1 & s2 & s3).empty();
    };
    return line(1, &g.not_first_column) || line(w, nullptr) || line(w + 1, &g.not_first_column) ||
           line(w - 1, &g.not_last_column);
}

/// A game: 80 bytes for a 7 x 6 board with up to 16 moves played. The size is
/// stored once, in the board; the masks of the size are shared, not owned.
template <int NW>
struct Game {
    static constexpr int kWords = NW;
    Board<NW> board;
    const BoardGeometry<NW> *geometry = nullptr;  // shared_geometry of the board's size
    MoveHistory history;
    Player turn = Player::Red;
    bool over = false;
    std::optional<GameOutcome> outcome;

    /// A new game, Red to move; fails for a size outside 4..32 or of another word count.
    static Game make(unsigned width, unsigned height) {
        Game g;
        g.board = Board<NW>::make(width, height);
        g.geometry = &shared_geometry<NW>(width, height);
        return g;
    }

    unsigned width() const { return board.width; }
    unsigned height() const { return board.height; }

    /// Bit c set for each column c whose top cell is empty; none once the game is over.
    uint32_t legal_columns() const {
        if (over) return 0;
        const unsigned w = board.width;
        return ~board.occupied().extract((board.height - 1u) * w, w) & ((uint64_t{1} << w) - 1);
    }

    /// One move per column with room, left to right; none once the game is over.
    MoveList legal_moves() const {
        MoveList list;
        for (uint32_t cols = legal_columns(); cols; cols &= cols - 1) {
            const unsigned c = std::countr_zero(cols);
            list.moves[list.size++] =
                Move{static_cast<uint8_t>(c), static_cast<uint8_t>(board.column_height(c, *geometry))};
        }
        return list;
    }

    /// Legal only with the exact landing row: (3, 0) is illegal once column 3 holds a piece.
    bool is_legal_move(Move m) const {
        return !over && m.col < board.width && !board.is_column_full(m.col) &&
               m.row == board.column_height(m.col, *geometry);
    }

    /// Plays a legal move and answers true; refuses anything else and changes nothing.
    bool make_move(Move m) {
        if (!is_legal_move(m)) return false;
        const Player mover = turn;
        // Recorded before anything changes: when recording fails (out of
        // memory), the game is left exactly as it was.
        history.push_back(m);
        const std::optional<unsigned> row = board.drop_piece(m.col, mover, *geometry);
        if (!row) {
            history.pop_back();
            return false;
        }
        // A board edited below its pieces lands the piece in the lowest gap, and
        // the history records that row.
        history.back().row = static_cast<uint8_t>(*row);
        if (has_four(mover == Player::Red ? board.red : board.yellow, *geometry)) {
            over = true;
            outcome = win_for(mover);
        } else if (board.is_board_full(*geometry)) {
            over = true;
            outcome = GameOutcome::Draw;
        }
        // The turn passes even on the ending move, so one take-back restores it.
        turn = other(mover);
        return true;
    }

    /// Takes back the last move and reopens the game; false on an empty history.
    bool unmake_move() {
        if (history.empty()) return false;
        const Move m = history.back();
        history.pop_back();
        if (board.on_board(m.col, m.row)) {
            const unsigned k = board.cell(m.col, m.row);
            board.red.clear_bit(k);
            board.yellow.clear_bit(k);
        }
        over = false;
        outcome.reset();
        turn = other(turn);
        return true;
    }
};

}  // namespace gravline
