// Saved states: the versioned byte form of boards, games, moves and outcomes
// that pickling uses, and the checks that refuse any saved game or board that
// play, take-back and set_piece could not have produced.
//
// Version 1. Every field is one byte except the history length (u32, little-endian):
//
//   0 version (1)   1 kind: 'B' board, 'G' game, 'M' move, 'O' outcome
//   move     2 col   3 row                                              4 bytes
//   outcome  2 0 Red wins, 1 Yellow wins, 2 draw                        3 bytes
//   board    2 width   3 height   4.. red cells, yellow cells           4 + 2n bytes
//   game     2 width   3 height   4 turn (0x01 Red, 0xFF Yellow)
//            5 status: 0 in progress, 1 Red won, 2 Yellow won, 3 draw
//            6..9 m, the number of moves in the history
//            10.. red cells, yellow cells, then m moves oldest first,
//            col byte then row byte                                     10 + 2n + 2m bytes
//
// A cell set is n = ceil(width * height / 8) bytes; cell (col, row) is bit
// k % 8 of byte k / 8, k = row * width + col. For 7 x 6 a set is 6 bytes and
// the cell (3, 1), k = 10, is bit 2 of byte 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "game.h"

namespace gravline {

inline constexpr uint8_t kStateVersion = 1;

enum class StateKind : uint8_t { Board = 'B', Game = 'G', Move = 'M', Outcome = 'O' };

/// Bytes before the cell sets of a board and of a game.
inline constexpr std::size_t kBoardHeader = 4;
inline constexpr std::size_t kGameHeader = 10;

using Bytes = std::vector<uint8_t>;

/// Bytes of one cell set of a width x height board.
constexpr std::size_t cell_set_bytes(unsigned width, unsigned height) {
    return (std::size_t{width} * height + 7) / 8;
}

namespace detail {

template <int NW>
void put_cells(Bytes &out, const Bitboard<NW> &cells, unsigned n_cells) {
    const std::size_t at = out.size();
    out.resize(at + (n_cells + 7) / 8, 0);
    cells.for_each_bit([&](unsigned k) {
        if (k < n_cells) out[at + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
    });
}

/// Reads one cell set; false when a bit past the last cell is set.
template <int NW>
bool get_cells(std::span<const uint8_t> in, Bitboard<NW> &cells, unsigned n_cells) {
    for (std::size_t i = 0; i < in.size(); ++i)
        for (uint8_t b = in[i]; b; b &= b - 1) {
            const unsigned k = static_cast<unsigned>(8 * i) + std::countr_zero(b);
            if (k >= n_cells) return false;
            cells.set_bit(k);
        }
    return true;
}

inline void put_header(Bytes &out, StateKind kind) {
    out.push_back(kStateVersion);
    out.push_back(static_cast<uint8_t>(kind));
}

}  // namespace detail

/// What the first bytes of a saved state say: its kind, and the size of a board or game.
struct StateHeader {
    StateKind kind{};
    unsigned width = 0;
    unsigned height = 0;
};

/// Reads the version, the kind and, for a board or game, a size within 4..32.
/// Answers the reason for refusing the bytes, or nullptr when they may be loaded
/// as `header.kind` (which then checks the rest).
inline const char *read_state_header(std::span<const uint8_t> in, StateHeader &header) {
    if (in.size() < 2) return "too short";
    if (in[0] != kStateVersion) return "unknown version";
    switch (in[1]) {
    case 'B':
    case 'G':
        if (in.size() < kBoardHeader) return "too short";
        if (!dimension_ok(in[2]) || !dimension_ok(in[3])) return "size outside 4..32";
        header.width = in[2];
        header.height = in[3];
        break;
    case 'M':
    case 'O':
        break;
    default:
        return "unknown kind";
    }
    header.kind = static_cast<StateKind>(in[1]);
    return nullptr;
}

inline Bytes save_state(Move m) {
    Bytes out;
    detail::put_header(out, StateKind::Move);
    out.push_back(m.col);
    out.push_back(m.row);
    return out;
}

inline Bytes save_state(GameOutcome o) {
    Bytes out;
    detail::put_header(out, StateKind::Outcome);
    out.push_back(static_cast<uint8_t>(o));
    return out;
}

template <int NW>
Bytes save_state(const Board<NW> &b) {
    Bytes out;
    detail::put_header(out, StateKind::Board);
    out.push_back(b.width);
    out.push_back(b.height);
    const unsigned n = b.width * b.height;
    detail::put_cells(out, b.red, n);
    detail::put_cells(out, b.yellow, n);
    return out;
}

template <int NW>
Bytes save_state(const Game<NW> &g) {
    Bytes out;
    detail::put_header(out, StateKind::Game);
    out.push_back(g.board.width);
    out.push_back(g.board.height);
    out.push_back(static_cast<uint8_t>(g.turn));
    out.push_back(g.outcome ? static_cast<uint8_t>(*g.outcome) + 1 : 0);
    // Four bytes hold 2^32 - 1 moves; each move needs a piece and no play reaches that.
    if (g.history.size() > UINT32_MAX) fatal("history too long to save");
    const auto m = static_cast<uint32_t>(g.history.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(m >> (8 * i)));
    const unsigned n = g.board.width * g.board.height;
    detail::put_cells(out, g.board.red, n);
    detail::put_cells(out, g.board.yellow, n);
    for (std::size_t i = 0; i < g.history.size(); ++i) {
        out.push_back(g.history[i].col);
        out.push_back(g.history[i].row);
    }
    return out;
}

// Each load_state reads the whole of `in`, header included, and answers the
// reason for refusing it (nullptr when `out` holds the loaded value).

inline const char *load_state(std::span<const uint8_t> in, Move &out) {
    if (in.size() != 4 || in[0] != kStateVersion || in[1] != 'M') return "not a saved move";
    out = Move{in[2], in[3]};
    return nullptr;
}

inline const char *load_state(std::span<const uint8_t> in, GameOutcome &out) {
    if (in.size() != 3 || in[0] != kStateVersion || in[1] != 'O') return "not a saved outcome";
    if (in[2] > static_cast<uint8_t>(GameOutcome::Draw)) return "unknown outcome";
    out = static_cast<GameOutcome>(in[2]);
    return nullptr;
}

/// Refuses a board whose sets reach past its cells or share a cell: neither
/// set_piece nor play can make one, and the line test and the column counts
/// take both for granted.
template <int NW>
const char *load_state(std::span<const uint8_t> in, Board<NW> &out) {
    StateHeader h;
    if (const char *why = read_state_header(in, h)) return why;
    if (h.kind != StateKind::Board) return "not a saved board";
    if (words_for(h.width, h.height) != NW) return "size of another word count";
    const std::size_t n = cell_set_bytes(h.width, h.height);
    if (in.size() != kBoardHeader + 2 * n) return "wrong length";
    Board<NW> b = Board<NW>::make(h.width, h.height);
    const unsigned cells = h.width * h.height;
    if (!detail::get_cells(in.subspan(kBoardHeader, n), b.red, cells) ||
        !detail::get_cells(in.subspan(kBoardHeader + n, n), b.yellow, cells))
        return "a piece off the board";
    if (!(b.red & b.yellow).empty()) return "a cell holds both colours";
    out = b;
    return nullptr;
}

/// Accepts exactly the games that Game(width, height), moves, take-backs and
/// set_piece can reach:
///  - the board as for a saved board: any pieces on the board, one colour a cell
///    (set_piece can put any piece anywhere at any time);
///  - any number of history moves, each on a cell of the board, the cell holding
///    anything (set_piece may have changed it since); each landed where a move
///    could land, which a set_piece edit can arrange for any cell;
///  - Red to move exactly when the history has an even length (every move and
///    take-back passes the turn, and set_piece keeps it);
///  - finished only with a history, and a win belongs to the player who made
///    the last move (the ending move passes the turn, so to the one not to move).
template <int NW>
const char *load_state(std::span<const uint8_t> in, Game<NW> &out) {
    StateHeader h;
    if (const char *why = read_state_header(in, h)) return why;
    if (h.kind != StateKind::Game) return "not a saved game";
    if (words_for(h.width, h.height) != NW) return "size of another word count";
    if (in.size() < kGameHeader) return "too short";
    const std::size_t n = cell_set_bytes(h.width, h.height);
    uint64_t m = 0;
    for (int i = 0; i < 4; ++i) m |= uint64_t{in[6 + i]} << (8 * i);
    // Compared as a count of the bytes present, so a huge m cannot wrap around.
    if (in.size() < kGameHeader + 2 * n) return "wrong length";
    const std::size_t rest = in.size() - kGameHeader - 2 * n;
    if (rest % 2 != 0 || rest / 2 != m) return "wrong length";
    const uint8_t turn = in[4], status = in[5];
    if (turn != 0x01 && turn != 0xFF) return "turn is neither Red nor Yellow";
    if (status > 3) return "unknown status";
    Game<NW> g = Game<NW>::make(h.width, h.height);
    const unsigned cells = h.width * h.height;
    if (!detail::get_cells(in.subspan(kGameHeader, n), g.board.red, cells) ||
        !detail::get_cells(in.subspan(kGameHeader + n, n), g.board.yellow, cells))
        return "a piece off the board";
    if (!(g.board.red & g.board.yellow).empty()) return "a cell holds both colours";
    g.turn = static_cast<Player>(static_cast<int8_t>(turn));
    if ((g.turn == Player::Red) != (m % 2 == 0)) return "the turn does not follow from the history";
    if (status != 0) {
        if (m == 0) return "a finished game without moves";
        g.over = true;
        g.outcome = static_cast<GameOutcome>(status - 1);
        const std::optional<Player> w = winner(*g.outcome);
        if (w && *w == g.turn) return "the winner is not the player who moved last";
    }
    for (std::size_t at = kGameHeader + 2 * n; at < in.size(); at += 2) {
        const Move mv{in[at], in[at + 1]};
        if (!g.board.on_board(mv.col, mv.row)) return "a history move off the board";
        g.history.push_back(mv);
    }
    out = std::move(g);
    return nullptr;
}

}  // namespace gravline
