#!/usr/bin/env bash
# The test command: installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# runs every test through ctest (the installed programs too), then runs the threaded tests again under
# ThreadSanitizer and the fuzz targets briefly, then builds the Debian package and checks it with
# lintian. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash scripts/setup.sh

JOBS=${JOBS:-2}
status=0

echo "== build (address, undefined) =="
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQMT_SANITIZE=address >/dev/null
cmake --build build/asan -j "$JOBS"
echo "== tests (address, undefined) =="
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j "$JOBS" || status=1

echo "== build (thread) =="
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQMT_SANITIZE=thread >/dev/null
cmake --build build/tsan -j "$JOBS" --target qmt_threaded_tests
echo "== threaded tests (thread) =="
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build/tsan -L threaded --output-on-failure -j "$JOBS" || status=1

if [[ -x scripts/fuzz.sh ]]; then
  echo "== fuzz (brief) =="
  FUZZ_SECONDS=${FUZZ_SECONDS:-20} bash scripts/fuzz.sh || status=1
fi

echo "== package (lintian) =="
bash scripts/package.sh || status=1

exit $status
