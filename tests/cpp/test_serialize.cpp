// Saved states: round trips of played and edited games, the exact bytes of a
// few states, and the refusal of every kind of damaged or unreachable state.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../../src/serialize.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

template <int NW>
void expect_same_game(const Game<NW> &a, const Game<NW> &b) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    EXPECT_EQ(a.board.red, b.board.red);
    EXPECT_EQ(a.board.yellow, b.board.yellow);
    EXPECT_EQ(a.turn, b.turn);
    EXPECT_EQ(a.over, b.over);
    EXPECT_EQ(a.outcome, b.outcome);
    ASSERT_EQ(a.history.size(), b.history.size());
    for (std::size_t i = 0; i < a.history.size(); ++i) EXPECT_EQ(a.history[i], b.history[i]);
}

/// Plays the legal move in column `c`, if there is one.
template <int NW>
bool drop(Game<NW> &g, unsigned c) {
    for (const Move m : g.legal_moves())
        if (m.col == c) return g.make_move(m);
    return false;
}

/// A game played at random with set_piece edits and take-backs mixed in, as a
/// user of the module can make one.
template <int NW>
Game<NW> random_game(Size s, std::mt19937 &rng) {
    auto g = Game<NW>::make(s.width, s.height);
    const unsigned steps = rng() % (2 * s.width * s.height);
    for (unsigned i = 0; i < steps; ++i) {
        const unsigned what = rng() % 10;
        if (what < 6) drop(g, rng() % s.width);
        else if (what < 8) {
            const int v = static_cast<int>(rng() % 3) - 1;
            g.board.set_piece(rng() % s.width, rng() % s.height,
                              v == 0 ? std::nullopt : std::optional<Player>(static_cast<Player>(v)));
        } else g.unmake_move();
    }
    return g;
}

template <class T>
const char *load(const Bytes &b, T &out) {
    return load_state(std::span<const uint8_t>(b), out);
}

std::string hex(const Bytes &b) {
    std::string s;
    for (uint8_t x : b) {
        static const char digits[] = "0123456789abcdef";
        s += digits[x >> 4];
        s += digits[x & 15];
    }
    return s;
}

}  // namespace

template <class T>
class SerializeTest : public ::testing::Test {};
TYPED_TEST_SUITE(SerializeTest, WordCounts);

TYPED_TEST(SerializeTest, PlayedAndEditedGamesRoundTrip) {
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(15 + NW);
    for (Size s : sizes_for<NW>()) {
        for (int trial = 0; trial < 30; ++trial) {
            Game<NW> g = random_game<NW>(s, rng);
            const Bytes saved = save_state(g);
            StateHeader h;
            ASSERT_EQ(read_state_header(saved, h), nullptr);
            EXPECT_EQ(h.kind, StateKind::Game);
            EXPECT_EQ(h.width, s.width);
            Game<NW> back;
            ASSERT_EQ(load(saved, back), nullptr) << hex(saved);
            expect_same_game(g, back);
            EXPECT_EQ(save_state(back), saved);
            // The loaded game takes back every move as the original does.
            while (g.unmake_move()) {
                ASSERT_TRUE(back.unmake_move());
                ASSERT_EQ(back.board.red, g.board.red);
                ASSERT_EQ(back.board.yellow, g.board.yellow);
                ASSERT_EQ(back.turn, g.turn);
            }
            EXPECT_FALSE(back.unmake_move());
            // It plays on as the original does.
            for (unsigned c = 0; c < s.width; ++c) EXPECT_EQ(drop(g, c), drop(back, c));
            expect_same_game(g, back);

            Board<NW> b;
            ASSERT_EQ(load(save_state(g.board), b), nullptr);
            EXPECT_EQ(b.red, g.board.red);
            EXPECT_EQ(b.yellow, g.board.yellow);
            EXPECT_EQ(b.width, g.board.width);
            EXPECT_EQ(b.height, g.board.height);
        }
    }
}

TYPED_TEST(SerializeTest, FullBoardsAndLongHistoriesRoundTrip) {
    constexpr int NW = TypeParam::value;
    for (Size s : sizes_for<NW>()) {
        // Every cell of both colours' sets in use, and the set bytes' last bits.
        auto g = Game<NW>::make(s.width, s.height);
        for (unsigned r = 0; r < s.height; ++r)
            for (unsigned c = 0; c < s.width; ++c)
                g.board.set_piece(c, r, (r + c / 2) % 2 ? Player::Red : Player::Yellow);
        Game<NW> back;
        ASSERT_EQ(load(save_state(g), back), nullptr);
        expect_same_game(g, back);
        // Moves taken back by set_piece and played again: a history longer than
        // the board is reachable and is kept.
        auto h = Game<NW>::make(s.width, s.height);
        for (unsigned i = 0; i < s.width * s.height + 3; ++i) {
            ASSERT_TRUE(drop(h, 0));
            h.board.set_piece(0, 0, std::nullopt);
        }
        ASSERT_EQ(load(save_state(h), back), nullptr);
        expect_same_game(h, back);
    }
}

TEST(Serialize, ExactBytes) {
    auto g = Game<1>::make(7, 6);
    EXPECT_EQ(hex(save_state(g)), "01470706010000000000" "000000000000" "000000000000");
    drop(g, 3);
    drop(g, 3);
    // Red on (3, 0): bit 3 of byte 0; Yellow on (3, 1), cell 10: bit 2 of byte 1.
    EXPECT_EQ(hex(save_state(g)), "01470706010002000000" "080000000000" "000400000000" "0300" "0301");
    EXPECT_EQ(hex(save_state(g.board)), "01420706" "080000000000" "000400000000");
    EXPECT_EQ(hex(save_state(Move{3, 250})), "014d03fa");
    EXPECT_EQ(hex(save_state(GameOutcome::YellowWin)), "014f01");
    // A won game: status 1 + outcome, the turn already passed to the loser.
    for (unsigned c : {0, 1, 0, 1, 0, 1, 0}) drop(g, c);
    ASSERT_EQ(g.outcome, GameOutcome::RedWin);
    EXPECT_EQ(hex(save_state(g)).substr(0, 20), "01470706" "ff" "01" "09000000");
}

TEST(Serialize, MovesAndOutcomesRoundTrip) {
    for (unsigned c = 0; c < 256; c += 51)
        for (unsigned r = 0; r < 256; r += 17) {
            Move m;
            ASSERT_EQ(load(save_state(Move{uint8_t(c), uint8_t(r)}), m), nullptr);
            EXPECT_EQ(m, (Move{uint8_t(c), uint8_t(r)}));
        }
    for (GameOutcome o : {GameOutcome::RedWin, GameOutcome::YellowWin, GameOutcome::Draw}) {
        GameOutcome back{};
        ASSERT_EQ(load(save_state(o), back), nullptr);
        EXPECT_EQ(back, o);
    }
}

namespace {

/// A 7 x 6 game after Red 3, Yellow 3 (see ExactBytes), changed by `edit`.
template <class Edit>
std::string game_refusal(Edit &&edit) {
    auto g = Game<1>::make(7, 6);
    drop(g, 3);
    drop(g, 3);
    Bytes b = save_state(g);
    edit(b);
    Game<1> out;
    const char *why = load(b, out);
    return why ? why : "<accepted>";
}

}  // namespace

TEST(Serialize, DamagedGamesAreRefused) {
    constexpr std::size_t red = kGameHeader, yellow = kGameHeader + 6, moves = kGameHeader + 12;
    const struct {
        const char *name;
        std::string want;
        void (*edit)(Bytes &);
    } cases[] = {
        {"empty", "too short", [](Bytes &b) { b.clear(); }},
        {"version 0", "unknown version", [](Bytes &b) { b[0] = 0; }},
        {"version 2", "unknown version", [](Bytes &b) { b[0] = 2; }},
        {"kind", "unknown kind", [](Bytes &b) { b[1] = 'X'; }},
        {"a board", "not a saved game", [](Bytes &b) { b[1] = 'B'; }},
        {"width 3", "size outside 4..32", [](Bytes &b) { b[2] = 3; }},
        {"height 33", "size outside 4..32", [](Bytes &b) { b[3] = 33; }},
        {"width 11", "size of another word count", [](Bytes &b) { b[2] = 11; }},
        {"header cut", "too short", [](Bytes &b) { b.resize(8); }},
        {"one byte short", "wrong length", [](Bytes &b) { b.pop_back(); }},
        {"one byte more", "wrong length", [](Bytes &b) { b.push_back(0); }},
        {"a move more", "wrong length", [](Bytes &b) { b.insert(b.end(), {0, 0}); }},
        {"count 1", "wrong length", [](Bytes &b) { b[6] = 1; }},
        {"count 2^32 - 1", "wrong length", [](Bytes &b) { b[6] = b[7] = b[8] = b[9] = 0xff; }},
        {"turn 0", "turn is neither Red nor Yellow", [](Bytes &b) { b[4] = 0; }},
        {"turn 2", "turn is neither Red nor Yellow", [](Bytes &b) { b[4] = 2; }},
        {"turn Yellow", "the turn does not follow from the history", [](Bytes &b) { b[4] = 0xff; }},
        {"status 4", "unknown status", [](Bytes &b) { b[5] = 4; }},
        {"Red won, Red to move", "the winner is not the player who moved last",
         [](Bytes &b) { b[5] = 1; }},
        {"bit 42", "a piece off the board", [](Bytes &b) { b[red + 5] |= 0x04; }},
        {"bit 47", "a piece off the board", [](Bytes &b) { b[yellow + 5] |= 0x80; }},
        {"both colours", "a cell holds both colours", [](Bytes &b) { b[red + 1] |= 0x04; }},
        {"col 7", "a history move off the board", [](Bytes &b) { b[moves] = 7; }},
        {"row 6", "a history move off the board", [](Bytes &b) { b[moves + 3] = 6; }},
        {"row 255", "a history move off the board", [](Bytes &b) { b[moves + 3] = 255; }},
        // Reachable with set_piece: kept.
        {"Yellow won", "<accepted>", [](Bytes &b) { b[5] = 2; }},
        {"draw", "<accepted>", [](Bytes &b) { b[5] = 3; }},
        {"history on empty cells", "<accepted>", [](Bytes &b) { b[moves] = b[moves + 2] = 6; }},
        {"pieces anywhere", "<accepted>", [](Bytes &b) { b[red + 5] = 0x03, b[yellow] = 0xf0; }},
    };
    for (const auto &c : cases) EXPECT_EQ(game_refusal(c.edit), c.want) << c.name;

    // A finished game needs the move that finished it.
    Bytes fresh = save_state(Game<1>::make(4, 4));
    fresh[5] = 3;
    Game<1> out;
    EXPECT_STREQ(load(fresh, out), "a finished game without moves");
}

TEST(Serialize, DamagedBoardsMovesAndOutcomesAreRefused) {
    Board<1> b;
    Bytes saved = save_state(Board<1>::make(4, 4));
    EXPECT_EQ(hex(saved), "0142040400000000");
    EXPECT_STREQ(load(Bytes(saved.begin(), saved.end() - 1), b), "wrong length");
    Bytes off = saved;
    off[7] = 1;  // 4 x 4 sets are two whole bytes: there is no bit off the board
    EXPECT_EQ(load(off, b), nullptr);
    Board<2> b2;
    Bytes odd = save_state(Board<2>::make(9, 9));
    odd[4 + 10] = 0x02;  // cell 81 of 81
    EXPECT_STREQ(load(odd, b2), "a piece off the board");
    odd[4 + 10] = 0x01;  // cell 80, the last
    EXPECT_EQ(load(odd, b2), nullptr);
    odd[4 + 11 + 10] = 0x01;
    EXPECT_STREQ(load(odd, b2), "a cell holds both colours");
    EXPECT_STREQ(load(save_state(Game<1>::make(4, 4)), b), "not a saved board");

    Move m;
    EXPECT_STREQ(load(Bytes{1, 'M', 0}, m), "not a saved move");
    EXPECT_STREQ(load(Bytes{2, 'M', 0, 0}, m), "not a saved move");
    GameOutcome o;
    EXPECT_STREQ(load(Bytes{1, 'O', 3}, o), "unknown outcome");
    EXPECT_STREQ(load(Bytes{1, 'M', 3}, o), "not a saved outcome");
    StateHeader h;
    EXPECT_STREQ(read_state_header(Bytes{1}, h), "too short");
    EXPECT_STREQ(read_state_header(Bytes{1, 'G', 7}, h), "too short");
}

TYPED_TEST(SerializeTest, EveryAcceptedMutationSavesBackToItsBytes) {
    // Whatever a damaged state loads as, it is a state of its own that saves to
    // exactly those bytes again: the form has one spelling per state, and
    // nothing a load accepts is lost or invented.
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(99 + NW);
    int accepted = 0;
    for (Size s : sizes_for<NW>()) {
        for (int trial = 0; trial < (NW == 16 ? 40 : 400); ++trial) {
            Bytes b = save_state(random_game<NW>(s, rng));
            for (unsigned k = rng() % 3 + 1; k-- > 0;) b[rng() % b.size()] ^= uint8_t(1u << (rng() % 8));
            Game<NW> g;
            if (load(b, g) != nullptr) continue;
            ++accepted;
            EXPECT_EQ(save_state(g), b);
            while (g.unmake_move()) {}
            EXPECT_TRUE(g.history.empty());
        }
    }
    EXPECT_GT(accepted, 0);
}
