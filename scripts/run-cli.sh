#!/usr/bin/env bash
# The command-line client on the simulated exchange: installs what is missing, builds (optimised), starts the simulated exchange on free
# ports and the command-line client watching a few symbols on it. Ctrl-C ends both.
# Extra arguments replace the symbols: scripts/run-cli.sh BTCUSDT SOLUSDT
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "${JOBS:-2}" --target qmt-sim-exchange qmt-cli

SYMBOLS=("$@")
[[ ${#SYMBOLS[@]} -gt 0 ]] || SYMBOLS=(BTCUSDT ETHUSDT BNBUSDT)

BUILD=build/release
source scripts/sim-exchange.sh
start_exchange
SPOT=$(exchange_port spot)
echo "simulated exchange: $(cat "$PORTS_FILE")  (Ctrl-C stops)"
build/release/app/qmt-cli --exchange "http://127.0.0.1:$SPOT" watch "${SYMBOLS[@]}"
