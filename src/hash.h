// Position hashes: SipHash-1-3 with a zero key over a fixed little-endian byte
// layout, so values are the same in every run, process and machine.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "game.h"

namespace gravline {

/// SipHash-c-d of `len` bytes with the 128-bit key (k0, k1), as published by its
/// authors: c rounds per 8-byte block, d final rounds, and a last block that
/// carries the message length modulo 256 in its top byte.
template <int C, int D>
constexpr uint64_t siphash(const uint8_t *data, std::size_t len, uint64_t k0 = 0, uint64_t k1 = 0) {
    uint64_t v0 = k0 ^ 0x736f6d6570736575ull, v1 = k1 ^ 0x646f72616e646f6dull;
    uint64_t v2 = k0 ^ 0x6c7967656e657261ull, v3 = k1 ^ 0x7465646279746573ull;
    const auto round = [&] {
        v0 += v1; v1 = std::rotl(v1, 13); v1 ^= v0; v0 = std::rotl(v0, 32);
        v2 += v3; v3 = std::rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = std::rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = std::rotl(v1, 17); v1 ^= v2; v2 = std::rotl(v2, 32);
    };
    const auto load = [&](std::size_t at, std::size_t n) {
        uint64_t m = 0;
        if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
            if (n != 0) std::memcpy(&m, data + at, n);  // whole words where the byte order allows it
            return m;
        }
        for (std::size_t i = 0; i < n; ++i) m |= uint64_t{data[at + i]} << (8 * i);
        return m;
    };
    const auto block = [&](uint64_t m) {
        v3 ^= m;
        for (int i = 0; i < C; ++i) round();
        v0 ^= m;
    };
    const std::size_t whole = len - len % 8;
    for (std::size_t at = 0; at < whole; at += 8) block(load(at, 8));
    block((uint64_t{len & 0xff} << 56) | load(whole, len % 8));
    v2 ^= 0xff;
    for (int i = 0; i < D; ++i) round();
    return v0 ^ v1 ^ v2 ^ v3;
}

inline uint64_t siphash13(const uint8_t *data, std::size_t len) { return siphash<1, 3>(data, len); }

/// A message buffer big enough for the largest position: 314 bytes.
class HashMessage {
    uint8_t bytes_[320];  // only the first len_ bytes are ever read
    std::size_t len_ = 0;

public:
    void u8(uint8_t v) { bytes_[len_++] = v; }
    void u64(uint64_t v) {
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(bytes_ + len_, &v, 8);
            len_ += 8;
        } else {
            for (int i = 0; i < 8; ++i) bytes_[len_++] = static_cast<uint8_t>(v >> (8 * i));
        }
    }
    const uint8_t *data() const { return bytes_; }
    std::size_t size() const { return len_; }
    uint64_t finish() const { return siphash13(bytes_, len_); }
};

/// How much of a game a hash covers, by the last field it takes.
enum class HashFields {
    Position = 7,       // pieces, size and turn: the Python hash of a game
    Transposition = 10, // and whether and how it ended
    State = 12,         // and the last up to seven moves
};

/// The hash message of a position, fields 1 to `upto`:
///  1 NW (u64)  2 red words  3 NW (u64)  4 yellow words  5 width (u8)  6 height (u8)
///  7 turn (i8: 0x01 Red, 0xFF Yellow)  8 over (u8)  9 outcome present (u64)
/// 10 outcome (u64, only when present)  11 k = min(moves, 7) (u64)  12 last k moves,
/// oldest first, col byte then row byte. `move_at(i)` is move i of the `moves`
/// in the history, so a game and a batch of games hash alike.
template <int NW, class MoveAt>
HashMessage hash_message(const Board<NW> &board, Player turn, bool over,
                         std::optional<GameOutcome> outcome, std::size_t moves, MoveAt &&move_at,
                         HashFields upto) {
    HashMessage m;
    m.u64(NW);
    for (uint64_t w : board.red.w) m.u64(w);
    m.u64(NW);
    for (uint64_t w : board.yellow.w) m.u64(w);
    m.u8(board.width);
    m.u8(board.height);
    m.u8(static_cast<uint8_t>(turn));
    if (upto == HashFields::Position) return m;
    m.u8(over ? 1 : 0);
    m.u64(outcome ? 1 : 0);
    if (outcome) m.u64(static_cast<uint64_t>(*outcome));
    if (upto == HashFields::Transposition) return m;
    const std::size_t k = std::min<std::size_t>(moves, 7);
    m.u64(k);
    for (std::size_t i = moves - k; i < moves; ++i) {
        const Move mv = move_at(i);
        m.u8(mv.col);
        m.u8(mv.row);
    }
    return m;
}

/// The hash message of a game, fields 1 to `upto`.
template <int NW>
HashMessage hash_message(const Game<NW> &g, HashFields upto) {
    return hash_message(g.board, g.turn, g.over, g.outcome, g.history.size(),
                        [&g](std::size_t i) { return g.history[i]; }, upto);
}

/// The position with its turn, status and last up to seven moves.
template <int NW>
uint64_t state_hash(const Game<NW> &g) { return hash_message(g, HashFields::State).finish(); }

template <int NW>
uint64_t transposition_hash(const Game<NW> &g) {
    return hash_message(g, HashFields::Transposition).finish();
}

template <int NW>
uint64_t position_hash(const Game<NW> &g) { return hash_message(g, HashFields::Position).finish(); }

inline uint64_t move_hash(Move m) {
    const uint8_t bytes[2] = {m.col, m.row};
    return siphash13(bytes, 2);
}

/// A 64-bit hash as a Python hash: read as signed, with -1 (reserved for
/// errors) folded onto -2 together with -2 itself.
constexpr int64_t python_hash(uint64_t h) {
    const auto s = static_cast<int64_t>(h);
    return s == -1 ? -2 : s;
}

}  // namespace gravline
