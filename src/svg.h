// SVG drawings of boards and games for notebooks: the grid with row 0 at the
// bottom, the discs, the column numbers, the side to move or the result, and
// the winning four. Self-contained markup: no scripts, fonts or links.
#pragma once

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>

#include "board.h"
#include "game.h"

namespace gravline {

/// Colours of the drawing. Tests sample them back from rendered pixels.
inline constexpr std::string_view kSvgRed = "#d7263d";
inline constexpr std::string_view kSvgYellow = "#f6c90e";
inline constexpr std::string_view kSvgHole = "#f4f6fa";
inline constexpr std::string_view kSvgFrame = "#1b4f9c";
inline constexpr std::string_view kSvgMark = "#1a1a1a";
inline constexpr std::string_view kSvgInk = "#222222";

/// The grid is at most this many pixels wide, so a 32-column board fits a
/// notebook cell; cells are never smaller than kSvgMinCell (two-digit column
/// numbers stay readable) nor larger than kSvgMaxCell (a 4x4 board is not huge).
inline constexpr unsigned kSvgMaxGridWidth = 544;
inline constexpr unsigned kSvgMinCell = 17;
inline constexpr unsigned kSvgMaxCell = 48;

/// Side of one cell in pixels for a board `width` columns wide: 48 up to 11
/// columns, then shrinking to 17 at 32 columns.
constexpr unsigned svg_cell_size(unsigned width) {
    return std::clamp(kSvgMaxGridWidth / std::max(width, 1u), kSvgMinCell, kSvgMaxCell);
}

/// Four cells in a line, as moves (column, row).
using Four = std::array<Move, 4>;

/// A line of four of `p`'s pieces on the board, or none. A line through
/// `through` (the last move, say) is preferred; otherwise the first one found
/// scanning rows from the bottom, columns from the left.
template <int NW>
std::optional<Four> find_four(const Board<NW> &b, Player p, std::optional<Move> through = std::nullopt) {
    static constexpr int kDirections[4][2] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
    const auto mine = [&](int c, int r) {
        return c >= 0 && r >= 0 && b.get_piece(static_cast<unsigned>(c), static_cast<unsigned>(r)) == p;
    };
    // The line starting at (c, r) along direction d, if all four are p's.
    const auto line = [&](int c, int r, const int *d) -> std::optional<Four> {
        Four four;
        for (int i = 0; i < 4; ++i) {
            const int x = c + i * d[0], y = r + i * d[1];
            if (!mine(x, y)) return std::nullopt;
            four[i] = Move{static_cast<uint8_t>(x), static_cast<uint8_t>(y)};
        }
        return four;
    };
    if (through && mine(through->col, through->row)) {
        for (const auto &d : kDirections)
            for (int back = 3; back >= 0; --back)
                if (auto f = line(through->col - back * d[0], through->row - back * d[1], d)) return f;
    }
    for (int r = 0; r < b.height; ++r)
        for (int c = 0; c < b.width; ++c)
            for (const auto &d : kDirections)
                if (auto f = line(c, r, d)) return f;
    return std::nullopt;
}

/// What a drawing shows besides the board. With neither `to_move` nor
/// `outcome` there is no caption line.
struct SvgMarks {
    std::optional<Player> to_move;       // "Red to move"
    std::optional<GameOutcome> outcome;  // "Red wins", "Draw"; wins over to_move
    std::optional<Four> four;            // drawn ringed, with a dark centre
};

namespace svg_detail {

/// A coordinate with at most two decimals and no trailing zeros, whatever the locale.
inline void append_number(std::string &out, double v) {
    char buf[32];
    const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 2);
    std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
    while (s.back() == '0') s.remove_suffix(1);
    if (s.back() == '.') s.remove_suffix(1);
    out.append(s == "-0" ? "0" : s);
}

/// Appends `name="value"` pairs and numbers without a stream.
struct Writer {
    std::string out;

    Writer &raw(std::string_view s) {
        out.append(s);
        return *this;
    }
    Writer &attr(std::string_view name, double v) {
        out.append(" ").append(name).append("=\"");
        append_number(out, v);
        out.append("\"");
        return *this;
    }
    Writer &attr(std::string_view name, std::string_view v) {
        out.append(" ").append(name).append("=\"").append(v).append("\"");
        return *this;
    }
    Writer &circle(double cx, double cy, double r, std::string_view fill) {
        raw("<circle").attr("cx", cx).attr("cy", cy).attr("r", r).attr("fill", fill);
        return raw("/>");
    }
};

inline std::string_view colour(Player p) { return p == Player::Red ? kSvgRed : kSvgYellow; }

}  // namespace svg_detail

/// The board as one SVG document (UTF-8 text, ASCII only). Row 0 is drawn at
/// the bottom and column numbers run under the grid:
///
///   [disc] Red to move          caption, when `marks` asks for one
///   +---------------+
///   | o o o o o o o |           top row (height - 1)
///   | o o o R o o o |
///   | o o o Y R o o |           row 0
///   +---------------+
///     0 1 2 3 4 5 6
template <int NW>
std::string board_svg(const Board<NW> &b, const SvgMarks &marks = {}) {
    using svg_detail::Writer;
    const unsigned w = b.width, h = b.height;
    const double cell = svg_cell_size(w);
    const double margin = 8, caption_font = 14, label_font = std::clamp(cell * 0.45, 8.0, 14.0);
    const bool caption = marks.outcome || marks.to_move;
    const double caption_band = caption ? caption_font + 12 : 0;
    const double grid_x = margin, grid_y = margin + caption_band;
    const double total_w = std::max(2 * margin + w * cell, 150.0);
    const double total_h = grid_y + h * cell + label_font + 10;
    // Cell (c, r) has its centre here; rows count up from the bottom.
    const auto cx = [&](unsigned c) { return grid_x + (c + 0.5) * cell; };
    const auto cy = [&](unsigned r) { return grid_y + (h - 1 - r + 0.5) * cell; };

    std::string text;
    if (marks.outcome) text = display_name(*marks.outcome);
    else if (marks.to_move) text = std::string(player_name(*marks.to_move)) + " to move";
    const std::string size = std::to_string(w) + "x" + std::to_string(h);

    Writer s;
    s.out.reserve(static_cast<std::size_t>(w) * h * 64 + 1024);
    s.raw("<svg xmlns=\"http://www.w3.org/2000/svg\"")
        .attr("width", total_w).attr("height", total_h)
        .raw(" viewBox=\"0 0 ");
    svg_detail::append_number(s.out, total_w);
    s.raw(" ");
    svg_detail::append_number(s.out, total_h);
    s.raw("\" font-family=\"sans-serif\">");
    s.raw("<title>").raw(size).raw(" board").raw(caption ? ", " : "").raw(text).raw("</title>");
    s.raw("<rect").attr("width", total_w).attr("height", total_h).attr("fill", "#ffffff").raw("/>");

    if (caption) {
        const double y = margin + caption_font / 2 + 2;
        std::optional<Player> disc = marks.to_move;
        if (marks.outcome) disc = winner(*marks.outcome);
        double x = margin;
        if (disc) {
            s.circle(x + 7, y, 7, svg_detail::colour(*disc));
            x += 20;
        }
        s.raw("<text").attr("x", x).attr("y", y).attr("font-size", caption_font)
            .attr("dominant-baseline", "central").attr("fill", kSvgInk).raw(">")
            .raw(text).raw("</text>");
    }

    s.raw("<rect").attr("x", grid_x).attr("y", grid_y).attr("width", w * cell)
        .attr("height", h * cell).attr("rx", cell * 0.15).attr("fill", kSvgFrame).raw("/>");
    for (unsigned r = 0; r < h; ++r) {
        for (unsigned c = 0; c < w; ++c) {
            const std::optional<Player> p = b.get_piece(c, r);
            s.circle(cx(c), cy(r), cell * 0.4, p ? svg_detail::colour(*p) : kSvgHole);
        }
    }
    if (marks.four) {
        // A dark ring and centre on each disc of the four; the disc's colour
        // still shows between them.
        for (const Move m : *marks.four) {
            s.raw("<circle").attr("cx", cx(m.col)).attr("cy", cy(m.row)).attr("r", cell * 0.36)
                .attr("fill", "none").attr("stroke", kSvgMark).attr("stroke-width", cell * 0.08)
                .raw("/>");
            s.circle(cx(m.col), cy(m.row), cell * 0.12, kSvgMark);
        }
    }
    const double label_y = grid_y + h * cell + 4 + label_font / 2;
    for (unsigned c = 0; c < w; ++c) {
        s.raw("<text").attr("x", cx(c)).attr("y", label_y).attr("font-size", label_font)
            .attr("text-anchor", "middle").attr("dominant-baseline", "central")
            .attr("fill", kSvgInk).raw(">").raw(std::to_string(c)).raw("</text>");
    }
    s.raw("</svg>");
    return std::move(s.out);
}

/// The game's board with its caption: the side to move while it runs, the
/// result once it is over, and for a win the winning four (through the last
/// move when one passes there).
template <int NW>
std::string game_svg(const Game<NW> &g) {
    SvgMarks marks;
    if (g.outcome) {
        marks.outcome = g.outcome;
        if (const std::optional<Player> p = winner(*g.outcome)) {
            std::optional<Move> last;
            if (!g.history.empty()) last = g.history.back();
            marks.four = find_four(g.board, *p, last);
        }
    } else {
        marks.to_move = g.turn;
    }
    return board_svg(g.board, marks);
}

}  // namespace gravline
