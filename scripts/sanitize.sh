#!/usr/bin/env bash
# Builds the module and the engine's GoogleTest suite with AddressSanitizer and
# UndefinedBehaviorSanitizer, then runs both test suites under them. Fails on a
# failed test and on any sanitizer report, in this process or in any child.
#   scripts/sanitize.sh                    # python3, all cores
#   PYTHON=python3.12 JOBS=1 scripts/sanitize.sh
# The module goes into its own venv, .venv-asan; its build stays in build/asan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
jobs=${JOBS:-$(nproc)}

if [ ! -f /usr/include/gtest/gtest.h ]; then
  if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
  $sudo apt-get update -q && $sudo apt-get install -y -q libgtest-dev
fi

python=${PYTHON:-python3}
venv=$root/.venv-asan
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
VPY=$venv/bin/python
pip=("$VPY" -m pip install -q --disable-pip-version-check)
"${pip[@]}" --upgrade pip >/dev/null
"${pip[@]}" pytest numpy cmake ninja mypy tqdm scikit-build-core
PATH=$(dirname "$VPY"):$PATH

# The interpreter is not instrumented, so the sanitizer runtimes must be loaded
# before anything else in it; the module then links against these same copies.
cxx=${CXX:-c++}
asan=$("$cxx" -print-file-name=libasan.so)
# libstdc++ right after it: its C++ exception interceptor binds at start-up, and
# the interpreter itself does not load libstdc++.
stdcxx=$("$cxx" -print-file-name=libstdc++.so)
[ -f "$asan" ] && [ -f "$stdcxx" ] || { echo "no libasan.so/libstdc++.so beside $cxx" >&2; exit 1; }
# -O1 keeps the stacks readable and runs the suites several times faster than -O0.
debug_flags="-g -O1"

echo "== build: module (ASan + UBSan) =="
# Without build isolation, so that build/asan stays valid from one run to the next.
CMAKE_BUILD_PARALLEL_LEVEL=$jobs "${pip[@]}" --no-build-isolation --no-deps --force-reinstall \
  -C cmake.define.GRAVLINE_SANITIZE=ON -C cmake.build-type=Debug \
  -C "cmake.define.CMAKE_CXX_FLAGS_DEBUG=$debug_flags" -C "build-dir=$root/build/asan" "$root"

echo "== build: engine tests (ASan + UBSan) =="
tests=$root/build/asan-tests
cmake -S "$root" -B "$tests" -G Ninja -DGRAVLINE_BUILD_MODULE=OFF -DGRAVLINE_BUILD_TESTS=ON \
  -DGRAVLINE_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="$debug_flags" >/dev/null
cmake --build "$tests" -j "$jobs"

# Every report goes to a file as well as failing its process: a child process
# whose output a test captures still leaves its report behind.
logs=$root/build/asan-logs
rm -rf "$logs"
mkdir -p "$logs"
common=halt_on_error=1:abort_on_error=0:log_path=$logs/report
export UBSAN_OPTIONS=$common:print_stacktrace=1

status=0
echo "== engine tests under ASan + UBSan =="
# Everything here is instrumented, so leaks are checked as well.
ASAN_OPTIONS=$common:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1 \
  "$tests/engine_tests" --gtest_brief=1 || status=1

echo "== module tests under ASan + UBSan ($("$VPY" -c 'import sys; print(sys.version.split()[0])')) =="
# PYTHONMALLOC=malloc sends every Python object through the sanitizer's heap, so
# the module's use of a freed object is caught too. Leak detection is off: at exit
# the interpreter, NumPy's import and tracemalloc leave unfreed blocks in every
# process, none of them the module's; the module's own leaks are what
# leak tests (test_leaks*.py) measure, and they run here too.
pytest=("$VPY" -m pytest -q -p no:cacheprovider)
leak_tests=("$root"/tests/python/test_leaks*.py)
LD_PRELOAD="$asan $stdcxx" PYTHONMALLOC=malloc ASAN_OPTIONS=$common:detect_leaks=0 \
  "${pytest[@]}" "${leak_tests[@]/#/--ignore=}" "$root/tests/python" || status=1
# The leak tests compare resident sizes, which the quarantine of freed blocks
# would grow: they run on their own with freed memory handed back at once.
LD_PRELOAD="$asan $stdcxx" PYTHONMALLOC=malloc ASAN_OPTIONS=$common:detect_leaks=0:quarantine_size_mb=0 \
  "${pytest[@]}" "${leak_tests[@]}" || status=1

if compgen -G "$logs/report*" >/dev/null; then
  echo "== sanitizer reports ==" >&2
  cat "$logs"/report* >&2
  status=1
fi
[ "$status" = 0 ] && echo "sanitizers: no report"
exit "$status"
