#!/usr/bin/env bash
# Builds and runs every test: the engine's GoogleTest suite, then the module's
# pytest suite against the module installed from this checkout (built again
# only when its sources, build files or interpreter changed). Installs what it
# needs (GoogleTest and an SVG renderer from the system's packages, Python
# packages into a venv).
#   PYTHON=python3.13 scripts/test.sh     # another interpreter
#   RAY_TESTS=1 scripts/test.sh           # Ray must install (0: leave it out)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# GoogleTest for the engine tests; rsvg-convert renders the drawings' tests.
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
  $sudo apt-get update -q && $sudo apt-get install -y -q "${missing[@]}"
fi

source "$root/scripts/setup_venv.sh" pytest numpy cmake ninja mypy tqdm
# Ray, for the tests of the cluster backend, has wheels for some interpreters
# only. Where it installs its tests run (a broken Ray then fails them, it never
# skips them); where it has no wheel they are skipped. RAY_TESTS=1 makes a failed
# install an error, RAY_TESTS=0 leaves Ray out.
ray_tests=${RAY_TESTS:-auto}
if [ "$ray_tests" != 0 ]; then
  if "$VPY" -m pip install -q --disable-pip-version-check --only-binary=ray "ray>=2.9"; then
    export GRAVLINE_REQUIRE_RAY=1
  elif [ "$ray_tests" = 1 ]; then
    echo "ray does not install on $("$VPY" -V) (RAY_TESTS=1)" >&2
    exit 1
  else
    echo "ray: no wheel for $("$VPY" -V); the Ray tests are skipped" >&2
  fi
fi
# PyTorch, for the smoke test of examples/train.py: its CPU build only (the
# default build pulls in CUDA, gigabytes), where a wheel of it resolves for this
# interpreter. Where it does not install, that test is skipped.
if ! "$VPY" -c 'import torch' 2>/dev/null; then
  "$VPY" -m pip install -q --disable-pip-version-check --only-binary=torch "torch==2.13.0+cpu" 2>/dev/null ||
    echo "torch: no CPU wheel for $("$VPY" -V); the training example's test is skipped" >&2
fi
echo "== engine tests (GoogleTest) =="
# The engine tests do not involve Python: one build per compiler serves every interpreter.
build=$root/build/tests-$(basename "${CXX:-c++}")$(${CXX:-c++} -dumpfullversion)
PATH=$(dirname "$VPY"):$PATH
# Configured once; from then on ninja re-runs CMake itself when a build file changes.
[ -f "$build/build.ninja" ] ||
  cmake -S "$root" -B "$build" -G Ninja -DGRAVLINE_BUILD_MODULE=OFF -DGRAVLINE_BUILD_TESTS=ON \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
"$build/engine_tests" --gtest_brief=1

echo "== module tests (pytest, $("$VPY" -c 'import sys; print(sys.version.split()[0])')) =="
"$VPY" -m pytest -q -p no:cacheprovider "$root/tests/python"
