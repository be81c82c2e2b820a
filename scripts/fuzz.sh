#!/usr/bin/env bash
# Builds every fuzz target (tests/fuzz/fuzz_*.cpp) in the sanitizer tree and runs each for SECONDS
# (default 60) from its seed corpus tests/fuzz/corpus/<target>/, with tests/fuzz/<target>.dict if
# there is one. Prints per target the inputs executed and libFuzzer's cov/ft counts; exits
# non-zero when a target crashed, leaked, hung or could not start.
#
#   scripts/fuzz.sh [SECONDS]
#
# New inputs the fuzzer finds go to <build>/fuzz/<target>/corpus (kept between runs, never into the
# source tree); a crashing input is saved there as crash-* / leak-* / timeout-*: copy it into the
# seed corpus once the fault is fixed.
#
# A target may add sanitizer options in tests/fuzz/<target>.asan. Those that give Qt's JSON parser
# bytes from outside ask for full unwinding: the fast unwinder stops at the first Qt frame (Qt has no
# frame pointers), and a leak of Qt's own (tests/lsan.supp) would show no frame to suppress it by.
# It costs speed, so the other targets keep the fast one.
#
# Environment:
#   SANITIZE_BUILD_DIR  build folder (default: build-asan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-asan}
seconds=${1:-60}
[[ $seconds =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }

targets=()
for src in "$root"/tests/fuzz/fuzz_*.cpp; do
  [ -e "$src" ] && targets+=("$(basename "$src" .cpp)")
done
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets in tests/fuzz"
  exit 0
fi

source "$root/scripts/sanitize-env.sh"
sanitize_configure "$build"
base_asan_options=$ASAN_OPTIONS
cmake --build "$build" -j"$(nproc)" --target "${targets[@]}"

failed=()
summary=()
for t in "${targets[@]}"; do
  work=$build/fuzz/$t
  mkdir -p "$work/corpus"
  args=(-max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$work/")
  [ -f "$root/tests/fuzz/$t.dict" ] && args+=(-dict="$root/tests/fuzz/$t.dict")
  dirs=("$work/corpus")
  [ -d "$root/tests/fuzz/corpus/$t" ] && dirs+=("$root/tests/fuzz/corpus/$t")
  # tests/fuzz/<target>.asan adds sanitizer options for one target (one line, colon-separated).
  export ASAN_OPTIONS=$base_asan_options
  [ -f "$root/tests/fuzz/$t.asan" ] && ASAN_OPTIONS+=":$(tr -d '\n' <"$root/tests/fuzz/$t.asan")"
  log=$work/last-run.log
  echo "fuzz: $t for ${seconds}s (log: $log)"
  rc=0
  (cd "$work" && "$build/tests/fuzz/$t" "${args[@]}" "${dirs[@]}") >"$log" 2>&1 || rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  covline=$(grep -E '^#[0-9]+.*cov: ' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$covline")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$covline")
  line=$(printf '%-32s inputs %-10s cov %-6s ft %-6s' "$t" "${runs:-?}" "${cov:-?}" "${ft:-?}")
  if [ $rc -ne 0 ]; then
    line+=" FAILED (exit $rc)"
    failed+=("$t")
    tail -n 60 "$log" >&2
  fi
  summary+=("$line")
done

echo "fuzz: ${seconds}s per target"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: failed: ${failed[*]} (inputs saved in $build/fuzz/<target>/)" >&2
  exit 1
fi
