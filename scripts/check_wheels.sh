#!/usr/bin/env bash
# Builds a wheel with Python 3.12 and with 3.13 (`pip wheel .`), installs
# each into a fresh virtual environment and checks what a user gets there:
# the module imports, ferrowick-shell runs a piped script, and the type
# stubs (ferrowick-stubs/__init__.pyi) are installed where checkers look.
#   scripts/check_wheels.sh [MINOR...]     (default: 12 13)
# Build trees are kept in build/wheel-3.MINOR so that a second run is quick.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=(12 13)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "check_wheels: $*" >&2; exit 1; }

for minor in "${minors[@]}"; do
  py=$(scripts/find_python.sh "$minor") || fail "no Python 3.$minor found"
  echo "== Python 3.$minor ($py): building a wheel"
  dist="$work/dist-3.$minor"
  "$py" -m pip wheel -q --disable-pip-version-check --no-deps -w "$dist" \
    -Cbuild-dir="$repo/build/wheel-3.$minor" .
  wheels=("$dist"/ferrowick-*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in $dist"
  wheel="${wheels[0]}"
  echo "   $(basename "$wheel")"
  "$py" - "$wheel" <<'PY'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
for want in ("ferrowick-stubs/__init__.pyi", "ferrowick_shell/host.py", "ferrowickfs/__init__.py", "ferrowickfs/py.typed"):
    if want not in names:
        sys.exit(f"check_wheels: {want} is missing from the wheel")
if not any(n.startswith("ferrowick.cpython-") and n.endswith(".so") for n in names):
    sys.exit("check_wheels: the extension module is missing from the wheel")
PY

  echo "   installing into a fresh virtual environment"
  venv="$work/venv-3.$minor"
  "$py" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"

  # Run from an empty directory so that nothing of the source tree is imported.
  mkdir -p "$work/run" && cd "$work/run"
  "$venv/bin/python" - <<'PY'
import importlib.util, pathlib, sys
import ferrowick
want = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyUser", "PyTerminalSession"]
if ferrowick.__all__ != want:
    sys.exit(f"check_wheels: ferrowick.__all__ is {ferrowick.__all__}")
if pathlib.Path(sys.prefix) not in pathlib.Path(ferrowick.__file__).parents:
    sys.exit(f"check_wheels: ferrowick imported from {ferrowick.__file__}, not from the new environment")
import ferrowickfs
with ferrowickfs.open(ferrowick.PyFs(), "/probe", "w") as f:
    f.write("ok")
if "fsspec" in sys.modules:
    sys.exit("check_wheels: ferrowickfs imported fsspec")
from importlib.metadata import entry_points
if [e.value for e in entry_points(group="fsspec.specs", name="ferrowick")] != ["ferrowickfs:FerrowickFileSystem"]:
    sys.exit("check_wheels: the fsspec entry point for ferrowick is missing")
spec = importlib.util.find_spec("ferrowick-stubs")
locations = (spec.submodule_search_locations if spec else None) or []
if not any((pathlib.Path(d) / "__init__.pyi").is_file() for d in locations):
    sys.exit("check_wheels: ferrowick-stubs/__init__.pyi is not installed")
PY
  out=$(printf 'mkdir a\ncd a\ntouch f\nls\npwd\n' | "$venv/bin/ferrowick-shell")
  [ "$out" = $'f\n/a' ] || fail "ferrowick-shell printed: $out"
  cd "$repo"
  echo "   imports, runs ferrowick-shell, stubs installed: ok"
done
echo "== wheels ok for Python ${minors[*]/#/3.}"
