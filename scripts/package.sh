#!/usr/bin/env bash
# Makes the Debian package of ebbcast: installs what that needs (install-dependencies.sh --package), builds
# Release in build-package/ (or $EBBCAST_PACKAGE_BUILD_DIR) without the test suite, runs cpack -G DEB and checks
# the package with lintian, failing on any error (warnings are shown). Prints the package's path on standard
# output; everything else goes to standard error.
#   EBBCAST_BUILD_NUMBER   the build number (default 1): what ebbcast --version shows and the package's Debian
#                          revision (ebbcast_0.1.0-<number>_amd64.deb)
# Arguments go to the CMake configuration, for example -DEBBCAST_GATEWAY_BASE_URL=https://gateway.example.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_PACKAGE_BUILD_DIR:-$root/build-package}"
export EBBCAST_BUILD_NUMBER="${EBBCAST_BUILD_NUMBER:-1}"

"$root/scripts/install-dependencies.sh" --package >&2

# The changelog's date is the last commit's, so that one commit always gives the same changelog.
if [ -z "${SOURCE_DATE_EPOCH:-}" ] && epoch="$(git -C "$root" log -1 --format=%ct 2>/dev/null)"; then
    export SOURCE_DATE_EPOCH="$epoch"
fi

# Debian's hardening flags (fortified functions, stack protector, read-only relocations bound at start), without
# its -g and -O2: Release optimises, and the package's executable is stripped.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
cxxflags="$(printf '%s\n' $cxxflags | grep -vxE -- '-g|-O[0-9s]?' | tr '\n' ' ')"
ldflags="$(dpkg-buildflags --get LDFLAGS)"

# Configured on every run, so that the build number, the flags and the arguments of this run apply.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DEBBCAST_BUILD_TESTS=OFF \
    "-DEBBCAST_BUILD_NUMBER=$EBBCAST_BUILD_NUMBER" "-DCMAKE_CXX_FLAGS=$cxxflags" \
    "-DCMAKE_EXE_LINKER_FLAGS=$ldflags" "-DCMAKE_SHARED_LINKER_FLAGS=$ldflags" "$@" >&2
cmake --build "$build" --parallel "$(nproc)" >&2

rm -f "$build"/ebbcast_*.deb
(cd "$build" && cpack -G DEB) >&2
packages=("$build"/ebbcast_*.deb)
if [ "${#packages[@]}" -ne 1 ] || [ ! -f "${packages[0]}" ]; then
    echo "package.sh: cpack made no single ebbcast package in $build" >&2
    exit 1
fi
package="${packages[0]}"

echo "lintian $package:" >&2
if ! lintian --fail-on error "$package" >&2; then
    echo "package.sh: lintian found errors in $package" >&2
    exit 1
fi
echo "$package"
