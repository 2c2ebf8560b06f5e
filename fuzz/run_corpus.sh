#!/usr/bin/env bash
# Regression run: each fuzzer executes every input of its corpus once, with all
# its checks and sanitizers, and fails on the first broken invariant or report.
# Builds the fuzzers first (fuzz/build.sh, which installs clang when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fuzzers=$("$root/fuzz/build.sh")
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# Each fuzzer with its own corpus: fuzz/corpus for the engine, fuzz/state_corpus
# for saved states. -runs=0: run the corpus once and stop. A failed check
# aborts, a sanitizer report is fatal; either way libFuzzer exits non-zero.
for fuzzer in $(echo "$fuzzers" | tail -n 2); do
  case $(basename "$fuzzer") in
    engine_fuzzer) corpus=$root/fuzz/corpus ;;
    state_fuzzer) corpus=$root/fuzz/state_corpus ;;
    *) continue ;;
  esac
  if ! "$fuzzer" -runs=0 "$corpus" >"$log" 2>&1; then
    cat "$log"
    echo "fuzz corpus of $(basename "$fuzzer"): FAILED"
    exit 1
  fi
  grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
  echo "fuzz $(basename "$fuzzer"): $(find "$corpus" -type f | wc -l) passed, 0 failed"
done
