// Board<NW>: the two colours' pieces and the size, with the gravity questions
// and the text drawing. No turn, history or result: those are Game's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bitboard.h"
#include "player.h"

namespace gravline {

template <int NW>
struct Board {
    static constexpr int kWords = NW;
    Bitboard<NW> red;
    Bitboard<NW> yellow;
    uint8_t width = 0;
    uint8_t height = 0;

    /// The empty board; fails for a size outside 4..32 or of another word count.
    static constexpr Board make(unsigned width, unsigned height) {
        check_size(NW, width, height);
        Board b;
        b.width = static_cast<uint8_t>(width);
        b.height = static_cast<uint8_t>(height);
        return b;
    }

    constexpr bool on_board(unsigned col, unsigned row) const { return col < width && row < height; }
    constexpr unsigned cell(unsigned col, unsigned row) const { return row * width + col; }
    constexpr Bitboard<NW> occupied() const { return red | yellow; }

    constexpr void clear() {
        red = {};
        yellow = {};
    }

    /// The piece on a cell; none for an empty cell or one off the board.
    constexpr std::optional<Player> get_piece(unsigned col, unsigned row) const {
        if (!on_board(col, row)) return std::nullopt;
        const unsigned k = cell(col, row);
        if (red.get_bit(k)) return Player::Red;
        if (yellow.get_bit(k)) return Player::Yellow;
        return std::nullopt;
    }

    /// Puts `piece` on a cell (none empties it). Off the board nothing changes.
    /// No gravity is applied: pieces may float.
    constexpr void set_piece(unsigned col, unsigned row, std::optional<Player> piece) {
        if (!on_board(col, row)) return;
        const unsigned k = cell(col, row);
        red.clear_bit(k);
        yellow.clear_bit(k);
        if (!piece) return;
        if (*piece == Player::Red) red.set_bit(k);
        else yellow.set_bit(k);
    }

    /// Pieces in the column (a count, not the first gap); 0 off the board.
    constexpr unsigned column_height(unsigned col, const BoardGeometry<NW> &g) const {
        if (col >= width) return 0;
        // Word by word: one load of each set, two logic operations and a
        // population count per word, with no vector lanes to unpack.
        const Bitboard<NW> &mask = g.column_masks[col];
        unsigned n = 0;
        for (int i = 0; i < NW; ++i) n += scalar_popcount((red.w[i] | yellow.w[i]) & mask.w[i]);
        return n;
    }

    /// A column is full when its top cell is occupied; off the board counts as full.
    constexpr bool is_column_full(unsigned col) const {
        if (col >= width) return true;
        const unsigned k = cell(col, height - 1u);
        return red.get_bit(k) || yellow.get_bit(k);
    }

    /// Every top-row cell occupied; under gravity the same as every cell.
    constexpr bool is_board_full(const BoardGeometry<NW> &g) const {
        return (occupied() & g.top_row) == g.top_row;
    }

    /// Drops a piece of `p` to the lowest empty cell of the column and returns
    /// its row; none, with nothing changed, off the board or on a full column.
    constexpr std::optional<unsigned> drop_piece(unsigned col, Player p, const BoardGeometry<NW> &g) {
        if (col >= width) return std::nullopt;
        const Bitboard<NW> free = g.column_masks[col].and_not(occupied());
        if (free.empty()) return std::nullopt;
        const unsigned k = free.lowest_set_bit();
        if (p == Player::Red) red.set_bit(k);
        else yellow.set_bit(k);
        return k / width;
    }

    /// Writes the drawing, top row first, then the column labels:
    ///
    ///   |.|.|.|.|.|.|Y|
    ///   ...
    ///   |R|.|.|.|.|.|.|
    ///    0 1 2 3 4 5 6
    ///
    /// `write(std::string_view)` answers false to stop; the drawing stops there
    /// and false is passed back.
    template <class Sink>
    bool render(Sink &&write) const {
        for (int r = height - 1; r >= 0; --r) {
            if (!write("|")) return false;
            for (unsigned c = 0; c < width; ++c) {
                const unsigned k = cell(c, r);
                const char piece[2] = {red.get_bit(k) ? 'R' : yellow.get_bit(k) ? 'Y' : '.', '|'};
                if (!write(std::string_view(piece, 2))) return false;
            }
            if (!write("\n")) return false;
        }
        if (!write(" ")) return false;
        for (unsigned c = 0; c < width; ++c)
            if (!write(std::to_string(c) + " ")) return false;
        return write("\n");
    }

    /// The drawing as one string.
    std::string to_string() const {
        std::string out;
        out.reserve((2u * width + 2) * (height + 1u) + width);
        render([&](std::string_view s) {
            out.append(s);
            return true;
        });
        return out;
    }
};

}  // namespace gravline
