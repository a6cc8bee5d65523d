#!/usr/bin/env bash
# Installs what is missing, builds the debug tree and runs every test.
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$(torvelin_root)"
torvelin_install tshark iproute2 iputils-ping arping
torvelin_build dev
ctest --preset dev "$@"
