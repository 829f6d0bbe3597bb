#!/bin/sh
# Builds the Debian packages of this tree: amd64 natively, armhf through the
# cross toolchain (cmake/toolchain-armhf.cmake).
#   scripts/package.sh [--arch amd64|armhf|all] [--check] [--out DIR]
# The packages land in DIR/<arch>/ (default build-pkg/). The version is the
# project version of CMakeLists.txt. Modules whose sources are not in the
# tree are left out with their packages (build profiles pkg.orvik.nosqlite,
# pkg.orvik.nonats).
# --check then runs scripts/check-packages.sh: lintian on every package, the
# unpacked amd64 packages against each other over TLS, the armhf binaries
# inspected and run under qemu-arm, the unit's sandbox, and the maintainer
# scripts through install, upgrade (from the packages of the build before,
# kept in DIR/previous/<arch>/), removal and purge.
set -eu
cd "$(dirname "$0")/.."
top=$(pwd)

archs="amd64 armhf"
check=no
out="$top/build-pkg"
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) [ "$2" = all ] || archs=$2; shift 2 ;;
    --check) check=yes; shift ;;
    --out) out=$2; shift 2 ;;
    *) echo "usage: $0 [--arch amd64|armhf|all] [--check] [--out DIR]" >&2; exit 64 ;;
  esac
done
case "$out" in /*) ;; *) out="$top/$out" ;; esac

groups="base pkg"
case " $archs " in *" armhf "*) groups="$groups armhf" ;; esac
# shellcheck disable=SC2086
./scripts/install-deps.sh $groups

version=$(sed -n 's/^project(orvik VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package.sh: no project version in CMakeLists.txt" >&2; exit 1; }
build_arch=$(dpkg --print-architecture)

# Build profiles for the modules the tree does not have (yet).
profiles=""
grep -q 'orvik_add_module(orvik_sqlite' modules/CMakeLists.txt || profiles="$profiles,pkg.orvik.nosqlite"
grep -q 'orvik_add_module(orvik_nats' modules/CMakeLists.txt || profiles="$profiles,pkg.orvik.nonats"

# A copy of the tree (the files git knows and the new ones it does not
# ignore) with packaging/debian as debian/ and a changelog of this version.
copy_tree() {
  dest=$1
  rm -rf "$dest"
  mkdir -p "$dest"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard |
      (cd "$top" && xargs -0 cp -P --parents -t "$dest" 2>/dev/null || true)
  else
    tar -C "$top" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$dest" -xf -
  fi
  rm -rf "$dest/debian"
  cp -r packaging/debian "$dest/debian"
  date=$(git log -1 --format=%aD 2>/dev/null || date -R)
  cat >"$dest/debian/changelog" <<CHANGELOG
orvik ($version) unstable; urgency=medium

  * orvik $version.

 -- orvik developers <devel@orvik.example.org>  $date
CHANGELOG
}

for arch in $archs; do
  echo "=== packages for $arch ==="
  work="$out/$arch"
  # The last build's packages stay as the previous build, for the package
  # check's upgrade.
  if ls "$work"/*.deb >/dev/null 2>&1; then
    rm -rf "$out/previous/$arch"
    mkdir -p "$out/previous/$arch"
    mv "$work"/*.deb "$out/previous/$arch/"
  fi
  rm -rf "$work"
  mkdir -p "$work"
  copy_tree "$work/orvik-$version"
  set -- -b -us -uc -d -j"${JOBS:-$(nproc)}"
  arch_profiles="nocheck$profiles"
  compilers=""
  if [ "$arch" != "$build_arch" ]; then
    set -- "$@" -a"$arch"
    arch_profiles="cross,$arch_profiles"
    triplet=$(dpkg-architecture -a"$arch" -qDEB_HOST_GNU_TYPE 2>/dev/null)
    compilers="CC=$triplet-gcc CXX=$triplet-g++"
  fi
  # shellcheck disable=SC2086
  (cd "$work/orvik-$version" &&
    env $compilers DEB_BUILD_OPTIONS="nocheck noddebs" dpkg-buildpackage "$@" -P"$arch_profiles" \
      >"$work/build.log" 2>&1) || {
    tail -n 40 "$work/build.log" >&2
    echo "package.sh: the $arch build failed; see $work/build.log" >&2
    exit 1
  }
  rm -rf "$work/orvik-$version"
  ls "$work"/*.deb
done

if [ "$check" = yes ]; then
  ./scripts/check-packages.sh "$out" $archs
fi
