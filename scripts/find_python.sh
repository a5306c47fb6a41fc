#!/usr/bin/env bash
# Prints the path of a Python interpreter >= 3.12 (or of exactly 3.MINOR when
# given MINOR as the first argument). Looks at $PYTHON first, then PATH, then
# pyenv's versions. Exits 1 when there is none.
set -u
want_minor="${1:-}"

ok() {
  local py="$1"
  [ -n "$py" ] || return 1
  "$py" - "$want_minor" <<'PY' >/dev/null 2>&1
import sys
want = sys.argv[1]
v = sys.version_info
if want:
    sys.exit(0 if (v.major, v.minor) == (3, int(want)) else 1)
sys.exit(0 if v >= (3, 12) else 1)
PY
}

candidates=()
if [ -z "$want_minor" ] && [ -n "${PYTHON:-}" ]; then
  if ok "$PYTHON"; then command -v "$PYTHON" || echo "$PYTHON"; exit 0; fi
  echo "find_python: PYTHON=$PYTHON is not a Python >= 3.12" >&2
  exit 1
fi
if [ -n "$want_minor" ]; then
  candidates+=("python3.$want_minor")
else
  candidates+=(python3 python3.13 python3.12 python3.14)
fi
for c in "${candidates[@]}"; do
  p=$(command -v "$c" 2>/dev/null) || continue
  if ok "$p"; then echo "$p"; exit 0; fi
done
for root in "${PYENV_ROOT:-}" "$HOME/.pyenv" /root/.pyenv; do
  [ -n "$root" ] && [ -d "$root/versions" ] || continue
  for p in $(ls -d "$root"/versions/3.*/bin/python3 2>/dev/null | sort -rV); do
    if ok "$p"; then echo "$p"; exit 0; fi
  done
done
exit 1
