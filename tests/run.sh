#!/usr/bin/env bash
# Installs what the build and the tests need when it is missing, builds the
# project and runs the whole test suite; then builds it again with
# AddressSanitizer and UndefinedBehaviorSanitizer (build-sanitize) and runs
# the whole suite on that build too. Both suites run even when the first one
# fails; the status is non-zero when either did.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
failed=0
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2
ctest --test-dir build --output-on-failure || failed=1

# A sanitizer report ends the program with status 86 (AddressSanitizer, leaks
# included) or 87 (UndefinedBehaviorSanitizer), never with the 1 of the
# programs' own failures, which the tests expect in many cases. Floating-point
# division by zero is not instrumented (see CMakeLists.txt): the statistics
# rely on IEEE not-a-number and infinities. OpenMP's runtime gives no false
# reports under these settings, so no suppression list is needed.
export ASAN_OPTIONS=${ASAN_OPTIONS:-exitcode=86:detect_leaks=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-exitcode=87:halt_on_error=1:print_stacktrace=1}
# GCC 12 reports false -Wmaybe-uninitialized inside the standard library's
# <regex> when AddressSanitizer instruments it, so that warning is off here.
# This build leaves MPI out: the MPI library's own allocations would be
# reported as leaks, and the MPI test runs on the normal build.
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DASSOCNET_SANITIZE=ON -DASSOCNET_MPI=OFF \
      -DCMAKE_CXX_FLAGS=-Wno-maybe-uninitialized >/dev/null
cmake --build build-sanitize -j2
ctest --test-dir build-sanitize --output-on-failure || failed=1
exit "$failed"
