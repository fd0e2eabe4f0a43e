#!/usr/bin/env bash
# Builds and runs every test: the release build and its consumer checks (the
# installed package, examples/, pkg-config, add_subdirectory), then the whole
# suite again under AddressSanitizer and UndefinedBehaviorSanitizer, then a short smoke run
# of every fuzz target (clang, libFuzzer) over its committed corpus. Stops at
# the first failure with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DLUMETH_REQUIRE_CLI=ON
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
# Installed package, examples, pkg-config and add_subdirectory, as a user sees them.
tools/consumer-check.sh build/release

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMETH_SANITIZE=ON -DLUMETH_REQUIRE_CLI=ON \
  -DLUMETH_BUILD_BENCHMARKS=OFF
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

# The fuzz targets need clang; the library and the conformance code are
# rebuilt there with coverage instrumentation and both sanitizers.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMETH_BUILD_FUZZERS=ON -DLUMETH_BUILD_TESTS=OFF -DLUMETH_BUILD_BENCHMARKS=OFF -DLUMETH_BUILD_CLI=OFF
cmake --build build/fuzz -j "$jobs"
fuzz/smoke.sh build/fuzz 15
