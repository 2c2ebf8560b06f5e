#!/usr/bin/env bash
# Builds the fuzzers with clang's libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, into build/fuzz (or $FUZZ_BUILD), and prints their
# paths one per line, the engine fuzzer's last: state_fuzzer (saved states),
# batch_fuzzer (batch operations), search_fuzzer (the tree search), engine_fuzzer.
#   fuzz/build.sh                       # every fuzzer
#   FUZZER=batch_fuzzer fuzz/build.sh   # one of them
#   fuzz/build.sh --coverage            # build/fuzz/engine_fuzzer_cov, for llvm-cov over a corpus
# Installs clang from the system's packages when it is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${FUZZ_BUILD:-$root/build/fuzz}

find_clang() {
  for cxx in clang++ clang++-14 clang++-15 clang++-16; do
    command -v "$cxx" >/dev/null 2>&1 && { echo "$cxx"; return; }
  done
  return 0  # none: installed below
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
flags=(-std=c++20 -g -O2 -Wall -Wextra -fno-omit-frame-pointer)

# Builds fuzz/$1.cpp into $out/$2 with the flags after them, unless the binary
# is newer than everything it is built from; prints its path.
build() {
  local src=$root/fuzz/$1.cpp target=$out/$2
  shift 2
  if [ ! -x "$target" ] || [ -n "$(find "$src" "$root"/src/*.h "$root"/fuzz/*.h "$root/fuzz/build.sh" \
       "$root/fuzz/coverage_ignore.txt" -newer "$target")" ]; then
    "$cxx" "${flags[@]}" "$@" "$src" -o "$target"
  fi
  echo "$target"
}

if [ "${1:-}" = --coverage ]; then
  build engine_fuzzer engine_fuzzer_cov -fsanitize=fuzzer -fprofile-instr-generate -fcoverage-mapping
  exit 0
fi
# Every undefined-behaviour report is fatal, so the fuzzer stops on it like on a crash.
fuzz=(-fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all
      -fsanitize-coverage-ignorelist="$root/fuzz/coverage_ignore.txt")
# Comparison tracing is off for the engine and batch fuzzers: their input is read
# through modulos, so there are no magic values to solve, and the word loops'
# compares would cost two thirds of the run time. The saved-state fuzzer keeps
# it: its input is checked against versions, kinds and lengths.
no_cmp=-fno-sanitize-coverage=trace-cmp
for name in ${FUZZER:-state_fuzzer batch_fuzzer search_fuzzer engine_fuzzer}; do
  case $name in
    state_fuzzer) build state_fuzzer state_fuzzer "${fuzz[@]}" ;;
    *) build "$name" "$name" "${fuzz[@]}" $no_cmp ;;
  esac
done
