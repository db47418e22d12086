#!/usr/bin/env bash
# From an order button press to the order request (optimised build): a trade bar signed in on the
# simulated exchange's USDT-margined futures presses a limit button without confirmation 200 times.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target order_latency qmt-sim-exchange
BUILD=build/bench
source scripts/sim-exchange.sh
start_exchange
USDM=$(exchange_port usdm)
export QMT_BINANCE_FUTURES_USDT_REST=http://127.0.0.1:$USDM QMT_BINANCE_FUTURES_USDT_STREAM=ws://127.0.0.1:$USDM
export QMT_BINANCE_FUTURES_USDT_WS_API=ws://127.0.0.1:$USDM/ws-fapi/v1
RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
"${RUN[@]}" build/bench/bench/order_latency "${1:-200}"
