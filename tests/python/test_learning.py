"""The learning interface of Game: input planes, the action codec, rewards and
position hashes, checked against published values and a slow Python reference."""

import math
import os
import random
import subprocess
import sys

import pytest

import drevik_gravline
from drevik_gravline import Game, Move

RED, YELLOW = 1, -1
# Red four in column 0: red bits 0, 7, 14, 21; yellow bits 1, 8, 15.
RED_WINS = [0, 1, 0, 1, 0, 1, 0]
# Yellow four in column 0, Red scattered.
YELLOW_WINS = [6, 0, 1, 0, 1, 0, 1, 0]
# Fills a 4 x 4 board without a four.
DRAW_4X4 = [0, 0, 0, 2, 1, 2, 2, 1, 0, 3, 3, 1, 2, 3, 3, 1]


# ---- helpers ----

def play(cols, width=7, height=6):
    g = Game(width, height)
    for c in cols:
        assert g.apply_action(c) is True, (cols, c)
    return g


def grid_of(g):
    """Every occupied cell of the game as {(col, row): player}."""
    cells = {}
    for c in range(g.width()):
        for r in range(g.height()):
            p = g.get_piece(c, r)
            if p is not None:
                cells[(c, r)] = p
    return cells


def reference_planes(width, height, positions, mover):
    """The 17 planes from `positions`, the current position first and then up to
    seven earlier ones, each a {(col, row): player} map, seen by `mover`."""
    area = width * height
    out = [0.0] * (17 * area)
    for t, cells in enumerate(positions[:8]):
        for (c, r), p in cells.items():
            out[(2 * t + (0 if p == mover else 1)) * area + r * width + c] = 1.0
    if mover == RED:
        out[16 * area:] = [1.0] * area
    return out


def takeback_positions(cells, history):
    """The current cells, then those left by clearing the last seven recorded
    cells one at a time, newest first."""
    positions, cur = [dict(cells)], dict(cells)
    for cell in reversed(history[-7:]):
        cur.pop(cell, None)
        positions.append(dict(cur))
    return positions


class Replay:
    """A gravity game kept in plain Python: every position after every move."""

    def __init__(self, width, height):
        self.width, self.height = width, height
        self.heights = [0] * width
        self.turn = RED
        self.positions = [{}]
        self.history = []

    def drop(self, col):
        cells = dict(self.positions[-1])
        cells[(col, self.heights[col])] = self.turn
        self.history.append((col, self.heights[col]))
        self.heights[col] += 1
        self.turn = -self.turn
        self.positions.append(cells)

    def planes(self):
        return reference_planes(self.width, self.height, self.positions[::-1], self.turn)


def snapshot(g):
    """Everything observable about a game, history included: the history is read
    by taking every move back on a clone."""
    def state(x):
        return (x.state_hash(), x.transposition_hash(), hash(x), x.turn(), x.is_over(),
                repr(x.outcome()), [repr(m) for m in x.legal_moves()], grid_of(x))

    steps, c = [state(g)], g.clone()
    while c.unmake_move():
        steps.append(state(c))
    return steps


def panic_of(fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    exc = info.value
    assert type(exc).__name__ == "PanicException"
    assert type(exc).__bases__ == (BaseException,)
    assert not isinstance(exc, Exception)
    return exc.args


# ---- spatial planes ----

def test_planes_of_new_standard_game():
    planes, n, h, w = Game(7, 6).encode_spatial_planes()
    assert (n, h, w) == (17, 6, 7)
    assert type(planes) is list and len(planes) == 714
    assert planes == [0.0] * 672 + [1.0] * 42
    assert all(type(v) is float for v in planes)


def test_planes_after_red_drops_in_column_3():
    planes, *_ = play([3]).encode_spatial_planes()
    assert [i for i, v in enumerate(planes) if v] == [45]


def test_planes_after_two_drops_in_column_3():
    planes, *_ = play([3, 3]).encode_spatial_planes()
    assert [i for i, v in enumerate(planes[:672]) if v] == [3, 52, 87]
    assert planes[672:] == [1.0] * 42


@pytest.mark.parametrize("width,height,seed,moves", [
    (7, 6, 1, 30), (7, 6, 2, 42), (4, 9, 3, 36), (9, 4, 4, 36), (9, 8, 5, 25), (32, 32, 6, 40),
])
def test_planes_match_replayed_positions(width, height, seed, moves):
    rng, g, ref = random.Random(seed), Game(width, height), Replay(width, height)
    for _ in range(moves):
        planes, n, h, w = g.encode_spatial_planes()
        assert (n, h, w) == (17, height, width)
        assert planes == ref.planes()
        actions = g.legal_action_indices()
        if not actions:
            break
        col = rng.choice(actions)
        assert g.apply_action(col) is True
        ref.drop(col)
    assert len(ref.positions) > 9


def test_encoding_restores_every_observable_of_a_played_game():
    rng = random.Random(7)
    g = Game(7, 6)
    while not g.is_over():
        before = snapshot(g)
        g.encode_spatial_planes()
        assert snapshot(g) == before
        g.apply_action(rng.choice(g.legal_action_indices()))
    before = snapshot(g)
    g.encode_spatial_planes()
    assert snapshot(g) == before
    assert g.unmake_move() is True and not g.is_over()


@pytest.mark.parametrize("cols", [RED_WINS, YELLOW_WINS])
def test_finished_game_encodes_and_takes_back(cols):
    g = play(cols)
    outcome = g.outcome()
    ref = Replay(7, 6)
    for c in cols:
        ref.drop(c)
    assert g.encode_spatial_planes()[0] == ref.planes()
    assert g.is_over() and g.outcome() == outcome
    assert g.unmake_move() is True
    assert g.outcome() is None and g.legal_action_indices() == list(range(7))


def edit_overwrite_recorded_cell(g):
    g.set_piece(3, 0, YELLOW)


def edit_gap_under_recorded_move(g):
    g.set_piece(4, 0, None)


def edit_piece_above_recorded_move(g):
    g.set_piece(2, 2, YELLOW)


def edit_unnoticed_four(g):
    for c in range(4):
        g.set_piece(c, 3, RED)


@pytest.mark.parametrize("edit", [
    edit_overwrite_recorded_cell, edit_gap_under_recorded_move,
    edit_piece_above_recorded_move, edit_unnoticed_four,
])
def test_edited_board_encodes_by_literal_take_backs(edit):
    # History: red (3,0), yellow (4,0), red (4,1), yellow (2,0), red (2,1),
    # yellow (5,0), red (6,0), yellow (3,1), red (0,0).
    cols = [3, 4, 4, 2, 2, 5, 6, 3, 0]
    ref = Replay(7, 6)
    for c in cols:
        ref.drop(c)
    g = play(cols)
    edit(g)
    assert not g.is_over()
    before = snapshot(g)
    expected = reference_planes(7, 6, takeback_positions(grid_of(g), ref.history), g.turn())
    assert g.encode_spatial_planes()[0] == expected
    assert snapshot(g) == before


@pytest.mark.parametrize("width,height", [(4, 4), (7, 6), (4, 9), (9, 4), (32, 32)])
def test_counts_and_empty_global_features(width, height):
    g = Game(width, height)
    assert g.spatial_input_plane_count() == drevik_gravline.SPATIAL_INPUT_PLANES == 17
    assert g.global_input_feature_count() == drevik_gravline.GLOBAL_INPUT_FEATURES == 0
    assert g.encode_global_state_features() == []
    planes, n, h, w = g.encode_spatial_planes()
    assert (len(planes), n, h, w) == (17 * width * height, 17, height, width)


def test_plane_lists_are_new_objects():
    g = play([3])
    first, second = g.encode_spatial_planes()[0], g.encode_spatial_planes()[0]
    assert first is not second
    first[45] = 0.0
    assert g.encode_spatial_planes()[0][45] == 1.0
