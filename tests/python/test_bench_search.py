"""The tree search's benchmark against its peers: rows that say so when a peer
is missing, and the check that every engine feeds the network the same
inputs, which must catch a wrong board orientation or plane order. Its
figures are measurements, not checked here; the peers (jax, pgx, mctx,
OpenSpiel) live in the benchmark environment only, and their tests skip
elsewhere."""
import sys
from pathlib import Path

import numpy as np
import pytest

BENCH = Path(__file__).resolve().parents[2] / "bench"


@pytest.fixture
def bench(monkeypatch):
    monkeypatch.syspath_prepend(str(BENCH))
    import bench_search

    yield bench_search
    sys.modules.pop("bench_search", None)


def test_missing_peers_give_rows_that_say_so(bench, monkeypatch):
    monkeypatch.setattr(bench, "missing", lambda *names: f"{names[0]} not installed")
    rows, note = bench.peer_rows(bench.Mlp(), reps=1)
    assert [(r.baseline, r.met) for r in rows] == [(None, "not measured")] * 3
    assert [r.goal for r in rows] == [0.1, 0.5, 0.1]
    assert all(r.ours > 0 and "not installed" in r.note for r in rows)
    assert "mctx rows: jax not installed" in note


def test_pgx_inputs_match_ours_and_a_flipped_board_is_caught(bench, monkeypatch):
    pytest.importorskip("pgx")
    net = bench.Mlp()
    bench.check_inputs(net)
    right = bench.jax_mlp

    def upside_down(net):
        forward = right(net)
        return lambda obs: forward(obs[:, ::-1])
    monkeypatch.setattr(bench, "jax_mlp", upside_down)
    with pytest.raises(RuntimeError, match="pgx and Game disagree"):
        bench.check_inputs(net)


def test_openspiel_inputs_match_ours_and_swapped_sides_are_caught(bench, monkeypatch):
    pytest.importorskip("pyspiel")
    net = bench.Mlp()
    bench.check_inputs(net)
    right = bench.spiel_planes
    monkeypatch.setattr(bench, "spiel_planes", lambda state: right(state)[:, ::-1])
    with pytest.raises(RuntimeError, match="OpenSpiel and Game disagree"):
        bench.check_inputs(net)


def test_openspiel_bot_evaluates_each_position_once_per_search(bench):
    pytest.importorskip("pyspiel")
    calls = []

    class Counting(bench.Mlp):
        def __call__(self, planes, mask=None):
            calls.append(len(planes))
            return super().__call__(planes, mask)

    # The bot values a leaf on its first visit and asks for its priors on the
    # next: one network call for both, at most one per simulation plus the root.
    search = bench.spiel_search(Counting(), 60)
    for _ in range(2):  # a second search evaluates again: nothing is kept between searches
        calls.clear()
        assert 0 <= search() < 7
        assert set(calls) == {1} and 30 <= len(calls) <= 61


def test_mctx_search_compiles_once_and_returns_a_policy(bench):
    pytest.importorskip("mctx")
    run, compile_s = bench.mctx_search(bench.Mlp(), games=4, sims=8, gumbel=True)
    weights = np.asarray(run())
    assert compile_s > 0 and weights.shape == (4, 7)
    assert np.allclose(weights.sum(axis=1), 1, atol=1e-5)
