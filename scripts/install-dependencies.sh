#!/usr/bin/env bash
# Installs the missing Debian packages of one set, each set including the ones before it:
#   --run     what running ebbcast needs       (debian-packages-run.txt)
#   --build   ... and building it (the default) (debian-packages-build.txt)
#   --test    ... and running the test suite   (debian-packages-test.txt)
#   --package what building and making the Debian package need (debian-packages-package.txt, after the
#             run and build sets)
# Returns at once when all are installed.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
case "${1:---build}" in
    --run) sets=(run) ;;
    --build) sets=(run build) ;;
    --test) sets=(run build test) ;;
    --package) sets=(run build package) ;;
    *) echo "usage: $0 [--run|--build|--test|--package]" >&2; exit 2 ;;
esac

packages=()
for set in "${sets[@]}"; do
    mapfile -t -O "${#packages[@]}" packages < <(grep -vE '^\s*(#|$)' "$here/debian-packages-$set.txt")
done

# One dpkg-query for all of them: the names of those installed.
installed=" $(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ install ok installed$/ { printf "%s ", $1 }' || true)"
missing=()
for package in "${packages[@]}"; do
    [[ "$installed" == *" $package "* ]] || missing+=("$package")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
"${sudo[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
