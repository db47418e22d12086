#!/usr/bin/env bash
# Runs a command against a keyring of its own: a private session bus (dbus-run-session) with
# gnome-keyring's Secret Service on it, its login keyring made and unlocked with a fixed password,
# in a temporary home. The user's own bus and keyring are never reached. The daemon, the bus and
# the folder go when the command ends, whatever its outcome.
#   tests/with_keyring.sh COMMAND [ARG...]
set -euo pipefail

if [[ -z ${QMT_KEYRING_INNER:-} ]]; then
  lHome=$(mktemp -d "${TMPDIR:-/tmp}/qmt-keyring.XXXXXX")
  trap 'rm -rf "$lHome"' EXIT
  export HOME=$lHome XDG_DATA_HOME=$lHome/data XDG_CACHE_HOME=$lHome/cache XDG_CONFIG_HOME=$lHome/config
  export XDG_RUNTIME_DIR=$lHome/run QMT_KEYRING_INNER=1
  mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
  unset DBUS_SESSION_BUS_ADDRESS
  # Not exec: the trap removes the home afterwards.
  dbus-run-session -- "$0" "$@"
  exit $?
fi

gnome-keyring-daemon --foreground --unlock --components=secrets < <(printf qmt-test) \
  >"$HOME/keyring.out" 2>"$HOME/keyring.err" &
lDaemon=$!
trap 'kill "$lDaemon" 2>/dev/null || true; wait "$lDaemon" 2>/dev/null || true' EXIT

# The command starts only once the service owns its name (else the bus would start a second one).
HasService() {
  dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'
}
for _ in $(seq 100); do HasService && break; sleep 0.1; done
if ! HasService; then
  echo "with_keyring: the keyring's Secret Service did not start:" >&2
  cat "$HOME/keyring.err" >&2
  exit 1
fi

# Below ctest's own time-out, so that the daemon is still stopped here.
timeout --kill-after=10 240 "$@"
