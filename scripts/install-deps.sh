#!/usr/bin/env bash
# Installs every Debian package the host needs to build, run, test and benchmark.
# Idempotent and non-interactive; run as root (or through sudo) on Debian 12.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  # kit libraries
  libglib2.0-dev libspdlog-dev libfmt-dev nlohmann-json3-dev libexpected-dev libboost-dev
  libzip-dev libcurl4-openssl-dev libsdbus-c++-dev libsystemd-dev libudev-dev libplist-dev libbackward-cpp-dev
  libsdl2-dev libsndfile1-dev
  # desktop application
  libgtk-4-dev libwebkitgtk-6.0-dev
  # tests and benchmarks
  xvfb xauth dbus dbus-x11 unzip zip nginx-light wrk curl time python3 umockdev libumockdev-dev
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
