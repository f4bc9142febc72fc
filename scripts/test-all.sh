#!/usr/bin/env bash
# Builds the project four ways and runs every test suite:
#   clang++ with -Werror: all tests;
#   g++ with -Werror, AddressSanitizer and UndefinedBehaviorSanitizer: all tests, Java included
#     (the JVM gets the ASan runtime preloaded);
#   g++ with ThreadSanitizer: the suites labelled "threaded";
#   clang++ with libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer: the fuzz targets,
#     each run for a bounded time on its seed corpus (label "fuzz").
# Usage: scripts/test-all.sh [ctest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh

jobs=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"

# Runs ctest and adds its counts to the totals printed at the end.
passed=0
failed=0
run_ctest() {
  local log
  log=$(mktemp)
  local rc=0
  ctest "$@" 2>&1 | tee "$log" || rc=$?
  local line
  line=$(grep -E '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  rm -f "$log"
  if [ -n "$line" ]; then
    local f total
    f=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/.* ([0-9]+) tests failed out of ([0-9]+).*/\2/' <<<"$line")
    passed=$((passed + total - f))
    failed=$((failed + f))
  fi
  if [ "$rc" -ne 0 ]; then
    echo "total: $passed passed, $((failed > 0 ? failed : 1)) failed"
    exit "$rc"
  fi
}

configure() {  # dir compiler sanitizers
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER="$2" -DKDR_WERROR=ON -DKDR_SANITIZE="$3" >/dev/null
}

echo "=== the README's install build (no tests), installed and run ==="
# As a user runs it on a fresh clone; ccache (when present) keeps a rerun cheap.
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B build/rel-install -G Ninja -DCMAKE_BUILD_TYPE=Release -DKDR_BUILD_TESTS=OFF \
  "${launcher[@]}" >/dev/null
cmake --build build/rel-install -j "$jobs"
prefix=$(mktemp -d)
cmake --install build/rel-install --prefix "$prefix" >/dev/null
"$prefix/bin/kdrcached" --version
rm -rf "$prefix"

echo "=== clang++ -Werror ==="
configure build/clang clang++ ""
cmake --build build/clang -j "$jobs"
run_ctest --test-dir build/clang -j "$jobs" "$@"

echo "=== g++ -Werror, address + undefined sanitizers ==="
configure build/asan g++ "address;undefined"
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 run_ctest --test-dir build/asan -j "$jobs" "$@"

echo "=== g++, thread sanitizer (threaded suites) ==="
configure build/tsan g++ "thread"
cmake --build build/tsan -j "$jobs"
run_ctest --test-dir build/tsan -j "$jobs" -L threaded "$@"

echo "=== clang++ libFuzzer, address + undefined sanitizers (fuzz targets) ==="
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DKDR_WERROR=ON -DKDR_BUILD_FUZZ=ON -DKDR_BUILD_TESTS=OFF \
  -DKDR_BUILD_JAVA=OFF -DKDR_BUILD_BENCH=OFF >/dev/null
cmake --build build/fuzz -j "$jobs" --target kdr_fuzz
run_ctest --test-dir build/fuzz -j "$jobs" -L fuzz

echo "total: $passed passed, $failed failed"
