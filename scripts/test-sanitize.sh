#!/usr/bin/env bash
# Builds everything with clang under AddressSanitizer and UndefinedBehaviorSanitizer into a second
# build folder and runs every test there; exits non-zero on any failure or sanitizer report.
#
# Reports go to files rather than to stderr: a child whose exit code no test looks at (the message
# window behind the launcher, say) still fails the run when it reports.
#
# Environment:
#   SANITIZE_BUILD_DIR  build folder (default: build-asan)
#   CMAKE_CXX_COMPILER_LAUNCHER  e.g. ccache, read by cmake at the first configure
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${SANITIZE_BUILD_DIR:-$root/build-asan}

source "$root/scripts/sanitize-env.sh"
sanitize_configure "$build"
# One folder per run; each report file carries the process id.
logs=$build/sanitizer-logs
rm -rf "$logs"
mkdir -p "$logs"
ASAN_OPTIONS+=":log_path=$logs/asan"
UBSAN_OPTIONS+=":log_path=$logs/ubsan"
cmake --build "$build" -j"$(nproc)"

status=0
(cd "$build" && ctest --output-on-failure -j2 "$@") || status=$?

if compgen -G "$logs/*" >/dev/null; then
  echo "test-sanitize: sanitizer reports in $logs:" >&2
  for f in "$logs"/*; do
    echo "==== $f" >&2
    cat "$f" >&2
  done
  status=1
fi
exit $status
