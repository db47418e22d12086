#!/usr/bin/env bash
# Builds the Debian package from an optimised, hardened build (Debian's build flags) and checks it
# with lintian: an error fails, warnings are printed. The package lands in build/package/package/.
#   sudo apt-get install ./build/package/package/qmttrader_*.deb    installs it with what it needs
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
CXXFLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release -DQMT_BUILD_TESTS=OFF \
  -DCMAKE_CXX_FLAGS="$CXXFLAGS" -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" >/dev/null
cmake --build build/package -j "${JOBS:-2}"
rm -f build/package/package/qmttrader_*.deb
(cd build/package && cpack -G DEB >/dev/null)
deb=$(ls build/package/package/qmttrader_*.deb)
echo "package: $deb"
dpkg-deb --field "$deb" Package Version Depends
# Root may run lintian only when told it may.
lintian --allow-root --fail-on error --tag-display-limit 0 "$deb"
echo "lintian: no errors"
