#!/usr/bin/env bash
# The module's tests under ThreadSanitizer, on a free-threaded CPython built
# with it, with the interpreter lock off. Not part of CI: the instrumented
# interpreter takes about half an hour to build and install on 2 cores, and
# every test runs several times slower. Runs in py3t's Debian chroot, where
# the interpreter is expected at /opt/py313t-tsan, built from the same source
# as py3t's:
#   ./configure --disable-gil --with-thread-sanitizer --prefix=/opt/py313t-tsan && make -j2 && make install
#   scripts/tsan.sh                           # the thread tests
#   scripts/tsan.sh tests/python/test_x.py    # any pytest arguments
# Reports go to /tmp/tsan-report.* in the chroot; the script fails when there is one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
tool=$root/../shared/tools/py314
[ -x "$tool" ] || { echo "tsan.sh: no py314 tool beside this checkout" >&2; exit 2; }
[ $# -gt 0 ] || set -- tests/python/test_threads.py tests/python/test_threads_batch.py tests/python/test_threads_stress.py
cd "$root"
"$tool" bash -euo pipefail -c '
  py=/opt/py313t-tsan/bin/python3.13t venv=/opt/venv-tsan
  [ -x $py ] || { echo "tsan.sh: no ThreadSanitizer build of CPython at /opt/py313t-tsan in the chroot" >&2; exit 2; }
  [ -x $venv/bin/pip ] || { $py -m venv --without-pip $venv && $venv/bin/python -m ensurepip >/dev/null; }
  pip() { $venv/bin/python -m pip -q --disable-pip-version-check "$@"; }
  pip install --only-binary=:all: "numpy<2.5" pytest scikit-build-core cmake ninja
  pip install --no-build-isolation --no-deps --force-reinstall -C build-dir=/tmp/tsan-build \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.CMAKE_CXX_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
    -C cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread /src
  rm -f /tmp/tsan-report.*
  PYTHON_GIL=0 TSAN_OPTIONS="halt_on_error=0 history_size=2 log_path=/tmp/tsan-report" \
    $venv/bin/python -m pytest -q -p no:cacheprovider "$@"
  if compgen -G "/tmp/tsan-report.*" >/dev/null; then
    cat /tmp/tsan-report.* >&2
    echo "tsan.sh: ThreadSanitizer reports above" >&2
    exit 1
  fi
  echo "ThreadSanitizer: no report"
' tsan "$@"
