#!/usr/bin/env bash
# Builds and installs the module into a virtual environment, then runs the main
# job, the self-play data generator (drevik_gravline_tools.self_play; arguments
# are passed on, --help lists them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# A run on Ray (--backend ray) brings Ray into the environment too.
extra=() prev=
for arg in "$@"; do
  if [ "$arg" = --backend=ray ] || { [ "$prev" = --backend ] && [ "$arg" = ray ]; }; then
    extra=("ray>=2.9")
  fi
  prev=$arg
done
source "$root/scripts/setup_venv.sh" numpy tqdm "${extra[@]}"
# Run from the caller's folder, so that a relative --out is relative to it.
exec "$VPY" -m drevik_gravline_tools.self_play "$@"
