# Sourced by the other scripts: makes (or reuses) a virtual environment for one
# interpreter, installs the module into it from this checkout, and sets $VPY.
#   PYTHON=python3.13 source scripts/setup_venv.sh [extra pip packages...]
# PYTHON is a command on PATH, a full path, or a name such as python3.13 or 3.13
# that one of pyenv's installed versions provides.
#
# Nothing is installed or built again while nothing changed: the packages are
# installed when the list asked for changes, and the module is rebuilt only when
# the sources, the build files or the interpreter changed (a stamp in the venv
# records a hash of them). A rebuild reuses build/<venv name>, so only the
# changed files are compiled again.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The interpreter: PYTHON if given (an empty PYTHON is a mistake, such as a
# failed $(pyenv which ...), not a request for the default).
if [ "${PYTHON+set}" = set ] && [ -z "$PYTHON" ]; then
  echo "PYTHON is set but empty; give a command or a full path, e.g." >&2
  echo "  PYTHON=\$(pyenv root)/versions/3.13.0/bin/python3" >&2
  exit 2
fi
python=${PYTHON:-python3}
if ! command -v "$python" >/dev/null 2>&1; then
  found=
  if command -v pyenv >/dev/null 2>&1; then
    # The newest installed pyenv version that has the command, or whose version
    # starts with the number given ("3.13" finds 3.13.0).
    for dir in $(ls -d "$(pyenv root)"/versions/*/ 2>/dev/null | sort -V -r); do
      case $python in
        [0-9]*) [[ $(basename "$dir") == "$python".* || $(basename "$dir") == "$python" ]] &&
                  [ -x "$dir/bin/python3" ] && { found=$dir/bin/python3; break; } ;;
        *) [ -x "$dir/bin/$python" ] && { found=$dir/bin/$python; break; } ;;
      esac
    done
  fi
  if [ -z "$found" ]; then
    echo "PYTHON=$python: no such interpreter on PATH or among pyenv's versions" >&2
    exit 2
  fi
  python=$found
fi

# The X.Y tag (X.Yt for a free-threaded build, whose venv and build folder are
# its own), and the interpreter's real location and full version, in one call.
describe='import os, sys, sysconfig
print("%d.%d" % sys.version_info[:2] + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""),
      os.path.realpath(getattr(sys, "_base_executable", sys.executable))
      + "|" + sys.version.replace(" ", "_").replace("\n", "_"))'
read -r tag base < <("$python" -c "$describe")
[ -n "$tag" ] || { echo "$python did not run" >&2; exit 2; }
venv=${VENV:-$root/.venv-$tag}
# A venv made by another interpreter of the same X.Y is made again. One that
# predates the record is asked once which interpreter it runs on.
if [ -x "$venv/bin/python" ] && [ ! -f "$venv/.gravline-base" ]; then
  "$venv/bin/python" -c "$describe" | cut -d' ' -f2 >"$venv/.gravline-base"
fi
if [ -x "$venv/bin/python" ] && [ "$(cat "$venv/.gravline-base")" != "$base" ]; then
  rm -rf "$venv"
fi
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  echo "$base" >"$venv/.gravline-base"
fi
VPY=$venv/bin/python
pip=("$VPY" -m pip install -q --disable-pip-version-check)

# The packages asked for, and what the build needs in the venv itself, since the
# build runs without isolation (so that its folder stays valid between runs).
build_deps=("scikit-build-core>=0.10" "numpy>=2.0" cmake ninja)
wanted=$(printf '%s\n' "${build_deps[@]}" "$@" | sort -u)
if [ "$(cat "$venv/.gravline-packages" 2>/dev/null)" != "$wanted" ]; then
  # shellcheck disable=SC2046
  "${pip[@]}" $(echo "$wanted")
  echo "$wanted" >"$venv/.gravline-packages"
fi

# Everything the installed module is built from, this script's install step
# included, and the interpreter.
stamp=$(cd "$root" && {
  echo "$base"
  find src python stubs CMakeLists.txt pyproject.toml LICENSE scripts/setup_venv.sh -type f \
    -not -name "*.pyc" -print0 |
    LC_ALL=C sort -z | xargs -0 sha256sum
} | sha256sum | cut -d' ' -f1)
if [ "$(cat "$venv/.gravline-stamp" 2>/dev/null)" != "$stamp" ] ||
   ! compgen -G "$venv/lib/python*/site-packages/drevik_gravline*.so" >/dev/null; then
  rm -f "$venv/.gravline-stamp"
  PATH=$venv/bin:$PATH "${pip[@]}" --no-build-isolation --no-deps --force-reinstall \
    -C "build-dir=$root/build/$(basename "$venv" | sed 's/^\.//')" "$root"
  echo "$stamp" >"$venv/.gravline-stamp"
fi
