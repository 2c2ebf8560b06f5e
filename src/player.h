// The two players and the move value: who drops a piece, and where it lands.
#pragma once

#include <cstdint>
#include <string_view>

namespace gravline {

/// Red moves first. The numbers are the Python player values.
enum class Player : int8_t { Red = 1, Yellow = -1 };

/// Any value other than Red counts as Yellow, so the other of Yellow is Red.
constexpr Player other(Player p) { return p == Player::Red ? Player::Yellow : Player::Red; }

/// "Red" or "Yellow", the same in plain and debug text.
constexpr std::string_view player_name(Player p) { return p == Player::Red ? "Red" : "Yellow"; }

/// A drop: the column, and the row the piece lands on (the column's piece count
/// before the drop). Two bytes wherever it is stored.
struct Move {
    uint8_t col = 0;
    uint8_t row = 0;
    friend constexpr bool operator==(Move, Move) = default;
};
static_assert(sizeof(Move) == 2);

}  // namespace gravline
