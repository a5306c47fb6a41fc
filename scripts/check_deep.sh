#!/usr/bin/env bash
# Deep reliability checks, the slow companion of `make test` (make check-deep):
#   asan-cpp     every C++ test under AddressSanitizer + UBSan, leaks checked
#   asan-python  the whole Python suite against a sanitized module
#   tsan         the C++ tests under ThreadSanitizer, the stress test included
#   fuzz         every libFuzzer target for a bounded time from its seeds
#   soak         reference-leak and memory soak of every method
#   pool-cycles  allocate/spawn/release cycles, then a clean-up check
# Each step prints what it covered and the last line sums up; any sanitizer
# report, fuzz finding, broken invariant, leak or failed test fails the run.
#
# Settings, from the environment: PYTHON, VENV (.venv), ASAN_VENV
# (.venv-asan), DEEP_DIR (build/deep), PY_BUILD (as for make module), JOBS
# (2), FUZZ_SECONDS (60), FUZZ_TARGETS (every tests/fuzz/*_fuzz.cc, by name
# without _fuzz.cc), SOAK_ITERATIONS (200000), POOL_CYCLES (100), STEPS (all
# of the above, in that order).
set -uo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

PYTHON=${PYTHON:-$(scripts/find_python.sh)}
VENV=${VENV:-.venv}
ASAN_VENV=${ASAN_VENV:-.venv-asan}
DEEP_DIR=${DEEP_DIR:-build/deep}
JOBS=${JOBS:-2}
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
SOAK_ITERATIONS=${SOAK_ITERATIONS:-200000}
POOL_CYCLES=${POOL_CYCLES:-100}
STEPS=${STEPS:-asan-cpp asan-python tsan fuzz soak pool-cycles}
absolute() { case $1 in /*) echo "$1" ;; *) echo "$ROOT/$1" ;; esac; }
VENV=$(absolute "$VENV")
ASAN_VENV=$(absolute "$ASAN_VENV")
DEEP_DIR=$(absolute "$DEEP_DIR")
LOGS=$DEEP_DIR/logs
SANITIZER_REPORT='ERROR: AddressSanitizer|ERROR: LeakSanitizer|WARNING: ThreadSanitizer|runtime error:'
# Sanitizer builds favour build speed and readable stacks; warnings are
# policed by the ordinary build.
SAN_FLAGS="-O1 -g1 -fno-omit-frame-pointer"
export ASAN_OPTIONS="detect_leaks=1:halt_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

mkdir -p "$LOGS"
declare -a SUMMARY=()
FAILED=()

note() { SUMMARY+=("$1: $2"); echo "   $1: $2"; }

# run_logged LOG CMD...: runs CMD with its output in LOG; on failure shows
# the end of LOG. Fails as well when LOG holds a sanitizer report.
run_logged() {
  local log=$1; shift
  "$@" >"$log" 2>&1
  local rc=$?
  if [ $rc -eq 0 ] && grep -Eq "$SANITIZER_REPORT" "$log"; then rc=99; fi
  if [ $rc -ne 0 ]; then
    echo "   FAILED ($rc): $*" >&2
    grep -E -m5 -A30 "$SANITIZER_REPORT|property violated|FAILED|Error|error:" "$log" >&2 || tail -n 60 "$log" >&2
    echo "   (whole log: $log)" >&2
  fi
  return $rc
}

configure() {  # configure DIR [cmake options...]
  local dir=$1; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None "-DCMAKE_CXX_FLAGS=$SAN_FLAGS" \
    -DFERROWICK_PYTHON=OFF -DFERROWICK_WERROR=OFF "$@" >/dev/null
}

# gtest_count LOG: "N tests" from a gtest run's closing lines.
gtest_count() { grep -Eo '\[==========\] [0-9]+ tests? from [0-9]+ test suites? ran' "$1" | awk '{s += $2} END {print s + 0}'; }

step_bootstrap() {
  scripts/bootstrap.sh "$VENV" "$PYTHON" g++ clang libgtest-dev || return 1
  scripts/bootstrap.sh "$ASAN_VENV" "$PYTHON" || return 1
  # libFuzzer comes with clang's runtime package, which apt may leave out.
  local probe=$DEEP_DIR/fuzz-probe
  printf 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }\n' >"$probe.cc"
  if ! clang++ -fsanitize=fuzzer "$probe.cc" -o "$probe" 2>/dev/null; then
    local ver
    ver=$(clang++ --version | grep -Eo 'version [0-9]+' | grep -Eo '[0-9]+')
    echo "bootstrap: installing libclang-rt-$ver-dev for libFuzzer"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "libclang-rt-$ver-dev" >/dev/null || return 1
  fi
}

step_asan_cpp() {
  local dir=$DEEP_DIR/asan-cpp total=0
  configure "$dir" -DFERROWICK_TESTS=ON -DFERROWICK_SANITIZE=address,undefined || return 1
  run_logged "$LOGS/asan-cpp-build.log" cmake --build "$dir" -j "$JOBS" || return 1
  for area in common fs terminal pool; do
    run_logged "$LOGS/asan-cpp-$area.log" timeout 900 "$dir/${area}_tests" || return 1
    total=$((total + $(gtest_count "$LOGS/asan-cpp-$area.log")))
  done
  note asan-cpp "$total C++ tests passed with no AddressSanitizer, LeakSanitizer or UBSan report"
}

step_asan_python() {
  # The interpreter is not sanitized: the ASan runtime must be loaded first,
  # and with g++ libstdc++ with it, or C++ exceptions abort. Leak detection
  # is off (the interpreter keeps memory until exit by design); PYTHONMALLOC
  # sends every object through malloc so that ASan sees object lifetimes.
  local runtime
  runtime="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libstdc++.so)"
  run_logged "$LOGS/asan-python-build.log" env CXX=g++ "$ASAN_VENV/bin/python" -m pip install -v \
    --disable-pip-version-check --no-build-isolation --force-reinstall --no-deps \
    "-Cbuild-dir=build/asan-{wheel_tag}" -Ccmake.build-type=None -Cinstall.strip=false \
    "-Ccmake.define.CMAKE_CXX_FLAGS=$SAN_FLAGS" -Ccmake.define.FERROWICK_SANITIZE=address,undefined \
    -Ccmake.define.FERROWICK_WERROR=OFF . || return 1
  # Child interpreters (the shell tests) need the preload too, but some host
  # tools hang with the runtime inside them (pkill does): the tools the pool
  # and its tests start go through wrappers that drop it.
  local tools=$DEEP_DIR/unsanitized-tools tool real
  mkdir -p "$tools"
  for tool in su useradd pkill pgrep id ps; do
    real=$(command -v "$tool") || continue
    printf '#!/bin/bash\nunset LD_PRELOAD\nexec -a %s %s "$@"\n' "$tool" "$real" >"$tools/$tool"
    chmod +x "$tools/$tool"
  done
  (cd tests/python && run_logged "$LOGS/asan-python.log" env LD_PRELOAD="$runtime" PATH="$tools:$PATH" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:detect_stack_use_after_return=1" PYTHONMALLOC=malloc \
    timeout 1200 "$ASAN_VENV/bin/python" -c '
import sys
import ferrowick, pytest
assert "libasan" in open("/proc/self/maps").read(), "the sanitizer runtime is not loaded"
sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", "."]))') || return 1
  note asan-python "$(grep -E '[0-9]+ passed' "$LOGS/asan-python.log" | tail -n1) against the sanitized module"
}

step_tsan() {
  local dir=$DEEP_DIR/tsan total=0
  configure "$dir" -DFERROWICK_TESTS=ON -DFERROWICK_SANITIZE=thread || return 1
  run_logged "$LOGS/tsan-build.log" cmake --build "$dir" -j "$JOBS" || return 1
  for area in common fs terminal pool; do
    run_logged "$LOGS/tsan-$area.log" timeout 900 "$dir/${area}_tests" || return 1
    total=$((total + $(gtest_count "$LOGS/tsan-$area.log")))
  done
  note tsan "$total C++ tests passed with no ThreadSanitizer report"
  grep -h '^\[  stress  \]' "$LOGS/tsan-fs.log" | sed 's/^/     /'
}

fuzz_one() {  # fuzz_one TARGET: runs it for FUZZ_SECONDS from its seeds
  local t=$1 corpus=$DEEP_DIR/fuzz-corpus/$1
  mkdir -p "$corpus" "$DEEP_DIR/fuzz-artifacts"
  run_logged "$LOGS/fuzz-$t.log" timeout $((FUZZ_SECONDS + 120)) "$DEEP_DIR/fuzz/${t}_fuzz" \
    -max_total_time="$FUZZ_SECONDS" -max_len=8192 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$DEEP_DIR/fuzz-artifacts/$t-" "$corpus" "tests/fuzz/corpus/$t"
}

step_fuzz() {
  local dir=$DEEP_DIR/fuzz targets=() t rc=0 total=0
  configure "$dir" -DCMAKE_CXX_COMPILER=clang++ -DFERROWICK_FUZZ=ON \
    -DFERROWICK_SANITIZE=address,undefined,fuzzer-no-link || return 1
  run_logged "$LOGS/fuzz-build.log" cmake --build "$dir" -j "$JOBS" || return 1
  if [ -n "${FUZZ_TARGETS:-}" ]; then
    read -ra targets <<<"$FUZZ_TARGETS"
  else
    for src in tests/fuzz/*_fuzz.cc; do t=$(basename "$src" _fuzz.cc); targets+=("$t"); done
  fi
  # Two at a time, one per core.
  for ((i = 0; i < ${#targets[@]}; i += 2)); do
    fuzz_one "${targets[i]}" & local first=$!
    if [ $((i + 1)) -lt ${#targets[@]} ]; then fuzz_one "${targets[i + 1]}" || rc=1; fi
    wait $first || rc=1
  done
  for t in "${targets[@]}"; do
    local runs cov seeds corp
    runs=$(grep -Eo 'number_of_executed_units: [0-9]+' "$LOGS/fuzz-$t.log" | grep -Eo '[0-9]+$')
    cov=$(grep -E '#[0-9]+\s+DONE' "$LOGS/fuzz-$t.log" | grep -Eo 'cov: [0-9]+' | tail -n1)
    corp=$(grep -E '#[0-9]+\s+DONE' "$LOGS/fuzz-$t.log" | grep -Eo 'corp: [0-9]+' | grep -Eo '[0-9]+' | tail -n1)
    seeds=$(find "tests/fuzz/corpus/$t" -type f | wc -l)
    echo "     $t: ${runs:-0} executions in ${FUZZ_SECONDS} s, ${cov:-cov: ?} edges, corpus $seeds seeds -> ${corp:-?} inputs"
    total=$((total + ${runs:-0}))
  done
  [ $rc -eq 0 ] || return 1
  note fuzz "${#targets[@]} targets, $total executions without a crash, sanitizer report or broken property"
}

step_soak() {
  run_logged "$LOGS/module.log" make --no-print-directory module VENV="$VENV" PYTHON="$PYTHON" ${PY_BUILD:+PY_BUILD="$PY_BUILD"} || return 1
  run_logged "$LOGS/soak.log" timeout 1200 "$VENV/bin/python" tests/soak/soak.py \
    --iterations "$SOAK_ITERATIONS" --pool-iterations 30
  local rc=$?
  sed 's/^/     /' "$LOGS/soak.log" | grep -v 'resident KB at'
  [ $rc -eq 0 ] || return 1
  note soak "$(grep -Eo '[-+][0-9.]+ KB per 1,000 iterations' "$LOGS/soak.log") over $SOAK_ITERATIONS iterations"
}

step_pool_cycles() {
  run_logged "$LOGS/pool-cycles.log" timeout 900 "$VENV/bin/python" tests/soak/pool_cycles.py --cycles "$POOL_CYCLES"
  local rc=$?
  sed 's/^/     /' "$LOGS/pool-cycles.log"
  [ $rc -eq 0 ] || return 1
  note pool-cycles "$(head -n1 "$LOGS/pool-cycles.log" | sed 's/^pool_cycles: //')"
}

START=$SECONDS
echo "== check-deep: bootstrap"
if ! step_bootstrap >"$LOGS/bootstrap.log" 2>&1; then
  tail -n 30 "$LOGS/bootstrap.log" >&2
  echo "check-deep: FAILED (bootstrap)"
  exit 1
fi
PATH="$VENV/bin:$PATH"  # cmake and ninja of the environment
for step in $STEPS; do
  echo "== check-deep: $step"
  t0=$SECONDS
  if "step_${step//-/_}"; then
    echo "   ($((SECONDS - t0)) s)"
  else
    FAILED+=("$step")
    echo "   $step FAILED after $((SECONDS - t0)) s"
  fi
done

echo "== check-deep summary ($(((SECONDS - START) / 60))m$(((SECONDS - START) % 60))s)"
for line in "${SUMMARY[@]}"; do echo "   $line"; done
[ ${#FAILED[@]} -eq 0 ] || echo "   failed: ${FAILED[*]}"
echo "check-deep: $(($(wc -w <<<"$STEPS") - ${#FAILED[@]})) passed, ${#FAILED[@]} failed"
[ ${#FAILED[@]} -eq 0 ]
