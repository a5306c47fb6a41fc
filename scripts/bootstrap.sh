#!/usr/bin/env bash
# Prepares what building and testing need, installing only what is missing:
#   scripts/bootstrap.sh VENV_DIR PYTHON [apt packages...]
# Debian packages are installed with apt-get (as root) when absent; the
# virtual environment gets the build and test tools from PyPI.
set -euo pipefail
venv="$1"; python="$2"; shift 2

missing=()
for pkg in "$@"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
# A system interpreter needs its development headers and venv module.
if ! "$python" -c 'import sysconfig, os, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))'; then
  ver=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
  missing+=("python$ver-dev" "python$ver-venv")
fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x "$venv/bin/python" ]; then
  echo "bootstrap: creating $venv with $python"
  "$python" -m venv "$venv"
fi
stamp="$venv/.ferrowick-deps"
want="scikit-build-core>=0.10 cmake>=3.20 ninja pytest fsspec"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  # shellcheck disable=SC2086
  "$venv/bin/python" -m pip install -q --disable-pip-version-check $want
  echo "$want" > "$stamp"
fi
