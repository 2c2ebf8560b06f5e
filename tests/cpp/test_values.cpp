// Size limits, word counts, players, outcomes and moves.
#include <gtest/gtest.h>

#include "../../src/limits.h"
#include "../../src/outcome.h"
#include "../../src/player.h"

using namespace gravline;

TEST(Limits, WordCountIsTheSmallestThatHoldsEveryCell) {
    EXPECT_EQ(words_for(7, 6), 1);
    EXPECT_EQ(words_for(8, 8), 1);
    EXPECT_EQ(words_for(9, 8), 2);
    EXPECT_EQ(words_for(20, 16), 5);
    EXPECT_EQ(words_for(32, 32), kMaxWords);
    for (unsigned w = kMinDimension; w <= kMaxDimension; ++w)
        for (unsigned h = kMinDimension; h <= kMaxDimension; ++h) {
            const unsigned nw = words_for(w, h);
            EXPECT_TRUE(64 * (nw - 1) < w * h && w * h <= 64 * nw) << w << "x" << h;
        }
}

TEST(Values, PlayersOutcomesAndTheirTexts) {
    EXPECT_EQ(static_cast<int8_t>(Player::Red), 1);
    EXPECT_EQ(static_cast<int8_t>(Player::Yellow), -1);
    EXPECT_EQ(other(Player::Red), Player::Yellow);
    EXPECT_EQ(other(Player::Yellow), Player::Red);
    EXPECT_EQ(other(static_cast<Player>(0)), Player::Red) << "anything but Red counts as Yellow";
    EXPECT_EQ(player_name(Player::Yellow), "Yellow");

    EXPECT_EQ(static_cast<uint8_t>(GameOutcome::Draw), 2);
    EXPECT_EQ(winner(GameOutcome::YellowWin), Player::Yellow);
    EXPECT_EQ(winner(GameOutcome::Draw), std::nullopt);
    EXPECT_EQ(win_for(Player::Red), GameOutcome::RedWin);
    EXPECT_EQ(display_name(GameOutcome::YellowWin), "Yellow wins");
    EXPECT_EQ(debug_name(GameOutcome::YellowWin), "YellowWin");
    EXPECT_EQ(display_name(GameOutcome::Draw), "Draw");
    EXPECT_EQ(debug_name(std::optional<GameOutcome>{}), "None");
    EXPECT_EQ(debug_name(std::optional{GameOutcome::RedWin}), "Some(RedWin)");

    static_assert(sizeof(Move) == 2);
    EXPECT_NE((Move{3, 1}), (Move{1, 3}));
}
