#!/usr/bin/env bash
# Makes a checkout usable on a fresh Debian machine: installs the packages
# that are missing, then builds.
#   scripts/setup.sh        packages for building; builds krpctl and the
#                           library in build/normal (the hosting command)
#   scripts/setup.sh test   packages for building and for ./test.sh (which
#                           builds its own trees)
# Run as root, it installs with apt-get; otherwise it prints the sudo line
# and stops (exit 1). On a machine without dpkg it only builds.
set -eu
cd "$(dirname "$0")/.."
mode=${1:-host}

# Building (configuring build/normal needs GoogleTest as well).
build_pkgs=(cmake make g++ pkg-config libcli11-dev libgtest-dev libgmock-dev libsystemd-dev)
# ./test.sh: clang for the fuzz tree, the sanitizer runtimes, util-linux's
# tools that tests call.
test_pkgs=(clang libclang-rt-14-dev libbenchmark-dev util-linux)

case $mode in
  host) pkgs=("${build_pkgs[@]}") ;;
  test) pkgs=("${build_pkgs[@]}" "${test_pkgs[@]}") ;;
  *) echo "usage: scripts/setup.sh [host|test]" >&2; exit 2 ;;
esac

install_missing() {
  command -v dpkg >/dev/null || { echo "setup: no dpkg; install the build tools by hand" >&2; return 0; }
  local need=() pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
  [ ${#need[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages; install them with:" >&2
    echo "  sudo apt-get install -y ${need[*]}" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y "${need[@]}"
}

install_missing "${pkgs[@]}"
if [ "$mode" = host ]; then
  cmake -S . -B build/normal
  cmake --build build/normal -j "$(nproc 2>/dev/null || echo 2)" --target krpctl krplib
fi
