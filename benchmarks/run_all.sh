#!/usr/bin/env bash
# Builds ferrowick into a virtual environment that also holds its peers
# (pyfakefs, fsspec, PyFilesystem2) and runs every benchmark driver in turn.
#   benchmarks/run_all.sh           full sizes (each driver takes a few minutes at most)
#   benchmarks/run_all.sh --quick   small sizes, a smoke test of about a minute
# VENV and PY_BUILD choose the environment and the extension's build directory
# (defaults: .venv-bench and build/bench in the repository). BASELINE=DIR
# adds the ferrowick build in DIR (a directory holding its .so) to
# bench_compare, measured in the same run; ROUNDS=N runs bench_compare's
# contenders N times, interleaved, keeping each figure's best.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
venv=${VENV:-$root/.venv-bench}
py_build=${PY_BUILD:-$root/build/bench}

quick=()
for arg in "$@"; do
  case "$arg" in
    --quick) quick=(--quick) ;;
    *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
  esac
done

# The machine is shared: two build jobs unless told otherwise.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
make -C "$root" --no-print-directory module VENV="$venv" PY_BUILD="$py_build"
# PyFilesystem2 still imports pkg_resources, which newer setuptools dropped.
"$venv/bin/python" -m pip install -q --disable-pip-version-check pyfakefs fsspec fs "setuptools<81"

compare=()
if [ -n "${BASELINE:-}" ]; then compare+=(--baseline "$BASELINE"); fi
if [ -n "${ROUNDS:-}" ]; then compare+=(--rounds "$ROUNDS"); fi

status=0
for driver in bench_compare bench_fs bench_handles bench_term bench_workspace bench_pool bench_confine bench_transfer bench_session bench_exec bench_async_shell bench_async_process bench_ecosystem; do
  echo
  echo "== $driver"
  start=$SECONDS
  extra=()
  if [ "$driver" = bench_compare ]; then extra=("${compare[@]}"); fi
  "$venv/bin/python" "$here/$driver.py" "${quick[@]}" "${extra[@]}" || status=1
  echo "($driver took $((SECONDS - start)) s)"
done
exit $status
