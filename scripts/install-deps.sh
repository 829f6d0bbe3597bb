#!/bin/sh
# Installs what a fresh Debian 12 machine lacks to build and test the project.
# Only missing packages are installed; nothing happens when all are present.
set -eu

PACKAGES="build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  libxml2-dev libssl-dev openssl libgtest-dev libgmock-dev libbenchmark-dev
  libsqlite3-dev sqlite3 nats-server libnats-dev libsystemd-dev libseccomp-dev
  python3 procps iproute2 python3-prometheus-client systemd logrotate"
# Benchmarks compare against these peers.
BENCH_PACKAGES="libmsgpack-dev libxmlrpc-core-c3-dev libtasn1-6-dev zlib1g-dev"
# Building and checking the Debian packages (scripts/package.sh).
PKG_PACKAGES="debhelper dpkg-dev fakeroot lintian file binutils man-db strace"

want=""
for group in "$@"; do
  case "$group" in
    base) want="$want $PACKAGES" ;;
    bench) want="$want $BENCH_PACKAGES" ;;
    pkg) want="$want $PKG_PACKAGES" ;;
    armhf) want="$want qemu-user crossbuild-essential-armhf libxml2-dev:armhf libssl-dev:armhf
      libgtest-dev:armhf libsqlite3-dev:armhf libnats-dev:armhf libsystemd-dev:armhf" ;;
    *) echo "install-deps.sh: unknown group $group" >&2; exit 2 ;;
  esac
done
[ -n "$want" ] || want="$PACKAGES"

missing=""
for pkg in $want; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $pkg"
  fi
done
[ -z "$missing" ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
case "$missing" in
  *:armhf*)
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
      $SUDO dpkg --add-architecture armhf
    fi ;;
esac
echo "Installing:$missing"
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends $missing
