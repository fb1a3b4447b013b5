#!/usr/bin/env bash
# Configures (once) and builds the project in build/ (or $EBBCAST_BUILD_DIR) with Ninja and ccache. Arguments go
# to that first configuration, for example -DEBBCAST_SANITIZE=address,undefined.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${EBBCAST_BUILD_DIR:-$root/build}"

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
fi
cmake --build "$build" --parallel "$(nproc)"
