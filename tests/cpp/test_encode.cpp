// Input planes against a slow grid encoder, the action codec, and rewards.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "../../src/encode.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

/// Planes straight from the definition: the grid after taking back t moves,
/// seen by the side to move now, and a last plane of ones when Red moves.
std::vector<float> ref_planes(const RefGame &ref) {
    const int W = ref.width, H = ref.height, plane = W * H;
    std::vector<float> out(kSpatialInputPlanes * plane, 0.0f);
    std::vector<int> cells = ref.cells;
    const int n = static_cast<int>(ref.history.size());
    for (int t = 0; t <= static_cast<int>(kHistoryPlies) && t <= n; ++t) {
        if (t > 0) {
            const auto [c, r] = ref.history[n - t];
            cells[r * W + c] = 0;
        }
        for (int i = 0; i < plane; ++i) {
            if (cells[i] == ref.turn) out[2 * t * plane + i] = 1.0f;
            if (cells[i] == -ref.turn) out[(2 * t + 1) * plane + i] = 1.0f;
        }
    }
    if (ref.turn == 1)
        for (int i = 0; i < plane; ++i) out[kColourPlane * plane + i] = 1.0f;
    return out;
}

template <int NW>
std::vector<float> planes_of(const Game<NW> &g) {
    std::vector<float> buf(kSpatialInputPlanes * g.width() * g.height(), 0.0f);
    encode_planes(g, buf.data());
    return buf;
}

/// Indices of the ones among the first `upto` elements.
std::vector<size_t> ones(const std::vector<float> &v, size_t upto) {
    std::vector<size_t> out;
    for (size_t i = 0; i < upto; ++i)
        if (v[i] == 1.0f) out.push_back(i);
        else EXPECT_EQ(v[i], 0.0f) << i;
    return out;
}

/// Plays up to `moves` random moves on both engines, then compares the planes.
template <int NW>
void check_random_game(unsigned width, unsigned height, int moves, std::mt19937 &rng) {
    SCOPED_TRACE(::testing::Message() << width << "x" << height << " after " << moves);
    auto g = Game<NW>::make(width, height);
    RefGame ref(width, height);
    for (int i = 0; i < moves && !ref.outcome; ++i) {
        const auto legal = ref.legal();
        const auto [c, r] = legal[rng() % legal.size()];
        ASSERT_TRUE(g.make_move({static_cast<uint8_t>(c), static_cast<uint8_t>(r)}));
        ref.play(c);
    }
    EXPECT_EQ(planes_of(g), ref_planes(ref));
}

}  // namespace

TEST(Planes, NewStandardGame) {
    const auto p = planes_of(Game<1>::make(7, 6));
    ASSERT_EQ(p.size(), 714u);
    EXPECT_TRUE(ones(p, 672).empty());
    for (size_t i = 672; i < 714; ++i) EXPECT_EQ(p[i], 1.0f) << i;
}

TEST(Planes, AfterOneAndTwoDropsInColumnThree) {
    auto g = Game<1>::make(7, 6);
    play(g, {3});
    auto p = planes_of(g);
    // Yellow to move: Red's piece is the opponent's, the colour plane is empty.
    EXPECT_EQ(ones(p, 714), (std::vector<size_t>{45}));

    play(g, {3});
    p = planes_of(g);
    // Red to move: plane 2 shows Red's piece before Yellow's reply, still as the mover's.
    std::vector<size_t> want = {3, 52, 87};
    for (size_t i = 672; i < 714; ++i) want.push_back(i);
    EXPECT_EQ(ones(p, 714), want);
}

TEST(Planes, RandomGamesMatchTheGridEncoder) {
    std::mt19937 rng(7);
    for (int moves : {0, 1, 2, 7, 8, 10, 30, 1000}) {
        check_random_game<1>(7, 6, moves, rng);
        check_random_game<1>(4, 9, moves, rng);
        check_random_game<1>(9, 4, moves, rng);
        check_random_game<2>(11, 11, moves, rng);
        check_random_game<16>(32, 32, moves, rng);
    }
}

TEST(Planes, HandPlacedPiecesStayInEveryEarlierPosition) {
    auto g = Game<1>::make(7, 6);
    play(g, {0, 1});
    g.board.set_piece(6, 5, Player::Yellow);  // floating, never recorded
    const auto p = planes_of(g);
    const size_t plane = 42, cell = 5 * 7 + 6;
    // Red to move, so Yellow's pieces are in the odd planes of t = 0, 1, 2.
    for (size_t t = 0; t <= 2; ++t) EXPECT_EQ(p[(2 * t + 1) * plane + cell], 1.0f) << t;
    for (size_t t = 3; t < kHistoryPositions; ++t) EXPECT_EQ(p[(2 * t + 1) * plane + cell], 0.0f) << t;
}

TEST(FillPlanes, WritesOnlyOnesInsideBothBoardAndPlane) {
    auto b = Board<1>::make(7, 6);
    b.set_piece(0, 0, Player::Red);
    b.set_piece(6, 0, Player::Yellow);
    b.set_piece(2, 5, Player::Red);
    b.set_piece(3, 1, Player::Yellow);
    // A plane 5 wide and 4 high keeps only (0, 0) and (3, 1).
    std::vector<float> buf(17 * 20, 0.5f);
    fill_gravline_planes(buf.data(), buf.size(), b, Player::Yellow, 3, 5, 4);
    for (size_t i = 0; i < buf.size(); ++i) {
        const bool one = i == 6 * 20 + 1 * 5 + 3 || i == 7 * 20 + 0;
        EXPECT_EQ(buf[i], one ? 1.0f : 0.5f) << i;
    }
    // A plane wider than the board puts each row at the plane's stride.
    std::vector<float> wide(2 * 10 * 8, 0.0f);
    fill_gravline_planes(wide.data(), wide.size(), b, Player::Red, 0, 10, 8);
    EXPECT_EQ(ones(wide, wide.size()), (std::vector<size_t>{0, 52, 80 + 6, 80 + 13}));
}

TEST(FillPlanes, ACellInBothSetsIsRedsAndAnIndexPastTheBufferIsAnInternalError) {
    auto b = Board<1>::make(7, 6);
    b.red.set_bit(10);
    b.yellow.set_bit(10);
    std::vector<float> buf(2 * 42, 0.0f);
    fill_gravline_planes(buf.data(), buf.size(), b, Player::Yellow, 0, 7, 6);
    EXPECT_EQ(ones(buf, buf.size()), (std::vector<size_t>{42 + 10}));

    b.set_piece(6, 5, Player::Red);
    EXPECT_NO_THROW(fill_gravline_planes(buf.data(), 42, b, Player::Red, 0, 7, 6));
    EXPECT_THROW(fill_gravline_planes(buf.data(), 41, b, Player::Red, 0, 7, 6), InternalError);
    EXPECT_THROW(fill_gravline_planes(buf.data(), 42, b, Player::Yellow, 0, 7, 6), InternalError);
}

TEST(DecodeMove, AColumnDecodesToItsLandingCell) {
    auto g = Game<1>::make(7, 6);
    const auto decode = [&](uint64_t a) { return decode_move(a, g.board, *g.geometry); };
    EXPECT_EQ(decode(3), (Move{3, 0}));
    EXPECT_EQ(decode(6), (Move{6, 0}));
    EXPECT_EQ(decode(7), std::nullopt);
    EXPECT_EQ(decode(256 + 3), std::nullopt);
    EXPECT_EQ(decode(~uint64_t{0}), std::nullopt);
    play(g, {3, 3, 3, 3, 3, 3, 2});
    EXPECT_EQ(decode(3), std::nullopt);
    EXPECT_EQ(decode(2), (Move{2, 1}));
    // Decoding counts pieces and ignores the top cell, the turn and the end of the game.
    g.board.set_piece(5, 5, Player::Red);
    EXPECT_EQ(decode(5), (Move{5, 1}));
    play(g, {0, 2, 0, 2, 0, 2});
    ASSERT_EQ(g.outcome, GameOutcome::RedWin);
    EXPECT_EQ(decode(0), (Move{0, 3}));

    const auto big = Board<16>::make(32, 32);
    const auto geometry = BoardGeometry<16>::make(32, 32);
    EXPECT_EQ(decode_move(31, big, geometry), (Move{31, 0}));
    EXPECT_EQ(decode_move(32, big, geometry), std::nullopt);
}

TEST(Rewards, AbsoluteAndForEachPlayer) {
    EXPECT_EQ(reward_absolute(std::nullopt), 0.0);
    EXPECT_EQ(reward_absolute(GameOutcome::RedWin), 1.0);
    EXPECT_EQ(reward_absolute(GameOutcome::YellowWin), -1.0);
    EXPECT_EQ(reward_absolute(GameOutcome::Draw), 0.0);
    EXPECT_EQ(reward_for(GameOutcome::RedWin, Player::Red), 1.0);
    EXPECT_EQ(reward_for(GameOutcome::RedWin, Player::Yellow), -1.0);
    EXPECT_EQ(reward_for(GameOutcome::YellowWin, Player::Red), -1.0);
    EXPECT_EQ(reward_for(GameOutcome::YellowWin, Player::Yellow), 1.0);
    // A draw is positive zero from both sides.
    EXPECT_FALSE(std::signbit(reward_for(GameOutcome::Draw, Player::Yellow)));
    EXPECT_FALSE(std::signbit(reward_for(GameOutcome::Draw, Player::Red)));
    EXPECT_FALSE(std::signbit(reward_absolute(std::nullopt)));
}
