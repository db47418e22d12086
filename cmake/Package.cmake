# The Debian package (scripts/package.sh runs cpack on an optimised build). Runtime dependencies come
# from the shared libraries the programs actually link (dpkg-shlibdeps).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qmttrader)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qmtTrader developers")
set(CPACK_PACKAGE_CONTACT "qmtTrader developers <developers@qmttrader.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop trading client for the Binance exchange")
set(CPACK_PACKAGE_DESCRIPTION "qmtTrader signs in with an API key, shows live tickers, order books, trades
and charts, and places orders from one-click buttons, on spot and futures
markets, live or on the test network.

The package also holds qmt-cli, the same trading core on the command line,
qmt-sim-exchange, a simulated exchange for trying both without network or
account, and ws-echo, a WebSocket echo client.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The keyring library loads libsecret only when it runs, and a keyring needs its service.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsecret-1-0, gnome-keyring | kwalletmanager")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
include(CPack)
