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

PORTS_FILE=$(mktemp)
build/bench/tools/qmt-sim-exchange --quiet --symbols 60 >"$PORTS_FILE" &
EXCHANGE=$!
trap 'kill $EXCHANGE 2>/dev/null; wait $EXCHANGE 2>/dev/null; rm -f "$PORTS_FILE"' EXIT
for _ in $(seq 100); do [[ -s $PORTS_FILE ]] && break; sleep 0.05; done
SPOT=$(sed -n 's/.* spot=\([0-9]*\).*/\1/p' "$PORTS_FILE")
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
