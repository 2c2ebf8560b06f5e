#!/usr/bin/env bash
# Builds a fuzzer with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, into build/fuzz/engine_fuzzer (or $FUZZ_BUILD).
#   fuzz/build.sh              # the fuzzer
#   fuzz/build.sh --coverage   # build/fuzz/engine_fuzzer_cov, for llvm-cov over a corpus
#   FUZZER=batch_fuzzer fuzz/build.sh   # the batch fuzzer instead, from fuzz/batch_fuzzer.cpp
# Installs clang from the system's packages when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_BUILD:-$root/build/fuzz}

find_clang() {
  for cxx in clang++ clang++-14 clang++-15 clang++-16; do
    command -v "$cxx" >/dev/null 2>&1 && { echo "$cxx"; return; }
  done
}
cxx=${CXX_FUZZ:-$(find_clang)}
if [ -z "$cxx" ] || ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char *, unsigned long) { return 0; }' |
     "$cxx" -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null; then
  if [ "$(id -u)" = 0 ]; then sudo=; else sudo=sudo; fi
  $sudo apt-get update -q >/dev/null
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -q clang-14 libclang-rt-14-dev llvm-14 >/dev/null
  cxx=${CXX_FUZZ:-$(find_clang)}
fi

mkdir -p "$out"
name=${FUZZER:-engine_fuzzer}
src=$root/fuzz/$name.cpp
target=$out/$name
[ "${1:-}" = --coverage ] && target=$out/${name}_cov
# Up to date when newer than everything it is built from.
if [ -x "$target" ] && [ -z "$(find "$src" "$root"/src/*.h "$root/fuzz/build.sh" \
     "$root/fuzz/coverage_ignore.txt" -newer "$target")" ]; then
  echo "$target"
  exit 0
fi
flags=(-std=c++20 -g -O2 -Wall -Wextra -fno-omit-frame-pointer)
if [ "${1:-}" = --coverage ]; then
  "$cxx" "${flags[@]}" -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping \
    "$src" -o "$target"
  echo "$target"
else
  # Every undefined-behaviour report is fatal, so the fuzzer stops on it like on a crash.
  # Comparison tracing is off: the input is read through modulos, so there are no
  # magic values to solve, and the word loops' compares would cost two thirds of
  # the run time.
  "$cxx" "${flags[@]}" -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
    -fno-sanitize-coverage=trace-cmp -fsanitize-coverage-ignorelist="$root/fuzz/coverage_ignore.txt" \
    "$src" -o "$target"
  echo "$target"
fi
