"""augment_symmetries: the doubled batch against a NumPy reference for every
input layout, the refusals with their exact texts and order, ownership of the
results, reference counts, and the module without NumPy."""

import inspect
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import drevik_gravline as dg

NAMES = ("states", "policies", "values", "opponent_policies", "opponent_policy_masks")


# ---- helpers ----

def make_batch(b=3, p=2, h=3, w=7, seed=0):
    rng = np.random.default_rng(seed)
    return (
        rng.standard_normal((b, p, h, w), dtype=np.float32),
        rng.standard_normal((b, w), dtype=np.float32),
        rng.standard_normal(b, dtype=np.float32),
        rng.standard_normal((b, w), dtype=np.float32),
        (rng.random(b) < 0.5).astype(np.float32),
    )


def reference(s, p, v, o, m):
    return (
        np.concatenate([s, s[..., ::-1]]),
        np.concatenate([p, p[:, ::-1]]),
        np.concatenate([v, v]),
        np.concatenate([o, o[:, ::-1]]),
        np.concatenate([m, m]),
    )


def assert_same_bits(got, want):
    assert got.dtype == np.float32 and got.shape == want.shape
    assert np.array_equal(got.view(np.uint32), np.ascontiguousarray(want).view(np.uint32))


def assert_matches_reference(args):
    out = dg.augment_symmetries(*args)
    assert isinstance(out, tuple) and len(out) == 5
    for got, want in zip(out, reference(*args)):
        assert_same_bits(got, want)
    return out


def every_axis_reversed(x):
    flip = (slice(None, None, -1),) * x.ndim
    return np.ascontiguousarray(x[flip])[flip]


def unaligned(x):
    buf = np.zeros(x.nbytes + 1, np.uint8)
    y = np.ndarray(x.shape, np.float32, buffer=buf, offset=1)
    y[...] = x
    return y


def sliced(x):
    """The same values at every other element of a larger array."""
    big = np.zeros(tuple(2 * n + 1 for n in x.shape), np.float32)
    inner = (slice(1, None, 2),) * x.ndim
    big[inner] = x
    return big[inner]


# Each turns an array into one with the same values and another memory layout.
LAYOUTS = {
    "contiguous": lambda x: x,
    "sliced": sliced,
    "columns_reversed": lambda x: np.ascontiguousarray(x[..., ::-1])[..., ::-1],
    "all_axes_reversed": every_axis_reversed,
    "transposed_back": lambda x: np.moveaxis(np.ascontiguousarray(np.moveaxis(x, -1, 0)), 0, -1),
    "fortran": np.asfortranarray,
    "unaligned": unaligned,
    "read_only": lambda x: np.frombuffer(x.tobytes(), np.float32).reshape(x.shape),
}


class Sub(np.ndarray):
    pass


# ---- results ----

@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("width", [1, 2, 3, 4, 5, 7, 8, 13, 32, 33, 46])
def test_mirror_matches_reference_for_every_layout(layout, width):
    assert_matches_reference(tuple(LAYOUTS[layout](a) for a in make_batch(w=width, seed=width)))


def test_mixed_layouts_and_zero_strides():
    s, p, v, o, m = make_batch(b=4, p=3, h=5, w=9)
    assert_matches_reference((LAYOUTS["transposed_back"](s), LAYOUTS["columns_reversed"](p),
                              sliced(v), np.asfortranarray(o), m[::-1].copy()[::-1]))
    s, p, v, o, m = make_batch(b=1, p=1, h=1, w=7)
    assert_matches_reference((np.broadcast_to(s, (5, 4, 6, 7)), np.broadcast_to(p, (5, 7)),
                              np.broadcast_to(v, (5,)), np.broadcast_to(o, (5, 7)),
                              np.broadcast_to(m, (5,))))


@pytest.mark.parametrize("b,p,h,w", [(0, 17, 6, 7), (4, 0, 6, 7), (4, 17, 0, 7), (4, 3, 2, 0),
                                     (0, 0, 0, 0), (4, 3, 2, 1)])
def test_empty_axes_and_width_one(b, p, h, w):
    args = make_batch(b, p, h, w)
    out = assert_matches_reference(args)
    assert [a.shape for a in out] == [(2 * b, p, h, w), (2 * b, w), (2 * b,), (2 * b, w), (2 * b,)]
    if w == 1:
        assert np.array_equal(out[1][b:], out[1][:b])


def test_results_are_new_owned_writeable_and_c_contiguous():
    args = tuple(LAYOUTS["sliced"](a) for a in make_batch(b=4))
    out = dg.augment_symmetries(*args)
    for a in out:
        assert type(a) is np.ndarray and a.dtype == np.float32
        assert a.base is None and a.flags.owndata
        assert a.flags.c_contiguous and a.flags.writeable
        assert not any(np.shares_memory(a, x) for x in args)
    before = [x.copy() for x in args]
    for a in out:
        a[...] = 7
    assert all(np.array_equal(x, y) for x, y in zip(args, before))


def test_applied_twice_gives_unmirrored_mirrored_mirrored_unmirrored():
    args = make_batch(b=3, w=6)
    twice = dg.augment_symmetries(*dg.augment_symmetries(*args))
    s, p = args[0], args[1]
    assert np.array_equal(twice[0], np.concatenate([s, s[..., ::-1], s[..., ::-1], s]))
    assert np.array_equal(twice[1], np.concatenate([p, p[:, ::-1], p[:, ::-1], p]))
    assert np.array_equal(twice[2], np.tile(args[2], 4))


def test_values_are_copied_bit_for_bit():
    # Quiet and signalling NaNs with payloads, -0.0, subnormals, infinities.
    bits = np.array([0x7FC00000, 0x7F800001, 0xFFC12345, 0x7FBFFFFF, 0x80000000,
                     0x00000001, 0x80000001, 0x7F800000, 0xFF800000], np.uint32)
    row = bits.view(np.float32)
    assert_matches_reference((np.tile(row, (2, 3, 4, 1)), np.tile(row, (2, 1)), row[:2].copy(),
                              np.tile(row[::-1], (2, 1)), row[-2:].copy()))


def test_subclasses_and_equivalent_dtypes_are_accepted():
    s, p, v, o, m = make_batch()
    assert_matches_reference((s.view(Sub), p, v, o, m))
    tagged = np.dtype(np.float32, metadata={"unit": "prob"})
    assert_matches_reference((s, p.astype(tagged), v.astype("=f4"), o.astype("<f4"), m))


# ---- refusals ----

DIMS = dict(zip(NAMES, (4, 2, 1, 2, 1)))


def dims(n):
    return f"{n} dimension" + ("s" if n != 1 else "")


def not_instance(name, obj):
    if isinstance(obj, np.ndarray):
        # An array says what was expected and what it is.
        return (f"argument '{name}': expected a float32 array of {dims(DIMS[name])}, "
                f"got a {obj.dtype} array of {dims(obj.ndim)}")
    reason = ("'None' is not an instance of 'ndarray'" if obj is None
              else f"'{type(obj).__qualname__}' object is not an instance of 'ndarray'")
    return f"argument '{name}': {reason}"


def bad_values(arg):
    """Objects that must be refused in place of `arg`."""
    return [
        None,
        arg.tolist(),
        arg.astype(np.float64),
        arg.astype(">f4"),
        arg.astype(np.float16),
        arg.astype(np.int32),
        arg[..., None],
        arg.reshape(-1)[0],  # a NumPy scalar
        arg.astype(np.float64).view(Sub),
    ]


@pytest.mark.parametrize("position", range(5))
def test_each_argument_refuses_anything_but_float32_ndarray(position):
    args = list(make_batch())
    for bad in bad_values(args[position]):
        call = args.copy()
        call[position] = bad
        with pytest.raises(TypeError) as info:
            dg.augment_symmetries(*call)
        assert str(info.value) == not_instance(NAMES[position], bad)


def test_first_refused_argument_is_reported():
    s, p, v, o, m = make_batch()
    with pytest.raises(TypeError, match="^argument 'states'"):
        dg.augment_symmetries(s[0], None, v, o, m)
    with pytest.raises(TypeError, match="^argument 'values'"):
        dg.augment_symmetries(s, p[:1], v[:, None], None, m)
    # Type checks of every argument come before the shape checks.
    with pytest.raises(TypeError, match="^argument 'opponent_policy_masks'"):
        dg.augment_symmetries(s, p[:1], v, o[:, :2], None)


BATCH = "all inputs must have the same batch dimension"
WIDTH = "gravline policies must have one action per column"


def test_batch_then_width_checks():
    args = make_batch(b=3, w=7)
    longer, wider = make_batch(b=4, w=7), make_batch(b=3, w=8)
    for position in range(1, 5):
        call = list(args)
        call[position] = longer[position]
        with pytest.raises(ValueError, match=f"^{BATCH}$"):
            dg.augment_symmetries(*call)
    for position in (1, 3):
        for policies in (wider[position], np.zeros((3, 0), np.float32)):
            call = list(args)
            call[position] = policies
            with pytest.raises(ValueError, match=f"^{WIDTH}$"):
                dg.augment_symmetries(*call)
    # Both wrong: the batch is reported.
    with pytest.raises(ValueError, match=f"^{BATCH}$"):
        dg.augment_symmetries(args[0], wider[1], longer[2], args[3], args[4])
    # Planes and height of states are free; only the batch and width are compared.
    assert_matches_reference((make_batch(b=3, p=5, h=11, w=7)[0],) + args[1:])


def huge_batch():
    """2**60 samples of width 1 through zero strides: doubled, 2**63 bytes."""
    n, z = 2 ** 60, np.zeros(1, np.float32)
    return tuple(np.lib.stride_tricks.as_strided(z, shape=shape, strides=(0,) * len(shape))
                 for shape in [(n, 1, 1, 1), (n, 1), (n,), (n, 1), (n,)])


def test_result_too_large_is_an_internal_failure_raised_before_allocating():
    with pytest.raises(BaseException) as info:
        dg.augment_symmetries(*huge_batch())
    # Not MemoryError: the size is refused before NumPy is asked for memory.
    assert type(info.value).__name__ == "PanicException"
    assert not isinstance(info.value, Exception)
    assert "signed 64-bit" in str(info.value)


# ---- argument binding ----

def test_argument_binding_messages():
    args = make_batch()
    cases = [
        ((), {}, "augment_symmetries() missing 5 required positional arguments: 'states', "
                 "'policies', 'values', 'opponent_policies', and 'opponent_policy_masks'"),
        (args[:4], {}, "augment_symmetries() missing 1 required positional argument: "
                       "'opponent_policy_masks'"),
        (args[:3], {}, "augment_symmetries() missing 2 required positional arguments: "
                       "'opponent_policies' and 'opponent_policy_masks'"),
        (args + (None,), {}, "augment_symmetries() takes 5 positional arguments but 6 were given"),
        (args, {"masks": None}, "augment_symmetries() got an unexpected keyword argument 'masks'"),
        (args, {"states": None}, "augment_symmetries() got multiple values for argument 'states'"),
        (args[:4], {"opponent_policy_masks": args[4], "extra": 1},
         "augment_symmetries() got an unexpected keyword argument 'extra'"),
    ]
    for positional, keywords, message in cases:
        with pytest.raises(TypeError) as info:
            dg.augment_symmetries(*positional, **keywords)
        assert str(info.value) == message


def test_keywords_in_any_order_and_text_signature():
    args = make_batch()
    want = reference(*args)
    for out in (dg.augment_symmetries(**dict(reversed(list(zip(NAMES, args))))),
                dg.augment_symmetries(*args[:2], **dict(list(zip(NAMES, args))[:1:-1]))):
        for got, expected in zip(out, want):
            assert_same_bits(got, expected)
    assert str(inspect.signature(dg.augment_symmetries)) == f"({', '.join(NAMES)})"


# ---- references ----

def test_reference_counts_unchanged_after_success_and_every_refusal():
    s, p, v, o, m = make_batch(b=3)
    f64 = s.astype(np.float64)
    long_values = make_batch(b=4)[2]
    wide = make_batch(b=3, w=8)[1]
    huge = huge_batch()
    calls = [
        ((s, p, v, o, m), {}),                        # success
        ((s, p, v, o, m[:, None]), {}),               # type, last argument
        ((f64, p, v, o, m), {}),                      # type, first argument
        ((s, p, long_values, o, m), {}),              # batch
        ((s, wide, v, o, m), {}),                     # width
        ((s, p, v, o, m, m), {}),                     # binding, positional
        ((s, p, v, o), {"opponent_policy_masks": m, "states": s}),  # binding, keyword
        (huge, {}),                                   # result too large
    ]
    watched = (s, p, v, o, m, f64, long_values, wide) + huge
    before = [sys.getrefcount(x) for x in watched]
    for positional, keywords in calls:
        try:
            result = dg.augment_symmetries(*positional, **keywords)
        except BaseException as e:
            assert type(e) in (TypeError, ValueError) or type(e).__name__ == "PanicException"
        else:
            del result
        assert [sys.getrefcount(x) for x in watched] == before


# ---- without NumPy, and the first import ----

def run_python(code):
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, env=os.environ.copy(), timeout=120)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def test_module_imports_and_works_without_numpy():
    out = run_python("""
        import sys

        class NoNumpy:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy" or name.startswith("numpy."):
                    raise ModuleNotFoundError(f"No module named {name!r}", name=name)
                return None

        blocker = NoNumpy()
        sys.meta_path.insert(0, blocker)
        import drevik_gravline as dg
        print("numpy imported:", "numpy" in sys.modules)
        print("game:", dg.Game(7, 6).width())
        try:
            dg.augment_symmetries(1, 2)
        except TypeError as e:
            print("binding first:", e)
        for attempt in range(2):
            try:
                dg.augment_symmetries(1, 2, 3, 4, 5)
            except ImportError as e:
                print("import error:", type(e).__name__, type(e.__cause__).__name__, e)
        # Once NumPy can be found, the next call imports it.
        sys.meta_path.remove(blocker)
        import numpy as np
        z = np.zeros((1, 1, 1, 2), np.float32)
        out = dg.augment_symmetries(z, z[:, 0, 0], z[:, 0, 0, 0], z[:, 0, 0], z[:, 0, 0, 0])
        print("after:", out[0].shape)
    """)
    lines = out.splitlines()
    assert lines[0] == "numpy imported: False"
    assert lines[1] == "game: 7"
    assert lines[2].startswith("binding first: augment_symmetries() missing 3 required")
    # The failure is not cached: each call tries again and reports the same.
    assert lines[3] == lines[4]
    assert lines[3].startswith("import error: ImportError ModuleNotFoundError "
                               "augment_symmetries needs NumPy")
    assert "No module named 'numpy" in lines[3]
    assert lines[5] == "after: (2, 1, 1, 2)"


def test_first_calls_racing_from_many_threads_all_succeed():
    out = run_python("""
        import sys, threading
        import numpy as np
        import drevik_gravline as dg
        s = np.ones((2, 3, 4, 5), np.float32); p = np.ones((2, 5), np.float32)
        v = np.ones(2, np.float32)
        barrier = threading.Barrier(8)
        shapes = []
        def call():
            barrier.wait()
            shapes.append(dg.augment_symmetries(s, p, v, p, v)[0].shape)
        threads = [threading.Thread(target=call) for _ in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        print(len(shapes), set(shapes))
    """)
    assert out.strip() == "8 {(4, 3, 4, 5)}"


def test_call_made_while_numpy_is_being_imported_fails_instead_of_hanging():
    # An import hook runs Python code inside the first call's NumPy import; a
    # call from there must not wait for the import that is waiting for it.
    out = run_python("""
        import sys
        import drevik_gravline as dg

        class Reenter:
            def find_spec(self, name, path=None, target=None):
                if name == "numpy":
                    sys.meta_path.remove(self)
                    try:
                        dg.augment_symmetries(1, 2, 3, 4, 5)
                    except RuntimeError as e:
                        print("inner:", e)
                return None

        sys.meta_path.insert(0, Reenter())
        try:
            dg.augment_symmetries(1, 2, 3, 4, 5)
        except TypeError as e:
            print("outer:", e)
    """)
    assert out.splitlines() == [
        "inner: drevik_gravline: recursive initialisation",
        "outer: argument 'states': 'int' object is not an instance of 'ndarray'",
    ]
