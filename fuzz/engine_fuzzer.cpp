// libFuzzer target for the engine: each input is a board size and a list of
// operations on one game, with the engine's invariants checked after each one.
//
// Input layout:
//   byte 0, 1   width = 4 + b0 % 29, height = 4 + b1 % 29 (every word count 1..16)
//   then ops    one opcode byte each, followed by its own argument bytes; a
//               missing argument byte reads as 0
// The reference checks below read bits by the cell numbering alone (cell
// (col, row) is bit row * width + col) and scan cells one by one, so they share
// no code with the engine's shifts and masks.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../src/encode.h"
#include "../src/hash.h"
#include "fuzz_support.h"

using namespace gravline;

namespace {

constexpr char kFuzzerName[] = "engine_fuzzer";

enum : uint8_t {
    kCellEmpty = 0,
    kCellRed = 1,
    kCellYellow = 2,
};

/// One game with the facts the checks need beside it.
template <int NW>
struct Fuzzed {
    Game<NW> game;
    BoardGeometry<NW> geometry;  // built here; the shared one must equal it and never change
    unsigned w, h;
    // True while every piece on the board came from make_move: then gravity,
    // alternating colours and "no four while running" must hold too.
    bool by_moves = true;
    // Hash of each state seen in this input, by an exact key of the hashed fields,
    // and the key of each hash: equal states must hash equal, and two different
    // states with one 64-bit hash would be a collision nobody should ever meet.
    std::map<std::string, uint64_t> hash_of[3];
    std::map<uint64_t, std::string> key_of[3];

    Fuzzed(const Game<NW> &g, const BoardGeometry<NW> &geo, unsigned width, unsigned height,
           bool moves_only)
        : game(g), geometry(geo), w(width), h(height), by_moves(moves_only) {}
};

template <int NW>
bool bit(const Bitboard<NW> &b, unsigned k) {
    return (b.w[k / 64] >> (k % 64)) & 1;
}

template <int NW>
uint8_t cell_at(const Board<NW> &b, unsigned col, unsigned row) {
    const unsigned k = row * b.width + col;
    if (bit(b.red, k)) return kCellRed;
    if (bit(b.yellow, k)) return kCellYellow;
    return kCellEmpty;
}

/// The board as a plain grid of cells, with each column's piece count.
struct Grid {
    uint8_t cell[kMaxDimension][kMaxDimension]{};  // [col][row]
    unsigned count[kMaxDimension]{};
    int w = 0, h = 0;

    template <int NW>
    explicit Grid(const Board<NW> &b) : w(b.width), h(b.height) {
        for (int c = 0; c < w; ++c)
            for (int r = 0; r < h; ++r) {
                cell[c][r] = cell_at(b, c, r);
                count[c] += cell[c][r] != kCellEmpty;
            }
    }

    uint8_t at(int c, int r) const { return c < 0 || c >= w || r < 0 || r >= h ? kCellEmpty : cell[c][r]; }

    /// Four cells of `colour` in a line, by trying every cell and direction.
    bool four(uint8_t colour) const {
        static constexpr int kDirs[4][2] = {{1, 0}, {0, 1}, {1, 1}, {-1, 1}};
        for (int c = 0; c < w; ++c)
            for (int r = 0; r < h; ++r) {
                if (cell[c][r] != colour) continue;
                for (const auto &d : kDirs) {
                    int i = 1;
                    while (i < 4 && at(c + i * d[0], r + i * d[1]) == colour) ++i;
                    if (i == 4) return true;
                }
            }
        return false;
    }

    bool top_row_full() const {
        for (int c = 0; c < w; ++c)
            if (cell[c][h - 1] == kCellEmpty) return false;
        return true;
    }

    bool room(unsigned col) const { return col < unsigned(w) && cell[col][h - 1] == kCellEmpty; }
};

template <int NW>
bool ref_is_legal(const Game<NW> &g, const Grid &grid, Move m) {
    return !g.over && grid.room(m.col) && m.row == grid.count[m.col];
}

uint8_t colour_of(Player p) { return p == Player::Red ? kCellRed : kCellYellow; }

template <int NW>
bool same_board(const Board<NW> &a, const Board<NW> &b) {
    return a.red == b.red && a.yellow == b.yellow && a.width == b.width && a.height == b.height;
}

template <int NW>
bool same_geometry(const BoardGeometry<NW> &a, const BoardGeometry<NW> &b) {
    return a.column_masks == b.column_masks && a.not_first_column == b.not_first_column &&
           a.not_last_column == b.not_last_column && a.top_row == b.top_row && a.width == b.width &&
           a.height == b.height;
}

template <int NW>
bool same_game(const Game<NW> &a, const Game<NW> &b) {
    return same_board(a.board, b.board) && a.geometry == b.geometry && a.turn == b.turn &&
           a.over == b.over && a.outcome == b.outcome && a.history == b.history;
}

struct Hashes {
    uint64_t state, transposition, position;
    friend bool operator==(const Hashes &, const Hashes &) = default;
};

template <int NW>
Hashes hashes(const Game<NW> &g) {
    return {state_hash(g), transposition_hash(g), position_hash(g)};
}

/// The geometry of the size, cell by cell.
template <int NW>
void check_geometry(const BoardGeometry<NW> &g, unsigned w, unsigned h) {
    FUZZ_CHECK(g.width == w && g.height == h);
    for (unsigned c = 0; c < kMaxColumns; ++c)
        for (unsigned k = 0; k < 64u * NW; ++k)
            FUZZ_CHECK(bit(g.column_masks[c], k) == (c < w && k < w * h && k % w == c));
    for (unsigned k = 0; k < 64u * NW; ++k) {
        const bool on = k < w * h;
        FUZZ_CHECK(bit(g.not_first_column, k) == (on && k % w != 0));
        FUZZ_CHECK(bit(g.not_last_column, k) == (on && k % w != w - 1));
        FUZZ_CHECK(bit(g.top_row, k) == (on && k / w == h - 1));
    }
}

/// Records the three hashes of the current state under exact keys of their fields.
template <int NW>
void check_hashes(Fuzzed<NW> &f) {
    const Game<NW> &g = f.game;
    std::string key;
    key.push_back(static_cast<char>(f.w));
    key.push_back(static_cast<char>(f.h));
    key.push_back(g.turn == Player::Red ? 'R' : 'Y');
    // Cells off the board are checked to be empty before this, so they need no place here.
    const Grid grid(g.board);
    unsigned packed = 0, filled = 0;
    for (unsigned r = 0; r < f.h; ++r)
        for (unsigned c = 0; c < f.w; ++c) {
            packed |= unsigned{grid.cell[c][r]} << (2 * filled);
            if (++filled == 4) {
                key.push_back(static_cast<char>(packed));
                packed = filled = 0;
            }
        }
    key.push_back(static_cast<char>(packed));
    const std::string position = key;
    key.push_back(g.over ? 'o' : 'r');
    key.push_back(g.outcome ? static_cast<char>(*g.outcome) : '-');
    const std::string transposition = key;
    const std::size_t n = g.history.size(), k = std::min<std::size_t>(n, kHistoryPlies);
    key.push_back(static_cast<char>(k));
    for (std::size_t i = n - k; i < n; ++i) {
        key.push_back(static_cast<char>(g.history[i].col));
        key.push_back(static_cast<char>(g.history[i].row));
    }
    const Hashes hs = hashes(g);
    const std::pair<const std::string *, uint64_t> seen[3] = {
        {&key, hs.state}, {&transposition, hs.transposition}, {&position, hs.position}};
    for (int i = 0; i < 3; ++i) {
        // Bounded so that long inputs stay fast; equal states within the window still meet.
        if (f.hash_of[i].size() > 1024) {
            f.hash_of[i].clear();
            f.key_of[i].clear();
        }
        const auto [by_key, new_key] = f.hash_of[i].emplace(*seen[i].first, seen[i].second);
        FUZZ_CHECK(by_key->second == seen[i].second);
        const auto [by_hash, new_hash] = f.key_of[i].emplace(seen[i].second, *seen[i].first);
        FUZZ_CHECK(by_hash->second == *seen[i].first);
    }
    Game<NW> copy = g;
    FUZZ_CHECK(hashes(copy) == hs);
    // The Python hash is the signed value, with -1 (the error value) taken to -2.
    const int64_t py = python_hash(hs.position);
    FUZZ_CHECK(py != -1 && (py == static_cast<int64_t>(hs.position) || hs.position >= ~uint64_t{1}));
    // Moves hash by their two bytes alone: the moves of one list all differ.
    const MoveList list = g.legal_moves();
    for (unsigned i = 0; i < list.size; ++i) {
        FUZZ_CHECK(move_hash(list[i]) == move_hash(Move{list[i].col, list[i].row}));
        for (unsigned j = 0; j < i; ++j) FUZZ_CHECK(move_hash(list[i]) != move_hash(list[j]));
    }
}

/// The 17 planes against boards made by taking moves back on a copy of the game.
template <int NW>
void check_planes(const Game<NW> &g) {
    const unsigned w = g.width(), h = g.height(), plane = w * h;
    // Exactly the size the encoder may use, so AddressSanitizer sees any write past it.
    std::vector<float> buf(kSpatialInputPlanes * plane, 0.0f);
    const Game<NW> before = g;
    encode_planes(g, buf.data());
    FUZZ_CHECK(same_game(g, before));
    for (float v : buf) FUZZ_CHECK(v == 0.0f || v == 1.0f);
    const float colour = g.turn == Player::Red ? 1.0f : 0.0f;
    for (unsigned i = 0; i < plane; ++i) FUZZ_CHECK(buf[kColourPlane * plane + i] == colour);
    const uint8_t mine = colour_of(g.turn);
    const std::size_t k = std::min<std::size_t>(g.history.size(), kHistoryPlies);
    Game<NW> back = g;
    for (unsigned t = 0; t < kHistoryPositions; ++t) {
        if (t > 0 && t <= k) FUZZ_CHECK(back.unmake_move());
        for (unsigned r = 0; r < h; ++r)
            for (unsigned c = 0; c < w; ++c) {
                const uint8_t cell = t <= k ? cell_at(back.board, c, r) : kCellEmpty;
                const float own = buf[2 * t * plane + r * w + c];
                const float theirs = buf[(2 * t + 1) * plane + r * w + c];
                FUZZ_CHECK(own == (cell != kCellEmpty && cell == mine ? 1.0f : 0.0f));
                FUZZ_CHECK(theirs == (cell != kCellEmpty && cell != mine ? 1.0f : 0.0f));
            }
    }
}

/// legal_moves, is_legal_move and decode_move against cell scans.
template <int NW>
void check_moves(const Game<NW> &g, const Grid &grid) {
    const unsigned w = g.width(), h = g.height();
    const MoveList list = g.legal_moves();
    FUZZ_CHECK(list.size <= w);
    // The one legal row of each column, or none (h + 2 matches no row tried below).
    unsigned legal_row[kMaxDimension + 2];
    std::fill(std::begin(legal_row), std::end(legal_row), h + 2);
    unsigned i = 0;
    for (unsigned c = 0; c < w; ++c) {
        if (g.over || !grid.room(c)) continue;
        FUZZ_CHECK(i < list.size);
        FUZZ_CHECK(list[i].col == c && list[i].row == grid.count[c]);
        legal_row[c] = grid.count[c];
        ++i;
    }
    FUZZ_CHECK(i == list.size);
    for (unsigned c = 0; c <= w + 1; ++c)
        for (unsigned r = 0; r <= h + 1; ++r) {
            const Move m{static_cast<uint8_t>(c), static_cast<uint8_t>(r)};
            const bool legal = g.is_legal_move(m);
            FUZZ_CHECK(legal == (legal_row[c] == r));
            FUZZ_CHECK(legal == ref_is_legal(g, grid, m));
        }
    FUZZ_CHECK(!g.is_legal_move(Move{255, 255}) && !g.is_legal_move(Move{0, 255}));
    const uint64_t far[] = {255, 256, uint64_t{1} << 32, ~uint64_t{0}};
    const auto check_decode = [&](uint64_t a) {
        const std::optional<Move> m = decode_move(a, g.board, *g.geometry);
        if (a >= w || grid.count[a] >= h) {
            FUZZ_CHECK(!m);
            return;
        }
        FUZZ_CHECK(m && m->col == a && m->row == grid.count[a]);
        if (g.is_legal_move(*m)) FUZZ_CHECK(legal_row[a] == m->row);
    };
    for (uint64_t a = 0; a <= w + 1; ++a) check_decode(a);
    for (uint64_t a : far) check_decode(a);
}

/// Everything that holds after any operation.
template <int NW>
void check_all(Fuzzed<NW> &f) {
    const Game<NW> &g = f.game;
    const unsigned w = f.w, h = f.h, cells = w * h;
    FUZZ_CHECK(g.board.width == w && g.board.height == h);
    FUZZ_CHECK(g.geometry == &shared_geometry<NW>(w, h));
    FUZZ_CHECK(same_geometry(*g.geometry, f.geometry));
    FUZZ_CHECK((g.board.red & g.board.yellow).empty());
    for (unsigned k = cells; k < 64u * NW; ++k) FUZZ_CHECK(!bit(g.board.red, k) && !bit(g.board.yellow, k));
    FUZZ_CHECK(g.over == g.outcome.has_value());
    // Only make_move and unmake_move change the turn, and each changes the history by one.
    FUZZ_CHECK(g.turn == (g.history.size() % 2 == 0 ? Player::Red : Player::Yellow));
    for (Move m : g.history) FUZZ_CHECK(m.col < w && m.row < h);

    if (g.history.empty() && g.board.red.empty() && g.board.yellow.empty()) f.by_moves = true;
    const Grid grid(g.board);
    if (f.by_moves) {
        FUZZ_CHECK(static_cast<std::size_t>(g.board.occupied().count_ones()) == g.history.size());
        for (std::size_t i = 0; i < g.history.size(); ++i)
            FUZZ_CHECK(grid.cell[g.history[i].col][g.history[i].row] == (i % 2 == 0 ? kCellRed : kCellYellow));
        // Gravity: each column is filled from the bottom with no gap.
        for (unsigned c = 0; c < w; ++c)
            for (unsigned r = 0; r < h; ++r) FUZZ_CHECK((grid.cell[c][r] != kCellEmpty) == (r < grid.count[c]));
        const bool red4 = grid.four(kCellRed), yellow4 = grid.four(kCellYellow);
        if (!g.over) FUZZ_CHECK(!red4 && !yellow4 && !grid.top_row_full());
        if (g.outcome == GameOutcome::RedWin) FUZZ_CHECK(red4 && !yellow4 && g.turn == Player::Yellow);
        if (g.outcome == GameOutcome::YellowWin) FUZZ_CHECK(yellow4 && !red4 && g.turn == Player::Red);
        if (g.outcome == GameOutcome::Draw) FUZZ_CHECK(!red4 && !yellow4 && grid.top_row_full());
    }
    check_moves(g, grid);
    // Rewards: 1 and -1 for the winner and the loser, a positive zero otherwise.
    const double red = g.outcome == GameOutcome::RedWin ? 1.0 : g.outcome == GameOutcome::YellowWin ? -1.0 : 0.0;
    FUZZ_CHECK(reward_absolute(g.outcome) == red);
    FUZZ_CHECK(!std::signbit(reward_absolute(g.outcome)) || red == -1.0);
    if (g.outcome) {
        FUZZ_CHECK(reward_for(*g.outcome, Player::Red) == red);
        FUZZ_CHECK(reward_for(*g.outcome, Player::Yellow) == (red == 0.0 ? 0.0 : -red));
        FUZZ_CHECK(!std::signbit(reward_for(*g.outcome, Player::Yellow)) || red == 1.0);
    }
    check_hashes(f);
    check_planes(g);
}

/// make_move against the reference, then take-back and replay round trips.
template <int NW>
bool play_checked(Fuzzed<NW> &f, Move m) {
    Game<NW> &g = f.game;
    const Game<NW> before = g;
    const Hashes before_hashes = hashes(g);
    const Grid grid(g.board);
    const bool legal = ref_is_legal(g, grid, m);
    FUZZ_CHECK(g.is_legal_move(m) == legal);
    if (!g.make_move(m)) {
        FUZZ_CHECK(!legal);
        FUZZ_CHECK(same_game(g, before));
        return false;
    }
    FUZZ_CHECK(legal);
    // The piece lands in the lowest empty cell, which is m.row unless set_piece left a gap.
    unsigned landing = 0;
    while (grid.at(m.col, landing) != kCellEmpty) ++landing;
    FUZZ_CHECK(landing < f.h);
    if (f.by_moves) FUZZ_CHECK(landing == m.row);
    Board<NW> expect = before.board;
    const unsigned k = landing * f.w + m.col;
    (before.turn == Player::Red ? expect.red : expect.yellow).w[k / 64] |= uint64_t{1} << (k % 64);
    FUZZ_CHECK(same_board(g.board, expect));
    FUZZ_CHECK(g.history.size() == before.history.size() + 1);
    FUZZ_CHECK(std::equal(before.history.begin(), before.history.end(), g.history.begin()));
    FUZZ_CHECK((g.history.back() == Move{m.col, static_cast<uint8_t>(landing)}));
    FUZZ_CHECK(g.turn == other(before.turn));
    // The line test covers all of the mover's pieces, whatever set_piece put there.
    std::optional<GameOutcome> outcome;
    const Grid played(g.board);
    if (played.four(colour_of(before.turn))) outcome = win_for(before.turn);
    else if (played.top_row_full()) outcome = GameOutcome::Draw;
    FUZZ_CHECK(g.outcome == outcome);
    FUZZ_CHECK(g.over == outcome.has_value());

    const Game<NW> after = g;
    const Hashes after_hashes = hashes(g);
    FUZZ_CHECK(g.unmake_move());
    FUZZ_CHECK(same_game(g, before));
    FUZZ_CHECK(hashes(g) == before_hashes);
    FUZZ_CHECK(g.make_move(m));
    FUZZ_CHECK(same_game(g, after));
    FUZZ_CHECK(hashes(g) == after_hashes);
    return true;
}

template <int NW>
void unmake_checked(Fuzzed<NW> &f) {
    Game<NW> &g = f.game;
    const Game<NW> before = g;
    const bool ok = g.unmake_move();
    FUZZ_CHECK(ok == !before.history.empty());
    if (!ok) {
        FUZZ_CHECK(same_game(g, before));
        return;
    }
    const Move m = before.history.back();
    Board<NW> expect = before.board;
    const unsigned k = m.row * f.w + m.col;
    expect.red.w[k / 64] &= ~(uint64_t{1} << (k % 64));
    expect.yellow.w[k / 64] &= ~(uint64_t{1} << (k % 64));
    FUZZ_CHECK(same_board(g.board, expect));
    FUZZ_CHECK(std::equal(g.history.begin(), g.history.end(), before.history.begin()));
    FUZZ_CHECK(g.history.size() + 1 == before.history.size());
    FUZZ_CHECK(!g.over && !g.outcome && g.turn == other(before.turn));
}

/// A coordinate that is on the board most of the time: values with the top bit
/// set are taken as they are (off the board for every size), others reduced to
/// 0 .. dim, so that dim itself, the first cell off the edge, comes up too.
unsigned coordinate(uint8_t b, unsigned dim) { return b & 0x80 ? b : b % (dim + 1); }

/// A legal move picked by `b`, or none when there is none.
template <int NW>
std::optional<Move> pick_legal(const Game<NW> &g, uint8_t b) {
    const MoveList list = g.legal_moves();
    if (list.size == 0) return std::nullopt;
    return list[b % list.size];
}

template <int NW>
void run(unsigned w, unsigned h, Input in) {
    Fuzzed<NW> f(Game<NW>::make(w, h), BoardGeometry<NW>::make(w, h), w, h, true);
    check_geometry(f.geometry, w, h);
    FUZZ_CHECK(same_geometry(*f.game.geometry, f.geometry));
    check_all(f);
    // Bounds the work per input: a 32 x 32 board takes 1024 moves to fill.
    for (unsigned ops = 0; !in.empty() && ops < 4096; ++ops) {
        const uint8_t op = in.next();
        Game<NW> &g = f.game;
        switch (op % 12) {
        case 0:
        case 1:
        case 2: {  // a legal move, or a take-back when there is none
            const std::optional<Move> m = pick_legal(g, in.next());
            if (m) FUZZ_CHECK(play_checked(f, *m));
            else unmake_checked(f);
            break;
        }
        case 3: {  // any move at all: refused unless legal
            const uint8_t c = in.next(), r = in.next();
            play_checked(f, Move{static_cast<uint8_t>(coordinate(c, w)), static_cast<uint8_t>(coordinate(r, h))});
            break;
        }
        case 4: unmake_checked(f); break;
        case 5: {  // a cell write, on or off the board
            const unsigned c = coordinate(in.next(), w), r = coordinate(in.next(), h);
            const uint8_t p = in.next() % 3;
            const std::optional<Player> piece =
                p == 0 ? std::nullopt : std::optional<Player>(p == 1 ? Player::Red : Player::Yellow);
            const Game<NW> before = g;
            g.board.set_piece(c, r, piece);
            Board<NW> expect = before.board;
            if (c < w && r < h) {
                const unsigned k = r * w + c;
                const uint64_t b = uint64_t{1} << (k % 64);
                expect.red.w[k / 64] &= ~b;
                expect.yellow.w[k / 64] &= ~b;
                if (piece) (*piece == Player::Red ? expect.red : expect.yellow).w[k / 64] |= b;
                FUZZ_CHECK(g.board.get_piece(c, r) == piece);
                if (!same_board(expect, before.board)) f.by_moves = false;
            } else {
                FUZZ_CHECK(!g.board.get_piece(c, r));
            }
            FUZZ_CHECK(same_board(g.board, expect));
            FUZZ_CHECK(g.turn == before.turn && g.over == before.over && g.outcome == before.outcome &&
                       g.history == before.history);
            break;
        }
        case 6: {  // an action index, decoded and played
            const uint8_t b = in.next();
            const uint64_t action = b < 0xf0 ? b % (w + 2) : in.next_u64();
            const std::optional<Move> m = decode_move(action, g.board, *g.geometry);
            if (m) {
                const bool played = play_checked(f, *m);
                if (f.by_moves && !g.over) FUZZ_CHECK(played);
            }
            break;
        }
        case 7: {  // play on a copy; the original must not see it
            const Game<NW> before = g;
            const Hashes before_hashes = hashes(g);
            Fuzzed<NW> c(g, f.geometry, w, h, f.by_moves);
            const unsigned n = in.next() % 16;
            unsigned played = 0;
            for (unsigned i = 0; i < n; ++i) {
                const std::optional<Move> m = pick_legal(c.game, in.next());
                if (!m) break;
                FUZZ_CHECK(play_checked(c, *m));
                ++played;
            }
            check_all(c);
            FUZZ_CHECK(same_game(g, before));
            FUZZ_CHECK(hashes(g) == before_hashes);
            for (unsigned i = 0; i < played; ++i) FUZZ_CHECK(c.game.unmake_move());
            FUZZ_CHECK(same_game(c.game, g));
            FUZZ_CHECK(hashes(c.game) == before_hashes);
            Game<NW> moved = std::move(c.game);
            FUZZ_CHECK(same_game(moved, g));
            g = moved;
            break;
        }
        case 8: {  // a run of legal moves from a small generator, to reach full boards
            uint32_t x = 0x9e3779b9u ^ in.next();
            const unsigned n = 1 + in.next() * 4u;
            for (unsigned i = 0; i < n; ++i) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                const std::optional<Move> m = pick_legal(g, static_cast<uint8_t>(x >> 8));
                if (!m) break;
                FUZZ_CHECK(play_checked(f, *m));
            }
            break;
        }
        case 9: {  // several take-backs
            const unsigned n = 1 + in.next() % 8;
            for (unsigned i = 0; i < n; ++i) unmake_checked(f);
            break;
        }
        case 10: {  // the drawing, against a cell scan
            std::string expect;
            for (unsigned r = h; r-- > 0;) {
                expect += '|';
                for (unsigned c = 0; c < w; ++c) {
                    const uint8_t cell = cell_at(g.board, c, r);
                    expect += cell == kCellRed ? 'R' : cell == kCellYellow ? 'Y' : '.';
                    expect += '|';
                }
                expect += '\n';
            }
            expect += ' ';
            for (unsigned c = 0; c < w; ++c) expect += std::to_string(c) + ' ';
            expect += '\n';
            FUZZ_CHECK(g.board.to_string() == expect);
            // A sink that gives up after `stop` pieces stops the drawing there.
            const unsigned stop = in.next();
            unsigned calls = 0;
            const bool done = g.board.render([&](std::string_view) { return ++calls <= stop; });
            FUZZ_CHECK(done == (calls <= stop));
            break;
        }
        case 11: {  // a fresh game of the same size replaying the history gives the same state
            if (!f.by_moves) break;
            Game<NW> replay = Game<NW>::make(w, h);
            for (Move m : g.history) FUZZ_CHECK(replay.make_move(m));
            FUZZ_CHECK(same_game(replay, g));
            FUZZ_CHECK(hashes(replay) == hashes(g));
            break;
        }
        }
        check_all(f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size < 2) return 0;
    const unsigned w = kMinDimension + data[0] % (kMaxDimension - kMinDimension + 1);
    const unsigned h = kMinDimension + data[1] % (kMaxDimension - kMinDimension + 1);
    with_word_count(words_for(w, h), [&](auto nw) { run<nw.value>(w, h, Input(data + 2, size - 2)); });
    return 0;
}
