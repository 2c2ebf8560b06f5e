"""The stress tier: every kind of work run on many threads at once, alone, on
one shared object, all kinds together, and across fork, each result checked
against the same work done on one thread. The thread and round counts grow
with the stress factor (thread_support.STRESS): four times on a free-threaded
build, more with GRAVLINE_STRESS=N.

A new kind of work joins the tier as one entry of WORKLOADS."""
import hashlib
import os
import pickle
import random
import threading
import time

import numpy as np
import pytest

import drevik_gravline as dg
import drevik_gravline_batch as gb

from thread_support import STRESS, TIMEOUT, Workload, in_thread, run_together, scaled


def digest(*parts):
    """One short value for many arrays and texts, so results compare cheaply."""
    h = hashlib.sha256()
    for p in parts:
        h.update(p.tobytes() if isinstance(p, np.ndarray) else repr(p).encode())
    return h.hexdigest()


# ---- the work ----

def game_alone(seed):
    rng = random.Random(seed)
    g, trace = dg.Game(rng.randint(4, 12), rng.randint(4, 12)), []
    for _ in range(3):
        while not g.is_over():
            if rng.random() < 0.1 and g.unmake_move():
                continue
            assert g.apply_action(rng.choice(g.legal_action_indices()))
            trace.append((g.state_hash(), g.transposition_hash()))
        trace.append((str(g), g.encode_global_state_features()))
        g = pickle.loads(pickle.dumps(dg.Game(g.width(), g.height())))
    return digest(trace)


def game_shared():
    g = dg.Game(9, 7)
    for c in (4, 4, 3, 5, 2, 8, 0):
        assert g.apply_action(c)
    return g


def game_read(g):
    return digest(g.state_hash(), g.transposition_hash(), hash(g), str(g), repr(g), g.legal_moves(),
                  g.clone().state_hash(), pickle.dumps(g), g.board().column_height(4),
                  dg.Move.decode(3, g))


def play_batch(b, seed, steps):
    rng = np.random.default_rng(seed)
    for _ in range(steps):
        mask = b.legal_mask()
        _, done = b.step((rng.random(mask.shape) + mask).argmax(1))
        b.reset(done)
    return b


def batch_alone(seed):
    # Large enough that each step runs without the interpreter lock.
    b = play_batch(gb.GameBatch(600, 7, 6, threads=1 + seed % 2), seed, 12)
    return digest(b.state_hashes(), b.observe(), b.legal_mask(), b.move_counts())


def batch_read(b):
    return digest(b.observe(), b.legal_mask(), b.state_hashes(), b.transposition_hashes(), b.turns(),
                  b.game(17).state_hash())


def seeded_games(seed, count=24):
    rng = random.Random(seed)
    games = []
    for _ in range(count):
        g = dg.Game(7, 6)
        for _ in range(rng.randrange(20)):
            if g.is_over():
                break
            g.apply_action(rng.choice(g.legal_action_indices()))
        games.append(g)
    return games


def self_play_alone(seed):
    records = gb.self_play(150, 7, 6, seed=seed, threads=1 + seed % 2)
    return digest(*records.arrays().values())


def records_read(r):
    rows = np.arange(0, len(r), 7)
    out = {k: np.empty_like(v) for k, v in r.expand(rows[:5]).items()}
    small = r.expand(rows[:5], out=out)
    return digest(*r.expand(rows, mirror=True).values(), *small.values(), len(r), r == r,
                  gb.Records.concat([r, r]) == gb.Records.concat((r, r)))


def running_games(seed):
    return gb.GameBatch.from_games([g for g in seeded_games(seed, 24) if not g.is_over()][:12])


def search_alone(seed):
    # Rollouts and a hand-driven step, on the search's own threads or not.
    search = gb.Search(running_games(seed), simulations=24, leaves_per_step=2,
                       seed=seed, threads=1 + seed % 2, algorithm=("puct", "gumbel")[seed % 2])
    search.run("rollout")
    search.advance(search.best_actions(), finished="restart")
    planes, mask = search.select()
    search.expand(np.where(mask, planes.sum((1, 2, 3))[:, None] % 3, 0).astype(np.float32),
                  np.zeros(len(mask), np.float32))
    return digest(search.visit_counts(), search.root_values(), planes, mask)


def search_read(search):
    return digest(search.visit_counts(), search.policy(0.5), search.root_values(), search.best_actions(),
                  search.sample_actions(1.0, seed=3), search.stopped(), search.done())


def solved_positions(seed):
    # Late positions, so that every search is short.
    rng = random.Random(seed)
    games = []
    while len(games) < 6:
        g = dg.Game(6, 5)
        for _ in range(18):
            if g.is_over():
                break
            g.apply_action(rng.choice(g.legal_action_indices()))
        if not g.is_over():
            games.append(g)
    return games


def solver_alone(seed):
    solver = gb.Solver(6, 5, table_mb=1, threads=1 + seed % 2)
    games = solved_positions(seed)
    return digest(solver.scores(games), *[solver.move_scores(g) for g in games[:2]])


def solver_read(shared):
    solver, games = shared
    return digest(solver.scores(games), solver.move_scores(games[0]), solver.best_moves(games[1]))


def shared_search():
    search = gb.Search(running_games(4), simulations=24, seed=4)
    search.run("rollout")
    return search


def symmetry_arrays(seed):
    rng = np.random.default_rng(seed)
    n = 64
    return (rng.random((n, 17, 6, 7), dtype=np.float32), rng.random((n, 7), dtype=np.float32),
            rng.random(n, dtype=np.float32), rng.random((n, 7), dtype=np.float32),
            rng.random(n, dtype=np.float32))


WORKLOADS = [
    Workload("Game", game_alone, game_shared, game_read),
    Workload("GameBatch", batch_alone, lambda: play_batch(gb.GameBatch(600, 7, 6, threads=2), 1, 5), batch_read),
    Workload("encode_games", lambda seed: digest(gb.encode_games(seeded_games(seed))),
             lambda: seeded_games(99), lambda games: digest(gb.encode_games(games))),
    Workload("self_play", self_play_alone, lambda: gb.self_play(200, 7, 6, seed=5), records_read),
    Workload("Search", search_alone, shared_search, search_read),
    Workload("Solver", solver_alone, lambda: (gb.Solver(6, 5, table_mb=1), solved_positions(9)), solver_read),
    Workload("augment_symmetries", lambda seed: digest(*dg.augment_symmetries(*symmetry_arrays(seed))),
             lambda: symmetry_arrays(7), lambda arrays: digest(*dg.augment_symmetries(*arrays))),
]
IDS = [w.name for w in WORKLOADS]


def expected_alone(workload, seeds):
    return {s: workload.alone(s) for s in seeds}


def assert_all_ok(outcomes):
    assert [o for o in outcomes if o[0] != "ok"] == []


# ---- the tier ----

@pytest.mark.parametrize("workload", WORKLOADS, ids=IDS)
def test_many_threads_on_work_of_their_own_agree_with_one_thread(workload):
    seeds = range(scaled(4))
    expected = expected_alone(workload, seeds)
    outcomes = run_together([lambda s=s: workload.alone(s) for s in seeds])
    assert_all_ok(outcomes)
    assert [o[1] for o in outcomes] == [expected[s] for s in seeds]


@pytest.mark.parametrize("workload", [w for w in WORKLOADS if w.shared], ids=[w.name for w in WORKLOADS if w.shared])
def test_many_threads_reading_one_object_all_read_the_same(workload):
    obj = workload.shared()
    expected = workload.read(obj)
    rounds = scaled(5)
    outcomes = run_together([lambda: [workload.read(obj) for _ in range(rounds)]] * scaled(4))
    assert_all_ok(outcomes)
    assert {r for o in outcomes for r in o[1]} == {expected}
    # Nothing that read it kept a borrow or changed it.
    assert workload.read(obj) == expected


def test_every_kind_of_work_at_once():
    seeds = range(scaled(2))
    expected = {w.name: expected_alone(w, seeds) for w in WORKLOADS}
    shared = {w.name: w.shared() for w in WORKLOADS}
    reads = {w.name: w.read(shared[w.name]) for w in WORKLOADS}
    jobs, wanted = [], []
    for w in WORKLOADS:
        for s in seeds:
            jobs.append(lambda w=w, s=s: w.alone(s))
            wanted.append(expected[w.name][s])
            jobs.append(lambda w=w: w.read(shared[w.name]))
            wanted.append(reads[w.name])
    order = list(range(len(jobs)))
    random.Random(0).shuffle(order)
    outcomes = run_together([jobs[i] for i in order])
    assert_all_ok(outcomes)
    assert [o[1] for o in outcomes] == [wanted[i] for i in order]


def wait_for_child(pid):
    """The child's exit code; a child still running after TIMEOUT is killed
    and reported as hung (a lock that the fork left taken)."""
    deadline = time.monotonic() + TIMEOUT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.filterwarnings("ignore:.*fork.*:DeprecationWarning")
def test_fork_while_threads_run_every_kind_of_work():
    """Children forked while other threads are in the middle of every kind of
    work (with and without the interpreter lock, in first uses, in the
    generator's threads) each do every kind of work once, and get what the
    parent got."""
    expected = {w.name: w.alone(0) for w in WORKLOADS}
    stop = threading.Event()

    def busy(w, seed):
        while not stop.is_set():
            result = w.alone(seed)
            assert seed != 0 or result == expected[w.name]

    workers = [in_thread(lambda w=w, k=k: busy(w, k)) for w in WORKLOADS for k in range(max(1, STRESS // 2))]
    codes = []
    try:
        for _ in range(scaled(3)):
            time.sleep(0.05)
            pid = os.fork()
            if pid == 0:
                code = 3
                try:
                    code = 0 if all(w.alone(0) == expected[w.name] for w in WORKLOADS) else 1
                finally:
                    os._exit(code)
            codes.append(wait_for_child(pid))
    finally:
        stop.set()
        outcomes = [w.result() for w in workers]
    assert codes == [0] * len(codes)
    assert_all_ok(outcomes)
