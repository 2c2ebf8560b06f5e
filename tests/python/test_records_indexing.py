"""Records indexing: records[i], records[a:b], integer and boolean arrays, each
a new Records that equals the records built from the same rows of the fields;
read-only views of the fields; and a dense file given to Records.load."""
import sys

import numpy as np
import pytest

import drevik_gravline_batch as gb

RUN = gb.self_play(30, 7, 6, seed=2)
FIELDS = RUN.arrays()
N = len(RUN)


def from_rows(rows, records=RUN):
    fields = records.arrays()
    return gb.Records.from_arrays(records.width(), records.height(), **{k: v[rows] for k, v in fields.items()})


@pytest.mark.parametrize("key", [
    slice(None), slice(3, 40), slice(-50, None), slice(None, None, 3), slice(40, 3, -2),
    slice(N + 5, N + 9), slice(7, 7), 0, -1, 17, np.int64(5), np.uint8(4),
    [4, 0, 4, N - 1], np.array([-1, 2], np.int16), np.array([], np.int64), [],
    np.arange(N) % 3 == 0, list(np.arange(N) % 2 == 1),
])
def test_indexing_gives_the_records_of_those_rows(key):
    got = RUN[key]
    # NumPy's own indexing of the row numbers says which rows are meant.
    key_for_numpy = np.array(key, bool) if isinstance(key, list) and key and isinstance(key[0], bool) else key
    want = from_rows(np.atleast_1d(np.arange(N)[key_for_numpy]))
    assert type(got) is gb.Records and got == want
    assert (got.width(), got.height()) == (7, 6)


def test_slices_join_into_the_run_and_expand_as_their_rows():
    cut = N // 3
    assert gb.Records.concat([RUN[:cut], RUN[cut:]]) == RUN
    picks = np.array([N - 1, 0, cut])
    for name, a in RUN[picks].expand(mirror=True).items():
        assert np.array_equal(a, RUN.expand(picks, mirror=True)[name]), name
    # The first games of a run, cut at a game boundary, are the shorter run.
    first = int(np.searchsorted(FIELDS["game"], 10))
    assert RUN[:first] == gb.self_play(10, 7, 6, seed=2)
    # A single record is a Records of one.
    assert len(RUN[5]) == 1 and RUN[5] == RUN[5:6]


@pytest.mark.parametrize("key, error, message", [
    (N, IndexError, f"index {N} is out of range for {N} records"),
    (-N - 1, IndexError, f"index {-N - 1} is out of range for {N} records"),
    (2**70, IndexError, f"index {2**70} is out of range for {N} records"),
    ([0, N], IndexError, f"index {N} is out of range for {N} records"),
    (np.ones(N - 1, bool), IndexError, f"a boolean index of {N - 1} values for {N} records"),
    ("3", TypeError, "Records indices must be integers, slices, or 1-D arrays of integers or booleans, not 'str'"),
    (1.0, TypeError, "Records indices must be integers, slices, or 1-D arrays of integers or booleans, not 'float'"),
    (True, TypeError, "Records indices must be integers, slices, or 1-D arrays of integers or booleans, not 'bool'"),
    (None, TypeError, "Records indices must be integers, slices, or 1-D arrays of integers or booleans, "
                      "not 'NoneType'"),
    (np.array([1.5]), TypeError, "argument 'indices': expected integers, got float64"),
])
def test_bad_indices_are_refused(key, error, message):
    before = sys.getrefcount(RUN)
    with pytest.raises(error) as info:
        RUN[key]
    assert str(info.value) == message
    assert sys.getrefcount(RUN) == before


def test_a_dense_file_given_to_load_says_to_use_numpy_load(tmp_path):
    path = tmp_path / "dense.npz"
    np.savez(path, **RUN[:4].expand())
    with pytest.raises(ValueError) as info:
        gb.Records.load(path)
    assert str(info.value) == ("not a records file: it holds dense training arrays ('states', ...); "
                               "read it with numpy.load")


def test_views_are_the_fields_read_only_and_keep_the_records_alive():
    records = gb.self_play(7, 5, 4, seed=1)
    views = records.views()
    arrays = records.arrays()
    assert list(views) == list(arrays)
    for name, a in arrays.items():
        v = views[name]
        assert v.dtype == a.dtype and v.shape == a.shape and np.array_equal(v, a), name
        assert not v.flags.writeable and v.flags.c_contiguous and v.base is records
        with pytest.raises(ValueError):
            v.setflags(write=True)
    del records, arrays
    assert int(views["game"][-1]) == 6        # still readable: the views hold the records
    empty = gb.self_play(0, 32, 32).views()
    assert empty["red"].shape == (0, 16) and empty["last_moves"].shape == (0, 8)
    again = gb.self_play(3, 7, 6)
    count = sys.getrefcount(again)
    again.views()
    assert sys.getrefcount(again) == count


def test_gather_takes_the_picked_rows_of_many_sources():
    other = gb.self_play(9, 7, 6, seed=8)
    sources = [RUN.arrays(), other.views(), RUN[10:20].arrays()]
    source = np.array([1, 0, 2, 0, 1, 2, 1])
    rows = np.array([0, N - 1, 9, 3, len(other) - 1, 0, 5])
    joined = gb.Records.concat([RUN, other, RUN[10:20]])
    starts = np.array([0, N, N + len(other)])
    assert gb.Records.gather(7, 6, sources, source, rows) == joined[starts[source] + rows]
    assert len(gb.Records.gather(7, 6, sources, [], [])) == 0
    assert len(gb.Records.gather(7, 6, [], np.zeros(0, np.int64), np.zeros(0, np.int64))) == 0


def gather_error(sources, source=(0,), rows=(0,)):
    with pytest.raises(Exception) as info:
        gb.Records.gather(7, 6, sources, np.array(source), np.array(rows))
    return type(info.value), str(info.value)


def test_gather_refuses_bad_sources_and_picks():
    good = RUN.arrays()
    assert gather_error([1]) == (TypeError, "argument 'sources': 'int' object is not an instance of 'dict'")
    assert gather_error([{k: v for k, v in good.items() if k != "ply"}]) == (
        ValueError, "argument 'sources': source 0, no 'ply' array")
    assert gather_error([{**good, "turn": good["turn"].astype(np.int16)}]) == (
        TypeError, "argument 'sources': source 0, 'turn': expected dtype int8, got int16")
    kind, message = gather_error([{**good, "game": good["game"].astype(">u4")}])
    assert kind is TypeError and message.startswith("argument 'sources': source 0, 'game': expected dtype uint32, got")
    assert gather_error([{**good, "red": np.zeros((N, 2), np.uint64)}]) == (
        ValueError, "argument 'sources': source 0, 'red': the fields' shapes disagree")
    assert gather_error([{**good, "game": np.repeat(good["game"], 2)[::2]}]) == (
        ValueError, "argument 'sources': source 0, 'game': expected a C-contiguous, aligned array")
    assert gather_error([good], source=[1]) == (IndexError, "source 1 is out of range for 1 sources")
    assert gather_error([good], rows=[N]) == (IndexError, f"row {N} is out of range for source 0")
    assert gather_error([good], rows=[0, 1]) == (ValueError, "arguments 'source' and 'rows' must have the same length")
    spoiled = {**good, "value": good["value"].copy()}
    spoiled["value"][3] = 7
    kind, message = gather_error([spoiled], rows=[3])
    assert kind is ValueError and message.startswith("inconsistent records: record 0: ")


def test_a_searchs_records_keep_their_two_fields_through_indexing_views_gather_and_files(tmp_path):
    run = gb.self_play_search(3, 7, 6, evaluate="rollout", simulations=16, seed=5)
    fields = run.arrays()
    rows = np.array([len(run) - 1, 0, 4])
    picked = run[rows]
    assert picked == gb.Records.from_arrays(7, 6, **{k: v[rows] for k, v in fields.items()})
    assert run[2:5].arrays()["visits"].shape == (3, 7)
    views = run.views()
    assert views["visits"].shape == (len(run), 7) and not views["root_value"].flags.writeable
    # Sources with the search's fields give a search's records; one without them is refused.
    assert gb.Records.gather(7, 6, [views, fields], [1, 0, 1], rows) == picked
    with pytest.raises(ValueError, match="no 'visits' array"):
        gb.Records.gather(7, 6, [views, RUN.arrays()], [1], [0])
    # A file of version 1 holding a search's field is not a records file.
    path = tmp_path / "odd.npz"
    v1 = RUN[:3].arrays()
    np.savez(path, format_version=np.int64(1), width=np.int64(7), height=np.int64(6),
             visits=np.zeros((3, 7), np.uint16), **v1)
    with pytest.raises(ValueError, match="unexpected array 'visits' in records of version 1"):
        gb.Records.load(path)
    np.savez(path, format_version=np.int64(2), width=np.int64(7), height=np.int64(6),
             **{k: v for k, v in fields.items() if k != "root_value"})
    with pytest.raises(ValueError, match="'root_value' array is missing"):
        gb.Records.load(path)
