"""Faults found by attacking the modules: arguments freed during a call, loading in a
second interpreter, a forked child waiting for a parent thread's initialisation, arrays
read from a mapping that Python code empties, the interpreter's exit while a thread
works without the lock, a fork inside a self-play callback, and aliased out= arrays."""
import gc
import os
import subprocess
import sys
import textwrap
import weakref

import pytest

import drevik_gravline as dg


class Tracked:
    """An integer argument that only the call's keyword dictionary holds."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Clearing:
    """An integer argument whose conversion empties every dictionary that holds it,
    as code that finds the call's keywords through gc.get_referrers can. It then
    refuses to go on if that freed any of the `others`: converting a freed
    argument is what the module must never do."""

    def __init__(self, value):
        self.value = value
        self.others = []
        self.cleared = 0

    def __index__(self):
        for holder in gc.get_referrers(self):
            if type(holder) is dict and self in holder.values():
                holder.clear()
                self.cleared += 1
        if any(ref() is None for ref in self.others):
            raise AssertionError("an argument was freed during the call")
        return self.value


def call_with_clearing(f, first, **others):
    """f(first=Clearing, **others as Tracked), the keywords in a dictionary of their own."""
    clearing = Clearing(first[1])
    kwargs = {first[0]: clearing, **{k: Tracked(v) for k, v in others.items()}}
    clearing.others = [weakref.ref(v) for v in kwargs.values() if type(v) is Tracked]
    result = f(**kwargs)
    assert clearing.cleared >= 1, "the keyword dictionary was not found"
    assert kwargs == {}
    return result


# Each entry converts the Clearing argument before the tracked ones.
def test_keyword_arguments_outlive_a_cleared_keyword_dictionary():
    assert call_with_clearing(dg.Game, ("width", 5), height=9).board_shape() == (9, 5)
    assert call_with_clearing(dg.Board, ("width", 8), height=4).width() == 8
    assert call_with_clearing(dg.Move, ("col", 3), row=2) == dg.Move(3, 2)
    g = dg.Game(7, 6)
    call_with_clearing(g.set_piece, ("col", 2), row=1, piece=-1)
    assert call_with_clearing(g.get_piece, ("col", 2), row=1) == -1
    b = dg.Board(7, 6)
    call_with_clearing(b.set_piece, ("col", 4), row=5, piece=1)
    assert call_with_clearing(b.get_piece, ("col", 4), row=5) == 1


def test_bound_keyword_arguments_are_released():
    value = Tracked(6)
    before = sys.getrefcount(value)
    for _ in range(100):
        dg.Game(width=7, height=value)
        dg.Game(7, 6).get_piece(col=0, row=value)
        with pytest.raises(TypeError):
            dg.Game(height=value, width=7, depth=1)
        with pytest.raises(TypeError):
            dg.Game(7, 6).get_piece(row=value, cols=0)
    assert sys.getrefcount(value) == before


# Run in a child process, so that a fault cannot take the test run down. Every
# way of making a second interpreter that this interpreter offers is tried; each
# reports its import on the shared stdout.
SUBINTERPRETERS_SCRIPT = '''
import importlib, sys
sys.path.insert(0, {path!r})
code = """
import sys
sys.path.insert(0, {path!r})
try:
    import drevik_gravline
    print("imported", flush=True)
except BaseException as exc:
    print(type(exc).__name__ + ": " + str(exc), flush=True)
"""

def optional(name):
    try:
        return importlib.import_module(name)
    except ImportError:
        return None

ways = []
testcapi = optional("_testcapi")
if testcapi and hasattr(testcapi, "run_in_subinterp"):
    # A legacy interpreter: it shares the main one's settings.
    ways.append(("run_in_subinterp", lambda: testcapi.run_in_subinterp(code)))

def run_and_destroy(module, interp, run):
    run(interp, code)
    module.destroy(interp)

interpreters = optional("_interpreters")
if interpreters:
    for kind in ("legacy", "isolated"):
        ways.append((kind, lambda kind=kind: run_and_destroy(
            interpreters, interpreters.create(kind), interpreters.exec)))
xx = optional("_xxsubinterpreters")
if xx:
    if sys.version_info >= (3, 12):
        for isolated in (False, True):
            ways.append((f"isolated={{isolated}}", lambda isolated=isolated: run_and_destroy(
                xx, xx.create(isolated=isolated), xx.run_string)))
    else:
        ways.append(("create", lambda: run_and_destroy(xx, xx.create(), xx.run_string)))
for name, way in ways:
    print(name, end=": ", flush=True)
    way()
import drevik_gravline
print("main", drevik_gravline.Game(7, 6).width(), flush=True)
'''


def test_every_second_interpreter_is_refused():
    path = os.path.dirname(dg.__file__)
    child = subprocess.run([sys.executable, "-c", SUBINTERPRETERS_SCRIPT.format(path=path)],
                           capture_output=True, text=True, timeout=120)
    assert (child.returncode, child.stderr) == (0, "")
    lines = child.stdout.splitlines()
    assert lines[-1] == "main 7"
    if len(lines) == 1:
        pytest.skip("this interpreter offers no way to make a second interpreter")
    refused = "ImportError: module drevik_gravline does not support loading in subinterpreters"
    assert [line.split(": ", 1)[1] for line in lines[:-1]] == [refused] * (len(lines) - 1), lines


# A thread is held inside the first use of augment_symmetries (the lazy import of
# NumPy's C API, which imports through builtins.__import__: a wrapper stops it
# there, holding no lock of the import machinery's own) while the main thread
# forks. The child must create what the thread left half done and finish; a hung
# child is killed.
FORK_SCRIPT = '''
import builtins, os, signal, sys, threading, time
sys.path.insert(0, {path!r})
import numpy as np
import drevik_gravline as dg

z = np.zeros
ARGS = (z((1, 17, 4, 4), np.float32), z((1, 4), np.float32), z(1, np.float32),
        z((1, 4), np.float32), z(1, np.float32))
held, release, slow = threading.Event(), threading.Event(), []
original_import = builtins.__import__

def slow_import(name, *args, **kwargs):
    if name.startswith("numpy") and threading.get_ident() in slow and not held.is_set():
        held.set()
        release.wait(60)
    return original_import(name, *args, **kwargs)

builtins.__import__ = slow_import

def augment():
    return dg.augment_symmetries(*ARGS)[0].shape

def first_use():
    slow.append(threading.get_ident())
    augment()

thread = threading.Thread(target=first_use)
thread.start()
assert held.wait(60)
pid = os.fork()
if pid == 0:
    try:
        print("child", augment(), flush=True)
    finally:
        os._exit(0)
release.set()
thread.join()
deadline = time.monotonic() + 60
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        print("child hung", flush=True)
        break
    time.sleep(0.05)
print("parent", augment(), flush=True)
'''


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
def test_a_child_forked_during_a_first_use_initialisation_finishes_it():
    pytest.importorskip("numpy")
    path = os.path.dirname(dg.__file__)
    child = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c",
                            FORK_SCRIPT.format(path=path)],
                           capture_output=True, text=True, timeout=180)
    assert (child.returncode, child.stderr) == (0, "")
    assert child.stdout == "child (2, 17, 4, 4)\nparent (2, 17, 4, 4)\n"


# ---- records built from mappings that change while they are read ----

np = pytest.importorskip("numpy")
gb = pytest.importorskip("drevik_gravline_batch")


class Finalizing(np.ndarray):
    """An array subclass whose __array_finalize__ (run when NumPy copies it) empties
    the mappings armed for it and counts its calls."""

    armed = []
    calls = 0

    def __array_finalize__(self, obj):
        type(self).calls += 1
        while self.armed:
            self.armed.pop().clear()


def strided(a, cls=Finalizing):
    """`a` as a non-contiguous view of the subclass, its only holder a new base."""
    big = np.zeros((a.shape[0], 3 * (a.shape[1] if a.ndim == 2 else 1)), a.dtype)
    if a.ndim == 2:
        big[:, ::3] = a
        return big[:, ::3].view(cls)
    big[:, 0] = a
    return big[:, 0].view(cls)


def test_pickled_fields_emptied_by_array_code_are_read_safely():
    r = gb.self_play(60, 7, 6)
    for name in ("red", "last_moves", "value", "action"):
        d = r.arrays()
        d[name] = strided(d[name])
        Finalizing.armed[:] = [d]
        Finalizing.calls = 0
        # Before: NumPy copied the array (running __array_finalize__, which freed
        # it through the emptied dict) and then read freed memory.
        assert gb._records_from_pickle(1, 7, 6, d) == r, name
        assert Finalizing.calls == 0, "a field was copied through NumPy"
    Finalizing.armed.clear()


def test_fields_of_any_layout_are_read_without_running_array_code():
    r = gb.self_play(40, 9, 8)
    fields = {k: strided(v) for k, v in r.arrays().items()}
    backwards = {k: v[::-1] for k, v in fields.items()}
    reversed_records = gb.Records.from_arrays(9, 8, **{k: v[::-1].copy() for k, v in r.arrays().items()})
    Finalizing.calls = 0
    assert gb.Records.from_arrays(9, 8, **fields) == r
    assert gb.Records.from_arrays(9, 8, **backwards) == reversed_records != r
    assert Finalizing.calls == 0, "a field was copied through NumPy"


class Emptying:
    """A dtype field title whose text, made while an error message is built,
    empties the armed mappings."""

    armed = []

    def __repr__(self):
        while self.armed:
            self.armed.pop().clear()
        return "T"


def test_a_mapping_emptied_while_an_error_is_built_is_not_read_again():
    r = gb.self_play(10, 7, 6)
    titled = np.dtype({"names": ["v"], "formats": ["i1"], "titles": [Emptying()]})
    d = r.arrays()
    d["value"] = np.zeros(len(r), titled)
    Emptying.armed[:] = [d]
    with pytest.raises(ValueError, match=r"array 'value': expected dtype int8, got \[\(\(T, 'v'\)"):
        gb._records_from_pickle(1, 7, 6, d)
    n = len(r)
    out = {"states": np.zeros((n, 17, 6, 7), titled), "policies": np.zeros((n, 7), np.float32),
           "values": np.zeros(n, np.float32), "opponent_policies": np.zeros((n, 7), np.float32),
           "opponent_policy_masks": np.zeros(n, np.float32)}
    Emptying.armed[:] = [out]
    with pytest.raises(TypeError, match=r"argument 'out\['states'\]': expected dtype float32"):
        r.expand(out=out)
    assert out == {}


# ---- out= arrays that share memory ----

def expand_outputs(n, w=7, h=6):
    z = np.zeros
    return {"states": z((n, 17, h, w), np.float32), "policies": z((n, w), np.float32),
            "values": z(n, np.float32), "opponent_policies": z((n, w), np.float32),
            "opponent_policy_masks": z(n, np.float32)}


def test_expand_refuses_out_arrays_that_share_memory():
    r = gb.self_play(5, 7, 6)
    n = len(r)
    same = expand_outputs(n)
    same["opponent_policies"] = same["policies"]
    masks = expand_outputs(n)
    masks["opponent_policy_masks"] = masks["values"]
    # Views of one buffer that overlap in part.
    flat = np.zeros(n * 17 * 42 + 3 * n, np.float32)
    views = expand_outputs(n)
    views["states"] = flat[: n * 17 * 42].reshape(n, 17, 6, 7)
    views["values"] = flat[n * 17 * 42 - 1: n * 17 * 42 - 1 + n]
    cases = [(same, "policies", "opponent_policies"), (masks, "values", "opponent_policy_masks"),
             (views, "states", "values")]
    for out, first, second in cases:
        with pytest.raises(ValueError) as info:
            r.expand(out=out)
        assert str(info.value) == f"argument 'out': the arrays '{first}' and '{second}' share memory"
    # Disjoint parts of one buffer are fine, and so are empty arrays.
    views["values"] = flat[n * 17 * 42: n * 17 * 42 + n]
    views["opponent_policy_masks"] = flat[n * 17 * 42 + n: n * 17 * 42 + 2 * n]
    got = r.expand(out=views)
    want = r.expand()
    assert all(np.array_equal(got[k], want[k]) for k in want)
    empty = gb.self_play(0, 7, 6)
    shared = np.zeros((0, 7), np.float32)
    out = expand_outputs(0)
    out["policies"] = out["opponent_policies"] = shared
    assert empty.expand(out=out)["policies"] is shared


# ---- a fork inside a self-play callback ----

# The progress callback forks once; the child returns into the run, the parent
# goes on. A hung child is killed and reported.
SELF_PLAY_FORK_SCRIPT = '''
import os, signal, sys, time
import drevik_gravline_batch as gb
forked = []

def progress(done):
    if not forked:
        forked.append(os.fork())

try:
    outcome = "records %d" % len(gb.self_play(3000, 7, 6, threads={threads}, progress=progress))
except RuntimeError as exc:
    outcome = "RuntimeError: %s" % exc
if forked[0] == 0:
    print("child", outcome, flush=True)
    os._exit(0)
deadline = time.monotonic() + 60
while os.waitpid(forked[0], os.WNOHANG) == (0, 0):
    if time.monotonic() > deadline:
        os.kill(forked[0], signal.SIGKILL)
        os.waitpid(forked[0], 0)
        print("child hung", flush=True)
        break
    time.sleep(0.05)
print("parent", outcome, flush=True)
'''


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork")
@pytest.mark.parametrize("threads", [1, 3, 4])
def test_a_child_forked_by_a_self_play_callback_does_not_hang(threads):
    records = len(gb.self_play(3000, 7, 6))
    child = subprocess.run([sys.executable, "-W", "ignore::DeprecationWarning", "-c",
                            SELF_PLAY_FORK_SCRIPT.format(threads=threads)],
                           capture_output=True, text=True, timeout=180)
    assert (child.returncode, child.stderr) == (0, "")
    # Without workers the child finishes the run; with them it cannot, and says so.
    in_child = (f"records {records}" if threads == 1 else
                "RuntimeError: self_play() cannot go on in a process forked during the run: "
                "the run's worker threads are not there")
    assert child.stdout == f"child {in_child}\nparent records {records}\n"


# ---- the interpreter's exit while a daemon thread works without the lock ----

# A daemon thread calls `work` over and over, mostly with the interpreter lock
# given up; the main thread then exits, so the thread takes the lock back while
# the interpreter shuts down. Large garbage makes the shutdown long enough for
# that to happen in most runs.
EXIT_SCRIPT = '''
import os, sys, tempfile, threading, time
import numpy as np
import drevik_gravline_batch as gb

kind = sys.argv[1]
records = gb.self_play(3000, 7, 6)
fields = records.arrays()
path = records.save(os.path.join(tempfile.mkdtemp(), "r.npz"))
batch = gb.GameBatch(4096, 7, 6, threads=2 if kind.endswith("threads") else 1)
skips = np.full(4096, -1, np.int8)
work = {
    "observe": batch.observe,
    "observe-threads": batch.observe,
    "step": lambda: batch.step(skips),
    "expand": records.expand,
    "self_play": lambda: gb.self_play(5000, 7, 6, threads=2),
    "progress": lambda: gb.self_play(5000, 7, 6, threads=2, progress=lambda done: sum(range(20000))),
    "from_arrays": lambda: gb.Records.from_arrays(7, 6, **fields),
    "load": lambda: gb.Records.load(path),
}[kind]
started = threading.Event()

def loop():
    while True:
        work()
        started.set()

threading.Thread(target=loop, daemon=True).start()
assert started.wait(60)
keep = [[i] for i in range(2_000_000)]
time.sleep(0.2)
'''


@pytest.mark.parametrize("kind", ["observe", "observe-threads", "step", "expand", "self_play",
                                  "progress", "from_arrays", "load"])
def test_exit_with_a_daemon_thread_inside_an_unlocked_call(kind):
    # Before: "terminate called without an active exception" or "FATAL:
    # exception not rethrown" (an abort), or a segmentation fault, most runs.
    # Load's daemon thread may be stopped inside NumPy's reading of the file,
    # which the interpreter then reports as an exception it ignored; that is
    # its own doing, and the exit status stays 0.
    child = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, kind], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr
