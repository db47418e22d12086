#!/usr/bin/env bash
# Measures the connection lifecycle in real time (optimised build): threads and memory across 1,000
# failed reconnection attempts, Disconnect during a stalled handshake, and how long a frozen server's
# connection takes to be replaced with the trader client's own settings (about half a minute).
# An argument (attempts, stall or silent) runs one part only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target lifecycle_soak
build/bench/bench/lifecycle_soak "$@"
