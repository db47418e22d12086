#!/usr/bin/env bash
# Installs the Debian packages the project builds, tests and runs with. Quick when all are present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  clang-14 libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libssl-dev openssl zlib1g-dev libsqlite3-dev sqlite3 libcurl4-openssl-dev
  rapidjson-dev nlohmann-json3-dev libboost-dev
  locales
  tinyproxy microsocks
  python3-websockets
  qt6-base-dev libgl-dev libqcustomplot-dev
  qtkeychain-qt6-dev libsecret-1-0 gnome-keyring dbus-daemon dbus-bin
  libsimdjson-dev
  xvfb xauth imagemagick fonts-dejavu-core
  dpkg-dev lintian desktop-file-utils file
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}"
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Tests of locale independence need a locale whose decimal separator is a comma.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8
fi
