"""The Ray backend on a real cluster: a head node of this module's own on
127.0.0.1 with 2 CPUs and a temporary folder, killed afterwards whatever the
result. Output against the single-process generator's, a worker killed in the
middle of its shard, a shard that always fails, the main job on Ray, and the
error without Ray."""

import concurrent.futures
import importlib.util
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import drevik_gravline_batch as batch
import ray_shards
from drevik_gravline_tools import ray_runner
from drevik_gravline_tools import self_play as job
from drevik_gravline_tools.ray_runner import self_play_ray, shard_ranges

HERE = Path(__file__).resolve().parent

# scripts/test.sh sets GRAVLINE_REQUIRE_RAY=1 wherever Ray installed, so that a
# Ray that fails to import fails these tests instead of skipping them.
needs_ray = pytest.mark.skipif(
    importlib.util.find_spec("ray") is None and os.environ.get("GRAVLINE_REQUIRE_RAY") != "1",
    reason="Ray is not installed (it has no wheel for this interpreter)")

# Ray binds a node to the machine's outward address unless told it runs alone:
# these tests keep every process of theirs on the loopback address. Newer Ray
# also turns on token authentication for a local cluster and keeps the token in
# the home folder, which would then apply to every later cluster; not here.
RAY_ENV = {"RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER": "0", "RAY_USAGE_STATS_ENABLED": "0",
           "RAY_AUTH_MODE": "disabled"}


def run_python(code, **env):
    """Runs `code` in a fresh interpreter; returns the completed process."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120, env=dict(os.environ, **env))


# ---- without a cluster -------------------------------------------------------

@pytest.mark.parametrize("games, shards", [(0, 1), (0, 5), (1, 7), (7, 3), (7, 7), (50, 7),
                                           (10, 100), (1000, 4)])
def test_shard_ranges_cover_every_game_once_in_order(games, shards):
    ranges = shard_ranges(games, shards)
    assert len(ranges) == max(1, min(games, shards))
    assert [first for first, _ in ranges] == list(np.cumsum([0] + [n for _, n in ranges[:-1]]))
    assert sum(n for _, n in ranges) == games
    assert max(n for _, n in ranges) - min(n for _, n in ranges) <= 1


def test_modules_never_import_ray():
    done = run_python("""
        import sys
        import drevik_gravline, drevik_gravline_batch, drevik_gravline_tools
        import drevik_gravline_tools.ray_runner, drevik_gravline_tools.self_play
        assert "ray" not in sys.modules, "ray was imported"
        print("ok")
    """)
    assert done.stdout == "ok\n", done.stderr


def test_without_ray_one_line_error_after_arguments_are_checked():
    # sys.modules["ray"] = None makes every `import ray` fail as if Ray were absent.
    done = run_python("""
        import sys
        sys.modules["ray"] = None
        from drevik_gravline_tools.ray_runner import self_play_ray
        for kwargs in ({"width": 3}, {"policy": "best"}, {"games": -1}, {"shards": 0},
                       {"threads_per_shard": 0}, {"max_retries": -1}, {}):
            args = {"games": 4, "width": 7, "height": 6, **kwargs}
            try:
                self_play_ray(args.pop("games"), args.pop("width"), args.pop("height"), **args)
            except Exception as e:
                print(type(e).__name__, e, sep=": ")
    """)
    lines = done.stdout.splitlines()
    assert done.returncode == 0, done.stderr
    assert lines[0] == "ValueError: Board width must be between 4 and 32"
    assert all(line.startswith("ValueError: ") for line in lines[1:-1]), lines
    assert lines[-1] == "ImportError: " + ray_runner.MISSING_RAY
    assert 'pip install "drevik_gravline[ray]"' in lines[-1]


def test_main_job_without_ray_says_how_to_install_it_in_one_line(tmp_path):
    done = run_python(f"""
        import sys
        sys.modules["ray"] = None
        from drevik_gravline_tools.self_play import main
        sys.exit(main(["--backend", "ray", "--games", "5", "--out", {str(tmp_path / "x")!r}]))
    """)
    assert done.returncode == 2
    assert done.stderr == f"self_play: error: {ray_runner.MISSING_RAY}\n"
    assert not any(tmp_path.iterdir())


@pytest.mark.parametrize("args", [["--address", "127.0.0.1:6379"], ["--shards", "2"],
                                  ["--backend", "local", "--shards", "2"]])
def test_main_job_cluster_options_need_the_ray_backend(tmp_path, capsys, args):
    with pytest.raises(SystemExit) as stopped:
        job.main([*args, "--games", "5", "--out", str(tmp_path / "x")])
    assert stopped.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == \
        "self_play: error: --address and --shards apply to --backend ray only"


# ---- on a cluster of this module's own -------------------------------------------

class Cluster:
    def __init__(self, temp, port):
        self.temp = temp
        self.address = f"127.0.0.1:{port}"
        self.shard_dir = Path(temp) / "shards"
        self.shard_dir.mkdir()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def process_table():
    """{pid: (parent pid, state, command line)} of every process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                cmdline = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        table[int(entry)] = (int(fields[1]), fields[0], cmdline)
    return table


def live_descendants(roots, table):
    """The processes in `roots` and below them that have not exited."""
    found = set(roots)
    while True:
        more = {pid for pid, (parent, _, _) in table.items() if parent in found} - found
        if not more:
            return {pid for pid in found if pid in table and table[pid][1] != "Z"}
        found |= more


def cluster_processes(temp):
    """Every live process of the cluster in `temp`: the ones that name its
    session folder (server, raylet, monitors) and all their children."""
    table = process_table()
    roots = {pid for pid, (_, _, cmd) in table.items()
             if f"{temp}/session_" in cmd and pid != os.getpid()}
    return live_descendants(roots, table)


def kill_cluster(temp):
    """Stops the cluster in `temp` by its processes' ids (a `ray stop` would
    stop every cluster of this user on the machine); True when none is left."""
    for sig, grace in ((signal.SIGTERM, 2.0), (signal.SIGKILL, 10.0)):
        for pid in cluster_processes(temp):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + grace
        while cluster_processes(temp) and time.monotonic() < deadline:
            time.sleep(0.05)
        if not cluster_processes(temp):
            return True
    return False


@pytest.fixture(scope="module")
def cluster():
    if importlib.util.find_spec("ray") is None:
        pytest.fail("GRAVLINE_REQUIRE_RAY=1 but Ray is not installed")
    # A short folder: Ray's socket paths inside it must stay under 108 bytes.
    temp = tempfile.mkdtemp(prefix="gl-ray-")
    port = free_port()
    saved = {name: os.environ.get(name) for name in RAY_ENV}
    os.environ.update(RAY_ENV)
    pythonpath = os.pathsep.join(filter(None, [str(HERE), os.environ.get("PYTHONPATH")]))
    env = dict(os.environ, PYTHONPATH=pythonpath, GRAVLINE_TEST_SHARD_DIR=f"{temp}/shards")
    try:
        started = subprocess.run(
            [sys.executable, "-m", "ray.scripts.scripts", "start", "--head",
             "--node-ip-address", "127.0.0.1", "--port", str(port), "--num-cpus", "2",
             "--temp-dir", temp, "--include-dashboard", "false", "--disable-usage-stats"],
            env=env, capture_output=True, text=True, timeout=300)
        if started.returncode != 0:
            pytest.fail(f"ray start failed:\n{started.stdout}\n{started.stderr}")
        yield Cluster(temp, port)
    finally:
        stopped = kill_cluster(temp)
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        shutil.rmtree(temp, ignore_errors=True)
        assert stopped, f"processes of the test cluster survived: {cluster_processes(temp)}"


def same_bytes(a, b, folder):
    a.save(folder / "a.npz")
    b.save(folder / "b.npz")
    return (folder / "a.npz").read_bytes() == (folder / "b.npz").read_bytes()


@needs_ray
@pytest.mark.parametrize("games, shards, policy, size, play, made", [
    (50, 1, "tactical", (7, 6), None, 1),
    (50, 2, "random", (9, 8), None, 2),
    (50, 7, "tactical", (7, 6), ray_shards.play_first_shard_last, 7),
    # By default 4 shards per CPU, but none under a thousand games.
    (2500, None, "random", (7, 6), None, 2),
    (0, 3, "tactical", (4, 4), None, 1),
])
def test_output_equals_single_process_run(cluster, tmp_path, games, shards, policy, size, play,
                                          made):
    expected = batch.self_play(games, *size, policy=policy, seed=11)
    seen = []
    got = self_play_ray(games, *size, policy=policy, seed=11, shards=shards,
                        address=cluster.address, progress=seen.append, _play=play)
    assert got == expected
    assert same_bytes(got, expected, tmp_path)
    assert len(seen) == made and seen == sorted(seen) and seen[-1] == games
    if play is ray_shards.play_first_shard_last:
        assert seen[-2] == games - shard_ranges(games, shards)[0][1]   # game 0's shard came last


@needs_ray
def test_worker_killed_mid_shard_is_run_again(cluster, tmp_path):
    games, shards = 40, 4
    target = shard_ranges(games, shards)[2][0]
    (cluster.shard_dir / "target").write_text(str(target))
    expected = batch.self_play(games, 7, 6, seed=3)
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        run = pool.submit(self_play_ray, games, 7, 6, seed=3, shards=shards,
                          address=cluster.address, _play=ray_shards.wait_to_be_killed)
        deadline = time.monotonic() + 120
        while not (reported := list(cluster.shard_dir.glob(f"{target}.*"))):
            if run.done():
                run.result()
            assert time.monotonic() < deadline, "the shard never reported its worker"
            time.sleep(0.02)
        victim = int(reported[0].suffix[1:])
        os.kill(victim, signal.SIGKILL)
        (cluster.shard_dir / "go").touch()
        got = run.result(timeout=180)
    workers = {int(p.suffix[1:]) for p in cluster.shard_dir.glob(f"{target}.*")}
    assert len(workers) == 2 and victim in workers     # one retry, in another worker
    assert got == expected
    assert same_bytes(got, expected, tmp_path)
    assert np.array_equal(np.unique(got.arrays()["game"]), np.arange(games))


@needs_ray
def test_shard_failing_on_every_attempt_raises(cluster):
    with pytest.raises(ray_runner.ShardError) as raised:
        self_play_ray(30, 7, 6, shards=3, max_retries=1, address=cluster.address,
                      _play=ray_shards.crash_shard_of_game_0)
    assert str(raised.value).startswith(
        "self-play shard of games 0..9 failed on each of its 2 attempts; last: ")


@needs_ray
def test_without_address_a_local_cluster_is_started_and_stopped(cluster):
    got = self_play_ray(20, 7, 6, seed=2, shards=3)
    assert got == batch.self_play(20, 7, 6, seed=2)
    import ray

    assert not ray.is_initialized()
    # Every process of the run's cluster was a child of this one, and is gone.
    assert live_descendants({os.getpid()}, process_table()) == {os.getpid()}


@needs_ray
def test_main_job_on_ray_writes_the_file_of_the_local_run(cluster, tmp_path):
    common = [sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress",
              "--games", "300", "--width", "8", "--height", "7", "--seed", "9"]
    local = subprocess.run([*common, "--out", str(tmp_path / "local.npz")],
                           capture_output=True, text=True, timeout=120)
    assert local.returncode == 0, local.stderr
    on_ray = subprocess.run([*common, "--backend", "ray", "--address", cluster.address,
                             "--shards", "3", "--out", str(tmp_path / "ray.npz")],
                            capture_output=True, text=True, timeout=300)
    assert on_ray.returncode == 0, on_ray.stderr
    assert "300 games on 8x7" in on_ray.stdout and "1 thread per shard on Ray" in on_ray.stdout
    assert (tmp_path / "ray.npz").read_bytes() == (tmp_path / "local.npz").read_bytes()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["local.npz", "ray.npz"]


@needs_ray
def test_main_job_with_a_shard_failing_every_time_writes_nothing(cluster, tmp_path, capsys,
                                                                  monkeypatch):
    # The job's default shard function, replaced by one whose shard of game 0
    # kills its worker on each of Ray's 4 attempts.
    monkeypatch.setattr(ray_runner, "play_shard", ray_shards.crash_shard_of_game_0)
    code = job.main(["--backend", "ray", "--address", cluster.address, "--shards", "3",
                     "--games", "30", "--no-progress", "--out", str(tmp_path / "x.npz")])
    assert code == 1
    assert capsys.readouterr().err.splitlines()[-1].startswith(
        "self_play: error: self-play shard of games 0..9 failed on each of its 4 attempts; ")
    assert not any(tmp_path.iterdir())


# ---- runs written to a folder by the workers, and clusters too small ----

def test_zero_games_on_ray_starts_no_cluster():
    seen = []
    assert self_play_ray(0, 7, 6, progress=seen.append) == batch.self_play(0, 7, 6)
    assert seen == [0]
    ray = sys.modules.get("ray")
    assert ray is None or not ray.is_initialized()


@needs_ray
def test_threads_beyond_every_node_are_refused_up_front(cluster, tmp_path):
    # The joined 2-CPU cluster: its resources are read, no task is started.
    with pytest.raises(ray_runner.ClusterTooSmall) as raised:
        self_play_ray(100, 7, 6, threads_per_shard=4, address=cluster.address)
    assert str(raised.value) == ("a shard asks for 4 CPUs (threads per shard), but no node of the cluster "
                                 "has more than 2: use fewer threads per shard")
    # A local cluster is not even started for shards this machine cannot run.
    with pytest.raises(ray_runner.ClusterTooSmall, match="this machine's local cluster has"):
        self_play_ray(100, 7, 6, threads_per_shard=256)
    import ray

    assert not ray.is_initialized()
    done = subprocess.run([sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress",
                           "--backend", "ray", "--address", cluster.address, "--threads", "4",
                           "--games", "100", "--out", str(tmp_path / "x.npz")],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 2
    assert done.stderr.strip().splitlines()[-1] == (
        "self_play: error: a shard asks for 4 CPUs (threads per shard), but no node of the cluster has "
        "more than 2: use fewer threads per shard")
    assert not any(tmp_path.iterdir())


@needs_ray
def test_main_job_on_ray_writes_the_folder_of_the_local_run(cluster, tmp_path):
    common = [sys.executable, "-m", "drevik_gravline_tools.self_play", "--no-progress",
              "--games", "400", "--seed", "6", "--shard-positions", "2500"]
    local = subprocess.run([*common, "--out", f"{tmp_path}/local/"], capture_output=True, text=True, timeout=120)
    assert local.returncode == 0, local.stderr
    on_ray = subprocess.run([*common, "--backend", "ray", "--address", cluster.address,
                             "--out", f"{tmp_path}/ray/"], capture_output=True, text=True, timeout=300)
    assert on_ray.returncode == 0, on_ray.stderr
    files = sorted(p.name for p in (tmp_path / "local").iterdir())
    assert len(files) > 3 and files == sorted(p.name for p in (tmp_path / "ray").iterdir())
    for name in files:
        assert (tmp_path / "ray" / name).read_bytes() == (tmp_path / "local" / name).read_bytes(), name


@needs_ray
def test_worker_killed_while_writing_leaves_no_partial_file(cluster, tmp_path):
    from drevik_gravline_tools import shards
    from drevik_gravline_tools.ray_runner import self_play_ray_to_folder

    for p in cluster.shard_dir.iterdir():
        p.unlink()
    (cluster.shard_dir / "target").write_text("2")
    with concurrent.futures.ThreadPoolExecutor(1) as pool:
        run = pool.submit(self_play_ray_to_folder, tmp_path / "ray", 200, 7, 6, seed=8, shard_games=40,
                          address=cluster.address, _write=ray_shards.write_part_then_wait_to_be_killed)
        deadline = time.monotonic() + 120
        while not (tmp_path / "ray" / ".shard-000002.npz.partial.tmp").exists() \
                or not list(cluster.shard_dir.glob("2.*")):
            if run.done():
                run.result()
            assert time.monotonic() < deadline, "the shard never started writing"
            time.sleep(0.02)
        victim = int(next(cluster.shard_dir.glob("2.*")).suffix[1:])
        # Until the worker dies, the manifest names no part of shard 2.
        assert all(e["index"] != 2 for e in shards.read_manifest(tmp_path / "ray")["shards"])
        os.kill(victim, signal.SIGKILL)
        manifest = run.result(timeout=180)
    assert len(list(cluster.shard_dir.glob("2.*"))) == 2      # run again, in another worker
    shards.self_play_to_folder(tmp_path / "local", 200, 7, 6, seed=8, shard_games=40)
    assert manifest == shards.read_manifest(tmp_path / "local")
    names = sorted(p.name for p in (tmp_path / "ray").iterdir())
    assert names == sorted(p.name for p in (tmp_path / "local").iterdir())
    for name in names:
        assert (tmp_path / "ray" / name).read_bytes() == (tmp_path / "local" / name).read_bytes(), name
