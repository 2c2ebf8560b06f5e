#!/usr/bin/env bash
# Builds and installs the module into a virtual environment, then runs the main
# job, the self-play data generator (drevik_gravline_tools.self_play; arguments
# are passed on, --help lists them).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/setup_venv.sh" numpy tqdm
cd "$root" && exec "$VPY" -m drevik_gravline_tools.self_play "$@"
