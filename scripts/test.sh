#!/usr/bin/env bash
# Builds and runs every test: the engine's GoogleTest suite, then the module's
# pytest suite against a fresh install of this checkout. Installs what it needs
# (GoogleTest and an SVG renderer from the system's packages, Python packages into a venv).
#   PYTHON=python3.13 scripts/test.sh     # another interpreter
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
echo "== engine tests (GoogleTest) =="
# The engine tests do not involve Python: one build per compiler serves every interpreter.
build=$root/build/tests-$(basename "${CXX:-c++}")$(${CXX:-c++} -dumpfullversion)
PATH=$(dirname "$VPY"):$PATH
cmake -S "$root" -B "$build" -G Ninja -DGRAVLINE_BUILD_MODULE=OFF -DGRAVLINE_BUILD_TESTS=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build"
"$build/engine_tests" --gtest_brief=1

echo "== module tests (pytest, $("$VPY" -c 'import sys; print(sys.version.split()[0])')) =="
"$VPY" -m pytest -q -p no:cacheprovider "$root/tests/python"
