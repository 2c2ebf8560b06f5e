// The floor of the engine's playout benchmark: the smallest 7 x 6 position we
// know how to write. One 64-bit word per colour and a ply count; no history,
// no size checks, no take-back.
#pragma once

#include <bit>
#include <cstdint>

namespace floor7x6 {

// Bits run up the columns, with a spare bit on top of each column that is
// never set, so no shift carries a line from one column into the next:
//
//    6 13 20 27 34 41 48    <- spare
//    5 12 19 26 33 40 47
//    ...
//    0  7 14 21 28 35 42    <- bottom row
//
// A shift by 1 steps up a column, by 7 along a row, by 6 and 8 along the diagonals.
inline constexpr int kWidth = 7;
inline constexpr int kHeight = 6;
inline constexpr int kStride = kHeight + 1;
inline constexpr int kCells = kWidth * kHeight;

/// Bit 7c of every column c: the bottom row.
inline constexpr uint64_t kBottom = [] {
    uint64_t b = 0;
    for (int c = 0; c < kWidth; ++c) b |= uint64_t{1} << (kStride * c);
    return b;
}();
/// The top cell of every column.
inline constexpr uint64_t kTop = kBottom << (kHeight - 1);
/// The six cells of column 0.
inline constexpr uint64_t kColumn0 = (uint64_t{1} << kHeight) - 1;

/// True when `b` holds four in a line, e.g. bits 0, 7, 14 and 21 (the bottom row's first four).
constexpr bool has_four(uint64_t b) {
    for (int d : {1, kStride, kStride - 1, kStride + 1}) {
        const uint64_t pairs = b & (b >> d);
        if (pairs & (pairs >> (2 * d))) return true;
    }
    return false;
}

struct Position {
    uint64_t red = 0;
    uint64_t yellow = 0;
    int plies = 0;

    /// The top cells of the columns that have room, lowest column first.
    constexpr uint64_t open_tops() const { return ~(red | yellow) & kTop; }

    /// Drops a piece of the side to move into column c, which has room, and
    /// answers whether it made four. Adding the column's bottom bit to the
    /// occupied cells carries through the column's pieces into its lowest gap.
    constexpr bool play(int c) {
        const uint64_t column = kColumn0 << (kStride * c);
        const uint64_t cell = ((red | yellow) + (uint64_t{1} << (kStride * c))) & column;
        uint64_t &mine = (plies & 1) ? yellow : red;
        mine |= cell;
        ++plies;
        return has_four(mine);
    }
};

/// One random game from the empty board: each ply takes the rng.below(n)-th of
/// the n open columns, counted from the left. Returns 1 for a Red win, -1 for
/// a Yellow win, 0 for a draw; `plies` receives the length of the game.
template <class Rng>
int random_playout(Rng &rng, int &plies) {
    Position p;
    for (;;) {
        uint64_t tops = p.open_tops();
        for (unsigned k = rng.below(static_cast<unsigned>(std::popcount(tops))); k; --k)
            tops &= tops - 1;
        const int mover = (p.plies & 1) ? -1 : 1;
        const bool four = p.play(std::countr_zero(tops) / kStride);
        if (four || p.plies == kCells) {
            plies = p.plies;
            return four ? mover : 0;
        }
    }
}

}  // namespace floor7x6
