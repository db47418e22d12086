#!/usr/bin/env bash
# From an order button press to the order request (optimised build): a trade bar signed in on the
# simulated exchange's USDT-margined futures presses a limit button without confirmation 200 times.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target order_latency qmt-sim-exchange
PORTS_FILE=$(mktemp)
build/bench/tools/qmt-sim-exchange --quiet >"$PORTS_FILE" &
EXCHANGE=$!
trap 'kill $EXCHANGE 2>/dev/null; wait $EXCHANGE 2>/dev/null; rm -f "$PORTS_FILE"' EXIT
for _ in $(seq 100); do [[ -s $PORTS_FILE ]] && break; sleep 0.05; done
USDM=$(sed -n 's/.* usdm=\([0-9]*\).*/\1/p' "$PORTS_FILE")
export QMT_BINANCE_FUTURES_USDT_REST=http://127.0.0.1:$USDM QMT_BINANCE_FUTURES_USDT_STREAM=ws://127.0.0.1:$USDM
RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
"${RUN[@]}" build/bench/bench/order_latency "${1:-200}"
