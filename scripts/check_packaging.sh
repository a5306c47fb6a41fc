#!/usr/bin/env bash
# Checks what type checkers and editors get from an installed ferrowick:
#   scripts/check_packaging.sh [VENV]      (default .venv, where `make module` installs)
# 1. the stubs installed with the package agree with the built module
#    (mypy's stubtest; deliberate differences are in stubs/stubtest_allowlist.txt);
# 2. the example, ferrowick-shell, ferrowickfs and ferrowick_pool pass `mypy --strict` against those stubs
#    (the pure-Python packages carry their types inline and stubtest checks them too);
# 3. the example runs (its pool part only as root).
# mypy is installed into VENV from PyPI when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${1:-.venv}"
py="$venv/bin/python"
[ -x "$py" ] || { echo "check_packaging: no virtual environment at $venv (run make module first)" >&2; exit 1; }

if ! "$py" -c 'import mypy' 2>/dev/null; then
  echo "== installing mypy into $venv"
  "$py" -m pip install -q --disable-pip-version-check "mypy>=1.10"
fi

# The stubs must come from the installed package, not from this tree.
"$py" - <<'PY'
import importlib.util, pathlib, sys
spec = importlib.util.find_spec("ferrowick-stubs")  # a directory without __init__.py
locations = (spec.submodule_search_locations if spec else None) or []
stubs = [pathlib.Path(d) / "__init__.pyi" for d in locations]
if not any(s.is_file() for s in stubs):
    sys.exit("check_packaging: ferrowick-stubs/__init__.pyi is not installed next to ferrowick")
print(f"== stubs installed at {[str(s) for s in stubs if s.is_file()][0]}")
PY
echo "== stubtest"
"$py" -m mypy.stubtest ferrowick --allowlist stubs/stubtest_allowlist.txt
# ferrowickfs carries its types inline (py.typed); stubtest checks them
# against the installed package (its fsspec part needs fsspec installed).
"$py" -m mypy.stubtest ferrowickfs
# So does ferrowick_pool, whose __main__ runs the command-line tool when imported.
"$py" -m mypy.stubtest ferrowick_pool --allowlist <(echo "ferrowick_pool.__main__")

echo "== mypy --strict"
"$py" -m mypy --strict --no-incremental examples/typed_example.py python/ferrowick_shell python/ferrowickfs python/ferrowick_pool

echo "== running examples/typed_example.py"
"$py" examples/typed_example.py
