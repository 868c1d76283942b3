#!/usr/bin/env bash
# Installs the Debian packages the host needs to build, run, test and benchmark that are not
# installed yet. Run it as yourself: it calls apt-get directly when run as root and through sudo
# otherwise. When nothing is missing it does nothing (no apt-get update, no sudo prompt).
# Non-interactive; Debian 12.
set -euo pipefail

packages=(
  # toolchain and test frameworks
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev lld
  libgtest-dev libgmock-dev
  # kit libraries
  libglib2.0-dev libspdlog-dev libfmt-dev nlohmann-json3-dev libexpected-dev libboost-dev
  libzip-dev libcurl4-openssl-dev libsdbus-c++-dev libsystemd-dev libudev-dev libplist-dev libbackward-cpp-dev
  libsdl2-dev libsndfile1-dev
  # desktop application
  libgtk-4-dev libwebkitgtk-6.0-dev
  # tests and benchmarks
  xvfb xauth dbus dbus-x11 openbox libxtst-dev unzip zip nginx-light wrk curl time python3 umockdev libumockdev-dev
  # desktop integration: e-mail, the installed entry and project MIME type
  xdg-utils desktop-file-utils shared-mime-info libglib2.0-bin
)

missing=()
for p in "${packages[@]}"; do
  [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" = "install ok installed" ] || missing+=("$p")
done
((${#missing[@]})) || exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "install-deps: missing Debian packages: ${missing[*]}" >&2
    echo "install-deps: you are not root and sudo is not installed; install them as root with" >&2
    echo "  apt-get update && apt-get install -y --no-install-recommends ${missing[*]}" >&2
    echo "install-deps: then run this script again as yourself." >&2
    exit 1
  fi
  as_root=(sudo)
fi
echo "install-deps: installing ${missing[*]}${as_root:+ through sudo}" >&2
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
