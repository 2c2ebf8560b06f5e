#!/usr/bin/env bash
# The benchmark suite in one command. Makes (or reuses) the virtual environment
# .venv-bench with this checkout, OpenSpiel, PettingZoo, pgx, Ray and NumPy from PyPI,
# builds the engine's C++ benchmark (Google Benchmark, from the system's
# libbenchmark-dev, installed with apt-get when missing), runs every workload and
# prints one table, which also goes to bench/latest.md, then draws throughput
# against batch size to bench/throughput.svg.
#   bench/run.sh [--quick]
#   PYTHON=python3.12 bench/run.sh        # another interpreter
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
python=${PYTHON:-python3}
venv=$root/.venv-bench
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
VPY=$venv/bin/python
pip() { "$VPY" -m pip -q --disable-pip-version-check "$@"; }

echo "== Python packages ==" >&2
pip install --upgrade pip
# The build tools let the checkout rebuild incrementally below.
pip install numpy scikit-build-core cmake ninja
# PettingZoo's connect_four imports pygame at load time (for drawing), so it
# comes along. OpenSpiel ships wheels for some interpreters only, and building
# it from source is out of scope here. A peer that does not install is left
# out, and its rows say "not installed".
pip install --only-binary=pygame-ce pettingzoo pygame-ce ||
  echo "pettingzoo: does not install on $("$VPY" -V); its baseline is left out" >&2
pip install --only-binary=:all: open-spiel ||
  echo "open-spiel: no wheel for $("$VPY" -V); its baselines are left out" >&2
# pgx runs its games under JAX (the CPU build of jax comes with it from PyPI);
# it and matplotlib, which draws the throughput plot, live in this environment
# only: the package depends on neither.
pip install matplotlib
pip install --only-binary=:all: pgx ||
  echo "pgx: does not install on $("$VPY" -V); its baselines are left out" >&2
# mctx, batched tree search under JAX, runs the tree search's peer rows on pgx's
# games; without it those rows say "not installed".
pip install --only-binary=:all: mctx ||
  echo "mctx: does not install on $("$VPY" -V); its tree search baselines are left out" >&2
# bitbully, a 7x6 solver, the peer of bench_solver.py's solve times.
pip install --only-binary=:all: bitbully ||
  echo "bitbully: does not install on $("$VPY" -V); the solver's peer row is left out" >&2
# Ray, for the cluster backend's rows; without a wheel for this interpreter
# they are left out.
pip install --only-binary=ray "ray>=2.9" ||
  echo "ray: no wheel for $("$VPY" -V); its rows are left out" >&2
# This checkout, built in a fixed directory so that a rerun recompiles only what changed.
pip install --no-build-isolation --no-deps --force-reinstall \
  -C build-dir="$root/build/bench-wheel" "$root"

echo "== C++ benchmark ==" >&2
if [ ! -f /usr/include/benchmark/benchmark.h ]; then
  if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
  $sudo apt-get update -q && $sudo apt-get install -y -q libbenchmark-dev
fi
PATH=$venv/bin:$PATH
build=$root/build/bench-engine
cmake -S "$root" -B "$build" -G Ninja -DGRAVLINE_BUILD_MODULE=OFF -DGRAVLINE_BUILD_BENCH=ON \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" >&2

echo "== running ==" >&2
# The module under test is the one just installed, whatever PYTHONPATH says.
unset PYTHONPATH
# NumPy's BLAS on one thread: its idle threads spin for a while after each use,
# and that CPU time would be charged to whatever row runs next, and would take a
# core from the thread rows.
export OPENBLAS_NUM_THREADS=1
"$VPY" "$root/bench/run.py" --engine-bench "$build/engine_bench" "$@"
# The throughput plot measures its own points: a quick sweep of batch sizes.
"$VPY" "$root/bench/plot_throughput.py" --out "$root/bench/throughput.svg"
# The solver's mean solve time beside bitbully's, and the arena's throughput.
"$VPY" "$root/bench/bench_solver.py"
