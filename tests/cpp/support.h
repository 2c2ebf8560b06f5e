// Shared by the engine tests: the word counts to run typed tests over, board
// sizes of each, and a slow 2-D engine to check the rules against.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "../../src/game.h"

namespace gravline::testing {

template <int NW>
using Words = std::integral_constant<int, NW>;
/// 1, 2 and 16 words: a single word, one boundary, and the largest boards.
using WordCounts = ::testing::Types<Words<1>, Words<2>, Words<16>>;

struct Size {
    unsigned width, height;
};

/// Board sizes of one word count, non-square ones and ones that fill their words exactly.
template <int NW>
std::vector<Size> sizes_for() {
    if constexpr (NW == 1) return {{7, 6}, {8, 8}, {4, 4}, {4, 16}};
    else if constexpr (NW == 2) return {{9, 8}, {11, 11}, {16, 8}, {4, 17}};
    else return {{32, 32}, {31, 31}, {32, 31}};
}

/// The text of the InternalError that f throws, or a marker when it throws none.
template <class F>
std::string internal_error_text(F &&f) {
    try {
        f();
    } catch (const InternalError &e) {
        return e.what();
    }
    return "<no InternalError>";
}

/// The four-in-a-row rules on a plain grid: +1 Red, -1 Yellow, 0 empty. It looks
/// for a four only through the piece just dropped, cell by cell, so it shares
/// nothing with the bit-set engine but the rules.
struct RefGame {
    int width, height;
    std::vector<int> cells;
    int turn = 1;
    std::optional<int> outcome;  // 0 Red won, 1 Yellow won, 2 draw
    std::vector<std::pair<int, int>> history;

    RefGame(int w, int h) : width(w), height(h), cells(w * h, 0) {}

    int at(int c, int r) const {
        return c < 0 || c >= width || r < 0 || r >= height ? 0 : cells[r * width + c];
    }
    int count(int c) const {
        int n = 0;
        for (int r = 0; r < height; ++r) n += at(c, r) != 0;
        return n;
    }
    /// Columns with an empty top cell, left to right; none once the game is over.
    std::vector<std::pair<int, int>> legal() const {
        std::vector<std::pair<int, int>> out;
        if (outcome) return out;
        for (int c = 0; c < width; ++c)
            if (at(c, height - 1) == 0) out.emplace_back(c, count(c));
        return out;
    }
    /// Length of the run of `who` through (c, r) along (dc, dr), both ways.
    int run(int c, int r, int dc, int dr, int who) const {
        int n = 1;
        for (int s = 1; at(c + s * dc, r + s * dr) == who; ++s) ++n;
        for (int s = 1; at(c - s * dc, r - s * dr) == who; ++s) ++n;
        return n;
    }
    bool four_through(int c, int r) const {
        const int who = at(c, r);
        return run(c, r, 1, 0, who) >= 4 || run(c, r, 0, 1, who) >= 4 ||
               run(c, r, 1, 1, who) >= 4 || run(c, r, 1, -1, who) >= 4;
    }
    void play(int c) {
        int r = 0;
        while (at(c, r) != 0) ++r;
        cells[r * width + c] = turn;
        history.emplace_back(c, r);
        if (four_through(c, r)) outcome = turn == 1 ? 0 : 1;
        else {
            bool full = true;
            for (int x = 0; x < width; ++x) full = full && at(x, height - 1) != 0;
            if (full) outcome = 2;
        }
        turn = -turn;
    }
    void undo() {
        const auto [c, r] = history.back();
        history.pop_back();
        cells[r * width + c] = 0;
        outcome.reset();
        turn = -turn;
    }
};

inline int value_of(std::optional<Player> p) { return p ? static_cast<int>(*p) : 0; }

/// Every cell of the engine game agrees with the reference grid.
template <int NW>
bool same_cells(const Game<NW> &g, const RefGame &ref) {
    for (int r = 0; r < ref.height; ++r)
        for (int c = 0; c < ref.width; ++c)
            if (value_of(g.board.get_piece(c, r)) != ref.at(c, r)) return false;
    return true;
}

/// Drops into the given columns, oldest first; each drop must be accepted.
template <int NW>
void play(Game<NW> &g, std::initializer_list<unsigned> columns) {
    for (unsigned c : columns) {
        const unsigned row = g.board.column_height(c, *g.geometry);
        const Move m{static_cast<uint8_t>(c), static_cast<uint8_t>(row)};
        ASSERT_TRUE(g.make_move(m)) << "column " << c;
    }
}

}  // namespace gravline::testing
