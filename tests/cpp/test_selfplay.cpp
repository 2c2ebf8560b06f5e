// The self-play generator and its records: every record of generated games
// against a replay on the grid engine, the tactical rule, expansion against
// the game's own planes, determinism, and the consistency checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <stdexcept>
#include <random>
#include <set>
#include <vector>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../../src/selfplay.h"
#include "support.h"

using namespace gravline;
using namespace gravline::testing;

namespace {

template <class T>
class SelfPlay : public ::testing::Test {};
TYPED_TEST_SUITE(SelfPlay, WordCounts);

/// The cell a drop in column c lands on, or -1 for a full column.
int landing_row(const RefGame &ref, int c) {
    const int n = ref.count(c);
    return n < ref.height ? n : -1;
}

/// Whether dropping in column c wins at once for `who`.
bool wins_with(RefGame ref, int c, int who) {
    const int r = landing_row(ref, c);
    if (r < 0) return false;
    ref.cells[r * ref.width + c] = who;
    return ref.four_through(c, r);
}

/// The tactical rule on the grid: the winning drops, else the blocks, else every legal column.
uint32_t ref_tactical(const RefGame &ref) {
    uint32_t legal = 0, wins = 0, blocks = 0;
    for (const auto &[c, r] : ref.legal()) {
        legal |= 1u << c;
        if (wins_with(ref, c, ref.turn)) wins |= 1u << c;
        if (wins_with(ref, c, -ref.turn)) blocks |= 1u << c;
    }
    return wins ? wins : blocks ? blocks : legal;
}

uint32_t ref_legal(const RefGame &ref) {
    uint32_t legal = 0;
    for (const auto &[c, r] : ref.legal()) legal |= 1u << c;
    return legal;
}

template <int NW>
Bitboard<NW> cells_of(const RefGame &ref, int who) {
    Bitboard<NW> b;
    for (int k = 0; k < ref.width * ref.height; ++k)
        if (ref.cells[k] == who) b.set_bit(k);
    return b;
}

template <int NW>
Records generate(unsigned w, unsigned h, Policy policy, uint64_t seed, uint64_t first, uint64_t games,
                 unsigned threads) {
    Records out;
    SelfPlayConfig c{w, h, policy, seed, first, games, threads};
    EXPECT_TRUE(run_self_play<NW>(c, out, nullptr));
    return out;
}

/// Every record of `r` against its game replayed on the grid engine and on
/// Game (for the planes), in order: games one after another, plies from 0.
template <int NW>
void check_against_replay(const Records &r, Policy policy, uint64_t first_game, uint64_t games) {
    const unsigned w = r.width, h = r.height, cells = w * h;
    std::vector<float> expanded(r.size() * 17 * cells), policies(r.size() * w), opponent(r.size() * w),
        values(r.size()), masks(r.size());
    expand_records<NW>(r, nullptr, r.size(), false,
                       {expanded.data(), policies.data(), values.data(), opponent.data(), masks.data()});
    std::size_t i = 0;
    for (uint64_t gi = first_game; gi < first_game + games; ++gi) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h << " game " << gi);
        RefGame ref(w, h);
        auto game = Game<NW>::make(w, h);
        const std::size_t start = i;
        for (; !ref.outcome; ++i) {
            ASSERT_LT(i, r.size());
            EXPECT_EQ(r.game[i], gi);
            EXPECT_EQ(r.ply[i], ref.history.size());
            EXPECT_EQ(r.turn[i], ref.turn);
            EXPECT_EQ(records_detail::load_bits<NW>(r.red, i), cells_of<NW>(ref, 1));
            EXPECT_EQ(records_detail::load_bits<NW>(r.yellow, i), cells_of<NW>(ref, -1));
            for (unsigned t = 0; t < kRecordMoves; ++t) {
                const std::size_t n = ref.history.size();
                const int want = t < n ? ref.history[n - 1 - t].first : kNoMove;
                EXPECT_EQ(r.last_moves[i * kRecordMoves + t], want) << t;
            }
            const uint32_t want = policy == Policy::Tactical ? ref_tactical(ref) : ref_legal(ref);
            ASSERT_EQ(r.policy[i], want);
            ASSERT_TRUE((r.policy[i] >> r.action[i]) & 1);

            std::vector<float> planes(17 * cells, 0.0f);
            encode_planes(game, planes.data());
            ASSERT_TRUE(std::equal(planes.begin(), planes.end(), expanded.begin() + i * 17 * cells));
            const float share = static_cast<float>(1.0 / std::popcount(want));
            for (unsigned c = 0; c < w; ++c)
                EXPECT_EQ(policies[i * w + c], (want >> c) & 1 ? share : 0.0f);

            const int c = r.action[i];
            ASSERT_TRUE(game.make_move({static_cast<uint8_t>(c), static_cast<uint8_t>(ref.count(c))}));
            ref.play(c);
        }
        // Values from each mover's side; the opponent target is the next record's policy.
        const int winner = *ref.outcome == 2 ? 0 : *ref.outcome == 0 ? 1 : -1;
        for (std::size_t j = start; j < i; ++j) {
            EXPECT_EQ(r.value[j], winner * r.turn[j]);
            EXPECT_EQ(values[j], static_cast<float>(winner * r.turn[j]));
            const bool last = j + 1 == i;
            EXPECT_EQ(r.opponent_policy[j], last ? 0u : r.policy[j + 1]);
            EXPECT_EQ(r.opponent_mask[j], last ? 0 : 1);
            EXPECT_EQ(masks[j], last ? 0.0f : 1.0f);
            for (unsigned c = 0; c < w; ++c)
                EXPECT_EQ(opponent[j * w + c], last ? 0.0f : policies[(j + 1) * w + c]);
        }
    }
    EXPECT_EQ(i, r.size());
}

}  // namespace

TEST(GameRng, SameSeedAndIndexSameStreamAndDrawsAreUniform) {
    GameRng a = GameRng::for_game(3, 9), b = GameRng::for_game(3, 9);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(a.next(), b.next());
    EXPECT_NE(GameRng::for_game(3, 9).next(), GameRng::for_game(3, 10).next());
    EXPECT_NE(GameRng::for_game(3, 9).next(), GameRng::for_game(4, 9).next());
    std::vector<int> seen(7);
    for (int i = 0; i < 70000; ++i) ++seen[a.below(7)];
    for (int n : seen) EXPECT_NEAR(n, 10000, 500);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(a.below(1), 0u);
}

TEST(GameRng, NthSetBit) {
    EXPECT_EQ(nth_set_bit(0b101, 0), 0u);
    EXPECT_EQ(nth_set_bit(0b101, 1), 2u);
    EXPECT_EQ(nth_set_bit(0x80000000u, 0), 31u);
}

TEST(Records, SevenBySixRecordIsFortyTwoBytes) {
    EXPECT_EQ(Records::bytes_per_record(words_for(7, 6)), 42u);
    EXPECT_LE(Records::bytes_per_record(words_for(7, 6)), 64u);
    // One share per candidate count, each as NumPy stores 1.0 / k in float32.
    for (int k = 1; k <= 32; ++k) EXPECT_EQ(static_cast<float>(1.0 / k), 1.0f / k) << k;
}

TEST(Records, LargeFieldsStartOnHugePageBoundariesAndKeepTheirContents) {
    // A field grows from small blocks into one that starts on a 2 MiB boundary,
    // keeping every value on the way; so does a copy, and both free cleanly.
    FieldVector<uint32_t> v;
    for (uint32_t k = 0; k < (3u << 20) / sizeof(uint32_t); ++k) v.push_back(k * 2654435761u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(v.data()) % FieldAllocator<uint32_t>::kHugePage, 0u);
    const FieldVector<uint32_t> copy = v;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(copy.data()) % FieldAllocator<uint32_t>::kHugePage, 0u);
    for (uint32_t k = 0; k < v.size(); ++k) ASSERT_EQ(copy[k], k * 2654435761u);
    v.resize(10);
    v.shrink_to_fit();
    EXPECT_EQ(v[9], 9 * 2654435761u);
}

TEST(Records, FreedLargeFieldsAreReusedInAFewBlockSizes) {
    using A = FieldAllocator<uint64_t>;
    constexpr std::size_t page = A::kHugePage;
    static_assert(A::block_size(A::kHugeFrom) == page && A::block_size(4 * page) == 4 * page);
    // Above four pages, at most a quarter more than asked for, in fewer sizes
    // the larger the block: 9 to 10 MiB share one, and 66 to 80 MiB.
    static_assert(A::block_size((9 << 20) + 1) == 5 * page && A::block_size(10'400'000) == 5 * page);
    static_assert(A::block_size(33 * page) == 40 * page && A::block_size(40 * page) == 40 * page);

    const void *first;
    {
        FieldVector<uint64_t> v(3'000'000 / sizeof(uint64_t), 7);
        first = v.data();
    }
    FieldVector<uint64_t> again(3'100'000 / sizeof(uint64_t));
    EXPECT_EQ(again.data(), first);

    // A cache of its own: the oldest blocks go when it is full, and a block
    // larger than the whole cache is not kept.
    BlockCache cache;
    std::vector<void *> given;
    for (int k = 0; k <= BlockCache::kBlocks; ++k) {
        given.push_back(::operator new(page, std::align_val_t{page}));
        cache.give(given.back(), page, std::align_val_t{page});
    }
    EXPECT_EQ(cache.take(2 * page), nullptr);
    std::set<void *> taken;
    while (void *p = cache.take(page)) taken.insert(p);
    EXPECT_EQ(taken, std::set<void *>(given.begin() + 1, given.end()));
    for (void *p : taken) ::operator delete(p, std::align_val_t{page});
    void *huge = ::operator new(BlockCache::kBytes + page, std::align_val_t{page});
    cache.give(huge, BlockCache::kBytes + page, std::align_val_t{page});
    EXPECT_EQ(cache.take(BlockCache::kBytes + page), nullptr);
    // A limit of nothing keeps nothing.
    cache.give(::operator new(page, std::align_val_t{page}), page, std::align_val_t{page}, 0);
    EXPECT_EQ(cache.take(page), nullptr);
}

TEST(Records, ReusedMemoryNeverShowsThroughNewRecords) {
    // Records made in blocks that other records left full of their own data:
    // a resize still gives zeros, and a run writes every field of its records,
    // so it equals the same run made while the other records are held.
    const std::size_t n = (std::size_t{4} << 20) / sizeof(uint64_t);
    {
        Records dirty = Records::make(7, 6);
        dirty.resize(n);
        Records::for_each_field([](std::size_t, auto &v) { std::fill(v.begin(), v.end(), 0x5a); }, dirty);
    }
    Records zeros = Records::make(7, 6);
    zeros.resize(n);
    Records::for_each_field(
        [](std::size_t, const auto &v) { EXPECT_TRUE(std::all_of(v.begin(), v.end(), [](auto x) { return x == 0; })); },
        zeros);

    const uint64_t games = chunk_games(7, 6) * 60;
    Records held = generate<1>(7, 6, Policy::Tactical, 3, 0, games, 2);
    const Records fresh = generate<1>(7, 6, Policy::Tactical, 4, 0, games, 2);
    ASSERT_GE(fresh.size() * sizeof(uint64_t), FieldAllocator<uint64_t>::kHugeFrom);
    std::set<const void *> held_blocks;
    Records::for_each_field([&](std::size_t, const auto &v) { held_blocks.insert(v.data()); }, held);
    held = Records();
    const Records again = generate<1>(7, 6, Policy::Tactical, 4, 0, games, 2);
    int reused = 0;
    Records::for_each_field([&](std::size_t, const auto &v) { reused += held_blocks.count(v.data()); }, again);
    EXPECT_EQ(again, fresh);
    // The run did land in the freed records' blocks.
    if (records_cache_limit() > 0) {
        EXPECT_GT(reused, 0);
    }
}

TYPED_TEST(SelfPlay, WinningCellsMatchTheGridOnRandomBoards) {
    constexpr int NW = TypeParam::value;
    std::mt19937 rng(5);
    for (const auto [w, h] : sizes_for<NW>()) {
        const auto pb = PlayBoard<NW>::make(w, h);
        for (int game = 0; game < 40; ++game) {
            RefGame ref(w, h);
            const int moves = rng() % (w * h);
            for (int m = 0; m < moves && !ref.outcome; ++m) {
                const auto legal = ref.legal();
                ref.play(legal[rng() % legal.size()].first);
            }
            for (int who : {1, -1}) {
                const auto win = pb.winning_cells(cells_of<NW>(ref, who));
                for (unsigned k = 0; k < w * h; ++k) {
                    if (ref.cells[k] != 0) continue;
                    RefGame probe = ref;
                    probe.cells[k] = who;
                    EXPECT_EQ(win.get_bit(k), probe.four_through(k % w, k / w))
                        << w << "x" << h << " cell " << k << " for " << who;
                }
            }
        }
    }
}

TYPED_TEST(SelfPlay, EveryRecordMatchesAReplay) {
    constexpr int NW = TypeParam::value;
    for (const auto [w, h] : sizes_for<NW>()) {
        const uint64_t games = NW == 16 ? 4 : 30;
        for (Policy p : {Policy::Tactical, Policy::Random}) {
            const Records r = generate<NW>(w, h, p, 11, 5, games, 1);
            check_against_replay<NW>(r, p, 5, games);
            EXPECT_EQ(check_records<NW>(r), "");
        }
    }
}

TYPED_TEST(SelfPlay, MirroredRowsFollowTheOriginals) {
    constexpr int NW = TypeParam::value;
    const auto [w, h] = sizes_for<NW>()[0];
    const Records r = generate<NW>(w, h, Policy::Tactical, 2, 0, 2, 1);
    const std::vector<uint64_t> pick = {r.size() - 1, 0, 3, 3};
    const std::size_t n = pick.size(), plane = std::size_t{w} * h, state = 17 * plane;
    std::vector<float> s(2 * n * state), p(2 * n * w), v(2 * n), o(2 * n * w), m(2 * n);
    expand_records<NW>(r, pick.data(), n, true, {s.data(), p.data(), v.data(), o.data(), m.data()});
    std::vector<float> s1(r.size() * state), p1(r.size() * w), v1(r.size()), o1(r.size() * w), m1(r.size());
    expand_records<NW>(r, nullptr, r.size(), false, {s1.data(), p1.data(), v1.data(), o1.data(), m1.data()});
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t i = pick[j];
        for (std::size_t q = 0; q < 17 * h; ++q)
            for (unsigned c = 0; c < w; ++c) {
                const float orig = s1[i * state + q * w + c];
                EXPECT_EQ(s[j * state + q * w + c], orig);
                EXPECT_EQ(s[(n + j) * state + q * w + (w - 1 - c)], orig);
            }
        for (unsigned c = 0; c < w; ++c) {
            EXPECT_EQ(p[j * w + c], p1[i * w + c]);
            EXPECT_EQ(p[(n + j) * w + (w - 1 - c)], p1[i * w + c]);
            EXPECT_EQ(o[(n + j) * w + (w - 1 - c)], o1[i * w + c]);
        }
        EXPECT_EQ(v[j], v1[i]);
        EXPECT_EQ(v[n + j], v1[i]);
        EXPECT_EQ(m[n + j], m1[i]);
    }
}

TYPED_TEST(SelfPlay, SameRecordsForAnyThreadsAndRunLength) {
    constexpr int NW = TypeParam::value;
    const auto [w, h] = sizes_for<NW>()[0];
    // More games than one chunk, so rounds and chunks both split the run.
    const uint64_t games = NW == 16 ? 150 : chunk_games(w, h) * 3 + 7;
    const Records one = generate<NW>(w, h, Policy::Tactical, 42, 0, games, 1);
    EXPECT_EQ(generate<NW>(w, h, Policy::Tactical, 42, 0, games, 3), one);
    // Shards of a run, joined in order, are the run.
    const uint64_t cut = games / 3;
    Records joined = generate<NW>(w, h, Policy::Tactical, 42, 0, cut, 2);
    joined.append(generate<NW>(w, h, Policy::Tactical, 42, cut, games - cut, 1));
    EXPECT_EQ(joined, one);
    EXPECT_NE(generate<NW>(w, h, Policy::Tactical, 43, 0, games, 1), one);
}

TYPED_TEST(SelfPlay, SliceAndTakeGiveTheChosenRecordsInOrder) {
    constexpr int NW = TypeParam::value;
    const auto [w, h] = sizes_for<NW>()[0];
    const Records all = generate<NW>(w, h, Policy::Random, 5, 0, 12, 1);
    const std::size_t n = all.size(), cut = n / 3;
    // A slice of the first games is the shorter run; the slices join into the whole.
    Records joined = all.slice(0, cut);
    joined.append(all.slice(cut, n - cut));
    EXPECT_EQ(joined, all);
    EXPECT_EQ(all.slice(n, 0).size(), 0u);
    EXPECT_EQ(all.slice(0, 0).width, all.width);
    // take: any order, repeats, and every field of each chosen record.
    const std::vector<uint64_t> picks{n - 1, 0, 3, 3, cut};
    const Records taken = all.take(picks.data(), picks.size());
    ASSERT_EQ(taken.size(), picks.size());
    for (std::size_t j = 0; j < picks.size(); ++j) {
        const Records one = all.slice(picks[j], 1);
        EXPECT_EQ(taken.slice(j, 1), one) << j;
    }
    std::vector<uint64_t> every(n);
    for (std::size_t i = 0; i < n; ++i) every[i] = i;
    EXPECT_EQ(all.take(every.data(), n), all);
    EXPECT_EQ(check_records<NW>(taken), "");
}

TEST(SelfPlayRun, BetweenChunksSeesProgressAndCanStop) {
    // One thread plays every chunk itself; with two it also appends a worker's.
    for (const unsigned threads : {1u, 2u}) {
        SCOPED_TRACE(threads);
        const uint64_t chunk = chunk_games(7, 6), games = chunk * 200 + 1;
        std::vector<uint64_t> seen;
        Records out;
        SelfPlayConfig c{7, 6, Policy::Random, 0, 0, games, threads};
        EXPECT_TRUE(run_self_play<1>(c, out, [&](uint64_t done) {
            seen.push_back(done);
            return true;
        }));
        // Whole chunks in order, the last call for the whole run.
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        for (std::size_t k = 0; k + 1 < seen.size(); ++k) EXPECT_EQ(seen[k] % chunk, 0u);
        EXPECT_EQ(seen.back(), games);
        EXPECT_EQ(out.game.back(), games - 1);
        // Stopped after the first report: the games collected by then, a whole number of chunks.
        EXPECT_FALSE(run_self_play<1>(c, out, [](uint64_t) { return false; }));
        EXPECT_EQ((out.game.back() + 1) % chunk, 0u);
        EXPECT_LT(out.game.back(), games - 1);
        // A failure in between() stops the workers and passes through.
        EXPECT_THROW(run_self_play<1>(c, out, [](uint64_t) -> bool { throw std::runtime_error("stop"); }),
                     std::runtime_error);
        c.games = 0;
        EXPECT_TRUE(run_self_play<1>(c, out, nullptr));
        EXPECT_EQ(out.size(), 0u);
    }
}

TEST(SelfPlayRun, AChildForkedInBetweenGoesOnOnlyWithoutWorkers) {
    // The child has only the thread that forked: a run with workers throws
    // ForkedRun there without touching what they shared (a lock they may hold,
    // a condition variable they wait on); a run on one thread goes on. The
    // parent's run is unchanged either way. A hung child is killed.
    const uint64_t games = chunk_games(7, 6) * 60;
    const Records want = generate<1>(7, 6, Policy::Random, 5, 0, games, 1);
    for (const unsigned threads : {1u, 3u}) {
        SCOPED_TRACE(threads);
        pid_t child = -1;
        Records out;
        bool finished = false;
        try {
            finished = run_self_play<1>(SelfPlayConfig{7, 6, Policy::Random, 5, 0, games, threads}, out,
                                        [&](uint64_t) {
                                            if (child < 0) child = fork();
                                            return true;
                                        });
        } catch (const ForkedRun &) {
            if (child == 0) _exit(threads > 1 ? 0 : 1);
            throw;
        }
        if (child == 0) _exit(threads == 1 && finished && out == want ? 0 : 2);
        ASSERT_GT(child, 0);
        EXPECT_TRUE(finished);
        EXPECT_EQ(out, want);
        int status = 0;
        pid_t got = 0;
        for (int waited = 0; (got = waitpid(child, &status, WNOHANG)) == 0 && waited < 6000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (got == 0) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            FAIL() << "the child hung";
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

TEST(SelfPlayRun, ManyThreadsOverManyChunksGiveTheOneThreadRecords) {
    // More threads than cores and chunks far past the ones waiting to be
    // appended: chunks are handed out, played, appended and made room for by
    // whichever thread comes first, in every order.
    const uint64_t games = chunk_games(7, 6) * 40 + 3;
    const Records one = generate<1>(7, 6, Policy::Random, 9, 0, games, 1);
    for (const unsigned threads : {2u, 8u}) EXPECT_EQ(generate<1>(7, 6, Policy::Random, 9, 0, games, threads), one);
}

TEST(SelfPlayRun, TacticalSetsInKnownPositions) {
    struct Case {
        std::vector<int> columns;
        unsigned width, height;
        uint32_t expected;
    };
    const std::vector<Case> cases = {
        {{}, 7, 6, 0x7f},
        // Red has three in column 0: Yellow must block there.
        {{0, 6, 0, 6, 0}, 7, 6, 1u << 0},
        // Red can win in column 0 although Yellow threatens column 6: the win comes first.
        {{0, 6, 0, 6, 0, 6}, 7, 6, 1u << 0},
        // Red has 1-2-3 on the bottom row, open at both ends: Yellow's two blocks.
        {{1, 1, 2, 2, 3}, 7, 6, (1u << 0) | (1u << 4)},
        // Red's three sits on row 1: its fourth cell (0, 1) is not playable yet, so no block.
        {{2, 1, 1, 3, 3, 6, 2}, 7, 6, 0x7f},
        // A threat in the last column.
        {{6, 0, 6, 0, 6}, 7, 6, 1u << 6},
        // 4 x 4 with columns 1 to 3 full and no win in column 0: the only column left.
        {{1, 1, 3, 2, 2, 3, 2, 0, 3, 1, 1, 2, 0, 3}, 4, 4, 1u << 0},
    };
    for (const Case &c : cases) {
        RefGame ref(c.width, c.height);
        for (int col : c.columns) ref.play(col);
        ASSERT_FALSE(ref.outcome);
        EXPECT_EQ(ref_tactical(ref), c.expected);
        const auto pb = PlayBoard<1>::make(c.width, c.height);
        Bitboard<1> landing;
        uint32_t legal = 0;
        for (const auto &[col, row] : ref.legal()) {
            landing.set_bit(row * c.width + col);
            legal |= 1u << col;
        }
        const auto mine = pb.winning_cells(cells_of<1>(ref, ref.turn)) & landing;
        const auto theirs = pb.winning_cells(cells_of<1>(ref, -ref.turn)) & landing;
        const uint32_t got = !mine.empty() ? pb.columns_of(mine) : !theirs.empty() ? pb.columns_of(theirs) : legal;
        EXPECT_EQ(got, c.expected);
    }
}

// ---- the consistency checks ----

namespace {

/// The first generated 7 x 6 tactical game's records.
Records sample() {
    Records out;
    run_self_play<1>(SelfPlayConfig{7, 6, Policy::Tactical, 1, 0, 3, 1}, out, nullptr);
    return out;
}

}  // namespace

TEST(CheckRecords, GeneratedRecordsPassAndEachFaultIsNamed) {
    const Records good = sample();
    ASSERT_EQ(check_records<1>(good), "");
    ASSERT_GT(good.size(), 12u);
    // Record 10 is past the opening, so it has a full set of last moves.
    const std::size_t i = 10;
    const std::vector<std::pair<std::string, std::function<void(Records &)>>> faults = {
        {"record 10: a piece lies off the board", [](Records &r) { r.red[i] |= uint64_t{1} << 42; }},
        {"record 10: a cell holds both colours", [](Records &r) { r.yellow[i] |= r.red[i] & -r.red[i]; }},
        {"record 10: a piece in column 3 floats above an empty cell",
         [](Records &r) { r.red[i] |= uint64_t{1} << (5 * 7 + 3); }},
        {"record 10: the move count 42 is past the board", [](Records &r) { r.ply[i] = 42; }},
        {"record 10: the board holds 10 pieces, not 11", [](Records &r) { r.ply[i] = 11; }},
        {"record 10: the side to move does not match the move count", [](Records &r) { r.turn[i] = -1; }},
        {"record 10: a recorded move's column is off the board",
         [](Records &r) { r.last_moves[i * 8 + 2] = 7; }},
        {"record 10: the policy is not a set of open columns", [](Records &r) { r.policy[i] = 0; }},
        {"record 10: the policy is not a set of open columns", [](Records &r) { r.policy[i] |= 1u << 7; }},
        {"record 10: the opponent mask is neither 0 nor 1", [](Records &r) { r.opponent_mask[i] = 2; }},
        {"record 10: the value is not 1, 0 or -1", [](Records &r) { r.value[i] = 3; }},
        {"the fields' lengths disagree", [](Records &r) { r.game.pop_back(); }},
        {"the fields' lengths disagree", [](Records &r) { r.red.push_back(0); }},
    };
    for (const auto &[message, spoil] : faults) {
        Records r = good;
        spoil(r);
        EXPECT_EQ(check_records<1>(r), message);
    }
}

/// Random piles on a board of NW words: whether a piece floats, by columns,
/// against what the checks say, across word boundaries too.
template <int NW>
void floating_pieces_are_found(unsigned width, unsigned height) {
    Records good;
    run_self_play<NW>(SelfPlayConfig{width, height, Policy::Tactical, 1, 0, 1, 1}, good, nullptr);
    std::mt19937_64 rng(width * 100 + height);
    const unsigned cells = width * height;
    for (int trial = 0; trial < 400; ++trial) {
        Records r = good;
        Bitboard<NW> pile;
        bool floats = false;
        for (unsigned c = 0; c < width; ++c) {
            // A column of pieces on its lowest cells, or now and then a gap.
            const unsigned n = static_cast<unsigned>(rng() % (height + 1));
            for (unsigned row = 0; row < n; ++row) pile.set_bit(row * width + c);
            if (n + 1 < height && rng() % 6 == 0) {
                pile.set_bit((n + 1 + static_cast<unsigned>(rng() % (height - n - 1))) * width + c);
                floats = true;
            }
        }
        ASSERT_LE(pile.count_ones(), cells);
        for (int k = 0; k < NW; ++k) {
            r.red[k] = pile.w[k];
            r.yellow[k] = 0;
        }
        const std::string fault = check_records<NW>(r);
        EXPECT_EQ(fault.find("floats above an empty cell") != std::string::npos, floats) << fault;
    }
}

TEST(CheckRecords, FloatingPiecesAreFoundOnBoardsOfOneAndMoreWords) {
    floating_pieces_are_found<1>(7, 6);
    floating_pieces_are_found<2>(9, 8);
    floating_pieces_are_found<2>(13, 7);
    floating_pieces_are_found<3>(12, 12);
}

TEST(CheckRecords, MovesThatDoNotLeadToThePositionAndEndsOfGames) {
    const Records good = sample();
    {
        Records r = good;
        std::swap(r.last_moves[10 * 8], r.last_moves[10 * 8 + 1]);
        // Unless both moves were in one column, the top pieces no longer match.
        if (r.last_moves[80] != r.last_moves[81]) {
            EXPECT_EQ(check_records<1>(r), "record 10: the recorded moves do not lead to the position");
        }
    }
    {
        Records r = good;
        r.last_moves[0] = 3;  // the first position has no moves before it
        EXPECT_EQ(check_records<1>(r), "record 0: a move is recorded before the start of the game");
    }
    // The game's last record: its move ends the game, so no opponent target.
    std::size_t last = 0;
    while (good.game[last + 1] == 0) ++last;
    {
        Records r = good;
        r.opponent_mask[last] = 1;
        EXPECT_EQ(check_records<1>(r), "record " + std::to_string(last) +
                                           ": the opponent mask is set after the game's last move");
    }
    {
        Records r = good;
        r.opponent_mask[0] = 0;
        EXPECT_EQ(check_records<1>(r), "record 0: the opponent mask is clear although the game goes on");
    }
    {
        Records r = good;
        r.opponent_policy[0] = 0;
        EXPECT_EQ(check_records<1>(r), "record 0: the opponent policy does not match the next position");
    }
    if (good.value[last] == 1) {
        Records r = good;
        r.value[last] = -1;
        EXPECT_EQ(check_records<1>(r),
                  "record " + std::to_string(last) + ": the value does not match the game's end");
    }
    {
        Records r = good;
        r.action[0] = static_cast<uint8_t>(std::countr_zero(~r.policy[0]));
        EXPECT_EQ(check_records<1>(r), "record 0: the action is not in the policy");
    }
}
