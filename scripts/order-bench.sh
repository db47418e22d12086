#!/usr/bin/env bash
# From an order button press to the exchange's answer (optimised build), on a link with a real
# round-trip time: the simulated exchange over TLS (a certificate chain made here) behind a relay
# that holds each direction back by DELAY_MS (25 ms: a 50 ms round trip). For spot and USDT-margined
# futures: PRESSES presses of a limit button, each after the answer to the one before; then the UI
# event loop while orders are pressed against an exchange that answers after 2 s and against one that
# never answers.
#   scripts/order-bench.sh [PRESSES]     (DELAY_MS=25 by default)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF -DQMT_BUILD_BENCH=ON >/dev/null
cmake --build build/bench -j "${JOBS:-2}" --target order_latency delay_relay qmt-sim-exchange
BUILD=build/bench
PRESSES=${1:-200}
DELAY_MS=${DELAY_MS:-25}
WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill -CONT "$p" 2>/dev/null || true; kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$WORK"
}
trap cleanup EXIT

# A root, an intermediate and a leaf for localhost; the server sends leaf and intermediate.
ossl() { openssl "$@" >/dev/null 2>&1; }
ossl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=qmt-bench-ca -keyout "$WORK/ca.key" -out "$WORK/ca.pem"
ossl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=qmt-bench-intermediate -keyout "$WORK/int.key" -out "$WORK/int.csr"
printf 'basicConstraints=critical,CA:TRUE,pathlen:0\nkeyUsage=critical,keyCertSign,cRLSign\n' >"$WORK/ca.cnf"
ossl x509 -req -in "$WORK/int.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" -CAcreateserial -days 2 -extfile "$WORK/ca.cnf" -out "$WORK/int.pem"
ossl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost -keyout "$WORK/server.key" -out "$WORK/server.csr"
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\nbasicConstraints=CA:FALSE\n' >"$WORK/ext.cnf"
ossl x509 -req -in "$WORK/server.csr" -CA "$WORK/int.pem" -CAkey "$WORK/int.key" -CAcreateserial -days 2 -extfile "$WORK/ext.cnf" -out "$WORK/leaf.pem"
cat "$WORK/leaf.pem" "$WORK/int.pem" >"$WORK/server.pem"
export QMT_BENCH_CA=$WORK/ca.pem

# One simulated exchange with its options, behind a relay: sets SIM_PID and the addresses.
start() {
  local out=$WORK/sim.$RANDOM
  "$BUILD"/tools/qmt-sim-exchange --quiet --tls-cert "$WORK/server.pem" --tls-key "$WORK/server.key" "$@" >"$out" &
  SIM_PID=$!
  PIDS+=("$SIM_PID")
  for _ in $(seq 100); do [[ -s $out ]] && break; sleep 0.05; done
  local spot usdm
  spot=$(sed -n 's/.* spot-tls=\([0-9]*\).*/\1/p' "$out")
  usdm=$(sed -n 's/.* usdm-tls=\([0-9]*\).*/\1/p' "$out")
  "$BUILD"/bench/delay_relay --delay-ms "$DELAY_MS" "$spot" "$usdm" >"$out.relay" &
  PIDS+=("$!")
  for _ in $(seq 100); do [[ -s $out.relay ]] && break; sleep 0.05; done
  read -r _ RSPOT RUSDM <"$out.relay"
  export QMT_BINANCE_SPOT_REST=https://localhost:$RSPOT QMT_BINANCE_SPOT_STREAM=wss://localhost:$RSPOT
  export QMT_BINANCE_SPOT_WS_API=wss://localhost:$RSPOT/ws-api/v3
  export QMT_BINANCE_FUTURES_USDT_REST=https://localhost:$RUSDM QMT_BINANCE_FUTURES_USDT_STREAM=wss://localhost:$RUSDM
  export QMT_BINANCE_FUTURES_USDT_WS_API=wss://localhost:$RUSDM/ws-fapi/v1
}

RUN=()
[[ -n ${DISPLAY:-} ]] || RUN=(xvfb-run -a -s "-screen 0 1280x800x24")
echo "== a link of $((2 * DELAY_MS)) ms round trip, TLS with a certificate chain =="
start
for market in spot usdm; do "${RUN[@]}" "$BUILD"/bench/order_latency "$market" "$PRESSES" answer; done
echo "== an exchange that answers after 2 s =="
start --answer-delay-ms 2000
for market in spot usdm; do "${RUN[@]}" "$BUILD"/bench/order_latency "$market" 0 slow; done
echo "== an exchange that never answers (stopped after the sign-in) =="
start
for market in spot usdm; do QMT_BENCH_FREEZE_PID=$SIM_PID "${RUN[@]}" "$BUILD"/bench/order_latency "$market" 0 silent; done
