#!/usr/bin/env bash
# Sets everything up on a fresh machine, builds the optimised tool and runs it:
#   scripts/run.sh                 boots a simulated PC and moves traffic
#   scripts/run.sh --help          every option
set -euo pipefail
source "$(dirname "$0")/common.sh"
root="$(torvelin_root)"
cd "$root"
torvelin_install
torvelin_build release --target torvelin >&2
exec "$root/build/release/tools/torvelin" "$@"
