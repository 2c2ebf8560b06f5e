#!/usr/bin/env bash
# Builds and installs the module into a virtual environment, then plays a few
# random games and prints the last finished board with its result.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/setup_venv.sh"
cd "$root" && "$VPY" examples/random_games.py "$@"
