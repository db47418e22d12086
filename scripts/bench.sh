#!/usr/bin/env bash
# Builds the benchmarks optimised (no sanitizers) and runs them; extra arguments go to each program,
# for example --benchmark_filter=UpdateTicker.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}"
for b in build/bench/bench/bench_*; do
  [[ -x $b ]] || continue
  echo "== $(basename "$b") =="
  "$b" "$@"
done
