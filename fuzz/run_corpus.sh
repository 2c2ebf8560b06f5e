#!/usr/bin/env bash
# Regression run: the fuzzer executes every input of fuzz/corpus once, with all
# its checks and sanitizers, and fails on the first broken invariant or report.
# Builds the fuzzer first (fuzz/build.sh, which installs clang when missing).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
fuzzer=$("$root/fuzz/build.sh" | tail -n 1)
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# -runs=0: run the corpus once and stop. A failed check aborts, a sanitizer
# report is fatal; either way libFuzzer exits non-zero.
if ! "$fuzzer" -runs=0 "$root/fuzz/corpus" >"$log" 2>&1; then
  cat "$log"
  echo "fuzz corpus: FAILED"
  exit 1
fi
grep -E '^#[0-9]+[[:space:]]+DONE' "$log" || true
echo "fuzz: $(find "$root/fuzz/corpus" -type f | wc -l) passed, 0 failed"
