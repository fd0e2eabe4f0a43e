#!/usr/bin/env bash
# Builds and runs every test: the release build and its consumer checks (the
# installed package, examples/, pkg-config, add_subdirectory), the
# cross-machine check (the same fingerprints from g++, from g++ with glibc on
# its non-FMA code paths, from clang and from aarch64 under qemu-user), then
# the whole suite again under AddressSanitizer and UndefinedBehaviorSanitizer,
# the threaded suites under ThreadSanitizer, then a short smoke run of every
# fuzz target (clang, libFuzzer) over its committed corpus. Stops at the
# first failure with a non-zero status.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DLUMETH_REQUIRE_CLI=ON \
  -DLUMETH_REQUIRE_IMPORT=ON
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"
# Installed package, examples, pkg-config and add_subdirectory, as a user sees them.
tools/consumer-check.sh build/release

# Results are the same bits on every machine: lumeth-fingerprint prints
# fingerprints of the elementary functions and of forward passes, and every
# build and host below must print exactly the lines of the native g++ build.
# The other builds hold only the library and that program.
fingerprints=build/fingerprints
mkdir -p "$fingerprints"
build/release/tools/fingerprint/lumeth-fingerprint > "$fingerprints/gcc.txt"
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA,-FMA4,-AVX512F \
  build/release/tools/fingerprint/lumeth-fingerprint > "$fingerprints/gcc-glibc-without-fma.txt"
fingerprint_only=(-DCMAKE_BUILD_TYPE=Release -DLUMETH_BUILD_TESTS=OFF -DLUMETH_BUILD_BENCHMARKS=OFF
  -DLUMETH_BUILD_CONFORMANCE=OFF -DLUMETH_INSTALL=OFF -DLUMETH_BUILD_CLI=OFF -DLUMETH_BUILD_IMPORT=OFF
  -DLUMETH_BUILD_FINGERPRINT=ON)
CC=clang CXX=clang++ cmake -S . -B build/clang "${fingerprint_only[@]}"
cmake --build build/clang -j "$jobs" --target lumeth-fingerprint
build/clang/tools/fingerprint/lumeth-fingerprint > "$fingerprints/clang.txt"
cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
  "${fingerprint_only[@]}"
cmake --build build/aarch64 -j "$jobs" --target lumeth-fingerprint
qemu-aarch64 -L /usr/aarch64-linux-gnu build/aarch64/tools/fingerprint/lumeth-fingerprint \
  > "$fingerprints/aarch64-gcc-qemu.txt"
test -s "$fingerprints/gcc.txt"
for other in gcc-glibc-without-fma clang aarch64-gcc-qemu; do
  diff -u "$fingerprints/gcc.txt" "$fingerprints/$other.txt" \
    || { echo "fingerprints differ: $other" >&2; exit 1; }
done
echo "fingerprints agree: g++, g++ with glibc without FMA, clang, aarch64 under qemu"

cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMETH_SANITIZE=ON \
  -DLUMETH_REQUIRE_CLI=ON -DLUMETH_REQUIRE_IMPORT=ON \
  -DLUMETH_BUILD_BENCHMARKS=OFF
cmake --build build/sanitize -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

# Threads: the suites that run the library on several threads (ctest label
# "threads": the pool itself, the forward pass and its operators, session
# steps and many sessions over one shared model at once, encoding, training
# and generation on pools of 1 to 8 threads) under ThreadSanitizer. Only
# those suites are built here; the library is rebuilt with the sanitizer.
cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread \
  -DLUMETH_BUILD_BENCHMARKS=OFF -DLUMETH_BUILD_CLI=OFF -DLUMETH_BUILD_IMPORT=OFF \
  -DLUMETH_BUILD_FINGERPRINT=OFF -DLUMETH_INSTALL=OFF
threaded_suites=(lumeth_tests_foundation_threads lumeth_tests_inference_threads
  lumeth_tests_session_threads lumeth_tests_tokenizers_threads lumeth_tests_generation_threads)
cmake --build build/tsan -j "$jobs" --target "${threaded_suites[@]}"
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L threads --output-on-failure -j "$jobs"

# The fuzz targets need clang; the library and the conformance code are
# rebuilt there with coverage instrumentation and both sanitizers.
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMETH_BUILD_FUZZERS=ON -DLUMETH_BUILD_TESTS=OFF -DLUMETH_BUILD_BENCHMARKS=OFF \
  -DLUMETH_BUILD_FINGERPRINT=OFF -DLUMETH_BUILD_CLI=OFF
cmake --build build/fuzz -j "$jobs"
fuzz/smoke.sh build/fuzz 15
