// How a game ended, and the texts it prints as.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "player.h"

namespace gravline {

enum class GameOutcome : uint8_t { RedWin = 0, YellowWin = 1, Draw = 2 };

/// The winner, or none for a draw.
constexpr std::optional<Player> winner(GameOutcome o) {
    switch (o) {
    case GameOutcome::RedWin: return Player::Red;
    case GameOutcome::YellowWin: return Player::Yellow;
    default: return std::nullopt;
    }
}

/// The outcome of a four completed by `mover`.
constexpr GameOutcome win_for(Player mover) {
    return mover == Player::Red ? GameOutcome::RedWin : GameOutcome::YellowWin;
}

/// Display text: "Red wins", "Yellow wins", "Draw".
constexpr std::string_view display_name(GameOutcome o) {
    switch (o) {
    case GameOutcome::RedWin: return "Red wins";
    case GameOutcome::YellowWin: return "Yellow wins";
    default: return "Draw";
    }
}

/// Debug text: the member name, "RedWin", "YellowWin", "Draw".
constexpr std::string_view debug_name(GameOutcome o) {
    switch (o) {
    case GameOutcome::RedWin: return "RedWin";
    case GameOutcome::YellowWin: return "YellowWin";
    default: return "Draw";
    }
}

/// Debug text of an optional outcome: "None", or e.g. "Some(YellowWin)". A fixed
/// public text of str(game) that callers match on: keep it as it is.
inline std::string debug_name(std::optional<GameOutcome> o) {
    if (!o) return "None";
    return "Some(" + std::string(debug_name(*o)) + ")";
}

}  // namespace gravline
