#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds ebbcast and runs it with the given arguments.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-dependencies.sh" --build
"$root/scripts/build.sh" >&2
exec "${EBBCAST_BUILD_DIR:-$root/build}/app/ebbcast" "$@"
