#!/usr/bin/env bash
# Checks the include layering, then builds from scratch and runs every test:
# once in a normal build, once under AddressSanitizer +
# UndefinedBehaviorSanitizer, once under ThreadSanitizer; then each fuzz
# target for 20 seconds.  After the normal build's tests, 10 rows drawn
# from the fault table (scripts/mutations.tsv) must each be caught.  After
# the normal build, a Release build without
# the tests is installed into a scratch prefix and run, with its manual
# pages, unit file and Debian package checked (scripts/check-install.sh).
# Compiler warnings are errors in every build here.
set -euo pipefail
cd "$(dirname "$0")/.."
export VELK_WERROR=ON
# Everything the checks below use, before the first of them.
scripts/install-deps.sh

jobs="$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# Include direction and circles between units, and the check's own test.
scripts/check-layering.sh
scripts/check-layering.sh --self-test
scripts/check-funclen.sh
scripts/check-funclen.sh --self-test
# The size of the test suite against the product code.
scripts/linecount.sh

# The large round trips (50,000 files, a 3 GiB file) run in the normal build
# only: under the sanitizers they would take many minutes and prove nothing
# more.
scripts/build.sh normal
# Sources as clang-format writes them (installed by the build's dependencies).
scripts/check-format.sh
(cd build && VELK_LARGE_TESTS=1 ctest --output-on-failure -j "$jobs")
# Twenty rows of the fault table, drawn afresh each day (the seed is
# printed for a replay): each planted fault must make a test fail.
scripts/mutate.sh --build-dir build --sample 10

# What a user or packager gets: install, run, manual pages, unit, package.
scripts/check-install.sh

# The sanitizer runs leave out the benchmark harness's own checks (label
# bench): they test the Python harness, which the normal run has covered.
scripts/build.sh sanitize
(cd build-asan && ctest --output-on-failure -j "$jobs" -LE bench)

# ThreadSanitizer over the whole suite: threads share connections, the
# status FIFO, the signal thread and kylgwd's sessions and workers.
scripts/build.sh tsan
(cd build-tsan && ctest --output-on-failure -j "$jobs" -LE bench)

FUZZ_SECONDS=20 scripts/fuzz.sh

echo "all tests passed"
