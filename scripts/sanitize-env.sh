# Sourced by test-sanitize.sh and fuzz.sh: the sanitizer tree's compiler, configuration and run-time
# options. The options are exported, so every child process a test starts inherits them.

sanitize_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Installs the compiler, configures the tree in the folder given and exports the options.
sanitize_configure() {
  local build=$1
  "$sanitize_root/scripts/deps.sh" clang-14 libclang-rt-14-dev llvm-14
  cmake -S "$sanitize_root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++-14 -DTOVREL_SANITIZE=ON >/dev/null
  export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
  # Only Qt's and the system's own leaks are suppressed; the file says why for each.
  export LSAN_OPTIONS="suppressions=$sanitize_root/tests/lsan.supp:print_suppressions=0"
  export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$(command -v llvm-symbolizer-14 || true)}
}
