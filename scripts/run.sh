#!/usr/bin/env bash
# The run command: installs what is missing, builds (optimised), starts the simulated exchange on free
# ports and the desktop client qmtTrader pointed at it. Closing the window stops both.
#
# Every exchange address of this run points at the simulated exchange (QMT_BINANCE_* variables: spot,
# USDT-margined and coin-margined, live and test network alike). A settings file with the simulated
# exchange's demo key and secret is written beside the program when none exists, so "Ok" signs in.
# Without a display: xvfb-run -a scripts/run.sh
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF >/dev/null
cmake --build build/release -j "${JOBS:-2}" --target qmt-sim-exchange qmtTrader

if [[ -z ${DISPLAY:-} && -z ${WAYLAND_DISPLAY:-} && -z ${QT_QPA_PLATFORM:-} ]]; then
  echo "run: no display (DISPLAY is not set). qmtTrader is a desktop program: run this on a desktop, or under a" >&2
  echo "     virtual display: xvfb-run -a scripts/run.sh   (then look at it with a screenshot or a VNC viewer)" >&2
  exit 1
fi

SETTINGS=build/release/app/qmtTrader.ini
if [[ ! -e $SETTINGS ]]; then
  (umask 077 && printf '[SETTINGS]\nApiKey=qmt-sim-key\nApiSecret=qmt-sim-secret\nFutures=0\nFuturesContracts=0\nTestNet=0\n' >"$SETTINGS")
  echo "run: wrote $SETTINGS with the simulated exchange's demo key"
fi

BUILD=build/release
source scripts/sim-exchange.sh
start_exchange
SPOT=$(exchange_port spot) USDM=$(exchange_port usdm) COINM=$(exchange_port coinm)
echo "simulated exchange: $(head -1 "$PORTS_FILE")"
for net in "" TEST_; do
  export QMT_BINANCE_SPOT_${net}REST=http://127.0.0.1:$SPOT QMT_BINANCE_SPOT_${net}STREAM=ws://127.0.0.1:$SPOT
  export QMT_BINANCE_SPOT_${net}WS_API=ws://127.0.0.1:$SPOT/ws-api/v3
  export QMT_BINANCE_FUTURES_USDT_${net}STREAM=ws://127.0.0.1:$USDM QMT_BINANCE_FUTURES_COIN_${net}STREAM=ws://127.0.0.1:$COINM
  export QMT_BINANCE_FUTURES_USDT_${net}WS_API=ws://127.0.0.1:$USDM/ws-fapi/v1
done
export QMT_BINANCE_FUTURES_USDT_REST=http://127.0.0.1:$USDM QMT_BINANCE_FUTURES_USDT_TEST_REST=http://127.0.0.1:$USDM
export QMT_BINANCE_FUTURES_COIN_REST=http://127.0.0.1:$COINM QMT_BINANCE_FUTURES_TEST_REST=http://127.0.0.1:$COINM
build/release/app/qmtTrader --watch BTCUSDT,ETHUSDT,BNBUSDT "$@"
