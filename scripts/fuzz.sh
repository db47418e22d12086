#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (AddressSanitizer + UndefinedBehaviorSanitizer) and runs each
# for FUZZ_SECONDS (default 60), seeded with the exchange payloads and the JSON test suite when the
# shared folder is there. Crashes are written to build/fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
SECONDS_EACH=${FUZZ_SECONDS:-60}

bash scripts/setup.sh
cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++-14 -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build build/fuzz -j "${JOBS:-2}" --target fuzz_json fuzz_ws_frames fuzz_ws_handshake fuzz_ws_deflate

mkdir -p build/fuzz/crashes
status=0
for target in build/fuzz/tests/fuzz/fuzz_*; do
  [[ -x $target ]] || continue
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  seeds=()
  case $name in
    fuzz_json)
      [[ -d ../shared/reference/payloads ]] && seeds+=(../shared/reference/payloads)
      [[ -d ../shared/testdata/JSONTestSuite/test_parsing ]] && seeds+=(../shared/testdata/JSONTestSuite/test_parsing)
      ;;
    fuzz_ws_*)
      seeds+=(tests/fuzz/seeds/$name)
      ;;
  esac
  echo "fuzz: $name for ${SECONDS_EACH}s"
  if ! "$target" -max_total_time="$SECONDS_EACH" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="build/fuzz/crashes/$name-" "$corpus" "${seeds[@]}" >"build/fuzz/$name.log" 2>&1; then
    echo "fuzz: $name FAILED (see build/fuzz/$name.log)"
    tail -40 "build/fuzz/$name.log"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "build/fuzz/$name.log" | tail -2
  fi
done
exit $status
