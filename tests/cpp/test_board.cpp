// Board: cells, gravity questions, drops and the text drawing.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>

#include "../../src/board.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

template <class T>
class BoardTest : public ::testing::Test {};
TYPED_TEST_SUITE(BoardTest, WordCounts);

TYPED_TEST(BoardTest, FreshBoardAndOffBoardQueries) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        const auto g = BoardGeometry<NW>::make(s.width, s.height);
        const auto b = Board<NW>::make(s.width, s.height);
        for (unsigned c = 0; c < s.width; ++c) {
            EXPECT_EQ(b.column_height(c, g), 0u);
            EXPECT_FALSE(b.is_column_full(c));
        }
        for (unsigned c : {s.width, s.width + 1, 32u, 200u, 255u}) {
            EXPECT_EQ(b.column_height(c, g), 0u) << c;
            EXPECT_TRUE(b.is_column_full(c)) << c;
        }
        EXPECT_FALSE(b.is_board_full(g));
        EXPECT_EQ(b.get_piece(s.width, 0), std::nullopt);
        EXPECT_EQ(b.get_piece(0, s.height), std::nullopt);
    }
}

TYPED_TEST(BoardTest, SetPieceReplacesEmptiesAndIgnoresOffBoard) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        auto b = Board<NW>::make(s.width, s.height);
        const unsigned c = s.width - 1, r = s.height - 1, k = r * s.width + c;
        b.set_piece(c, r, Player::Yellow);
        EXPECT_EQ(b.get_piece(c, r), Player::Yellow);
        b.set_piece(c, r, Player::Red);
        EXPECT_EQ(b.get_piece(c, r), Player::Red);
        EXPECT_TRUE(b.red.get_bit(k));
        EXPECT_FALSE(b.yellow.get_bit(k));
        b.set_piece(c, r, std::nullopt);
        EXPECT_EQ(b.get_piece(c, r), std::nullopt);
        EXPECT_TRUE(b.red.empty() && b.yellow.empty());

        const auto before = b;
        b.set_piece(s.width, 0, Player::Red);
        b.set_piece(0, s.height, Player::Yellow);
        b.set_piece(255, 255, Player::Red);
        EXPECT_EQ(b.red, before.red);
        EXPECT_EQ(b.yellow, before.yellow);
    }
}

TYPED_TEST(BoardTest, DropFillsEachColumnBottomUpThenRefuses) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        const auto g = BoardGeometry<NW>::make(s.width, s.height);
        auto b = Board<NW>::make(s.width, s.height);
        for (unsigned c = 0; c < s.width; ++c) {
            for (unsigned r = 0; r < s.height; ++r) {
                const Player p = (r + c) % 2 ? Player::Yellow : Player::Red;
                ASSERT_EQ(b.drop_piece(c, p, g), std::optional<unsigned>(r));
                ASSERT_EQ(b.get_piece(c, r), p);
                ASSERT_EQ(b.column_height(c, g), r + 1);
                ASSERT_EQ(b.is_column_full(c), r + 1 == s.height);
            }
            const auto before = b;
            EXPECT_EQ(b.drop_piece(c, Player::Red, g), std::nullopt);
            EXPECT_EQ(b.red, before.red);
            EXPECT_EQ(b.yellow, before.yellow);
            EXPECT_EQ(b.is_board_full(g), c + 1 == s.width);
        }
        EXPECT_EQ(b.drop_piece(s.width, Player::Red, g), std::nullopt);
        // No bit beyond the board was ever set.
        EXPECT_EQ((b.red | b.yellow), Bitboard<NW>::first_bits(s.width * s.height));
    }
}

TYPED_TEST(BoardTest, FloatingPiecesCountAndTheTopCellDecidesFullness) {
    constexpr int NW = TypeParam::value;
    const Size s = sizes_for<NW>().front();
    const auto g = BoardGeometry<NW>::make(s.width, s.height);
    auto b = Board<NW>::make(s.width, s.height);
    // A lone piece in the top cell: the column counts one piece and is full.
    b.set_piece(1, s.height - 1, Player::Red);
    EXPECT_EQ(b.column_height(1, g), 1u);
    EXPECT_TRUE(b.is_column_full(1));
    EXPECT_EQ(b.drop_piece(1, Player::Yellow, g), std::optional<unsigned>(0));
    // Pieces at rows 0 and 2: the height is the count 2, not the gap at row 1.
    b.set_piece(2, 0, Player::Red);
    b.set_piece(2, 2, Player::Yellow);
    EXPECT_EQ(b.column_height(2, g), 2u);
    EXPECT_FALSE(b.is_column_full(2));
    EXPECT_EQ(b.drop_piece(2, Player::Red, g), std::optional<unsigned>(1));

    // The top row alone makes the board full; an empty cell in it does not.
    b.clear();
    for (unsigned c = 0; c < s.width; ++c) b.set_piece(c, s.height - 1, Player::Yellow);
    EXPECT_TRUE(b.is_board_full(g));
    b.set_piece(s.width - 1, s.height - 1, std::nullopt);
    for (unsigned r = 0; r + 1 < s.height; ++r) b.set_piece(s.width - 1, r, Player::Red);
    EXPECT_FALSE(b.is_board_full(g));
}

TEST(Board, MakeChecksTheSize) {
    EXPECT_EQ(internal_error_text([] { Board<1>::make(3, 6); }),
              "Board width must be between 4 and 32");
    EXPECT_EQ(internal_error_text([] { Board<1>::make(7, 33); }),
              "Board height must be between 4 and 32");
    EXPECT_EQ(internal_error_text([] { Board<2>::make(7, 6); }),
              "NW=2 does not match board 7x6 (need 1)");
}

TEST(Board, DrawsTheStandardBoard) {
    auto b = Board<1>::make(7, 6);
    b.set_piece(0, 0, Player::Red);
    b.set_piece(6, 5, Player::Yellow);
    EXPECT_EQ(b.to_string(),
              "|.|.|.|.|.|.|Y|\n"
              "|.|.|.|.|.|.|.|\n"
              "|.|.|.|.|.|.|.|\n"
              "|.|.|.|.|.|.|.|\n"
              "|.|.|.|.|.|.|.|\n"
              "|R|.|.|.|.|.|.|\n"
              " 0 1 2 3 4 5 6 \n");
}

TEST(Board, LabelsKeepEveryDigit) {
    const auto b12 = Board<1>::make(12, 4);
    const std::string text = b12.to_string();
    EXPECT_TRUE(text.ends_with("|\n 0 1 2 3 4 5 6 7 8 9 10 11 \n")) << text;
    EXPECT_EQ(text.substr(0, 26), "|.|.|.|.|.|.|.|.|.|.|.|.|\n");

    const std::string big = Board<16>::make(32, 32).to_string();
    EXPECT_EQ(std::count(big.begin(), big.end(), '\n'), 33);
    EXPECT_NE(big.find("\n 0 1 2 3 4 5 6 7 8 9 10 "), std::string::npos);
    EXPECT_TRUE(big.ends_with(" 28 29 30 31 \n"));
}

TEST(Board, DrawingStopsWhenTheSinkRefuses) {
    const auto b = Board<1>::make(7, 6);
    const std::string full = b.to_string();
    for (int allowed = 0; allowed < 10; ++allowed) {
        std::string out;
        int calls = 0;
        const bool ok = b.render([&](std::string_view s) {
            ++calls;
            if (calls > allowed) return false;
            out.append(s);
            return true;
        });
        EXPECT_FALSE(ok);
        EXPECT_EQ(calls, allowed + 1);
        EXPECT_EQ(out, full.substr(0, out.size()));
    }
}
