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
  name=$(basename "$b")
  echo "== $name =="
  "$b" --benchmark_out="build/bench/$name.json" --benchmark_out_format=json "$@"
done

# Ratios of the comparisons run side by side (time of the other / time of ours: above 1 means ours is faster).
if [[ -s build/bench/bench_json.json ]]; then
  echo "== JSON parse and walk: ratios per message kind =="
  python3 bench/compare.py build/bench/bench_json.json BM_Ours BM_OursFresh BM_RapidJSON BM_Nlohmann || true
fi
