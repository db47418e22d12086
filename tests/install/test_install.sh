#!/usr/bin/env bash
# Installs a build into a temporary prefix and runs the installed programs as a user would, with HOME
# in a temporary folder: the manual pages and the desktop entry are there; the installed qmtTrader and
# qmt-cli keep their files in the XDG folders (settings owner-only), XDG_* and --settings/--data move
# them, and a portable copy keeps them beside itself. qmtTrader runs on Qt's offscreen platform against
# the installed simulated exchange. Everything started here is stopped on exit, also on failure.
#   test_install.sh BUILD_DIR
set -euo pipefail
BUILD=$(cd "$1" && pwd)
TMP=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$TMP"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [[ -f $TMP/trader.log ]] && tail -20 "$TMP/trader.log" >&2; exit 1; }
mode() { stat -c %a "$1"; }

P=$TMP/prefix
cmake --install "$BUILD" --prefix "$P" >/dev/null

echo "-- installed files"
for f in bin/qmtTrader bin/qmt-cli bin/qmt-sim-exchange bin/ws-echo share/applications/qmtTrader.desktop \
         share/icons/hicolor/scalable/apps/qmtTrader.svg share/man/man1/qmt-cli.1.gz \
         share/man/man1/qmt-sim-exchange.1.gz share/man/man1/qmtTrader.1.gz share/man/man1/ws-echo.1.gz; do
  [[ -e $P/$f ]] || fail "$f not installed"
done
if command -v desktop-file-validate >/dev/null; then desktop-file-validate "$P/share/applications/qmtTrader.desktop"; fi
grep -qx 'Categories=Office;Finance;' "$P/share/applications/qmtTrader.desktop" || fail "desktop entry categories"

echo "-- --help and the manual pages"
"$P/bin/qmt-cli" --help | grep -q '^usage: qmt-cli' || fail "qmt-cli --help"
for prog in qmt-cli qmt-sim-exchange; do
  page=$(zcat "$P/share/man/man1/$prog.1.gz" | sed 's/\\-/-/g')
  for option in $("$P/bin/$prog" --help | grep -o -- '--[a-z][a-z0-9-]*' | sort -u); do
    grep -q -- "$option" <<<"$page" || fail "$option of $prog --help is not in its manual page"
  done
done

echo "-- the installed simulated exchange"
"$P/bin/qmt-sim-exchange" --quiet >"$TMP/ports" &
PIDS+=($!)
for _ in $(seq 100); do [[ -s $TMP/ports ]] && break; sleep 0.05; done
port() { sed -n "s/.* $1=\([0-9]*\).*/\1/p" "$TMP/ports"; }
SPOT=$(port spot)
[[ -n $SPOT ]] || fail "the simulated exchange printed no ports"
export QMT_BINANCE_SPOT_REST=http://127.0.0.1:$SPOT QMT_BINANCE_SPOT_STREAM=ws://127.0.0.1:$SPOT
export QMT_BINANCE_SPOT_WS_API=ws://127.0.0.1:$SPOT/ws-api/v3
export QT_QPA_PLATFORM=offscreen
unset XDG_CONFIG_HOME XDG_DATA_HOME DISPLAY WAYLAND_DISPLAY
export HOME=$TMP/home
mkdir -p "$HOME"
KEY=$'[SETTINGS]\nApiKey=qmt-sim-key\nApiSecret=qmt-sim-secret\nFutures=0\nFuturesContracts=0\nTestNet=0'

# Runs qmtTrader for a few seconds, then stops it as the desktop would (SIGTERM): it must end cleanly.
run_trader() {
  local program=$1
  shift
  "$program" "$@" >"$TMP/trader.log" 2>&1 &
  local pid=$!
  PIDS+=($pid)
  sleep "${RUN_SECONDS:-5}"
  kill -TERM "$pid" 2>/dev/null || true
  local rc=0
  wait "$pid" || rc=$?
  [[ $rc -eq 0 ]] || fail "$program $* ended with $rc"
  ! grep -q 'cannot sign in' "$TMP/trader.log" || fail "sign-in: $(grep 'cannot sign in' "$TMP/trader.log")"
}

echo "-- first start: the sign-in dialog, closed by the desktop, saves the settings in ~/.config"
RUN_SECONDS=3 run_trader "$P/bin/qmtTrader" --sign-in
INI=$HOME/.config/qmtTrader/qmtTrader.ini
[[ -f $INI ]] || fail "no $INI"
[[ $(mode "$INI") == 600 ]] || fail "$INI has mode $(mode "$INI")"
[[ $(mode "$HOME/.config/qmtTrader") == 700 ]] || fail "settings folder mode $(mode "$HOME/.config/qmtTrader")"
grep -q '^ApiKey=$' "$INI" || fail "settings file content: $(cat "$INI")"
[[ $(ls "$P/bin") == $'qmt-cli\nqmt-sim-exchange\nqmtTrader\nws-echo' ]] || fail "files beside the installed programs"

echo "-- signed in with the stored key: the watch list goes to ~/.local/share"
printf '%s\n' "$KEY" >"$INI"
run_trader "$P/bin/qmtTrader" --sign-in --watch BTCUSDT,ETHUSDT
DB=$HOME/.local/share/qmtTrader/db
[[ -f $DB/qmtTicker.db ]] || fail "no $DB/qmtTicker.db: $(ls -R "$HOME")"
grep -q BTCUSDT "$DB/qmtTicker.db" || fail "the watch list was not saved"
[[ $(mode "$HOME/.local/share/qmtTrader") == 700 && $(mode "$DB") == 700 ]] || fail "data folder modes"
[[ $(mode "$INI") == 600 ]] || fail "$INI has mode $(mode "$INI") after a run"

echo "-- the installed qmt-cli reads its key from ~/.config"
printf '%s\n' "$KEY" >"$HOME/.config/qmtTrader/qmt-cli.ini"
"$P/bin/qmt-cli" --exchange "http://127.0.0.1:$SPOT" balances >"$TMP/cli.log" 2>&1 || fail "qmt-cli balances: $(cat "$TMP/cli.log")"
grep -q USDT "$TMP/cli.log" || fail "qmt-cli balances: $(cat "$TMP/cli.log")"

echo "-- XDG_CONFIG_HOME and XDG_DATA_HOME move them"
mkdir -p "$TMP/xdg-config/qmtTrader"
printf '%s\n' "$KEY" >"$TMP/xdg-config/qmtTrader/qmtTrader.ini"
XDG_CONFIG_HOME=$TMP/xdg-config XDG_DATA_HOME=$TMP/xdg-data run_trader "$P/bin/qmtTrader" --sign-in --watch BNBUSDT
grep -q BNBUSDT "$TMP/xdg-data/qmtTrader/db/qmtTicker.db" || fail "XDG_DATA_HOME not used"
[[ $(mode "$TMP/xdg-config/qmtTrader/qmtTrader.ini") == 600 ]] || fail "settings mode under XDG_CONFIG_HOME"

echo "-- --settings and --data override both"
mkdir -p "$TMP/own"
printf '%s\n' "$KEY" >"$TMP/own/mine.ini"
run_trader "$P/bin/qmtTrader" --sign-in --settings "$TMP/own/mine.ini" --data "$TMP/own/tables" --watch ETHUSDT
grep -q ETHUSDT "$TMP/own/tables/qmtTicker.db" || fail "--data not used"
[[ $(mode "$TMP/own/mine.ini") == 600 ]] || fail "--settings file mode $(mode "$TMP/own/mine.ini")"

echo "-- a portable copy keeps its files beside itself"
mkdir -p "$TMP/portable"
cp "$P/bin/qmtTrader" "$TMP/portable/"
printf '%s\n' "$KEY" >"$TMP/portable/qmtTrader.ini"
run_trader "$TMP/portable/qmtTrader" --sign-in --watch XRPUSDT
grep -q XRPUSDT "$TMP/portable/db/qmtTicker.db" || fail "the portable copy's tables: $(ls -R "$TMP/portable")"
! grep -q XRPUSDT "$DB/qmtTicker.db" || fail "the portable copy wrote to the user's folder"
echo "install: all checks passed"
