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
