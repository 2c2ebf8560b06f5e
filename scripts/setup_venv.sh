# Sourced by the other scripts: makes (or reuses) a virtual environment for one
# interpreter, installs the module into it from this checkout, and sets $VPY.
#   PYTHON=python3.13 source scripts/setup_venv.sh [extra pip packages...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=${PYTHON:-python3}
tag=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
venv=${VENV:-$root/.venv-$tag}
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
VPY=$venv/bin/python
"$VPY" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
[ $# -eq 0 ] || "$VPY" -m pip install -q --disable-pip-version-check "$@"
"$VPY" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps "$root"
