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

PORTS_FILE=$(mktemp)
build/release/tools/qmt-sim-exchange --quiet >"$PORTS_FILE" &
EXCHANGE=$!
trap 'kill $EXCHANGE 2>/dev/null; wait $EXCHANGE 2>/dev/null; rm -f "$PORTS_FILE"' EXIT
for _ in $(seq 100); do [[ -s $PORTS_FILE ]] && break; sleep 0.05; done
SPOT=$(sed -n 's/.*spot=\([0-9]*\).*/\1/p' "$PORTS_FILE")
echo "simulated exchange: $(cat "$PORTS_FILE")  (Ctrl-C stops)"
build/release/app/qmt-cli --exchange "http://127.0.0.1:$SPOT" watch "${SYMBOLS[@]}"
