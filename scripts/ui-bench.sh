#!/usr/bin/env bash
# The desktop client under load (optimised build): the main window signed in on the simulated
# exchange with 50 symbols. Phases: feed (plus 1,000 synthetic ticker updates a second, 60 s),
# plain (the exchange's feed only, 60 s) and soak (plain, 10 minutes, memory every 30 s).
# An argument picks phases: scripts/ui-bench.sh feed plain   (default: feed plain)
# Runs under Xvfb (xvfb-run) when there is no display.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target ui_load qmt-sim-exchange
PHASES=("$@")
[[ ${#PHASES[@]} -gt 0 ]] || PHASES=(feed plain)

BUILD=build/bench
source scripts/sim-exchange.sh
start_exchange --symbols 60
SPOT=$(exchange_port spot)
export QMT_BINANCE_SPOT_REST=http://127.0.0.1:$SPOT QMT_BINANCE_SPOT_STREAM=ws://127.0.0.1:$SPOT
export QMT_BINANCE_SPOT_WS_API=ws://127.0.0.1:$SPOT/ws-api/v3
RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
for phase in "${PHASES[@]}"; do
  case $phase in
    feed | plain) seconds=60 ;;
    soak) seconds=600 ;;
    *) echo "unknown phase $phase" >&2; exit 2 ;;
  esac
  "${RUN[@]}" build/bench/bench/ui_load "$phase" "$seconds" 50
done
