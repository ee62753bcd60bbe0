#!/usr/bin/env bash
# Installs the Debian packages this project needs; does nothing when they are there.
# (ser2net: the serial device server the end-to-end tests reach the simulator through;
# Qt HttpServer and WebSockets: qm25d's web panel; chromium: the browser the web
# panel is tested in; node and npm: they run the PJLink client and the browser
# driver the gateway is tested with; help2man: the programs' manual pages, made
# from their --help at build time; mosquitto and its clients: the MQTT broker
# the gateway's MQTT side is tested and measured with, libmosquitto: the MQTT
# client library qm25d links; openssl: the tests' certificates; prometheus:
# the server, and its promtool, that qm25d's metrics and alert rules are tested
# with. A node and npm that came from elsewhere are used as they are.)
set -euo pipefail

packages=(
  cmake g++ make
  qt6-base-dev qt6-serialport-dev qt6-httpserver-dev qt6-websockets-dev
  fonts-ipafont-gothic
  xvfb xauth
  openbox x11-utils xdotool
  clang libclang-rt-14-dev
  ser2net
  chromium
  help2man
  mosquitto mosquitto-clients libmosquitto-dev openssl
  prometheus
)
command -v npm >/dev/null || packages+=(nodejs npm)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "setup: installing ${missing[*]}" >&2
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
