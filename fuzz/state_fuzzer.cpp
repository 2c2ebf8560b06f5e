// libFuzzer target for saved states (serialize.h): each input is the bytes a
// pickle hands to the reconstructor. A refused input must be refused without a
// fault; an accepted one must save back to exactly the same bytes and survive
// everything the engine does with a game: planes, hashes, moves, take-backs.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "../src/encode.h"
#include "../src/hash.h"
#include "../src/serialize.h"
#include "fuzz_support.h"

using namespace gravline;

namespace {

constexpr char kFuzzerName[] = "state_fuzzer";

template <class T>
void check_same_bytes(std::span<const uint8_t> in, const T &value) {
    const Bytes again = save_state(value);
    FUZZ_CHECK(again.size() == in.size() && std::equal(again.begin(), again.end(), in.begin()));
}

template <int NW>
void exercise(Game<NW> &g) {
    const unsigned w = g.width(), h = g.height();
    std::vector<float> planes(std::size_t{kSpatialInputPlanes} * w * h);
    encode_planes(g, planes.data());
    (void)state_hash(g);
    (void)transposition_hash(g);
    (void)position_hash(g);
    // Every legal move plays and is taken back to the same state.
    const uint64_t before = state_hash(g);
    for (const Move m : g.legal_moves()) {
        FUZZ_CHECK(g.make_move(m));
        FUZZ_CHECK(g.unmake_move());
        FUZZ_CHECK(state_hash(g) == before);
    }
    // Every move is taken back; the start is an empty history with Red to move.
    const std::size_t n = g.history.size();
    for (std::size_t i = 0; i < n; ++i) FUZZ_CHECK(g.unmake_move());
    FUZZ_CHECK(!g.unmake_move() && g.turn == Player::Red && !g.over && !g.outcome);
    encode_planes(g, planes.data());
}

template <int NW = 1>
void load_sized(std::span<const uint8_t> in, const StateHeader &h) {
    if constexpr (NW <= kMaxWords) {
        if (words_for(h.width, h.height) != NW) return load_sized<NW + 1>(in, h);
        if (h.kind == StateKind::Board) {
            Board<NW> b;
            if (load_state(in, b)) return;
            check_same_bytes(in, b);
            FUZZ_CHECK((b.red & b.yellow).empty());
        } else {
            Game<NW> g;
            if (load_state(in, g)) return;
            check_same_bytes(in, g);
            exercise(g);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::span<const uint8_t> in(data, size);
    StateHeader h;
    if (read_state_header(in, h)) return 0;
    switch (h.kind) {
    case StateKind::Move: {
        Move m;
        if (!load_state(in, m)) check_same_bytes(in, m);
        break;
    }
    case StateKind::Outcome: {
        GameOutcome o;
        if (!load_state(in, o)) check_same_bytes(in, o);
        break;
    }
    default:
        load_sized(in, h);
    }
    return 0;
}
