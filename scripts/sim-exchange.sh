# Sourced by the run and measurement scripts: starts the simulated exchange (built in $BUILD) on free
# ports with the given options, stops it when the script exits, and reads its ports.
#   start_exchange [OPTIONS...]; exchange_port spot|usdm|coinm
start_exchange() {
  PORTS_FILE=$(mktemp)
  "$BUILD"/tools/qmt-sim-exchange --quiet "$@" >"$PORTS_FILE" &
  EXCHANGE=$!
  trap 'kill $EXCHANGE 2>/dev/null; wait $EXCHANGE 2>/dev/null; rm -f "$PORTS_FILE"' EXIT
  for _ in $(seq 100); do [[ -s $PORTS_FILE ]] && break; sleep 0.05; done
}
exchange_port() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" "$PORTS_FILE"; }
