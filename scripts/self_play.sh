#!/usr/bin/env bash
# Builds and installs the module into a virtual environment, then runs the
# self-play data generator (examples/self_play.py; arguments are passed on).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/setup_venv.sh" numpy tqdm
cd "$root" && "$VPY" examples/self_play.py "$@"
