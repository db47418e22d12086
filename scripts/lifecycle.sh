#!/usr/bin/env bash
# Measures the connection lifecycle in real time (optimised build): threads and memory across 1,000
# failed reconnection attempts, Disconnect during a stalled handshake, and how long a frozen server's
# connection takes to be replaced with the trader client's own settings (about half a minute), and
# how long watch lists of 10, 40 and 200 symbols take to be subscribed on the simulated exchange.
# An argument (attempts, stall, silent or resubscribe) runs one part only.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target lifecycle_soak qmt-sim-exchange
BUILD=build/bench
source scripts/sim-exchange.sh
start_exchange --symbols 250
SPOT=$(exchange_port spot)
build/bench/bench/lifecycle_soak "${1:-}" "$SPOT"
