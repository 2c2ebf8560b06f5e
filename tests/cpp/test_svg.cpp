// SVG drawings: finding the winning four, and the drawing's parts (the pixels
// are checked by the module tests through a real renderer).
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "../../src/svg.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

std::size_t count_of(std::string_view text, std::string_view part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

Move mv(unsigned c, unsigned r) { return Move{static_cast<uint8_t>(c), static_cast<uint8_t>(r)}; }

}  // namespace

template <class T>
class SvgTest : public ::testing::Test {};
TYPED_TEST_SUITE(SvgTest, WordCounts);

TYPED_TEST(SvgTest, FourThroughTheLastMoveIsPreferred) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        if (s.width < 5 || s.height < 5) continue;
        auto b = Board<NW>::make(s.width, s.height);
        // A vertical four in column 0, and a rising diagonal from (1, 0) to (4, 3).
        for (unsigned r = 0; r < 4; ++r) b.set_piece(0, r, Player::Red);
        for (unsigned i = 0; i < 4; ++i) b.set_piece(i + 1, i, Player::Red);
        const Four vertical{mv(0, 0), mv(0, 1), mv(0, 2), mv(0, 3)};
        const Four diagonal{mv(1, 0), mv(2, 1), mv(3, 2), mv(4, 3)};
        EXPECT_EQ(find_four(b, Player::Red), vertical);
        EXPECT_EQ(find_four(b, Player::Red, mv(3, 2)), diagonal);
        // A last move outside every four, or on another colour's cell, falls back to the scan.
        EXPECT_EQ(find_four(b, Player::Red, mv(s.width - 1, 0)), vertical);
        EXPECT_EQ(find_four(b, Player::Yellow), std::nullopt);
        b.set_piece(0, 3, Player::Yellow);
        EXPECT_EQ(find_four(b, Player::Red), diagonal);
        b.set_piece(4, 3, std::nullopt);
        EXPECT_EQ(find_four(b, Player::Red), std::nullopt);
    }
}

TYPED_TEST(SvgTest, FourOnTheFarEdgesAndAlongTheFallingDiagonal) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        const unsigned w = s.width, h = s.height;
        auto b = Board<NW>::make(w, h);
        // The top row's last four cells: a line that ends on the board's corner.
        for (unsigned c = w - 4; c < w; ++c) b.set_piece(c, h - 1, Player::Yellow);
        const Four top{mv(w - 4, h - 1), mv(w - 3, h - 1), mv(w - 2, h - 1), mv(w - 1, h - 1)};
        EXPECT_EQ(find_four(b, Player::Yellow, mv(w - 1, h - 1)), top);
        b.clear();
        // Falling from (0, 3) to (3, 0); a piece of the other colour beyond its end is ignored.
        for (unsigned i = 0; i < 4; ++i) b.set_piece(i, 3 - i, Player::Yellow);
        b.set_piece(3, 1, Player::Red);
        const Four falling{mv(0, 3), mv(1, 2), mv(2, 1), mv(3, 0)};
        EXPECT_EQ(find_four(b, Player::Yellow, mv(2, 1)), falling);
        EXPECT_EQ(find_four(b, Player::Yellow), falling);
        EXPECT_EQ(find_four(b, Player::Red), std::nullopt);
    }
}

TYPED_TEST(SvgTest, DrawingHasEveryCellAndColumnNumber) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        auto b = Board<NW>::make(s.width, s.height);
        b.set_piece(0, 0, Player::Red);
        b.set_piece(1, 0, Player::Yellow);
        const std::string svg = board_svg(b);
        EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
        EXPECT_EQ(svg.substr(svg.size() - 6), "</svg>");
        EXPECT_EQ(count_of(svg, "<circle"), std::size_t{s.width} * s.height);
        EXPECT_EQ(count_of(svg, kSvgRed), 1u);
        EXPECT_EQ(count_of(svg, kSvgYellow), 1u);
        EXPECT_EQ(count_of(svg, kSvgHole), std::size_t{s.width} * s.height - 2);
        EXPECT_NE(svg.find(">" + std::to_string(s.width - 1) + "</text>"), std::string::npos);
        EXPECT_EQ(svg.find(">" + std::to_string(s.width) + "</text>"), std::string::npos);
        EXPECT_EQ(svg.find("script"), std::string::npos);
        EXPECT_EQ(svg.find("href"), std::string::npos);
        // No caption without a side to move or a result.
        EXPECT_EQ(svg.find("to move"), std::string::npos);
    }
}

TEST(SvgSize, CellsShrinkFromElevenColumnsAndTheWidestBoardFits) {
    EXPECT_EQ(svg_cell_size(4), kSvgMaxCell);
    EXPECT_EQ(svg_cell_size(11), kSvgMaxCell);
    EXPECT_LT(svg_cell_size(12), kSvgMaxCell);
    EXPECT_EQ(svg_cell_size(32), kSvgMinCell);
    for (unsigned w = 4; w <= 32; ++w) {
        EXPECT_LE(svg_cell_size(w) * w, kSvgMaxGridWidth) << w;
        EXPECT_LE(svg_cell_size(w + 1), svg_cell_size(w)) << w;
    }
    const std::string svg = board_svg(Board<16>::make(32, 32));
    EXPECT_EQ(svg.find("width=\"560\" height=\"570\""), svg.find("width="));
}

TEST(SvgGame, CaptionAndWinningFour) {
    auto g = Game<1>::make(7, 6);
    EXPECT_NE(game_svg(g).find(">Red to move</text>"), std::string::npos);
    play(g, {3});
    EXPECT_NE(game_svg(g).find(">Yellow to move</text>"), std::string::npos);
    // Red wins with (0..3, 0) after Yellow's pieces on row 1.
    g = Game<1>::make(7, 6);
    play(g, {0, 0, 1, 1, 2, 2, 3});
    ASSERT_EQ(g.outcome, GameOutcome::RedWin);
    const std::string svg = game_svg(g);
    EXPECT_NE(svg.find(">Red wins</text>"), std::string::npos);
    EXPECT_EQ(svg.find("to move"), std::string::npos);
    EXPECT_EQ(count_of(svg, kSvgMark), 8u);  // a ring and a centre per disc
    // Taken back, the game runs again and nothing is marked.
    g.unmake_move();
    EXPECT_EQ(count_of(game_svg(g), kSvgMark), 0u);
}

TEST(SvgGame, DrawHasNoFourAndNoDisc) {
    // 4x4 filled column pairs, alternating colours so no line forms.
    auto g = Game<1>::make(4, 4);
    play(g, {0, 1, 0, 1, 1, 0, 1, 0, 2, 3, 2, 3, 3, 2, 3, 2});
    ASSERT_EQ(g.outcome, GameOutcome::Draw);
    const std::string svg = game_svg(g);
    EXPECT_NE(svg.find(">Draw</text>"), std::string::npos);
    EXPECT_EQ(count_of(svg, kSvgMark), 0u);
    EXPECT_EQ(count_of(svg, "<circle"), 16u);
}

TEST(SvgNumbers, TwoDecimalsAtMostAndNoTrailingZeros) {
    const auto text = [](double v) {
        std::string s;
        svg_detail::append_number(s, v);
        return s;
    };
    EXPECT_EQ(text(12), "12");
    EXPECT_EQ(text(0.5), "0.5");
    EXPECT_EQ(text(6.8), "6.8");
    EXPECT_EQ(text(1.0 / 3), "0.33");
    EXPECT_EQ(text(-0.001), "0");
}
