"""Search: against a plain Python search written here over Game, with an
evaluator that is a fixed function of the position; terminal and proven
positions, determinism, tree reuse, argument errors and playing strength."""

import math
import pickle
import os
import random
import zlib

import numpy as np
import pytest

import drevik_gravline as dg
import drevik_gravline_batch as gb

# ---- a deterministic evaluator: logits and value from the position's planes ----


def evaluate_planes(planes):
    """Logits and a value for one position, a fixed function of its pieces and turn."""
    key = zlib.crc32(np.ascontiguousarray(planes[:2]).tobytes() + bytes([int(planes[16, 0, 0])]))
    rng = np.random.default_rng(key)
    width = planes.shape[2]
    return rng.normal(0, 1.5, width).astype(np.float32), np.float32(rng.uniform(-0.9, 0.9))


class CountingEvaluator:
    def __init__(self):
        self.calls = 0
        self.leaves = 0

    def __call__(self, planes, mask):
        self.calls += 1
        self.leaves += len(planes)
        assert planes.dtype == np.float32 and mask.dtype == np.bool_
        assert mask.any(axis=1).all()
        out = [evaluate_planes(p) for p in planes]
        return np.array([o[0] for o in out]), np.array([o[1] for o in out], dtype=np.float32)


def planes_of(game):
    return gb.encode_games([game])[0]


# ---- the reference: one tree, one leaf at a time, as the search defines it ----

CHECKED, DRAW, WIN, LOSS = 1, 2, 4, 8


class Node:
    __slots__ = ("parent", "col", "children", "n", "w", "prior", "logit", "value", "state")

    def __init__(self, parent=None, col=-1, prior=0.0, logit=0.0):
        self.parent, self.col, self.prior, self.logit = parent, col, prior, logit
        self.children = []
        self.n, self.w, self.value, self.state = 0, 0.0, 0.0, 0

    def settled(self):
        return self.state & (DRAW | WIN | LOSS)

    def exact(self):
        return 1.0 if self.state & WIN else -1.0 if self.state & LOSS else 0.0


class Reference:
    def __init__(self, game, sims, algorithm="puct", c_init=1.25, c_base=19652.0, gumbel_samples=16,
                 c_visit=50.0, c_scale=1.0):
        self.game, self.sims, self.algorithm = game.clone(), sims, algorithm
        self.c_init, self.c_base, self.k, self.c_visit, self.c_scale = c_init, c_base, gumbel_samples, c_visit, c_scale
        self.root = Node()
        self.evaluations = 0

    # -- the rules --

    def puct(self, s):
        cs = self.c_init + math.log((s.n + self.c_base + 1) / self.c_base)
        explore = cs * math.sqrt(s.n)
        best, best_score = None, -math.inf
        for ch in s.children:
            if ch.state & WIN:
                continue
            q = ch.w / ch.n if ch.n else 0.0
            score = q + explore * ch.prior / (1.0 + ch.n)
            if best is None or score > best_score:
                best, best_score = ch, score
        return best

    def scores(self, s):
        n = pq = p = 0.0
        for ch in s.children:
            if ch.n:
                n += ch.n
                pq += ch.prior * (ch.w / ch.n)
                p += ch.prior
        mix = s.value if n == 0 else (s.value + (n * pq / p if p > 0 else 0.0)) / (1 + n)
        scale = (self.c_visit + max(ch.n for ch in s.children)) * self.c_scale
        return [ch.logit + scale * (ch.w / ch.n if ch.n else mix) for ch in s.children]

    def improved(self, s):
        sc = self.scores(s)
        m = max(sc)
        e = [math.exp(x - m) for x in sc]
        total = 0.0
        for x in e:
            total += x
        return [x / total for x in e]

    def gumbel_inner(self, s):
        pi = self.improved(s)
        total = 0.0
        for ch in s.children:
            total += ch.n
        best, best_score = None, -math.inf
        for k, ch in enumerate(s.children):
            if ch.state & WIN:
                continue
            score = pi[k] - ch.n / (1 + total)
            if best is None or score > best_score:
                best, best_score = ch, score
        return best

    def prepare_root(self):
        r = self.root
        m = min(self.k, len(r.children))
        self.considered = set()
        for _ in range(m):
            best = None
            for k, ch in enumerate(r.children):
                if k not in self.considered and (best is None or ch.logit > r.children[best].logit):
                    best = k
            self.considered.add(best)
        self.seq = considered_visits(m, self.sims)
        self.root_visits = [0] * len(r.children)

    def gumbel_root(self, started):
        r = self.root
        sc = self.scores(r)
        want = self.seq[min(started, len(self.seq) - 1)]
        best, best_match, best_score = None, False, 0.0
        for k, ch in enumerate(r.children):
            if k not in self.considered or ch.state & WIN:
                continue
            match = self.root_visits[k] == want
            score = sc[k]
            if best is None or (match and not best_match) or (match == best_match and score > best_score):
                best, best_match, best_score = k, match, score
        return best

    # -- the search --

    def expand(self, node, game):
        self.evaluations += 1
        logits, value = evaluate_planes(planes_of(game))
        legal = game.legal_action_indices()
        m = max(float(logits[c]) for c in legal)
        e = [math.exp(float(logits[c]) - m) for c in legal]
        total = 0.0
        for x in e:
            total += x
        node.children = [Node(node, c, float(np.float32(x / total)), float(logits[c])) for c, x in zip(legal, e)]
        node.value = float(value)
        return float(value)

    def backup(self, node, value):
        while node is not None:
            node.n += 1
            node.w -= value
            value = -value
            node = node.parent

    def settle(self, node):
        while node.parent is not None:
            p = node.parent
            if p.state & (WIN | LOSS):
                return
            if node.state & LOSS:
                p.state |= WIN
            elif all(ch.state & WIN for ch in p.children):
                p.state |= LOSS
            else:
                return
            node = p

    def simulate(self, started):
        g = self.game.clone()
        node, root_child = self.root, None
        while node.children and not node.settled():
            if self.algorithm == "gumbel" and node is self.root:
                k = self.gumbel_root(started)
                root_child, child = k, node.children[k]
            else:
                child = self.puct(node) if self.algorithm == "puct" else self.gumbel_inner(node)
            assert g.apply_action(child.col)
            if not child.state & CHECKED:
                child.state |= CHECKED
                if g.is_over():
                    child.state |= DRAW if g.outcome().winner() is None else LOSS
                    if child.state & LOSS:
                        self.settle(child)
            node = child
        if root_child is not None:
            self.root_visits[root_child] += 1
        if node.settled():
            self.backup(node, node.exact())
        else:
            self.backup(node, self.expand(node, g))

    def run(self, sims=None):
        if not self.root.children:
            self.backup(self.root, self.expand(self.root, self.game))
        if self.algorithm == "gumbel":
            self.prepare_root()
        for k in range(self.sims if sims is None else sims):
            self.simulate(k)
        return self

    def advance(self, col):
        for ch in self.root.children:
            if ch.col == col:
                ch.parent = None
                self.root = ch
        self.game.apply_action(col)

    # -- results --

    def visit_counts(self):
        out = [0] * self.game.width()
        for ch in self.root.children:
            out[ch.col] = ch.n
        return out

    def root_value(self):
        return -self.root.w / self.root.n


def considered_visits(m, n):
    if m <= 1:
        return list(range(n))
    log2m = math.ceil(math.log2(m))
    seq, visits, count = [], [0] * m, m
    while len(seq) < n:
        extra = max(1, n // (log2m * count))
        for _ in range(extra):
            seq.extend(visits[:count])
            for i in range(count):
                visits[i] += 1
        count = max(2, count // 2)
    return seq[:n]


def random_positions(width, height, count, seed):
    rng = random.Random(seed)
    games = []
    while len(games) < count:
        g = dg.Game(width, height)
        for _ in range(rng.randrange(0, 2 * width)):
            g.apply_action(rng.choice(g.legal_action_indices()))
            if g.is_over():
                break
        if not g.is_over():
            games.append(g)
    return games


SIZES = [(7, 6), (9, 8), (32, 32)]


@pytest.mark.parametrize("width,height", SIZES)
@pytest.mark.parametrize("algorithm,sims", [("puct", 1), ("puct", 23), ("puct", 80), ("gumbel", 8), ("gumbel", 40)])
def test_matches_reference_search(width, height, algorithm, sims):
    if width == 32 and sims > 40:
        sims = 40
    games = random_positions(width, height, 3, seed=width * 100 + sims)
    ev = CountingEvaluator()
    s = gb.Search(games, simulations=sims, algorithm=algorithm, dirichlet_fraction=0.0, gumbel_scale=0.0,
                  gumbel_samples=4)
    s.run(ev)
    visits, values = s.visit_counts(), s.root_values()
    evaluations = 0
    for i, g in enumerate(games):
        ref = Reference(g, sims, algorithm, gumbel_samples=4).run()
        evaluations += ref.evaluations
        assert visits[i].tolist() == ref.visit_counts()
        assert values[i] == np.float32(ref.root_value())
        if algorithm == "gumbel":
            expected = ref.improved(ref.root)
            policy = s.policy()[i]
            for ch, p in zip(ref.root.children, expected):
                assert policy[ch.col] == pytest.approx(p, rel=1e-5, abs=1e-7)
    # Terminal positions never reach the evaluator: the same evaluations as the reference.
    assert ev.leaves == evaluations


def test_select_expand_loop_equals_run_and_threads_do_not_matter():
    games = random_positions(7, 6, 6, seed=4)
    results = []
    for threads, form in [(1, "run"), (2, "run"), (1, "loop"), (2, "loop")]:
        s = gb.Search(games, simulations=50, leaves_per_step=4, seed=9, threads=threads)
        ev = CountingEvaluator()
        if form == "run":
            s.run(ev)
        else:
            buffer = np.empty((6 * 4, 17, 6, 7), np.float32)
            while not s.done():
                planes, mask = s.select(out=buffer)
                assert planes.base is buffer or planes.base is buffer.base
                s.expand(*ev(planes, mask))
        results.append((s.visit_counts().tolist(), s.root_values().tolist()))
    assert all(r == results[0] for r in results)


def test_leaves_per_step_gathers_several_leaves_per_tree():
    s = gb.Search([dg.Game(7, 6)] * 2, simulations=40, leaves_per_step=8, dirichlet_fraction=0.0)
    planes, mask = s.select()
    assert planes.shape == (2, 17, 6, 7)  # the roots' own evaluations come first
    s.expand(np.zeros((2, 7), np.float32), np.zeros(2, np.float32))
    planes, mask = s.select()
    # Seven children under each root: the eighth descent meets a leaf already gathered.
    assert planes.shape == (14, 17, 6, 7)
    assert len({p.tobytes() for p in planes[:7]}) == 7


def win_in_one():
    g = dg.Game(7, 6)
    for c in [0, 1, 0, 1, 0, 2]:
        g.apply_action(c)
    return g  # Red to move; column 0 wins


def test_win_in_one_is_found_proven_and_never_evaluated_past():
    for algorithm in ["puct", "gumbel"]:
        ev = CountingEvaluator()
        s = gb.Search([win_in_one()], simulations=200, algorithm=algorithm, gumbel_samples=7, seed=1)
        s.run(ev)
        assert s.best_actions().tolist() == [0]
        # Once the win is proven, the simulations end at the root without the network.
        assert ev.leaves < 100
        assert s.root_values()[0] > 0.3


def test_forced_block_is_found():
    g = dg.Game(7, 6)
    for c in [0, 1, 0, 2, 0]:
        g.apply_action(c)  # Red threatens column 0; Yellow to move
    s = gb.Search([g], simulations=400, seed=2)
    s.run("rollout")
    assert s.best_actions().tolist() == [0]


def test_proven_loss_propagates_to_the_root():
    # Yellow to move, and Red has two winning columns: every reply loses.
    g = dg.Game(7, 6)
    for c in [1, 6, 2, 6, 3]:
        g.apply_action(c)  # Red 1, 2, 3 on the bottom row: columns 0 and 4 both win
    s = gb.Search([g], simulations=3000, seed=3)
    s.run("rollout")
    assert s.root_values()[0] < -0.9


@pytest.mark.parametrize("algorithm", ["puct", "gumbel"])
def test_advance_keeps_the_childs_counts(algorithm):
    game = random_positions(7, 6, 1, seed=12)[0]
    s = gb.Search([game], simulations=60, algorithm=algorithm, dirichlet_fraction=0.0, gumbel_scale=0.0)
    ref = Reference(game, 60, algorithm)
    s.run(CountingEvaluator())
    ref.run()
    col = int(s.best_actions()[0])
    s.advance([col])
    ref.advance(col)
    assert s.visit_counts()[0].tolist() == ref.visit_counts()
    assert s.root_values()[0] == np.float32(ref.root_value())
    s.run(CountingEvaluator())
    ref.run()
    assert s.visit_counts()[0].tolist() == ref.visit_counts()


def test_advance_into_an_ended_game_stops_or_restarts():
    s = gb.Search([win_in_one(), win_in_one()], simulations=16)
    s.run("rollout")
    s.advance([0, 0])
    assert s.stopped().tolist() == [True, True]
    assert s.done()
    assert s.best_actions().tolist() == [-1, -1]
    assert s.visit_counts().sum() == 0
    with pytest.raises(ValueError) as e:
        s.advance([0, -1])
    assert str(e.value) == "illegal action 0 in game 0"
    s.advance([-1, -1])
    r = gb.Search([win_in_one()], simulations=16)
    r.run("rollout")
    r.advance([0], finished="restart")
    assert r.stopped().tolist() == [False]
    r.run("rollout")
    assert r.visit_counts().sum() == 16


def test_roots_from_a_game_batch():
    batch = gb.GameBatch(3, 9, 8)
    batch.step(np.array([1, 2, 3]))
    s = gb.Search(batch, simulations=10, dirichlet_fraction=0.0)
    t = gb.Search([batch.game(i) for i in range(3)], simulations=10, dirichlet_fraction=0.0)
    s.run(CountingEvaluator())
    t.run(CountingEvaluator())
    assert s.visit_counts().tolist() == t.visit_counts().tolist()


def test_policy_and_sampling():
    s = gb.Search([dg.Game(7, 6)] * 4, simulations=64, seed=5)
    s.run("rollout")
    p = s.policy()
    assert p.dtype == np.float32 and p.shape == (4, 7)
    assert np.allclose(p.sum(axis=1), 1)
    assert np.allclose(p, s.visit_counts() / 64)
    greedy = s.policy(temperature=0)
    assert (greedy.argmax(axis=1) == s.best_actions()).all()
    a = s.sample_actions(1.0, seed=3)
    assert (a == s.sample_actions(1.0, seed=3)).all()
    assert all(p[i, a[i]] > 0 for i in range(4))
    assert (s.sample_actions(0.0) == s.best_actions()).all()


def test_bad_arguments():
    finished = win_in_one()
    finished.apply_action(0)
    with pytest.raises(ValueError) as e:
        gb.Search([dg.Game(7, 6), finished], simulations=4)
    assert str(e.value) == "game 1 is over"
    with pytest.raises(ValueError) as e:
        gb.Search([dg.Game(7, 6), dg.Game(8, 6)], simulations=4)
    assert str(e.value) == "all games must have the same size"
    with pytest.raises(ValueError) as e:
        gb.Search([dg.Game(7, 6)], simulations=4, algorithm="mcts")
    assert str(e.value) == "algorithm must be 'puct' or 'gumbel', not 'mcts'"
    with pytest.raises(TypeError):
        gb.Search([dg.Game(7, 6)])
    with pytest.raises(ValueError):
        gb.Search([], simulations=4)
    s = gb.Search([dg.Game(7, 6)], simulations=4)
    with pytest.raises(RuntimeError) as e:
        s.expand(np.zeros((1, 7), np.float32), np.zeros(1, np.float32))
    assert str(e.value) == "expand() needs a select() first"
    s.select()
    with pytest.raises(RuntimeError) as e:
        s.select()
    assert str(e.value) == "select() was called again before expand()"
    with pytest.raises(ValueError) as e:
        s.expand(np.zeros((2, 7), np.float32), np.zeros(2, np.float32))
    assert str(e.value) == "argument 'priors': expected shape (1, 7), got (2, 7)"
    with pytest.raises(ValueError) as e:
        s.expand(np.zeros((1, 7), np.float32), np.array([1.5], np.float32))
    assert str(e.value) == "values[0] must be in [-1, 1]"
    # A refused evaluation leaves the step open: a good one is still taken.
    s.expand(np.zeros((1, 7)), np.zeros(1))
    with pytest.raises(ValueError) as e:
        s.advance([7])
    assert str(e.value) == "illegal action 7 in game 0"


def test_failing_evaluator_leaves_the_search_usable_and_unborrowed():
    s = gb.Search([dg.Game(7, 6)] * 2, simulations=20, leaves_per_step=2)

    def bad(planes, mask):
        s.visit_counts()  # the search is borrowed while it runs

    with pytest.raises(RuntimeError) as e:
        s.run(bad)
    assert str(e.value) == "Already mutably borrowed"

    def wrong(planes, mask):
        return 1

    with pytest.raises(TypeError):
        s.run(wrong)
    s.run(CountingEvaluator())
    assert s.visit_counts().sum() == 40
    ev = CountingEvaluator()
    t = gb.Search([dg.Game(7, 6)] * 2, simulations=20, leaves_per_step=2)
    t.run(ev)
    assert s.visit_counts().tolist() == t.visit_counts().tolist()


# ---- strength against the tactical rule ----


def completes_four(game, c, player):
    """Whether a piece of `player` dropped in column c would make four in a row."""
    h = game.board().column_height(c)
    w, height = game.width(), game.height()

    def same(x, y):
        if not (0 <= x < w and 0 <= y < height):
            return False
        p = game.get_piece(x, y)
        return p is not None and int(p) == player

    for dx, dy in ((1, 0), (0, 1), (1, 1), (1, -1)):
        n = 1
        for sign in (1, -1):
            x, y = c + sign * dx, h + sign * dy
            while same(x, y):
                n += 1
                x, y = x + sign * dx, y + sign * dy
        if n >= 4:
            return True
    return False


def tactical_move(game, rng):
    """The tactical rule: a winning drop, else a block, else any legal column."""
    legal = game.legal_action_indices()
    me = int(game.turn())
    for player in (me, -me):
        hits = [c for c in legal if completes_four(game, c, player)]
        if hits:
            return rng.choice(hits)
    return rng.choice(legal)


def play_match(games, sims, seed):
    rng = random.Random(seed)
    wins = 0
    for i in range(games):
        g = dg.Game(7, 6)
        search_side = 1 if i % 2 == 0 else -1
        while not g.is_over():
            if int(g.turn()) == search_side:
                s = gb.Search([g], simulations=sims, seed=seed * 1000 + i, dirichlet_fraction=0.0)
                s.run("rollout")
                g.apply_action(int(s.best_actions()[0]))
            else:
                g.apply_action(tactical_move(g, rng))
        w = g.outcome().winner()
        wins += w is not None and int(w) == search_side
    return wins


def test_rollout_search_beats_the_tactical_rule():
    assert play_match(20, 200, seed=1) >= 16


@pytest.mark.skipif(not os.environ.get("GRAVLINE_SLOW"), reason="set GRAVLINE_SLOW=1: 200 games of 800 simulations")
def test_rollout_search_wins_nine_in_ten_of_200_games():
    assert play_match(200, 800, seed=2) >= 180


# ---- self-play with the search: records of version 2 ----


def test_self_play_search_records_the_searchs_targets(tmp_path):
    r = gb.self_play_search(4, 7, 6, evaluate="rollout", simulations=40, seed=3, temperature_moves=4)
    a = r.arrays()
    assert a["visits"].dtype == np.uint16 and a["visits"].shape == (len(r), 7)
    assert a["root_value"].dtype == np.float32
    # A fresh tree's visits are the simulations; later trees are reused, and
    # a proven root spends its simulations at the root.
    assert (a["visits"][a["ply"] == 0].sum(axis=1) == 40).all()
    assert (a["policy"] == (a["visits"] > 0) @ (1 << np.arange(7))).all()
    assert sorted(set(a["game"].tolist())) == [0, 1, 2, 3]
    assert sum(v.nbytes for v in a.values()) / len(r) <= 64
    e = r.expand()
    assert np.allclose(e["policies"], a["visits"] / a["visits"].sum(axis=1, keepdims=True))
    assert (e["root_values"] == a["root_value"]).all()
    m = r.expand(mirror=True)
    assert np.allclose(m["policies"][len(r):], e["policies"][:, ::-1])
    assert gb.Records.load(r.save(tmp_path / "search")) == r
    assert pickle.loads(pickle.dumps(r)) == r
    assert gb.Records.from_arrays(7, 6, **a) == r
    assert len(gb.Records.concat([r, r])) == 2 * len(r)
    with pytest.raises(ValueError) as e:
        gb.Records.concat([r, gb.self_play(1, 7, 6)])
    assert str(e.value) == "records of one format version only: 2 and 1"


def test_version_2_records_refused_when_inconsistent():
    r = gb.self_play_search(2, 7, 6, evaluate="rollout", simulations=20, seed=4)
    a = r.arrays()
    zero = {k: v.copy() for k, v in a.items()}
    zero["visits"][0] = 0
    with pytest.raises(ValueError) as e:
        gb.Records.from_arrays(7, 6, **zero)
    assert str(e.value) == "inconsistent records: record 0: the distribution is zero where a move was played"
    moved = {k: v.copy() for k, v in a.items()}
    moved["root_value"][1] = 2.0
    with pytest.raises(ValueError) as e:
        gb.Records.from_arrays(7, 6, **moved)
    assert str(e.value) == "inconsistent records: record 1: the root value is not in [-1, 1]"
    with pytest.raises(TypeError):
        gb.Records.from_arrays(7, 6, **{k: v for k, v in a.items() if k != "root_value"})


def test_version_2_distribution_on_a_full_column_is_refused():
    r = gb.self_play_search(1, 4, 4, evaluate="rollout", simulations=8, seed=1, temperature_moves=0)
    a = r.arrays()
    for i in range(len(r)):
        occupied = int(a["red"][i, 0] | a["yellow"][i, 0])
        full = [c for c in range(4) if occupied >> (12 + c) & 1]
        if full:
            a["visits"][i, full[0]] = 3
            with pytest.raises(ValueError) as e:
                gb.Records.from_arrays(4, 4, **a)
            assert str(e.value) == f"inconsistent records: record {i}: the distribution covers a full column"
            return
    pytest.skip("no position with a full column")


def test_self_play_search_with_a_network_is_the_same_on_any_threads():
    ev = CountingEvaluator()
    one = gb.self_play_search(3, 7, 6, evaluate=ev, simulations=12, seed=8, leaves_per_step=2)
    two = gb.self_play_search(3, 7, 6, evaluate=CountingEvaluator(), simulations=12, seed=8, leaves_per_step=2,
                              threads=2)
    assert one == two and ev.calls > 0
    gumbel = gb.self_play_search(2, 7, 6, evaluate=ev, simulations=8, algorithm="gumbel", seed=8)
    assert (gumbel.arrays()["visits"].sum(axis=1) > 60000).all()
    done = []
    gb.self_play_search(2, 7, 6, evaluate="rollout", simulations=4, progress=done.append)
    assert done[-1] == 2


def test_main_job_plays_with_the_search(tmp_path, capsys):
    from drevik_gravline_tools import self_play as job

    out = tmp_path / "s.npz"
    assert job.main(["--games", "3", "--policy", "search", "--simulations", "16", "--out", str(out),
                     "--no-progress", "--seed", "2"]) == 0
    r = gb.Records.load(out)
    assert r == gb.self_play_search(3, 7, 6, evaluate="rollout", simulations=16, seed=2)
    with pytest.raises(SystemExit):
        job.parse_args(["--policy", "search", "--backend", "ray"])


def test_other_threads_run_during_a_search_and_meet_its_borrow():
    import threading

    s = gb.Search([dg.Game(7, 6)] * 64, simulations=3000, threads=2)
    started = threading.Event()

    def work():
        started.set()
        s.run("rollout")

    t = threading.Thread(target=work)
    t.start()
    started.wait()
    seen = None
    while t.is_alive():
        try:
            s.visit_counts()
        except RuntimeError as e:
            seen = str(e)
            break
    t.join()
    assert seen == "Already mutably borrowed"
    assert s.visit_counts().sum() == 64 * 3000


def test_an_interrupted_rollout_search_runs_on_to_the_same_trees():
    import _thread
    import threading

    def fresh():
        return gb.Search(gb.GameBatch(384, 7, 6), simulations=600, seed=9, threads=2)

    search = fresh()
    timer = threading.Timer(0.05, _thread.interrupt_main)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            search.run("rollout")
    finally:
        timer.cancel()
    assert not search.done()
    search.run("rollout")
    whole = fresh()
    whole.run("rollout")
    assert (search.visit_counts() == whole.visit_counts()).all()
    assert (search.root_values() == whole.root_values()).all()


def test_expand_of_a_searchs_records_writes_into_a_previous_result():
    r = gb.self_play_search(2, 7, 6, evaluate="rollout", simulations=8, seed=6)
    rows = np.arange(6)
    first = r.expand(rows, mirror=True)
    assert sorted(first) == ["opponent_policies", "opponent_policy_masks", "policies", "root_values", "states",
                             "values"]
    # The previous result, root_values included, or the five arrays alone.
    again = r.expand(rows[::-1], mirror=True, out=first)
    assert all(again[k] is first[k] for k in first)
    np.testing.assert_array_equal(again["root_values"][:6], r.arrays()["root_value"][rows[::-1]])
    five = {k: v for k, v in first.items() if k != "root_values"}
    assert r.expand(rows, mirror=True, out=five)["root_values"].shape == (12,)
    with pytest.raises(ValueError, match="sixth array must be 'root_values'"):
        r.expand(rows, mirror=True, out={**five, "extra": first["root_values"]})
    with pytest.raises(ValueError, match="'root_values' shares memory"):
        r.expand(rows, mirror=True, out={**five, "root_values": first["values"]})
    with pytest.raises(ValueError, match="optionally 'root_values'"):
        r.expand(rows, mirror=True, out={"states": first["states"]})
